#include "platform/spawn.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Characters a backslash escapes inside double quotes.
bool escapable_in_double_quotes(char c) { return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n'; }

}  // namespace

int PLATsplit_words(std::string_view line, std::vector<std::string>& words) {
  std::string word;
  bool in_word = false;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    char c = line[i];
    if (c == '\\' && i + 1 < n && line[i + 1] == '\n') {
      i += 2;  // line continuation: joins what surrounds it
      continue;
    }
    if (is_blank(c)) {
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
      if (close == std::string_view::npos) return -1;
      word.append(line.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      std::size_t j = i + 1;
      for (;;) {
        if (j >= n) return -1;
        char d = line[j];
        if (d == '"') break;
        if (d == '\\' && j + 1 < n && escapable_in_double_quotes(line[j + 1])) {
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
  return 0;
}

std::string PLATquote_windows_args(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
      line += word;
      continue;
    }
    // Inside quotes, backslashes are literal except before a quote: a run of
    // them is doubled there, and before the closing quote.
    line += '"';
    std::size_t backslashes = 0;
    for (char c : word) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
  }
  return line;
}
