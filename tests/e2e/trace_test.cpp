#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/trace.h"
#include "harness.h"

namespace {

using e2e::eventually;
using e2e::fd_target;

namespace fs = std::filesystem;

const std::string kEnded = "661 process stopped : ";
const std::string kHost = "127.0.0.1";

// Checks at the end of every test that no program outlives the agent.
class Trace : public ::testing::Test {
 protected:
  void SetUp() override { s = e2e::admitted_session(); }

  void TearDown() override {
    s->studio().close();
    EXPECT_EQ(s->process().wait_exit(10000), 0) << s->process().err();
    s.reset();
    for (pid_t pid : seen) EXPECT_TRUE(eventually([pid] { return !e2e::process_alive(pid); })) << "stray " << pid;
  }

  // Launches a program that sleeps, and returns its pid.
  pid_t sleeper(int number) {
    EXPECT_EQ(s->command("EXEC sleep 30"), "261 child process launched : %" + std::to_string(number));
    pid_t found = -1;
    eventually([&] {
      for (pid_t pid : e2e::children_of(s->process().pid))
        if (std::find(seen.begin(), seen.end(), pid) == seen.end()) found = pid;
      return found > 0;
    });
    if (found > 0) seen.push_back(found);
    return found;
  }

  studio::trace_connection establish() {
    std::string error;
    studio::trace_connection trace = studio::establish_trace(s->studio(), kHost, e2e::kReplyMs, &error);
    EXPECT_TRUE(trace.valid()) << error;
    return trace;
  }

  std::unique_ptr<e2e::session> s;
  std::vector<pid_t> seen;
};

}  // namespace

TEST_F(Trace, PortStaysTheSameAndDiffersPerConnection) {
  std::string first = s->command("PORT");
  ASSERT_EQ(first.rfind("222 TRACE port : %", 0), 0U) << first;
  EXPECT_GT(studio::reply_number(first), 0);
  EXPECT_EQ(s->command("PORT ignored words"), first);
  auto other = e2e::admitted_session();
  std::string second = other->command("PORT");
  EXPECT_EQ(second.rfind("222 TRACE port : %", 0), 0U) << second;
  EXPECT_NE(second, first);
}

TEST_F(Trace, ProgramsReadAndWriteTheTraceConnection) {
  studio::trace_connection trace = establish();
  ASSERT_TRUE(trace.valid());
  ASSERT_EQ(s->command("EXEC sh -c 'echo ready; read x; echo \"got:$x\"; echo oops >&2; exit 2'"),
            "261 child process launched : %1");
  EXPECT_EQ(trace.read_until("ready\n", e2e::kReplyMs), "ready\n");
  ASSERT_TRUE(trace.write("hello world\n"));
  EXPECT_EQ(trace.read_until("oops\n", e2e::kReplyMs), "got:hello world\noops\n");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %1 (%2)");
  // A program reading to the end of its input sees the studio's end of input.
  ASSERT_EQ(s->command("EXEC sh -c 'cat; echo done'"), "261 child process launched : %2");
  ASSERT_TRUE(trace.write("a\nb"));
  ASSERT_TRUE(trace.close_input());
  EXPECT_EQ(trace.read_until("done\n", e2e::kReplyMs), "a\nbdone\n");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %2 (%0)");
}

TEST_F(Trace, TrwaAnswersOnceAClientConnectsBeforeOrAfterIt) {
  int port = studio::reply_number(s->command("PORT"));
  ASSERT_GT(port, 0);
  // The command first, the connection afterwards.
  ASSERT_TRUE(s->studio().send_line("TRWA"));
  studio::trace_connection late;
  ASSERT_TRUE(late.open(kHost, port, e2e::kReplyMs));
  EXPECT_EQ(s->read_line(), "225 trace port established");
  // The connection first: it waits in the backlog until TRWA takes it.
  studio::trace_connection early;
  ASSERT_TRUE(early.open(kHost, port, e2e::kReplyMs));
  EXPECT_EQ(s->command("TRWA"), "225 trace port established");
  ASSERT_EQ(s->command("EXEC echo to-the-latest"), "261 child process launched : %1");
  EXPECT_EQ(early.read_until("\n", e2e::kReplyMs), "to-the-latest\n");
}

TEST_F(Trace, WhichStandardHandlesAProgramGets) {
  // Trace on, no TRWA yet: nothing but /dev/null.
  pid_t before = sleeper(1);
  studio::trace_connection trace = establish();
  pid_t traced = sleeper(2);
  EXPECT_EQ(s->command("TROF"), "223 trace off");
  pid_t untraced = sleeper(3);
  EXPECT_EQ(s->command("TRON"), "224 trace on");
  pid_t traced_again = sleeper(4);

  for (int fd = 0; fd <= 2; ++fd) {
    EXPECT_EQ(fd_target(before, fd), "/dev/null");
    EXPECT_EQ(fd_target(untraced, fd), "/dev/null");  // TRON does not change running programs
    EXPECT_EQ(fd_target(traced, fd).rfind("socket:", 0), 0U) << fd_target(traced, fd);
    EXPECT_EQ(fd_target(traced_again, fd), fd_target(traced, fd));
  }
  EXPECT_EQ(e2e::open_fd_count(traced), 3);
  EXPECT_EQ(s->command("TROF anything"), "223 trace off");
  EXPECT_EQ(s->command("TRON anything"), "224 trace on");
}

TEST_F(Trace, ASecondTrwaServesLaterProgramsAndKeepsTheFirstOpen) {
  studio::trace_connection first = establish();
  ASSERT_EQ(s->command("EXEC sh -c 'read x; echo \"one:$x\"'"), "261 child process launched : %1");
  studio::trace_connection second = establish();
  ASSERT_TRUE(second.valid());
  ASSERT_EQ(s->command("EXEC echo two"), "261 child process launched : %2");
  EXPECT_EQ(second.read_until("two\n", e2e::kReplyMs), "two\n");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %2 (%0)");
  ASSERT_TRUE(first.write("a\n"));
  EXPECT_EQ(first.read_until("one:a\n", e2e::kReplyMs), "one:a\n");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %1 (%0)");
  // Its programs have ended, but the agent still holds the first connection.
  EXPECT_EQ(first.read_available(200), "");
  EXPECT_FALSE(first.ended());
}

TEST_F(Trace, TrwaWaitingNoticesTheStudioLeaving) {
  pid_t program = sleeper(1);
  ASSERT_GT(program, 0);
  ASSERT_GT(studio::reply_number(s->command("PORT")), 0);
  ASSERT_TRUE(s->studio().send_line("TRWA"));
  // Leaves the agent time to start waiting; the result is the same if it has not.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  s->studio().close();
  EXPECT_EQ(s->process().wait_exit(10000), 0);
  EXPECT_TRUE(eventually([&] { return !e2e::process_alive(program); }));
}
