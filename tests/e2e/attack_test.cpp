// What an attacker or an unlucky user can do to a connection, and what the
// agent must not let happen: forged lines for the studio or the log, programs
// and background children outliving the connection, unbounded expansion,
// memory that grows for good, inherited signal settings, and an authorization
// file that an editor wrote with a byte-order mark.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/dynfollow.h"
#include "client/rendezvous.h"
#include "harness.h"

namespace {

using e2e::eventually;
using e2e::kReplyMs;
using studio::socket_fd;

constexpr int kExitMs = 10000;
const std::string kForged = "661 process stopped : %1 => %1 (%0)";
const std::string kHello = "210 hello, please to meet you.";

int port_of(e2e::session& s, const std::string& command) {
  int port = studio::reply_number(s.command(command));
  EXPECT_GT(port, 0) << command;
  return port;
}

// A rendezvous name sent as raw bytes, in one send.
socket_fd join_raw(int port, const std::string& bytes) {
  socket_fd fd = studio::connect_tcp("127.0.0.1", port, kReplyMs);
  EXPECT_TRUE(fd.valid() && studio::send_all(fd.get(), bytes));
  return fd;
}

// The next line is the answer to HELO: nothing was slipped in before it.
void expect_nothing_more(e2e::session& s) { EXPECT_EQ(s.command("HELO"), kHello); }

}  // namespace

// Text that testers send is relayed inside one line whatever CR and LF it holds.
TEST(Attack, RelayedTextNeverMakesALineOfItsOwn) {
  struct rdv_case {
    std::string sent;
    std::string shown;
  };
  const rdv_case names[] = {
      {"x\r\n" + kForged + "\r\n", "x  " + kForged},
      {"x\r\n" + kForged, "x  " + kForged},
      {"a\nb\rc", "a b c"},
  };
  for (const rdv_case& c : names) {
    auto s = e2e::admitted_session();
    socket_fd waiter = join_raw(port_of(*s, "PRDV"), c.sent);
    EXPECT_EQ(s->read_line(), "601 wait rendezvous : " + c.shown);
    expect_nothing_more(*s);
    // The name as shown releases the tester.
    s->studio().send_line("RVOK " + c.shown);
    EXPECT_EQ(studio::await_rendezvous(waiter.get(), kReplyMs), studio::rendezvous_answer::ok) << c.shown;
  }

  struct dynf_case {
    std::string boot;
    std::string boot_shown;
    std::string line;  // sent followed by CR LF
    std::string line_shown;
  };
  const dynf_case follows[] = {
      {"BOOT\r\n", "BOOT", "plain", "701 line dynfollow : %d plain"},
      {"BOOT\r\n" + kForged + "\r\n", "BOOT  " + kForged, "x\ny\rz", "701 line dynfollow : %d x y z"},
      {"B\nO\rOT", "B O OT", "INTERSEND a\n" + kForged, "720 INTERSEND : %d INTERSEND a " + kForged},
  };
  for (const dynf_case& c : follows) {
    auto s = e2e::admitted_session();
    dynfollow::tester t;
    ASSERT_TRUE(t.connect("127.0.0.1", port_of(*s, "PDYN"), kReplyMs));
    ASSERT_TRUE(t.boot(c.boot, 50));
    std::string boot = s->read_line();
    const std::string head = "700 boot dynfollow : ";
    ASSERT_EQ(boot.rfind(head, 0), 0u) << boot;
    std::string id = boot.substr(head.size(), boot.find(' ', head.size()) - head.size());
    EXPECT_EQ(boot, head + id + " " + c.boot_shown);
    ASSERT_TRUE(t.send_line(c.line));
    std::string expected = c.line_shown;
    expected.replace(expected.find("%d"), 2, id);
    EXPECT_EQ(s->read_line(), expected);
    expect_nothing_more(*s);
  }
}

// A user name with line feeds writes one log line, the refusal.
TEST(Attack, UserNamesCannotForgeLogLines) {
  e2e::temp_dir ini;
  e2e::write_file(ini.file("kvsagtd.ini"), "+ -\n");
  e2e::agent_options options;
  options.env["KVS_DIR"] = ini.path();
  e2e::session s(options);
  ASSERT_EQ(s.read_line(), kHello);
  EXPECT_EQ(s.identify("mallory\nlocalhost root #access granted\rlocalhost eve #access granted"),
            "533 user is not allowed to connect");
  EXPECT_TRUE(s.process().wait_exit(kExitMs));
  std::istringstream log(s.process().out());
  std::vector<std::string> access_lines;
  for (std::string line; std::getline(log, line);)
    if (line.find("#access") != std::string::npos) access_lines.push_back(line);
  ASSERT_EQ(access_lines.size(), 1u) << s.process().out();
  EXPECT_EQ(access_lines[0],
            "localhost mallory localhost root #access granted localhost eve #access granted #access denied");
}

// A byte-order mark before the first rule changes nothing.
TEST(Attack, AByteOrderMarkDoesNotHideTheFirstRule) {
  for (const std::string bom : {"", "\xEF\xBB\xBF"}) {
    e2e::temp_dir ini;
    e2e::write_file(ini.file("kvsagtd.ini"), bom + "+ -mallory\r\n+ +\r\n");
    e2e::agent_options options;
    options.env["KVS_DIR"] = ini.path();
    for (const auto& [user, reply] : {std::pair<std::string, std::string>{"mallory", "533 user is not allowed to connect"},
                                      {"walter", "310 access authorized."}}) {
      e2e::session s(options);
      ASSERT_EQ(s.read_line(), kHello);
      EXPECT_EQ(s.identify(user), reply) << user << (bom.empty() ? "" : " with a byte-order mark");
    }
  }
}

namespace {

// Runs `start` with SIGCHLD and SIGTERM blocked, so that what it starts
// inherits the mask, as from a careless launcher.
template <class F>
auto started_with_blocked_signals(F start) {
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGCHLD);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  auto started = start();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

}  // namespace

TEST(Attack, AnInheritedSignalMaskIsReset) {
  // The daemon reaps its connection processes and ends on SIGTERM.
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"), "+ +\n");
  e2e::agent_options options;
  options.env["KVS_DIR"] = dir.path();
  options.cwd = dir.path();
  const int port = e2e::free_port();
  e2e::captured_process daemon =
      started_with_blocked_signals([&] { return e2e::start_agent({std::to_string(port)}, options); });
  {
    studio::connection c(e2e::connect_local(port, kReplyMs));
    ASSERT_EQ(c.read_line(kReplyMs), kHello);
    EXPECT_EQ(c.command("Qim walter", kReplyMs), "310 access authorized.");
    EXPECT_EQ(c.command("QUIT", kReplyMs), "221 bye.");
  }
  EXPECT_TRUE(eventually([&] { return e2e::connection_processes_of(daemon.pid).empty(); }, kExitMs))
      << "a connection process stayed a zombie";
  ::kill(daemon.pid, SIGTERM);
  EXPECT_EQ(daemon.wait_exit(kExitMs), 0);
  daemon.kill_now();

  // A connection process ends on SIGTERM.
  auto s = started_with_blocked_signals([] { return std::make_unique<e2e::session>(); });
  ASSERT_EQ(s->read_line(), kHello);
  ::kill(s->process().pid, SIGTERM);
  EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
}

// A background child left in its program's group dies with the connection,
// after its program has ended and been reported, and frees the trace connection.
TEST(Attack, BackgroundChildrenDieWithTheConnection) {
  for (bool quit : {true, false}) {
    auto s = e2e::admitted_session();
    int trace_port = port_of(*s, "PORT");
    s->studio().send_line("TRWA");
    socket_fd trace = e2e::connect_local(trace_port, kReplyMs);
    ASSERT_EQ(s->read_line(), "225 trace port established");
    EXPECT_EQ(s->command("EXEC sh -c 'sleep 300 & echo $! > bg.pid'"), "261 child process launched : %1");
    EXPECT_EQ(s->read_line(), "661 process stopped : %1 => %1 (%0)");
    pid_t background = std::stoi("0" + e2e::read_file(s->dir().file("bg.pid")));
    ASSERT_TRUE(e2e::process_alive(background));
    if (quit) {
      EXPECT_EQ(s->command("QUIT"), "221 bye.");
    } else {
      s->studio().close();
    }
    EXPECT_EQ(s->process().wait_exit(kExitMs), 0);
    EXPECT_TRUE(eventually([&] { return !e2e::process_alive(background); }, kExitMs))
        << (quit ? "after QUIT" : "after the studio left");
    EXPECT_TRUE(studio::wait_closed(trace.get(), kReplyMs));
  }
}

namespace {


}  // namespace

// Replacing a variable frees the old value; programs get exactly the
// variables set, removed ones included.
TEST(Attack, EnvironmentReplacementsDoNotGrowTheConnection) {
  auto s = e2e::admitted_session();
  const pid_t agent = s->process().pid;
  auto value = [](int i) { return std::string(65536 - 8, 'v') + std::to_string(10000000 + i); };
  for (int i = 0; i < 2; ++i) ASSERT_EQ(s->command("SENV KVSAMP=" + value(i)), "212 setenv succeeded");
  const long rss = e2e::status_field(agent, "VmRSS");
  const long data = e2e::status_field(agent, "VmData");
  for (int i = 2; i < 402; ++i) ASSERT_EQ(s->command("SENV KVSAMP=" + value(i)), "212 setenv succeeded");
  EXPECT_EQ(s->command("GENV KVSAMP"), "211 getenv result : KVSAMP=" + value(401));
  if (!e2e::kSanitized) {
    EXPECT_LT(e2e::status_field(agent, "VmRSS") - rss, 2048) << "VmRSS grew";
    EXPECT_LT(e2e::status_field(agent, "VmData") - data, 2048) << "VmData grew";
  }

  EXPECT_EQ(s->command("SENV GONE=1"), "212 setenv succeeded");
  EXPECT_EQ(s->command("DENV GONE"), "213 unsetenv succeeded");
  EXPECT_EQ(s->command("SENV SHORT=s"), "212 setenv succeeded");
  EXPECT_EQ(s->command("EXEC sh -c 'test ${#KVSAMP} = 65536 && test -z \"${GONE+x}\" && test \"$SHORT\" = s'"),
            "261 child process launched : %1");
  EXPECT_EQ(s->read_line(), "661 process stopped : %1 => %1 (%0)");
  // PATH as set by SENV finds the programs.
  e2e::write_file(s->dir().file("kvs-tool"), "#!/bin/sh\nexit 3\n");
  ::chmod(s->dir().file("kvs-tool").c_str(), 0755);
  EXPECT_EQ(s->command("SENV PATH=" + s->dir().path() + ":$PATH"), "212 setenv succeeded");
  EXPECT_EQ(s->command("EXEC kvs-tool"), "261 child process launched : %2");
  EXPECT_EQ(s->read_line(), "661 process stopped : %1 => %2 (%3)");
}

// Expansion has a bound: 16 MiB once admitted (the line is then answered as
// unknown, as received), 1 MiB before (the connection ends).
TEST(Attack, ExpansionIsBounded) {
  auto s = e2e::admitted_session();
  ASSERT_EQ(s->command("SENV BIG=" + std::string(900000, 'b')), "212 setenv succeeded");
  std::string line = "GENV ";
  for (int i = 0; i < 20; ++i) line += "$BIG";
  std::string reply = s->command(line);
  EXPECT_TRUE(reply == "500 command unknown : " + line) << reply.size() << " bytes: " << reply.substr(0, 80);
  EXPECT_EQ(s->command("HELO"), kHello);

  e2e::agent_options options;
  options.env["KVS_T_PAD"] = std::string(4096, 'p');
  e2e::session early(options);
  ASSERT_EQ(early.read_line(), kHello);
  std::string amplified = "HELOX";
  for (int i = 0; i < 300; ++i) amplified += "$KVS_T_PAD";
  early.studio().send_line(amplified);
  EXPECT_TRUE(early.studio().wait_closed(kExitMs));
  EXPECT_EQ(early.process().wait_exit(kExitMs), 0);
  EXPECT_NE(early.process().out().find("command line longer than 1048576 bytes"), std::string::npos);
}

// A connection process that dies of a failed allocation still kills its
// programs and answers its waiting testers.
TEST(Attack, AFatalFailureStillReleasesProgramsAndTesters) {
  if (e2e::kSanitized) GTEST_SKIP() << "the address sanitizer handles failed allocations itself";
  auto s = e2e::admitted_session();
  const pid_t agent = s->process().pid;
  ASSERT_EQ(s->command("EXEC sleep 60"), "261 child process launched : %1");
  pid_t program = -1;
  ASSERT_TRUE(eventually([&] {
    std::vector<pid_t> children = e2e::children_of(agent);
    if (!children.empty()) program = children[0];
    return program > 0;
  }));
  socket_fd waiter = studio::join_rendezvous(port_of(*s, "PRDV"), "hold");
  ASSERT_EQ(s->read_line(), "601 wait rendezvous : hold");
  ASSERT_EQ(s->command("SENV BIG=" + std::string(900000, 'b')), "212 setenv succeeded");

  // A little room above what the process holds now, then a line whose
  // expansion (13.5 MB, within the bound) needs more.
  rlimit room{};
  room.rlim_cur = room.rlim_max = static_cast<rlim_t>(e2e::status_field(agent, "VmSize") + 6144) * 1024;
  ASSERT_EQ(::prlimit(agent, RLIMIT_AS, &room, nullptr), 0);
  std::string line = "GENV ";
  for (int i = 0; i < 15; ++i) line += "$BIG";
  s->studio().send_line(line);

  EXPECT_EQ(studio::await_rendezvous(waiter.get(), kReplyMs), studio::rendezvous_answer::ko);
  EXPECT_TRUE(eventually([&] { return !e2e::process_alive(program); }, kExitMs));
  std::optional<int> status = s->process().wait_exit(kExitMs);
  EXPECT_TRUE(status == 1 || status == 7) << s->process().err();
  if (e2e::process_alive(program)) ::kill(program, SIGKILL);
}
