// kvsctl: command line, agent address, EXEC quoting and process reports.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/cmdagt.h"
#include "client/kvsctl.h"
#include "client/studio.h"
#include "client/tool_args.h"
#include "platform/spawn.h"

namespace {

using kvsctl::command;
using kvsctl::parse_arguments;
using kvsctl::parse_result;

parse_result parse(std::vector<std::string> args) { return parse_arguments(args); }

TEST(KvsctlTarget, HostPortForms) {
  struct row {
    const char* text;
    const char* host;
    int port;
  };
  const row good[] = {
      {"buildhost", "buildhost", 7011},   {"buildhost:7100", "buildhost", 7100}, {"127.0.0.1:1", "127.0.0.1", 1},
      {"[::1]:65535", "::1", 65535},      {"[::1]", "::1", 7011},                {"::1", "::1", 7011},
      {"fe80::1%lo", "fe80::1%lo", 7011}, {"[fe80::1%lo]:9", "fe80::1%lo", 9},
  };
  for (const row& r : good) {
    std::string host;
    int port = 0;
    ASSERT_TRUE(kvsctl::parse_target(r.text, host, port)) << r.text;
    EXPECT_EQ(host, r.host) << r.text;
    EXPECT_EQ(port, r.port) << r.text;
  }
  for (const char* bad : {"", ":7011", "host:", "host:0", "host:65536", "host:99999999999", "host:7a", "host:-1",
                          "[::1", "[::1]7011", "[::1]:", "[]:7011"}) {
    std::string host = "unchanged";
    int port = 0;
    std::string error;
    EXPECT_FALSE(kvsctl::parse_target(bad, host, port, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_EQ(host, "unchanged") << bad;
  }
  EXPECT_EQ(kvsctl::format_target("::1", 7011), "[::1]:7011");
  EXPECT_EQ(kvsctl::format_target("localhost", 7011), "localhost:7011");
}

TEST(KvsctlArguments, RunTakesOptionsThenTheProgramVerbatim) {
  parse_result r = parse({"-u", "bob", "-t", "2.5", "host:9", "run", "-C", "dir x", "-eA=1", "--env", "B==2",
                          "-e", "C=", "--", "ls", "-l", "--", "-e", "X=1"});
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  const kvsctl::options& o = r.opts;
  EXPECT_EQ(o.user, "bob");
  EXPECT_EQ(o.timeout_ms, 2500);
  EXPECT_EQ(o.host, "host");
  EXPECT_EQ(o.port, 9);
  EXPECT_EQ(o.cmd, command::run);
  EXPECT_EQ(o.directory, "dir x");
  ASSERT_EQ(o.environment.size(), 3u);
  EXPECT_EQ(o.environment[0], std::make_pair(std::string("A"), std::string("1")));
  EXPECT_EQ(o.environment[1], std::make_pair(std::string("B"), std::string("=2")));
  EXPECT_EQ(o.environment[2], std::make_pair(std::string("C"), std::string("")));
  EXPECT_EQ(o.program, (std::vector<std::string>{"ls", "-l", "--", "-e", "X=1"}));

  // Without "--" the first word that is no option starts the program.
  r = parse({"host", "run", "-n", "--rendezvous=ok", "--dynfollow", "ko", "sh", "-c", "exit 3"});
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  EXPECT_TRUE(r.opts.no_input);
  EXPECT_EQ(r.opts.rendezvous, kvsctl::auto_answer::ok);
  EXPECT_EQ(r.opts.dynfollow, kvsctl::auto_answer::ko);
  EXPECT_EQ(r.opts.program, (std::vector<std::string>{"sh", "-c", "exit 3"}));
  EXPECT_EQ(r.opts.port, kvsctl::kDefaultPort);
  EXPECT_EQ(r.opts.timeout_ms, kvsctl::kDefaultTimeoutMs);
}

TEST(KvsctlArguments, TransfersAndRendezvous) {
  parse_result r = parse({"h", "put", "--ascii", "local.txt", "remote.txt"});
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  EXPECT_TRUE(r.opts.ascii);
  EXPECT_EQ(r.opts.local, "local.txt");
  EXPECT_EQ(r.opts.remote, "remote.txt");
  r = parse({"h", "get", "remote", "--", "-"});
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  EXPECT_FALSE(r.opts.ascii);
  EXPECT_EQ(r.opts.local, "-");
  EXPECT_EQ(r.opts.remote, "remote");
  r = parse({"h", "release", ""});  // the empty name is a rendezvous name too
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  EXPECT_EQ(r.opts.cmd, command::release);
  EXPECT_EQ(r.opts.name, "");
  r = parse({"h", "refuse", "a b "});
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  EXPECT_EQ(r.opts.name, "a b ");
  r = parse({"h", "follow", "--dynfollow=ok"});
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  EXPECT_EQ(r.opts.dynfollow, kvsctl::auto_answer::ok);
}

TEST(KvsctlArguments, BadCommandLinesAreRefusedWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"h"},
      {"h", "frobnicate"},
      {"-x", "h", "shell"},
      {"-u"},
      {"-t", "0", "h", "shell"},
      {"-t", "soon", "h", "shell"},
      {"h:0", "shell"},
      {"h", "run"},
      {"h", "run", "--"},
      {"h", "run", "-e", "NOEQUAL", "x"},
      {"h", "run", "-e", "=v", "x"},
      {"h", "run", "-e", "A=line\r\nend", "x"},
      {"h", "run", "-C"},
      {"h", "run", "--rendezvous", "maybe", "x"},
      {"h", "run", "-z", "x"},
      {"h", "run", "--", ""},
      {"h", "put", "only-one"},
      {"h", "put", "a", "b", "c"},
      {"h", "get", "a\r\nQUIT", "b"},
      {"h", "put", "a", ""},
      {"h", "release"},
      {"h", "release", "a", "b"},
      {"h", "shell", "extra"},
      {"-u", "a\r\nb", "h", "shell"},
  };
  for (const auto& args : bad) {
    parse_result r = parse(args);
    std::string joined;
    for (const std::string& a : args) joined += "[" + a + "]";
    EXPECT_EQ(r.what, parse_result::kind::error) << joined;
    EXPECT_FALSE(r.text.empty()) << joined;
  }
}

TEST(KvsctlArguments, HelpOnEveryFormAndVersion) {
  EXPECT_EQ(parse({"--help"}).what, parse_result::kind::help);
  EXPECT_EQ(parse({"-u", "x", "-h"}).text, kvsctl::usage(command::none));
  EXPECT_EQ(parse({"h", "run", "--help"}).text, kvsctl::usage(command::run));
  EXPECT_EQ(parse({"run", "--help"}).text, kvsctl::usage(command::run));
  EXPECT_EQ(parse({"h", "put", "a", "--help"}).text, kvsctl::usage(command::put));
  EXPECT_EQ(parse({"h", "get", "-h"}).text, kvsctl::usage(command::get));
  EXPECT_EQ(parse({"h", "shell", "--help"}).text, kvsctl::usage(command::shell));
  EXPECT_EQ(parse({"h", "follow", "--help"}).text, kvsctl::usage(command::follow));
  EXPECT_EQ(parse({"refuse", "-h"}).text, kvsctl::usage(command::refuse));
  // After "--" a --help belongs to the program.
  parse_result r = parse({"h", "run", "--", "tool", "--help"});
  ASSERT_EQ(r.what, parse_result::kind::ok);
  EXPECT_EQ(r.opts.program, (std::vector<std::string>{"tool", "--help"}));
  r = parse({"--version"});
  EXPECT_EQ(r.what, parse_result::kind::version);
  EXPECT_NE(r.text.find(kvsctl::kVersion), std::string::npos);
}

// The words come back from the agent's own expansion and word splitting
// exactly as they were given, whatever the agent's environment holds.
TEST(KvsctlQuoting, WordsSurviveTheAgentsExpansionAndSplitting) {
  ::setenv("HOME", "/home/agent", 1);
  ::setenv("X", "expanded", 1);
  ::setenv("A B", "braced", 1);
  const std::vector<std::string> words = {
      "plain",  "",        " ",        "a b",       "tab\there", "'",         "''",        "it's",
      "\"",     "\\",      "back\\",   "\\'",       "$HOME",     "${HOME}",   "$",         "$$",
      "a$",     "${",      "}",        "${A B}",    "$X$X",      "\\$HOME",   "'$HOME'",   "\"$X\"",
      "$'X'",   "new\nline", "cr\r\nlf", "\r",      "\r\n",      "\\\n",      "end\\",     "*?[]~#&|;<>()",
      "%d %s",  "-n",      "=",        "\xc3\xbcml", "a\"b'c\\d$e{f}g",
  };
  std::string line = kvsctl::quote_command(words);
  EXPECT_EQ(line.find("\r\n"), std::string::npos) << "a CR LF would end the command line";
  kvwstr expanded = CMDexpand(nullptr, line.c_str(), '$');
  std::vector<std::string> split;
  ASSERT_EQ(PLATsplit_words(expanded.view(), split), 0) << line;
  EXPECT_EQ(split, words);
  // Each word alone too, as the program name.
  for (const std::string& word : words) {
    std::vector<std::string> one;
    kvwstr x = CMDexpand(nullptr, kvsctl::quote_word(word).c_str(), '$');
    ASSERT_EQ(PLATsplit_words(x.view(), one), 0) << word;
    ASSERT_EQ(one.size(), 1u) << word;
    EXPECT_EQ(one[0], word);
  }
  ::unsetenv("X");
  ::unsetenv("A B");
  EXPECT_EQ(kvsctl::quote_word("ls"), "ls");
  EXPECT_EQ(kvsctl::quote_word("/usr/bin/env"), "/usr/bin/env");
}

TEST(KvsctlReports, TheExitCodeOfOurProcessIsFoundAmongThePairs) {
  using kvsctl::stopped_exit_code;
  EXPECT_EQ(stopped_exit_code("661 process stopped : %1 => %1 (%0)", 1), 0);
  EXPECT_EQ(stopped_exit_code("661 process stopped : %1 => %1 (%143)", 1), 143);
  EXPECT_EQ(stopped_exit_code("661 process stopped : %2 => %5 (%3), %2 (%0)", 5), 3);
  EXPECT_EQ(stopped_exit_code("661 process stopped : %2 => %5 (%3), %2 (%0)", 2), 0);
  EXPECT_EQ(stopped_exit_code("661 process stopped : %1 => %7 (%-1)", 7), -1);
  EXPECT_EQ(stopped_exit_code("661 process stopped : %1 => %12 (%4)", 1), std::nullopt);
  EXPECT_EQ(stopped_exit_code("661 process stopped : %2 => %5 (%3), %2 (%0)", 1), std::nullopt);
  EXPECT_EQ(stopped_exit_code("263 process has ended : %1 (%0)", 1), std::nullopt);
  EXPECT_EQ(stopped_exit_code("661 process stopped : %1 => %1 (%", 1), std::nullopt);
  EXPECT_EQ(stopped_exit_code("661 process stopped : %1 => 1 (0)", 1), std::nullopt);
  EXPECT_EQ(stopped_exit_code("661 process stopped : ", 1), std::nullopt);

  EXPECT_EQ(kvsctl::exit_status_for(0), 0);
  EXPECT_EQ(kvsctl::exit_status_for(255), 255);
  // What a status cannot hold never becomes a success.
  EXPECT_EQ(kvsctl::exit_status_for(256), 255);
  EXPECT_EQ(kvsctl::exit_status_for(-1), 255);
}

TEST(KvsctlReports, NotificationsAreToldFromReplies) {
  for (const char* line : {"661 process stopped : %1 => %1 (%0)", "601 wait rendezvous : a", "603 error on rendezvous : ",
                           "700 boot dynfollow : 9 BOOT", "722 timeout request : 9 TIMEOUTRQST",
                           "800 tester asks for studio availability : 9 x", "580 INTERNAL ERROR : RDV accept failed!",
                           "592 INTERNAL ERROR : DYNF line recv failed!"})
    EXPECT_TRUE(studio::is_notification(line)) << line;
  for (const char* line : {"210 hello, please to meet you.", "221 bye.", "261 child process launched : %1",
                           "500 command unknown : x", "561 EXEC process failed", "6011", "66", "", "6x1 a"})
    EXPECT_FALSE(studio::is_notification(line)) << line;
}

// The three tools read their command lines alike: --opt=value and --opt value,
// --help and --version everywhere, options and operands told apart the same way.
TEST(ToolArguments, TheThreeToolsParseAlike) {
  using kind = cli::parsed::kind;
  struct row {
    const char* tool;
    std::vector<std::string> args;
    kind what;
    const char* check;  // ok: what the options give, written "field=value"; else a part of the text
  };
  const row rows[] = {
      {"kvsrdv", {"gate"}, kind::ok, "name=gate"},
      {"kvsrdv", {"--", "--help"}, kind::ok, "name=--help"},
      {"kvsrdv", {"--help"}, kind::help, "usage: kvsrdv"},
      {"kvsrdv", {"-h"}, kind::help, "usage: kvsrdv"},
      {"kvsrdv", {"--version"}, kind::version, "kvsrdv 8.0.1"},
      {"kvsrdv", {}, kind::error, "one rendezvous NAME"},
      {"kvsrdv", {"a", "b"}, kind::error, "one rendezvous NAME"},
      {"kvsrdv", {"--wait", "a"}, kind::error, "unknown option --wait"},
      {"kvsdynf", {"--timeout=5", "line"}, kind::ok, "timeout=5000"},
      {"kvsdynf", {"--timeout", "5", "line"}, kind::ok, "timeout=5000"},
      {"kvsdynf", {"End_of", "--port=9", "--wait"}, kind::ok, "port=9"},
      {"kvsdynf", {"--", "--not-an-option"}, kind::ok, "line=--not-an-option"},
      {"kvsdynf", {"--version"}, kind::version, "kvsdynf 8.0.1"},
      {"kvsdynf", {"--help"}, kind::help, "usage: kvsdynf"},
      {"kvsdynf", {"--gap"}, kind::error, "--gap needs a value"},
      {"kvsdynf", {"--port=0"}, kind::error, "bad port"},
      {"kvsdynf", {"--wait=yes"}, kind::error, "--wait takes no value"},
      {"kvsdynf", {"--bogus"}, kind::error, "unknown option --bogus"},
      {"kvsctl", {"--timeout=5", "h", "shell"}, kind::ok, "timeout=5000"},
      {"kvsctl", {"--timeout", "5", "h", "shell"}, kind::ok, "timeout=5000"},
      {"kvsctl", {"-t5", "h", "shell"}, kind::ok, "timeout=5000"},
      {"kvsctl", {"--greeting-timeout=90", "h", "shell"}, kind::ok, "greeting=90000"},
      {"kvsctl", {"--version"}, kind::version, "kvsctl 8.0.1"},
      {"kvsctl", {"h", "do", "--help"}, kind::help, "do [-k] STEP"},
      {"kvsctl", {"--timeout"}, kind::error, "--timeout needs a value"},
      {"kvsctl", {"--json=1", "h", "shell"}, kind::error, "--json takes no value"},
      {"kvsctl", {"-P", "0", "-H", "a", "run", "true"}, kind::error, "-P needs"},
      {"kvsctl", {"-H", "a,b", "shell"}, kind::error, "not with -H"},
  };
  for (const row& r : rows) {
    std::string tool = r.tool;
    std::string joined = tool;
    for (const std::string& a : r.args) joined += " [" + a + "]";
    kind what;
    std::string text;
    std::string fields;
    if (tool == "kvsrdv") {
      auto got = tools::parse_kvsrdv(r.args);
      what = got.what;
      text = got.text;
      fields = "name=" + got.opts.name;
    } else if (tool == "kvsdynf") {
      auto got = tools::parse_kvsdynf(r.args, "BOOT x");
      what = got.what;
      text = got.text;
      fields = "timeout=" + std::to_string(got.opts.timeout_ms) + " port=" + std::to_string(got.opts.port);
      for (const std::string& line : got.opts.lines) fields += " line=" + line;
    } else {
      parse_result got = parse(r.args);
      what = static_cast<kind>(got.what);
      text = got.text;
      fields = "timeout=" + std::to_string(got.opts.timeout_ms) + " greeting=" + std::to_string(got.opts.greeting_ms);
    }
    EXPECT_EQ(what, r.what) << joined << ": " << text;
    EXPECT_NE((r.what == kind::ok ? fields : text).find(r.check), std::string::npos) << joined << ": " << text << fields;
  }
}

TEST(KvsctlArguments, StepScriptsFanOutAndJson) {
  parse_result r = parse({"-H", "a,b:9", "-H", "@list", "-P", "4", "--json-output", "do", "-k", "put", "-r", "tree",
                          "work", "---", "cd", "work", "---", "env", "A=1", "B=", "---", "run", "-C", "x", "make",
                          "-k", "---", "get", "--ascii", "out.txt", "-"});
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  const kvsctl::options& o = r.opts;
  EXPECT_EQ(o.hosts, (std::vector<std::string>{"a,b:9", "@list"}));
  EXPECT_EQ(o.parallel, 4);
  EXPECT_TRUE(o.json && o.json_output && o.keep_going);
  EXPECT_EQ(o.cmd, command::steps);
  ASSERT_EQ(o.steps.size(), 5u);
  EXPECT_TRUE(o.steps[0].kind == kvsctl::step_kind::put && o.steps[0].recursive);
  EXPECT_EQ(o.steps[0].local, "tree");
  EXPECT_EQ(o.steps[1].directory, "work");
  EXPECT_EQ(o.steps[2].environment.size(), 2u);
  EXPECT_EQ(o.steps[3].program, (std::vector<std::string>{"make", "-k"}));  // the program's own -k
  EXPECT_TRUE(o.steps[4].ascii);
  EXPECT_EQ(o.steps[4].local, "-");
  // run, put and get are scripts of one step.
  r = parse({"h", "put", "-r", "d", "e"});
  ASSERT_EQ(r.what, parse_result::kind::ok) << r.text;
  ASSERT_EQ(r.opts.steps.size(), 1u);
  EXPECT_TRUE(r.opts.steps[0].recursive);

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"h", "do"},
           {"h", "do", "run", "true", "---"},
           {"h", "do", "ls"},
           {"h", "do", "cd"},
           {"h", "do", "env", "NOEQUAL"},
           {"h", "do", "-f", "s", "run", "true"},
           {"h", "get", "-r", "a", "b"},
           {"h", "put", "-r", "-", "b"},
           {"-g", "h", "run", "true"},
       }) {
    std::string joined;
    for (const std::string& a : bad) joined += "[" + a + "]";
    EXPECT_EQ(parse(bad).what, parse_result::kind::error) << joined;
  }
}

TEST(KvsctlScripts, LinesSplitAsAShellDoes) {
  std::vector<kvsctl::step_spec> steps;
  std::string error;
  ASSERT_TRUE(kvsctl::parse_script("# setup\n\n  env GREETING='hello world' PATH=\"/x:$PATH\"\n"
                                   "run -- sh -c \"echo \\\"\\$GREETING\\\"\" a\\ b ''\n"
                                   "get result.txt out\\\\dir\n",
                                   steps, error))
      << error;
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].environment[0].second, "hello world");
  EXPECT_EQ(steps[0].environment[1].second, "/x:$PATH");
  EXPECT_EQ(steps[1].program, (std::vector<std::string>{"sh", "-c", "echo \"$GREETING\"", "a b", ""}));
  EXPECT_EQ(steps[2].local, "out\\dir");
  for (const char* bad : {"run 'open", "frobnicate x", "# nothing\n", "run true\ncd\n"}) {
    std::vector<kvsctl::step_spec> none;
    EXPECT_FALSE(kvsctl::parse_script(bad, none, error)) << bad;
  }
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  EXPECT_EQ(kvsctl::split_hosts(" a , b:9\n# c\n[::1]:7,, d # e\n"),
            (std::vector<std::string>{"a", "b:9", "[::1]:7", "d"}));
}

TEST(KvsctlJson, StringsAndOutputEncodings) {
  struct row {
    std::string text;
    const char* json;
    bool utf8;
  };
  const row rows[] = {
      {"plain", "\"plain\"", true},
      {"q\"b\\s/", "\"q\\\"b\\\\s/\"", true},
      {"\n\r\t\x01\x7f", "\"\\n\\r\\t\\u0001\\u007f\"", true},
      {"\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80\"", true},
      {"a\xff" "b", "\"a\xef\xbf\xbd" "b\"", false},
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\"", false},  // overlong
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"", false},  // surrogate
      {std::string("nul\0", 4), "\"nul\\u0000\"", true},
      {"csi\xc2\x9b" "2J\xc2\x80\xc2\xa0", "\"csi\\u009b2J\\u0080\xc2\xa0\"", true},  // C1 escaped, U+00A0 kept
  };
  for (const row& r : rows) {
    EXPECT_EQ(kvsctl::json_string(r.text), r.json) << r.text;
    EXPECT_EQ(kvsctl::is_utf8(r.text), r.utf8) << r.text;
  }
  EXPECT_EQ(kvsctl::base64(""), "");
  EXPECT_EQ(kvsctl::base64("f"), "Zg==");
  EXPECT_EQ(kvsctl::base64("fo"), "Zm8=");
  EXPECT_EQ(kvsctl::base64("foo\xff"), "Zm9v/w==");
}

TEST(StudioVisible, PeerTextCannotDriveTheTerminalOrForgeEscapes) {
  struct row {
    std::string peer;
    const char* shown;
  };
  const row rows[] = {
      {"533 user is not allowed to connect", "533 user is not allowed to connect"},
      {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
      {"a\rkvsctl: all good\n", "a\\rkvsctl: all good\\n"},
      {"tab\there", "tab\\there"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"back\\x1b", "back\\\\x1b"},  // a backslash in the text cannot pass for an escape
      {"c1 \x9b byte", "c1 \\x9b byte"},
      {"c1 \xc2\x9b in utf-8", "c1 \\xc2\\x9b in utf-8"},
      {"\xc2\x80\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9f\xc2\xa0"},  // U+00A0 is printable
      {"\xc3\xbcml \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xbcml \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"bad \xff\xfe", "bad \\xff\\xfe"},
      {"\xc0\xaf", "\\xc0\\xaf"},                      // overlong '/'
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},               // surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},     // beyond U+10FFFF
      {"cut \xe2\x82", "cut \\xe2\\x82"},                // sequence cut short at the end
      {"\xe2(\xa1", "\\xe2(\\xa1"},                      // lead byte without its continuation
  };
  for (const row& r : rows) {
    std::string shown = studio::visible(r.peer);
    EXPECT_EQ(shown, r.shown) << r.peer;
    for (char c : shown) {
      auto u = static_cast<unsigned char>(c);
      EXPECT_FALSE(u < 0x20 || u == 0x7f) << r.peer;
    }
    EXPECT_TRUE(kvsctl::is_utf8(shown)) << r.peer;
  }
}

TEST(StudioReplies, NumbersOutOfRangeAreNoNumbers) {
  struct row {
    const char* reply;
    int number;
  };
  const row rows[] = {
      {"226 FTP port : %4242", 4242},      {"261 child process launched : %1", 1},
      {"222 TRACE port : %99999999999", -1}, {"222 TRACE port : %2147483648", -1},
      {"222 TRACE port : %2147483647", 2147483647}, {"223 x : %-5", -1},
      {"263 x : %", -1},                   {"no percent", -1},
  };
  for (const row& r : rows) EXPECT_EQ(studio::reply_number(r.reply), r.number) << r.reply;
}

TEST(StudioConnection, LinesAreBoundedAndNotificationsCannotPostponeAReply) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  studio::connection conn{studio::socket_fd(pair[0])};
  studio::socket_fd agent(pair[1]);
  auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(5); };

  // Notifications before a reply are kept, at most the bound, oldest dropped.
  std::thread writer([&] {
    std::string burst;
    for (std::size_t i = 0; i < studio::kMaxKeptLines + 10; ++i) burst += "701 line dynfollow : 1 n" + std::to_string(i) + "\r\n";
    burst += "212 setenv succeeded\r\n";
    studio::send_all(agent.get(), burst);
  });
  std::optional<std::string> reply = conn.read_reply_by(soon());
  writer.join();
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, "212 setenv succeeded");
  EXPECT_EQ(conn.kept().size(), studio::kMaxKeptLines);
  EXPECT_EQ(conn.dropped(), 10u);
  EXPECT_EQ(conn.kept().front(), "701 line dynfollow : 1 n10");
  conn.kept().clear();

  // Notifications alone do not extend the wait past its deadline.
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    while (!stop && studio::send_all(agent.get(), "601 wait rendezvous : x\r\n")) {
    }
  });
  auto start = std::chrono::steady_clock::now();
  reply = conn.read_reply_by(start + std::chrono::milliseconds(300));
  auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  EXPECT_FALSE(reply);
  EXPECT_LT(took, std::chrono::seconds(30));
  EXPECT_LE(conn.kept().size(), studio::kMaxKeptLines);
  // The flood's writes fail once this side is closed.
  conn.close();
  flood.join();
}

TEST(StudioConnection, ALineLongerThanTheBoundEndsReading) {
  struct row {
    std::size_t length;
    bool taken;
  };
  const row rows[] = {{studio::kMaxLine, true}, {studio::kMaxLine + 1, false}, {8 * studio::kMaxLine, false}};
  for (const row& r : rows) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    studio::connection conn{studio::socket_fd(pair[0])};
    studio::socket_fd agent(pair[1]);
    std::thread writer([&] {
      std::string line(r.length, 'x');
      line += "\r\n210 after\r\n";
      studio::send_all(agent.get(), line);
    });
    std::optional<std::string> line = conn.read_line(5000);
    if (r.taken) {
      ASSERT_TRUE(line) << r.length;
      EXPECT_EQ(line->size(), r.length);
      EXPECT_EQ(conn.read_line(5000), "210 after");
    } else {
      EXPECT_FALSE(line) << r.length;
      EXPECT_TRUE(conn.overlong()) << r.length;
      EXPECT_FALSE(conn.read_line(0)) << r.length;
    }
    conn.close();
    writer.join();
  }
}

TEST(KvsctlProgress, LinesFitTheWidthAndKeepWhatMattersMost) {
  const std::string name = "a-rather-long-file-name-\xc3\xbc-that-will-not-fit-on-a-narrow-terminal.bin";
  auto columns = [](const std::string& text) {
    std::size_t n = 0;
    for (char c : text) n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return n;
  };
  for (int width : {10, 40, 80, 200}) {
    for (const std::string& line : {kvsctl::progress_text(width, name, 3 << 20, 12 << 20, 2.0),
                                    kvsctl::progress_text(width, name, 3 << 20, -1, 2.0),
                                    kvsctl::progress_summary(width, name, 12 << 20, 8.0, 3)}) {
      EXPECT_LE(columns(line), static_cast<std::size_t>(width - 1)) << width << ": " << line;
      EXPECT_TRUE(kvsctl::is_utf8(line)) << line;  // never cut inside a character
    }
  }
  std::string narrow = kvsctl::progress_text(40, name, 3 << 20, 12 << 20, 2.0);
  EXPECT_NE(narrow.find(" 25%"), std::string::npos) << narrow;
  EXPECT_NE(narrow.find("1.5 MiB/s"), std::string::npos) << narrow;
  EXPECT_NE(narrow.find("..."), std::string::npos) << narrow;
  std::string wide = kvsctl::progress_text(200, name, 3 << 20, 12 << 20, 2.0);
  EXPECT_NE(wide.find(name), std::string::npos) << wide;
  EXPECT_NE(wide.find("0:06 left"), std::string::npos) << wide;
  EXPECT_NE(wide.find("[##########"), std::string::npos) << wide;
  std::string got = kvsctl::progress_text(80, name, 3 << 20, -1, 2.0);  // no size known: no percentage
  EXPECT_EQ(got.find('%'), std::string::npos) << got;
  EXPECT_NE(got.find("3.0 MiB  1.5 MiB/s"), std::string::npos) << got;
  EXPECT_NE(kvsctl::progress_summary(200, name, 12 << 20, 8.0, 3).find(": 3 files, 12.0 MiB in 8.00 s (1.5 MiB/s)"),
            std::string::npos);
}

}  // namespace
