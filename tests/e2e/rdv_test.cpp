#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/rendezvous.h"
#include "harness.h"
#include "net/tcpip.h"

using e2e::kReplyMs;

namespace {

constexpr int kAnswerMs = 5000;

// A tester connection to the rendezvous port, driven byte by byte.
struct tester {
  studio::socket_fd fd;

  explicit tester(int port) { fd = e2e::connect_local(port, kReplyMs); }
  bool send(std::string_view bytes) { return studio::send_all(fd.get(), bytes); }
  // What the agent sent before closing the connection, and whether it closed.
  std::string answer(bool* closed) { return studio::read_until_closed(fd.get(), kAnswerMs, closed); }
  // Whether anything (data or a close) is waiting on the connection.
  bool has_news(int ms = 300) {
    pollfd p{fd.get(), POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }
};

int rdv_port(e2e::session& s) { return studio::reply_number(s.command("PRDV")); }

// A command whose reply proves that every earlier line has been handled and
// that nothing else was sent in between.
void expect_next_reply_is_prdv(e2e::session& s) {
  EXPECT_EQ(s.command("PRDV").rfind("240 RDV port : %", 0), 0u);
}

void expect_answer(tester& t, const std::string& expected) {
  bool closed = false;
  EXPECT_EQ(t.answer(&closed), expected);
  EXPECT_TRUE(closed);
}

// Runs a helper executable with KVS_PORT_RDV set (unset when port_text is
// null); returns its exit status, or -1 when it did not end in time.
struct helper_run {
  pid_t pid = -1;

  helper_run(const std::string& path, const std::vector<std::string>& args, const char* port_text) {
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    pid = ::fork();
    if (pid == 0) {
      if (port_text != nullptr) {
        ::setenv("KVS_PORT_RDV", port_text, 1);
      } else {
        ::unsetenv("KVS_PORT_RDV");
      }
      std::vector<char*> cargv;
      for (std::string& a : argv) cargv.push_back(a.data());
      cargv.push_back(nullptr);
      ::execv(cargv[0], cargv.data());
      ::_exit(127);
    }
  }
  ~helper_run() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  int wait(int timeout_ms = kAnswerMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid > 0) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }
};

}  // namespace

TEST(Rendezvous, PortIsPublishedForLaunchedProgramsAndByPrdv) {
  auto s = e2e::admitted_session();
  std::string reply = s->command("PRDV");
  ASSERT_EQ(reply.rfind("240 RDV port : %", 0), 0u) << reply;
  int port = studio::reply_number(reply);
  EXPECT_GT(port, 0);
  EXPECT_EQ(s->command("GENV KVS_PORT_RDV"), "211 getenv result : KVS_PORT_RDV=" + std::to_string(port));
}

TEST(Rendezvous, RvokReleasesEveryTesterOfTheNameWithOkAndNoReplyLine) {
  auto s = e2e::admitted_session();
  int port = rdv_port(*s);
  tester plain(port), framed(port);
  ASSERT_TRUE(plain.send("A"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : A");
  ASSERT_TRUE(framed.send("A\r\n"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : A");

  s->studio().send_line("RVOK A");
  expect_next_reply_is_prdv(*s);
  expect_answer(plain, "Ok");
  expect_answer(framed, "Ok");
}

TEST(Rendezvous, RvkoReleasesWithKoAndOnlyTheNamedGroup) {
  auto s = e2e::admitted_session();
  int port = rdv_port(*s);
  tester refused(port), other(port);
  ASSERT_TRUE(refused.send("first"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : first");
  ASSERT_TRUE(other.send("second"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : second");

  s->studio().send_line("RVKO first");
  expect_next_reply_is_prdv(*s);
  expect_answer(refused, "Ko");
  EXPECT_FALSE(other.has_news());
  s->studio().send_line("RVOK second");
  expect_next_reply_is_prdv(*s);
  expect_answer(other, "Ok");
}

TEST(Rendezvous, EmptyNameIsReleasedByRvokWithoutArgument) {
  auto s = e2e::admitted_session();
  tester t(rdv_port(*s));
  ASSERT_TRUE(t.send("\r\n"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : ");
  s->studio().send_line("RVOK");
  expect_next_reply_is_prdv(*s);
  expect_answer(t, "Ok");
}

TEST(Rendezvous, OnlyOneTrailingCrLfIsRemovedFromTheName) {
  auto s = e2e::admitted_session();
  int port = rdv_port(*s);
  tester two_lines(port), doubled(port), single(port);
  // Any other CR and LF is written as a blank, in the name and in its lines.
  ASSERT_TRUE(two_lines.send("L1\r\nL2\r\n"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : L1  L2");
  // "X\r\n\r\n" names "X  ", a group of its own beside "X".
  ASSERT_TRUE(doubled.send("X\r\n\r\n"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : X  ");
  ASSERT_TRUE(single.send("X\r\n"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : X");

  s->studio().send_line("RVOK X");
  expect_next_reply_is_prdv(*s);
  expect_answer(single, "Ok");
  EXPECT_FALSE(doubled.has_news());
  EXPECT_FALSE(two_lines.has_news());
}

TEST(Rendezvous, DataAfterTheNameIsReportedAndTheTesterKeepsWaiting) {
  auto s = e2e::admitted_session();
  tester t(rdv_port(*s));
  ASSERT_TRUE(t.send("SEG"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : SEG");
  ASSERT_TRUE(t.send("MENT\r\n"));
  EXPECT_EQ(s->read_line(), "603 error on rendezvous : SEG");
  ASSERT_TRUE(t.send("more"));
  EXPECT_EQ(s->read_line(), "603 error on rendezvous : SEG");
  s->studio().send_line("RVOK SEG");
  expect_next_reply_is_prdv(*s);
  expect_answer(t, "Ok");
}

TEST(Rendezvous, RvokNamesMatchExactly) {
  auto s = e2e::admitted_session();
  int port = rdv_port(*s);
  // A release for a name nobody waits at is not remembered.
  s->studio().send_line("RVOK late");
  expect_next_reply_is_prdv(*s);
  tester late(port), blank(port);
  ASSERT_TRUE(late.send("late"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : late");
  ASSERT_TRUE(blank.send("B"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : B");

  s->studio().send_line("RVOK B ");
  s->studio().send_line("RVOK b");
  expect_next_reply_is_prdv(*s);
  EXPECT_FALSE(blank.has_news());
  EXPECT_FALSE(late.has_news(0));

  s->studio().send_line("RVOK B");
  s->studio().send_line("RVKO late");
  expect_next_reply_is_prdv(*s);
  expect_answer(blank, "Ok");
  expect_answer(late, "Ko");
}

TEST(Rendezvous, TesterThatQuitsIsReportedAndTheOthersAreStillReleased) {
  auto s = e2e::admitted_session();
  int port = rdv_port(*s);
  tester quitter(port), stayer(port);
  ASSERT_TRUE(quitter.send("Q"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : Q");
  ASSERT_TRUE(stayer.send("Q"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : Q");
  quitter.fd.reset();
  EXPECT_EQ(s->read_line(), "602 quit rendezvous : Q");

  s->studio().send_line("RVOK Q");
  expect_next_reply_is_prdv(*s);
  expect_answer(stayer, "Ok");
  // The group is gone: the name starts afresh.
  tester again(port);
  ASSERT_TRUE(again.send("Q"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : Q");
  EXPECT_FALSE(again.has_news());
}

TEST(Rendezvous, TesterClosingBeforeItsNameIsReportedOnceAndClosed) {
  auto s = e2e::admitted_session();
  tester silent(rdv_port(*s));
  ASSERT_EQ(::shutdown(silent.fd.get(), SHUT_WR), 0);
  EXPECT_EQ(s->read_line(), "581 INTERNAL ERROR : RDV recv failed!");
  expect_next_reply_is_prdv(*s);
  // Reported once, then closed: its descriptor is not kept for a "Ko".
  expect_answer(silent, "");
}

TEST(Rendezvous, EndOfTheConnectionSendsKoToWaitingAndPendingTesters) {
  auto s = e2e::admitted_session();
  int port = rdv_port(*s);
  tester waiting(port);
  ASSERT_TRUE(waiting.send("W"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : W");
  tester pending(port), gone(port), last(port);
  ASSERT_TRUE(gone.send("G"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : G");
  gone.fd.reset();
  EXPECT_EQ(s->read_line(), "602 quit rendezvous : G");
  // Connections are accepted in order: once the last one has joined, the
  // pending one has been accepted too.
  ASSERT_TRUE(last.send("L"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : L");

  // A studio hangs up right after its QUIT is answered.
  EXPECT_EQ(s->command("QUIT"), "221 bye.");
  s->studio().close();
  expect_answer(waiting, "Ko");
  expect_answer(pending, "Ko");
  expect_answer(last, "Ko");
  EXPECT_EQ(s->process().wait_exit(kReplyMs), 0);
}

TEST(Rendezvous, StudioVanishingReleasesTestersWithKo) {
  auto s = e2e::admitted_session();
  tester t(rdv_port(*s));
  ASSERT_TRUE(t.send("V"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : V");
  s->studio().close();
  expect_answer(t, "Ko");
  EXPECT_EQ(s->process().wait_exit(kReplyMs), 0);
}

TEST(Rendezvous, AHundredTestersAtOnce) {
  auto s = e2e::admitted_session();
  int port = rdv_port(*s);
  std::vector<studio::socket_fd> crowd;
  for (int i = 0; i < 100; ++i) {
    std::string error;
    crowd.push_back(studio::join_rendezvous(port, "crowd", &error));
    ASSERT_TRUE(crowd.back().valid()) << error;
  }
  for (int i = 0; i < 100; ++i) ASSERT_EQ(s->read_line(), "601 wait rendezvous : crowd") << i;
  s->studio().send_line("RVOK crowd");
  expect_next_reply_is_prdv(*s);
  for (studio::socket_fd& t : crowd) {
    std::string error;
    EXPECT_EQ(studio::await_rendezvous(t.get(), kAnswerMs, &error), studio::rendezvous_answer::ok) << error;
  }
}

TEST(Rendezvous, TesterBeyondTheWatchedSetIsClosedAtOnceAndReported) {
  constexpr int kTesters = TCPIP_WATCH_MAX + 8;
  // Both this test and the agent (which inherits the limit) hold every tester.
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  rlim_t wanted = kTesters + 200;
  if (files.rlim_cur < wanted) {
    if (files.rlim_max < wanted) GTEST_SKIP() << "descriptor limit too low";
    files.rlim_cur = wanted;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  auto s = e2e::admitted_session();
  int port = rdv_port(*s);
  std::vector<studio::socket_fd> crowd;
  for (int i = 0; i < kTesters; ++i) {
    std::string error;
    crowd.push_back(studio::join_rendezvous(port, "full", &error));
    ASSERT_TRUE(crowd.back().valid()) << error;
  }
  // Every tester gives exactly one line: it joined, or it could not be watched.
  int joined = 0, refused = 0;
  for (int i = 0; i < kTesters; ++i) {
    std::string line = s->read_line();
    if (line == "601 wait rendezvous : full") {
      ++joined;
    } else {
      ASSERT_EQ(line, "580 INTERNAL ERROR : RDV accept failed!") << i;
      ++refused;
    }
  }
  EXPECT_GE(refused, 8);
  EXPECT_GT(joined, TCPIP_WATCH_MAX - 16);
  s->studio().send_line("RVOK full");
  expect_next_reply_is_prdv(*s);
  int ok = 0, closed_without_answer = 0;
  for (studio::socket_fd& t : crowd) {
    switch (studio::await_rendezvous(t.get(), kAnswerMs)) {
      case studio::rendezvous_answer::ok:
        ++ok;
        break;
      case studio::rendezvous_answer::failed:
        ++closed_without_answer;
        break;
      case studio::rendezvous_answer::ko:
        ADD_FAILURE() << "Ko for a released tester";
        break;
    }
  }
  EXPECT_EQ(ok, joined);
  EXPECT_EQ(closed_without_answer, refused);
  // Released testers made room again.
  tester next(port);
  ASSERT_TRUE(next.send("after"));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : after");
}

TEST(Rendezvous, KvsrdvExitStatusFollowsTheAnswer) {
  auto s = e2e::admitted_session();
  std::string port = std::to_string(rdv_port(*s));
  std::string tool = e2e::tool_path("kvsrdv");

  helper_run accepted(tool, {"go"}, port.c_str());
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : go");
  s->studio().send_line("RVOK go");
  EXPECT_EQ(accepted.wait(), 0);

  helper_run refused(tool, {"two words"}, port.c_str());
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : two words");
  s->studio().send_line("RVKO two words");
  EXPECT_EQ(refused.wait(), 1);

  helper_run empty(tool, {""}, port.c_str());
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : ");
  s->studio().send_line("RVOK");
  EXPECT_EQ(empty.wait(), 0);

  helper_run ended(tool, {"end"}, port.c_str());
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : end");
  EXPECT_EQ(s->command("QUIT"), "221 bye.");
  EXPECT_EQ(ended.wait(), 1);
}

TEST(Rendezvous, KvsrdvFailsWithStatusTwo) {
  std::string tool = e2e::tool_path("kvsrdv");
  EXPECT_EQ(helper_run(tool, {}, "1").wait(), 2);
  EXPECT_EQ(helper_run(tool, {"a", "b"}, "1").wait(), 2);
  EXPECT_EQ(helper_run(tool, {"a"}, nullptr).wait(), 2);
  EXPECT_EQ(helper_run(tool, {"a"}, "12ab").wait(), 2);
  EXPECT_EQ(helper_run(tool, {"a"}, "70000").wait(), 2);
  EXPECT_EQ(helper_run(tool, {std::string(3000, 'n')}, "1").wait(), 2);
  // Nothing listens on a port just freed.
  EXPECT_EQ(helper_run(tool, {"a"}, std::to_string(e2e::free_port()).c_str()).wait(), 2);

  // A peer that closes without an answer.
  auto s = e2e::admitted_session();
  helper_run closed(tool, {"c"}, std::to_string(rdv_port(*s)).c_str());
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : c");
  s->process().kill_now();
  EXPECT_EQ(closed.wait(), 2);
}

TEST(Rendezvous, LaunchedProgramWaitsWithKvsrdv) {
  auto s = e2e::admitted_session();
  std::string out = s->dir().file("answers");
  std::string tool = e2e::tool_path("kvsrdv");
  // The program finds the port in its environment and reports each exit status.
  e2e::write_file(s->dir().file("phases.sh"), "\"" + tool + "\" first; echo $? >> \"" + out + "\"\n\"" + tool +
                                                   "\" second; echo $? >> \"" + out + "\"\n");
  EXPECT_EQ(s->command("EXEC sh phases.sh"), "261 child process launched : %1");
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : first");
  s->studio().send_line("RVOK first");
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : second");
  s->studio().send_line("RVKO second");
  EXPECT_EQ(s->read_line(), "661 process stopped : %1 => %1 (%0)");
  EXPECT_EQ(e2e::read_file(out), "0\n1\n");
}
