// Command lines as words: the splitting of a line into words as a POSIX
// shell does it (without expansion or operators), and the quoting that
// gives a word back from such a split. Pure logic.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace protocol {

// Where a line comes from decides what separates words.
enum class word_rules {
  // An EXEC line the agent splits: blanks and tabs separate words; a
  // backslash-newline pair is removed, outside and inside double quotes;
  // CR and LF are ordinary characters.
  command_line,
  // A line of a kvsctl script: CR and LF separate words too (a script may
  // end its lines with CR LF), and there are no continuations.
  script_line,
};

// Appends the words of `line` to `words`: single quotes keep everything up
// to the next single quote; double quotes keep everything up to the next
// double quote, except that a backslash there escapes $ ` " \ (and, for a
// command line, newline); outside quotes a backslash keeps the next
// character, and a backslash that ends the line stays itself. Every other
// character, shell operators included, is ordinary. False when a quote is
// not closed (words then holds what was split so far).
bool split_words(std::string_view line, std::vector<std::string>& words, word_rules rules);

// One word quoted so that split_words gives it back after the agent's
// "$NAME" expansion: a word of plain characters as it is; any other in
// single quotes, with each quote written as '\'' and a "$" or CR followed by
// a closing and reopening quote (no variable name starts after the "$", no
// CR LF ends the protocol line).
std::string quote_word_posix(std::string_view word);

}  // namespace protocol
