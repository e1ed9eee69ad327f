// The connection process's argument words: words that name no handed-over
// socket give none, at once (the listening word "-1" names nothing to close).
#include <gtest/gtest.h>

#include "platform/handover.h"

TEST(Handover, WordsThatNameNoSocketGiveNone) {
  const char* seconds[] = {"", "abc", "7x", "-3", "99999999999999999999999"};
  for (const char* second : seconds) {
    bool pending = false;
    EXPECT_EQ(PLATtake_over(second, "-1", &pending), -1) << second;
  }
  EXPECT_EQ(PLATtake_over(nullptr, nullptr, nullptr), -1);
}
