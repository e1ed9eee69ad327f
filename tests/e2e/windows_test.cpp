// The Windows agent (kvsagtd.exe) under Wine, driven over loopback by the
// studio library as the other end-to-end tests drive the Linux agent. It runs
// in daemon form only (a Linux socket cannot be handed to a Wine program) and
// launches the Windows test helper (tests/windows/helper), kvsrdv.exe and
// kvsdynf.exe: a Linux program started from Wine cannot be followed. Skipped
// unless scripts/test-windows.sh names the Windows build (KVS_WINDOWS_BIN).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/trace.h"
#include "client/transfer.h"
#include "harness.h"

namespace {

using namespace std::string_literals;
using e2e::eventually;
using e2e::kReplyMs;

namespace fs = std::filesystem;

const std::string kHello = "210 hello, please to meet you.";
const std::string kPwd = "253 the current directory is :";
const std::string kEnded = "661 process stopped : ";
const std::string kBoot = "700 boot dynfollow : ";
// A program's end is reported by a wake-up, not by the next turn of the
// connection loop (which comes at the latest a second later).
constexpr int kPromptMs = 1000;
constexpr int kExitMs = 10000;  // generous: the agent must end, not end fast

class WindowsAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<e2e::windows_build> found = e2e::windows_build_from_env();
    if (!found) GTEST_SKIP() << "no Windows build named: KVS_WINDOWS_BIN is set by scripts/test-windows.sh";
    build = *found;
    ASSERT_TRUE(fs::exists(build.agent)) << build.agent;
  }

  e2e::wine_agent& start(const std::string& authorization = "+ +\n", const e2e::agent_options& options = {}) {
    agent = std::make_unique<e2e::wine_agent>(build, authorization, options);
    return *agent;
  }

  // EXEC of the test helper with these steps.
  std::string helper(const std::string& steps) const { return "EXEC \"" + build.exe("kvstesthelper") + "\" " + steps; }

  // The lines of a file the agent's programs write, once it has `count`.
  bool lines_reach(const std::string& path, std::size_t count) {
    return eventually(
        [&] {
          std::string text = e2e::read_file(path);
          return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= count;
        },
        kExitMs);
  }

  // Runs `helper alive FILE` on p: the number of the processes named in FILE
  // that still run, or -1 when the reply was not the expected one.
  int still_alive(e2e::peer& p, const std::string& file) {
    std::string launched = p.command(helper("alive " + file));
    EXPECT_EQ(launched.rfind("261 child process launched : %", 0), 0u) << launched;
    std::string n = std::to_string(studio::reply_number(launched));
    std::string ended = p.read_line(kExitMs);
    std::string prefix = kEnded + "%1 => %" + n + " (%";
    EXPECT_EQ(ended.rfind(prefix, 0), 0u) << ended;
    return ended.rfind(prefix, 0) == 0 ? std::atoi(ended.c_str() + prefix.size()) : -1;
  }

  // The Wine processes of the helper's tree step whose file is in the
  // agent's folder (the witness from outside Wine).
  std::size_t tree_processes() const { return e2e::processes_with({" tree ", agent->windows_dir()}).size(); }

  e2e::windows_build build;
  std::unique_ptr<e2e::wine_agent> agent;
};

// The reply to each line, checked in order on one connection.
struct exchange {
  std::string line;
  std::string reply;
};

void expect_replies(e2e::peer& p, const std::vector<exchange>& exchanges) {
  for (const exchange& e : exchanges) EXPECT_EQ(p.command(e.line), e.reply) << e.line;
}

}  // namespace

TEST_F(WindowsAgent, GreetsAndClosesOnLinesBeforeIdentification) {
  e2e::wine_agent& a = start();
  struct gate_case {
    std::string line;
    std::string reply;  // empty: closed without a reply
  };
  const gate_case cases[] = {{"GENV OS", ""}, {"QUIT", ""}, {"HELP", ""}, {"HELO", kHello}};
  for (const gate_case& c : cases) {
    e2e::peer p = a.connect();
    ASSERT_TRUE(p.valid());
    ASSERT_EQ(p.read_line(kExitMs), kHello);
    ASSERT_TRUE(p.studio().send_line(c.line));
    if (!c.reply.empty()) {
      EXPECT_EQ(p.read_line(), c.reply) << c.line;
    }
    EXPECT_TRUE(p.studio().wait_closed(kReplyMs)) << c.line;
  }
  // The listener takes IPv4 and IPv6 peers.
  e2e::peer six = a.connect("::1");
  ASSERT_TRUE(six.valid());
  EXPECT_EQ(six.read_line(kExitMs), kHello);
  EXPECT_EQ(six.identify(), "310 access authorized.");
  e2e::peer p = a.admitted();
  EXPECT_EQ(p.command("HELO"), kHello);
  EXPECT_EQ(p.command("QUIT"), "221 bye.");
  EXPECT_TRUE(p.studio().wait_closed(kReplyMs));
  EXPECT_EQ(a.err(), "System testing Agent 8.0.1.2.343.015\n");
}

TEST_F(WindowsAgent, WrongArgumentsAndABusyPortEndTheDaemonWithOne) {
  e2e::wine_agent& a = start();
  ASSERT_TRUE(a.connect().valid());
  struct run_case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  };
  const std::string usage =
      "System testing Agent 8.0.1.2.343.015\nProvex-I-USAGE: kvsagtd.exe <TCP port number> [-IPv4]\n";
  const run_case cases[] = {
      {{}, "", usage},
      {{"12x"}, "", usage},
      {{"1", "2", "3", "4"}, "", usage},
      {{std::to_string(a.port())},
       "kvsagtd : The port " + std::to_string(a.port()) + " is already used. An other agent may be running\n",
       "System testing Agent 8.0.1.2.343.015\n"},
  };
  for (const run_case& c : cases) {
    e2e::captured_process p = e2e::start_windows(build, build.agent, c.args, {}, a.dir().path());
    EXPECT_EQ(p.wait_exit(kExitMs), 1);
    e2e::sweep_group(p.pid);
    EXPECT_EQ(e2e::without_cr(p.out()), c.out);
    EXPECT_EQ(e2e::without_cr(p.err()), c.err);
  }
}

// No TLS in the Windows build yet: any TLS setting ends the daemon before it
// listens, with the reason.
TEST_F(WindowsAgent, TlsSettingsEndTheDaemonWithOne) {
  e2e::temp_dir dir;
  for (const char* name : {"KVS_TLS_CERT", "KVS_TLS_CLIENT_CA"}) {
    SCOPED_TRACE(name);
    e2e::agent_options options;
    options.env[name] = e2e::windows_path(dir.file("x.pem"));
    const int port = e2e::free_port();
    e2e::captured_process p = e2e::start_windows(build, build.agent, {std::to_string(port)}, options, dir.path());
    EXPECT_EQ(p.wait_exit(kExitMs), 1);
    e2e::sweep_group(p.pid);
    EXPECT_EQ(e2e::without_cr(p.out()),
              "kvsagtd : TLS is not available in the Windows build ("s + name + " is set)\n");
    EXPECT_FALSE(e2e::listening_on(port));
  }
}

TEST_F(WindowsAgent, AccessFollowsHostAndUserRules) {
  e2e::wine_agent& a = start();
  struct attempt {
    std::string file;
    std::string user;
    bool admitted;
  };
  const attempt cases[] = {
      {"+ +\n", "anyone", true},
      {"+ -bob\n+ +\n", "bob", false},
      {"+ -bob\n+ +\n", "alice", true},
      {"localhost -alice\n+ +\n", "alice", false},
      {"no-such-host.invalid -alice\n+ +\n", "alice", true},
      {"localhost carol\n", "carol", true},
      {"localhost carol\n", "dave", false},
      // Ctrl-Z ends nothing: the refusing rule after it counts, as on Linux.
      {"+ +\n\x1a\n+ -\n", "alice", false},
      {"+ +\r\n\x1a\r\n+ -bob\r\n", "bob", false},
      // The agent's own account counts only for a studio whose connection
      // the system finds in its table with a process of that account: this
      // test, a Linux program, is no Windows process at all.
      {"+ -\n", e2e::local_user(), false},
  };
  for (const attempt& c : cases) {
    a.authorize(c.file);
    e2e::peer p = a.connect();
    ASSERT_TRUE(p.valid());
    ASSERT_EQ(p.read_line(kExitMs), kHello);
    std::string reply = p.identify(c.user);
    EXPECT_EQ(reply, c.admitted ? "310 access authorized." : "533 user is not allowed to connect") << c.file << c.user;
    if (!c.admitted) {
      EXPECT_TRUE(p.studio().wait_closed(kReplyMs));
    }
  }
  // A studio that is a Windows process of the agent's account is admitted
  // under that account's name; under another name only by the file.
  a.authorize("+ -\n");
  struct own_case {
    std::string user;
    std::string reply;
  };
  const own_case owns[] = {
      {e2e::local_user(), "qim: 310 access authorized.\n"},
      {"alice", "qim: 533 user is not allowed to connect\n"},
  };
  for (const own_case& c : owns) {
    e2e::captured_process studio = e2e::start_windows(build, build.bin + "/kvstesthelper.exe",
                                                      {"qim", std::to_string(a.port()), c.user}, {}, a.dir().path());
    EXPECT_EQ(studio.wait_exit(kExitMs), 0) << c.user;
    e2e::sweep_group(studio.pid);
    EXPECT_EQ(e2e::without_cr(studio.out()), c.reply) << c.user << "\n" << studio.err();
  }
  // The connection processes log on the daemon's standard output.
  EXPECT_TRUE(eventually([&] { return a.out().find("localhost dave #access denied\n") != std::string::npos; }))
      << a.out();
  EXPECT_NE(a.out().find("localhost carol #access granted\n"), std::string::npos) << a.out();
}

TEST_F(WindowsAgent, AuthorizationFileIsFoundThroughKvsDirOrProvexdir) {
  e2e::wine_agent& a = start();
  e2e::temp_dir empty, root;
  fs::create_directories(root.path() + "/bin/intel/win32");
  e2e::write_file(root.path() + "/bin/intel/win32/kvsagtd.ini", "+ frank\n");
  // Identification reads the variables of the connection afresh.
  e2e::peer p = a.admitted();
  expect_replies(p, {
                        {"SENV KVS_DIR=" + e2e::windows_path(empty.path()), "212 setenv succeeded"},
                        {"Qim frank", "533 user is not allowed to connect"},
                    });
  p = a.admitted();
  expect_replies(p, {
                        {"SENV KVS_DIR=", "212 setenv succeeded"},  // empty counts as unset
                        {"SENV PROVEXDIR=" + e2e::windows_path(root.path()), "212 setenv succeeded"},
                        {"Qim frank", "310 access authorized."},
                        {"Qim tester", "533 user is not allowed to connect"},
                    });
  const std::string missing = "kvsagtd: authorization file " + e2e::windows_path(empty.path()) +
                              "\\kvsagtd.ini not found.\n Use current machine:user\n";
  EXPECT_TRUE(eventually([&] { return a.out().find(missing) != std::string::npos; })) << a.out();
}

TEST_F(WindowsAgent, EnvironmentNamesIgnoreCase) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  expect_replies(p, {
                        {"GENV OS", "211 getenv result : OS=Windows_NT"},
                        {"GENV os", "211 getenv result : os=Windows_NT"},
                        {"SENV KVS_E2E_X=one", "212 setenv succeeded"},
                        {"GENV kvs_e2e_x", "211 getenv result : kvs_e2e_x=one"},
                        {"SENV Kvs_E2e_X=two", "212 setenv succeeded"},
                        {"GENV KVS_E2E_X", "211 getenv result : KVS_E2E_X=two"},
                        {"SENV KVS_E2E_Y=${kvs_e2e_x}!", "212 setenv succeeded"},
                        {"GENV KVS_E2E_Y", "211 getenv result : KVS_E2E_Y=two!"},
                        {"DENV kvs_e2e_X", "213 unsetenv succeeded"},
                        {"GENV KVS_E2E_X", "511 getenv failed"},
                        {"SENV KVS_E2E_Z", "413 SENV need a value for the variable"},
                        {"GENV KVS_AGT_BASEPWD", "211 getenv result : KVS_AGT_BASEPWD=" + a.windows_dir()},
                    });
  // Launched programs inherit the variables, whatever case SENV used.
  studio::trace_connection trace = studio::establish_trace(p.studio(), "127.0.0.1", kReplyMs);
  ASSERT_TRUE(trace.valid());
  ASSERT_EQ(p.command("SENV kvs_e2e_w=inherited"), "212 setenv succeeded");
  ASSERT_EQ(p.command(helper("env KVS_E2E_W env KVS_E2E_X out end")), "261 child process launched : %1");
  EXPECT_EQ(trace.read_until("end\n", kReplyMs), "KVS_E2E_W=inherited\nKVS_E2E_X unset\nend\n");
}

TEST_F(WindowsAgent, DirectoryCommands) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  const std::string root = a.windows_dir();
  e2e::write_file(a.dir().file("f"), "x");
  expect_replies(p, {
                        {"PWD", kPwd + root},
                        {"MKD sub", "252 directory created"},
                        {"MKD sub", "552 MKD failed"},
                        {"MKD missing\\child", "552 MKD failed"},
                        {"CWD sub", "251 directory changed"},
                        {"PWD", kPwd + root + "\\sub"},
                        {"MKD deeper", "252 directory created"},
                        {"CWD ..", "251 directory changed"},
                        {"PWD", kPwd + root},
                        {"RMD sub", "554 RMD failed"},
                        {"RMD sub\\deeper", "254 directory removed"},
                        {"DELF sub", "532 delete file failed"},
                        {"DELF F", "232 file deleted"},  // names ignore case
                        {"DELF f", "532 delete file failed"},
                        {"RMD sub", "254 directory removed"},
                        {"RMD sub", "554 RMD failed"},
                        {"CWD nowhere", "551 CWD failed"},
                        {"CWD " + root + "\\..", "251 directory changed"},
                        {"PWD", kPwd + e2e::windows_path(fs::path(a.dir().path()).parent_path().string())},
                        {"MKD", "452 MDK wait a directory name as parameter"},
                    });
  EXPECT_FALSE(fs::exists(a.dir().file("sub")));
  EXPECT_FALSE(fs::exists(a.dir().file("f")));
}

TEST_F(WindowsAgent, TransfersKeepTheBytesOfEitherMode) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  studio::file_transfer files(p.studio(), "127.0.0.1", kReplyMs);
  const int port = files.data_port();
  ASSERT_GT(port, 0);
  std::string every;
  for (int b = 0; b < 256; ++b) every += static_cast<char>(b);
  every += "\r\n\r\x1a\n";

  // PUTF: what arrives on the data connection, and what the file then holds.
  // ASCII mode turns CR LF into LF and writes in text mode, which writes a
  // line feed as CR LF on Windows.
  struct put_case {
    const char* mode;
    std::string wire;
    std::string disk;
  };
  const put_case puts[] = {
      {"FTPB", every, every},
      {"FTPA", "a\r\nb\rc\n", "a\r\nb\rc\r\n"},
      {"FTPA", "", ""},
  };
  for (const put_case& c : puts) {
    ASSERT_TRUE(p.command(c.mode).rfind("22", 0) == 0);
    ASSERT_TRUE(p.studio().send_line("PUTF put.bin"));
    studio::socket_fd data = studio::connect_data("127.0.0.1", port, kReplyMs);
    ASSERT_TRUE(studio::send_all(data.get(), c.wire));
    data.reset();
    EXPECT_EQ(p.read_line(), "231 (end of transfered) file received") << c.mode;
    EXPECT_TRUE(e2e::read_file(a.dir().file("put.bin")) == c.disk) << c.mode << " " << c.wire;
  }

  // GETF: what the file holds, and what the data connection carries. ASCII
  // mode reads a CR LF of the file as one line end and sends every line end
  // as CR LF; a Ctrl-Z byte does not end the file.
  struct get_case {
    const char* mode;
    std::string disk;
    std::string wire;
  };
  const get_case gets[] = {
      {"FTPB", every, every},
      {"FTPA",
       "a\r\nb\nc\x1a"
       "d\re",
       "a\r\nb\r\nc\x1a"
       "d\re"},  // Ctrl-Z is data, as in binary
  };
  for (const get_case& c : gets) {
    e2e::write_file(a.dir().file("get.bin"), c.disk);
    ASSERT_TRUE(p.command(c.mode).rfind("22", 0) == 0);
    ASSERT_TRUE(p.studio().send_line("GETF get.bin"));
    studio::socket_fd data = studio::connect_data("127.0.0.1", port, kReplyMs);
    std::string wire = studio::read_until_closed(data.get(), kReplyMs);
    EXPECT_EQ(p.read_line(), "230 (end of transfered) file sent") << c.mode;
    EXPECT_TRUE(wire == c.wire) << c.mode << " " << wire.size() << " bytes";
  }

  // Several mebibytes in binary through the client's file functions.
  e2e::temp_dir local;
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
  e2e::write_file(local.file("out"), big);
  ASSERT_TRUE(files.set_mode(studio::transfer_mode::binary));
  EXPECT_TRUE(files.put_file(local.file("out"), "big.bin").ok);
  EXPECT_TRUE(e2e::read_file(a.dir().file("big.bin")) == big);
  EXPECT_TRUE(files.get_file("big.bin", local.file("in")).ok);
  EXPECT_TRUE(e2e::read_file(local.file("in")) == big);

  // Only disk files and NUL: a console or a missing file would fail or block.
  struct device_case {
    std::string command;
    std::string reply;
  };
  const device_case devices[] = {
      {"GETF NUL", "230 (end of transfered) file sent"},
      {"PUTF NUL", "231 (end of transfered) file received"},
      {"GETF CON", "530 send file failed"},
      {"PUTF CON", "531 receive file failed"},
      {"GETF COM1", "530 send file failed"},
      {"GETF missing", "530 send file failed"},
      {"PUTF nodir\\x", "531 receive file failed"},
  };
  for (const device_case& c : devices) {
    ASSERT_TRUE(p.studio().send_line(c.command));
    studio::socket_fd data = studio::connect_data("127.0.0.1", port, kReplyMs);
    ::shutdown(data.get(), SHUT_WR);  // nothing to put
    EXPECT_EQ(studio::read_until_closed(data.get(), kReplyMs), "") << c.command;
    EXPECT_EQ(p.read_line(), c.reply) << c.command;
  }
}

TEST_F(WindowsAgent, ProgramsUseTheTraceConnectionAndTheirEndsComePromptly) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  // Without a trace connection a program's handles are NUL: its input ends
  // at once and its output goes nowhere.
  expect_replies(p, {{"EXEC", "461 EXEC wait a command as parameter"},
                     {"EXEC Z:\\no\\such\\program.exe", "561 EXEC process failed"},
                     {helper("line out lost exit 5"), "261 child process launched : %1"}});
  EXPECT_EQ(p.read_line(kExitMs), kEnded + "%1 => %1 (%5)");

  studio::trace_connection trace = studio::establish_trace(p.studio(), "127.0.0.1", kReplyMs);
  ASSERT_TRUE(trace.valid());
  ASSERT_EQ(p.command(helper("out ready line err oops exit 2")), "261 child process launched : %2");
  EXPECT_EQ(trace.read_until("ready\n", kExitMs), "ready\n");
  ASSERT_TRUE(trace.write("hello world\r\n"));
  EXPECT_EQ(trace.read_until("oops\n", kReplyMs), "got:hello world\noops\n");
  EXPECT_EQ(p.read_line(kPromptMs), kEnded + "%1 => %2 (%2)");

  // The command line reaches the program unchanged: Windows quoting.
  ASSERT_EQ(p.command(helper("args \"two words\" plain \"quote\\\"d\"")), "261 child process launched : %3");
  EXPECT_EQ(trace.read_until("\n", kExitMs), "<two words> <plain> <quote\"d>\n");
  EXPECT_EQ(p.read_line(kExitMs), kEnded + "%1 => %3 (%0)");

  // Exit codes come as Windows gives them, wider than a byte.
  for (const char* code : {"3", "300", "4294967295"}) {
    std::string launched = p.command(helper("out bye exit "s + code));
    ASSERT_EQ(launched.rfind("261 child process launched : %", 0), 0u) << launched;
    EXPECT_EQ(trace.read_until("bye\n", kExitMs), "bye\n");
    std::string n = std::to_string(studio::reply_number(launched));
    std::string expected = code == "4294967295"s ? "-1" : code;
    EXPECT_EQ(p.read_line(kPromptMs), kEnded + "%1 => %" + n + " (%" + expected + ")");
  }

  // A program reading to the end of its input sees the studio's end.
  ASSERT_EQ(p.command(helper("cat out done")), "261 child process launched : %7");
  ASSERT_TRUE(trace.write("a\nb"));
  ASSERT_TRUE(trace.close_input());
  EXPECT_EQ(trace.read_until("done\n", kExitMs), "a\nbdone\n");
  EXPECT_EQ(p.read_line(kPromptMs), kEnded + "%1 => %7 (%0)");
}

TEST_F(WindowsAgent, StatAndStopFollowAProgram) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  ASSERT_EQ(p.command(helper("wait go exit 3")), "261 child process launched : %1");
  ASSERT_EQ(p.command(helper("sleep 60000")), "261 child process launched : %2");
  expect_replies(p, {
                        {"STAT 1", "264 process is running : 1"},
                        {"STAT 02", "264 process is running : 02"},
                        {"STAT 3", "563 STAT failed"},
                        {"STAT x", "463 STAT need process number as parameter"},
                        {"STOP 3", "564 STOP process failed"},
                        {"STOP 2", "265 child process killed : %2 (%-1)"},
                    });
  EXPECT_EQ(p.read_line(kExitMs), kEnded + "%1 => %2 (%0)");
  e2e::write_file(a.dir().file("go"), "");
  EXPECT_EQ(p.read_line(kExitMs), kEnded + "%1 => %1 (%3)");
  expect_replies(p, {
                        {"STAT 1", "263 process has ended : %1 (%3)"},
                        {"STAT 2", "263 process has ended : %2 (%0)"},
                        {"STOP 1", "265 child process killed : %1 (%3)"},
                    });
}

TEST_F(WindowsAgent, StopAndTheEndOfTheConnectionKillTheWholeTree) {
  e2e::wine_agent& a = start();
  // STOP: the program, its child and its grandchild.
  {
    e2e::peer p = a.admitted();
    ASSERT_EQ(p.command(helper("tree 2 \"" + a.windows_dir() + "\\stopped\" sleep 60000")),
              "261 child process launched : %1");
    ASSERT_TRUE(lines_reach(a.dir().file("stopped"), 3));
    // Both witnesses see the three processes before the STOP.
    EXPECT_EQ(tree_processes(), 3u);
    EXPECT_EQ(still_alive(p, "stopped"), 3);
    EXPECT_EQ(p.command("STOP 1"), "265 child process killed : %1 (%-1)");
    EXPECT_EQ(p.read_line(kExitMs), kEnded + "%1 => %1 (%0)");
    EXPECT_EQ(still_alive(p, "stopped"), 0);
  }
  // The studio leaving (and QUIT): no line, and nothing of the tree is left.
  for (const bool quit : {false, true}) {
    const std::string file = quit ? "after-quit" : "after-close";
    {
      e2e::peer p = a.admitted();
      ASSERT_EQ(p.command(helper("tree 2 \"" + a.windows_dir() + "\\" + file + "\" sleep 60000")),
                "261 child process launched : %1");
      ASSERT_TRUE(lines_reach(a.dir().file(file), 3));
      if (quit) {
        EXPECT_EQ(p.command("QUIT"), "221 bye.");
      }
    }
    EXPECT_TRUE(eventually([&] { return tree_processes() == 0; }, kExitMs)) << file;
    e2e::peer check = a.admitted();
    EXPECT_EQ(still_alive(check, file), 0) << file;
  }
}

TEST_F(WindowsAgent, RendezvousWithKvsrdv) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  std::string port = std::to_string(studio::reply_number(p.command("PRDV")));
  ASSERT_EQ(p.command("GENV KVS_PORT_RDV"), "211 getenv result : KVS_PORT_RDV=" + port);
  struct rdv_case {
    std::string argument;  // on the command line
    std::string name;      // as the agent reports it
    std::string release;
    int status;
  };
  const rdv_case cases[] = {
      {"go", "go", "RVOK go", 0},
      {"\"two words\"", "two words", "RVKO two words", 1},
  };
  int number = 0;
  for (const rdv_case& c : cases) {
    std::string n = std::to_string(++number);
    ASSERT_EQ(p.command("EXEC \"" + build.exe("kvsrdv") + "\" " + c.argument), "261 child process launched : %" + n);
    EXPECT_EQ(p.read_line(kExitMs), "601 wait rendezvous : " + c.name);
    ASSERT_TRUE(p.studio().send_line(c.release));
    EXPECT_EQ(p.read_line(kExitMs), kEnded + "%1 => %" + n + " (%" + std::to_string(c.status) + ")");
  }
}

TEST_F(WindowsAgent, DynamicFollowWithKvsdynf) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  std::string reply = p.command("PDYN");
  ASSERT_EQ(reply.rfind("241 DYNF port : %", 0), 0u) << reply;
  ASSERT_EQ(p.command("GENV KVS_PORT_TSTAGT"),
            "211 getenv result : KVS_PORT_TSTAGT=" + std::to_string(studio::reply_number(reply)));
  struct dynf_case {
    std::string answer;
    int status;
  };
  int number = 0;
  for (const dynf_case& c : {dynf_case{"DFOK", 0}, dynf_case{"DFKO", 1}}) {
    std::string n = std::to_string(++number);
    // A pause after the boot message: the agent reads it alone even when the
    // machine is busy.
    ASSERT_EQ(p.command("EXEC \"" + build.exe("kvsdynf") + "\" --gap 1500 --boot \"BOOT " + c.answer +
                        "\" --wait --timeout 60 \"TSF_synchro 1\""),
              "261 child process launched : %" + n);
    std::string line = p.read_line(kExitMs);
    ASSERT_EQ(line.rfind(kBoot, 0), 0u) << line;
    std::string id = line.substr(kBoot.size(), line.find(' ', kBoot.size()) - kBoot.size());
    EXPECT_EQ(line, kBoot + id + " BOOT " + c.answer);
    EXPECT_EQ(p.read_line(kExitMs), "705 tsf synchro dynfollow : " + id + " TSF_synchro 1");
    ASSERT_TRUE(p.studio().send_line(c.answer + " " + id));
    // The tester's leaving and its end come in either order.
    std::vector<std::string> lines{p.read_line(kExitMs), p.read_line(kExitMs)};
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{kEnded + "%1 => %" + n + " (%" + std::to_string(c.status) + ")",
                                               "710 tester disconnected dynfollow : " + id + " "}));
  }
}

TEST_F(WindowsAgent, SigintStopsTheDaemonAndAConnection) {
  e2e::wine_agent& a = start();
  e2e::peer kept = a.admitted();
  const std::vector<pid_t> before = a.processes_named("kvsagtd");
  e2e::peer stopped = a.admitted();
  // Its connection process: the one that was not there before.
  pid_t target = -1;
  for (pid_t pid : a.processes_named("kvsagtd"))
    if (std::find(before.begin(), before.end(), pid) == before.end()) target = pid;
  ASSERT_GT(target, 0);
  ASSERT_EQ(stopped.command(helper("tree 1 \"" + a.windows_dir() + "\\signalled\" sleep 60000")),
            "261 child process launched : %1");
  ASSERT_TRUE(lines_reach(a.dir().file("signalled"), 2));
  ASSERT_EQ(tree_processes(), 2u);

  // The daemon: it ends, its port is free, open connections are served on.
  ASSERT_EQ(::kill(a.process().pid, SIGINT), 0);
  EXPECT_EQ(a.process().wait_exit(kExitMs), 0);
  EXPECT_FALSE(studio::connect_tcp("127.0.0.1", a.port(), 1000).valid());
  EXPECT_EQ(kept.command("HELO"), kHello);

  // A connection process: it ends as if its studio had left, programs and all.
  ASSERT_EQ(::kill(target, SIGINT), 0);
  EXPECT_TRUE(stopped.studio().wait_closed(kExitMs));
  EXPECT_TRUE(eventually([&] { return tree_processes() == 0; }, kExitMs));
  EXPECT_EQ(still_alive(kept, "signalled"), 0);
  EXPECT_EQ(kept.command("QUIT"), "221 bye.");
}

// Paths longer than the 260 characters of the system's classic calls. The
// agent keeps its current directory itself and gives the file calls whole
// paths, so that none of its commands stops at that length.
namespace {

// The name of level i of a deep tree: 60 characters.
std::string level(int i) { return "level" + std::to_string(i) + std::string(54, 'x'); }

// The first `levels` levels, each after a `sep`.
std::string long_tail(int levels, char sep) {
  std::string tail;
  for (int i = 0; i < levels; ++i) tail += sep + level(i);
  return tail;
}

constexpr int kLevels = 5;  // with the agent's folder, well past 300 characters

}  // namespace

TEST_F(WindowsAgent, LongCurrentDirectoryIsReported) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  const std::string root = a.windows_dir();
  std::string here = root;
  for (int i = 0; i < kLevels; ++i) {
    const std::string name = level(i);
    ASSERT_EQ(p.command("MKD " + name), "252 directory created") << here.size();
    ASSERT_EQ(p.command("CWD " + name), "251 directory changed") << here.size();
    here += "\\" + name;
    EXPECT_EQ(p.command("PWD"), kPwd + here) << here.size();
  }
  ASSERT_GT(here.size(), 300u);
  expect_replies(p, {
                        {"CWD ..", "251 directory changed"},
                        {"PWD", kPwd + root + long_tail(kLevels - 1, '\\')},
                        {"CWD nowhere", "551 CWD failed"},
                        {"PWD", kPwd + root + long_tail(kLevels - 1, '\\')},
                        {"CWD " + root, "251 directory changed"},
                        {"PWD", kPwd + root},
                    });
}

TEST_F(WindowsAgent, CwdTakesALongAbsolutePath) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  const std::string root = a.windows_dir();
  ASSERT_TRUE(fs::create_directories(a.dir().path() + long_tail(kLevels, '/')));
  const std::string deep = root + long_tail(kLevels, '\\');
  const std::string last = level(kLevels - 1);
  e2e::write_file(a.dir().file("plain"), "x");
  expect_replies(p, {
                        {"CWD " + deep, "251 directory changed"},
                        {"PWD", kPwd + deep},
                        {"CWD " + root, "251 directory changed"},
                        // Slashes, "." and ".." are resolved before the path is used.
                        {"CWD " + root + long_tail(kLevels, '/') + "/./../" + last, "251 directory changed"},
                        {"PWD", kPwd + deep},
                        {"CWD ..\\..", "251 directory changed"},
                        {"PWD", kPwd + root + long_tail(kLevels - 2, '\\')},
                        {"CWD " + deep + "\\missing", "551 CWD failed"},
                        {"CWD " + root + "\\plain", "551 CWD failed"},  // a file is no directory
                        {"PWD", kPwd + root + long_tail(kLevels - 2, '\\')},
                    });
}

TEST_F(WindowsAgent, FilesAndDirectoriesPastTheLimit) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  studio::file_transfer files(p.studio(), "127.0.0.1", kReplyMs);
  const int port = files.data_port();
  ASSERT_GT(port, 0);
  const std::string root = a.windows_dir();
  const std::string deep = root + long_tail(kLevels, '\\');
  const std::string linux_deep = a.dir().path() + long_tail(kLevels, '/');
  // MKD of each level by its absolute path, then the last one relative to
  // its parent.
  for (int i = 1; i < kLevels; ++i)
    ASSERT_EQ(p.command("MKD " + root + long_tail(i, '\\')), "252 directory created") << i;
  ASSERT_EQ(p.command("CWD " + root + long_tail(kLevels - 1, '\\')), "251 directory changed");
  ASSERT_EQ(p.command("MKD " + level(kLevels - 1)), "252 directory created");
  ASSERT_TRUE(fs::is_directory(linux_deep));

  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  // The same file by a relative and by an absolute name.
  struct named {
    std::string put;
    std::string get;
  };
  const named names[] = {
      {level(kLevels - 1) + "\\f.bin", deep + "\\f.bin"},
      {deep + "\\g.bin", level(kLevels - 1) + "/./g.bin"},
  };
  for (const named& n : names) {
    ASSERT_TRUE(p.studio().send_line("PUTF " + n.put));
    studio::socket_fd up = studio::connect_data("127.0.0.1", port, kReplyMs);
    ASSERT_TRUE(studio::send_all(up.get(), bytes));
    up.reset();
    EXPECT_EQ(p.read_line(), "231 (end of transfered) file received") << n.put;
    ASSERT_TRUE(p.studio().send_line("GETF " + n.get));
    studio::socket_fd down = studio::connect_data("127.0.0.1", port, kReplyMs);
    EXPECT_TRUE(studio::read_until_closed(down.get(), kReplyMs) == bytes) << n.get;
    EXPECT_EQ(p.read_line(), "230 (end of transfered) file sent") << n.get;
  }
  EXPECT_TRUE(e2e::read_file(linux_deep + "/f.bin") == bytes);
  EXPECT_TRUE(e2e::read_file(linux_deep + "/g.bin") == bytes);

  expect_replies(p, {
                        {"RMD " + deep, "554 RMD failed"},  // not empty
                        {"DELF " + deep + "\\f.bin", "232 file deleted"},
                        {"DELF " + level(kLevels - 1) + "\\g.bin", "232 file deleted"},
                        {"DELF " + deep + "\\g.bin", "532 delete file failed"},
                        {"RMD " + level(kLevels - 1), "254 directory removed"},
                        {"CWD " + root, "251 directory changed"},
                    });
  for (int i = kLevels - 1; i >= 1; --i)
    EXPECT_EQ(p.command("RMD " + root + long_tail(i, '\\')), "254 directory removed") << i;
  EXPECT_FALSE(fs::exists(a.dir().path() + long_tail(1, '/')));
}

// A program cannot start in a directory too long for a process's current
// directory: EXEC fails there, as it does for a missing program, rather than
// start it somewhere else.
TEST_F(WindowsAgent, ProgramsStartOnlyInADirectoryTheyCanHave) {
  e2e::wine_agent& a = start();
  e2e::peer p = a.admitted();
  const std::string root = a.windows_dir();
  ASSERT_TRUE(fs::create_directories(a.dir().path() + long_tail(kLevels, '/')));
  studio::trace_connection trace = studio::establish_trace(p.studio(), "127.0.0.1", kReplyMs);
  ASSERT_TRUE(trace.valid());
  const std::string fits = root + long_tail(1, '\\');
  ASSERT_EQ(p.command("CWD " + fits), "251 directory changed");
  ASSERT_EQ(p.command(helper("cwd")), "261 child process launched : %1");
  EXPECT_EQ(trace.read_until("\n", kExitMs), fits + "\n");
  EXPECT_EQ(p.read_line(kExitMs), kEnded + "%1 => %1 (%0)");
  expect_replies(p, {
                        {"CWD " + root + long_tail(kLevels, '\\'), "251 directory changed"},
                        {helper("cwd"), "561 EXEC process failed"},
                        {"CWD ..\\..\\..\\..", "251 directory changed"},
                    });
  ASSERT_EQ(p.command(helper("cwd")), "261 child process launched : %2");
  EXPECT_EQ(trace.read_until("\n", kExitMs), fits + "\n");
  EXPECT_EQ(p.read_line(kExitMs), kEnded + "%1 => %2 (%0)");
}
