// kvsctl: the shell's line editor on a terminal: a prompt, history and line
// editing, while the agent's lines keep arriving and are shown above the
// line being typed.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kvsctl {

class line_editor {
 public:
  virtual ~line_editor() = default;
  // The next line typed, without its line end; none once the input ended or
  // `pump` said the connection did. While it waits for keys, `pump` is called
  // each time the connection is readable.
  virtual std::optional<std::string> read_line() = 0;
  // Prints a line on standard output above the line being typed, which is
  // then drawn again as it was.
  virtual void print(std::string_view line) = 0;
};

// `pump` reads what the connection `conn_fd` brought and prints it with
// print(); it returns false when the connection has ended. None when
// standard input is no terminal or kvsctl was built without an editor.
std::unique_ptr<line_editor> terminal_editor(const std::string& prompt, int conn_fd, std::function<bool()> pump);

}  // namespace kvsctl
