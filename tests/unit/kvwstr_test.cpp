#include "support/kvwstr.h"

#include <gtest/gtest.h>

#include <string>

#include "support/cstsyst.h"

TEST(Kvwstr, EmptyStringsUseTheMinimumBlock) {
  EXPECT_EQ(kvwstr().block_size(), 53);
  EXPECT_EQ(kvwstr(std::string_view()).block_size(), 53);
  EXPECT_EQ(kvwstr(std::string_view()).len(), 0);
  EXPECT_STREQ(kvwstr().c_str(), "");
}

TEST(Kvwstr, CapacityRuleOnGrowth) {
  kvwstr s;
  s.cat(std::string(40, 'a'));
  EXPECT_EQ(s.block_size(), 53);
  s.cat("b");
  EXPECT_EQ(s.len(), 41);
  EXPECT_EQ(s.block_size(), 41 + 5 + 13);
  EXPECT_EQ(kvwstr(std::string(100, 'x')).block_size(), 125);
}

TEST(Kvwstr, CatOfNullLeavesTheStringAlone) {
  kvwstr s("abc");
  s.cat(static_cast<const char*>(nullptr));
  EXPECT_STREQ(s.c_str(), "abc");
}

TEST(Kvwstr, CutRemovesAndShrinks) {
  kvwstr s(std::string(200, 'x'));
  s.cut(0, s.len());
  EXPECT_EQ(s.len(), 0);
  EXPECT_EQ(s.block_size(), 53);

  kvwstr t("abcdef");
  t.cut(6, 1);  // at the length: unchanged
  EXPECT_STREQ(t.c_str(), "abcdef");
  t.cut(2, 100);  // beyond the end: everything from the position
  EXPECT_STREQ(t.c_str(), "ab");
  kvwstr u("abcdef");
  u.cut(1, 2);
  EXPECT_STREQ(u.c_str(), "adef");
  EXPECT_EQ(u.len(), 4);
}

TEST(Kvwstr, TextStopsAtNul) {
  kvwstr s(std::string_view("ab\0cd", 5));
  EXPECT_EQ(s.len(), 2);
  s.cat(std::string_view("x\0y", 3));
  EXPECT_STREQ(s.c_str(), "abx");
}

TEST(Kvwstr, MoveTransfersTheBlock) {
  kvwstr a("hello");
  kvwstr b(std::move(a));
  EXPECT_STREQ(b.c_str(), "hello");
  EXPECT_EQ(a.len(), 0);  // NOLINT: a moved-from text reads as empty
  a = std::move(b);
  EXPECT_STREQ(a.c_str(), "hello");
}

TEST(Kvwstr, FormattedAppendOfAnyLength) {
  kvwstr s("x");
  s.catf("%%%d (%%%d)", 3, -1);
  EXPECT_STREQ(s.c_str(), "x%3 (%-1)");
  std::string big(5000, 'q');
  s.catf("%s", big.c_str());
  EXPECT_EQ(s.len(), 9 + 5000);
}

TEST(Cstsyst, StrcmpComparesUnsignedBytes) {
  EXPECT_EQ(CSTstrcmp("a", "b"), -1);
  EXPECT_EQ(CSTstrcmp("b", "a"), 1);
  EXPECT_EQ(CSTstrcmp("", ""), 0);
  EXPECT_EQ(CSTstrcmp("\xE9", "z"), 1);
  EXPECT_EQ(CSTstrcmp("ab", "abc"), -1);
}
