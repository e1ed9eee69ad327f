// What testers can make a connection process hold on its studio's behalf:
// relayed lines while the studio does not read, the unfinished lines of many
// testers at once, testers that have had their answer, and tester text that
// arrives while a command holds the command stream just before QUIT.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "client/dynfollow.h"
#include "client/rendezvous.h"
#include "client/transfer.h"
#include "harness.h"

namespace {

using e2e::kReplyMs;
using studio::socket_fd;

constexpr int kExitMs = 10000;
const std::string kHost = "127.0.0.1";

int port_of(e2e::session& s, const std::string& command) {
  int port = studio::reply_number(s.command(command));
  EXPECT_GT(port, 0) << command;
  return port;
}

// A booted dynamic-follow tester and its tester_id.
struct follower {
  dynfollow::tester t;
  std::string id;
};

bool boot(e2e::session& s, int port, follower& f, const std::string& text = "BOOT b") {
  if (!f.t.connect(kHost, port, kReplyMs) || !f.t.boot(text, 0)) return false;
  int id = e2e::boot_id(s.read_line());
  f.id = std::to_string(id);
  return id > 0;
}

// Reads the studio's connection raw, as fast as it comes: the number of lines
// beginning with `prefix` up to `count` of them, or up to the first other
// line, which goes to `other` (none when the connection closed or nothing
// came for 20 s).
std::size_t count_lines(int fd, const std::string& prefix, std::size_t count, std::string* other = nullptr) {
  std::string pending;
  std::size_t seen = 0;
  bool eof = false;
  while (seen < count) {
    std::size_t end;
    while (seen < count && (end = pending.find("\r\n")) != std::string::npos) {
      if (pending.compare(0, prefix.size(), prefix) != 0) {
        if (other != nullptr) *other = pending.substr(0, end);
        return seen;
      }
      pending.erase(0, end + 2);
      ++seen;
    }
    if (seen == count || eof) break;
    if (!studio::receive_into(fd, pending, eof, std::chrono::steady_clock::now() + std::chrono::seconds(20))) break;
  }
  return seen;
}

// Sends `bytes` as the agent takes them, in pieces of at most `piece` bytes
// (1: one byte per segment), until all are sent or the agent takes nothing
// for 2 s; the bytes sent.
std::size_t send_counted(int fd, const std::string& bytes, std::size_t piece) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 2000) <= 0) break;
    ssize_t n = ::send(fd, bytes.data() + sent, std::min(piece, bytes.size() - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  return sent;
}

}  // namespace

// A studio that does not read stops the testers, not the agent's memory: a
// waiter sending stray bytes one at a time and a follower sending empty
// lines are simply no longer read, and once the studio reads, every line
// they caused arrives.
TEST(Budget, TestersAreHeldBackWhileTheStudioDoesNotRead) {
  struct row {
    bool waiter;  // a rendezvous waiter trickling stray bytes; else a follower sending empty lines
    const char* what;
  };
  for (const row r : {row{true, "a waiter trickling stray bytes"}, row{false, "a follower sending empty lines"}}) {
    SCOPED_TRACE(r.what);
    auto s = e2e::admitted_session();
    const pid_t agent = s->process().pid;
    const std::string name(2197, 'n');
    socket_fd waiter;
    follower f;
    if (r.waiter) {
      waiter = studio::join_rendezvous(port_of(*s, "PRDV"), name);
      ASSERT_TRUE(waiter.valid());
      ASSERT_EQ(s->read_line(), "601 wait rendezvous : " + name);
    } else {
      ASSERT_TRUE(boot(*s, port_of(*s, "PDYN"), f));
    }
    const long before = e2e::status_field(agent, "VmHWM");
    std::string empty_lines;
    for (int i = 0; i < (6 << 20); ++i) empty_lines += "\r\n";
    const std::size_t sent = r.waiter ? send_counted(waiter.get(), std::string(200000, 'x'), 1)
                                      : send_counted(f.t.fd(), empty_lines, 65536);
    ASSERT_GT(sent, 0u);
    const long grown = e2e::status_field(agent, "VmHWM") - before;
    if (!e2e::kSanitized) { EXPECT_LT(grown, 12 * 1024) << "kB more at the peak, " << sent << " bytes sent"; }

    // Nothing was dropped: every line arrives once the studio reads.
    if (r.waiter) {
      waiter.reset();
      std::string line = "<none>";
      std::size_t reports = count_lines(s->studio().fd(), "603 error on rendezvous : " + name, sent + 1, &line);
      EXPECT_EQ(line, "602 quit rendezvous : " + name);
      EXPECT_GT(reports, 0u);
      EXPECT_LE(reports, sent);
    } else {
      const std::string empty_line = "701 line dynfollow : " + f.id + " ";
      EXPECT_EQ(count_lines(s->studio().fd(), empty_line, sent / 2), sent / 2);
    }
    EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  }
}

// The unfinished lines of many followers, each within its own bound, are
// bounded together: beyond, a follower is dropped as one that left.
TEST(Budget, UnfinishedLinesOfManyTestersAreBoundedTogether) {
  constexpr int kFollowers = 100;
  auto s = e2e::admitted_session();
  const pid_t agent = s->process().pid;
  const int port = port_of(*s, "PDYN");
  std::vector<follower> followers(kFollowers);
  for (follower& f : followers) ASSERT_TRUE(boot(*s, port, f));
  const long before = e2e::status_field(agent, "VmHWM");
  const std::string unfinished(1000 * 1024, 'u');
  for (follower& f : followers) studio::send_within(f.t.fd(), unfinished, 2000);
  // Every follower but the few whose lines fit is dropped, and said to be.
  // (Each round trip lets the agent read every ready follower once more.)
  std::vector<std::string> dropped;
  for (int round = 0; round < 200 && dropped.size() < kFollowers - 10; ++round) {
    std::optional<std::string> line = s->studio().command("HELO", kReplyMs);
    while (line && *line != "210 hello, please to meet you.") {
      ASSERT_EQ(line->rfind("710 tester disconnected dynfollow : ", 0), 0u) << *line;
      dropped.push_back(*line);
      line = s->studio().read_line(kReplyMs);
    }
    ASSERT_TRUE(line);
  }
  EXPECT_GE(dropped.size(), static_cast<std::size_t>(kFollowers - 10));
  if (!e2e::kSanitized) { EXPECT_LT(e2e::status_field(agent, "VmHWM") - before, 16 * 1024) << "kB more at the peak"; }
  // A follower that is left still has its line relayed when it ends it; a
  // drop still on its way may come first.
  for (follower& f : followers) {
    const std::string left = "710 tester disconnected dynfollow : " + f.id + " ";
    if (std::find(dropped.begin(), dropped.end(), left) != dropped.end()) continue;
    f.t.send_line("");
    for (;;) {
      std::string line = s->read_line();
      if (line == left || line == "701 line dynfollow : " + f.id + " " + unfinished) break;
      ASSERT_EQ(line.rfind("710 tester disconnected dynfollow : ", 0), 0u) << line.substr(0, 80);
      ASSERT_EQ(std::find(dropped.begin(), dropped.end(), line), dropped.end()) << line;
      dropped.push_back(line);
    }
  }
}

// A follower that has had its final answer is closed once it closes, in
// whichever order its end, its answer and its closing come: descriptors stay
// flat over many of them.
TEST(Budget, AnsweredFollowersAreReleased) {
  if (!e2e::enough_descriptors(1200)) GTEST_SKIP() << "needs more open descriptors than allowed here";
  enum class order { answer_then_close, half_close_then_answer, answer_then_reset };
  struct row {
    order o;
    const char* command;
    const char* answer;
  };
  const row rows[] = {{order::answer_then_close, "DFOK", "Ok"},
                      {order::answer_then_close, "DFKO", "Ko"},
                      {order::half_close_then_answer, "DFOK", "Ok"},
                      {order::answer_then_reset, "DFKO", "Ko"}};
  auto s = e2e::admitted_session();
  const pid_t agent = s->process().pid;
  const int port = port_of(*s, "PDYN");
  const int start = e2e::open_fd_count(agent);
  for (int i = 0; i < 500; ++i) {
    const row& r = rows[i % 4];
    follower f;
    ASSERT_TRUE(boot(*s, port, f));
    ASSERT_TRUE(f.t.send_line("End_of_test"));
    ASSERT_EQ(s->read_line(), "702 end dynfollow : " + f.id + " End_of_test");
    if (r.o == order::half_close_then_answer) { ASSERT_EQ(::shutdown(f.t.fd(), SHUT_WR), 0); }
    s->studio().send_line(std::string(r.command) + " " + f.id);
    ASSERT_EQ(studio::read_exactly(f.t.fd(), 2, kReplyMs), r.answer) << i;
    if (r.o == order::answer_then_reset) {
      linger abort_now{1, 0};
      ::setsockopt(f.t.fd(), SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
    }
    f.t.close();
  }
  EXPECT_TRUE(e2e::eventually([&] { return e2e::open_fd_count(agent) <= start + 4; }, kExitMs))
      << e2e::open_fd_count(agent) - start << " descriptors more";
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
}

// Tester text that arrives while GETF, PUTF or TRWA holds the command stream,
// with QUIT behind it, still reaches the studio before the connection closes.
TEST(Budget, TesterTextDuringAGuardedWaitIsForwardedBeforeQuit) {
  enum class guarded { trwa, getf, putf };
  struct row {
    guarded g;
    bool waiter;  // a rendezvous name; else a follower's line
  };
  const row rows[] = {{guarded::trwa, true},  {guarded::trwa, false}, {guarded::getf, true},
                      {guarded::getf, false}, {guarded::putf, true},  {guarded::putf, false}};
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.g == guarded::trwa ? "TRWA" : r.g == guarded::getf ? "GETF" : "PUTF") +
                 (r.waiter ? ", a waiter" : ", a follower"));
    auto s = e2e::admitted_session();
    e2e::write_file(s->dir().file("small"), "content");
    const int side = port_of(*s, r.g == guarded::trwa ? "PORT" : "PFTP");
    socket_fd waiter;
    follower f;
    std::string expected;
    if (r.waiter) {
      waiter = e2e::connect_local(port_of(*s, "PRDV"), kReplyMs);
      ASSERT_TRUE(waiter.valid());
      expected = "601 wait rendezvous : late";
    } else {
      ASSERT_TRUE(boot(*s, port_of(*s, "PDYN"), f));
      expected = "703 tsf notify dynfollow : " + f.id + " TSF_notify late";
    }
    // Two round trips: the waiter has been accepted.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(s->command("HELO"), "210 hello, please to meet you.");
    s->studio().send_line(r.g == guarded::trwa ? "TRWA" : r.g == guarded::getf ? "GETF small" : "PUTF put");
    ASSERT_FALSE(s->studio().read_line(300));  // the command waits for its connection
    ASSERT_TRUE(r.waiter ? studio::send_all(waiter.get(), "late") : f.t.send_line("TSF_notify late"));
    s->studio().send_line("QUIT");
    socket_fd connection = studio::connect_data(kHost, side, kReplyMs);
    ASSERT_TRUE(connection.valid());
    if (r.g == guarded::getf) { EXPECT_EQ(studio::read_until_closed(connection.get(), kReplyMs), "content"); }
    if (r.g == guarded::putf) connection.reset();
    std::vector<std::string> lines;
    while (std::optional<std::string> line = s->studio().read_line(kReplyMs)) lines.push_back(*line);
    EXPECT_TRUE(s->studio().peer_closed());
    const std::string done = r.g == guarded::trwa   ? "225 trace port established"
                             : r.g == guarded::getf ? "230 (end of transfered) file sent"
                                                    : "231 (end of transfered) file received";
    EXPECT_EQ(lines, (std::vector<std::string>{done, "221 bye.", expected}));
    EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
  }
}
