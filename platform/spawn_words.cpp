#include "platform/spawn.h"
#include "support/protocol/winquote.h"
#include "support/protocol/words.h"

int PLATsplit_words(std::string_view line, std::vector<std::string>& words) {
  return protocol::split_words(line, words, protocol::word_rules::command_line) ? 0 : -1;
}

std::string PLATquote_windows_args(const std::vector<std::string>& words) {
  // The line goes to CreateProcess as it is: no expansion comes after it.
  return protocol::quote_windows_arguments(words, protocol::dollar_references::literal);
}
