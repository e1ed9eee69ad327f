// kvsctl: EXEC command lines for POSIX and Windows agents.
#include "client/kvsctl/quoting.h"

#include "client/kvsctl.h"
#include "support/protocol/winquote.h"

namespace kvsctl {

agent_platform platform_from_os(std::optional<std::string_view> os) {
  return os && *os == "Windows_NT" ? agent_platform::windows : agent_platform::posix;
}

std::string quote_windows_argument(std::string_view word) {
  return protocol::quote_windows_argument(word, protocol::dollar_references::expanded);
}

std::optional<std::string> quote_windows_program(std::string_view name) {
  return protocol::quote_windows_program(name, protocol::dollar_references::expanded);
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
