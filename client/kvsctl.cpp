// kvsctl: the commands. Each opens its own connection to the agent,
// identifies, does its work and ends the connection with QUIT.
#include "client/kvsctl.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "client/studio.h"
#include "client/trace.h"
#include "client/transfer.h"

namespace kvsctl {

namespace {

using clock = std::chrono::steady_clock;
// Owns any descriptor (files as well as sockets): closes it once.
using owned_fd = studio::socket_fd;

constexpr std::string_view kGreeting = "210 hello, please to meet you.";
constexpr std::string_view kBye = "221 bye.";
constexpr std::string_view kRendezvousWait = "601 wait rendezvous : ";
constexpr std::string_view kDynfollowEnd = "702 end dynfollow : ";
constexpr std::size_t kChunk = 64 * 1024;

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

int ms_until(clock::time_point when) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 24LL * 3600 * 1000));
}

std::string seconds_text(int ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
  return text;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// One line on standard error, prefixed with the tool's name.
void report(const std::string& text) { write_all(2, "kvsctl: " + text + "\n"); }

std::string local_user() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<std::size_t>(size < 1024 ? 16384 : size));
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0')
    return found->pw_name;
  for (const char* variable : {"USER", "LOGNAME"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "";
}

// A dead peer or network shows as a failed connection instead of a silent one.
void keep_alive(int fd, int timeout_ms) {
  int on = 1;
  int idle = std::max(1, timeout_ms / 1000);
  int interval = std::max(1, idle / 3);
  int count = 3;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

// The agent skips the blanks that follow a command word, so a name that
// begins with one is sent as a path relative to the current directory.
std::string remote_argument(const std::string& name) {
  if (!name.empty() && (name[0] == ' ' || name[0] == '\t')) return "./" + name;
  return name;
}

// An identified command connection.
class agent_session {
 public:
  explicit agent_session(const options& o) : o_(o), target_(format_target(o.host, o.port)) {}

  // Connects, takes the greeting and identifies; false after reporting why.
  bool open() {
    std::string error;
    note("connecting to " + target_);
    if (!conn_.open(o_.host, o_.port, o_.timeout_ms, &error)) {
      report(error);
      return false;
    }
    keep_alive(conn_.fd(), o_.timeout_ms);
    std::optional<std::string> greeting = conn_.read_line(o_.timeout_ms);
    if (!greeting) {
      fail(conn_.peer_closed() ? "the agent closed the connection without a greeting"
                               : "no greeting within " + seconds_text(o_.timeout_ms));
      return false;
    }
    note(*greeting);
    if (!starts_with(*greeting, "210 ")) {
      fail("unexpected greeting: " + *greeting);
      return false;
    }
    std::string user = o_.user.empty() ? local_user() : o_.user;
    if (user.empty()) {
      fail("cannot tell the local user name; give one with -u");
      return false;
    }
    std::optional<std::string> reply = command("Qim " + user);
    if (!reply) {
      fail(no_reply("Qim"));
      return false;
    }
    if (!starts_with(*reply, "310")) {
      fail("identification as " + user + " refused: " + *reply);
      return false;
    }
    return true;
  }

  studio::connection& conn() { return conn_; }
  const std::string& target() const { return target_; }
  // Lines that arrived while a reply was awaited.
  std::deque<std::string>& deferred() { return deferred_; }

  bool send(const std::string& line) {
    note("> " + line);
    return conn_.send_line(line);
  }

  // Sends a line and returns its reply; notifications that come first are
  // kept in deferred().
  std::optional<std::string> command(const std::string& line) {
    if (!send(line)) return std::nullopt;
    for (;;) {
      std::optional<std::string> reply = conn_.read_line(o_.timeout_ms);
      if (!reply) return reply;
      note("< " + *reply);
      if (!studio::is_notification(*reply)) return reply;
      deferred_.push_back(std::move(*reply));
    }
  }

  // command() that wants a reply with `code`; otherwise reports
  // "<what>: <reply>" and returns false.
  bool expect(const std::string& line, std::string_view code, const std::string& what, std::string* reply = nullptr) {
    std::optional<std::string> answer = command(line);
    std::string word = line.substr(0, line.find(' '));
    if (!answer) {
      fail(what + ": " + no_reply(word));
      return false;
    }
    if (!starts_with(*answer, code)) {
      fail(what + ": " + *answer);
      return false;
    }
    if (reply != nullptr) *reply = *answer;
    return true;
  }

  // Ends the connection: QUIT, then the agent's "221 bye." and its close.
  bool quit() {
    if (!send("QUIT")) return false;
    bool bye = false;
    for (;;) {
      std::optional<std::string> line = conn_.read_line(o_.timeout_ms);
      if (!line) break;
      note("< " + *line);
      if (*line == kBye) bye = true;
    }
    conn_.close();
    return bye;
  }

  std::string no_reply(const std::string& word) const {
    return conn_.peer_closed() ? "the agent closed the connection after " + word
                               : "no reply to " + word + " within " + seconds_text(o_.timeout_ms);
  }

  void fail(const std::string& what) const { report(target_ + ": " + what); }
  void note(const std::string& what) const {
    if (o_.verbose) report(what);
  }

 private:
  const options& o_;
  std::string target_;
  studio::connection conn_;
  std::deque<std::string> deferred_;
};

// Answers the testers of the connection as the options say: RVOK/RVKO to
// each rendezvous reached, DFOK/DFKO to each tester that ends its report.
class tester_answers {
 public:
  tester_answers(const options& o, agent_session& s, bool hint) : o_(o), s_(s), hint_(hint) {}

  void on_line(const std::string& line) {
    if (starts_with(line, kRendezvousWait)) {
      std::string name = line.substr(kRendezvousWait.size());
      if (o_.rendezvous != auto_answer::none) {
        s_.send((o_.rendezvous == auto_answer::ok ? "RVOK " : "RVKO ") + name);
      } else if (hint_ && !rendezvous_hinted_) {
        rendezvous_hinted_ = true;
        report("a tester waits at rendezvous '" + name + "' (answer with --rendezvous ok|ko)");
      }
    } else if (starts_with(line, kDynfollowEnd)) {
      std::string rest = line.substr(kDynfollowEnd.size());
      std::string id = rest.substr(0, rest.find(' '));
      if (o_.dynfollow != auto_answer::none) {
        s_.send((o_.dynfollow == auto_answer::ok ? "DFOK " : "DFKO ") + id);
      } else if (hint_ && !dynfollow_hinted_) {
        dynfollow_hinted_ = true;
        report("tester " + id + " waits for an answer to its report (answer with --dynfollow ok|ko)");
      }
    }
  }

 private:
  const options& o_;
  agent_session& s_;
  bool hint_;
  bool rendezvous_hinted_ = false;
  bool dynfollow_hinted_ = false;
};

// ---------------------------------------------------------------- run

class program_run {
 public:
  program_run(const options& o, agent_session& s, studio::trace_connection& trace, int number)
      : o_(o), s_(s), trace_(trace), number_(number), answers_(o, s, true) {}

  // Streams until the program's end has been reported, then ends the
  // connection and prints the rest of the output. The exit status.
  int wait() {
    studio::connection& conn = s_.conn();
    bool input_open = !o_.no_input;
    if (!input_open) shut_input();
    last_heard_ = clock::now();
    while (!s_.deferred().empty()) {
      std::string line = std::move(s_.deferred().front());
      s_.deferred().pop_front();
      on_line(line);
    }
    while (!code_) {
      if (conn.has_buffered_line()) {
        read_lines();
        continue;
      }
      pollfd fds[3];
      nfds_t count = 0;
      fds[count++] = {conn.fd(), POLLIN, 0};
      int trace_at = -1;
      int input_at = -1;
      if (trace_open_ || !pending_.empty()) {
        short events = trace_open_ ? POLLIN : 0;
        if (!pending_.empty()) events |= POLLOUT;
        trace_at = static_cast<int>(count);
        fds[count++] = {trace_.fd(), events, 0};
      }
      if (input_open && pending_.size() < kChunk) {
        input_at = static_cast<int>(count);
        fds[count++] = {0, POLLIN, 0};
      }
      int n = ::poll(fds, count, ping_wait());
      if (n < 0 && errno != EINTR) {
        s_.fail(std::string("poll: ") + std::strerror(errno));
        return kExitAgent;
      }
      if (!check_alive()) return kExitAgent;
      if (n <= 0) continue;
      constexpr short kReady = POLLIN | POLLHUP | POLLERR;
      if (trace_at >= 0 && (fds[trace_at].revents & kReady) != 0 && trace_open_ && !copy_output()) return kExitAgent;
      if (trace_at >= 0 && (fds[trace_at].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && !pending_.empty())
        send_input();
      if (input_at >= 0 && (fds[input_at].revents & kReady) != 0) input_open = read_input();
      if ((fds[0].revents & kReady) != 0) {
        read_lines();
        if (!code_ && conn.peer_closed()) {
          s_.fail("the agent closed the connection before the program ended");
          drain(std::min(o_.timeout_ms, 2000));
          return kExitAgent;
        }
      }
    }
    // The agent closes the trace connection when the connection ends, after
    // everything the program wrote: reading it to its end gets the last bytes.
    s_.send("QUIT");
    drain(o_.timeout_ms);
    if (output_failed_) return kExitAgent;
    return exit_status_for(*code_);
  }

 private:
  void on_line(const std::string& line) {
    last_heard_ = clock::now();
    if (pings_ > 0 && line == kGreeting) {
      --pings_;
      return;
    }
    s_.note("< " + line);
    if (std::optional<int> code = stopped_exit_code(line, number_)) {
      code_ = code;
      return;
    }
    answers_.on_line(line);
  }

  void read_lines() {
    while (std::optional<std::string> line = s_.conn().read_line(0)) on_line(*line);
  }

  // Liveness of the agent while the program runs: after a silence of the
  // reply time-out a HELO is sent, and its answer must come within as long.
  int ping_wait() {
    auto now = clock::now();
    auto limit = std::chrono::milliseconds(o_.timeout_ms);
    if (pings_ == 0 && now - last_heard_ >= limit) {
      if (s_.conn().send_line("HELO")) {
        ++pings_;
        ping_sent_ = now;
      }
    }
    return ms_until((pings_ > 0 ? ping_sent_ : last_heard_) + limit);
  }

  bool check_alive() {
    if (pings_ == 0 || last_heard_ > ping_sent_) return true;
    if (clock::now() - ping_sent_ < std::chrono::milliseconds(o_.timeout_ms)) return true;
    s_.fail("the agent stopped answering (no reply to HELO within " + seconds_text(o_.timeout_ms) + ")");
    return false;
  }

  // Copies what arrived on the trace connection to standard output.
  bool copy_output() {
    char chunk[kChunk];
    ssize_t n = ::recv(trace_.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      trace_open_ = false;
      return true;
    }
    if (!output_failed_ && !write_all(1, std::string_view(chunk, static_cast<std::size_t>(n)))) {
      report(std::string("cannot write the program's output: ") + std::strerror(errno));
      output_failed_ = true;
      return false;
    }
    return true;
  }

  // Reads standard input; false once it has ended.
  bool read_input() {
    char chunk[kChunk];
    ssize_t n = ::read(0, chunk, kChunk - pending_.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      input_ended_ = true;
      if (pending_.empty()) shut_input();
      return false;
    }
    pending_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  void send_input() {
    ssize_t n = ::send(trace_.fd(), pending_.data(), pending_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n < 0) {
      // The program's side is gone: what it did not read is dropped.
      pending_.clear();
      input_ended_ = true;
    } else {
      pending_.erase(0, static_cast<std::size_t>(n));
    }
    if (pending_.empty() && input_ended_) shut_input();
  }

  // The program reads the end of its input.
  void shut_input() {
    if (!input_shut_) trace_.close_input();
    input_shut_ = true;
  }

  // After the end: prints the rest of the output and the agent's last lines
  // until both connections have closed. Stops waiting after quiet_ms without
  // anything arriving (a program's child that keeps the trace connection open
  // on its own does not hold kvsctl).
  void drain(int quiet_ms) {
    studio::connection& conn = s_.conn();
    auto deadline = clock::now() + std::chrono::milliseconds(quiet_ms);
    while (trace_open_ || !conn.peer_closed()) {
      pollfd fds[2];
      nfds_t count = 0;
      int trace_at = -1;
      if (!conn.peer_closed()) fds[count++] = {conn.fd(), POLLIN, 0};
      if (trace_open_) {
        trace_at = static_cast<int>(count);
        fds[count++] = {trace_.fd(), POLLIN, 0};
      }
      int n = ::poll(fds, count, ms_until(deadline));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      constexpr short kReady = POLLIN | POLLHUP | POLLERR;
      if (trace_at >= 0 && (fds[trace_at].revents & kReady) != 0) {
        if (!copy_output()) return;
        deadline = clock::now() + std::chrono::milliseconds(quiet_ms);
      }
      if (!conn.peer_closed() && (fds[0].revents & kReady) != 0) {
        while (std::optional<std::string> line = conn.read_line(0)) s_.note("< " + *line);
        deadline = clock::now() + std::chrono::milliseconds(quiet_ms);
      }
    }
  }

  const options& o_;
  agent_session& s_;
  studio::trace_connection& trace_;
  int number_;
  tester_answers answers_;
  std::optional<int> code_;
  std::string pending_;  // standard input not yet taken by the trace connection
  bool trace_open_ = true;
  bool input_ended_ = false;
  bool input_shut_ = false;
  bool output_failed_ = false;
  int pings_ = 0;
  clock::time_point last_heard_;
  clock::time_point ping_sent_;
};

int run_program(const options& o) {
  agent_session s(o);
  if (!s.open()) return kExitAgent;
  for (const auto& [name, value] : o.environment)
    if (!s.expect("SENV " + name + "=" + value, "212", "cannot set " + name)) return kExitAgent;
  if (!o.directory.empty() &&
      !s.expect("CWD " + remote_argument(o.directory), "251", "cannot change to directory " + o.directory))
    return kExitAgent;
  std::string error;
  studio::trace_connection trace = studio::establish_trace(s.conn(), o.host, o.timeout_ms, &error);
  if (!trace.valid()) {
    s.fail("cannot open the trace connection: " + error);
    return kExitAgent;
  }
  std::string reply;
  if (!s.expect("EXEC " + quote_command(o.program), "261", "cannot launch " + o.program[0], &reply))
    return kExitAgent;
  int number = studio::reply_number(reply);
  if (number < 1) {
    s.fail("EXEC answered: " + reply);
    return kExitAgent;
  }
  program_run run(o, s, trace, number);
  return run.wait();
}

// ---------------------------------------------------------------- put, get

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

// A progress line on standard error, shown only on a terminal and only for a
// transfer that takes more than a moment.
class progress_bar {
 public:
  progress_bar(bool enabled, std::string label, long long total)
      : enabled_(enabled), label_(std::move(label)), total_(total) {}

  void add(std::size_t bytes) {
    bytes_ += static_cast<long long>(bytes);
    draw(false);
  }

  void done() {
    if (!shown_) return;
    draw(true);
    write_all(2, "\n");
  }

 private:
  void draw(bool final) {
    if (!enabled_) return;
    auto now = clock::now();
    if (!shown_ && now - start_ < std::chrono::milliseconds(500)) return;
    if (!final && shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    shown_ = true;
    last_ = now;
    double seconds = std::chrono::duration<double>(now - start_).count();
    std::string line = "\r" + label_ + "  " + human_size(static_cast<double>(bytes_));
    if (total_ > 0) {
      int percent = static_cast<int>(std::min<long long>(100, bytes_ * 100 / total_));
      int filled = percent / 5;
      line += " of " + human_size(static_cast<double>(total_)) + "  [" + std::string(static_cast<std::size_t>(filled), '#') +
              std::string(static_cast<std::size_t>(20 - filled), '.') + "] " + std::to_string(percent) + "%";
    }
    if (seconds > 0) line += "  " + human_size(static_cast<double>(bytes_) / seconds) + "/s";
    line += "\x1b[K";
    write_all(2, line);
  }

  bool enabled_;
  std::string label_;
  long long total_;
  long long bytes_ = 0;
  clock::time_point start_ = clock::now();
  clock::time_point last_;
  bool shown_ = false;
};

bool show_progress(const options& o) { return !o.quiet && ::isatty(2) == 1; }

// A file written next to its final name and renamed over it only when
// complete, so that a failed transfer leaves an existing file as it was.
class staged_file {
 public:
  staged_file() = default;
  staged_file(const staged_file&) = delete;
  staged_file& operator=(const staged_file&) = delete;
  ~staged_file() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  bool create(const std::string& target) {
    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = dir + "/." + base + ".kvsctl-XXXXXX";
    fd_.reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd_.valid()) return false;
    path_ = pattern;
    return true;
  }

  int fd() const { return fd_.get(); }

  // Gives the file the mode of the file it replaces (or that of a new file)
  // and renames it; false with errno set when that fails.
  bool commit(const std::string& target) {
    struct stat existing {};
    mode_t mode;
    if (::stat(target.c_str(), &existing) == 0) {
      mode = existing.st_mode & 07777;
    } else {
      mode_t mask = ::umask(0);
      ::umask(mask);
      mode = 0666 & ~mask;
    }
    if (::fchmod(fd_.get(), mode) != 0) return false;
    if (::close(fd_.release()) != 0) return false;
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  owned_fd fd_;
  std::string path_;
};

// The outcome of a transfer: 0 done, 1 refused by the agent or a local
// failure, 255 when the connection failed.
int transfer_outcome(agent_session& s, const studio::transfer_result& result, const std::string& what,
                     const std::string& local_error) {
  if (!local_error.empty()) {
    report(what + ": " + local_error);
    s.quit();
    return kExitFailed;
  }
  if (result.ok) {
    s.quit();
    return kExitOk;
  }
  if (!result.reply.empty()) {
    s.fail(what + " failed: the agent answered " + result.reply);
    s.quit();
    return kExitFailed;
  }
  s.fail(what + " failed: " + (result.error.empty() ? std::string("no reply") : result.error));
  return kExitAgent;
}

// FTPA when --ascii was given; false, reported, when the agent does not agree.
bool choose_mode(agent_session& s, studio::file_transfer& transfer, const options& o) {
  if (!o.ascii || transfer.set_mode(studio::transfer_mode::ascii)) return true;
  s.fail(s.no_reply("FTPA"));
  return false;
}

int put_file(const options& o) {
  owned_fd file;
  int fd = 0;
  long long total = -1;
  if (o.local != "-") {
    file.reset(::open(o.local.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
      report("cannot open " + o.local + ": " + std::strerror(errno));
      return kExitFailed;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) == 0) {
      if (S_ISDIR(info.st_mode)) {
        report(o.local + " is a directory");
        return kExitFailed;
      }
      if (S_ISREG(info.st_mode)) total = info.st_size;
    }
    fd = file.get();
  }
  agent_session s(o);
  if (!s.open()) return kExitAgent;
  studio::file_transfer transfer(s.conn(), o.host, o.timeout_ms);
  if (!choose_mode(s, transfer, o)) return kExitAgent;
  progress_bar bar(show_progress(o), "put " + o.remote, total);
  std::string local_error;
  std::vector<char> text(kChunk / 2);
  studio::transfer_result result =
      transfer.put_stream(remote_argument(o.remote), [&](char* buffer, std::size_t room) -> long {
        // In ASCII mode a local byte may become two on the wire.
        char* into = o.ascii ? text.data() : buffer;
        std::size_t want = o.ascii ? std::min(room / 2, text.size()) : room;
        ssize_t n;
        do {
          n = ::read(fd, into, want);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
          local_error = std::string("cannot read ") + o.local + ": " + std::strerror(errno);
          return -1;
        }
        bar.add(static_cast<std::size_t>(n));
        if (!o.ascii) return static_cast<long>(n);
        std::string wire = studio::ascii_to_wire(std::string_view(text.data(), static_cast<std::size_t>(n)));
        return static_cast<long>(wire.copy(buffer, wire.size()));
      });
  bar.done();
  return transfer_outcome(s, result, "put " + o.remote, local_error);
}

int get_file(const options& o) {
  bool to_stdout = o.local == "-";
  std::string target = o.local;
  struct stat info {};
  if (!to_stdout && ::stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::string base = o.remote.substr(o.remote.rfind('/') + 1);
    if (base.empty() || base == "." || base == "..") {
      report("cannot tell a local name for " + o.remote + "; give LOCAL as a file name");
      return kExitFailed;
    }
    target += (target.back() == '/' ? "" : "/") + base;
  }
  staged_file staged;
  if (!to_stdout && !staged.create(target)) {
    report("cannot create " + target + ": " + std::strerror(errno));
    return kExitFailed;
  }
  int fd = to_stdout ? 1 : staged.fd();
  agent_session s(o);
  if (!s.open()) return kExitAgent;
  studio::file_transfer transfer(s.conn(), o.host, o.timeout_ms);
  if (!choose_mode(s, transfer, o)) return kExitAgent;
  progress_bar bar(show_progress(o), "get " + o.remote, -1);
  std::string local_error;
  studio::ascii_from_wire decoder;
  auto store = [&](std::string_view bytes) {
    if (local_error.empty() && !write_all(fd, bytes))
      local_error = "cannot write " + (to_stdout ? std::string("standard output") : target) + ": " + std::strerror(errno);
    return local_error.empty();
  };
  studio::transfer_result result = transfer.get_stream(remote_argument(o.remote), [&](std::string_view piece) {
    bar.add(piece.size());
    return o.ascii ? store(decoder.feed(piece)) : store(piece);
  });
  if (o.ascii) store(decoder.finish());
  bar.done();
  if (result.ok && local_error.empty() && !to_stdout && !staged.commit(target))
    local_error = "cannot write " + target + ": " + std::strerror(errno);
  return transfer_outcome(s, result, "get " + o.remote, local_error);
}

// ---------------------------------------------------------------- shell, follow, release

// Command lines from standard input, every line of the agent on standard
// output. The shell ends with its input (QUIT); follow runs until the agent
// closes the connection.
int interactive(const options& o, bool follow) {
  agent_session s(o);
  if (!s.open()) return kExitAgent;
  studio::connection& conn = s.conn();
  if (follow) {
    std::string dynfollow;
    std::string rendezvous;
    if (!s.expect("PDYN", "241", "no dynamic-follow port", &dynfollow) ||
        !s.expect("PRDV", "240", "no rendezvous port", &rendezvous))
      return kExitAgent;
    report("following " + s.target() + ": dynamic-follow port " + std::to_string(studio::reply_number(dynfollow)) +
           " (KVS_PORT_TSTAGT), rendezvous port " + std::to_string(studio::reply_number(rendezvous)) +
           " (KVS_PORT_RDV)");
  }
  tester_answers answers(o, s, false);
  bool output_ok = true;
  auto print = [&](const std::string& line) {
    if (output_ok && !write_all(1, line + "\n")) output_ok = false;
    answers.on_line(line);
  };
  while (!s.deferred().empty()) {
    print(s.deferred().front());
    s.deferred().pop_front();
  }
  bool input_open = true;
  bool quit_sent = false;
  std::string typed;
  auto last_heard = clock::now();
  auto send_typed = [&](std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return;
    if (line == "QUIT" || starts_with(line, "QUIT ") || starts_with(line, "QUIT\t")) quit_sent = true;
    s.send(line);
  };
  for (;;) {
    if (!output_ok) {
      report(std::string("cannot write to standard output: ") + std::strerror(errno));
      return kExitFailed;
    }
    if (conn.has_buffered_line()) {
      while (std::optional<std::string> line = conn.read_line(0)) print(*line);
      continue;
    }
    if (conn.peer_closed()) break;
    pollfd fds[2] = {{conn.fd(), POLLIN, 0}, {0, POLLIN, 0}};
    // After QUIT, the agent's silence is bounded.
    int wait = quit_sent ? ms_until(last_heard + std::chrono::milliseconds(o.timeout_ms)) : -1;
    int n = ::poll(fds, input_open ? 2 : 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      s.fail(std::string("poll: ") + std::strerror(errno));
      return kExitAgent;
    }
    if (n == 0) {
      s.fail("the agent did not end the connection after QUIT");
      return kExitAgent;
    }
    constexpr short kReady = POLLIN | POLLHUP | POLLERR;
    if ((fds[0].revents & kReady) != 0) {
      last_heard = clock::now();
      while (std::optional<std::string> line = conn.read_line(0)) print(*line);
    }
    if (input_open && (fds[1].revents & kReady) != 0) {
      char chunk[kChunk];
      ssize_t got = ::read(0, chunk, sizeof chunk);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got > 0) {
        typed.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t end; (end = typed.find('\n')) != std::string::npos;) {
          send_typed(typed.substr(0, end));
          typed.erase(0, end + 1);
        }
      } else {
        input_open = false;
        send_typed(std::move(typed));
        typed.clear();
        if (!follow && !quit_sent) {
          s.send("QUIT");
          quit_sent = true;
          last_heard = clock::now();
        }
      }
    }
  }
  if (quit_sent) return kExitOk;
  s.fail("the agent closed the connection");
  return kExitAgent;
}

int answer_rendezvous(const options& o) {
  agent_session s(o);
  if (!s.open()) return kExitAgent;
  // Neither RVOK nor RVKO has a reply line: the bye after QUIT tells that the
  // agent has handled it.
  if (!s.send((o.cmd == command::release ? "RVOK " : "RVKO ") + o.name) || !s.quit()) {
    s.fail("the connection ended before the agent said bye");
    return kExitAgent;
  }
  return kExitOk;
}

}  // namespace

int main(const std::vector<std::string>& args) {
  parse_result parsed = parse_arguments(args);
  switch (parsed.what) {
    case parse_result::kind::help:
    case parse_result::kind::version:
      return write_all(1, parsed.text) ? kExitOk : kExitFailed;
    case parse_result::kind::error:
      report(parsed.text + " (see kvsctl --help)");
      return kExitUsage;
    case parse_result::kind::ok:
      break;
  }
  const options& o = parsed.opts;
  switch (o.cmd) {
    case command::run:
      return run_program(o);
    case command::put:
      return put_file(o);
    case command::get:
      return get_file(o);
    case command::shell:
      return interactive(o, false);
    case command::follow:
      return interactive(o, true);
    case command::release:
    case command::refuse:
      return answer_rendezvous(o);
    case command::none:
      break;
  }
  return kExitUsage;
}

}  // namespace kvsctl
