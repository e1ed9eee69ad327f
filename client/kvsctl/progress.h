// kvsctl: the progress line of put and get on a terminal.
#pragma once

#include <string>

#include "client/kvsctl/internal.h"

namespace kvsctl {

// Drawn on standard error when it is a terminal and -q was not given: the
// line is redrawn in place (at most ten times a second), sized to the
// terminal's width, read at the start and again after each SIGWINCH; done()
// replaces it with a summary line.
class progress_line {
 public:
  progress_line(const options& o, std::string name, long long total);
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

  void add(std::size_t bytes);
  void rename(std::string name) { name_ = std::move(name); }
  void count_file() { ++files_; }
  // Replaces the line with the summary line.
  void done(const std::string& summary_name);

 private:
  void draw();

  bool enabled_;
  std::string name_;
  long long total_;
  long long bytes_ = 0;
  int files_ = 0;
  clock::time_point start_ = clock::now();
  clock::time_point last_{};
  bool shown_ = false;
};

}  // namespace kvsctl
