// kvsctl: EXEC command lines for POSIX and Windows agents.
#include "client/kvsctl/quoting.h"

#include "client/kvsctl.h"

namespace kvsctl {

namespace {

bool name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '{';
}

// Whether the agent's expansion would take `word[i]`, a '$', as the start
// of a variable reference (a value would replace it).
bool opens_reference(std::string_view word, std::size_t i) {
  return word[i] == '$' && i + 1 < word.size() && name_start(word[i + 1]);
}

}  // namespace

agent_platform platform_from_os(std::optional<std::string_view> os) {
  return os && *os == "Windows_NT" ? agent_platform::windows : agent_platform::posix;
}

std::string quote_windows_argument(std::string_view word) {
  bool quote = word.empty() || word.find_first_of(" \t\"\r\n") != std::string_view::npos;
  for (std::size_t i = 0; !quote && i < word.size(); ++i) quote = opens_reference(word, i);
  if (!quote) return std::string(word);
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
    } else if (opens_reference(word, i) || (c == '\r' && i + 1 < word.size() && word[i + 1] == '\n')) {
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

std::optional<std::string> quote_windows_program(std::string_view name) {
  if (name.find_first_of("\"\r\n") != std::string_view::npos) return std::nullopt;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (opens_reference(name, i)) return std::nullopt;
  if (!name.empty() && name.find_first_of(" \t") == std::string_view::npos) return std::string(name);
  return "\"" + std::string(name) + "\"";
}

std::optional<std::string> exec_line(agent_platform platform, const std::vector<std::string>& words,
                                     std::string* error) {
  if (platform == agent_platform::posix) return quote_command(words);
  std::string line;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i == 0) {
      std::optional<std::string> program = quote_windows_program(words[0]);
      if (!program) {
        if (error != nullptr)
          *error = "a Windows program name cannot hold a quote, a line end, or a '$' before a letter, digit, '_' "
                   "or '{' (the agent would expand it, and no quoting of a program name prevents that)";
        return std::nullopt;
      }
      line = *program;
    } else {
      line += ' ';
      line += quote_windows_argument(words[i]);
    }
  }
  return line;
}

}  // namespace kvsctl
