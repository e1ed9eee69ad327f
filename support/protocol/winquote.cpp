#include "support/protocol/winquote.h"

namespace protocol {

namespace {

bool name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '{';
}

// Whether the agent's expansion would take `word[i]`, a '$', as the start
// of a variable reference (a value would replace it).
bool opens_reference(std::string_view word, std::size_t i, dollar_references dollars) {
  return dollars == dollar_references::expanded && word[i] == '$' && i + 1 < word.size() && name_start(word[i + 1]);
}

}  // namespace

std::string quote_windows_argument(std::string_view word, dollar_references dollars) {
  bool quote = word.empty() || word.find_first_of(" \t\"\r\n\v") != std::string_view::npos;
  for (std::size_t i = 0; !quote && i < word.size(); ++i) quote = opens_reference(word, i, dollars);
  if (!quote) return std::string(word);
  const bool protect_line = dollars == dollar_references::expanded;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c == '\\') {
      ++backslashes;
      out += c;
      continue;
    }
    if (c == '"') {
      // 2n+1 backslashes and a quote give n backslashes and the quote.
      out.append(backslashes + 1, '\\');
      out += c;
    } else if (opens_reference(word, i, dollars) ||
               (protect_line && c == '\r' && i + 1 < word.size() && word[i + 1] == '\n')) {
      // Close the quotes after it, put the next character (a name
      // character or the LF, which need no quotes) outside, reopen.
      out += c;
      out += '"';
      out += word[++i];
      out += '"';
    } else {
      out += c;
    }
    backslashes = 0;
  }
  // The closing quote must not be escaped by the word's last backslashes.
  out.append(backslashes, '\\');
  out += '"';
  return out;
}

std::optional<std::string> quote_windows_program(std::string_view name, dollar_references dollars) {
  if (name.find_first_of("\"\r\n") != std::string_view::npos) return std::nullopt;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (opens_reference(name, i, dollars)) return std::nullopt;
  if (!name.empty() && name.find_first_of(" \t") == std::string_view::npos) return std::string(name);
  return "\"" + std::string(name) + "\"";
}

std::string quote_windows_arguments(const std::vector<std::string>& words, dollar_references dollars) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += quote_windows_argument(word, dollars);
  }
  return line;
}

}  // namespace protocol
