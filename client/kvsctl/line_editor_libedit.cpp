// kvsctl: the shell's line editor from libedit. libedit reads its keys
// through a function of ours, which also watches the connection: the agent's
// lines are printed while a line is being typed, and the line is redrawn.
#include <histedit.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cwchar>

#include "client/kvsctl/internal.h"
#include "client/kvsctl/line_editor.h"

namespace kvsctl {

namespace {

class libedit_editor : public line_editor {
 public:
  libedit_editor(std::string prompt, int conn_fd, std::function<bool()> pump)
      : prompt_(std::move(prompt)), conn_fd_(conn_fd), pump_(std::move(pump)) {
    std::setlocale(LC_CTYPE, "");  // characters of more than one byte, as the terminal has them
    history_ = ::history_init();
    ::history(history_, &event_, H_SETSIZE, 1000);
    ::history(history_, &event_, H_SETUNIQUE, 1);
    editor_ = ::el_init("kvsctl", stdin, stdout, stderr);
    ::el_set(editor_, EL_CLIENTDATA, this);
    ::el_set(editor_, EL_PROMPT, &libedit_editor::prompt_of);
    ::el_set(editor_, EL_EDITOR, "emacs");
    ::el_set(editor_, EL_HIST, ::history, history_);
    ::el_set(editor_, EL_SIGNAL, 1);  // the terminal is restored on a signal, resized on SIGWINCH
    ::el_set(editor_, EL_GETCFN, &libedit_editor::next_key);
    ::el_source(editor_, nullptr);  // the user's ~/.editrc
  }
  ~libedit_editor() override {
    ::el_end(editor_);
    ::history_end(history_);
  }

  std::optional<std::string> read_line() override {
    int count = 0;
    const char* line = ::el_gets(editor_, &count);
    if (line == nullptr || count <= 0) {
      if (!closed_) write_all(1, "\n");
      return std::nullopt;
    }
    std::string text(line, static_cast<std::size_t>(count));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) ::history(history_, &event_, H_ENTER, text.c_str());
    return text;
  }

  void print(std::string_view line) override {
    if (!typing_) {
      write_all(1, std::string(line) + "\n");
      return;
    }
    write_all(1, "\r\x1b[K" + std::string(line) + "\n");
    redraw_ = true;
  }

 private:
  static char* prompt_of(EditLine* editor) {
    void* self = nullptr;
    ::el_get(editor, EL_CLIENTDATA, &self);
    return static_cast<libedit_editor*>(self)->prompt_.data();
  }

  // libedit's key reader: one character from standard input, the
  // connection served meanwhile. 1 with a character, 0 at the end.
  static int next_key(EditLine* editor, wchar_t* key) {
    void* data = nullptr;
    ::el_get(editor, EL_CLIENTDATA, &data);
    auto* self = static_cast<libedit_editor*>(data);
    std::mbstate_t state{};
    for (;;) {
      pollfd fds[2] = {{0, POLLIN, 0}, {self->conn_fd_, POLLIN, 0}};
      int n = ::poll(fds, self->closed_ ? 1 : 2, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (!self->closed_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        self->typing_ = true;
        bool open = self->pump_();
        self->typing_ = false;
        if (self->redraw_) {
          self->redraw_ = false;
          ::el_set(editor, EL_REFRESH);
        }
        if (!open) {
          self->closed_ = true;
          return 0;
        }
      }
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char byte = 0;
      ssize_t got = ::read(0, &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return 0;
      // A character may take several bytes.
      std::size_t done = std::mbrtowc(key, &byte, 1, &state);
      if (done == static_cast<std::size_t>(-2)) continue;
      if (done == static_cast<std::size_t>(-1)) {
        state = std::mbstate_t{};
        *key = static_cast<unsigned char>(byte);
      }
      return 1;
    }
  }

  std::string prompt_;
  int conn_fd_;
  std::function<bool()> pump_;
  EditLine* editor_ = nullptr;
  History* history_ = nullptr;
  HistEvent event_{};
  bool typing_ = false;
  bool redraw_ = false;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<line_editor> terminal_editor(const std::string& prompt, int conn_fd, std::function<bool()> pump) {
  if (::isatty(0) != 1 || ::isatty(1) != 1) return nullptr;
  return std::make_unique<libedit_editor>(prompt, conn_fd, std::move(pump));
}

}  // namespace kvsctl
