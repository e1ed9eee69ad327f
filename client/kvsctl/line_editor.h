// kvsctl: where the shell's typed lines come from. On a terminal, a line
// editor with a prompt and history; otherwise lines read as they come.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kvsctl {

class line_source {
 public:
  virtual ~line_source() = default;
  // Standard input is readable: reads what is there and hands over every
  // complete line. False once the input has ended.
  virtual bool read_ready() = 0;
  // Prints a line of the agent's on standard output, above the line being
  // typed, which is then shown again as it was.
  virtual void print(std::string_view line) = 0;
};

using line_handler = std::function<void(std::string)>;

// A line editor on the terminal of standard input; none when standard input
// is no terminal or kvsctl was built without one.
std::unique_ptr<line_source> terminal_editor(const std::string& prompt, line_handler on_line);

}  // namespace kvsctl
