#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <iostream>
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

TEST_F(Trace, ASecondTrwaServesLaterProgramsAndTheFirstClosesOnceItsProgramsEnd) {
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
  // Its program has ended and no later EXEC can be given it: the agent lets
  // it go. The second, the latest, stays for programs to come.
  EXPECT_EQ(first.read_available(e2e::kReplyMs), "");
  EXPECT_TRUE(first.ended());
  ASSERT_EQ(s->command("EXEC echo three"), "261 child process launched : %3");
  EXPECT_EQ(second.read_until("three\n", e2e::kReplyMs), "three\n");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %3 (%0)");
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

namespace {

// The lines "from" to "to" as seq writes them.
std::string seq_output(int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i) text += std::to_string(i) + "\n";
  return text;
}

// Reads a trace connection slowly, in small pieces, to its end: what came,
// and whether it ended with a clean close (not a reset).
struct slow_reader {
  std::string got;
  bool clean_end = false;
};

slow_reader read_slowly(int fd) {
  slow_reader result;
  char area[16384];
  for (;;) {
    ssize_t n = ::recv(fd, area, sizeof area, 0);
    if (n <= 0) {
      result.clean_end = n == 0;
      return result;
    }
    result.got.append(area, static_cast<std::size_t>(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

// An earlier trace connection is closed once none of its programs runs and
// its output has reached the studio, however slowly the studio reads, and
// even though the studio sent input that no program read (closing over
// unread input would reset the connection and could cost the studio output).
TEST_F(Trace, AnEarlierConnectionClosesOnlyOnceItsProgramsEndedAndItsOutputArrived) {
  struct program {
    std::string command;  // run on the first connection
    std::string output;
  };
  const int big = 700000;  // megabytes of output, more than the socket buffers hold
  struct {
    const char* name;
    std::vector<program> programs;
  } cases[] = {
      {"ended before the next TRWA", {{"seq 1 " + std::to_string(big), seq_output(1, big)}}},
      {"still running at the next TRWA",
       {{"sh -c 'while [ ! -e go ]; do sleep 0.02; done; seq 1 " + std::to_string(big) + "'", seq_output(1, big)}}},
      {"shared by two programs, the second still running",
       {{"seq 1 1000", seq_output(1, 1000)},
        {"sh -c 'while [ ! -e go ]; do sleep 0.02; done; seq 5 " + std::to_string(big) + "'", seq_output(5, big)}}},
  };
  int launched = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(s->dir().file("go"));
    studio::trace_connection first = establish();
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(first.write("input that no program reads\n"));
    std::future<slow_reader> reader = std::async(std::launch::async, read_slowly, first.fd());
    std::string expected;
    std::vector<int> numbers;
    for (const program& p : c.programs) {
      numbers.push_back(++launched);
      ASSERT_EQ(s->command("EXEC " + p.command), "261 child process launched : %" + std::to_string(launched));
      expected += p.output;
      // The programs' outputs come one after the other.
      if (&p != &c.programs.back()) {
        ASSERT_EQ(s->read_line(), kEnded + "%1 => %" + std::to_string(launched) + " (%0)");
        numbers.pop_back();
      }
    }
    studio::trace_connection second = establish();
    ASSERT_TRUE(second.valid());
    e2e::write_file(s->dir().file("go"), "");
    EXPECT_EQ(s->read_line(15000), kEnded + "%1 => %" + std::to_string(numbers.back()) + " (%0)");
    if (reader.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ::shutdown(first.fd(), SHUT_RDWR);  // the reader must not outlive the test
      reader.wait();
      ADD_FAILURE() << "the first trace connection was not closed";
      continue;
    }
    slow_reader result = reader.get();
    EXPECT_TRUE(result.clean_end) << "reset";
    EXPECT_EQ(result.got.size(), expected.size());
    EXPECT_TRUE(result.got == expected) << "output differs";
  }
}

// A studio that opens a trace connection for each program and closes it
// after the program ended leaves the connection process where it started.
TEST_F(Trace, FiveHundredTraceConnectionsInARowLeaveTheDescriptorsFlat) {
  const pid_t agent = s->process().pid;
  ASSERT_EQ(s->command("PORT").rfind("222 TRACE port : %", 0), 0U);
  const int before = e2e::open_fd_count(agent);
  for (int i = 1; i <= 500; ++i) {
    studio::trace_connection trace = establish();
    ASSERT_TRUE(trace.valid()) << "connection " << i << ", " << e2e::open_fd_count(agent) << " descriptors";
    const std::string n = std::to_string(i);
    ASSERT_EQ(s->command("EXEC echo " + n), "261 child process launched : %" + n);
    ASSERT_EQ(trace.read_until(n + "\n", e2e::kReplyMs), n + "\n");
    ASSERT_EQ(s->read_line(), kEnded + "%1 => %" + n + " (%0)");
  }
  // The latest stays: a later EXEC may still be given it.
  int after = 0;
  EXPECT_TRUE(eventually([&] {
    EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
    return (after = e2e::open_fd_count(agent)) <= before + 1;
  }));
  std::cout << "descriptors: " << before << " before, " << after << " after 500 trace connections\n";
}

// The latest trace connection serves later programs after its studio has
// ended their input (shut its sending side), and is let go once the studio
// has reset it; programs launched afterwards get no standard handles.
TEST_F(Trace, TheLatestConnectionServesLaterProgramsUntilTheStudioResetsIt) {
  const pid_t agent = s->process().pid;
  studio::trace_connection trace = establish();
  ASSERT_TRUE(trace.close_input());
  ASSERT_EQ(s->command("EXEC sh -c 'cat; echo one'"), "261 child process launched : %1");
  EXPECT_EQ(trace.read_until("one\n", e2e::kReplyMs), "one\n");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %1 (%0)");
  ASSERT_EQ(s->command("EXEC echo two"), "261 child process launched : %2");
  EXPECT_EQ(trace.read_until("two\n", e2e::kReplyMs), "two\n");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %2 (%0)");

  ASSERT_EQ(s->command("EXEC echo unread"), "261 child process launched : %3");
  EXPECT_EQ(s->read_line(), kEnded + "%1 => %3 (%0)");
  const int held = e2e::open_fd_count(agent);
  // Closed over unread output, the connection is reset by the studio's system.
  ASSERT_TRUE(eventually([&] {
    pollfd readable{trace.fd(), POLLIN, 0};
    return ::poll(&readable, 1, 0) == 1;
  }));
  trace.close();
  EXPECT_TRUE(eventually([&] {
    EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
    return e2e::open_fd_count(agent) == held - 1;
  }));
  pid_t later = sleeper(4);
  for (int fd = 0; fd <= 2; ++fd) EXPECT_EQ(fd_target(later, fd), "/dev/null") << fd;
}
