// The trace and tester ports of a TLS agent: programs' streams relayed over
// the TLS trace connection byte for byte with their ends, trace connections
// of another studio refused, local testers in plain text from the agent's
// account only, and testers from another host over TLS only.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tls_studio.h"

using e2e::random_bytes;

namespace {

using clock_type = std::chrono::steady_clock;

// The number after the '%' of a reply; -1 when none.
int reply_number(const std::string& reply) {
  std::size_t at = reply.find('%');
  return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + 1);
}

// A TLS stream as a trace connection or a tester uses it, over a socket
// already connected: it verifies the agent as "localhost" against the test
// CA, with test certificate `name` ("" for none), and can end its sending
// while it goes on reading. Every call is bounded.
class tls_stream {
 public:
  tls_stream() = default;
  ~tls_stream() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  tls_stream(const tls_stream&) = delete;
  tls_stream& operator=(const tls_stream&) = delete;

  bool handshake(studio::socket_fd fd, const std::string& name) {
    fd_ = std::move(fd);
    if (!fd_.valid()) return false;
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) | O_NONBLOCK);
    const e2e::tls_options options = e2e::studio_options(name);
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION);
    SSL_CTX_load_verify_locations(ctx_, options.ca.c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (!name.empty() && (SSL_CTX_use_certificate_chain_file(ctx_, options.cert.c_str()) != 1 ||
                          SSL_CTX_use_PrivateKey_file(ctx_, options.key.c_str(), SSL_FILETYPE_PEM) != 1))
      return false;
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_.get());
    SSL_set1_host(ssl_, "localhost");
    return drive([&] { return SSL_connect(ssl_); }, e2e::kReplyMs);
  }

  bool write(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      std::size_t put = 0;
      if (!drive([&] { return SSL_write_ex(ssl_, bytes.data() + at, bytes.size() - at, &put); }, 4 * e2e::kReplyMs))
        return false;
      at += put;
    }
    return true;
  }
  // The end of what this side sends (close_notify); reading goes on.
  bool close_input() {
    return drive([&] { return SSL_shutdown(ssl_) >= 0 ? 1 : -1; }, e2e::kReplyMs);
  }
  // Reads until `size` bytes have come, the stream ended or timeout_ms passed.
  std::string read_exact(std::size_t size, int timeout_ms = e2e::kReplyMs) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (got_.size() < size && !ended_ && clock_type::now() < deadline) read_some(deadline);
    std::string out = got_.substr(0, std::min(size, got_.size()));
    got_.erase(0, out.size());
    return out;
  }
  std::string read_until(std::string_view text, int timeout_ms = e2e::kReplyMs) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (got_.find(text) == std::string::npos && !ended_ && clock_type::now() < deadline) read_some(deadline);
    std::size_t end = got_.find(text);
    std::string out = got_.substr(0, end == std::string::npos ? got_.size() : end + text.size());
    got_.erase(0, out.size());
    return out;
  }
  // Whether the agent ends the stream within timeout_ms: `clean` when it
  // sent the end of the session, `rest` what came before.
  bool ends_within(int timeout_ms, bool* clean = nullptr, std::string* rest = nullptr) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (!ended_ && clock_type::now() < deadline) read_some(deadline);
    if (clean != nullptr) *clean = clean_;
    if (rest != nullptr) *rest = got_;
    return ended_;
  }

 private:
  template <class Op>
  bool drive(Op op, int timeout_ms, int* error = nullptr) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      ERR_clear_error();
      int rc = op();
      if (rc > 0) return true;
      int e = SSL_get_error(ssl_, rc);
      if (error != nullptr) *error = e;
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_.get(), static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      ::poll(&p, 1, static_cast<int>(left));
    }
  }
  void read_some(clock_type::time_point deadline) {
    char chunk[65536];
    std::size_t n = 0;
    int e = 0;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    if (drive([&] { return SSL_read_ex(ssl_, chunk, sizeof chunk, &n); }, static_cast<int>(std::max<long long>(left, 0)),
              &e)) {
      got_.append(chunk, n);
    } else if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      ended_ = true;
      clean_ = e == SSL_ERROR_ZERO_RETURN;
    }
  }

  studio::socket_fd fd_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string got_;
  bool ended_ = false;
  bool clean_ = false;
};

// A TLS agent and alice's studio on it, over mutual TLS.
class TlsSide : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!e2e::test_certs::get().made()) GTEST_SKIP() << "the test certificates could not be made (openssl)";
    start();
  }
  void start(const std::map<std::string, std::string>& env = {}) {
    agent = std::make_unique<e2e::tls_daemon>("+ +\n", true, env);
    ASSERT_TRUE(agent->ready());
    std::string error;
    studio = e2e::tls_admitted(agent->port(), e2e::studio_options("alice"), "alice", &error);
    ASSERT_TRUE(studio) << error;
  }

  // TRWA with a trace connection of certificate `name`: the connection, its
  // handshake done, once the agent has answered 225.
  std::unique_ptr<tls_stream> trace(const std::string& name = "alice") {
    const int port = reply_number(studio->command("PORT"));
    EXPECT_GT(port, 0);
    EXPECT_TRUE(studio->send("TRWA\r\n"));
    auto stream = std::make_unique<tls_stream>();
    EXPECT_TRUE(stream->handshake(e2e::connect_local(port, e2e::kReplyMs), name));
    EXPECT_EQ(studio->read_line().value_or("<none>"), "225 trace port established");
    return stream;
  }

  std::unique_ptr<e2e::tls_daemon> agent;
  std::unique_ptr<e2e::tls_connection> studio;
};

const std::string kEnded = "661 process stopped : ";

TEST_F(TlsSide, ProgramsStreamsCrossTheRelayExactlyWithTheirEnds) {
  std::unique_ptr<tls_stream> t = trace();
  // More than the relay and the system buffers hold, every byte value.
  const std::string output = random_bytes(1 << 20, 1), input = random_bytes((1 << 20) + 3, 2);
  e2e::write_file(agent->dir().file("out.bin"), output);
  const std::string got = agent->dir().file("in.bin");
  ASSERT_EQ(studio->command("EXEC sh -c 'cat " + agent->dir().file("out.bin") + "; cat > " + got + "; exit 3'"),
            "261 child process launched : %1");
  EXPECT_TRUE(t->read_exact(output.size()) == output);
  ASSERT_TRUE(t->write(input));
  ASSERT_TRUE(t->close_input());
  EXPECT_EQ(studio->read_line(20000).value_or("<none>"), kEnded + "%1 => %1 (%3)");
  EXPECT_TRUE(e2e::read_file(got) == input);
  // Two programs on the one connection; the studio's end of input reaches
  // later programs too.
  ASSERT_EQ(studio->command("EXEC echo two"), "261 child process launched : %2");
  EXPECT_EQ(t->read_until("two\n"), "two\n");
  EXPECT_EQ(studio->read_line().value_or("<none>"), kEnded + "%1 => %2 (%0)");
  ASSERT_EQ(studio->command("EXEC sh -c 'cat; echo three >&2'"), "261 child process launched : %3");
  EXPECT_EQ(t->read_until("three\n"), "three\n");
  EXPECT_EQ(studio->read_line().value_or("<none>"), kEnded + "%1 => %3 (%0)");
}

// An earlier connection stays while its program runs, and ends with the end
// of the session once the program has ended and its output has gone.
TEST_F(TlsSide, AnEarlierConnectionIsKeptForItsProgramThenEndsCleanly) {
  std::unique_ptr<tls_stream> first = trace();
  ASSERT_EQ(studio->command("EXEC sh -c 'read x; echo \"one:$x\"'"), "261 child process launched : %1");
  std::unique_ptr<tls_stream> second = trace();
  ASSERT_EQ(studio->command("EXEC echo two"), "261 child process launched : %2");
  EXPECT_EQ(second->read_until("two\n"), "two\n");
  EXPECT_EQ(studio->read_line().value_or("<none>"), kEnded + "%1 => %2 (%0)");
  ASSERT_TRUE(first->write("a\n"));
  EXPECT_EQ(first->read_until("one:a\n"), "one:a\n");
  EXPECT_EQ(studio->read_line().value_or("<none>"), kEnded + "%1 => %1 (%0)");
  bool clean = false;
  std::string rest;
  EXPECT_TRUE(first->ends_within(e2e::kReplyMs, &clean, &rest));
  EXPECT_TRUE(clean);
  EXPECT_EQ(rest, "");
}

TEST_F(TlsSide, ATraceConnectionOfAnotherStudioIsRefusedAndTheRightOneThenServed) {
  const int port = reply_number(studio->command("PORT"));
  ASSERT_GT(port, 0);
  const struct {
    const char* name;
    const char* cert;  // nullptr: plain text
    const char* why;
  } cases[] = {
      {"another certificate", "alice2", "not the studio's certificate"},
      {"no certificate", "", "refused on port"},
      {"plain text", nullptr, "TLS handshake failed"},
  };
  int launched = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(studio->send("TRWA\r\n"));
    if (c.cert == nullptr) {
      studio::socket_fd plain = e2e::connect_local(port, e2e::kReplyMs);
      ASSERT_TRUE(studio::send_all(plain.get(), "hello\r\n"));
      pollfd p{plain.get(), POLLIN, 0};
      char byte;
      EXPECT_TRUE(::poll(&p, 1, e2e::kReplyMs) == 1 && ::recv(plain.get(), &byte, 1, 0) <= 0);
    } else {
      tls_stream wrong;
      wrong.handshake(e2e::connect_local(port, e2e::kReplyMs), c.cert);
      std::string rest;
      EXPECT_TRUE(wrong.ends_within(e2e::kReplyMs, nullptr, &rest));
      EXPECT_EQ(rest, "");
    }
    EXPECT_TRUE(agent->log_has(c.why));
    // TRWA goes on waiting: the right one is served.
    tls_stream right;
    ASSERT_TRUE(right.handshake(e2e::connect_local(port, e2e::kReplyMs), "alice"));
    EXPECT_EQ(studio->read_line().value_or("<none>"), "225 trace port established");
    const std::string n = std::to_string(++launched);
    ASSERT_EQ(studio->command("EXEC echo ok"), "261 child process launched : %" + n);
    EXPECT_EQ(right.read_until("ok\n"), "ok\n");
    EXPECT_EQ(studio->read_line().value_or("<none>"), kEnded + "%1 => %" + n + " (%0)");
  }
}

// What a tester sends first, and what the studio then reads, for each
// tester port.
struct tester_port {
  const char* command;  // the command that names the port
  const char* first;    // the tester's first line
  const char* seen;     // the start of the studio's line for it
};
const tester_port kTesterPorts[] = {
    {"PRDV", "meet\r\n", "601 wait rendezvous : meet"},
    {"PDYN", "booted\r\n", "700 boot dynfollow : "},
};

// Whether a plain tester of account `uid` sending `first` to `port` is
// closed by the agent without an answer; from a child process that takes
// that account.
bool closed_for_account(uid_t uid, int port, const std::string& first) {
  pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) _exit(3);
    studio::socket_fd fd = e2e::connect_local(port, e2e::kReplyMs);
    if (!fd.valid() || !studio::send_all(fd.get(), first)) _exit(4);
    char byte;
    _exit(::recv(fd.get(), &byte, 1, 0) <= 0 ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(TlsSide, ALocalTesterSpeaksPlainTextAndOnlyFromTheAgentsAccount) {
  std::vector<studio::socket_fd> admitted;  // kept: a tester leaving is news for the studio
  for (const tester_port& p : kTesterPorts) {
    SCOPED_TRACE(p.command);
    const int port = reply_number(studio->command(p.command));
    ASSERT_GT(port, 0);
    studio::socket_fd& own = admitted.emplace_back(e2e::connect_local(port, e2e::kReplyMs));
    ASSERT_TRUE(studio::send_all(own.get(), p.first));
    EXPECT_EQ(studio->read_line().value_or("<none>").rfind(p.seen, 0), 0U);
    if (::geteuid() != 0) continue;  // another account cannot be taken
    EXPECT_TRUE(closed_for_account(65534, port, p.first));
    EXPECT_TRUE(agent->log_has("refused on port " + std::to_string(port) + ": its socket belongs to"));
    // Nothing reached the studio for it.
    EXPECT_EQ(studio->command("HELO"), "210 hello, please to meet you.");
  }
}

// A tester from another host (an address of this machine's private network
// namespace that the agent cannot tell from another host's) must speak TLS
// with a certificate from the client CA.
TEST(TlsTesters, ATesterFromAnotherHostMustSpeakTlsWithACertificateOfTheCa) {
  if (!e2e::test_certs::get().made()) GTEST_SKIP() << "the test certificates could not be made (openssl)";
  if (!e2e::enter_private_network()) GTEST_SKIP() << "no network namespace can be made here";
  e2e::tls_daemon agent("+ +\n", true, {{"KVS_TESTERS_ANY_HOST", "1"}});
  ASSERT_TRUE(agent.ready());
  std::string error;
  std::unique_ptr<e2e::tls_connection> studio =
      e2e::tls_admitted(agent.port(), e2e::studio_options("alice"), "alice", &error);
  ASSERT_TRUE(studio) << error;
  const struct {
    const char* name;
    const char* cert;  // nullptr: plain text
    bool admitted;
  } cases[] = {
      {"plain text", nullptr, false},
      {"a certificate of another CA", "stranger", false},
      {"no certificate", "", false},
      {"a certificate of the CA", "bob", true},
  };
  std::vector<std::unique_ptr<tls_stream>> admitted;  // kept: a tester leaving is news for the studio
  for (const tester_port& p : kTesterPorts) {
    const int port = reply_number(studio->command(p.command));
    ASSERT_GT(port, 0);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(p.command) + ", " + c.name);
      studio::socket_fd fd = e2e::connect_from_afar(port);
      ASSERT_TRUE(fd.valid());
      tls_stream& tester = *admitted.emplace_back(std::make_unique<tls_stream>());
      bool ended = false;
      if (c.cert == nullptr) {
        ASSERT_TRUE(studio::send_all(fd.get(), p.first));
        pollfd w{fd.get(), POLLIN, 0};
        char byte;
        ended = ::poll(&w, 1, e2e::kReplyMs) == 1 && ::recv(fd.get(), &byte, 1, 0) <= 0;
      } else {
        tester.handshake(std::move(fd), c.cert);
        tester.write(p.first);
        if (!c.admitted) ended = tester.ends_within(e2e::kReplyMs);
      }
      if (c.admitted) {
        EXPECT_EQ(studio->read_line().value_or("<none>").rfind(p.seen, 0), 0U);
      } else {
        EXPECT_TRUE(ended);
        EXPECT_EQ(studio->command("HELO"), "210 hello, please to meet you.");
      }
    }
  }
  EXPECT_TRUE(agent.log_has("TLS handshake failed"));
}

}  // namespace
