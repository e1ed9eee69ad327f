#include "client/kvsctl/progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

namespace kvsctl {

namespace {

volatile std::sig_atomic_t window_changed = 1;  // read the width at the first draw

void on_window_change(int) { window_changed = 1; }

int terminal_width() {
  static int width = 80;
  if (window_changed != 0) {
    window_changed = 0;
    winsize size{};
    if (::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) width = size.ws_col;
  }
  return width;
}

std::string human_size(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

std::string clock_text(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// The byte length of the first `columns` characters of UTF-8 text.
std::size_t bytes_of_columns(std::string_view text, std::size_t columns) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xc0) == 0x80) continue;  // inside a character
    if (seen++ == columns) break;
  }
  return i;
}

std::size_t columns_of(std::string_view text) {
  std::size_t n = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++n;
  return n;
}

// The name cut in its middle to at most `room` columns ("abc...xyz").
std::string shorten(std::string_view name, std::size_t room) {
  std::size_t columns = columns_of(name);
  if (columns <= room) return std::string(name);
  if (room < 5) return std::string(name.substr(0, bytes_of_columns(name, room)));
  std::size_t head = (room - 3) / 2;
  std::size_t tail = room - 3 - head;
  std::size_t tail_at = bytes_of_columns(name, columns - tail);
  return std::string(name.substr(0, bytes_of_columns(name, head))) + "..." + std::string(name.substr(tail_at));
}

// The name, then the fields in display order, in width-1 columns: the
// fields are taken by priority while they fit next to a name of at least a
// few columns, which then gets the rest of the room.
struct field {
  std::string text;
  int priority;  // 0 first
};

std::string fit(int width, std::string_view name, const std::vector<field>& fields) {
  std::size_t room = static_cast<std::size_t>(std::max(width - 1, 1));
  std::size_t name_min = std::min<std::size_t>(columns_of(name), 12);
  std::vector<bool> taken(fields.size(), false);
  std::size_t used = name_min;
  for (int priority = 0; priority < 8; ++priority)
    for (std::size_t i = 0; i < fields.size(); ++i)
      if (fields[i].priority == priority && used + columns_of(fields[i].text) <= room) {
        taken[i] = true;
        used += columns_of(fields[i].text);
      }
  std::string right;
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (taken[i]) right += fields[i].text;
  std::string line = shorten(name, room - (used - name_min)) + right;
  return line.substr(0, bytes_of_columns(line, room));
}

}  // namespace

std::string progress_text(int width, std::string_view name, long long bytes, long long total, double seconds) {
  // The rate of the first moments says little: it shows after half a second.
  double rate = seconds >= 0.5 ? static_cast<double>(bytes) / seconds : 0;
  std::vector<field> fields;
  std::string size = "  " + human_size(static_cast<double>(bytes));
  std::string speed = rate > 0 ? "  " + human_size(rate) + "/s" : "";
  if (total <= 0) return fit(width, name, {{size, 0}, {speed, 1}});
  int percent = static_cast<int>(std::min<long long>(100, bytes * 100 / total));
  char number[8];
  std::snprintf(number, sizeof number, " %3d%%", percent);
  std::string left;
  if (rate > 0 && bytes < total) left = "  " + clock_text(static_cast<double>(total - bytes) / rate) + " left";
  // A bar of what the other fields and a fair share for the name leave.
  int spare = width - 1 - static_cast<int>(columns_of(number) + columns_of(size) + columns_of(speed) + columns_of(left)) -
              std::min<int>(static_cast<int>(columns_of(name)), 24);
  int bar = std::min(spare - 3, 40);
  std::string bar_text;
  if (bar >= 10) {
    int filled = bar * percent / 100;
    bar_text = "  [" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(bar - filled), '.') + "]";
  }
  return fit(width, name, {{bar_text, 4}, {number, 0}, {size, 3}, {speed, 1}, {left, 2}});
}

std::string progress_summary(int width, std::string_view name, long long bytes, double seconds, int files) {
  char when[32];
  std::snprintf(when, sizeof when, seconds < 10 ? "%.2f s" : "%.0f s", seconds);
  std::string files_text = files > 1 ? " " + std::to_string(files) + " files," : "";
  std::string speed = seconds > 0 ? " (" + human_size(static_cast<double>(bytes) / seconds) + "/s)" : "";
  return fit(width, name,
             {{":", 0}, {files_text, 2}, {" " + human_size(static_cast<double>(bytes)), 0}, {" in " + std::string(when), 1},
              {speed, 3}});
}

progress_line::progress_line(const options& o, std::string name, long long total)
    : enabled_(!o.quiet && ::isatty(2) == 1), name_(std::move(name)), total_(total) {
  static bool installed = false;
  if (enabled_ && !installed) {
    installed = true;
    struct sigaction action {};
    action.sa_handler = on_window_change;
    action.sa_flags = SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGWINCH, &action, nullptr);
  }
}

void progress_line::add(std::size_t bytes) {
  bytes_ += static_cast<long long>(bytes);
  draw();
}

void progress_line::draw() {
  if (!enabled_) return;
  auto now = clock::now();
  if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
  shown_ = true;
  last_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  write_all(2, "\r" + progress_text(terminal_width(), name_, bytes_, total_, seconds) + "\x1b[K");
}

void progress_line::done(const std::string& summary_name) {
  if (!enabled_) return;
  double seconds = std::chrono::duration<double>(clock::now() - start_).count();
  write_all(2, "\r" + progress_summary(terminal_width(), summary_name, bytes_, seconds, files_) + "\x1b[K\n");
}

}  // namespace kvsctl
