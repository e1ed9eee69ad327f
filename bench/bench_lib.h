// Pieces of the benchmark driver that do not measure anything themselves:
// statistics, the processes it starts, /proc readings, a lean line channel,
// and the parsers and checkers of what the agent sends back.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

using clock = std::chrono::steady_clock;

inline double micros_since(clock::time_point start) {
  return std::chrono::duration<double, std::micro>(clock::now() - start).count();
}

// Nearest-rank percentile (p in 0..100) of the samples; 0 when there are none.
double percentile(std::vector<double> samples, double p);
double median(std::vector<double> samples);

// A process this driver started; killed (SIGKILL) and reaped when its owner
// goes, unless it was already reaped.
class child {
 public:
  child() = default;
  child(const child&) = delete;
  child& operator=(const child&) = delete;
  child(child&& other) noexcept;
  child& operator=(child&& other) noexcept;
  ~child();

  // Starts argv[0] (found along PATH) in `cwd` (empty: ours) with `env` added
  // to our environment; its output goes to `log` (empty: /dev/null).
  static std::optional<child> start(const std::vector<std::string>& argv, const std::string& cwd = {},
                                    const std::map<std::string, std::string>& env = {},
                                    const std::string& log = {});
  pid_t pid() const { return pid_; }
  // Waits at most timeout_ms for the end; its exit status (128 + N for signal N).
  std::optional<int> wait(int timeout_ms);
  void kill();

 private:
  pid_t pid_ = -1;
};

// Resident memory of a process in KiB (VmRSS), or -1.
long rss_kib(pid_t pid);
// The part of it that is the process's own (private pages, clean or dirty,
// from smaps_rollup); -1. Clean private pages are pages of files (program
// text) that no other process has touched yet: a second such process shares
// them. The dirty ones (heap, stack, written data) are what one more such
// process costs.
long private_kib(pid_t pid);
long private_dirty_kib(pid_t pid);
// Proportional set size: each resident page divided by the number of
// processes that map it (smaps_rollup); -1.
long pss_kib(pid_t pid);
// Times the process has gone to sleep and woken up again (voluntary
// context switches), and the CPU time it has used, in ms; -1.
long wake_ups(pid_t pid);
long cpu_ms(pid_t pid);
// Pids whose parent is `parent`.
std::vector<pid_t> children_of(pid_t parent);
// Whether a child of the daemon is the connection process it started ahead
// of the next connection, still waiting for it (nothing open besides 0-2 but
// its channel to the daemon).
bool waiting_spare(pid_t pid);
// True when something listens on the TCP port (IPv4 or IPv6).
bool port_listening(int port);
// A TCP port nothing listens on right now.
int free_port();
// Load average over the last minute.
double load_average();
// One line describing the machine (CPU model, cores, kernel).
std::string machine_description();

// A command-style connection with blocking I/O and a receive time limit, so
// that a measuring loop spends nothing beyond one send and one receive on a
// reply, and still never waits forever.
class line_channel {
 public:
  line_channel() = default;
  line_channel(const line_channel&) = delete;
  line_channel& operator=(const line_channel&) = delete;
  line_channel(line_channel&& other) noexcept;
  line_channel& operator=(line_channel&& other) noexcept;
  ~line_channel();

  bool open(const std::string& host, int port, int timeout_ms);
  // Takes over a connected socket.
  void adopt(int fd, int timeout_ms);
  int fd() const { return fd_; }
  bool send_line(std::string_view line);
  bool send_raw(std::string_view bytes);
  // The next line without its CR LF; none on time-out or end of stream.
  std::optional<std::string> read_line();
  // Reads lines until one starts with `prefix`; none on time-out or end.
  std::optional<std::string> read_until(std::string_view prefix);
  std::optional<std::string> command(std::string_view line) {
    if (!send_line(line)) return std::nullopt;
    return read_line();
  }
  void close();

 private:
  int fd_ = -1;
  std::string pending_;
  std::size_t scan_ = 0;  // where the search for the next CR LF resumes
};

// The process number of a "261 child process launched : %N" reply; -1.
int launched_number(std::string_view line);
// The process numbers a "661 process stopped : %K => %N (%C), ..." line
// reports; empty when the line is not one.
std::vector<int> stopped_numbers(std::string_view line);

// Checks a dynamic-follow relay: boot notifications name each tester, then
// every line "<keyword> <tester> <seq>" must arrive once, in order per tester.
class relay_checker {
 public:
  relay_checker(int testers, int lines_per_tester);
  // Feeds one notification line the studio received. Returns false on a
  // notification that breaks the rules (the reason is kept).
  bool feed(std::string_view line);
  int boots() const { return boots_; }
  long lines() const { return lines_; }
  bool complete() const { return boots_ == testers_ && lines_ == static_cast<long>(testers_) * per_tester_; }
  const std::string& error() const { return error_; }

 private:
  bool fail(std::string reason);
  int testers_;
  int per_tester_;
  int boots_ = 0;
  long lines_ = 0;
  std::map<int, int> tester_of_id_;  // agent's tester_id -> our tester number
  std::vector<int> next_seq_;        // per tester number
  std::string error_;
};

// The line a bench tester sends: "TSF_notify <tester> <seq>".
std::string tester_line(int tester, int seq);

// Fills a file with `bytes` of pseudo-random data (binary) or of LF-ended
// text lines (text). False when it cannot be written.
bool make_file(const std::string& path, std::uint64_t bytes, bool text);
// True when both files hold the same bytes.
bool same_content(const std::string& a, const std::string& b);

}  // namespace bench
