// Access control end to end: authorization files against users and peers,
// with the log lines the agent writes on its standard output.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

using e2e::kReplyMs;
using e2e::session;

namespace {

struct attempt {
  const char* file;  // content of kvsagtd.ini
  const char* peer;  // peer name the connection process is given
  const char* user;
  bool admitted;
};

// Identifies once on a fresh connection; returns whether the user was admitted.
bool identify(const std::string& file, const std::string& peer, const std::string& user, std::string* log = nullptr) {
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"), file);
  e2e::agent_options options;
  options.env["KVS_DIR"] = dir.path();
  options.peer_name = peer;
  session s(options);
  EXPECT_EQ(s.read_line(), "210 hello, please to meet you.");
  std::string reply = s.identify(user);
  if (reply == "533 user is not allowed to connect") {
    EXPECT_TRUE(s.studio().wait_closed(kReplyMs));
  }
  s.studio().close();
  s.process().wait_exit(kReplyMs);
  if (log != nullptr) *log = s.process().out();
  return reply == "310 access authorized.";
}

}  // namespace

TEST(Access, RulesDecideAsTheFileSays) {
  const attempt cases[] = {
      {"+ +\n", "farhost", "anyone", true},
      {"+ +\n", "farhost", "", true},
      {"+ -\n", "farhost", "anyone", false},
      {"+ -bob\n+ +\n", "farhost", "bob", false},
      {"+ -bob\n+ +\n", "farhost", "alice", true},
      {"+ +\n+ -\n", "farhost", "alice", false},
      {"+ +bob\n+ -bob\n", "farhost", "bob", true},
      {"+ Bob\n", "farhost", "bob", false},
      {"+ bob\n", "farhost", "bob ", false},
      {"# only comments\n\n   # indented comment\n+ carol # trailing comment\n", "farhost", "carol", true},
      {"localhost -alice\n+ +\n", "localhost", "alice", false},
      {"localhost -alice\n+ +\n", "farhost", "alice", true},
      {"localhost dave\n", "127.0.0.1", "dave", true},
      {"no-such-host.invalid erin\n", "127.0.0.1", "erin", false},
      {"+ +\r\n", "farhost", "crlf", true},
  };
  for (const attempt& c : cases)
    EXPECT_EQ(identify(c.file, c.peer, c.user), c.admitted) << c.file << " | " << c.peer << " | '" << c.user << "'";
}

TEST(Access, LogLinesAndFormatErrors) {
  std::string log;
  EXPECT_TRUE(identify("oneword\n+ +\n", "farhost", "zed", &log));
  EXPECT_NE(log.find("kvsagtd: authorization file format error\n"), std::string::npos);
  EXPECT_NE(log.find("farhost zed #access granted\n"), std::string::npos);
  EXPECT_FALSE(identify("+ -\n", "farhost", "zed", &log));
  EXPECT_NE(log.find("farhost zed #access denied\n"), std::string::npos);
}

TEST(Access, TheLocalAccountIsAdmittedFromThisMachineOnly) {
  const std::string me = e2e::local_user();
  EXPECT_TRUE(identify("+ -\n", "localhost", me));
  EXPECT_FALSE(identify("+ -\n", "farhost", me));
}

TEST(Access, MissingFileIsReportedOncePerConnection) {
  e2e::temp_dir empty;
  e2e::agent_options options;
  options.env["KVS_DIR"] = empty.path();
  session s(options);
  ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
  EXPECT_EQ(s.identify(e2e::local_user()), "310 access authorized.");
  EXPECT_EQ(s.identify(e2e::local_user()), "310 access authorized.");
  EXPECT_EQ(s.command("QUIT"), "221 bye.");
  s.process().wait_exit(kReplyMs);
  std::string log = s.process().out();
  std::string message = "kvsagtd: authorization file " + empty.path() + "/kvsagtd.ini not found.\n Use current machine:user\n";
  ASSERT_NE(log.find(message), std::string::npos) << log;
  EXPECT_EQ(log.find(message), log.rfind(message));
}

TEST(Access, FileIsFoundThroughProvexdirWhenKvsDirIsUnset) {
  e2e::temp_dir root;
  std::string dir = root.path() + "/bin/intel/win32";
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  e2e::write_file(dir + "/kvsagtd.ini", "+ frank\n");
  e2e::agent_options options;
  options.env["KVS_DIR"] = "";  // set but empty counts as unset
  options.env["PROVEXDIR"] = root.path();
  options.peer_name = "farhost";
  session s(options);
  ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
  EXPECT_EQ(s.identify("frank"), "310 access authorized.");
}

TEST(Access, NeitherVariableSetRefusesEveryone) {
  e2e::agent_options options;
  options.env["KVS_DIR"] = "";
  options.unset_env = {"PROVEXDIR"};
  session s(options);
  ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
  EXPECT_EQ(s.identify(e2e::local_user()), "533 user is not allowed to connect");
  s.studio().close();
  s.process().wait_exit(kReplyMs);
  EXPECT_EQ(s.process().out().find("not found"), std::string::npos);
}

TEST(Access, AFileThatIsNotARegularOneIsRefusedAtOnce) {
  // What a named pipe, an endless device or a huge file would do to a reader
  // that trusts the name: wait in open() for ever, or fill the memory.
  struct hostile_case {
    const char* name;
    std::string why;
  };
  const hostile_case cases[] = {
      {"fifo", "a named pipe"},
      {"zero", "a character device"},
      {"directory", "a directory"},
      {"huge", "larger than 1048576 bytes"},
  };
  for (const hostile_case& c : cases) {
    e2e::temp_dir dir;
    const std::string ini = dir.file("kvsagtd.ini");
    ASSERT_EQ(e2e::make_refused_file(ini, c.name), 0) << c.name;
    e2e::agent_options options;
    options.env["KVS_DIR"] = dir.path();
    session s(options);
    ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
    EXPECT_EQ(s.identify("tester"), "533 user is not allowed to connect") << c.name;
    EXPECT_TRUE(s.studio().wait_closed(kReplyMs)) << c.name;
    ASSERT_TRUE(s.process().wait_exit(kReplyMs).has_value()) << c.name;
    const std::string log = s.process().out();
    EXPECT_NE(log.find("kvsagtd: authorization file " + ini + " refused: " + c.why + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("kvsagtd: authorization file " + ini + " not found.\n Use current machine:user\n"),
              std::string::npos)
        << log;
  }
}

namespace {

// "Qim <user>" sent to the daemon on `port` from a socket of account `uid`
// (a child process takes that account before it creates its socket); the
// reply, or "<none>".
std::string identify_as(uid_t uid, int port, const std::string& host, const std::string& user) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "<no pipe>";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    if (uid != ::geteuid() && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(2);
    studio::connection c(e2e::connect_local(port, kReplyMs, host));
    std::string reply = "<none>";
    if (c.read_line(kReplyMs) == "210 hello, please to meet you." && c.send_line("Qim " + user))
      reply = c.read_line(kReplyMs).value_or("<none>");
    ssize_t written = ::write(pipe_fds[1], reply.data(), reply.size());
    ::_exit(written == static_cast<ssize_t>(reply.size()) ? 0 : 3);
  }
  ::close(pipe_fds[1]);
  std::string reply;
  pollfd ready{pipe_fds[0], POLLIN, 0};
  char chunk[256];
  while (::poll(&ready, 1, 3 * kReplyMs) == 1) {
    ssize_t n = ::read(pipe_fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    reply.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return reply.empty() ? "<none>" : reply;
}

}  // namespace

TEST(Access, TheAgentsAccountCountsOnlyFromItsOwnSockets) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to connect from a second account";
  // The agent runs as root; nobody (65534) is the other local account.
  const uid_t other = 65534;
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"), "+ -\n+ guest\n");
  e2e::agent_options options;
  options.env["KVS_DIR"] = dir.path();
  options.env["KVS_ACCEPT_PAUSE_MS"] = "0";
  const int port = e2e::free_port();
  e2e::captured_process daemon = e2e::start_agent({std::to_string(port)}, options);
  const std::string me = e2e::local_user();
  struct claim {
    uid_t studio;
    std::string host;
    std::string user;
    bool admitted;
  };
  const claim cases[] = {
      {0, "127.0.0.1", me, true},  // the daemon's dual-stack socket sees an IPv4-mapped peer
      {0, "::1", me, true},
      {other, "127.0.0.1", me, false},  // a name is only a claim
      {other, "::1", me, false},
      {other, "127.0.0.1", "guest", true},  // the file's own rules stay as they are
      {other, "127.0.0.1", "nobody", false},
  };
  for (const claim& c : cases)
    EXPECT_EQ(identify_as(c.studio, port, c.host, c.user),
              c.admitted ? "310 access authorized." : "533 user is not allowed to connect")
        << c.studio << " " << c.host << " " << c.user;
  const std::string why = " " + me + " #access denied (the studio's socket belongs to nobody, not to the agent's account)\n";
  EXPECT_TRUE(e2e::eventually([&] { return daemon.out().find("localhost" + why) != std::string::npos; })) << daemon.out();
  EXPECT_NE(daemon.out().find("::1" + why), std::string::npos) << daemon.out();
  EXPECT_NE(daemon.out().find("localhost nobody #access denied\n"), std::string::npos) << daemon.out();
  daemon.kill_now();
}
