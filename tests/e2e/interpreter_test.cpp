// The command interpreter over a real connection: the authorization gate,
// expansion and the environment of the connection process.
#include <gtest/gtest.h>

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
  for (const char* line : {"GENV PATH", "Qim", "Qim\ttester", "QUIT", "HELP"}) {
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
