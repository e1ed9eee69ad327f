#include "agent/tls_settings.h"

#include <utility>

#include "platform/config_file.h"

namespace {

bool set(const char* value) { return value != nullptr && *value != '\0'; }

// One file of the material, read whole; none with *why.
std::optional<std::string> read_one(const char* setting, const std::string& path, std::string* why) {
  plat_config_file file = PLATread_config_file(path.c_str());
  if (file.status == plat_config_status::read) return std::move(file.content);
  std::string reason = file.status == plat_config_status::missing ? "cannot be opened" : file.why;
  *why = std::string(setting) + " " + path + ": " + reason;
  return std::nullopt;
}

}  // namespace

bool AGTtls_settings(const char* cert, const char* key, const char* ca, agt_tls_settings* out, std::string* error) {
  *out = agt_tls_settings{};
  if (set(cert) != set(key)) {
    *error = "KVS_TLS_CERT and KVS_TLS_KEY must be set together";
    return false;
  }
  if (set(ca) && !set(cert)) {
    *error = "KVS_TLS_CLIENT_CA needs KVS_TLS_CERT and KVS_TLS_KEY";
    return false;
  }
  if (!set(cert)) return true;
  out->on = true;
  out->cert = cert;
  out->key = key;
  if (set(ca)) out->ca = ca;
  return true;
}

std::optional<plat_tls_material> AGTtls_load(const agt_tls_settings& settings, std::string* why) {
  plat_tls_material material;
  std::optional<std::string> cert = read_one("KVS_TLS_CERT", settings.cert, why);
  if (!cert) return std::nullopt;
  std::optional<std::string> key = read_one("KVS_TLS_KEY", settings.key, why);
  if (!key) return std::nullopt;
  material.cert = std::move(*cert);
  material.key = std::move(*key);
  if (!settings.ca.empty()) {
    std::optional<std::string> ca = read_one("KVS_TLS_CLIENT_CA", settings.ca, why);
    if (!ca) return std::nullopt;
    // An empty bundle would turn client certificates off without a word.
    if (ca->empty()) {
      *why = "KVS_TLS_CLIENT_CA " + settings.ca + ": empty";
      return std::nullopt;
    }
    material.ca = std::move(*ca);
  }
  std::string reason;
  if (!PLATtls_server(material, &reason)) {
    // The server says which part was wrong; the message names its file.
    const std::pair<const char*, std::pair<const char*, const std::string*>> parts[] = {
        {"certificate", {"KVS_TLS_CERT", &settings.cert}},
        {"key", {"KVS_TLS_KEY", &settings.key}},
        {"client CA bundle", {"KVS_TLS_CLIENT_CA", &settings.ca}},
    };
    *why = reason;
    for (const auto& [part, file] : parts)
      if (reason.starts_with(std::string(part) + ": ") || reason.starts_with(std::string(part) + " chain: ")) {
        *why = std::string(file.first) + " " + *file.second + ": " + reason;
        break;
      }
    return std::nullopt;
  }
  return material;
}
