// kvsctl against a real agent daemon: programs run with their output, input
// and exit status brought back, files move both ways, failures give 255 (or
// 1 for refused transfers) and a message, the shell shows notifications as
// they come.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "harness.h"
#include "kvsctl_process.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int kExitMs = 30000;  // how long a kvsctl invocation may take here

using e2e::daemon_agent;

using e2e::kvsctl;
using e2e::kvsctl_process;
using outcome = e2e::kvsctl_outcome;

std::string random_bytes(std::size_t size) {
  std::mt19937 generator(20240611);
  std::string data;
  for (int i = 0; i < 256; ++i) data += static_cast<char>(i);
  while (data.size() < size) data += static_cast<char>(generator() & 0xff);
  return data;
}

TEST(KvsctlRun, TheProgramsExitStatusComesBack) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  outcome ok = kvsctl({agent.target(), "run", "--", "sh", "-c", "echo fine"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out, "fine\n");
  outcome three = kvsctl({agent.target(), "run", "sh", "-c", "echo to-stderr >&2; exit 3"});
  EXPECT_EQ(three.status, 3) << three.err;
  EXPECT_EQ(three.out, "to-stderr\n");  // the program's error stream comes back too
  outcome killed = kvsctl({agent.target(), "run", "--", "sh", "-c", "kill -KILL $$"});
  EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.err;
}

TEST(KvsctlRun, OutputAndInputStreamAsTheyCome) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  kvsctl_process cat({agent.target(), "run", "--", "cat"}, true);
  cat.write("first line\n");
  // Printed while the input is still open: both directions stream.
  EXPECT_TRUE(cat.wait_output("first line\n"));
  std::string bulk = random_bytes(1 << 20);
  cat.write(bulk);
  cat.close_input();  // the program reads the end of its input, and ends
  EXPECT_EQ(cat.wait_exit(), 0) << cat.err();
  std::string out = cat.out();
  EXPECT_EQ(out.size(), 11 + bulk.size());
  EXPECT_TRUE(out == "first line\n" + bulk);
}

TEST(KvsctlRun, TheLastBytesBeforeTheEndArePrinted) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  outcome big = kvsctl({agent.target(), "run", "-n", "--", "sh", "-c",
                        "printf early; sleep 0.2; head -c 300000 /dev/zero | tr '\\0' x; printf END"});
  EXPECT_EQ(big.status, 0) << big.err;
  EXPECT_EQ(big.out, "early" + std::string(300000, 'x') + "END");
  // A child left behind in the program's group dies with the connection, and
  // kvsctl does not wait for it.
  outcome late = kvsctl({agent.target(), "run", "--", "sh", "-c", "(sleep 0.5; printf late) & printf early"}, "");
  EXPECT_EQ(late.status, 0) << late.err;
  EXPECT_EQ(late.out, "early");
}

TEST(KvsctlRun, ArgumentsEnvironmentAndDirectoryArriveUnchanged) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  const std::vector<std::string> words = {
      "a b",  "  lead",  "trail  ", "tab\there", "", "it's", "\"double\"", "back\\slash", "end\\",
      "$HOME", "${HOME}", "$",       "$$",        "$PATH:x", "\\$HOME", "'$HOME'", "new\nline", "cr\r\nlf",
      "*",    "a;b|c&d",  "%s%d",
  };
  std::vector<std::string> args{agent.target(), "run", "--", "sh", "-c", "for a; do printf '[%s]' \"$a\"; done",
                                "sh"};
  std::string expected;
  for (const std::string& w : words) {
    args.push_back(w);
    expected += "[" + w + "]";
  }
  outcome echoed = kvsctl(args);
  EXPECT_EQ(echoed.status, 0) << echoed.err;
  EXPECT_EQ(echoed.out, expected);

  ASSERT_EQ(::mkdir(agent.dir().file("sub dir").c_str(), 0755), 0);
  outcome placed = kvsctl({agent.target(), "run", "-e", "V=a 'b' c", "-e", "W=", "-C", "sub dir", "--", "sh", "-c",
                           "printf '%s|%s|%s' \"$V\" \"${W-unset}\" \"$(pwd)\""});
  EXPECT_EQ(placed.status, 0) << placed.err;
  EXPECT_EQ(placed.out, "a 'b' c||" + agent.dir().file("sub dir"));
}

TEST(KvsctlTransfer, PutThenGetGivesTheBinaryFileBackByteForByte) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  std::string data = random_bytes(300000);
  e2e::write_file(local.file("in.bin"), data);
  outcome put = kvsctl({agent.target(), "put", local.file("in.bin"), "copy.bin"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_TRUE(e2e::read_file(agent.dir().file("copy.bin")) == data);
  outcome get = kvsctl({agent.target(), "get", "copy.bin", local.file("back.bin")});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_TRUE(e2e::read_file(local.file("back.bin")) == data);
  // Nothing but the file is left in the local directory.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(local.path())) ++entries;
  EXPECT_EQ(entries, 2u);
}

TEST(KvsctlTransfer, AsciiModeConvertsLineEnds) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  // Local line ends are LF on both machines: the file arrives as it was,
  // which it would not if only one side converted.
  const std::string text = "line 1\nline 2\r\nlast without end";
  e2e::write_file(local.file("in.txt"), text);
  outcome put = kvsctl({agent.target(), "put", "--ascii", local.file("in.txt"), "text.txt"});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(e2e::read_file(agent.dir().file("text.txt")), text);
  e2e::write_file(agent.dir().file("agent.txt"), "a\nb\n");
  outcome get = kvsctl({agent.target(), "get", "--ascii", "agent.txt", "-"});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "a\nb\n");
}

TEST(KvsctlTransfer, RefusedTransfersSayWhyAndKeepTheLocalFile) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  e2e::write_file(local.file("keep.txt"), "precious");
  outcome get = kvsctl({agent.target(), "get", "missing.txt", local.file("keep.txt")});
  EXPECT_EQ(get.status, 1);
  EXPECT_NE(get.err.find("530 send file failed"), std::string::npos) << get.err;
  EXPECT_EQ(e2e::read_file(local.file("keep.txt")), "precious");
  outcome put = kvsctl({agent.target(), "put", local.file("keep.txt"), "no/such/dir/x.txt"});
  EXPECT_EQ(put.status, 1);
  EXPECT_NE(put.err.find("531 receive file failed"), std::string::npos) << put.err;
}

TEST(KvsctlFailures, RefusedIdentificationAndNoAgentGive255) {
  daemon_agent agent("+ -intruder\n");
  ASSERT_TRUE(agent.ready());
  outcome refused = kvsctl({"-u", "intruder", agent.target(), "run", "--", "true"});
  EXPECT_EQ(refused.status, 255);
  EXPECT_NE(refused.err.find("533 user is not allowed to connect"), std::string::npos) << refused.err;
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;

  int nobody = e2e::free_port();
  outcome absent = kvsctl({"127.0.0.1:" + std::to_string(nobody), "put", "/dev/null", "x"});
  EXPECT_EQ(absent.status, 255);
  EXPECT_NE(absent.err.find("cannot connect"), std::string::npos) << absent.err;
}

TEST(KvsctlFailures, AnAgentThatDiesOrFreezesDuringARunGives255) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  auto connection_of = [&](kvsctl_process& p) -> pid_t {
    // Started and streaming once its output shows; the connection process
    // is then the daemon's only live child.
    p.write("up\n");
    if (!p.wait_output("up\n")) return -1;
    std::vector<pid_t> live;
    for (pid_t child : e2e::children_of(agent.pid()))
      if (e2e::process_alive(child)) live.push_back(child);
    return live.size() == 1 ? live[0] : -1;
  };
  {
    // cat ends by itself once kvsctl has gone and its input closes.
    kvsctl_process run({agent.target(), "run", "--", "cat"}, true);
    pid_t connection = connection_of(run);
    ASSERT_GT(connection, 0);
    ::kill(connection, SIGKILL);
    EXPECT_EQ(run.wait_exit(), 255);
    EXPECT_NE(run.err().find("closed the connection before the program ended"), std::string::npos) << run.err();
  }
  {
    kvsctl_process run({"-t", "3", agent.target(), "run", "--", "cat"}, true);
    pid_t connection = connection_of(run);
    ASSERT_GT(connection, 0);
    ::kill(connection, SIGSTOP);
    std::optional<int> status = run.wait_exit();
    ::kill(connection, SIGCONT);
    EXPECT_EQ(status, 255);
    EXPECT_NE(run.err().find("stopped answering"), std::string::npos) << run.err();
  }
}

TEST(KvsctlShell, ANotificationThatArrivesWhileIdleIsShown) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  kvsctl_process shell({agent.target(), "shell"}, true);
  shell.write("EXEC sleep 1\n");
  EXPECT_TRUE(shell.wait_output("261 child process launched : %1\n"));
  // Nothing typed meanwhile.
  EXPECT_TRUE(shell.wait_output("661 process stopped : %1 => %1 (%0)\n"));
  shell.write("GENV KVS_NO_SUCH_VARIABLE\n");
  shell.close_input();
  EXPECT_EQ(shell.wait_exit(), 0) << shell.err();
  EXPECT_EQ(shell.out(),
            "261 child process launched : %1\n"
            "661 process stopped : %1 => %1 (%0)\n"
            "511 getenv failed\n"
            "221 bye.\n");
}

TEST(KvsctlTesters, RendezvousAndDynamicFollowAreAnsweredOverIPv6) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  std::string six = agent.target("::1");
  outcome released = kvsctl({six, "run", "--rendezvous", "ok", "--", e2e::tool_path("kvsrdv"), "gate"});
  EXPECT_EQ(released.status, 0) << released.err;
  outcome refused = kvsctl({six, "run", "--rendezvous=ko", "--dynfollow=ok", "--", "sh", "-c",
                            e2e::tool_path("kvsdynf") + " --wait End_of_x </dev/null && " + e2e::tool_path("kvsrdv") +
                                " gate"});
  EXPECT_EQ(refused.status, 1) << refused.err;  // kvsrdv's status for Ko
  EXPECT_EQ(refused.out, "Ok\n");               // kvsdynf prints the answer
  // A call of its own holds no rendezvous: release says so and fails.
  outcome bye = kvsctl({"-S", "none", six, "release", "nobody waits here"});
  EXPECT_EQ(bye.status, 2) << bye.err;
  EXPECT_NE(bye.err.find("no control connection"), std::string::npos) << bye.err;
}

TEST(KvsctlUsage, HelpVersionAndBadCommandLines) {
  outcome help = kvsctl({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: kvsctl", 0), 0u);
  outcome run_help = kvsctl({"localhost", "run", "--help"});
  EXPECT_EQ(run_help.status, 0);
  EXPECT_NE(run_help.out.find("run [-C DIR]"), std::string::npos);
  outcome version = kvsctl({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("kvsctl ", 0), 0u);
  outcome bad = kvsctl({"localhost", "launch"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("unknown command"), std::string::npos);
}

// ---------------------------------------------------------------- scripts and fleets

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A JSON object read back into flat keys ("step.index") and values (strings
// unquoted, other values as written; null as "null").
bool parse_json(std::string_view text, std::map<std::string, std::string>& out, const std::string& prefix = "") {
  auto skip = [&] {
    while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
  };
  auto string_value = [&](std::string& value) {
    if (text.empty() || text[0] != '"') return false;
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '"') {
        text.remove_prefix(i + 1);
        return true;
      }
      if (text[i] == '\\' && ++i < text.size()) {
        const char* escapes = "n\nr\rt\t\"\"\\\\//";
        const char* found = std::strchr(escapes, text[i]);
        if (found == nullptr || (found - escapes) % 2 != 0) return false;
        value += found[1];
      } else {
        value += text[i];
      }
    }
    return false;
  };
  std::function<bool(const std::string&)> object = [&](const std::string& at) {
    if (text.empty() || text[0] != '{') return false;
    text.remove_prefix(1);
    for (;;) {
      skip();
      std::string key;
      if (!string_value(key) || text.empty() || text[0] != ':') return false;
      text.remove_prefix(1);
      std::string name = at.empty() ? key : at + "." + key;
      if (!text.empty() && text[0] == '{') {
        if (!object(name)) return false;
      } else if (!text.empty() && text[0] == '"') {
        if (!string_value(out[name])) return false;
      } else {
        std::size_t end = text.find_first_of(",}");
        if (end == std::string_view::npos || end == 0) return false;
        out[name] = std::string(text.substr(0, end));
        text.remove_prefix(end);
      }
      if (text.empty()) return false;
      char c = text[0];
      text.remove_prefix(1);
      if (c == '}') return true;
      if (c != ',') return false;
    }
  };
  return object(prefix) && text.empty();
}

TEST(KvsctlFleet, ThirteenConcurrentCallsToOneAgentAllSucceed) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  // The daemon pauses after each accept: the last ones wait their turn.
  std::vector<std::unique_ptr<kvsctl_process>> calls;
  for (int i = 0; i < 13; ++i)
    calls.push_back(std::make_unique<kvsctl_process>(
        std::vector<std::string>{agent.target(), "run", "--", "sh", "-c", "echo " + std::to_string(i)}));
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(calls[i]->wait_exit(60000), 0) << calls[i]->err();
    EXPECT_EQ(calls[i]->out(), std::to_string(i) + "\n");
  }
}

TEST(KvsctlScript, PutATreeRunOnItAndGetTheResultOverOneConnection) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  ASSERT_EQ(::mkdir(local.file("tree").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(local.file("tree/sub").c_str(), 0755), 0);
  e2e::write_file(local.file("tree/a.txt"), "alpha\n");
  e2e::write_file(local.file("tree/sub/b.txt"), "beta\n");
  ASSERT_EQ(::symlink("a.txt", local.file("tree/link.txt").c_str()), 0);   // followed
  ASSERT_EQ(::symlink("nowhere", local.file("tree/dangling").c_str()), 0);  // skipped
  ASSERT_EQ(::symlink("..", local.file("tree/sub/up").c_str()), 0);         // a loop: skipped
  e2e::write_file(local.file("script"),
                  "# build the result on the agent\n"
                  "put -r " + local.file("tree") + " work\n"
                  "cd work\n"
                  // OS as a Windows agent has it: the platform was asked before.
                  "env SUFFIX='end of it' OS=Windows_NT\n"
                  "run -- sh -c \"cat a.txt sub/b.txt link.txt > result.txt; echo \\\"\\$SUFFIX\\\" >> result.txt\"\n"
                  "get result.txt " + local.file("result.txt") + "\n");
  outcome done = kvsctl({"-v", agent.target(), "do", "-f", local.file("script")});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(e2e::read_file(local.file("result.txt")), "alpha\nbeta\nalpha\nend of it\n");
  EXPECT_FALSE(e2e::file_exists(agent.dir().file("work/dangling")));
  EXPECT_NE(done.err.find("skipped " + local.file("tree/dangling")), std::string::npos) << done.err;
  // -v shows the side commands too.
  for (const char* line : {"> MKD work/sub", "> PFTP", "> PUTF work/a.txt", "> PORT", "< 225 trace port established",
                           "> GETF result.txt", "> QUIT"})
    EXPECT_NE(done.err.find(line), std::string::npos) << line << "\n" << done.err;
  EXPECT_EQ(count_of(done.err, "> GENV OS"), 1u) << done.err;  // once, before the first step

  // A failing step stops the script with its status; -k goes on.
  outcome stopped = kvsctl({agent.target(), "do", "run", "sh", "-c", "exit 5", "---", "get", "work/result.txt",
                            local.file("not-fetched")});
  EXPECT_EQ(stopped.status, 5) << stopped.err;
  EXPECT_FALSE(e2e::file_exists(local.file("not-fetched")));
  outcome kept = kvsctl({agent.target(), "do", "-k", "cd", "no-such-dir", "---", "get", "work/result.txt",
                         local.file("fetched")});
  EXPECT_EQ(kept.status, 1) << kept.err;
  EXPECT_TRUE(e2e::file_exists(local.file("fetched")));
  // One connection per invocation.
  EXPECT_TRUE(e2e::eventually([&] { return count_of(agent.log(), "#access granted") == 3; })) << agent.log();
}

TEST(KvsctlFleet, ManyAgentsAtOnceWithLabelsStatusesAndJson) {
  daemon_agent first;
  daemon_agent second;
  ASSERT_TRUE(first.ready());
  ASSERT_TRUE(second.ready());
  std::string nobody = "127.0.0.1:" + std::to_string(e2e::free_port());
  std::string hosts = first.target() + "," + second.target() + "," + nobody;
  outcome labelled = kvsctl({"-H", hosts, "run", "--", "sh", "-c", "echo one; echo two"});
  EXPECT_EQ(labelled.status, 255) << labelled.err;
  std::vector<std::string> lines = lines_of(labelled.out);
  std::vector<std::string> expected{first.target() + ": one", first.target() + ": two", second.target() + ": one",
                                    second.target() + ": two"};
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  for (const std::string& summary : {first.target() + ": exit 0", second.target() + ": exit 0", nobody + ": exit 255"})
    EXPECT_NE(labelled.err.find("kvsctl: " + summary), std::string::npos) << labelled.err;

  // From a file, as a script, in JSON: one object per agent and step.
  e2e::temp_dir local;
  e2e::write_file(local.file("hosts"), first.target() + "\n# not this one\n" + nobody + "\n");
  outcome json = kvsctl({"--json-output", "-H", "@" + local.file("hosts"), "do", "run", "sh", "-c", "printf 'x\\ty'",
                         "---", "run", "sh", "-c", "exit 3", "---", "cd", "."});
  EXPECT_EQ(json.status, 255) << json.err;
  std::map<std::string, std::map<std::string, std::string>> by_step;
  for (const std::string& line : lines_of(json.out)) {
    std::map<std::string, std::string> fields;
    ASSERT_TRUE(parse_json(line, fields)) << line;
    EXPECT_EQ(fields["v"], "1");
    by_step[fields["host"] + " " + fields["step.index"] + " " + fields["step.kind"]] = fields;
  }
  ASSERT_EQ(by_step.size(), 4u) << json.out;
  auto& ran = by_step[first.target() + " 1 run"];
  EXPECT_EQ(ran["status"], "0");
  EXPECT_EQ(ran["output"], "x\ty");
  EXPECT_EQ(ran["bytes"], "3");
  EXPECT_EQ(ran["error"], "null");
  EXPECT_EQ(ran["reply"], "661 process stopped : %1 => %1 (%0)");
  EXPECT_EQ(by_step[first.target() + " 2 run"]["status"], "3");
  EXPECT_EQ(by_step[first.target() + " 3 cd"]["status"], "null");  // not run after the failure
  auto& unreachable = by_step[nobody + " 0 connect"];
  EXPECT_EQ(unreachable["status"], "255");
  EXPECT_NE(unreachable["error"].find("cannot connect"), std::string::npos);
}

TEST(KvsctlFailures, ExitStatusesTellWhatFailed) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  struct row {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const row rows[] = {
      {{"run", "--", "no-such-program-here"}, 127, "561 EXEC process failed"},
      {{"run", "-C", "no-such-dir", "--", "true"}, 1, "551 CWD failed"},
      {{"do", "env", "A=1", "---", "run", "no-such-program-here"}, 127, "561 EXEC process failed"},
  };
  for (const row& r : rows) {
    std::vector<std::string> args{agent.target()};
    args.insert(args.end(), r.args.begin(), r.args.end());
    outcome got = kvsctl(args);
    EXPECT_EQ(got.status, r.status) << r.args[0] << ": " << got.err;
    EXPECT_NE(got.err.find(r.message), std::string::npos) << got.err;
  }
}

// The shell on a terminal: a prompt, the history on the arrow keys, and a
// notification printed above the line being typed, which is drawn again.
TEST(KvsctlShell, OnATerminalLinesAreEditedAndNotificationsDoNotBreakThem) {
#if !KVS_LINE_EDITOR
  GTEST_SKIP() << "built without libedit";
#endif
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  int master = -1;
  int slave = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 100;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  studio::socket_fd owned_master(master);
  studio::socket_fd owned_slave(slave);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) posix_spawn_file_actions_adddup2(&actions, slave, fd);
  std::vector<std::string> argv{e2e::tool_path("kvsctl"), agent.target(), "shell"};
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  std::vector<std::string> env{"TERM=xterm", "HOME=" + agent.dir().path(), "USER=" + e2e::local_user()};
  std::vector<char*> cenv;
  for (std::string& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  e2e::captured_process p;
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  p.pid = pid;
  owned_slave.reset();
  std::string seen;
  auto wait_for = [&](const std::string& text, std::size_t count = 1) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(e2e::kReplyMs * 2);
    while (count_of(seen, text) < count && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{master, POLLIN, 0};
      if (::poll(&fd, 1, 100) <= 0) continue;
      char chunk[4096];
      ssize_t n = ::read(master, chunk, sizeof chunk);
      if (n <= 0) break;
      seen.append(chunk, static_cast<std::size_t>(n));
    }
    return count_of(seen, text) >= count;
  };
  auto type = [&](const std::string& keys) {
    ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  };
  std::string prompt = "kvsctl " + agent.target() + "> ";
  ASSERT_TRUE(wait_for(prompt)) << seen;
  type("EXEC sleep 1\r");
  ASSERT_TRUE(wait_for("261 child process launched : %1")) << seen;
  type("GENV KVS_PO");  // being typed when the program's end is reported
  ASSERT_TRUE(wait_for("661 process stopped : %1 => %1 (%0)")) << seen;
  ASSERT_TRUE(wait_for(prompt + "GENV KVS_PO", 2)) << seen;  // typed, then drawn again
  type("RT_RDV\r");
  ASSERT_TRUE(wait_for("211 getenv result : KVS_PORT_RDV=")) << seen;
  type("\x1b[A\r");  // the same line again, from the history
  EXPECT_TRUE(wait_for("211 getenv result : KVS_PORT_RDV=", 2)) << seen;
  type("\x04");  // the end of the input
  EXPECT_TRUE(wait_for("221 bye.")) << seen;
  EXPECT_EQ(p.wait_exit(kExitMs), 0) << seen;
  EXPECT_EQ(seen.find("^[[A"), std::string::npos) << seen;
}

// What kvsctl draws on a terminal of `columns` columns (stderr on a
// pseudo-terminal) while it runs `args`.
std::string on_terminal(int columns, const std::vector<std::string>& args) {
  int master = -1;
  int slave = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return "<no pty>";
  studio::socket_fd owned_master(master);
  studio::socket_fd owned_slave(slave);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, slave, 2);
  std::vector<std::string> argv{e2e::tool_path("kvsctl")};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  e2e::captured_process p;
  pid_t pid = -1;
  if (::posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) == 0) p.pid = pid;
  posix_spawn_file_actions_destroy(&actions);
  owned_slave.reset();  // the end of kvsctl is the end of the terminal's output
  std::string seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kExitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{master, POLLIN, 0};
    if (::poll(&fd, 1, 1000) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(master, chunk, sizeof chunk);
    if (n <= 0) break;
    seen.append(chunk, static_cast<std::size_t>(n));
  }
  if (p.wait_exit(kExitMs) != 0) seen += "<kvsctl failed>";
  return seen;
}

TEST(KvsctlProgress, TheLineFitsTheTerminal) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  std::string name = "a-rather-long-file-name-that-will-not-fit-on-a-narrow-terminal.bin";
  e2e::write_file(local.file(name), random_bytes(3 << 20));
  for (int columns : {40, 200}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{agent.target(), "put", local.file(name), name},
          std::vector<std::string>{agent.target(), "get", name, local.file("back.bin")}}) {
      std::string seen = on_terminal(columns, args);
      EXPECT_EQ(seen.find("<kvsctl failed>"), std::string::npos) << seen;
      // Redrawn in place: one line end in all, after the summary line.
      EXPECT_EQ(count_of(seen, "\n"), 1u) << seen;
      std::string plain;
      for (std::size_t i = 0; i < seen.size(); ++i) {
        if (seen.compare(i, 3, "\x1b[K") == 0) i += 2;
        else plain += seen[i];
      }
      std::size_t start = 0;
      for (std::size_t i = 0; i <= plain.size(); ++i) {
        if (i < plain.size() && plain[i] != '\r' && plain[i] != '\n') continue;
        EXPECT_LT(i - start, static_cast<std::size_t>(columns)) << columns << ": " << plain.substr(start, i - start);
        start = i + 1;
      }
      if (args[1] == "put") {
        EXPECT_NE(plain.find("%"), std::string::npos) << plain;
      }
      EXPECT_NE(plain.find(" in "), std::string::npos) << plain;  // the summary
    }
  }
  // Not on a pipe, not with -q.
  EXPECT_EQ(kvsctl({agent.target(), "put", local.file(name), name}).err, "");
  EXPECT_EQ(count_of(on_terminal(80, {"-q", agent.target(), "put", local.file(name), name}), "\n"), 0u);
}

}  // namespace

// A fake agent (tests/fake_agent.py) serving one hostile scenario on
// loopback; it ends when its standard input closes, here with the object.
class fake_agent {
 public:
  explicit fake_agent(const std::string& scenario) {
    std::string python = "/usr/bin/python3";
    if (::access(python.c_str(), X_OK) != 0) return;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    input_.reset(in[1]);
    studio::socket_fd child_in(in[0]), child_out(out[1]), port_line(out[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, child_in.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, child_out.get(), 1);
    std::string script = std::string(KVS_SOURCE_DIR) + "/tests/fake_agent.py";
    std::vector<std::string> argv{python, script, scenario};
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) == 0) process_.pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    child_out.reset();
    // The port and a newline, read from the pipe within a bounded wait.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{port_line.get(), POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      char chunk[16];
      ssize_t n = ::read(port_line.get(), chunk, sizeof chunk);
      if (n <= 0) break;
      line.append(chunk, static_cast<std::size_t>(n));
    }
    line = line.substr(0, line.find('\n'));
    port_ = line.empty() ? -1 : std::atoi(line.c_str());
  }
  ~fake_agent() {
    input_.reset();
    if (!process_.wait_exit(5000)) process_.kill_now();
  }
  bool available() const { return process_.pid > 0; }
  int port() const { return port_; }
  std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  e2e::captured_process process_;
  studio::socket_fd input_;
  int port_ = -1;
};

// The peak resident size of a process in KiB (VmHWM), 0 when unknown.
long peak_kib(pid_t pid) {
  std::istringstream status(e2e::read_file("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Whether text holds a byte that a terminal acts on: a C0 control other
// than LF and tab, DEL, one of the C1 bytes, or a byte that can never be
// part of UTF-8 (the fake agent's 0xfe and 0xff).
bool holds_terminal_control(const std::string& text) {
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7f || u == 0x9b || u >= 0xfe) return true;
  }
  return false;
}

TEST(KvsctlHostileAgent, EveryAnswerEndsBoundedWithAMessageAndNoTerminalControl) {
  e2e::temp_dir dir;
  e2e::write_file(dir.file("a.txt"), "a\n");
  struct row {
    const char* scenario;
    std::vector<std::string> command;
    int status;
    const char* says;  // in the message, when not empty
  };
  const std::vector<row> rows = {
      {"silent", {"run", "--", "true"}, 255, "no greeting within 3 s"},
      {"not-agent", {"run", "--", "true"}, 255, "SSH-2.0-test"},
      {"greeting-endless", {"run", "--", "true"}, 255, "longer than"},
      {"greeting-escape", {"run", "--", "true"}, 255, "\\x1b]0;owned\\x07"},
      {"ident-escape", {"run", "--", "true"}, 255, "\\x1b[2J\\rkvsctl: all good\\x9b\\xff"},
      {"reply-endless", {"run", "--", "true"}, 255, "longer than"},
      {"flood", {"run", "--", "true"}, 255, "no reply to GENV within 2 s"},
      {"flood", {"put", dir.file("a.txt"), "b.txt"}, 255, ""},
      {"malformed", {"run", "--", "true"}, 255, "PORT answered"},
      {"malformed", {"put", dir.file("a.txt"), "b.txt"}, 255, ""},
      {"malformed-big", {"put", dir.file("a.txt"), "b.txt"}, 255, ""},
      {"escape-replies", {"run", "--", "true"}, 255, "522 INTERNAL ERROR: No trace port \\x1b]0;owned"},
      {"escape-replies", {"do", "cd", "/x", "---", "env", "A=1"}, 1, "551 CWD failed \\x1b]0;owned"},
      {"failure-cause", {"do", "cd", "/nope"}, 1,
       "cannot change to directory /nope: No such file or directory (551 CWD failed)\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.scenario);
    fake_agent agent(r.scenario);
    if (!agent.available()) GTEST_SKIP() << "no python3 here for the fake agent";
    ASSERT_GT(agent.port(), 0);
    std::vector<std::string> args{"-u", "tester", "-t", "2", "--greeting-timeout", "3", agent.target()};
    args.insert(args.end(), r.command.begin(), r.command.end());
    kvsctl_process p(args);
    long peak = 0;
    std::optional<int> status;
    // Far beyond the 2 s reply and 3 s greeting limits: only a kvsctl that
    // does not give up stays that long.
    auto deadline = std::chrono::steady_clock::now() + 25s;
    while (!(status = p.wait_exit(20)) && std::chrono::steady_clock::now() < deadline) {
      peak = std::max(peak, peak_kib(p.pid()));
    }
    ASSERT_TRUE(status) << "kvsctl still running against " << r.scenario;
    EXPECT_EQ(*status, r.status) << p.err();
    EXPECT_LT(peak, 64 * 1024) << "peak resident KiB";
    std::string shown = p.err() + p.out();
    EXPECT_FALSE(holds_terminal_control(shown)) << shown;
    if (*r.says != '\0') {
      EXPECT_NE(p.err().find(r.says), std::string::npos) << p.err();
    }
  }
}

TEST(KvsctlExactNames, PathsAndWordsReachTheAgentByteForByte) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  // The agent's environment has HOME and a variable of this test's own, so
  // that an expanded name would land elsewhere.
  const std::vector<std::string> names = {
      "plain.txt",  "with space.txt", "var $HOME.txt",     "$HOME",          "${HOME}x", "a${.txt", "b}.txt",
      "$",          "x$",             "$$",                "${KVS_STUDIO_DOLLAR}", "\\$HOME", "\xc3\xbc\xe2\x82\xac.txt",
      "-leading",   "Outer$Inner.class",
  };
  std::string remote = agent.dir().file("exact");
  ASSERT_TRUE(std::filesystem::create_directory(remote));
  std::filesystem::create_directory(local.file("tree"));
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    std::string content = "content " + std::to_string(i) + " " + names[i] + "\n";
    e2e::write_file(local.file("source"), content);
    e2e::write_file(local.file("tree/" + names[i]), content);
    outcome put = kvsctl({agent.target(), "put", local.file("source"), remote + "/" + names[i]});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(e2e::read_file(remote + "/" + names[i]), content);
    outcome got = kvsctl({agent.target(), "get", remote + "/" + names[i], local.file("fetched")});
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(e2e::read_file(local.file("fetched")), content);
  }
  // A tree whose directory and files hold them, sent in one connection.
  outcome tree = kvsctl({agent.target(), "put", "-r", local.file("tree"), remote + "/tree $HOME"});
  ASSERT_EQ(tree.status, 0) << tree.err;
  std::vector<std::string> arrived;
  for (const auto& entry : std::filesystem::directory_iterator(remote + "/tree $HOME"))
    arrived.push_back(entry.path().filename().string());
  std::sort(arrived.begin(), arrived.end());
  std::vector<std::string> sent = names;
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(arrived, sent);
  // A program word holding '$' reaches the program as it was written.
  outcome run = kvsctl({agent.target(), "run", "--", "printf", "%s|", "$HOME", "${HOME}", "a$", "$"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "$HOME|${HOME}|a$|$|");
}

TEST(KvsctlFailures, ARefusedTransferSaysItsCause) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir local;
  e2e::write_file(local.file("a.txt"), "a\n");
  std::string missing = agent.dir().file("no-such-dir/a.txt");
  outcome put = kvsctl({agent.target(), "put", local.file("a.txt"), missing});
  EXPECT_EQ(put.status, 1);
  // The agent tells the cause (XWHY): the system's text comes with the reply.
  EXPECT_EQ(put.err, "kvsctl: " + agent.target() + ": put: " + missing +
                         ": No such file or directory (531 receive file failed)\n");
  std::string absent = agent.dir().file("absent $HOME.txt");
  outcome get = kvsctl({agent.target(), "get", absent, local.file("b.txt")});
  EXPECT_EQ(get.status, 1);
  EXPECT_EQ(get.err, "kvsctl: " + agent.target() + ": get: " + absent +
                         ": No such file or directory (530 send file failed)\n");
  EXPECT_FALSE(std::filesystem::exists(local.file("b.txt")));
}

TEST(KvsctlRendezvous, ReleaseAndRefuseFromANewConnectionFailHonestly) {
  for (const char* word : {"release", "refuse"}) {
    outcome o = kvsctl({"127.0.0.1:1", word, "gate"});
    EXPECT_EQ(o.status, 2) << word;
    EXPECT_NE(o.err.find("no control connection"), std::string::npos) << o.err;
  }
}
