// Access control end to end: authorization files against users and peers,
// with the log lines the agent writes on its standard output.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

using e2e::kReplyMs;
using e2e::session;

namespace {

struct attempt {
  const char* file;  // content of kvsagtd.ini
  const char* peer;  // peer name the connection process is given
  const char* user;
  bool admitted;
};

// Identifies once on a fresh connection; returns whether the user was admitted.
bool identify(const std::string& file, const std::string& peer, const std::string& user, std::string* log = nullptr) {
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"), file);
  e2e::agent_options options;
  options.env["KVS_DIR"] = dir.path();
  options.peer_name = peer;
  session s(options);
  EXPECT_EQ(s.read_line(), "210 hello, please to meet you.");
  std::string reply = s.identify(user);
  if (reply == "533 user is not allowed to connect") {
    EXPECT_TRUE(s.studio().wait_closed(kReplyMs));
  }
  s.studio().close();
  s.process().wait_exit(kReplyMs);
  if (log != nullptr) *log = s.process().out();
  return reply == "310 access authorized.";
}

}  // namespace

TEST(Access, RulesDecideAsTheFileSays) {
  const attempt cases[] = {
      {"+ +\n", "farhost", "anyone", true},
      {"+ +\n", "farhost", "", true},
      {"+ -\n", "farhost", "anyone", false},
      {"+ -bob\n+ +\n", "farhost", "bob", false},
      {"+ -bob\n+ +\n", "farhost", "alice", true},
      {"+ +\n+ -\n", "farhost", "alice", false},
      {"+ +bob\n+ -bob\n", "farhost", "bob", true},
      {"+ Bob\n", "farhost", "bob", false},
      {"+ bob\n", "farhost", "bob ", false},
      {"# only comments\n\n   # indented comment\n+ carol # trailing comment\n", "farhost", "carol", true},
      {"localhost -alice\n+ +\n", "localhost", "alice", false},
      {"localhost -alice\n+ +\n", "farhost", "alice", true},
      {"localhost dave\n", "127.0.0.1", "dave", true},
      {"no-such-host.invalid erin\n", "127.0.0.1", "erin", false},
      {"+ +\r\n", "farhost", "crlf", true},
  };
  for (const attempt& c : cases)
    EXPECT_EQ(identify(c.file, c.peer, c.user), c.admitted) << c.file << " | " << c.peer << " | '" << c.user << "'";
}

TEST(Access, LogLinesAndFormatErrors) {
  std::string log;
  EXPECT_TRUE(identify("oneword\n+ +\n", "farhost", "zed", &log));
  EXPECT_NE(log.find("kvsagtd: authorization file format error\n"), std::string::npos);
  EXPECT_NE(log.find("farhost zed #access granted\n"), std::string::npos);
  EXPECT_FALSE(identify("+ -\n", "farhost", "zed", &log));
  EXPECT_NE(log.find("farhost zed #access denied\n"), std::string::npos);
}

TEST(Access, TheLocalAccountIsAdmittedFromThisMachineOnly) {
  const std::string me = e2e::local_user();
  EXPECT_TRUE(identify("+ -\n", "localhost", me));
  EXPECT_FALSE(identify("+ -\n", "farhost", me));
}

TEST(Access, MissingFileIsReportedOncePerConnection) {
  e2e::temp_dir empty;
  e2e::agent_options options;
  options.env["KVS_DIR"] = empty.path();
  session s(options);
  ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
  EXPECT_EQ(s.identify(e2e::local_user()), "310 access authorized.");
  EXPECT_EQ(s.identify(e2e::local_user()), "310 access authorized.");
  EXPECT_EQ(s.command("QUIT"), "221 bye.");
  s.process().wait_exit(kReplyMs);
  std::string log = s.process().out();
  std::string message = "kvsagtd: authorization file " + empty.path() + "/kvsagtd.ini not found.\n Use current machine:user\n";
  ASSERT_NE(log.find(message), std::string::npos) << log;
  EXPECT_EQ(log.find(message), log.rfind(message));
}

TEST(Access, FileIsFoundThroughProvexdirWhenKvsDirIsUnset) {
  e2e::temp_dir root;
  std::string dir = root.path() + "/bin/intel/win32";
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  e2e::write_file(dir + "/kvsagtd.ini", "+ frank\n");
  e2e::agent_options options;
  options.env["KVS_DIR"] = "";  // set but empty counts as unset
  options.env["PROVEXDIR"] = root.path();
  options.peer_name = "farhost";
  session s(options);
  ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
  EXPECT_EQ(s.identify("frank"), "310 access authorized.");
}

TEST(Access, NeitherVariableSetRefusesEveryone) {
  e2e::agent_options options;
  options.env["KVS_DIR"] = "";
  options.unset_env = {"PROVEXDIR"};
  session s(options);
  ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
  EXPECT_EQ(s.identify(e2e::local_user()), "533 user is not allowed to connect");
  s.studio().close();
  s.process().wait_exit(kReplyMs);
  EXPECT_EQ(s.process().out().find("not found"), std::string::npos);
}
