#include <gtest/gtest.h>
#include <unistd.h>

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
