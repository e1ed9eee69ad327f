// Windows command lines: the quoting that gives a program's words back
// through CreateProcess (the program name) and the C runtime's splitting of
// the arguments (CommandLineToArgvW). Pure logic.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

// Whether the line goes through the agent's "$NAME" expansion first (an EXEC
// line a studio sends) or straight to CreateProcess (the agent's own launch).
enum class dollar_references { expanded, literal };

// One argument, quoted so that the C runtime gives it back exactly: as it is
// when it is not empty and holds no blank, tab, quote, CR, LF or vertical
// tab; otherwise in double quotes, with the backslashes before a quote (or
// before the closing quote) doubled and the quote escaped. With `expanded`,
// wherever the expansion would see a variable name (a '$' before a letter,
// digit, '_' or '{') the quotes are closed after the '$' and the next
// character stands outside them; a CR before an LF is cut from it the same
// way, so that no CR LF ends the protocol line. Two quotes never stand side
// by side inside quotes, where runtimes disagree.
std::string quote_windows_argument(std::string_view word, dollar_references dollars);

// The program name as CreateProcess reads it: up to the first blank or tab,
// or between quotes without any escapes. None when the name cannot be sent
// that way: it holds a quote, a CR or an LF (no Windows file name does), or
// with `expanded` a '$' before a variable name.
std::optional<std::string> quote_windows_program(std::string_view name, dollar_references dollars);

// The arguments joined by blanks, each quoted as quote_windows_argument does
// (the program name included: a word to a program's own parser).
std::string quote_windows_arguments(const std::vector<std::string>& words, dollar_references dollars);

}  // namespace protocol
