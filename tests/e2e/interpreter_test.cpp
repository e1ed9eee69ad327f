// The command interpreter over a real connection: the authorization gate,
// expansion and the environment of the connection process.
#include <gtest/gtest.h>

#include <functional>

#include "client/transfer.h"
#include "harness.h"

using e2e::admitted_session;
using e2e::kReplyMs;
using e2e::session;

namespace {

// A fresh, greeted but unidentified session.
std::unique_ptr<session> greeted() {
  auto s = std::make_unique<session>();
  EXPECT_EQ(s->read_line(), "210 hello, please to meet you.");
  return s;
}

}  // namespace

TEST(Gate, RefusedLinesCloseWithoutAReply) {
  for (const char* line : {"GENV PATH", "Qim", "Qim\ttester", "QUIT", "HELP", "XWHY"}) {
    auto s = greeted();
    s->studio().send_line(line);
    EXPECT_TRUE(s->studio().wait_closed(kReplyMs)) << line;
    EXPECT_EQ(s->process().wait_exit(kReplyMs), 0) << line;
  }
}

TEST(Gate, HeloIsAnsweredThenTheConnectionCloses) {
  auto s = greeted();
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  EXPECT_TRUE(s->studio().wait_closed(kReplyMs));
}

TEST(Gate, AnUnknownHeloWordKeepsTheConnectionAndLeaksNothing) {
  auto s = greeted();
  EXPECT_EQ(s->command("HELO${HOME}"), "500 command unknown : HELO${HOME}");
  EXPECT_EQ(s->identify(), "310 access authorized.");
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
}

TEST(Gate, ARefusedIdentificationWithdrawsAdmission) {
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"), "+ -mallory\n+ +\n");
  e2e::agent_options options;
  options.env["KVS_DIR"] = dir.path();
  auto s = admitted_session(options);
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  EXPECT_EQ(s->command("Qim mallory"), "533 user is not allowed to connect");
  EXPECT_TRUE(s->studio().wait_closed(kReplyMs));
}

TEST(Interpreter, ExpansionFeedsCommandsAndUnknownReferencesStay) {
  e2e::agent_options options;
  options.env["KVS_E2E_DIR"] = "/some/where";
  auto s = admitted_session(options);
  EXPECT_EQ(s->command("GENV ${KVS_E2E_DIR}"), "511 getenv failed");
  EXPECT_EQ(s->command("SENV KVS_E2E_X=a${KVS_E2E_DIR}b"), "212 setenv succeeded");
  EXPECT_EQ(s->command("GENV KVS_E2E_X"), "211 getenv result : KVS_E2E_X=a/some/whereb");
  EXPECT_EQ(s->command("$KVS_E2E_NOPE"), "500 command unknown : $KVS_E2E_NOPE");
  EXPECT_EQ(s->command("SENV KVS_E2E_CMD=GENV"), "212 setenv succeeded");
  EXPECT_EQ(s->command("$KVS_E2E_CMD KVS_E2E_X"), "211 getenv result : KVS_E2E_X=a/some/whereb");
}

TEST(Interpreter, StartDirectoryIsPublished) {
  auto s = admitted_session();
  EXPECT_EQ(s->command("GENV KVS_AGT_BASEPWD"), "211 getenv result : KVS_AGT_BASEPWD=" + s->dir().path());
}

TEST(Interpreter, EachConnectionHasItsOwnEnvironment) {
  auto a = admitted_session();
  auto b = admitted_session();
  EXPECT_EQ(a->command("SENV KVS_E2E_OWN=a"), "212 setenv succeeded");
  EXPECT_EQ(b->command("GENV KVS_E2E_OWN"), "511 getenv failed");
  EXPECT_EQ(a->command("DENV KVS_E2E_OWN"), "213 unsetenv succeeded");
  EXPECT_EQ(a->command("GENV KVS_E2E_OWN"), "511 getenv failed");
}

TEST(Interpreter, XwhyTellsTheCauseOfTheLatestFailureReply) {
  using step = std::function<std::string(e2e::session&, studio::file_transfer&)>;
  struct why_case {
    const char* what;
    step fail;  // the failing command: its reply
    std::string reply;
    std::string why;  // the tail of the XWHY line after "290 last failure : "; empty: 291
  };
  const why_case cases[] = {
      {"nothing failed", [](e2e::session& s, studio::file_transfer&) { return s.command("PWD").substr(0, 3); }, "253",
       ""},
      // The path as the handler saw it, after expansion.
      {"GETF of a missing file",
       [](e2e::session&, studio::file_transfer& files) { return files.get("${KVS_AGT_BASEPWD}/missing.txt").reply; },
       "530 send file failed", "GETF : FSsend_file : No such file or directory : <dir>/missing.txt"},
      {"PUTF into a missing directory",
       [](e2e::session&, studio::file_transfer& files) { return files.put("nodir/a.txt", "x").reply; },
       "531 receive file failed", "PUTF : FSreceive_file : No such file or directory : nodir/a.txt"},
      {"GETF of a directory",
       [](e2e::session&, studio::file_transfer& files) { return files.get(".").reply; }, "530 send file failed",
       "GETF : FSsend_file : Is a directory : ."},
      // Refused even to root: no execute bit. The launch's own error, not a stale one.
      {"EXEC of a file that may not be run",
       [](e2e::session& s, studio::file_transfer&) {
         e2e::write_file(s.dir().file("plain.sh"), "#!/bin/sh\nexit 0\n");
         return s.command("EXEC ./plain.sh");
       },
       "561 EXEC process failed", "EXEC : PROexec : Permission denied : ./plain.sh"},
      {"EXEC of a missing program",
       [](e2e::session& s, studio::file_transfer&) { return s.command("EXEC kvs-e2e-no-such-program -x"); },
       "561 EXEC process failed", "EXEC : PROexec : No such file or directory : kvs-e2e-no-such-program -x"},
      {"EXEC of a line with an open quote",
       [](e2e::session& s, studio::file_transfer&) { return s.command("EXEC echo \"open"); },
       "561 EXEC process failed", "EXEC : PROexec : Invalid argument : echo \"open"},
      {"CWD into a missing directory", [](e2e::session& s, studio::file_transfer&) { return s.command("CWD gone"); },
       "551 CWD failed", "CWD : FSchange_dir : No such file or directory : gone"},
  };
  for (const why_case& c : cases) {
    auto s = admitted_session();
    studio::file_transfer files(s->studio(), "127.0.0.1", kReplyMs);
    EXPECT_EQ(c.fail(*s, files), c.reply) << c.what;
    // A later success leaves the cause as it was.
    EXPECT_EQ(s->command("FTPB"), "228 transfer mode set to BINARY") << c.what;
    std::string why = c.why;
    if (auto at = why.find("<dir>"); at != std::string::npos) why.replace(at, 5, s->dir().path());
    EXPECT_EQ(s->command("XWHY"), why.empty() ? "291 no failure recorded" : "290 last failure : " + why) << c.what;
  }
}
