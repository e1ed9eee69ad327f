#include <gtest/gtest.h>

#include <string>

#include "modules/dynfagt_internal.h"

namespace {

std::string reply_of(std::string_view line) { return cmd_msg[DYNFkeyword(line)]; }

}  // namespace

TEST(DynfKeyword, EveryKeywordOfTheTable) {
  EXPECT_EQ(reply_of("End_of_test"), "702 end dynfollow : ");
  EXPECT_EQ(reply_of("TSF_notify x"), "703 tsf notify dynfollow : ");
  EXPECT_EQ(reply_of("TSF_declare_ni x"), "704 tsf declareinstance dynfollow : ");
  EXPECT_EQ(reply_of("TSF_synchro 3"), "705 tsf synchro dynfollow : ");
  EXPECT_EQ(reply_of("TSF_send x"), "706 tsf send_message dynfollow : ");
  EXPECT_EQ(reply_of("TSF_waittil x"), "707 tsf waittil_message dynfollow : ");
  EXPECT_EQ(reply_of("TSF_intersend x"), "708 tsf intersend_message dynfollow : ");
  EXPECT_EQ(reply_of("TSF_interrecv x"), "709 tsf interrecv_message dynfollow : ");
  EXPECT_EQ(reply_of("TSF_begin_waittil x"), "711 tsf begin_waittil dynfollow : ");
  EXPECT_EQ(reply_of("TSF_end_waittil x"), "712 tsf end_waittil dynfollow : ");
  EXPECT_EQ(reply_of("TSF_inittermexcept x"), "713 tsf inittermexcept_block dynfollow : ");
  EXPECT_EQ(reply_of("INTERSEND x"), "720 INTERSEND : ");
  EXPECT_EQ(reply_of("INTERRECV x"), "721 INTERRECV : ");
  EXPECT_EQ(reply_of("TIMEOUTRQST 30"), "722 timeout request : ");
  EXPECT_EQ(reply_of("STDIOLKAVAIL"), "800 tester asks for studio availability : ");
  EXPECT_EQ(reply_of("anything"), "701 line dynfollow : ");
}

TEST(DynfKeyword, PrefixesCaseAndOrder) {
  // Keywords are prefixes: whatever follows them does not matter.
  EXPECT_EQ(DYNFkeyword("End_of"), MSG_702_DYNF_END);
  EXPECT_EQ(DYNFkeyword("End_ofX"), MSG_702_DYNF_END);
  EXPECT_EQ(DYNFkeyword("TSF_synchronize"), MSG_705_TSF_SYNCHRO);
  EXPECT_EQ(DYNFkeyword("INTERSENDING"), MSG_720_INTERSEND);
  // Neither "TSF_begin_waittil" nor "TSF_intersend" begins with an earlier keyword.
  EXPECT_EQ(DYNFkeyword("TSF_begin_waittil"), MSG_711_TSF_BEGIN_WAITTIL);
  EXPECT_EQ(DYNFkeyword("TSF_waittil"), MSG_707_TSF_WAITTIL);
  EXPECT_EQ(DYNFkeyword("TSF_intersend"), MSG_708_TSF_INTERSEND);
  // A TSF_ line that is no TSF keyword, even one naming another keyword, is a plain line.
  EXPECT_EQ(DYNFkeyword("TSF_other x"), MSG_701_DYNF_LINE);
  EXPECT_EQ(DYNFkeyword("TSF_INTERSEND"), MSG_701_DYNF_LINE);
  EXPECT_EQ(DYNFkeyword("TSF_"), MSG_701_DYNF_LINE);
  // Case-sensitive, and only at the start.
  EXPECT_EQ(DYNFkeyword("end_of"), MSG_701_DYNF_LINE);
  EXPECT_EQ(DYNFkeyword("tsf_notify"), MSG_701_DYNF_LINE);
  EXPECT_EQ(DYNFkeyword(" End_of"), MSG_701_DYNF_LINE);
  EXPECT_EQ(DYNFkeyword("End_o"), MSG_701_DYNF_LINE);
  EXPECT_EQ(DYNFkeyword(""), MSG_701_DYNF_LINE);
}

TEST(DynfSplit, CompleteLinesBecomeNotificationsAndTheRestStays) {
  kvwstr pending("TSF_synchro 3\r\nhello\r\n\r\nTSF_no");
  int ended = 0;
  std::optional<kvwstr> notes = DYNFsplit_lines(7, pending, &ended);
  ASSERT_TRUE(notes);
  EXPECT_EQ(notes->view(),
            "705 tsf synchro dynfollow : 7 TSF_synchro 3\r\n"
            "701 line dynfollow : 7 hello\r\n"
            "701 line dynfollow : 7 ");
  EXPECT_EQ(pending.view(), "TSF_no");
  EXPECT_EQ(ended, 0);

  pending.cat("tify x\r\n");
  notes = DYNFsplit_lines(7, pending, &ended);
  ASSERT_TRUE(notes);
  EXPECT_EQ(notes->view(), "703 tsf notify dynfollow : 7 TSF_notify x");
  EXPECT_TRUE(pending.empty());
}

TEST(DynfSplit, OnlyCrLfEndsALine) {
  kvwstr pending("a\rb\nc\r");
  int ended = 0;
  EXPECT_FALSE(DYNFsplit_lines(3, pending, &ended));
  EXPECT_EQ(pending.view(), "a\rb\nc\r");
  pending.cat("\n");
  std::optional<kvwstr> notes = DYNFsplit_lines(3, pending, &ended);
  ASSERT_TRUE(notes);
  // A lone CR or LF stays inside its line, as a blank.
  EXPECT_EQ(notes->view(), "701 line dynfollow : 3 a b c");
  EXPECT_TRUE(pending.empty());
}

TEST(DynfSplit, LinesAfterEndOfAreStillHandled) {
  kvwstr pending("End_of_test\r\nTSF_synchro 9\r\nrest");
  int ended = 0;
  std::optional<kvwstr> notes = DYNFsplit_lines(12, pending, &ended);
  ASSERT_TRUE(notes);
  EXPECT_EQ(notes->view(),
            "702 end dynfollow : 12 End_of_test\r\n"
            "705 tsf synchro dynfollow : 12 TSF_synchro 9");
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(pending.view(), "rest");
}

TEST(DynfAnswers, TesterIdOfDfokAndDfko) {
  EXPECT_EQ(DYNFparse_id("12"), 12);
  EXPECT_EQ(DYNFparse_id("  +12xyz"), 12);
  EXPECT_EQ(DYNFparse_id("-3"), -3);
  EXPECT_EQ(DYNFparse_id("abc"), 0);
  EXPECT_EQ(DYNFparse_id(""), 0);
  EXPECT_EQ(DYNFparse_id("99999999999999999999"), -1);
}

TEST(DynfAnswers, SeparatorRuleOfIsndToutAvai) {
  int id = -2;
  EXPECT_STREQ(DYNFsplit_lower("12 hello", &id), "hello");
  EXPECT_EQ(id, 12);
  EXPECT_STREQ(DYNFsplit_lower("12  hello ", &id), " hello ");
  EXPECT_STREQ(DYNFsplit_lower("12:x y", &id), "x y");
  EXPECT_EQ(id, 12);
  EXPECT_STREQ(DYNFsplit_lower("12", &id), "");
  EXPECT_EQ(id, 12);
  EXPECT_STREQ(DYNFsplit_lower("12 ", &id), "");
  // No digits: tester 0, and the first character is the separator.
  EXPECT_STREQ(DYNFsplit_lower("abc", &id), "bc");
  EXPECT_EQ(id, 0);
  EXPECT_STREQ(DYNFsplit_lower("", &id), "");
  EXPECT_EQ(id, 0);
  EXPECT_STREQ(DYNFsplit_lower("123456789012345 t", &id), "t");
  EXPECT_EQ(id, -1);
}
