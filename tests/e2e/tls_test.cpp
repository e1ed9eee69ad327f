// The agent over TLS: a daemon with the test certificates, studios with
// their own, the data port bound to the studio's certificate, refusals,
// the time limit of a stalled handshake, SIGHUP, and what crosses the wire.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tls_studio.h"

using namespace std::string_literals;

using e2e::random_bytes;

namespace {

// The data port a PFTP reply names; -1 when none.
int data_port(e2e::tls_connection& c) {
  std::string reply = c.command("PFTP");
  std::size_t at = reply.find('%');
  return reply.rfind("226", 0) == 0 && at != std::string::npos ? std::stoi(reply.substr(at + 1)) : -1;
}

// A plain TCP client's view of a port: whether the agent closes it within
// timeout_ms, and whatever came before.
bool plain_closed(int port, const std::string& send, std::string* got, int timeout_ms) {
  studio::socket_fd fd = e2e::connect_local(port, e2e::kReplyMs);
  if (!fd.valid()) return false;
  if (!send.empty()) studio::send_all(fd.get(), send);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
    if (n <= 0) return true;
    got->append(chunk, static_cast<std::size_t>(n));
  }
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!e2e::test_certs::get().made()) GTEST_SKIP() << "the test certificates could not be made (openssl)";
  }
};

TEST_F(Tls, TransfersBothWaysAndRunsAProgram) {
  e2e::tls_daemon agent;
  ASSERT_TRUE(agent.ready());
  std::string error;
  auto c = e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error);
  ASSERT_TRUE(c) << error << "\n" << agent.log();
  const int port = data_port(*c);
  ASSERT_GT(port, 0);
  const std::string content = random_bytes(700 * 1024 + 17, 28);

  ASSERT_TRUE(c->send("PUTF blob\r\n"));
  {
    auto data = e2e::tls_connection::open(port, e2e::studio_options("alice"), &error);
    ASSERT_TRUE(data) << error;
    ASSERT_TRUE(data->send(content));
    data->finish();
  }
  EXPECT_EQ(c->read_line(), "231 (end of transfered) file received");
  EXPECT_TRUE(e2e::read_file(agent.dir().file("blob")) == content);

  ASSERT_TRUE(c->send("GETF blob\r\n"));
  std::string back;
  {
    auto data = e2e::tls_connection::open(port, e2e::studio_options("alice"), &error);
    ASSERT_TRUE(data) << error;
    EXPECT_TRUE(data->read_all(&back, 20000));
  }
  EXPECT_EQ(c->read_line(), "230 (end of transfered) file sent");
  EXPECT_EQ(back.size(), content.size());
  EXPECT_TRUE(back == content);

  EXPECT_EQ(c->command("EXEC sh -c 'exit 3'"), "261 child process launched : %1");
  EXPECT_EQ(c->read_line(), "661 process stopped : %1 => %1 (%3)");
  EXPECT_EQ(c->command("QUIT"), "221 bye.");
}

// A PUTF whose data connection ends without the end of the TLS session may
// have been cut short: that is not a file received.
TEST_F(Tls, DataCutWithoutTheSessionsEndIsNoFileReceived) {
  e2e::tls_daemon agent;
  ASSERT_TRUE(agent.ready());
  std::string error;
  auto c = e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error);
  ASSERT_TRUE(c) << error;
  const int port = data_port(*c);
  ASSERT_TRUE(c->send("PUTF cut\r\n"));
  {
    auto data = e2e::tls_connection::open(port, e2e::studio_options("alice"), &error);
    ASSERT_TRUE(data) << error;
    ASSERT_TRUE(data->send("part of it"));
  }  // closed without close_notify
  EXPECT_EQ(c->read_line(), "531 receive file failed");
}

TEST_F(Tls, RefusedPeersAreClosedAndTheAgentServesOn) {
  e2e::tls_daemon agent;
  ASSERT_TRUE(agent.ready());
  struct refused_case {
    const char* name;
    std::string studio;  // certificate; "plain": no TLS at all
    std::string logged;
  };
  const refused_case cases[] = {
      {"a plain client", "plain", "TLS handshake with 127.0.0.1 failed"},
      {"no client certificate", "", "TLS handshake with 127.0.0.1 failed"},
      {"a certificate from another CA", "stranger", "certificate verify failed: unable to get local issuer"},
      {"an expired certificate", "expired", "certificate verify failed: certificate has expired"},
  };
  for (const refused_case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.studio == "plain") {
      std::string got;
      EXPECT_TRUE(plain_closed(agent.port(), "HELP\r\n", &got, e2e::kReplyMs));
      EXPECT_EQ(got.find("210"), std::string::npos);
      EXPECT_EQ(got.find("HELP"), std::string::npos);
    } else {
      std::string error;
      auto s = e2e::tls_connection::open(agent.port(), e2e::studio_options(c.studio), &error);
      if (s) {
        EXPECT_EQ(s->read_line(), std::nullopt);
      }
    }
    EXPECT_TRUE(agent.log_has(c.logged)) << agent.log();
    std::string error;
    EXPECT_TRUE(e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error)) << error;
  }
}

TEST_F(Tls, QimAdmitsOnlyTheCertificatesIdentity) {
  e2e::tls_daemon agent("+ +\n");
  ASSERT_TRUE(agent.ready());
  struct qim_case {
    const char* studio;
    const char* user;
    const char* reply;
  };
  const qim_case cases[] = {
      {"alice", "alice", "310 access authorized."},
      {"alice", "bob", "533 user is not allowed to connect"},
      {"alice", "alice ", "533 user is not allowed to connect"},
      {"bob", "bob@lab.example", "310 access authorized."},
      {"bob", "bob", "533 user is not allowed to connect"},
      {"carol", "kvs://lab/carol", "310 access authorized."},
  };
  for (const qim_case& c : cases) {
    SCOPED_TRACE(std::string(c.studio) + " as " + c.user);
    std::string error;
    auto s = e2e::tls_connection::open(agent.port(), e2e::studio_options(c.studio), &error);
    ASSERT_TRUE(s) << error;
    ASSERT_EQ(s->read_line().value_or("<none>").substr(0, 3), "210");
    EXPECT_EQ(s->command("Qim "s + c.user), c.reply);
  }
  EXPECT_TRUE(agent.log_has("localhost bob #access denied (the studio's certificate names alice)")) << agent.log();
}

TEST_F(Tls, ServerOnlyTlsTakesAnyClaimedUser) {
  e2e::tls_daemon agent("+ +\n", false);
  ASSERT_TRUE(agent.ready());
  std::string error;
  auto c = e2e::tls_admitted(agent.port(), e2e::studio_options(""), "whoever", &error);
  ASSERT_TRUE(c) << error;
  const int port = data_port(*c);
  ASSERT_TRUE(c->send("PUTF f\r\n"));
  // No certificate to compare: any TLS data connection from the studio's host is the transfer's.
  auto data = e2e::tls_connection::open(port, e2e::studio_options(""), &error);
  ASSERT_TRUE(data) << error;
  ASSERT_TRUE(data->send("x"));
  data->finish();
  EXPECT_EQ(c->read_line(), "231 (end of transfered) file received");
}

TEST_F(Tls, DataConnectionOfAnotherStudioIsRefusedAndTheRightOneServed) {
  e2e::tls_daemon agent;
  ASSERT_TRUE(agent.ready());
  std::string error;
  auto c = e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error);
  ASSERT_TRUE(c) << error;
  const int port = data_port(*c);
  e2e::write_file(agent.dir().file("f"), "the file\n");
  struct wrong_case {
    const char* name;
    std::string studio;  // "plain": a plain connection that waits
    std::string logged;
  };
  const wrong_case cases[] = {
      {"another certificate", "alice2", "refused on port " + std::to_string(port) + ": not the studio's certificate"},
      {"a certificate of another CA", "stranger", "refused on port " + std::to_string(port) + ": TLS handshake failed"},
      {"plain text", "plain", ""},
  };
  for (const wrong_case& w : cases) {
    SCOPED_TRACE(w.name);
    ASSERT_TRUE(c->send("GETF f\r\n"));
    std::unique_ptr<e2e::tls_connection> wrong;
    studio::socket_fd plain;
    if (w.studio == "plain") {
      plain = e2e::connect_local(port, e2e::kReplyMs);
      ASSERT_TRUE(plain.valid());
    } else {
      wrong = e2e::tls_connection::open(port, e2e::studio_options(w.studio), &error);
      if (wrong) {
        std::string got;
        EXPECT_FALSE(wrong->read_all(&got)) << got;
        EXPECT_EQ(got, "");
      }
      EXPECT_TRUE(agent.log_has(w.logged)) << agent.log();
    }
    auto right = e2e::tls_connection::open(port, e2e::studio_options("alice"), &error);
    ASSERT_TRUE(right) << error;
    std::string got;
    EXPECT_TRUE(right->read_all(&got));
    EXPECT_EQ(got, "the file\n");
    EXPECT_EQ(c->read_line(), "230 (end of transfered) file sent");
  }
}

TEST_F(Tls, StalledHandshakeEndsAtTheTimeToIdentify) {
  e2e::tls_daemon agent("+ +\n", true, {{"KVS_IDENT_TIMEOUT", "1"}});
  ASSERT_TRUE(agent.ready());
  // Nothing at all; the first bytes of a ClientHello record, then nothing.
  for (const std::string& sent : {""s, "\x16\x03\x01\x02\x00\x01\x00\x01\xfc"s}) {
    SCOPED_TRACE(sent.size());
    std::string got;
    EXPECT_TRUE(plain_closed(agent.port(), sent, &got, 15000));
  }
  EXPECT_TRUE(agent.log_has("no user identified within 1 s, connection closed")) << agent.log();
  std::string error;
  EXPECT_TRUE(e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error)) << error;
}

TEST_F(Tls, SighupReloadsTheCertificateAndKeepsItWhenTheNewFileIsBroken) {
  e2e::tls_daemon agent;
  ASSERT_TRUE(agent.ready());
  const e2e::test_certs& certs = e2e::test_certs::get();
  std::string error;
  auto before = e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error);
  ASSERT_TRUE(before) << error;
  const std::string first_key = before->server_key();

  e2e::write_file(agent.cert_path(), e2e::read_file(certs.pem("agent2")));
  e2e::write_file(agent.key_path(), e2e::read_file(certs.key("agent2")));
  ASSERT_EQ(::kill(agent.pid(), SIGHUP), 0);
  ASSERT_TRUE(agent.log_has("TLS reloaded: certificate " + agent.cert_path())) << agent.log();
  auto after = e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error);
  ASSERT_TRUE(after) << error;
  const std::string second_key = after->server_key();
  EXPECT_NE(second_key, first_key);
  // The connection opened before goes on.
  EXPECT_EQ(before->command("FTPB"), "228 transfer mode set to BINARY");

  e2e::write_file(agent.cert_path(), "-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n");
  ASSERT_EQ(::kill(agent.pid(), SIGHUP), 0);
  ASSERT_TRUE(agent.log_has("TLS reload failed, the previous certificate stays in use: KVS_TLS_CERT " +
                            agent.cert_path()))
      << agent.log();
  auto still = e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error);
  ASSERT_TRUE(still) << error;
  EXPECT_EQ(still->server_key(), second_key);
}

TEST(TlsSettings, PlainDaemonLivesThroughSighup) {
  e2e::temp_dir dir;
  e2e::agent_options options;
  options.env["KVS_DIR"] = dir.path();
  options.cwd = dir.path();
  const int port = e2e::free_port();
  e2e::captured_process daemon = e2e::start_agent({std::to_string(port)}, options);
  ASSERT_TRUE(e2e::eventually([&] { return e2e::listening_on(port); }, 10000));
  ASSERT_EQ(::kill(daemon.pid, SIGHUP), 0);
  EXPECT_TRUE(e2e::eventually([&] { return daemon.out().find("SIGHUP: no TLS settings") != std::string::npos; }));
  EXPECT_TRUE(daemon.running());
  daemon.kill_now();
}

TEST(TlsSettings, DaemonRefusesSettingsThatCannotServe) {
  const e2e::test_certs& certs = e2e::test_certs::get();
  if (!certs.made()) GTEST_SKIP() << "no test certificates";
  e2e::temp_dir dir;
  e2e::write_file(dir.file("empty"), "");
  struct settings_case {
    const char* name;
    std::map<std::string, std::string> env;
    std::string message;
  };
  const settings_case cases[] = {
      {"a certificate without its key", {{"KVS_TLS_CERT", certs.pem("agent")}},
       "KVS_TLS_CERT and KVS_TLS_KEY must be set together"},
      {"a CA bundle alone", {{"KVS_TLS_CLIENT_CA", certs.pem("ca")}},
       "KVS_TLS_CLIENT_CA needs KVS_TLS_CERT and KVS_TLS_KEY"},
      {"a missing key file", {{"KVS_TLS_CERT", certs.pem("agent")}, {"KVS_TLS_KEY", dir.file("none")}},
       "TLS settings refused: KVS_TLS_KEY " + dir.file("none") + ": cannot be opened"},
      {"a key of another certificate", {{"KVS_TLS_CERT", certs.pem("agent")}, {"KVS_TLS_KEY", certs.key("alice")}},
       "TLS settings refused: KVS_TLS_KEY " + certs.key("alice") + ": key: "},
      {"an empty CA bundle",
       {{"KVS_TLS_CERT", certs.pem("agent")}, {"KVS_TLS_KEY", certs.key("agent")}, {"KVS_TLS_CLIENT_CA", dir.file("empty")}},
       "TLS settings refused: KVS_TLS_CLIENT_CA " + dir.file("empty") + ": empty"},
  };
  for (const settings_case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::agent_options options;
    options.env = c.env;
    options.env["KVS_DIR"] = dir.path();
    const int port = e2e::free_port();
    e2e::captured_process daemon = e2e::start_agent({std::to_string(port)}, options);
    EXPECT_EQ(daemon.wait_exit(10000), 1);
    EXPECT_NE(daemon.out().find(c.message), std::string::npos) << daemon.out();
    EXPECT_FALSE(e2e::listening_on(port));
  }
}

// Relays connections to a port both ways and keeps every byte that passed.
class recording_proxy {
 public:
  explicit recording_proxy(int target) : target_(target) {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_.get(), 4);
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~recording_proxy() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_; }
  std::string recorded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorded_;
  }

 private:
  // Every connection accepted is relayed until either side ends; the loop
  // looks at the stop flag at least every 50 ms.
  void run() {
    std::vector<std::pair<studio::socket_fd, studio::socket_fd>> pairs;
    while (!stop_) {
      std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}};
      for (auto& [a, b] : pairs) {
        fds.push_back({a.get(), POLLIN, 0});
        fds.push_back({b.get(), POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents != 0) {
        studio::socket_fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        studio::socket_fd server = e2e::connect_local(target_, e2e::kReplyMs);
        if (client.valid() && server.valid()) pairs.emplace_back(std::move(client), std::move(server));
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto& pair = pairs[(i - 1) / 2];
        int from = fds[i].fd, to = from == pair.first.get() ? pair.second.get() : pair.first.get();
        char chunk[65536];
        ssize_t n = ::recv(from, chunk, sizeof chunk, 0);
        if (n <= 0) {
          ::shutdown(to, SHUT_WR);
          continue;
        }
        {
          std::lock_guard<std::mutex> lock(mutex_);
          recorded_.append(chunk, static_cast<std::size_t>(n));
        }
        studio::send_all(to, std::string_view(chunk, static_cast<std::size_t>(n)));
      }
    }
  }

  int target_;
  int port_ = -1;
  studio::socket_fd listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string recorded_;
};

TEST_F(Tls, NoSecretCrossesTheWireInClear) {
  e2e::tls_daemon agent;
  ASSERT_TRUE(agent.ready());
  recording_proxy commands(agent.port());
  const std::string secret_value = "kvs-secret-env-5f1c9a";
  const std::string secret_file = "kvs-secret-file-content-0d7e2b";
  std::string error;
  auto c = e2e::tls_admitted(commands.port(), e2e::studio_options("alice"), "alice", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->command("SENV KVSSECRET=" + secret_value), "212 setenv succeeded");
  const int port = data_port(*c);
  ASSERT_GT(port, 0);
  recording_proxy data(port);
  ASSERT_TRUE(c->send("PUTF s\r\n"));
  {
    auto d = e2e::tls_connection::open(data.port(), e2e::studio_options("alice"), &error);
    ASSERT_TRUE(d) << error;
    ASSERT_TRUE(d->send(secret_file));
    d->finish();
  }
  EXPECT_EQ(c->read_line(), "231 (end of transfered) file received");
  EXPECT_EQ(c->command("EXEC sh -c 'test \"$KVSSECRET\" = " + secret_value + "'"), "261 child process launched : %1");
  EXPECT_EQ(c->read_line(), "661 process stopped : %1 => %1 (%0)");
  EXPECT_EQ(c->command("QUIT"), "221 bye.");
  EXPECT_EQ(e2e::read_file(agent.dir().file("s")), secret_file);
  const std::string wire = commands.recorded() + data.recorded();
  EXPECT_GT(wire.size(), 1000u);
  for (const std::string& secret : {secret_value, secret_file, "KVSSECRET"s, "access authorized"s, "PUTF"s})
    EXPECT_EQ(wire.find(secret), std::string::npos) << secret;
}

}  // namespace
