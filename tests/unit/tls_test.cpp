// The identity a studio's certificate gives, the hand-over text of the TLS
// material, and the daemon's TLS settings.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "agent/tls_settings.h"
#include "platform/tls.h"

using namespace std::string_literals;

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Certificates made with the openssl command line, one key for all.
class certificates {
 public:
  certificates() {
    char pattern[] = "/tmp/kvs-tls-unit-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    ok_ = run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + dir_ + "/k");
  }
  ~certificates() {
    if (!dir_.empty()) run("rm -rf " + dir_);
  }
  bool ok() const { return ok_; }
  // A self-signed certificate of `subject` with the subjectAltName `san`
  // (none when empty), as PEM text; empty when openssl refused it.
  std::string make(const std::string& subject, const std::string& san) {
    const std::string out = dir_ + "/c.pem";
    std::string command = "openssl req -utf8 -x509 -new -key " + dir_ + "/k -days 1 -out " + out + " -subj '" + subject + "'";
    if (!san.empty()) command += " -addext 'subjectAltName=" + san + "'";
    return run(command) ? read_all(out) : std::string();
  }

 private:
  static bool run(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }
  std::string dir_;
  bool ok_ = false;
};

TEST(TlsIdentity, FirstEmailOrUriNameElseTheLastCommonName) {
  if (!PLATtls_available()) GTEST_SKIP();
  certificates certs;
  if (!certs.ok()) GTEST_SKIP() << "no openssl command";
  const std::string long_uri = "kvs://" + std::string(250, 'u');
  struct identity_case {
    const char* name;
    std::string subject, san;
    std::optional<std::string> identity;
  };
  const identity_case cases[] = {
      {"CN only", "/CN=alice", "", "alice"},
      {"the last of two CNs", "/CN=first/O=lab/CN=second", "", "second"},
      {"an email name", "/CN=bob", "email:bob@lab.example", "bob@lab.example"},
      {"a URI name", "/CN=carol", "URI:kvs://lab/carol", "kvs://lab/carol"},
      {"email first", "/CN=x", "DNS:h.example,email:e@lab.example,URI:kvs://u", "e@lab.example"},
      {"URI first", "/CN=x", "URI:kvs://u,email:e@lab.example", "kvs://u"},
      {"a DNS name only: the CN", "/CN=dave", "DNS:dave.example", "dave"},
      {"a blank in the CN", "/CN=alice smith", "", std::nullopt},
      {"a blank in the first email name, no fallback", "/CN=alice", "email:a b@lab.example", std::nullopt},
      {"no CN and no name", "/O=lab", "", std::nullopt},
      {"255 bytes", "/CN=x", "URI:" + long_uri.substr(0, 255), long_uri.substr(0, 255)},
      {"256 bytes", "/CN=x", "URI:" + long_uri.substr(0, 256), std::nullopt},
      {"a UTF-8 CN", "/CN=j\xc3\xb6rg", "", "j\xc3\xb6rg"},
  };
  for (const identity_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string pem = certs.make(c.subject, c.san);
    ASSERT_FALSE(pem.empty());
    EXPECT_EQ(PLATtls_identity_of_pem(pem), c.identity);
  }
  EXPECT_EQ(PLATtls_identity_of_pem("not a certificate"), std::nullopt);
}

TEST(TlsMaterial, HandOverTextKeepsEveryByte) {
  const plat_tls_material cases[] = {
      {"cert\n", "key\0with nul"s, ""},
      {"", "", ""},
      {std::string(70000, 'c'), "k 1 2\n", "ca 3 4\n"},
  };
  for (const plat_tls_material& m : cases) {
    std::optional<plat_tls_material> back = PLATtls_decode(PLATtls_encode(m));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->cert, m.cert);
    EXPECT_EQ(back->key, m.key);
    EXPECT_EQ(back->ca, m.ca);
  }
  for (const char* broken : {"", "1 2\n", "1 1 1\nab", "1 1 1\nabcd", "-1 1 1\nab", "1 1 x\nabc", "99999999999999999999 0 0\n"})
    EXPECT_EQ(PLATtls_decode(broken), std::nullopt) << broken;
}

TEST(TlsSettings, CertificateAndKeyGoTogetherAndTheCaNeedsThem) {
  struct settings_case {
    const char *cert, *key, *ca;
    bool valid, on;
  };
  const settings_case cases[] = {
      {nullptr, nullptr, nullptr, true, false}, {"", "", "", true, false},
      {"c", "k", nullptr, true, true},          {"c", "k", "a", true, true},
      {"c", nullptr, nullptr, false, false},    {"", "k", nullptr, false, false},
      {nullptr, nullptr, "a", false, false},    {"c", "", "a", false, false},
  };
  for (const settings_case& c : cases) {
    agt_tls_settings settings;
    std::string error;
    EXPECT_EQ(AGTtls_settings(c.cert, c.key, c.ca, &settings, &error), c.valid)
        << (c.cert ? c.cert : "-") << (c.key ? c.key : "-") << (c.ca ? c.ca : "-");
    EXPECT_EQ(settings.on, c.on);
    EXPECT_EQ(error.empty(), c.valid);
  }
}

}  // namespace
