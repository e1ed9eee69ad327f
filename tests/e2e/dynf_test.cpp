#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/dynfollow.h"
#include "harness.h"

extern char** environ;

namespace {

using e2e::kReplyMs;
using e2e::session;
using studio::socket_fd;

const std::string kBoot = "700 boot dynfollow : ";

int dynf_port(session& s) {
  std::string reply = s.command("PDYN");
  EXPECT_EQ(reply.rfind("241 DYNF port : %", 0), 0u) << reply;
  return studio::reply_number(reply);
}

// The tester_id at the start of what follows `prefix` in a notification; -1
// when the line is not such a notification.
int id_after(const std::string& line, const std::string& prefix) {
  if (line.rfind(prefix, 0) != 0) return -1;
  std::size_t at = prefix.size();
  int id = 0;
  bool any = false;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
    id = id * 10 + (line[at++] - '0');
    any = true;
  }
  return any ? id : -1;
}

socket_fd connect_tester(int port) {
  socket_fd fd = studio::connect_tcp("127.0.0.1", port, kReplyMs);
  EXPECT_TRUE(fd.valid());
  // A broken agent must fail a test, not block a send for ever.
  timeval limit{20, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return fd;
}

struct booted {
  socket_fd fd;
  int id = -1;
};

// A tester that has sent its boot message and whose 700 line has been read.
booted boot_tester(session& s, int port, const std::string& boot = "BOOT T1") {
  booted t;
  t.fd = connect_tester(port);
  studio::send_all(t.fd.get(), boot);
  std::string line = s.read_line();
  EXPECT_EQ(line, kBoot + std::to_string(id_after(line, kBoot)) + " " + boot);
  t.id = id_after(line, kBoot);
  return t;
}

// Two command round trips: every notification due to data sent before this
// call would have come before one of the two replies.
void expect_no_notification(session& s) {
  for (int i = 0; i < 2; ++i) EXPECT_EQ(s.command("PDYN").rfind("241 DYNF port : %", 0), 0u);
  EXPECT_FALSE(s.studio().has_buffered_line());
}

std::string line_of(const std::string& reply, int id, const std::string& line) {
  return reply + std::to_string(id) + " " + line;
}

// A helper program started by the test; its standard input and output are
// local socket pairs (so that the studio helpers can read and write them).
// Killed and reaped at the end.
class tool_process {
 public:
  tool_process(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    int in[2];
    int out[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return;
    stdin_.reset(in[1]);
    socket_fd child_in(in[0]);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) != 0) return;
    stdout_.reset(out[0]);
    socket_fd child_out(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, child_in.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, child_out.get(), 1);
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      if (env.find(entry.substr(0, entry.find('='))) == env.end()) envs.push_back(entry);
    }
    for (const auto& [name, value] : env) envs.push_back(name + "=" + value);
    std::vector<char*> cenv;
    for (std::string& e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    std::vector<std::string> argv = args;
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    if (::posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~tool_process() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  tool_process(const tool_process&) = delete;
  tool_process& operator=(const tool_process&) = delete;

  bool started() const { return pid_ > 0; }
  void write_input(const std::string& text) { studio::send_all(stdin_.get(), text); }
  void close_input() { stdin_.reset(); }
  // Waits at most timeout_ms for the end; the exit status.
  std::optional<int> wait_exit(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!status_ && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }
  std::string output(int timeout_ms) { return studio::read_until_closed(stdout_.get(), timeout_ms); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  socket_fd stdin_;
  socket_fd stdout_;
};

}  // namespace

TEST(Dynf, PdynAnswersThePortPublishedInTheEnvironment) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  ASSERT_GT(port, 0);
  EXPECT_EQ(s->command("GENV KVS_PORT_TSTAGT"), "211 getenv result : KVS_PORT_TSTAGT=" + std::to_string(port));
}

TEST(Dynf, BootMessageIsRelayedAsItCame) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted plain = boot_tester(*s, port, "BOOT T1");
  EXPECT_EQ(plain.id, 1);  // testers are numbered from 1 in each connection

  // A CR LF inside the boot data is written as blanks and the final one is
  // dropped: the boot data never makes a line of its own.
  socket_fd second = connect_tester(port);
  studio::send_all(second.get(), "BOOT\r\nT2\r\n");
  std::string line = s->read_line();
  int id = id_after(line, kBoot);
  EXPECT_EQ(line, kBoot + std::to_string(id) + " BOOT  T2");
  EXPECT_NE(id, plain.id);
  expect_no_notification(*s);
}

TEST(Dynf, EachKeywordGivesItsNotification) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted t = boot_tester(*s, port);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"TSF_notify a", "703 tsf notify dynfollow : "},
      {"TSF_declare_ni b", "704 tsf declareinstance dynfollow : "},
      {"TSF_synchro 3", "705 tsf synchro dynfollow : "},
      {"TSF_send c", "706 tsf send_message dynfollow : "},
      {"TSF_waittil d", "707 tsf waittil_message dynfollow : "},
      {"TSF_begin_waittil e", "711 tsf begin_waittil dynfollow : "},
      {"TSF_end_waittil f", "712 tsf end_waittil dynfollow : "},
      {"TSF_inittermexcept g", "713 tsf inittermexcept_block dynfollow : "},
      {"TSF_intersend h", "708 tsf intersend_message dynfollow : "},
      {"TSF_interrecv i", "709 tsf interrecv_message dynfollow : "},
      {"TSF_other x", "701 line dynfollow : "},
      {"INTERSEND j", "720 INTERSEND : "},
      {"INTERRECV k", "721 INTERRECV : "},
      {"TIMEOUTRQST 30", "722 timeout request : "},
      {"STDIOLKAVAIL", "800 tester asks for studio availability : "},
      {"just text", "701 line dynfollow : "},
      {"", "701 line dynfollow : "},
      {"End_ofX", "702 end dynfollow : "},
  };
  for (const auto& [line, reply] : cases) {
    ASSERT_TRUE(studio::send_all(t.fd.get(), line + "\r\n"));
    EXPECT_EQ(s->read_line(), line_of(reply, t.id, line));
  }
}

TEST(Dynf, LinesOfOneSegmentComeInOneSendAndEndOfEndsTheRelay) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted t = boot_tester(*s, port);
  ASSERT_TRUE(studio::send_all(t.fd.get(), "TSF_synchro 1\r\nEnd_of_test\r\nTSF_notify after\r\nunfinished"));
  // Read the studio's connection directly: one send of the agent arrives whole.
  ASSERT_FALSE(s->studio().has_buffered_line());
  std::string all = studio::read_exactly(s->studio().fd(), 1, kReplyMs);
  pollfd p{s->studio().fd(), POLLIN, 0};
  while (::poll(&p, 1, 0) > 0) {
    char chunk[4096];
    ssize_t n = ::recv(s->studio().fd(), chunk, sizeof chunk, 0);
    if (n <= 0) break;
    all.append(chunk, static_cast<std::size_t>(n));
  }
  std::string id = std::to_string(t.id);
  EXPECT_EQ(all, "705 tsf synchro dynfollow : " + id + " TSF_synchro 1\r\n702 end dynfollow : " + id +
                     " End_of_test\r\n703 tsf notify dynfollow : " + id + " TSF_notify after\r\n");

  // Nothing more is relayed, not even the rest of that segment...
  ASSERT_TRUE(studio::send_all(t.fd.get(), " line\r\nTSF_synchro 2\r\n"));
  expect_no_notification(*s);
  // ...nor its closing, but the answer still reaches it, exactly.
  s->studio().send_line("DFOK " + id);
  expect_no_notification(*s);
  EXPECT_EQ(studio::read_exactly(t.fd.get(), 2, kReplyMs), "Ok");
  t.fd.reset();
  expect_no_notification(*s);
}

TEST(Dynf, ALineInTwoSegmentsGivesOneNotification) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted t = boot_tester(*s, port);
  ASSERT_TRUE(studio::send_all(t.fd.get(), "TSF_syn"));
  expect_no_notification(*s);
  ASSERT_TRUE(studio::send_all(t.fd.get(), "chro 3\r"));
  expect_no_notification(*s);
  ASSERT_TRUE(studio::send_all(t.fd.get(), "\n"));
  EXPECT_EQ(s->read_line(), line_of("705 tsf synchro dynfollow : ", t.id, "TSF_synchro 3"));
}

TEST(Dynf, TestersKeepTheirOwnUnfinishedLines) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted a = boot_tester(*s, port, "BOOT A");
  booted b = boot_tester(*s, port, "BOOT B");
  ASSERT_TRUE(studio::send_all(a.fd.get(), "TSF_notify from"));
  expect_no_notification(*s);
  ASSERT_TRUE(studio::send_all(b.fd.get(), "TSF_synchro from"));
  expect_no_notification(*s);
  ASSERT_TRUE(studio::send_all(b.fd.get(), " B\r\n"));
  EXPECT_EQ(s->read_line(), line_of("705 tsf synchro dynfollow : ", b.id, "TSF_synchro from B"));
  ASSERT_TRUE(studio::send_all(a.fd.get(), " A\r\n"));
  EXPECT_EQ(s->read_line(), line_of("703 tsf notify dynfollow : ", a.id, "TSF_notify from A"));
}

TEST(Dynf, ASilentTesterBlocksNothingAndBootsWhenItSpeaks) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  socket_fd silent = connect_tester(port);
  expect_no_notification(*s);
  EXPECT_EQ(s->command("GENV KVS_PORT_TSTAGT"), "211 getenv result : KVS_PORT_TSTAGT=" + std::to_string(port));
  booted other = boot_tester(*s, port, "BOOT other");
  ASSERT_TRUE(studio::send_all(silent.get(), "BOOT late"));
  std::string line = s->read_line();
  int id = id_after(line, kBoot);
  EXPECT_EQ(line, kBoot + std::to_string(id) + " BOOT late");
  EXPECT_NE(id, other.id);
}

TEST(Dynf, ATesterThatLeavesBeforeItsBootGetsKoAndIsReportedOnce) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  socket_fd t = connect_tester(port);
  ASSERT_EQ(::shutdown(t.get(), SHUT_WR), 0);
  EXPECT_EQ(s->read_line(), "591 INTERNAL ERROR : DYNF boot recv failed!");
  bool closed = false;
  EXPECT_EQ(studio::read_until_closed(t.get(), kReplyMs, &closed), "Ko");
  EXPECT_TRUE(closed);
  expect_no_notification(*s);
}

TEST(Dynf, ClosingAndFailingTestersAreReportedOnce) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted leaving = boot_tester(*s, port);
  ASSERT_TRUE(studio::send_all(leaving.fd.get(), "TSF_synchro 1\r\nnever ended"));
  EXPECT_EQ(s->read_line(), line_of("705 tsf synchro dynfollow : ", leaving.id, "TSF_synchro 1"));
  leaving.fd.reset();
  EXPECT_EQ(s->read_line(), "710 tester disconnected dynfollow : " + std::to_string(leaving.id) + " ");
  expect_no_notification(*s);

  // A connection reset is a receive failure.
  booted reset = boot_tester(*s, port);
  linger abort_now{1, 0};
  ::setsockopt(reset.fd.get(), SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
  reset.fd.reset();
  EXPECT_EQ(s->read_line(), "592 INTERNAL ERROR : DYNF line recv failed!");
  expect_no_notification(*s);

  // So is data that begins with a NUL byte.
  booted nul = boot_tester(*s, port);
  ASSERT_TRUE(studio::send_all(nul.fd.get(), std::string("\0abc\r\n", 6)));
  EXPECT_EQ(s->read_line(), "592 INTERNAL ERROR : DYNF line recv failed!");
  expect_no_notification(*s);
}

TEST(Dynf, AnEndlessLineClosesTheTester) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted t = boot_tester(*s, port);
  ASSERT_TRUE(studio::send_all(t.fd.get(), "TSF_synchro before\r\n"));
  EXPECT_EQ(s->read_line(), line_of("705 tsf synchro dynfollow : ", t.id, "TSF_synchro before"));
  std::thread flood([fd = t.fd.get()] { studio::send_all(fd, std::string((1 << 20) + 65536, 'x')); });
  EXPECT_EQ(s->read_line(20000), "710 tester disconnected dynfollow : " + std::to_string(t.id) + " ");
  EXPECT_TRUE(studio::wait_closed(t.fd.get(), 20000));
  flood.join();
  expect_no_notification(*s);
  EXPECT_NE(s->process().out().find("without a line end"), std::string::npos);
}

TEST(Dynf, AnswersReachTheTesterExactly) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted t = boot_tester(*s, port);
  std::string id = std::to_string(t.id);
  for (const std::string& command : {"DFOK " + id, "DFKO " + id, "ISND " + id + " hello", "TOUT " + id + "  30",
                                     "AVAI " + id, "ISND " + id + ":x y ", "DFOK  +" + id + "junk"})
    s->studio().send_line(command);
  expect_no_notification(*s);
  const std::string expected = "OkKohello\r\n 30\r\n\r\nx y \r\nOk";
  EXPECT_EQ(studio::read_exactly(t.fd.get(), expected.size(), kReplyMs), expected);
  // The tester can still talk afterwards.
  ASSERT_TRUE(studio::send_all(t.fd.get(), "INTERRECV done\r\n"));
  EXPECT_EQ(s->read_line(), line_of("721 INTERRECV : ", t.id, "INTERRECV done"));
}

TEST(Dynf, AnswersToNoTesterAreDropped) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  booted t = boot_tester(*s, port);
  // Numbers that are no tester, the command connection's own among them, get
  // nothing written and no reply line.
  for (int n = -1; n < 64; ++n) {
    if (n == t.id) continue;
    s->studio().send_line("DFKO " + std::to_string(n));
    s->studio().send_line("ISND " + std::to_string(n) + " text");
  }
  s->studio().send_line("AVAI nothing");
  s->studio().send_line("DFOK 99999999999999");
  expect_no_notification(*s);
  ASSERT_TRUE(studio::send_all(t.fd.get(), "TSF_notify still here\r\n"));
  EXPECT_EQ(s->read_line(), line_of("703 tsf notify dynfollow : ", t.id, "TSF_notify still here"));
  // Nothing reached the tester either.
  pollfd p{t.fd.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0);
}

TEST(Dynf, AHundredTestersEachRelayedOnceInOrder) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  constexpr int kTesters = 100;
  constexpr int kLines = 1000;
  std::vector<booted> testers;
  std::map<int, int> index_of;
  for (int k = 0; k < kTesters; ++k) {
    testers.push_back(boot_tester(*s, port, "BOOT t" + std::to_string(k)));
    ASSERT_GT(testers.back().id, 0);
    index_of[testers.back().id] = k;
  }
  ASSERT_EQ(index_of.size(), static_cast<std::size_t>(kTesters));

  std::vector<std::thread> senders;
  for (int k = 0; k < kTesters; ++k) {
    senders.emplace_back([fd = testers[k].fd.get(), k] {
      std::string all;
      for (int i = 0; i < kLines; ++i) all += "TSF_synchro " + std::to_string(k) + " " + std::to_string(i) + "\r\n";
      // Irregular pieces, so that lines and line ends are cut anywhere.
      std::size_t at = 0;
      unsigned step = 7 + static_cast<unsigned>(k);
      while (at < all.size()) {
        std::size_t size = 1 + (step * 7919u) % 700;
        step = step * 1103515245u + 12345u;
        if (!studio::send_all(fd, std::string_view(all).substr(at, size))) return;
        at += size;
      }
    });
  }

  std::vector<int> next(kTesters, 0);
  int received = 0;
  int bad = 0;
  while (received < kTesters * kLines) {
    std::string line = s->read_line(20000);
    if (line == "<none>") break;
    ++received;
    int id = id_after(line, "705 tsf synchro dynfollow : ");
    auto found = index_of.find(id);
    if (found == index_of.end()) {
      if (++bad < 5) ADD_FAILURE() << "unexpected line: " << line;
      continue;
    }
    int k = found->second;
    std::string expected = line_of("705 tsf synchro dynfollow : ", id,
                                   "TSF_synchro " + std::to_string(k) + " " + std::to_string(next[k]));
    if (line != expected && ++bad < 5) ADD_FAILURE() << "expected " << expected << " got " << line;
    ++next[k];
  }
  for (std::thread& sender : senders) sender.join();
  EXPECT_EQ(received, kTesters * kLines);
  EXPECT_EQ(bad, 0);
  for (int k = 0; k < kTesters; ++k) EXPECT_EQ(next[k], kLines) << "tester " << k;
  expect_no_notification(*s);
}

TEST(Dynf, ATesterBeyondTheWatchedSetIsClosedAtOnce) {
  // Enough descriptors for this test and for the agent it starts.
  if (!e2e::enough_descriptors(2300)) GTEST_SKIP() << "needs more open descriptors than allowed here";

  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  constexpr int kTesters = 1040;
  std::vector<socket_fd> testers;
  for (int k = 0; k < kTesters; ++k) {
    testers.push_back(connect_tester(port));
    ASSERT_TRUE(testers.back().valid()) << k;
  }
  // Accepted in order: once the last one is closed, every one has been seen.
  EXPECT_TRUE(studio::wait_closed(testers.back().get(), 60000));
  int refused_lines = 0;
  s->studio().send_line("PDYN");
  for (;;) {
    std::string reply = s->read_line();
    if (reply.rfind("241 ", 0) == 0) break;
    ASSERT_EQ(reply, "590 INTERNAL ERROR : DYNF accept failed!");
    ++refused_lines;
  }
  int closed = 0;
  for (socket_fd& t : testers) {
    pollfd p{t.get(), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) ++closed;
  }
  EXPECT_GE(refused_lines, kTesters - 1022);
  EXPECT_EQ(closed, refused_lines);
  // The testers that were taken still work.
  ASSERT_TRUE(studio::send_all(testers.front().get(), "BOOT first"));
  std::string line = s->read_line();
  EXPECT_EQ(line, kBoot + std::to_string(id_after(line, kBoot)) + " BOOT first");
}

TEST(Kvsdynf, ReportsAndPrintsTheAnswer) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  const std::map<std::string, std::string> env{{"KVS_PORT_TSTAGT", std::to_string(port)}};

  // Lines from standard input, sent as they are read.
  tool_process tool({e2e::tool_path("kvsdynf"), "--boot", "BOOT script", "--wait", "--timeout", "60"}, env);
  ASSERT_TRUE(tool.started());
  std::string line = s->read_line();
  int id = id_after(line, kBoot);
  ASSERT_EQ(line, kBoot + std::to_string(id) + " BOOT script");
  tool.write_input("TSF_synchro 1\n");
  EXPECT_EQ(s->read_line(), line_of("705 tsf synchro dynfollow : ", id, "TSF_synchro 1"));
  tool.write_input("End_of_test\r\n");
  tool.close_input();
  EXPECT_EQ(s->read_line(), line_of("702 end dynfollow : ", id, "End_of_test"));
  s->studio().send_line("DFKO " + std::to_string(id));
  EXPECT_EQ(tool.wait_exit(kReplyMs * 4), 1);
  EXPECT_EQ(tool.output(kReplyMs), "Ko\n");
}

TEST(Kvsdynf, LinesFromArgumentsAndATextAnswer) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  // A long pause after the boot message: the agent reads it alone even when
  // the machine is busy.
  tool_process tool({e2e::tool_path("kvsdynf"), "--port", std::to_string(port), "--gap", "1500", "--boot",
                     "BOOT args", "--wait", "--timeout", "60", "--", "TIMEOUTRQST 30", "--not-an-option"},
                    {});
  ASSERT_TRUE(tool.started());
  std::string line = s->read_line();
  int id = id_after(line, kBoot);
  ASSERT_EQ(line, kBoot + std::to_string(id) + " BOOT args");
  EXPECT_EQ(s->read_line(), line_of("722 timeout request : ", id, "TIMEOUTRQST 30"));
  EXPECT_EQ(s->read_line(), line_of("701 line dynfollow : ", id, "--not-an-option"));
  s->studio().send_line("TOUT " + std::to_string(id) + " 45");
  EXPECT_EQ(tool.wait_exit(kReplyMs * 4), 0);
  EXPECT_EQ(tool.output(kReplyMs), "45\n");
  EXPECT_EQ(s->read_line(), "710 tester disconnected dynfollow : " + std::to_string(id) + " ");
  // Without --wait it leaves at once, which the studio sees.
  tool_process quick({e2e::tool_path("kvsdynf"), "--port", std::to_string(port), "--boot", "BOOT quick"}, {});
  quick.close_input();
  line = s->read_line();
  id = id_after(line, kBoot);
  EXPECT_EQ(line, kBoot + std::to_string(id) + " BOOT quick");
  EXPECT_EQ(s->read_line(), "710 tester disconnected dynfollow : " + std::to_string(id) + " ");
  EXPECT_EQ(quick.wait_exit(kReplyMs), 0);
}

TEST(Kvsdynf, UsageAndMissingPort) {
  tool_process bad({e2e::tool_path("kvsdynf"), "--gap"}, {});
  EXPECT_EQ(bad.wait_exit(kReplyMs), 2);
  tool_process no_port({e2e::tool_path("kvsdynf"), "line"}, {{"KVS_PORT_TSTAGT", "none"}});
  EXPECT_EQ(no_port.wait_exit(kReplyMs), 2);
  tool_process nobody({e2e::tool_path("kvsdynf"), "--port", std::to_string(e2e::free_port()), "line"}, {});
  EXPECT_EQ(nobody.wait_exit(kReplyMs * 3), 2);
}

TEST(Kvsdynf, ALaunchedProgramFindsThePortAndIsAnswered) {
  auto s = e2e::admitted_session();
  int port = dynf_port(*s);
  ASSERT_GT(port, 0);
  std::string launched = s->command("EXEC " + e2e::tool_path("kvsdynf") +
                                    " --gap 1500 --boot 'BOOT launched' --wait --timeout 60 End_of_run");
  ASSERT_EQ(launched.rfind("261 child process launched : %", 0), 0u) << launched;
  int number = studio::reply_number(launched);
  std::string line = s->read_line();
  int id = id_after(line, kBoot);
  ASSERT_EQ(line, kBoot + std::to_string(id) + " BOOT launched");
  EXPECT_EQ(s->read_line(), line_of("702 end dynfollow : ", id, "End_of_run"));
  s->studio().send_line("DFOK " + std::to_string(id));
  std::string n = std::to_string(number);
  EXPECT_EQ(s->read_line(), "661 process stopped : %" + n + " => %" + n + " (%0)");
}
