// kvsctl: how a program and its arguments become one EXEC command line for
// the agent's platform. A POSIX agent splits the line into words as a shell
// does (quote_word in client/kvsctl.h); a Windows agent hands the line to
// CreateProcess unchanged, which takes the program name from it, and the
// program splits the rest itself by the rules of the C runtime
// (CommandLineToArgvW). Both agents first expand "$NAME" and "${NAME}" in
// the line. No input or output here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvsctl {

enum class agent_platform { posix, windows };

// The platform told by the agent's OS variable: "Windows_NT" is Windows;
// anything else, or no value, POSIX.
agent_platform platform_from_os(std::optional<std::string_view> os);

// One argument of a Windows command line, quoted so that the C runtime
// gives it back exactly: left as it is when it holds no blank, tab, quote,
// CR, LF or vertical tab and is not empty; otherwise in double quotes, with the
// backslashes before a quote (or before the closing quote) doubled and the
// quote escaped. Wherever the agent's expansion would see a variable name
// (a '$' before a letter, digit, '_' or '{') the quotes are closed after
// the '$' and the next character stands outside them; a CR before an LF is
// cut from it the same way, so that no CR LF ends the protocol line. The
// quoting never puts two quotes side by side inside quotes, where runtimes
// disagree.
std::string quote_windows_argument(std::string_view word);

// The program name, as CreateProcess reads it: up to the first blank or
// tab, or between quotes without any escapes. None when the name cannot be
// sent that way: it holds a quote, a CR or an LF (no Windows file name
// does), or a '$' before a variable name (no quoting inside the name
// protects it from the agent's expansion).
std::optional<std::string> quote_windows_program(std::string_view name);

// The EXEC command line for `platform`; none, with the reason in `error`,
// when the program name cannot be sent to a Windows agent.
std::optional<std::string> exec_line(agent_platform platform, const std::vector<std::string>& words,
                                     std::string* error = nullptr);

}  // namespace kvsctl
