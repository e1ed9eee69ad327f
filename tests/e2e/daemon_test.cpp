// The daemon: argument forms, exit statuses, the busy-port probe, address
// families, and connection processes that leave no zombie behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <thread>

#include "harness.h"

using e2e::kReplyMs;

namespace {

const std::string kUsage =
    "System testing Agent 8.0.1.2.343.015\nProvex-I-USAGE: kvsagtd <TCP port number> [-IPv4]\n";
const std::string kBanner = "System testing Agent 8.0.1.2.343.015\n";

// A running daemon, stopped at the end of the test.
struct daemon_run {
  int port = e2e::free_port();
  e2e::captured_process process;
  explicit daemon_run(std::vector<std::string> extra = {}, e2e::agent_options options = {}) {
    std::vector<std::string> args{std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    process = e2e::start_agent(args, options);
  }
  ~daemon_run() { process.kill_now(); }
  studio::socket_fd connect(const std::string& host = "127.0.0.1") { return e2e::connect_local(port, kReplyMs, host); }
};

std::string greeting(studio::socket_fd& s) {
  studio::connection c(std::move(s));
  std::string line = c.read_line(kReplyMs).value_or("<none>");
  s = studio::socket_fd(dup(c.fd()));
  return line;
}

}  // namespace

TEST(Daemon, CommandLinesOtherThanTheDocumentedOnesPrintTheUsageAndExitOne) {
  // A port on which nothing listens: a daemon that wrongly started would be found there.
  const std::string port = std::to_string(e2e::free_port());
  struct run_case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  };
  const run_case cases[] = {
      {{}, 1, "", kUsage},
      {{"1", "2", "3", "4"}, 1, "", kUsage},
      {{"abc"}, 1, "", kUsage},
      {{"0"}, 1, "", kUsage},
      {{"65536"}, 1, "", kUsage},
      {{"12x"}, 1, "", kUsage},
      {{"-5"}, 1, "", kUsage},
      {{"-IPv4"}, 1, "", kUsage},
      // The second word is -IPv4 exactly, or there is none.
      {{port, "127.0.0.1"}, 1, "", kUsage},
      {{port, "-IPv6"}, 1, "", kUsage},
      {{port, "-ipv4"}, 1, "", kUsage},
      {{port, "-IPv4 "}, 1, "", kUsage},
      // Three words that are not the internal form (descriptor numbers).
      {{port, "-IPv4", "x"}, 1, "", kUsage},
      {{"--version", "x"}, 1, "", kUsage},
      {{"--version"}, 0, "kvsagtd 8.0.1\n", ""},
      {{"--help"}, 0, kUsage, ""},
  };
  for (const run_case& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += "[" + arg + "]";
    e2e::captured_process p = e2e::start_agent(c.args);
    EXPECT_EQ(p.wait_exit(kReplyMs), c.status) << line;
    EXPECT_EQ(p.out(), c.out) << line;
    EXPECT_EQ(p.err(), c.err) << line;
  }
  EXPECT_FALSE(studio::connect_tcp("127.0.0.1", std::stoi(port), 200).valid());
}

TEST(Daemon, GreetsWithTheBannerOnStandardErrorAndRefusesABusyPort) {
  daemon_run first;
  studio::socket_fd s = first.connect();
  ASSERT_TRUE(s.valid());
  EXPECT_EQ(greeting(s), "210 hello, please to meet you.");
  EXPECT_EQ(first.process.err(), kBanner);

  e2e::captured_process second = e2e::start_agent({std::to_string(first.port)});
  EXPECT_EQ(second.wait_exit(kReplyMs), 1);
  EXPECT_EQ(second.out(),
            "kvsagtd : The port " + std::to_string(first.port) + " is already used. An other agent may be running\n");
}

TEST(Daemon, DefaultModeServesIpv4AndIpv6Clients) {
  daemon_run d;
  studio::socket_fd four = d.connect("127.0.0.1");
  ASSERT_TRUE(four.valid());
  EXPECT_EQ(greeting(four), "210 hello, please to meet you.");
  studio::socket_fd six = d.connect("::1");
  ASSERT_TRUE(six.valid());
  EXPECT_EQ(greeting(six), "210 hello, please to meet you.");
}

TEST(Daemon, Ipv4ModeRefusesIpv6Clients) {
  daemon_run d({"-IPv4"});
  studio::socket_fd four = d.connect("127.0.0.1");
  ASSERT_TRUE(four.valid());
  EXPECT_EQ(greeting(four), "210 hello, please to meet you.");
  EXPECT_FALSE(studio::connect_tcp("::1", d.port, 1000).valid());
}

TEST(Daemon, PeerNameOfALoopbackClientIsLocalhost) {
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"), "+ +\n");
  e2e::agent_options options;
  options.env["KVS_DIR"] = dir.path();
  daemon_run d({}, options);
  studio::connection c(d.connect());
  ASSERT_EQ(c.read_line(kReplyMs), "210 hello, please to meet you.");
  EXPECT_EQ(c.command("Qim walter", kReplyMs), "310 access authorized.");
  EXPECT_EQ(c.command("QUIT", kReplyMs), "221 bye.");
  EXPECT_TRUE(c.wait_closed(kReplyMs));
  // The connection process shares the daemon's standard output.
  for (int i = 0; i < 100 && d.process.out().find("#access") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(d.process.out().find("localhost walter #access granted\n"), std::string::npos) << d.process.out();
}

TEST(Daemon, EndedConnectionProcessesAreReaped) {
  daemon_run d;
  for (int i = 0; i < 2; ++i) {
    studio::connection c(d.connect());
    ASSERT_EQ(c.read_line(kReplyMs), "210 hello, please to meet you.");
    c.close();
  }
  bool clean = false;
  for (int i = 0; i < 250 && !clean; ++i) {
    clean = e2e::connection_processes_of(d.process.pid).empty();
    if (!clean) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(clean);
  EXPECT_TRUE(d.process.running());
}

// Each connection process is started ahead of its connection: connections in
// a row are all served, and the one waiting for the next connection ends with
// the daemon, however the daemon ends; the connections already open go on.
TEST(Daemon, ConnectionsInARowAreServedAndNoSpareOutlivesTheDaemon) {
  for (int signal : {SIGTERM, SIGKILL}) {
    daemon_run d({}, {.env = {{"KVS_ACCEPT_PAUSE_MS", "0"}}});
    std::vector<studio::connection> open;
    for (int i = 0; i < 4; ++i) {
      open.emplace_back(d.connect());
      ASSERT_EQ(open.back().read_line(kReplyMs), "210 hello, please to meet you.") << i;
    }
    // (A spare just started may still be on its way to its wait.)
    EXPECT_TRUE(e2e::eventually([&] { return e2e::connection_processes_of(d.process.pid).size() == 4; }));
    pid_t spare = -1;
    ASSERT_TRUE(e2e::eventually([&] { return (spare = e2e::spare_of(d.process.pid)) > 0; }));
    ASSERT_EQ(::kill(d.process.pid, signal), 0);
    EXPECT_TRUE(d.process.wait_exit(kReplyMs).has_value());
    EXPECT_TRUE(e2e::eventually([&] { return !e2e::process_alive(spare); })) << signal;
    EXPECT_EQ(open[0].command("HELO", kReplyMs), "210 hello, please to meet you.") << signal;
  }
}

// A connection that comes when the waiting process has died, or that it does
// not take (frozen: the daemon ends it after a while), is started for it as
// it arrives; the next one is waiting again afterwards.
TEST(Daemon, AConnectionIsServedWhenItsSpareDiedOrFroze) {
  daemon_run d({}, {.env = {{"KVS_ACCEPT_PAUSE_MS", "0"}}});
  for (int signal : {SIGKILL, SIGSTOP, SIGKILL}) {
    pid_t spare = -1;
    ASSERT_TRUE(e2e::eventually([&] { return (spare = e2e::spare_of(d.process.pid)) > 0; })) << signal;
    ASSERT_EQ(::kill(spare, signal), 0);
    if (signal == SIGKILL) {
      ASSERT_TRUE(e2e::eventually([&] { return !e2e::process_alive(spare); }));
    }
    studio::connection c(d.connect());
    EXPECT_EQ(c.read_line(kReplyMs), "210 hello, please to meet you.") << signal;
    EXPECT_EQ(c.command("HELO", kReplyMs), "210 hello, please to meet you.") << signal;
    EXPECT_TRUE(e2e::eventually([&] { return !e2e::process_alive(spare); })) << signal;
  }
}
