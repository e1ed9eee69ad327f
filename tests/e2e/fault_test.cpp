// Faults from every side: the studio vanishing or the agent being told to
// stop while a command blocks, testers vanishing halfway, garbage, silence and
// floods on every port, crowds of testers, and many studios in a row. After
// each the agent still serves (or has ended as when its studio leaves), and
// no program, descriptor or zombie outlives what owned it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/dynfollow.h"
#include "client/rendezvous.h"
#include "client/transfer.h"
#include "harness.h"

using e2e::random_bytes;

namespace {

using e2e::eventually;

using e2e::kReplyMs;
using studio::socket_fd;

constexpr int kExitMs = 10000;  // generous: the agent must end, not end fast

const std::string kHost = "127.0.0.1";

int port_of(e2e::session& s, const std::string& command) {
  int port = studio::reply_number(s.command(command));
  EXPECT_GT(port, 0) << command;
  return port;
}

// Abortive close: the peer sees a connection reset, not an orderly end.
void reset(socket_fd& fd) {
  linger abort_now{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
  fd.reset();
}

// Random bytes without NUL: a NUL drops the rest of its receive, so where
// the line ends would depend on how the stream is cut.
std::string random_text(std::size_t size, unsigned seed) {
  std::string bytes = random_bytes(size, seed);
  for (char& c : bytes)
    if (c == '\0') c = '0';
  return bytes;
}

// What a connection owns besides its studio: a running program, a tester
// waiting at a rendezvous and a booted dynamic-follow tester.
struct occupied {
  pid_t program = -1;
  socket_fd waiter;
  dynfollow::tester follower;

  explicit occupied(e2e::session& s) {
    EXPECT_EQ(s.command("EXEC sleep 60"), "261 child process launched : %1");
    eventually([&] {
      std::vector<pid_t> children = e2e::children_of(s.process().pid);
      if (!children.empty()) program = children[0];
      return program > 0;
    }, kExitMs);
    std::string error;
    waiter = studio::join_rendezvous(port_of(s, "PRDV"), "hold", &error);
    EXPECT_TRUE(waiter.valid()) << error;
    EXPECT_EQ(s.read_line(), "601 wait rendezvous : hold");
    EXPECT_TRUE(follower.connect(kHost, port_of(s, "PDYN"), kReplyMs, &error)) << error;
    EXPECT_TRUE(follower.boot("fault", 50));
    EXPECT_EQ(s.read_line().rfind("700 boot dynfollow : ", 0), 0u);
  }

  // Everything ended with the connection: the program is gone, the waiter
  // heard "Ko", the follower's connection was closed.
  void expect_released() {
    EXPECT_TRUE(eventually([&] { return !e2e::process_alive(program); }, kExitMs)) << "program " << program << " survived";
    std::string error;
    EXPECT_EQ(studio::await_rendezvous(waiter.get(), kReplyMs, &error), studio::rendezvous_answer::ko) << error;
    EXPECT_TRUE(studio::wait_closed(follower.fd(), kReplyMs));
  }
};

// The points where a connection process blocks, or does not.
enum class point { idle, getf_wait, putf_wait, mid_getf, mid_putf, trwa_wait };

const char* name_of(point p) {
  switch (p) {
    case point::idle: return "idle";
    case point::getf_wait: return "GETF waiting for its data connection";
    case point::putf_wait: return "PUTF waiting for its data connection";
    case point::mid_getf: return "GETF stalled halfway";
    case point::mid_putf: return "PUTF stalled halfway";
    case point::trwa_wait: return "TRWA waiting for its trace connection";
  }
  return "?";
}

// Brings the connection to the point; returns the side connection the point
// needs kept open.
socket_fd reach(e2e::session& s, point p) {
  socket_fd side;
  switch (p) {
    case point::idle:
      break;
    case point::getf_wait:
      e2e::write_file(s.dir().file("small"), "content");
      s.studio().send_line("GETF small");
      break;
    case point::putf_wait:
      s.studio().send_line("PUTF arriving");
      break;
    case point::mid_getf: {
      e2e::write_file(s.dir().file("big"), std::string(16 * 1024 * 1024, 'b'));
      int port = port_of(s, "PFTP");
      s.studio().send_line("GETF big");
      side = studio::connect_data(kHost, port, kReplyMs);
      int small = 4096;
      ::setsockopt(side.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      break;  // nothing is read: the agent's sending stalls
    }
    case point::mid_putf: {
      int port = port_of(s, "PFTP");
      s.studio().send_line("PUTF partial");
      side = studio::connect_data(kHost, port, kReplyMs);
      studio::send_all(side.get(), "some bytes and no end");
      break;
    }
    case point::trwa_wait:
      EXPECT_GT(port_of(s, "PORT"), 0);
      s.studio().send_line("TRWA");
      break;
  }
  // The agent is (or soon will be) blocked; no reply comes meanwhile.
  EXPECT_FALSE(s.studio().read_line(300)) << name_of(p);
  return side;
}

const point kPoints[] = {point::idle,     point::getf_wait, point::putf_wait,
                         point::mid_getf, point::mid_putf,  point::trwa_wait};

}  // namespace

TEST(Fault, StudioVanishingAtEachBlockingPointReleasesEverything) {
  for (point p : kPoints) {
    SCOPED_TRACE(name_of(p));
    auto s = e2e::admitted_session();
    occupied held(*s);
    socket_fd side = reach(*s, p);
    s->studio().close();
    EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
    held.expect_released();
  }
}

TEST(Fault, StopSignalsEndAConnectionAsItsStudioLeavingDoes) {
  for (int signal : {SIGTERM, SIGINT}) {
    for (point p : kPoints) {
      SCOPED_TRACE(std::string(name_of(p)) + (signal == SIGTERM ? ", SIGTERM" : ", SIGINT"));
      auto s = e2e::admitted_session();
      occupied held(*s);
      socket_fd side = reach(*s, p);
      ASSERT_EQ(::kill(s->process().pid, signal), 0);
      // The studio stays connected: the agent closes the connection itself.
      EXPECT_TRUE(s->studio().wait_closed(kExitMs));
      EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
      held.expect_released();
    }
  }
}

TEST(Fault, TestersVanishingMidNameOrMidLineAreReportedAndCostNothing) {
  auto s = e2e::admitted_session();
  const int rdv = port_of(*s, "PRDV");
  const int dynf = port_of(*s, "PDYN");
  const pid_t agent = s->process().pid;
  const int before = e2e::open_fd_count(agent);

  for (int i = 0; i < 20; ++i) {
    // A name cut short by a reset: either it was read first (joined, then
    // quit) or the reset came first (receive failed). One way or the other,
    // exactly one final line.
    socket_fd t = e2e::connect_local(rdv, kReplyMs);
    ASSERT_TRUE(t.valid());
    studio::send_all(t.get(), "half-a-na");
    reset(t);
    std::string line = s->read_line();
    if (line == "601 wait rendezvous : half-a-na") line = s->read_line();
    EXPECT_TRUE(line == "602 quit rendezvous : half-a-na" || line == "581 INTERNAL ERROR : RDV recv failed!")
        << line;
  }
  for (int i = 0; i < 20; ++i) {
    // A line without its end, then the tester goes: closed or reset.
    dynfollow::tester t;
    ASSERT_TRUE(t.connect(kHost, dynf, kReplyMs));
    ASSERT_TRUE(t.boot("vanishing", 20));
    std::string boot = s->read_line();
    ASSERT_EQ(boot.rfind("700 boot dynfollow : ", 0), 0u) << boot;
    std::string id = boot.substr(std::string("700 boot dynfollow : ").size());
    id = id.substr(0, id.find(' '));
    studio::send_all(t.fd(), "TSF_notify half a li");
    if (i % 2 == 0) {
      t.close();
    } else {
      socket_fd raw(::dup(t.fd()));
      t.close();
      reset(raw);
    }
    std::string line = s->read_line();
    EXPECT_TRUE(line == "710 tester disconnected dynfollow : " + id + " " ||
                line == "592 INTERNAL ERROR : DYNF line recv failed!")
        << line;
  }
  // Still serving, and nothing pending was relayed as a line.
  EXPECT_EQ(s->command("PRDV"), "240 RDV port : %" + std::to_string(rdv));
  EXPECT_FALSE(s->studio().has_buffered_line());
  // Gone testers' sockets are kept only within fixed bounds: the dynamic-
  // follow channel keeps the last 64 a while, the rendezvous channel keeps a
  // tester whose name never came so that it hears "Ko" at the end.
  EXPECT_LE(e2e::open_fd_count(agent), before + 64 + 20);
  EXPECT_EQ(s->command("QUIT"), "221 bye.");
  EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
}

TEST(Fault, GarbageAndNulBytesOnEverySidePortLeaveTheStudioServed) {
  auto s = e2e::admitted_session();
  const int rdv = port_of(*s, "PRDV");
  const int dynf = port_of(*s, "PDYN");
  const int data = port_of(*s, "PFTP");
  const int trace = port_of(*s, "PORT");
  // Small enough to arrive in one receive on the loopback interface.
  std::string garbage = random_bytes(2000, 7);
  garbage[0] = 'g';
  garbage[1] = '\0';  // a NUL early on

  // Rendezvous: the name ends at the NUL; what follows is reported, not read as names.
  socket_fd waiter = e2e::connect_local(rdv, kReplyMs);
  ASSERT_TRUE(studio::send_all(waiter.get(), std::string("g\0rest\r\n", 8)));
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : g");
  ASSERT_TRUE(studio::send_all(waiter.get(), garbage));
  EXPECT_EQ(s->read_line(), "603 error on rendezvous : g");

  // Dynamic follow: a boot message that is garbage, then garbage lines.
  socket_fd follower = e2e::connect_local(dynf, kReplyMs);
  ASSERT_TRUE(studio::send_all(follower.get(), std::string("\x01\x02 boot", 7)));
  EXPECT_EQ(s->read_line().rfind("700 boot dynfollow : ", 0), 0u);

  // The data and trace ports: connections that send garbage and go, before
  // any transfer or TRWA asked for them.
  for (int port : {data, trace}) {
    socket_fd side = e2e::connect_local(port, kReplyMs);
    ASSERT_TRUE(side.valid());
    studio::send_all(side.get(), garbage);
  }

  // Commands are still answered, in order, whatever the testers sent.
  EXPECT_EQ(s->command("PRDV"), "240 RDV port : %" + std::to_string(rdv));
  while (s->studio().has_buffered_line()) {
    std::string line = s->read_line();
    EXPECT_TRUE(line.rfind("603 ", 0) == 0 || line.rfind("70", 0) == 0) << line;
  }
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  s->studio().send_line("QUIT");
  EXPECT_TRUE(s->studio().wait_closed(kExitMs));
  EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
  std::string error;
  EXPECT_EQ(studio::await_rendezvous(waiter.get(), kReplyMs, &error), studio::rendezvous_answer::ko) << error;
}

TEST(Fault, BinaryGarbageBeforeAdmissionClosesWithoutAWord) {
  for (unsigned seed : {1u, 2u, 3u}) {
    e2e::session s;
    ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
    std::string garbage = random_text(3000, seed);
    garbage += "\r\nQim tester\r\n";
    s.studio().send_raw(garbage);
    // Whatever was received, no reply: the connection just ends.
    EXPECT_FALSE(s.studio().read_line(kReplyMs));
    EXPECT_TRUE(s.studio().peer_closed());
    EXPECT_EQ(s.process().wait_exit(kExitMs), 0);
  }
}

TEST(Fault, SilentPeersOnEveryPortBlockNobody) {
  auto s = e2e::admitted_session();
  std::vector<socket_fd> silent;
  for (const char* command : {"PRDV", "PDYN", "PFTP", "PORT"}) {
    silent.push_back(e2e::connect_local(port_of(*s, command), kReplyMs));
    ASSERT_TRUE(silent.back().valid()) << command;
  }
  // A second studio served meanwhile, and this one too.
  auto other = e2e::admitted_session();
  EXPECT_EQ(other->command("HELO"), "210 hello, please to meet you.");
  EXPECT_EQ(s->command("SENV KVS_FAULT=1"), "212 setenv succeeded");
  std::string error;
  socket_fd waiter = studio::join_rendezvous(port_of(*s, "PRDV"), "after", &error);
  ASSERT_TRUE(waiter.valid()) << error;
  EXPECT_EQ(s->read_line(), "601 wait rendezvous : after");
  s->studio().send_line("RVOK after");
  EXPECT_EQ(studio::await_rendezvous(waiter.get(), kReplyMs, &error), studio::rendezvous_answer::ok) << error;
  EXPECT_EQ(s->command("QUIT"), "221 bye.");
  EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
  // The silent rendezvous tester is told "Ko" at the end; the others are closed.
  EXPECT_EQ(studio::await_rendezvous(silent[0].get(), kReplyMs, &error), studio::rendezvous_answer::ko) << error;
  for (std::size_t i = 1; i < silent.size(); ++i) EXPECT_TRUE(studio::wait_closed(silent[i].get(), kReplyMs)) << i;
}

TEST(Fault, AHundredMebibytesWithoutALineEnd) {
  constexpr std::size_t kTotal = 100u * 1024 * 1024;
  const std::string chunk(256 * 1024, 'z');
  // Before admission, on the command connection: cut off at the line cap.
  {
    e2e::session s;
    ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
    std::size_t sent = 0;
    while (sent < kTotal && studio::send_within(s.studio().fd(), chunk, kReplyMs)) sent += chunk.size();
    EXPECT_LT(sent, kTotal);
    EXPECT_EQ(s.process().wait_exit(kExitMs), 0);
  }
  // A rendezvous tester: the first receive is its name, every later one is
  // reported and dropped, while the studio is still served.
  auto s = e2e::admitted_session();
  int rdv = port_of(*s, "PRDV");
  socket_fd flood = e2e::connect_local(rdv, kReplyMs);
  ASSERT_TRUE(flood.valid());
  std::atomic<bool> done{false};
  std::thread sender([&] {
    std::size_t sent = 0;
    while (sent < kTotal && studio::send_within(flood.get(), chunk, 20000)) sent += chunk.size();
    done = true;
  });
  // Read while the flood goes on, until the tester's departure is reported.
  int reports = 0;
  std::string first = s->read_line();
  EXPECT_EQ(first.rfind("601 wait rendezvous : zzz", 0), 0u);
  bool quit = false;
  while (!quit) {
    if (done && flood.valid()) {
      sender.join();
      flood.reset();
    }
    std::string line = s->read_line(20000);
    if (line == "<none>") break;
    quit = line.rfind("602 quit rendezvous : zzz", 0) == 0;
    if (!quit && line.rfind("603 error on rendezvous : zzz", 0) != 0) {
      ADD_FAILURE() << line.substr(0, 80);
      break;
    }
    reports += quit ? 0 : 1;
  }
  if (sender.joinable()) {
    flood.reset();
    sender.join();
  }
  EXPECT_TRUE(quit);
  EXPECT_GT(reports, 0);
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  // Nothing of the flood was kept: the agent's memory stayed small.
  if (!e2e::kSanitized) {
    std::string status = e2e::read_file("/proc/" + std::to_string(s->process().pid) + "/status");
    std::size_t hwm = status.find("VmHWM:");
    ASSERT_NE(hwm, std::string::npos);
    EXPECT_LT(std::stol(status.substr(hwm + 6)), 64L * 1024) << "kB at the peak";
  }
  s->studio().send_line("QUIT");
  EXPECT_TRUE(s->studio().wait_closed(kExitMs));
  EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
}

TEST(Fault, TwoHundredTestersAndWaitersOnOneConnection) {
  constexpr int kEach = 200;
  auto s = e2e::admitted_session();
  const pid_t agent = s->process().pid;
  const int before = e2e::open_fd_count(agent);
  const int rdv = port_of(*s, "PRDV");
  const int dynf = port_of(*s, "PDYN");
  std::vector<socket_fd> waiters;
  std::vector<dynfollow::tester> followers(kEach);
  for (int i = 0; i < kEach; ++i) {
    std::string error;
    waiters.push_back(studio::join_rendezvous(rdv, "crowd", &error));
    ASSERT_TRUE(waiters.back().valid()) << error;
    ASSERT_TRUE(followers[i].connect(kHost, dynf, kReplyMs, &error)) << error;
    ASSERT_TRUE(studio::send_all(followers[i].fd(), "boot " + std::to_string(i)));
  }
  int joined = 0;
  int booted = 0;
  while (joined + booted < 2 * kEach) {
    std::string line = s->read_line();
    ASSERT_NE(line, "<none>") << joined << " joined, " << booted << " booted";
    if (line == "601 wait rendezvous : crowd") {
      ++joined;
    } else {
      ASSERT_EQ(line.rfind("700 boot dynfollow : ", 0), 0u) << line;
      ++booted;
    }
  }
  for (dynfollow::tester& f : followers) ASSERT_TRUE(f.send_line("TSF_synchro step"));
  for (int i = 0; i < kEach; ++i) EXPECT_EQ(s->read_line().rfind("705 tsf synchro dynfollow : ", 0), 0u);

  s->studio().send_line("RVOK crowd");
  for (socket_fd& w : waiters) EXPECT_EQ(studio::await_rendezvous(w.get(), kReplyMs), studio::rendezvous_answer::ok);
  for (dynfollow::tester& f : followers) f.close();
  for (int i = 0; i < kEach; ++i) EXPECT_EQ(s->read_line().rfind("710 tester disconnected dynfollow : ", 0), 0u);
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  // Released waiters are closed; of the gone followers at most 64 stay open a while.
  EXPECT_LE(e2e::open_fd_count(agent), before + 64);
  EXPECT_EQ(s->command("QUIT"), "221 bye.");
  EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
}

TEST(Fault, RunningOutOfDescriptorsCostsOneLinePerConnectionNotASpin) {
  // The agent inherits a low descriptor limit from this process.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 96;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  auto s = e2e::admitted_session();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  const int rdv = port_of(*s, "PRDV");
  // Testers that stay connected without naming a rendezvous use up every
  // descriptor the agent may open.
  constexpr int kTesters = 150;
  std::vector<socket_fd> testers;
  for (int i = 0; i < kTesters; ++i) {
    testers.push_back(e2e::connect_local(rdv, kReplyMs));
    ASSERT_TRUE(testers.back().valid()) << i;
  }
  int refused = 0;
  while (std::optional<std::string> line = s->studio().read_line(1000)) {
    ASSERT_EQ(*line, "580 INTERNAL ERROR : RDV accept failed!") << refused << " refused";
    ++refused;
  }
  EXPECT_GT(refused, 0);
  // Each refused connection was taken off the port: nothing more comes.
  EXPECT_EQ(s->studio().read_line(500), std::nullopt);
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  EXPECT_EQ(s->command("QUIT"), "221 bye.");
  EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
}

namespace {

// A daemon on a free port, admitting everybody, killed at the end.
struct daemon_run {
  e2e::temp_dir dir;
  int port = e2e::free_port();
  e2e::captured_process process;
  daemon_run() {
    e2e::write_file(dir.file("kvsagtd.ini"), "+ +\n");
    e2e::agent_options options;
    options.env["KVS_DIR"] = dir.path();
    options.cwd = dir.path();
    process = e2e::start_agent({std::to_string(port)}, options);
  }
  ~daemon_run() {
    process.kill_now();
    // Connection processes write on the daemon's standard error.
    EXPECT_EQ(process.err().find("Sanitizer"), std::string::npos) << process.err();
  }
  studio::connection connect() { return studio::connection(e2e::connect_local(port, kReplyMs)); }
};

}  // namespace

TEST(FaultDaemon, ManyStudiosInARowLeaveNothingBehind) {
  daemon_run d;
  const pid_t daemon = d.process.pid;
  // The first connection is served once the daemon listens.
  studio::connection first = d.connect();
  ASSERT_EQ(first.read_line(kReplyMs), "210 hello, please to meet you.");
  first.close();
  // The daemon holds the channel to its spare: its descriptors are counted
  // while the spare waits, here and at the end.
  ASSERT_TRUE(eventually(
      [&] { return e2e::connection_processes_of(daemon).empty() && e2e::spare_of(daemon) > 0; }, kExitMs));
  const int daemon_fds = e2e::open_fd_count(daemon);

  std::vector<pid_t> programs;
  for (int i = 0; i < 4; ++i) {
    studio::connection c = d.connect();
    ASSERT_EQ(c.read_line(kReplyMs), "210 hello, please to meet you.");
    ASSERT_EQ(c.command("Qim walter", kReplyMs), "310 access authorized.");
    ASSERT_EQ(c.command("EXEC sleep 60", kReplyMs), "261 child process launched : %1");
    std::vector<pid_t> connections = e2e::connection_processes_of(daemon);
    ASSERT_EQ(connections.size(), 1u);
    ASSERT_TRUE(eventually([&] { return !e2e::children_of(connections[0]).empty(); }, kExitMs));
    programs.push_back(e2e::children_of(connections[0])[0]);
    socket_fd waiter = studio::join_rendezvous(studio::reply_number(*c.command("PRDV", kReplyMs)), "w");
    ASSERT_EQ(c.read_line(kReplyMs), "601 wait rendezvous : w");
    if (i % 2 == 0) {
      c.close();  // the studio vanishes
    } else {
      c.send_raw(std::string("\0", 1));  // or sends a NUL
    }
    EXPECT_EQ(studio::await_rendezvous(waiter.get(), kReplyMs), studio::rendezvous_answer::ko);
    // Its connection process ends and is reaped: no zombie stays.
    EXPECT_TRUE(eventually([&] { return e2e::connection_processes_of(daemon).empty(); }, kExitMs)) << i;
  }
  for (pid_t program : programs) EXPECT_TRUE(eventually([&] { return !e2e::process_alive(program); }, kExitMs));
  EXPECT_TRUE(eventually([&] { return e2e::spare_of(daemon) > 0; }, kExitMs));
  EXPECT_EQ(e2e::open_fd_count(daemon), daemon_fds);
  // Still accepting.
  studio::connection last = d.connect();
  EXPECT_EQ(last.read_line(kReplyMs), "210 hello, please to meet you.");
}

TEST(FaultDaemon, SilentAndGarbagePeersDoNotStopTheDaemon) {
  daemon_run d;
  studio::connection silent = d.connect();
  ASSERT_EQ(silent.read_line(kReplyMs), "210 hello, please to meet you.");
  studio::connection garbage = d.connect();
  ASSERT_EQ(garbage.read_line(kReplyMs), "210 hello, please to meet you.");
  garbage.send_raw(random_text(4000, 11) + "\r\n");
  EXPECT_TRUE(garbage.wait_closed(kExitMs));
  studio::connection studio = d.connect();
  ASSERT_EQ(studio.read_line(kReplyMs), "210 hello, please to meet you.");
  EXPECT_EQ(studio.command("Qim walter", kReplyMs), "310 access authorized.");
  EXPECT_EQ(studio.command("QUIT", kReplyMs), "221 bye.");
  // The silent peer's connection process waits for it alone.
  EXPECT_TRUE(eventually([&] { return e2e::connection_processes_of(d.process.pid).size() == 1; }, kExitMs));
  silent.close();
  EXPECT_TRUE(eventually([&] { return e2e::connection_processes_of(d.process.pid).empty(); }, kExitMs));
}

TEST(FaultDaemon, StopSignalsEndTheDaemonAndLeaveItsConnectionsServing) {
  for (int signal : {SIGTERM, SIGINT}) {
    daemon_run d;
    studio::connection c = d.connect();
    ASSERT_EQ(c.read_line(kReplyMs), "210 hello, please to meet you.");
    ASSERT_EQ(c.command("Qim walter", kReplyMs), "310 access authorized.");
    std::vector<pid_t> connections = e2e::connection_processes_of(d.process.pid);
    ASSERT_EQ(connections.size(), 1u);
    ASSERT_EQ(::kill(d.process.pid, signal), 0);
    EXPECT_EQ(d.process.wait_exit(kExitMs), 0);
    // The port is free again: no listener is left behind.
    EXPECT_FALSE(studio::connect_tcp(kHost, d.port, 1000).valid());
    // The connection already open is served until its studio leaves.
    EXPECT_EQ(c.command("HELO", kReplyMs), "210 hello, please to meet you.");
    EXPECT_EQ(c.command("QUIT", kReplyMs), "221 bye.");
    EXPECT_TRUE(eventually([&] { return !e2e::process_alive(connections[0]); }, kExitMs));
  }
}
