// kvsctl: the TLS settings from the options and the environment.
#include <cerrno>
#include <cstring>
#include <fstream>

#include "client/kvsctl.h"

namespace kvsctl {

namespace {

struct setting {
  const char* option;
  const char* variable;
  std::string options::*file;
};

constexpr setting kSettings[] = {
    {"--tls-ca", "KVSCTL_TLS_CA", &options::tls_ca},
    {"--tls-cert", "KVSCTL_TLS_CERT", &options::tls_cert},
    {"--tls-key", "KVSCTL_TLS_KEY", &options::tls_key},
};

}  // namespace

bool resolve_tls(options& o, const std::function<const char*(const char*)>& env, std::string& error) {
  for (const setting& s : kSettings) {
    if (!(o.*s.file).empty()) continue;
    const char* value = env(s.variable);
    if (value != nullptr) o.*s.file = value;
  }
  const char* ca = env("KVSCTL_TLS_CA");
  if (ca != nullptr && *ca != '\0') o.tls = true;
  if (!o.tls) {
    // Certificates kept in the environment alone do not turn TLS on.
    o.tls_cert.clear();
    o.tls_key.clear();
    return true;
  }
  if (o.tls_ca.empty()) {
    error = "TLS needs the CA file that signed the agent's certificate (--tls-ca FILE or KVSCTL_TLS_CA)";
    return false;
  }
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    error = o.tls_cert.empty() ? "--tls-key needs its certificate (--tls-cert FILE or KVSCTL_TLS_CERT)"
                               : "--tls-cert needs its key (--tls-key FILE or KVSCTL_TLS_KEY)";
    return false;
  }
  for (const setting& s : kSettings) {
    const std::string& file = o.*s.file;
    if (file.empty()) continue;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      error = std::string(s.option) + ": cannot read " + file + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace kvsctl
