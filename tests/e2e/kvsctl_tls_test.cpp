// kvsctl over TLS against a real agent daemon: programs and files byte-exact
// over mutual TLS, the failures that must end kvsctl with 255 and a message
// naming the agent and the reason, the environment's settings, and a control
// connection whose calls need no TLS options of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"
#include "kvsctl_process.h"
#include "tls_studio.h"

namespace {

using e2e::kvsctl;
using outcome = e2e::kvsctl_outcome;

const e2e::test_certs& certs() { return e2e::test_certs::get(); }

// The options of a studio with test certificate `name` ("" for none),
// verifying the agent against `ca`.
std::vector<std::string> tls_options(const std::string& name, const std::string& ca = "ca") {
  std::vector<std::string> args{"--tls-ca", certs().pem(ca)};
  if (!name.empty()) args.insert(args.end(), {"--tls-cert", certs().pem(name), "--tls-key", certs().key(name)});
  return args;
}

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Every byte value, then a stretch no pattern explains.
std::string binary_content() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  unsigned state = 12345;
  while (bytes.size() < 300 * 1024) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 16);
  }
  return bytes + "\r\n\r";
}

class TlsKvsctl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certs().made());
    ASSERT_TRUE(agent_.ready());
  }
  std::string target(const std::string& host = "127.0.0.1") const { return host + ":" + std::to_string(agent_.port()); }
  // A call as alice, with `more` after the agent.
  outcome as_alice(const std::vector<std::string>& more) {
    return kvsctl(join(join(tls_options("alice"), {"-u", "alice", target()}), more));
  }

  // A plain studio waits for a greeting that never comes: the agent ends
  // it at the time to identify.
  e2e::tls_daemon agent_{"+ +\n", true, {{"KVS_IDENT_TIMEOUT", "5"}}};
};

TEST_F(TlsKvsctl, FilesMoveByteExactly) {
  const std::string content = binary_content();
  const std::string local = agent_.dir().file("local.bin");
  const std::string remote = agent_.dir().file("remote.bin");
  const std::string back = agent_.dir().file("back.bin");
  e2e::write_file(local, content);

  outcome put = as_alice({"put", local, remote});
  ASSERT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(e2e::read_file(remote), content);
  outcome get = as_alice({"get", remote, back});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(e2e::read_file(back), content);

}

TEST_F(TlsKvsctl, TheEnvironmentStandsForTheOptions) {
  e2e::write_file(agent_.dir().file("env.txt"), "by the environment\n");
  ::setenv("KVSCTL_TLS_CA", certs().pem("ca").c_str(), 1);
  ::setenv("KVSCTL_TLS_CERT", certs().pem("alice").c_str(), 1);
  ::setenv("KVSCTL_TLS_KEY", certs().key("alice").c_str(), 1);
  outcome got = kvsctl({"-u", "alice", target(), "get", agent_.dir().file("env.txt"), "-"});
  // An option wins over its variable: bob's certificate is bob@lab.example.
  outcome bob = kvsctl({"--tls-cert", certs().pem("bob"), "--tls-key", certs().key("bob"), "-u", "bob@lab.example",
                        target(), "get", agent_.dir().file("env.txt"), "-"});
  for (const char* name : {"KVSCTL_TLS_CA", "KVSCTL_TLS_CERT", "KVSCTL_TLS_KEY"}) ::unsetenv(name);
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out, "by the environment\n");
  EXPECT_EQ(bob.status, 0) << bob.err;
  EXPECT_EQ(bob.out, "by the environment\n");
}

TEST_F(TlsKvsctl, FailuresEndWith255AndSayWhy) {
  e2e::daemon_agent plain;
  ASSERT_TRUE(plain.ready());
  struct row {
    const char* what;
    std::vector<std::string> args;
    std::string said;  // a part of the message, which begins "kvsctl: HOST:PORT: "
  };
  const std::string port = std::to_string(agent_.port());
  const std::vector<row> rows = {
      {"a CA that did not sign the agent", join(tls_options("alice", "other-ca"), {"-u", "alice", target()}),
       "TLS: certificate verify failed"},
      {"an address the certificate lacks", join(tls_options("alice"), {"-u", "alice", target("127.0.0.2")}),
       "TLS: certificate verify failed: IP address mismatch"},
      {"no certificate for an agent that wants one", join(tls_options(""), {"-u", "alice", target()}),
       "TLS: tlsv13 alert certificate required"},
      {"an expired certificate", join(tls_options("expired"), {"-u", "alice", target()}), "TLS: "},
      {"a certificate of another CA", join(tls_options("stranger"), {"-u", "alice", target()}), "TLS: "},
      {"another name than the certificate's", join(tls_options("alice"), {"-u", "bob", target()}),
       "533 user is not allowed to connect"},
      {"a plain studio", {"-u", "alice", target()}, "closed the connection without a greeting"},
      {"a plain agent", join(tls_options("alice"), {"-u", "alice", "127.0.0.1:" + std::to_string(plain.port())}),
       "TLS: "},
  };
  const std::string file = agent_.dir().file("kvsagtd.ini");
  for (const row& r : rows) {
    outcome o = kvsctl(join(r.args, {"get", file, "-"}));
    EXPECT_EQ(o.status, 255) << r.what << ": " << o.err;
    std::string host = r.args.empty() ? "" : r.args[r.args.size() - 1];
    EXPECT_EQ(o.err.rfind("kvsctl: " + host + ": ", 0), 0u) << r.what << ": " << o.err;
    EXPECT_NE(o.err.find(r.said), std::string::npos) << r.what << ": " << o.err;
    // One message, whatever failed.
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << r.what << ": " << o.err;
  }
  // The agent serves a good studio after all of them.
  outcome good = as_alice({"get", file, "-"});
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(good.out, "+ +\n");
}

TEST_F(TlsKvsctl, ControlConnectionCallsNeedNoTlsOptions) {
  e2e::temp_dir sockets;
  const std::string socket = sockets.file("control");
  outcome started = kvsctl(join(tls_options("alice"), {"-M", "-S", socket, "-u", "alice", target()}));
  ASSERT_EQ(started.status, 0) << started.err;
  const std::string content = binary_content();
  e2e::write_file(agent_.dir().file("local.bin"), content);
  auto call = [&](const std::vector<std::string>& rest) {
    return kvsctl(join({"-S", socket, "-u", "alice", target()}, rest));
  };
  outcome put = call({"put", agent_.dir().file("local.bin"), agent_.dir().file("through.bin")});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(e2e::read_file(agent_.dir().file("through.bin")), content);
  outcome get = call({"get", agent_.dir().file("through.bin"), "-"});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_TRUE(get.out == content) << get.out.size() << " bytes; " << get.err;
  EXPECT_EQ(kvsctl({"-O", "exit", "-S", socket, "-u", "alice", target()}).status, 0);
}

}  // namespace
