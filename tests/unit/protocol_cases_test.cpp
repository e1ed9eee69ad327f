// The protocol library against the shared cases of tests/data/protocol_cases.tsv,
// which the Python library's tests read too.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/protocol/ascii_codec.h"
#include "support/protocol/numbers.h"
#include "support/protocol/replies.h"
#include "support/protocol/winquote.h"
#include "support/protocol/words.h"

namespace {

struct protocol_case {
  int line = 0;
  std::vector<std::string> fields;  // the kind first, unescaped
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A field's bytes; a malformed escape fails the test.
std::string unescape(const std::string& field, int line) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    char next = i + 1 < field.size() ? field[i + 1] : '\0';
    ++i;
    switch (next) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 'v': out += '\v'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int high = i + 1 < field.size() ? hex_digit(field[i + 1]) : -1;
        int low = i + 2 < field.size() ? hex_digit(field[i + 2]) : -1;
        if (high < 0 || low < 0) {
          ADD_FAILURE() << "line " << line << ": bad \\x escape";
          return out;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        ADD_FAILURE() << "line " << line << ": bad escape \\" << next;
    }
  }
  return out;
}

std::vector<protocol_case> read_cases() {
  std::ifstream in(KVS_PROTOCOL_CASES, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << KVS_PROTOCOL_CASES;
  std::vector<protocol_case> cases;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (text.empty() || text[0] == '#') continue;
    protocol_case c;
    c.line = number;
    std::size_t at = 0;
    for (;;) {
      std::size_t tab = text.find('\t', at);
      c.fields.push_back(unescape(text.substr(at, tab == std::string::npos ? std::string::npos : tab - at), number));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    cases.push_back(std::move(c));
  }
  return cases;
}

const std::vector<protocol_case>& all_cases() {
  static const std::vector<protocol_case> cases = read_cases();
  return cases;
}

// The cases of one kind, each with the number of fields it must have.
std::vector<protocol_case> cases_of(const std::string& kind, std::size_t fields, bool at_least = false) {
  std::vector<protocol_case> found;
  for (const protocol_case& c : all_cases()) {
    if (c.fields[0] != kind) continue;
    if (at_least ? c.fields.size() < fields : c.fields.size() != fields) {
      ADD_FAILURE() << "line " << c.line << ": " << kind << " wants " << fields - 1 << " fields";
      continue;
    }
    found.push_back(c);
  }
  EXPECT_FALSE(found.empty()) << "no " << kind << " case";
  return found;
}

long long number_field(const protocol_case& c, std::size_t i) {
  std::optional<long long> value = protocol::parse_integer(c.fields[i], -(1LL << 62), 1LL << 62);
  EXPECT_TRUE(value) << "line " << c.line << ": field " << i << " is no number";
  return value.value_or(0);
}

TEST(ProtocolCases, EveryKindIsKnown) {
  const std::vector<std::string> kinds = {"reply", "extension_reply", "quote_posix", "quote_windows", "quote_windows_literal",
                                          "windows_program", "ascii_to_wire", "ascii_from_wire", "integer"};
  for (const protocol_case& c : all_cases())
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), c.fields[0]), kinds.end()) << "line " << c.line;
}

// Every reply the file names is the table's, by name and text: a reply
// renamed or retyped on one side only fails here. A reply added to the table
// needs no row in the file until the Python library uses it.
TEST(ProtocolCases, TheFilesRepliesAreTheTables) {
  std::vector<protocol_case> rows = cases_of("reply", 3);
  ASSERT_FALSE(rows.empty());
  for (const protocol_case& row : rows) {
    const auto* found = std::find_if(std::begin(protocol::reply_rows), std::end(protocol::reply_rows),
                                     [&](const auto& r) { return row.fields[1] == r.name; });
    ASSERT_NE(found, std::end(protocol::reply_rows)) << "line " << row.line << ": no reply " << row.fields[1];
    EXPECT_EQ(row.fields[2], found->text) << "line " << row.line;
  }
}

TEST(ProtocolCases, TheRepliesOutsideTheTable) {
  for (const protocol_case& c : cases_of("extension_reply", 3)) {
    if (c.fields[1] == "last_failure") EXPECT_EQ(protocol::last_failure_reply, c.fields[2]);
    else if (c.fields[1] == "no_failure") EXPECT_EQ(protocol::no_failure_reply, c.fields[2]);
    else ADD_FAILURE() << "line " << c.line << ": no reply " << c.fields[1];
  }
}

// Each text begins with the number its id names: a row whose text was
// given the wrong number is refused (the build refuses the table itself).
TEST(ProtocolCases, AReplyRowIsSoundOnlyWithItsOwnNumber) {
  const struct {
    protocol::reply_row row;
    bool sound;
  } rows[] = {
      {{MSG_221_BYE, "MSG_221_BYE", "221 bye."}, true},
      {{MSG_221_BYE, "MSG_221_BYE", "222 bye."}, false},
      {{MSG_221_BYE, "MSG_221_BYE", "221bye."}, false},
      {{MSG_221_BYE, "MSG_221_BYE", "221"}, false},
      {{MSG_221_BYE, "MSG_22_BYE", "22 bye."}, false},
      {{MSG_221_BYE, "REPLY_221_BYE", "221 bye."}, false},
  };
  for (const auto& r : rows) EXPECT_EQ(protocol::reply_row_is_sound(r.row), r.sound) << r.row.text;
  EXPECT_TRUE(protocol::reply_rows_are_sound());
}

TEST(ProtocolCases, PosixQuotingAndTheAgentsSplittingGiveTheWordBack) {
  for (const protocol_case& c : cases_of("quote_posix", 3)) {
    EXPECT_EQ(protocol::quote_word_posix(c.fields[1]), c.fields[2]) << "line " << c.line;
    // What the agent splits (no "$NAME" in the quoted word survives as one).
    std::vector<std::string> words;
    ASSERT_TRUE(protocol::split_words(c.fields[2], words, protocol::word_rules::command_line)) << c.line;
    EXPECT_EQ(words, std::vector<std::string>{c.fields[1]}) << "line " << c.line;
  }
}

TEST(ProtocolCases, WindowsQuoting) {
  for (const protocol_case& c : cases_of("quote_windows", 3))
    EXPECT_EQ(protocol::quote_windows_argument(c.fields[1], protocol::dollar_references::expanded), c.fields[2])
        << "line " << c.line;
  for (const protocol_case& c : cases_of("quote_windows_literal", 3))
    EXPECT_EQ(protocol::quote_windows_argument(c.fields[1], protocol::dollar_references::literal), c.fields[2])
        << "line " << c.line;
  for (const protocol_case& c : cases_of("windows_program", 3)) {
    std::optional<std::string> expected;
    if (c.fields[2] != "-") expected = c.fields[2];
    EXPECT_EQ(protocol::quote_windows_program(c.fields[1], protocol::dollar_references::expanded), expected)
        << "line " << c.line;
  }
}

TEST(ProtocolCases, AsciiCodec) {
  for (const protocol_case& c : cases_of("ascii_to_wire", 3)) {
    EXPECT_EQ(protocol::ascii_to_wire(c.fields[1]), c.fields[2]) << "line " << c.line;
    // The wire back, whole and a byte at a time.
    protocol::ascii_from_wire whole;
    EXPECT_EQ(whole.feed(c.fields[2]) + whole.finish(), c.fields[1]) << "line " << c.line;
  }
  for (const protocol_case& c : cases_of("ascii_from_wire", 3, true)) {
    protocol::ascii_from_wire pieces;
    std::string local;
    std::string wire;
    for (std::size_t i = 2; i < c.fields.size(); ++i) {
      local += pieces.feed(c.fields[i]);
      wire += c.fields[i];
    }
    local += pieces.finish();
    EXPECT_EQ(local, c.fields[1]) << "line " << c.line;
    protocol::ascii_from_wire bytes;
    std::string one_by_one;
    for (char b : wire) one_by_one += bytes.feed(std::string_view(&b, 1));
    EXPECT_EQ(one_by_one + bytes.finish(), c.fields[1]) << "line " << c.line;
  }
}

TEST(ProtocolCases, Integers) {
  for (const protocol_case& c : cases_of("integer", 5)) {
    std::optional<long long> expected;
    if (c.fields[4] != "-") expected = number_field(c, 4);
    EXPECT_EQ(protocol::parse_integer(c.fields[1], number_field(c, 2), number_field(c, 3)), expected)
        << "line " << c.line << ": '" << c.fields[1] << "'";
  }
}

}  // namespace
