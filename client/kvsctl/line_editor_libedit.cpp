// kvsctl: the shell's line editor, from libedit's readline interface, read
// one character at a time so that the agent's lines are shown meanwhile.
#include <editline/readline.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "client/kvsctl/internal.h"
#include "client/kvsctl/line_editor.h"

namespace kvsctl {

namespace {

class libedit_source;
libedit_source* active = nullptr;  // readline's callback has no context

class libedit_source : public line_source {
 public:
  libedit_source(const std::string& prompt, line_handler on_line) : prompt_(prompt), on_line_(std::move(on_line)) {
    active = this;
    ::rl_callback_handler_install(prompt_.c_str(), &libedit_source::take);
  }
  ~libedit_source() override {
    ::rl_callback_handler_remove();
    active = nullptr;
  }

  bool read_ready() override {
    ::rl_callback_read_char();
    return !ended_;
  }

  void print(std::string_view line) override {
    // Clear the line being typed, print above it, draw it again.
    write_all(1, "\r\x1b[K" + std::string(line) + "\n");
    if (!ended_) ::rl_forced_update_display();
  }

 private:
  static void take(char* raw) {
    // readline's lines are malloc'ed and the receiver frees them.
    std::unique_ptr<char, void (*)(void*)> line(raw, std::free);
    libedit_source* self = active;
    if (self == nullptr) return;
    if (line == nullptr) {
      self->ended_ = true;
      write_all(1, "\n");
      return;
    }
    std::string text(line.get());
    if (!text.empty()) ::add_history(text.c_str());
    self->on_line_(std::move(text));
  }

  std::string prompt_;
  line_handler on_line_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<line_source> terminal_editor(const std::string& prompt, line_handler on_line) {
  if (::isatty(0) != 1) return nullptr;
  return std::make_unique<libedit_source>(prompt, std::move(on_line));
}

}  // namespace kvsctl
