// kvsctl against a real agent daemon: programs run with their output, input
// and exit status brought back, files move both ways, failures give 255 (or
// 1 for refused transfers) and a message, the shell shows notifications as
// they come.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "harness.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int kExitMs = 30000;  // how long a kvsctl invocation may take here

bool listening_on(int port) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  for (const char* table : {"/proc/net/tcp6", "/proc/net/tcp"}) {
    std::istringstream lines(e2e::read_file(table));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, suffix) == 0) return true;
    }
  }
  return false;
}

// A daemon of its own per test, in a temp directory that is its current
// directory and holds its authorization file.
class daemon_agent {
 public:
  explicit daemon_agent(const std::string& rules = "+ +\n") {
    e2e::write_file(dir_.file("kvsagtd.ini"), rules);
    e2e::agent_options options;
    options.env["KVS_DIR"] = dir_.path();
    options.cwd = dir_.path();
    for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
      port_ = e2e::free_port();
      process_ = e2e::start_agent({std::to_string(port_)}, options);
      auto deadline = std::chrono::steady_clock::now() + 10s;
      while (!ready_ && process_.running() && std::chrono::steady_clock::now() < deadline) {
        ready_ = listening_on(port_);
        if (!ready_) std::this_thread::sleep_for(10ms);
      }
      if (!ready_) process_.kill_now();
    }
  }
  ~daemon_agent() { process_.kill_now(); }

  bool ready() const { return ready_; }
  int port() const { return port_; }
  pid_t pid() const { return process_.pid; }
  std::string target(const std::string& host = "127.0.0.1") const {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port_);
  }
  const e2e::temp_dir& dir() const { return dir_; }

 private:
  e2e::temp_dir dir_;
  e2e::captured_process process_;
  int port_ = -1;
  bool ready_ = false;
};

// kvsctl started with its standard output and error in files and its
// standard input from this test (or /dev/null).
class kvsctl_process {
 public:
  kvsctl_process(const std::vector<std::string>& args, bool with_input = false) {
    static int serial = 0;
    ++serial;
    process_.out_path = dir_.file("out-" + std::to_string(serial));
    process_.err_path = dir_.file("err-" + std::to_string(serial));
    int pair[2] = {-1, -1};
    if (with_input && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) input_.reset(pair[0]);
    studio::socket_fd child_input(pair[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (child_input.valid())
      posix_spawn_file_actions_adddup2(&actions, child_input.get(), 0);
    else
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, process_.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, process_.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argv{e2e::tool_path("kvsctl")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) == 0) process_.pid = pid;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~kvsctl_process() { process_.kill_now(); }

  void write(const std::string& bytes) { studio::send_all(input_.get(), bytes); }
  void close_input() { input_.reset(); }
  std::optional<int> wait_exit(int timeout_ms = kExitMs) { return process_.wait_exit(timeout_ms); }
  std::string out() const { return process_.out(); }
  std::string err() const { return process_.err(); }
  // Waits until the standard output holds `text`.
  bool wait_output(const std::string& text, int timeout_ms = e2e::kReplyMs * 2) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

 private:
  e2e::temp_dir dir_;
  e2e::captured_process process_;
  studio::socket_fd input_;
};

struct outcome {
  std::optional<int> status;
  std::string out;
  std::string err;
};

outcome kvsctl(const std::vector<std::string>& args, const std::optional<std::string>& input = std::nullopt) {
  kvsctl_process p(args, input.has_value());
  if (input) {
    p.write(*input);
    p.close_input();
  }
  outcome o;
  o.status = p.wait_exit();
  o.out = p.out();
  o.err = p.err();
  return o;
}

std::string random_bytes(std::size_t size) {
  std::mt19937 generator(20240611);
  std::string data;
  for (int i = 0; i < 256; ++i) data += static_cast<char>(i);
  while (data.size() < size) data += static_cast<char>(generator() & 0xff);
  return data;
}

TEST(KvsctlRun, TheProgramsExitStatusComesBack) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  outcome ok = kvsctl({agent.target(), "run", "--", "sh", "-c", "echo fine"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out, "fine\n");
  outcome three = kvsctl({agent.target(), "run", "sh", "-c", "echo to-stderr >&2; exit 3"});
  EXPECT_EQ(three.status, 3) << three.err;
  EXPECT_EQ(three.out, "to-stderr\n");  // the program's error stream comes back too
  outcome killed = kvsctl({agent.target(), "run", "--", "sh", "-c", "kill -KILL $$"});
  EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.err;
}

TEST(KvsctlRun, OutputAndInputStreamAsTheyCome) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  kvsctl_process cat({agent.target(), "run", "--", "cat"}, true);
  cat.write("first line\n");
  // Printed while the input is still open: both directions stream.
  EXPECT_TRUE(cat.wait_output("first line\n"));
  std::string bulk = random_bytes(1 << 20);
  cat.write(bulk);
  cat.close_input();  // the program reads the end of its input, and ends
  EXPECT_EQ(cat.wait_exit(), 0) << cat.err();
  std::string out = cat.out();
  EXPECT_EQ(out.size(), 11 + bulk.size());
  EXPECT_TRUE(out == "first line\n" + bulk);
}

TEST(KvsctlRun, TheLastBytesBeforeTheEndArePrinted) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  outcome big = kvsctl({agent.target(), "run", "-n", "--", "sh", "-c",
                        "printf early; sleep 0.2; head -c 300000 /dev/zero | tr '\\0' x; printf END"});
  EXPECT_EQ(big.status, 0) << big.err;
  EXPECT_EQ(big.out, "early" + std::string(300000, 'x') + "END");
  // A child left behind in the program's group dies with the connection, and
  // kvsctl does not wait for it.
  outcome late = kvsctl({agent.target(), "run", "--", "sh", "-c", "(sleep 0.5; printf late) & printf early"}, "");
  EXPECT_EQ(late.status, 0) << late.err;
  EXPECT_EQ(late.out, "early");
}

TEST(KvsctlRun, ArgumentsEnvironmentAndDirectoryArriveUnchanged) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  const std::vector<std::string> words = {
      "a b",  "  lead",  "trail  ", "tab\there", "", "it's", "\"double\"", "back\\slash", "end\\",
      "$HOME", "${HOME}", "$",       "$$",        "$PATH:x", "\\$HOME", "'$HOME'", "new\nline", "cr\r\nlf",
      "*",    "a;b|c&d",  "%s%d",
  };
  std::vector<std::string> args{agent.target(), "run", "--", "sh", "-c", "for a; do printf '[%s]' \"$a\"; done",
                                "sh"};
  std::string expected;
  for (const std::string& w : words) {
    args.push_back(w);
    expected += "[" + w + "]";
  }
  outcome echoed = kvsctl(args);
  EXPECT_EQ(echoed.status, 0) << echoed.err;
  EXPECT_EQ(echoed.out, expected);

  ASSERT_EQ(::mkdir(agent.dir().file("sub dir").c_str(), 0755), 0);
  outcome placed = kvsctl({agent.target(), "run", "-e", "V=a 'b' c", "-e", "W=", "-C", "sub dir", "--", "sh", "-c",
                           "printf '%s|%s|%s' \"$V\" \"${W-unset}\" \"$(pwd)\""});
  EXPECT_EQ(placed.status, 0) << placed.err;
  EXPECT_EQ(placed.out, "a 'b' c||" + agent.dir().file("sub dir"));
}

TEST(KvsctlTransfer, PutThenGetGivesTheBinaryFileBackByteForByte) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  std::string data = random_bytes(300000);
  e2e::write_file(local.file("in.bin"), data);
  outcome put = kvsctl({agent.target(), "put", local.file("in.bin"), "copy.bin"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_TRUE(e2e::read_file(agent.dir().file("copy.bin")) == data);
  outcome get = kvsctl({agent.target(), "get", "copy.bin", local.file("back.bin")});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_TRUE(e2e::read_file(local.file("back.bin")) == data);
  // Nothing but the file is left in the local directory.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(local.path())) ++entries;
  EXPECT_EQ(entries, 2u);
}

TEST(KvsctlTransfer, AsciiModeConvertsLineEnds) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  // Local line ends are LF on both machines: the file arrives as it was,
  // which it would not if only one side converted.
  const std::string text = "line 1\nline 2\r\nlast without end";
  e2e::write_file(local.file("in.txt"), text);
  outcome put = kvsctl({agent.target(), "put", "--ascii", local.file("in.txt"), "text.txt"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(e2e::read_file(agent.dir().file("text.txt")), text);
  e2e::write_file(agent.dir().file("agent.txt"), "a\nb\n");
  outcome get = kvsctl({agent.target(), "get", "--ascii", "agent.txt", "-"});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "a\nb\n");
}

TEST(KvsctlTransfer, RefusedTransfersSayWhyAndKeepTheLocalFile) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  e2e::write_file(local.file("keep.txt"), "precious");
  outcome get = kvsctl({agent.target(), "get", "missing.txt", local.file("keep.txt")});
  EXPECT_EQ(get.status, 1);
  EXPECT_NE(get.err.find("530 send file failed"), std::string::npos) << get.err;
  EXPECT_EQ(e2e::read_file(local.file("keep.txt")), "precious");
  outcome put = kvsctl({agent.target(), "put", local.file("keep.txt"), "no/such/dir/x.txt"});
  EXPECT_EQ(put.status, 1);
  EXPECT_NE(put.err.find("531 receive file failed"), std::string::npos) << put.err;
}

TEST(KvsctlFailures, RefusedIdentificationAndNoAgentGive255) {
  daemon_agent agent("+ -intruder\n");
  ASSERT_TRUE(agent.ready());
  outcome refused = kvsctl({"-u", "intruder", agent.target(), "run", "--", "true"});
  EXPECT_EQ(refused.status, 255);
  EXPECT_NE(refused.err.find("533 user is not allowed to connect"), std::string::npos) << refused.err;
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;

  int nobody = e2e::free_port();
  outcome absent = kvsctl({"127.0.0.1:" + std::to_string(nobody), "put", "/dev/null", "x"});
  EXPECT_EQ(absent.status, 255);
  EXPECT_NE(absent.err.find("cannot connect"), std::string::npos) << absent.err;
}

TEST(KvsctlFailures, AnAgentThatDiesOrFreezesDuringARunGives255) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  auto connection_of = [&](kvsctl_process& p) -> pid_t {
    // Started and streaming once its output shows; the connection process
    // is then the daemon's only live child.
    p.write("up\n");
    if (!p.wait_output("up\n")) return -1;
    std::vector<pid_t> live;
    for (pid_t child : e2e::children_of(agent.pid()))
      if (e2e::process_alive(child)) live.push_back(child);
    return live.size() == 1 ? live[0] : -1;
  };
  {
    // cat ends by itself once kvsctl has gone and its input closes.
    kvsctl_process run({agent.target(), "run", "--", "cat"}, true);
    pid_t connection = connection_of(run);
    ASSERT_GT(connection, 0);
    ::kill(connection, SIGKILL);
    EXPECT_EQ(run.wait_exit(), 255);
    EXPECT_NE(run.err().find("closed the connection before the program ended"), std::string::npos) << run.err();
  }
  {
    kvsctl_process run({"-t", "3", agent.target(), "run", "--", "cat"}, true);
    pid_t connection = connection_of(run);
    ASSERT_GT(connection, 0);
    ::kill(connection, SIGSTOP);
    std::optional<int> status = run.wait_exit();
    ::kill(connection, SIGCONT);
    EXPECT_EQ(status, 255);
    EXPECT_NE(run.err().find("stopped answering"), std::string::npos) << run.err();
  }
}

TEST(KvsctlShell, ANotificationThatArrivesWhileIdleIsShown) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  kvsctl_process shell({agent.target(), "shell"}, true);
  shell.write("EXEC sleep 1\n");
  EXPECT_TRUE(shell.wait_output("261 child process launched : %1\n"));
  // Nothing typed meanwhile.
  EXPECT_TRUE(shell.wait_output("661 process stopped : %1 => %1 (%0)\n"));
  shell.write("GENV KVS_NO_SUCH_VARIABLE\n");
  shell.close_input();
  EXPECT_EQ(shell.wait_exit(), 0) << shell.err();
  EXPECT_EQ(shell.out(),
            "261 child process launched : %1\n"
            "661 process stopped : %1 => %1 (%0)\n"
            "511 getenv failed\n"
            "221 bye.\n");
}

TEST(KvsctlTesters, RendezvousAndDynamicFollowAreAnsweredOverIPv6) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  std::string six = agent.target("::1");
  outcome released = kvsctl({six, "run", "--rendezvous", "ok", "--", e2e::tool_path("kvsrdv"), "gate"});
  EXPECT_EQ(released.status, 0) << released.err;
  outcome refused = kvsctl({six, "run", "--rendezvous=ko", "--dynfollow=ok", "--", "sh", "-c",
                            e2e::tool_path("kvsdynf") + " --wait End_of_x </dev/null && " + e2e::tool_path("kvsrdv") +
                                " gate"});
  EXPECT_EQ(refused.status, 1) << refused.err;  // kvsrdv's status for Ko
  EXPECT_EQ(refused.out, "Ok\n");               // kvsdynf prints the answer
  outcome bye = kvsctl({six, "release", "nobody waits here"});
  EXPECT_EQ(bye.status, 0) << bye.err;
  EXPECT_EQ(bye.err, "");
}

TEST(KvsctlUsage, HelpVersionAndBadCommandLines) {
  outcome help = kvsctl({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: kvsctl", 0), 0u);
  outcome run_help = kvsctl({"localhost", "run", "--help"});
  EXPECT_EQ(run_help.status, 0);
  EXPECT_NE(run_help.out.find("run [-C DIR]"), std::string::npos);
  outcome version = kvsctl({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("kvsctl ", 0), 0u);
  outcome bad = kvsctl({"localhost", "launch"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("unknown command"), std::string::npos);
}

}  // namespace
