#include <gtest/gtest.h>

#include "harness.h"

using e2e::session;

TEST(Connection, GreetsThenEndsWithStatusZeroWhenThePeerLeaves) {
  session s;
  EXPECT_EQ(s.read_line(), "210 hello, please to meet you.");
  s.studio().close();
  EXPECT_EQ(s.process().wait_exit(5000), 0);
}
