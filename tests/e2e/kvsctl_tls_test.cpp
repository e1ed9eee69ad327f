// kvsctl over TLS against a real agent daemon: programs and files byte-exact
// over mutual TLS, the failures that must end kvsctl with 255 and a message
// naming the agent and the reason, the environment's settings, and a control
// connection whose calls need no TLS options of their own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"
#include "kvsctl_process.h"
#include "tls_studio.h"

extern char** environ;

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

TEST_F(TlsKvsctl, ProgramsAndFilesMoveByteExactly) {
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

  // The program's output, its input from kvsctl's, and its status.
  outcome run = kvsctl(join(tls_options("alice"), {"-u", "alice", target(), "run", "--", "sh", "-c",
                                                    "cat remote.bin; cat; exit 3"}),
                       std::string("from the studio\n"));
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_TRUE(run.out == content + "from the studio\n") << run.out.size() << " bytes; " << run.err;

}

TEST_F(TlsKvsctl, ScriptsShellAndManyAgents) {
  e2e::write_file(agent_.dir().file("in.txt"), "steps\n");
  outcome steps = as_alice({"do", "put", agent_.dir().file("in.txt"), agent_.dir().file("copy.txt"), "---", "run",
                            "--", "cat", agent_.dir().file("copy.txt")});
  EXPECT_EQ(steps.status, 0) << steps.err;
  EXPECT_EQ(steps.out, "steps\n");
  outcome shell = kvsctl(join(tls_options("alice"), {"-u", "alice", target(), "shell"}), std::string("PWD\n"));
  EXPECT_EQ(shell.status, 0) << shell.err;
  EXPECT_NE(shell.out.find("253 "), std::string::npos) << shell.out;
  outcome many = kvsctl(join(tls_options("alice"), {"-u", "alice", "-H", target() + "," + target("localhost"), "run",
                                                     "--", "echo", "each"}));
  EXPECT_EQ(many.status, 0) << many.err;
  EXPECT_EQ(std::count(many.out.begin(), many.out.end(), '\n'), 2) << many.out;
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
  outcome run = call({"run", "--", "sh", "-c", "cat; exit 7"});
  EXPECT_EQ(run.status, 7) << run.err;
  outcome fed = kvsctl(join({"-S", socket, "-u", "alice", target()}, {"run", "--", "cat"}), std::string("piped\n"));
  EXPECT_EQ(fed.status, 0) << fed.err;
  EXPECT_EQ(fed.out, "piped\n");
  EXPECT_EQ(kvsctl({"-O", "exit", "-S", socket, "-u", "alice", target()}).status, 0);
}

TEST_F(TlsKvsctl, ACallAskingForTlsRefusesAControlConnectionInClear) {
  e2e::daemon_agent plain;
  ASSERT_TRUE(plain.ready());
  e2e::temp_dir sockets;
  const std::string socket = sockets.file("control");
  const std::string at = plain.target();
  ASSERT_EQ(kvsctl({"-M", "-S", socket, at}).status, 0);
  outcome call = kvsctl(join(tls_options("alice"), {"-S", socket, at, "run", "--", "true"}));
  EXPECT_EQ(call.status, 255) << call.err;
  EXPECT_NE(call.err.find("is not over TLS"), std::string::npos) << call.err;
  EXPECT_EQ(kvsctl({"-S", socket, at, "run", "--", "true"}).status, 0);
  kvsctl({"-O", "exit", "-S", socket, at});
}

// kvsrdv and kvsdynf with their TLS options verify the agent as kvsctl does;
// each reaches the TLS agent's port for its handshake (the tester ports'
// own TLS is the agent's concern, tested with it).
TEST_F(TlsKvsctl, TesterToolsVerifyTheAgent) {
  e2e::temp_dir dir;
  auto tool = [&](const std::string& name, std::vector<std::string> args) {
    e2e::captured_process p;
    p.out_path = dir.file(name + ".out");
    p.err_path = dir.file(name + ".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), e2e::tool_path(name));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) p.pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    std::optional<int> status = p.wait_exit(e2e::kKvsctlExitMs);
    p.kill_now();
    return std::make_pair(status, p.err());
  };
  const std::string port = std::to_string(agent_.port());
  auto tls = [&](const std::string& ca) {
    return std::vector<std::string>{"--tls-cert", certs().pem("alice"), "--tls-key", certs().key("alice"),
                                    "--tls-ca", certs().pem(ca)};
  };
  ::setenv("KVS_PORT_RDV", port.c_str(), 1);
  auto rdv = tool("kvsrdv", join(join({"--host", "127.0.0.1"}, tls("other-ca")), {"gate"}));
  auto rdv_name = tool("kvsrdv", join(join({"--host", "127.0.0.2"}, tls("ca")), {"gate"}));
  ::unsetenv("KVS_PORT_RDV");
  auto dynf = tool("kvsdynf", join(join({"--host", "127.0.0.1", "--port", port}, tls("other-ca")), {"step"}));
  const std::pair<const char*, decltype(rdv)> rows[] = {
      {"kvsrdv", rdv}, {"kvsrdv by another name", rdv_name}, {"kvsdynf", dynf}};
  for (const auto& [what, got] : rows) {
    EXPECT_EQ(got.first, 2) << what << ": " << got.second;
    EXPECT_NE(got.second.find("TLS: certificate verify failed"), std::string::npos) << what << ": " << got.second;
  }
}

}  // namespace
