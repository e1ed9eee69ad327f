#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using e2e::eventually;
using e2e::fd_target;

namespace fs = std::filesystem;

const std::string kEnded = "661 process stopped : ";

// Every test checks at its end that no program it saw outlives the agent.
class Programs : public ::testing::Test {
 protected:
  void SetUp() override {
    s = e2e::admitted_session();
    ASSERT_TRUE(e2e::process_alive(s->process().pid));
  }

  void TearDown() override {
    s->studio().close();
    EXPECT_EQ(s->process().wait_exit(10000), 0) << s->process().err();
    s.reset();
    for (pid_t pid : seen) EXPECT_TRUE(eventually([pid] { return !e2e::process_alive(pid); })) << "stray " << pid;
  }

  pid_t agent() { return s->process().pid; }

  // The agent's children right now, remembered for the final check.
  std::vector<pid_t> programs() {
    std::vector<pid_t> now = e2e::children_of(agent());
    seen.insert(seen.end(), now.begin(), now.end());
    return now;
  }

  // The only program the agent runs, once it has exactly one.
  pid_t only_program() {
    std::vector<pid_t> now;
    eventually([&] { return (now = programs()).size() == 1; });
    return now.size() == 1 ? now[0] : -1;
  }

  std::string exec(const std::string& command_line) { return s->command("EXEC " + command_line); }

  std::unique_ptr<e2e::session> s;
  std::vector<pid_t> seen;
};

// A shell command that waits until the file `go` exists in its directory.
std::string after_go(const std::string& then) {
  return "sh -c 'while [ ! -e go ]; do sleep 0.02; done; " + then + "'";
}

}  // namespace

TEST_F(Programs, NumbersStartAtOneAndFailedLaunchesTakeNone) {
  EXPECT_EQ(exec(""), "461 EXEC wait a command as parameter");
  EXPECT_EQ(exec("/nonexistent/kvs-program"), "561 EXEC process failed");
  EXPECT_EQ(exec("kvs-no-such-program-on-path"), "561 EXEC process failed");
  EXPECT_EQ(exec("sh -c 'exit 1"), "561 EXEC process failed");  // unclosed quote

  EXPECT_EQ(exec("true"), "261 child process launched : %1");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %1 (%0)");
  EXPECT_EQ(exec("sh -c 'exit 3'"), "261 child process launched : %2");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %2 (%3)");
  // A death by signal N reports 128 + N.
  EXPECT_EQ(exec("sh -c 'kill -KILL $$'"), "261 child process launched : %3");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %3 (%137)");
  // Reported programs have been reaped: no zombie stays.
  EXPECT_TRUE(programs().empty());
}

TEST_F(Programs, StatAndStopTakeOnlyAPlainNumberOfALaunchedProgram) {
  ASSERT_EQ(exec("sleep 30"), "261 child process launched : %1");
  for (const char* bad : {"", "-1", "+1", "1 ", "1a", "a", "0x1"}) {
    EXPECT_EQ(s->command(std::string("STAT ") + bad), "463 STAT need process number as parameter") << bad;
    EXPECT_EQ(s->command(std::string("STOP ") + bad), "464 STOP need process number as parameter") << bad;
  }
  for (const char* none : {"0", "2", "000", "4294967297", "99999999999999999999"}) {
    EXPECT_EQ(s->command(std::string("STAT ") + none), "563 STAT failed") << none;
    EXPECT_EQ(s->command(std::string("STOP ") + none), "564 STOP process failed") << none;
  }
  EXPECT_EQ(s->command("STAT 1"), "264 process is running : 1");
  EXPECT_EQ(s->command("STAT 01"), "264 process is running : 01");
  only_program();
}

TEST_F(Programs, StatFollowsAProgramToItsEnd) {
  ASSERT_EQ(exec(after_go("exit 3")), "261 child process launched : %1");
  pid_t pid = only_program();
  EXPECT_EQ(s->command("STAT 01"), "264 process is running : 01");
  e2e::write_file(s->dir().file("go"), "");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %1 (%3)");
  EXPECT_FALSE(e2e::process_alive(pid));
  EXPECT_EQ(s->command("STAT 01"), "263 process has ended : %01 (%3)");
  // The argument comes back whole, whatever its length.
  std::string zeros(300, '0');
  EXPECT_EQ(s->command("STAT " + zeros + "1"), "263 process has ended : %" + zeros + "1 (%3)");
  // Stopping an ended program kills nothing and answers its status.
  EXPECT_EQ(s->command("STOP 1"), "265 child process killed : %1 (%3)");
  EXPECT_EQ(s->command("STAT 1"), "263 process has ended : %1 (%3)");
}

TEST_F(Programs, StopKillsARunningProgramWhichThenEndsWithZero) {
  ASSERT_EQ(exec("sleep 30"), "261 child process launched : %1");
  pid_t pid = only_program();
  EXPECT_EQ(s->command("STOP 1"), "265 child process killed : %1 (%-1)");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %1 (%0)");
  EXPECT_FALSE(e2e::process_alive(pid));
  EXPECT_TRUE(programs().empty());
  EXPECT_EQ(s->command("STOP 1"), "265 child process killed : %1 (%0)");
  EXPECT_EQ(s->command("STAT 1"), "263 process has ended : %1 (%0)");
}

TEST_F(Programs, StopNumberIsItsDecimalValue) {
  for (int i = 1; i <= 7; ++i) {
    ASSERT_EQ(exec("sh -c 'exit " + std::to_string(i + 10) + "'"), "261 child process launched : %" + std::to_string(i));
    ASSERT_EQ(s->read_line(), kEnded + "%1 => %" + std::to_string(i) + " (%" + std::to_string(i + 10) + ")");
  }
  EXPECT_EQ(s->command("STOP 007"), "265 child process killed : %7 (%17)");
  EXPECT_EQ(s->command("STOP 8"), "564 STOP process failed");
}

TEST_F(Programs, EndsOfOneTurnShareOneLineLastFirst) {
  ASSERT_EQ(exec(after_go("exit 0")), "261 child process launched : %1");
  ASSERT_EQ(exec(after_go("exit 3")), "261 child process launched : %2");
  ASSERT_EQ(exec(after_go("exit 5")), "261 child process launched : %3");
  ASSERT_EQ(exec("sleep 30"), "261 child process launched : %4");
  std::string port = s->command("PORT");
  ASSERT_EQ(port.rfind("222 TRACE port : %", 0), 0U) << port;
  // While TRWA waits for its connection no turn runs, so the three ends are
  // all seen by the next turn's poll.
  ASSERT_TRUE(s->studio().send_line("TRWA"));
  std::vector<pid_t> waiting;
  ASSERT_TRUE(eventually([&] { return (waiting = programs()).size() == 4; }));
  e2e::write_file(s->dir().file("go"), "");
  auto zombies = [&] {
    int count = 0;
    for (pid_t pid : waiting) count += e2e::process_alive(pid) ? 0 : 1;
    return count == 3;
  };
  ASSERT_TRUE(eventually(zombies));
  studio::socket_fd trace = e2e::connect_local(studio::reply_number(port), 5000);
  ASSERT_TRUE(trace.valid());
  EXPECT_EQ(s->read_line(), "225 trace port established");
  EXPECT_EQ(s->read_line(), kEnded + "%3 => %3 (%5), %2 (%3), %1 (%0)");
  EXPECT_EQ(programs().size(), 1U);
}

TEST_F(Programs, ProgramsGetOnlyTheirStandardDescriptors) {
  ASSERT_EQ(exec("sleep 30"), "261 child process launched : %1");
  pid_t pid = only_program();
  // The loader may still hold a library open for a moment after the launch.
  EXPECT_TRUE(eventually([&] { return e2e::open_fd_count(pid) == 3; })) << e2e::open_fd_count(pid);
  for (int fd = 0; fd <= 2; ++fd) EXPECT_EQ(fd_target(pid, fd), "/dev/null") << fd;
  EXPECT_EQ(::getpgid(pid), pid);  // a process group of its own

  // Every socket and pipe of the agent is close-on-exec; those it inherited
  // from this test's own environment are not its doing.
  std::string fds = "/proc/" + std::to_string(agent()) + "/fdinfo";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(fds)) {
    int fd = std::stoi(entry.path().filename().string());
    std::string target = fd_target(agent(), fd);
    if (fd <= 2 || (target.rfind("socket:", 0) != 0 && target.rfind("pipe:", 0) != 0) ||
        target == fd_target(::getpid(), fd))
      continue;
    ++checked;
    std::string info = e2e::read_file(entry.path().string());
    std::size_t at = info.find("flags:");
    ASSERT_NE(at, std::string::npos);
    unsigned long flags = std::stoul(info.substr(at + 6), nullptr, 8);
    EXPECT_NE(flags & 02000000UL, 0UL) << "descriptor " << fd << " -> " << target;
  }
  EXPECT_GE(checked, 3);  // at least the command connection, the trace port and the wake-up pipe
}

TEST_F(Programs, ProgramsInheritTheEnvironmentAndDirectory) {
  ASSERT_EQ(s->command("SENV KVS_PROBE=two words"), "212 setenv succeeded");
  // No $ reference: the agent would expand it in the command line itself.
  ASSERT_EQ(exec("sh -c 'printenv KVS_AGT_BASEPWD KVS_PROBE > seen; pwd >> seen'"), "261 child process launched : %1");
  ASSERT_EQ(s->read_line(), kEnded + "%1 => %1 (%0)");
  std::string base = fs::canonical(s->dir().path()).string();
  EXPECT_EQ(e2e::read_file(s->dir().file("seen")), base + "\ntwo words\n" + base + "\n");

  // After CWD, programs start in the new directory; the base stays.
  fs::create_directory(s->dir().file("sub"));
  ASSERT_EQ(s->command("CWD sub"), "251 directory changed");
  ASSERT_EQ(exec("sh -c 'printenv KVS_AGT_BASEPWD > seen; pwd >> seen'"), "261 child process launched : %2");
  ASSERT_EQ(s->read_line(), kEnded + "%1 => %2 (%0)");
  EXPECT_EQ(e2e::read_file(s->dir().file("sub/seen")), base + "\n" + base + "/sub\n");
}

TEST_F(Programs, ProgramsAndTheirChildrenDieWhenTheStudioLeaves) {
  ASSERT_EQ(exec("sh -c 'sleep 60 & echo $! > child; wait'"), "261 child process launched : %1");
  ASSERT_EQ(exec("sleep 60"), "261 child process launched : %2");
  ASSERT_TRUE(eventually([&] { return !e2e::read_file(s->dir().file("child")).empty(); }));
  pid_t grandchild = std::stoi(e2e::read_file(s->dir().file("child")));
  seen.push_back(grandchild);
  ASSERT_EQ(programs().size(), 2U);
  ASSERT_TRUE(e2e::process_alive(grandchild));
  s->studio().close();
  EXPECT_EQ(s->process().wait_exit(10000), 0);
  // TearDown checks that all three are gone.
}

TEST_F(Programs, WhatAnEndedProgramLeavesBehindIsAdoptedAndReapedUnreported) {
  ASSERT_EQ(exec("sh -c '(while [ ! -e go ]; do sleep 0.02; done) & echo $! > bg; exit 0'"),
            "261 child process launched : %1");
  ASSERT_EQ(s->read_line(), kEnded + "%1 => %1 (%0)");
  pid_t background = std::stoi("0" + e2e::read_file(s->dir().file("bg")));
  ASSERT_GT(background, 0);
  seen.push_back(background);
  // Its parent has ended: it is the connection process's own now.
  std::vector<pid_t> now = programs();
  EXPECT_NE(std::find(now.begin(), now.end(), background), now.end());
  e2e::write_file(s->dir().file("go"), "");
  // Reaped once it ends, and never reported: the next reply is HELO's.
  EXPECT_TRUE(eventually([&] { return programs().empty(); })) << "an adopted process stayed a zombie";
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  EXPECT_EQ(s->command("STAT 1"), "263 process has ended : %1 (%0)");
}

// Processes that ended programs left in their groups end with the connection;
// one that left the group (setsid) is meant to outlive it.
TEST(ProgramGroups, LeftoversEndWithTheConnectionUnlessTheyLeftTheGroup) {
  struct {
    const char* name;
    std::string command;
    bool ends;
  } cases[] = {
      {"a background child", "sh -c 'sleep 300 & echo $! > bg'", true},
      {"a grandchild whose parent ended too", "sh -c '(sleep 300 & echo $! > bg; exit 0) & wait'", true},
      {"a child that left with setsid", "sh -c 'setsid sleep 300 & echo $! > bg'", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = e2e::admitted_session();
    ASSERT_EQ(s->command("EXEC " + c.command), "261 child process launched : %1");
    ASSERT_EQ(s->read_line(), kEnded + "%1 => %1 (%0)");
    pid_t left = std::stoi("0" + e2e::read_file(s->dir().file("bg")));
    ASSERT_GT(left, 0);
    ASSERT_TRUE(e2e::process_alive(left));
    std::vector<pid_t> held = e2e::children_of(s->process().pid);
    EXPECT_NE(std::find(held.begin(), held.end(), left), held.end()) << "not adopted";
    // setsid may not have run yet when its shell has ended.
    if (!c.ends) {
      EXPECT_TRUE(eventually([&] { return ::getsid(left) == left; }));
    }
    EXPECT_EQ(s->command("QUIT"), "221 bye.");
    EXPECT_EQ(s->process().wait_exit(10000), 0);
    if (c.ends) {
      EXPECT_TRUE(eventually([&] { return !e2e::process_alive(left); }));
    } else {
      EXPECT_TRUE(e2e::process_alive(left));
      ::kill(left, SIGKILL);
    }
  }
}

namespace {

// The daemon as the first process of a PID namespace of its own (unshare, as
// root), its output in files of `dir`; killing the returned process ends the
// namespace and everything in it.
e2e::captured_process daemon_in_pid_namespace(const e2e::temp_dir& dir, int port) {
  e2e::captured_process p;
  p.out_path = dir.file("agent.out");
  p.err_path = dir.file("agent.err");
  std::vector<std::string> argv{"unshare", "--pid", "--fork", "--mount-proc", "--kill-child",
                                e2e::agent_path(), std::to_string(port), "-IPv4"};
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::setenv("KVS_DIR", dir.path().c_str(), 1);
    ::setenv("KVS_ACCEPT_PAUSE_MS", "0", 1);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
    ::execvp(cargv[0], cargv.data());
    ::_exit(127);
  }
  p.pid = pid;
  return p;
}

}  // namespace

// A program ends and so does what it left in its group: the group's id is
// free. Handed (through ns_last_pid) to a program of another connection, that
// program leads a group of the same number, which the end of the first
// connection must not signal.
TEST(ProgramGroups, AFreedGroupIdGivenToAnotherConnectionsProgramIsNotSignalled) {
  if (::geteuid() != 0) GTEST_SKIP() << "a PID namespace of its own needs root";
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"), "+ +\n");
  // Waits until the group that a.pid names has no member left, then makes
  // that id the next one given in the namespace.
  e2e::write_file(dir.file("free-id.sh"),
                  "P=$(cat a.pid)\n"
                  "while kill -0 -$P 2>/dev/null; do sleep 0.02; done\n"
                  "echo $((P - 1)) > /proc/sys/kernel/ns_last_pid\n");
  e2e::write_file(dir.file("b.sh"), "echo $$ > b.pid\nexec sleep 300\n");
  const int port = e2e::free_port();
  e2e::captured_process ns = daemon_in_pid_namespace(dir, port);
  e2e::peer a(e2e::connect_local(port, e2e::kReplyMs));
  if (!a.valid()) {
    ns.kill_now();
    GTEST_SKIP() << "no PID namespace here: " << e2e::read_file(ns.err_path);
  }
  ASSERT_EQ(a.read_line(), "210 hello, please to meet you.");
  ASSERT_EQ(a.identify(), "310 access authorized.");
  e2e::peer b(e2e::connect_local(port, e2e::kReplyMs));
  ASSERT_EQ(b.read_line(), "210 hello, please to meet you.");
  ASSERT_EQ(b.identify(), "310 access authorized.");

  // Another process of the namespace may take the id first: a few rounds.
  int a_number = 0;
  int b_number = 0;
  bool handed = false;
  for (int round = 0; round < 5 && !handed; ++round) {
    std::filesystem::remove(dir.file("a.pid"));
    std::filesystem::remove(dir.file("b.pid"));
    ++a_number;
    ASSERT_EQ(a.command("EXEC sh -c 'echo $$ > a.pid; sleep 0.3 & exit 0'"),
              "261 child process launched : %" + std::to_string(a_number));
    ASSERT_EQ(a.read_line(), kEnded + "%1 => %" + std::to_string(a_number) + " (%0)");
    ++b_number;
    ASSERT_EQ(b.command("EXEC sh free-id.sh"), "261 child process launched : %" + std::to_string(b_number));
    ASSERT_EQ(b.read_line(10000), kEnded + "%1 => %" + std::to_string(b_number) + " (%0)");
    ++b_number;
    ASSERT_EQ(b.command("EXEC sh b.sh"), "261 child process launched : %" + std::to_string(b_number));
    ASSERT_TRUE(eventually([&] { return !e2e::read_file(dir.file("b.pid")).empty(); }));
    handed = e2e::read_file(dir.file("b.pid")) == e2e::read_file(dir.file("a.pid"));
    if (!handed) {
      ASSERT_EQ(b.command("STOP " + std::to_string(b_number)), "265 child process killed : %" +
                                                                   std::to_string(b_number) + " (%-1)");
      ASSERT_EQ(b.read_line(), kEnded + "%1 => %" + std::to_string(b_number) + " (%0)");
    }
  }
  if (!handed) {
    ns.kill_now();
    GTEST_SKIP() << "the freed id went to another process every time";
  }
  EXPECT_EQ(a.command("QUIT"), "221 bye.");
  EXPECT_TRUE(a.studio().wait_closed(e2e::kReplyMs));
  EXPECT_EQ(b.command("STAT " + std::to_string(b_number)), "264 process is running : " + std::to_string(b_number));
  ns.kill_now();
}
