#include "support/protocol/words.h"

namespace protocol {

namespace {

bool separates(char c, word_rules rules) {
  return c == ' ' || c == '\t' || (rules == word_rules::script_line && (c == '\r' || c == '\n'));
}

// Characters a backslash escapes inside double quotes.
bool escapable_in_double_quotes(char c, word_rules rules) {
  return c == '$' || c == '`' || c == '"' || c == '\\' || (rules == word_rules::command_line && c == '\n');
}

}  // namespace

bool split_words(std::string_view line, std::vector<std::string>& words, word_rules rules) {
  const bool continuations = rules == word_rules::command_line;
  std::string word;
  bool in_word = false;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    char c = line[i];
    if (continuations && c == '\\' && i + 1 < n && line[i + 1] == '\n') {
      i += 2;  // line continuation: joins what surrounds it
      continue;
    }
    if (separates(c, rules)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      ++i;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (i + 1 < n) {
        word += line[i + 1];
        i += 2;
      } else {
        word += c;  // a backslash that ends the line stays itself
        ++i;
      }
    } else if (c == '\'') {
      std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return false;
      word.append(line.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      std::size_t j = i + 1;
      for (;;) {
        if (j >= n) return false;
        char d = line[j];
        if (d == '"') break;
        if (d == '\\' && j + 1 < n && escapable_in_double_quotes(line[j + 1], rules)) {
          if (line[j + 1] != '\n') word += line[j + 1];
          j += 2;
        } else {
          word += d;
          ++j;
        }
      }
      i = j + 1;
    } else {
      word += c;
      ++i;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return true;
}

std::string quote_word_posix(std::string_view word) {
  if (word.empty()) return "''";
  bool plain = true;
  for (char c : word) {
    bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                std::string_view("_-+=.,/:@%^").find(c) != std::string_view::npos;
    if (!safe) {
      plain = false;
      break;
    }
  }
  if (plain) return std::string(word);
  std::string quoted = "'";
  for (char c : word) {
    switch (c) {
      case '\'':
        quoted += "'\\''";  // close, an escaped quote, reopen
        break;
      case '$':
      case '\r':
        // Close and reopen the quotes right after it: the quote that follows
        // starts no variable name, and ends no line.
        quoted += c;
        quoted += "''";
        break;
      default:
        quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

}  // namespace protocol
