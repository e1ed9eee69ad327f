// The protocol library's C++-only cases: word splitting by its two rule sets
// and the reading of numbers that start a text.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "client/kvsctl.h"
#include "client/kvsctl/control.h"
#include "support/protocol/numbers.h"
#include "support/protocol/socket_errors.h"
#include "support/protocol/words.h"

namespace {

using protocol::word_rules;
using words_t = std::vector<std::string>;

// Where the two rule sets differ, and where they agree on what a caller of
// each relies on. No value: an open quote.
TEST(ProtocolWords, TheTwoRuleSets) {
  const struct {
    const char* line;
    std::optional<words_t> command_line;
    std::optional<words_t> script_line;
  } rows[] = {
      {"a b\tc", words_t{"a", "b", "c"}, words_t{"a", "b", "c"}},
      // A script written with CR LF line ends: the CR is no part of a word.
      {"env X=1\r", words_t{"env", "X=1\r"}, words_t{"env", "X=1"}},
      {"a\nb", words_t{"a\nb"}, words_t{"a", "b"}},
      // Continuations join on a command line only.
      {"ab\\\ncd", words_t{"abcd"}, words_t{"ab\ncd"}},
      {"\"e\\\nf\"", words_t{"ef"}, words_t{"e\\\nf"}},
      // A final backslash stays itself under both.
      {"g\\", words_t{"g\\"}, words_t{"g\\"}},
      {"'a\\'", words_t{"a\\"}, words_t{"a\\"}},
      {"\"\\$\\`\\\"\\\\\\a\"", words_t{"$`\"\\\\a"}, words_t{"$`\"\\\\a"}},
      {"x'y'\"z\"w '' \"\"", words_t{"xyzw", "", ""}, words_t{"xyzw", "", ""}},
      {"echo 'abc", std::nullopt, std::nullopt},
      {"echo \"abc\\\"", std::nullopt, std::nullopt},
      {"", words_t{}, words_t{}},
  };
  for (const auto& row : rows) {
    for (word_rules rules : {word_rules::command_line, word_rules::script_line}) {
      const std::optional<words_t>& expected = rules == word_rules::command_line ? row.command_line : row.script_line;
      words_t words;
      bool closed = protocol::split_words(row.line, words, rules);
      EXPECT_EQ(closed, expected.has_value()) << row.line;
      if (closed && expected) {
        EXPECT_EQ(words, *expected) << row.line;
      }
    }
  }
}

// kvsctl reads script lines by the script rules: a final backslash is kept
// (it was dropped), and a CR ends a word.
TEST(ProtocolWords, KvsctlScriptLines) {
  words_t words{"stale"};
  ASSERT_TRUE(kvsctl::split_words("run -- echo 'C:\\dir\\' end\\", words));
  EXPECT_EQ(words, (words_t{"run", "--", "echo", "C:\\dir\\", "end\\"}));
  ASSERT_TRUE(kvsctl::split_words("env X=1\r", words));
  EXPECT_EQ(words, (words_t{"env", "X=1"}));
}

TEST(ProtocolNumbers, TakeReadsTheNumberThatStartsATextAndLeavesTheRest) {
  const struct {
    const char* text;
    long long low, high;
    bool signed_;
    std::optional<long long> value;
    const char* rest;  // what is left; the text itself when no number was taken
  } rows[] = {
      {"4242)", 0, INT_MAX, true, 4242, ")"},
      {"-3 (%x", INT_MIN, INT_MAX, true, -3, " (%x"},
      {"-3", 0, INT_MAX, false, std::nullopt, "-3"},  // no sign when unsigned
      {"x1", 0, 9, true, std::nullopt, "x1"},
      {"", 0, 9, true, std::nullopt, ""},
      // However many digits: too large, and no overflow on the way.
      {"99999999999999999999999999999999 rest", LLONG_MIN, LLONG_MAX, true, std::nullopt,
       "99999999999999999999999999999999 rest"},
      {"9223372036854775807", LLONG_MIN, LLONG_MAX, true, LLONG_MAX, ""},
      {"-9223372036854775808", LLONG_MIN, LLONG_MAX, true, LLONG_MIN, ""},
      {"9223372036854775808", LLONG_MIN, LLONG_MAX, true, std::nullopt, "9223372036854775808"},
      {"00000000000000000000000042", 0, 100, true, 42, ""},
      {"5", 1, 3, true, std::nullopt, "5"},
  };
  for (const auto& row : rows) {
    std::string_view text = row.text;
    EXPECT_EQ(protocol::take_integer(text, row.low, row.high, row.signed_), row.value) << row.text;
    EXPECT_EQ(text, row.rest) << row.text;
  }
  EXPECT_EQ(protocol::parse_digits("-1", -5, 5), std::nullopt);
  EXPECT_EQ(protocol::parse_digits("12", 0, 99), 12);
}

// The process reports kvsctl reads: the numbers are the protocol library's,
// so a code beyond an int is refused (it was undefined behaviour), and so
// is anything but the agent's own form.
TEST(ProtocolNumbers, ProcessReportsReadOnlyTheAgentsForm) {
  using pairs_t = std::vector<std::pair<int, int>>;
  const struct {
    const char* line;
    std::optional<pairs_t> pairs;
  } rows[] = {
      {"661 process stopped : %2 => %1 (%0), %3 (%-1)", pairs_t{{1, 0}, {3, -1}}},
      {"661 process stopped : %1 => %7 (%2147483647)", pairs_t{{7, 2147483647}}},
      {"661 process stopped : %1 => %7 (%2147483648)", std::nullopt},
      {"661 process stopped : %1 => %7 (%99999999999999999999)", std::nullopt},
      {"661 process stopped : %1 => %7 (% 5)", std::nullopt},
      {"661 process stopped : %1 => %7(%5)", std::nullopt},
      {"661 process stopped : %1 => %+7 (%5)", std::nullopt},
      {"661 process stopped : %1 => %7 (%5),", std::nullopt},
      {"662 process stopped : %1 => %7 (%5)", std::nullopt},
  };
  for (const auto& row : rows) {
    pairs_t pairs;
    EXPECT_EQ(kvsctl::parse_stopped(row.line, pairs), row.pairs.has_value()) << row.line;
    if (row.pairs) {
      EXPECT_EQ(pairs, *row.pairs) << row.line;
    }
  }
  // The exit code kvsctl takes from such a line: one beyond an int is 255.
  EXPECT_EQ(kvsctl::stopped_exit_code("661 process stopped : %1 => %7 (%4294967296)", 7), 255);
  EXPECT_EQ(kvsctl::stopped_exit_code("661 process stopped : %1 => %7 (%3)", 7), 3);
}

}  // namespace

// The socket calls of the agent and of the tools test EAGAIN for "would
// block" on every system; a code the map does not know is no success.
TEST(ProtocolSocketErrors, WouldBlockIsEagainAndAnUnknownCodeIsEio) {
  EXPECT_EQ(protocol::errno_of_winsock(10035), EAGAIN);
  EXPECT_EQ(protocol::errno_of_winsock(10054), ECONNRESET);
  EXPECT_EQ(protocol::errno_of_winsock(0), EIO);
  EXPECT_EQ(protocol::errno_of_winsock(99999), EIO);
}
