// A burst of command lines in one segment: every line is answered, in order,
// and nothing the studio needs stays held back, whether the burst ends with a
// line that has no reply or a command in it blocks on a side connection.
#include <gtest/gtest.h>

#include <string>

#include "client/studio.h"
#include "client/transfer.h"
#include "harness.h"

namespace {

TEST(HeldReplies, BurstAnsweredInOrderEvenWhenItsLastLineHasNoReply) {
  auto s = e2e::admitted_session();
  std::string burst;
  for (int i = 0; i < 300; ++i) {
    burst += "SENV BURST_" + std::to_string(i) + "=" + std::to_string(i * 7) + "\r\n";
    burst += "GENV BURST_" + std::to_string(i) + "\r\n";
    if (i % 50 == 0) burst += "NOPE " + std::to_string(i) + "\r\n";
  }
  burst += "RVOK nobody-waits-here\r\n";  // answered by no line at all
  ASSERT_TRUE(s->studio().send_raw(burst));
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(s->read_line(), "212 setenv succeeded") << i;
    ASSERT_EQ(s->read_line(), "211 getenv result : BURST_" + std::to_string(i) + "=" + std::to_string(i * 7)) << i;
    if (i % 50 == 0) {
      ASSERT_EQ(s->read_line(), "500 command unknown : NOPE " + std::to_string(i));
    }
  }
  EXPECT_EQ(s->command("GENV BURST_299"), "211 getenv result : BURST_299=2093");
}

TEST(HeldReplies, PortReplyReachesTheStudioBeforeTheTransferThatNeedsIt) {
  auto s = e2e::admitted_session();
  e2e::write_file(s->dir().file("f"), "content of f");
  // The studio learns the data port from the first reply only, and the agent
  // blocks on the data connection in the second line of the same segment.
  ASSERT_TRUE(s->studio().send_raw("PFTP\r\nGETF f\r\n"));
  std::string port_reply = s->read_line();
  ASSERT_EQ(port_reply.rfind("226 FTP port : %", 0), 0u) << port_reply;
  studio::socket_fd data = studio::connect_data("127.0.0.1", studio::reply_number(port_reply), e2e::kReplyMs);
  ASSERT_TRUE(data.valid());
  EXPECT_EQ(studio::read_until_closed(data.get(), e2e::kReplyMs), "content of f");
  EXPECT_EQ(s->read_line(), "230 (end of transfered) file sent");
}

TEST(HeldReplies, TracePortReplyReachesTheStudioBeforeTrwaWaits) {
  auto s = e2e::admitted_session();
  ASSERT_TRUE(s->studio().send_raw("GENV NOT_SET_ANYWHERE\r\nPORT\r\nTRWA\r\n"));
  EXPECT_EQ(s->read_line().substr(0, 3), "511");
  std::string port_reply = s->read_line();
  ASSERT_EQ(port_reply.rfind("222 TRACE port : %", 0), 0u) << port_reply;
  studio::socket_fd trace = studio::connect_tcp("127.0.0.1", studio::reply_number(port_reply), e2e::kReplyMs);
  ASSERT_TRUE(trace.valid());
  EXPECT_EQ(s->read_line(), "225 trace port established");
}

TEST(HeldReplies, QuitInABurstAnswersWhatCameBeforeAndEnds) {
  auto s = e2e::admitted_session();
  ASSERT_TRUE(s->studio().send_raw("SENV Q=1\r\nGENV Q\r\nQUIT\r\nGENV Q\r\n"));
  EXPECT_EQ(s->read_line(), "212 setenv succeeded");
  EXPECT_EQ(s->read_line(), "211 getenv result : Q=1");
  EXPECT_EQ(s->read_line(), "221 bye.");
  EXPECT_TRUE(s->studio().wait_closed(e2e::kReplyMs));
}

}  // namespace
