// The connection loop against peers that do not cooperate: strangers on the
// side ports, descriptors reused within a turn, testers and studios that do
// not read, studios that leave while a command holds the command stream,
// peers that never identify, and files that would block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/dynfollow.h"
#include "client/rendezvous.h"
#include "client/transfer.h"
#include "harness.h"

namespace {

using e2e::kReplyMs;
using studio::socket_fd;

constexpr int kExitMs = 10000;

int port_of(e2e::session& s, const std::string& command) {
  int port = studio::reply_number(s.command(command));
  EXPECT_GT(port, 0) << command;
  return port;
}

// Reads lines until one starts with `prefix` (notifications in between are
// skipped); the line, or "<none>".
std::string line_starting(e2e::session& s, const std::string& prefix) {
  for (;;) {
    std::string line = s.read_line();
    if (line == "<none>" || line.rfind(prefix, 0) == 0) return line;
  }
}

// Sends as much of `bytes` as the peer takes within ms; the bytes sent.
std::size_t send_within(int fd, const std::string& bytes, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::size_t at = 0;
  while (at < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (n > 0) at += static_cast<std::size_t>(n);
  }
  return at;
}

bool nothing_to_read(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 200) == 0;
}

}  // namespace

// Another host gets nothing from the data and trace ports, cannot spoil a
// PUTF, and is not taken as a tester unless the daemon allows any host.
TEST(Loop, SidePortsRefuseAnotherHost) {
  if (!e2e::enter_private_network()) GTEST_SKIP() << "no network namespace here";
  auto s = e2e::admitted_session();
  e2e::write_file(s->dir().file("secret.txt"), "the secret");
  const int data = port_of(*s, "PFTP");

  socket_fd stranger = e2e::connect_from_afar(data);
  ASSERT_TRUE(stranger.valid());
  s->studio().send_line("GETF secret.txt");
  socket_fd own = studio::connect_data("127.0.0.1", data, kReplyMs);
  EXPECT_EQ(studio::read_until_closed(own.get(), kReplyMs), "the secret");
  EXPECT_EQ(s->read_line(), "230 (end of transfered) file sent");
  bool closed = false;
  EXPECT_EQ(studio::read_until_closed(stranger.get(), kReplyMs, &closed), "");
  EXPECT_TRUE(closed);

  // A stranger's connection that opened and closed is not the file's end.
  e2e::write_file(s->dir().file("precious.txt"), "precious");
  e2e::connect_from_afar(data).reset();
  s->studio().send_line("PUTF precious.txt");
  own = studio::connect_data("127.0.0.1", data, kReplyMs);
  studio::send_all(own.get(), "new content");
  own.reset();
  EXPECT_EQ(s->read_line(), "231 (end of transfered) file received");
  EXPECT_EQ(e2e::read_file(s->dir().file("precious.txt")), "new content");

  const int trace = port_of(*s, "PORT");
  stranger = e2e::connect_from_afar(trace);
  s->studio().send_line("TRWA");
  EXPECT_TRUE(studio::wait_closed(stranger.get(), kReplyMs));
  own = studio::connect_data("127.0.0.1", trace, kReplyMs);
  EXPECT_EQ(s->read_line(), "225 trace port established");

  // Tester ports: refused without a line for the studio.
  for (const char* command : {"PRDV", "PDYN"}) {
    stranger = e2e::connect_from_afar(port_of(*s, command));
    studio::send_all(stranger.get(), "BOOT far\r\n");
    EXPECT_TRUE(studio::wait_closed(stranger.get(), kReplyMs)) << command;
  }
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  EXPECT_NE(s->process().out().find("connection from 10.200.0.2 refused"), std::string::npos);

  // KVS_TESTERS_ANY_HOST=1 widens the tester ports, not the data port.
  auto wide = e2e::admitted_session({.env = {{"KVS_TESTERS_ANY_HOST", "1"}}});
  stranger = e2e::connect_from_afar(port_of(*wide, "PRDV"));
  studio::send_all(stranger.get(), "far");
  EXPECT_EQ(wide->read_line(), "601 wait rendezvous : far");
}

// A descriptor closed by the rendezvous channel and taken again by the
// dynamic-follow accept in the same turn is not read as a tester of its.
TEST(Loop, DescriptorReusedWithinATurnGoesToItsNewOwnerOnly) {
  auto s = e2e::admitted_session();
  const int rdv = port_of(*s, "PRDV");
  const int dynf = port_of(*s, "PDYN");
  const int trace = port_of(*s, "PORT");
  socket_fd waiter = studio::join_rendezvous(rdv, "Q");
  ASSERT_EQ(s->read_line(), "601 wait rendezvous : Q");
  // While TRWA holds the loop, the waiter leaves and a silent tester arrives:
  // both are seen in the first turn after it.
  s->studio().send_line("TRWA");
  waiter.reset();
  socket_fd silent = studio::connect_tcp("127.0.0.1", dynf, kReplyMs);
  ASSERT_TRUE(silent.valid());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  socket_fd trace_connection = studio::connect_data("127.0.0.1", trace, kReplyMs);
  EXPECT_EQ(s->read_line(), "225 trace port established");
  EXPECT_EQ(s->read_line(), "602 quit rendezvous : Q");
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  studio::send_all(silent.get(), "BOOT late");
  EXPECT_GT(e2e::boot_id(s->read_line()), 0);
}

// A tester that does not read its answers is dropped as if it had left; the
// studio goes on being served.
TEST(Loop, TesterThatDoesNotReadIsDropped) {
  auto s = e2e::admitted_session();
  dynfollow::tester t;
  ASSERT_TRUE(t.connect("127.0.0.1", port_of(*s, "PDYN"), kReplyMs));
  int small = 4096;
  ::setsockopt(t.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(t.boot("BOOT deaf", 0));
  const std::string id = std::to_string(e2e::boot_id(s->read_line()));
  const std::string line = "ISND " + id + " " + std::string(100 * 1024, 'x') + "\r\n";
  for (int i = 0; i < 58; ++i) ASSERT_EQ(send_within(s->studio().fd(), line, kReplyMs), line.size()) << i;
  EXPECT_EQ(s->read_line(), "710 tester disconnected dynfollow : " + id + " ");
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
}

// A thousand testers, ten of which stop reading: those ten are dropped, the
// others get every answer, the studio is served throughout.
TEST(Loop, ThousandTestersOfWhichTenDoNotRead) {
  if (!e2e::enough_descriptors(2300)) GTEST_SKIP() << "needs more open descriptors than allowed here";
  auto s = e2e::admitted_session();
  const int port = port_of(*s, "PDYN");
  constexpr int kTesters = 1000;
  constexpr int kDeaf = 10;
  std::vector<socket_fd> testers;
  std::vector<std::string> ids;
  for (int k = 0; k < kTesters; ++k) {
    testers.push_back(studio::connect_tcp("127.0.0.1", port, kReplyMs));
    ASSERT_TRUE(testers.back().valid()) << k;
    if (k < kDeaf) {
      int small = 4096;
      ::setsockopt(testers.back().get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    ASSERT_TRUE(studio::send_all(testers.back().get(), "BOOT " + std::to_string(k)));
    std::string line = s->read_line();
    ASSERT_GT(e2e::boot_id(line), 0) << line;
    ids.push_back(std::to_string(e2e::boot_id(line)));
  }
  const std::string big(100 * 1024, 'x');
  std::string burst;
  for (int round = 0; round < 16; ++round)
    for (int k = 0; k < kDeaf; ++k) burst += "ISND " + ids[k] + " " + big + "\r\n";
  for (int k = kDeaf; k < kTesters; ++k) burst += "ISND " + ids[k] + " hello " + ids[k] + "\r\n";
  ASSERT_EQ(send_within(s->studio().fd(), burst, 4 * kReplyMs), burst.size());
  std::vector<std::string> dropped;
  for (int k = 0; k < kDeaf; ++k) dropped.push_back(line_starting(*s, "710 tester disconnected dynfollow : "));
  for (int k = 0; k < kDeaf; ++k)
    EXPECT_NE(std::find(dropped.begin(), dropped.end(), "710 tester disconnected dynfollow : " + ids[k] + " "),
              dropped.end())
        << ids[k];
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  for (int k = kDeaf; k < kTesters; ++k) {
    const std::string expected = "hello " + ids[k] + "\r\n";
    ASSERT_EQ(studio::read_exactly(testers[k].get(), expected.size(), kReplyMs), expected) << k;
  }
}

// A studio that pipelines commands with long replies and does not read them
// slows only itself: memory stays bounded, it is served again once it reads,
// and SIGTERM ends the connection process while its replies wait.
TEST(Loop, StudioThatDoesNotReadIsHeldBackAndStopSignalsStillWork) {
  auto s = e2e::admitted_session();
  const std::string value(500 * 1000, 'v');
  ASSERT_EQ(s->command("SENV BIG=" + value).rfind("2", 0), 0u);
  std::string burst;
  for (int i = 0; i < 2000; ++i) burst += "GENV BIG\r\n";
  ASSERT_EQ(send_within(s->studio().fd(), burst, kReplyMs), burst.size());
  // Reading a few MB gets replies flowing, in order.
  for (int i = 0; i < 12; ++i) ASSERT_EQ(s->read_line(), "211 getenv result : BIG=" + value) << i;
  const pid_t pid = s->process().pid;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(e2e::status_field(pid, "VmRSS"), 256 * 1024) << "kB";
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
}

// While TRWA waits, the command connection is still read: a studio that sent
// a lot and left, or that sent more than 1 MiB, ends the connection.
TEST(Loop, StudioLeavingOrFloodingDuringTrwaEndsTheConnection) {
  struct flood {
    std::size_t bytes;
    bool then_close;
  };
  for (const flood f : {flood{256 * 1024, true}, flood{2 * 1024 * 1024, false}}) {
    auto s = e2e::admitted_session();
    ASSERT_GT(port_of(*s, "PORT"), 0);
    EXPECT_EQ(s->command("EXEC sleep 60"), "261 child process launched : %1");
    s->studio().send_line("TRWA");
    std::string text;
    while (text.size() < f.bytes) text += "HELO\r\n";
    send_within(s->studio().fd(), text, kReplyMs);
    if (f.then_close) s->studio().close();
    EXPECT_EQ(s->process().wait_exit(kExitMs), 0) << f.bytes;
  }
}

// A peer that does not identify within KVS_IDENT_TIMEOUT seconds is closed
// as after a refused line.
TEST(Loop, IdentificationHasATimeLimit) {
  e2e::session s({.env = {{"KVS_IDENT_TIMEOUT", "1"}}});
  EXPECT_TRUE(s.studio().wait_closed(kExitMs));
  EXPECT_EQ(s.process().wait_exit(kExitMs), 0);
}

// With nothing running and nothing pending, a connection does not wake up.
TEST(Loop, IdleConnectionDoesNotWake) {
  auto s = e2e::admitted_session();
  const pid_t pid = s->process().pid;
  // Settled first: the turn that answered the identification has ended.
  long before = -1;
  e2e::eventually([&] {
    long now = e2e::status_field(pid, "voluntary_ctxt_switches");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    before = e2e::status_field(pid, "voluntary_ctxt_switches");
    return now == before;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(e2e::status_field(pid, "voluntary_ctxt_switches"), before);
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
}

// GETF and PUTF take only regular files and /dev/null: a named pipe nobody
// opens is refused instead of blocking the connection process.
TEST(Loop, TransfersRefuseWhatIsNotARegularFile) {
  auto s = e2e::admitted_session();
  ASSERT_EQ(::mkfifo(s->dir().file("fifo").c_str(), 0600), 0);
  studio::file_transfer files(s->studio(), "127.0.0.1", kReplyMs);
  struct row {
    bool put;
    std::string path;
    std::string reply;
  };
  const row rows[] = {
      {false, s->dir().file("fifo"), "530 send file failed"},
      {true, s->dir().file("fifo"), "531 receive file failed"},
      {false, "/dev/null", "230 (end of transfered) file sent"},
      {true, "/dev/null", "231 (end of transfered) file received"},
  };
  for (const row& r : rows) {
    studio::transfer_result result = r.put ? files.put(r.path, "data") : files.get(r.path);
    EXPECT_EQ(result.reply, r.reply) << r.path << (r.put ? " put" : " get");
  }
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
}

// Rendezvous testers that connect and close give their descriptors back.
TEST(Loop, LeavingRendezvousTestersFreeTheirDescriptors) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  auto s = e2e::admitted_session();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  const int rdv = port_of(*s, "PRDV");
  for (int i = 0; i < 80; ++i) {
    e2e::connect_local(rdv, kReplyMs).reset();
    ASSERT_EQ(s->read_line(), "581 INTERNAL ERROR : RDV recv failed!") << i;
  }
  e2e::write_file(s->dir().file("f"), "still works");
  studio::file_transfer files(s->studio(), "127.0.0.1", kReplyMs);
  EXPECT_EQ(files.get("f").data, "still works");
}

// Tester numbers are never reused: an answer meant for a dropped tester does
// not reach the one that came next.
TEST(Loop, DroppedTesterNumberDoesNotNameTheNextTester) {
  auto s = e2e::admitted_session();
  const int port = port_of(*s, "PDYN");
  dynfollow::tester first;
  ASSERT_TRUE(first.connect("127.0.0.1", port, kReplyMs));
  ASSERT_TRUE(first.boot("BOOT one", 0));
  const std::string id = std::to_string(e2e::boot_id(s->read_line()));
  ASSERT_EQ(send_within(first.fd(), std::string((1 << 20) + 4096, 'n'), kReplyMs), (1u << 20) + 4096);
  EXPECT_EQ(s->read_line(), "710 tester disconnected dynfollow : " + id + " ");
  dynfollow::tester second;
  ASSERT_TRUE(second.connect("127.0.0.1", port, kReplyMs));
  ASSERT_TRUE(second.boot("BOOT two", 0));
  EXPECT_GT(e2e::boot_id(s->read_line()), 0);
  s->studio().send_line("ISND " + id + " not for you");
  s->studio().send_line("DFKO " + id);
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  EXPECT_TRUE(nothing_to_read(second.fd()));
}
