// The connection loop as a studio sees it: greeting, CR LF framing, the end
// conditions, and a connection process that leaves nothing behind.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "harness.h"

using e2e::admitted_session;
using e2e::kReplyMs;
using e2e::session;

TEST(Connection, GreetsThenEndsWithStatusZeroWhenThePeerLeaves) {
  session s;
  EXPECT_EQ(s.read_line(), "210 hello, please to meet you.");
  s.studio().close();
  EXPECT_EQ(s.process().wait_exit(kReplyMs), 0);
  EXPECT_TRUE(e2e::children_of(s.process().pid).empty());
}

TEST(Connection, LinesOfOneSegmentAreAnsweredInOrder) {
  auto s = admitted_session();
  s->studio().send_raw("HELO\r\nGENV KVS_E2E_NONE\r\nHELO\r\n");
  EXPECT_EQ(s->read_line(), "210 hello, please to meet you.");
  EXPECT_EQ(s->read_line(), "511 getenv failed");
  EXPECT_EQ(s->read_line(), "210 hello, please to meet you.");
}

TEST(Connection, ALineSplitAcrossSegmentsRunsOnceWhenItsEndArrives) {
  auto s = admitted_session();
  s->studio().send_raw("SENV KVS_E2E_A=");
  EXPECT_FALSE(s->studio().read_line(300));
  s->studio().send_raw("1\r");
  EXPECT_FALSE(s->studio().read_line(300));
  s->studio().send_raw("\nGENV KVS_E2E_A\r\n");
  EXPECT_EQ(s->read_line(), "212 setenv succeeded");
  EXPECT_EQ(s->read_line(), "211 getenv result : KVS_E2E_A=1");
}

TEST(Connection, ABareLineFeedBelongsToTheLine) {
  auto s = admitted_session();
  s->studio().send_raw("HELO\n");
  EXPECT_FALSE(s->studio().read_line(300));
  s->studio().send_raw("\r\n");
  EXPECT_EQ(s->read_line(), "500 command unknown : HELO\n");
}

TEST(Connection, LinesAfterQuitAreNotRun) {
  auto s = admitted_session();
  s->studio().send_raw("QUIT\r\nSENV KVS_E2E_Q=1\r\nGENV KVS_E2E_Q\r\n");
  EXPECT_EQ(s->read_line(), "221 bye.");
  EXPECT_TRUE(s->studio().wait_closed(kReplyMs));
  EXPECT_EQ(s->process().wait_exit(kReplyMs), 0);
}

TEST(Connection, ANulFirstByteEndsTheConnection) {
  auto s = admitted_session();
  s->studio().send_raw(std::string("\0HELO\r\n", 7));
  EXPECT_TRUE(s->studio().wait_closed(kReplyMs));
  EXPECT_EQ(s->process().wait_exit(kReplyMs), 0);
}

TEST(Connection, UnendedTextBeyondOneMebibyteEndsTheConnection) {
  session s;
  ASSERT_EQ(s.read_line(), "210 hello, please to meet you.");
  std::string chunk(64 * 1024, 'Q');
  chunk.replace(0, 4, "Qim ");
  bool closed = false;
  for (int i = 0; i < 40 && !closed; ++i) closed = !s.studio().send_raw(chunk);
  EXPECT_TRUE(s.studio().wait_closed(kReplyMs));
  EXPECT_EQ(s.process().wait_exit(kReplyMs), 0);
  EXPECT_NE(s.process().out().find("longer than 1048576 bytes"), std::string::npos);
}

TEST(Connection, ACompleteLongLineBelowTheCapIsServed) {
  auto s = admitted_session();
  std::string value(600 * 1024, 'v');
  EXPECT_EQ(s->command("SENV KVS_E2E_BIG=" + value), "212 setenv succeeded");
  EXPECT_EQ(s->command("GENV KVS_E2E_BIG"), "211 getenv result : KVS_E2E_BIG=" + value);
}

TEST(Connection, ServesAnIpv6Peer) {
  e2e::agent_options options;
  options.ipv6 = true;
  auto s = admitted_session(options);
  EXPECT_EQ(s->command("HELO"), "210 hello, please to meet you.");
  EXPECT_EQ(s->command("QUIT"), "221 bye.");
  EXPECT_EQ(s->process().wait_exit(kReplyMs), 0);
}
