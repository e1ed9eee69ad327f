// The studio tools' TLS settings: kvsctl's options against the environment,
// the master's greeting fields, and the tester tools' options.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "client/kvsctl.h"
#include "client/kvsctl/control.h"
#include "client/tls.h"
#include "client/tool_args.h"

namespace {

// A file that exists for the cases that need one readable.
class KvsctlTlsSettings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    file_ = ::testing::TempDir() + "kvsctl_tls_settings.pem";
    std::FILE* f = std::fopen(file_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not read here\n", f);
    std::fclose(f);
  }
  static std::string file_;
};
std::string KvsctlTlsSettings::file_;

TEST_F(KvsctlTlsSettings, OptionsWinOverTheEnvironment) {
  const std::string f = file_;
  const std::string missing = ::testing::TempDir() + "no-such-file.pem";
  struct row {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    bool ok;
    bool tls;
    std::string ca, cert, key;  // as resolved, when ok
    std::string error;          // a part of the message, when not ok
  };
  const row rows[] = {
      {{}, {}, true, false, "", "", "", ""},
      // Certificates in the environment alone leave the connection plain.
      {{}, {{"KVSCTL_TLS_CERT", f}, {"KVSCTL_TLS_KEY", f}}, true, false, "", "", "", ""},
      {{}, {{"KVSCTL_TLS_CA", f}}, true, true, f, "", "", ""},
      {{"--tls", "--tls-ca", f}, {}, true, true, f, "", "", ""},
      {{"--tls-ca", f, "--tls-cert", f, "--tls-key", f}, {}, true, true, f, f, f, ""},
      {{"--tls-cert", f, "--tls-key", f}, {{"KVSCTL_TLS_CA", f}, {"KVSCTL_TLS_CERT", missing}}, true, true, f, f, f, ""},
      {{"--tls-ca", f}, {{"KVSCTL_TLS_CERT", f}, {"KVSCTL_TLS_KEY", f}}, true, true, f, f, f, ""},
      {{"--tls"}, {}, false, true, "", "", "", "--tls-ca FILE or KVSCTL_TLS_CA"},
      {{"--tls-cert", f, "--tls-key", f}, {}, false, true, "", "", "", "CA file"},
      {{"--tls-ca", f, "--tls-cert", f}, {}, false, true, "", "", "", "--tls-cert needs its key"},
      {{"--tls-ca", f, "--tls-key", f}, {}, false, true, "", "", "", "--tls-key needs its certificate"},
      {{"--tls-ca", missing}, {}, false, true, "", "", "", "--tls-ca: cannot read " + missing},
      {{"--tls-ca", f}, {{"KVSCTL_TLS_CERT", f}, {"KVSCTL_TLS_KEY", missing}}, false, true, "", "", "",
       "--tls-key: cannot read"},
  };
  for (const row& r : rows) {
    std::vector<std::string> args = r.args;
    for (const char* word : {"buildhost", "run", "true"}) args.push_back(word);
    kvsctl::parse_result parsed = kvsctl::parse_arguments(args);
    ASSERT_EQ(parsed.what, kvsctl::parse_result::kind::ok) << parsed.text;
    std::string error;
    bool ok = kvsctl::resolve_tls(
        parsed.opts,
        [&](const char* name) -> const char* {
          auto found = r.env.find(name);
          return found == r.env.end() ? nullptr : found->second.c_str();
        },
        error);
    std::string shown = ::testing::PrintToString(r.args) + " " + ::testing::PrintToString(r.env);
    ASSERT_EQ(ok, r.ok) << shown << ": " << error;
    EXPECT_EQ(parsed.opts.tls, r.tls) << shown;
    if (ok) {
      EXPECT_EQ(parsed.opts.tls_ca, r.ca) << shown;
      EXPECT_EQ(parsed.opts.tls_cert, r.cert) << shown;
      EXPECT_EQ(parsed.opts.tls_key, r.key) << shown;
    } else {
      EXPECT_NE(error.find(r.error), std::string::npos) << shown << ": " << error;
    }
  }
}

TEST(KvsctlTlsOptions, EmptyFileNamesAreRefused) {
  for (const char* option : {"--tls-ca", "--tls-cert", "--tls-key"}) {
    kvsctl::parse_result parsed = kvsctl::parse_arguments({option, "", "buildhost", "run", "true"});
    EXPECT_EQ(parsed.what, kvsctl::parse_result::kind::error) << option;
    EXPECT_NE(parsed.text.find("needs a file name"), std::string::npos) << parsed.text;
  }
}

TEST(KvsctlControlHello, FieldsComeBackAsTheyWere) {
  for (std::string text : {std::string(), std::string("/tmp/a b/c.pem"), std::string("name\r\n+NO\0x", 12),
                           std::string("\xff\x80-")}) {
    std::string field = kvsctl::hello_field(text);
    EXPECT_EQ(field.find_first_of(" \r\n"), std::string::npos) << field;
    EXPECT_EQ(kvsctl::hello_value(field), text) << field;
  }
  for (const char* bad : {"", "abc", "zz", "0G", "--"}) EXPECT_FALSE(kvsctl::hello_value(bad).has_value()) << bad;
}

TEST(TesterTlsOptions, GoTogether) {
  struct row {
    std::vector<std::string> args;
    bool ok;
  };
  const row rows[] = {
      {{}, true},
      {{"--tls-cert", "c", "--tls-key", "k", "--tls-ca", "a"}, true},
      {{"--tls-cert", "c", "--tls-key", "k"}, false},
      {{"--tls-ca", "a"}, false},
      {{"--tls-key", "k", "--tls-ca", "a"}, false},
      {{"--tls-cert", "", "--tls-key", "k", "--tls-ca", "a"}, false},
  };
  for (const row& r : rows) {
    std::vector<std::string> rdv = r.args;
    rdv.push_back("gate");
    tools::tool_args<tools::rdv_options> a = tools::parse_kvsrdv(rdv);
    EXPECT_EQ(a.what == cli::parsed::kind::ok, r.ok) << ::testing::PrintToString(rdv) << ": " << a.text;
    tools::tool_args<tools::dynf_options> d = tools::parse_kvsdynf(r.args, "BOOT x");
    EXPECT_EQ(d.what == cli::parsed::kind::ok, r.ok) << ::testing::PrintToString(r.args) << ": " << d.text;
    if (r.ok && !r.args.empty()) {
      EXPECT_TRUE(a.opts.tls.on());
      EXPECT_EQ(d.opts.tls.cert_file, "c");
      EXPECT_EQ(d.opts.tls.key_file, "k");
      EXPECT_EQ(d.opts.tls.ca_file, "a");
    }
  }
  tools::tool_args<tools::rdv_options> remote = tools::parse_kvsrdv({"--host", "lab7", "gate"});
  ASSERT_EQ(remote.what, cli::parsed::kind::ok) << remote.text;
  EXPECT_EQ(remote.opts.host, "lab7");
  EXPECT_EQ(tools::parse_kvsrdv({"gate"}).opts.host, "localhost");
}

TEST(StudioTls, ContextRefusesWhatCannotWork) {
  std::string error;
  EXPECT_EQ(studio::make_tls_client({"", "", ""}, &error), nullptr);
  EXPECT_NE(error.find("no CA file"), std::string::npos) << error;
  EXPECT_EQ(studio::make_tls_client({"/no/such/ca.pem", "", ""}, &error), nullptr);
  EXPECT_NE(error.find("cannot load the CA file /no/such/ca.pem"), std::string::npos) << error;
}

}  // namespace
