// kvsctl: the run step. Sets the variables and the directory, opens a trace
// connection, launches the program and streams its output and input until
// the agent reports its end.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client/kvsctl/internal.h"
#include "client/trace.h"
#include "support/protocol/replies.h"

namespace kvsctl {

namespace {

constexpr std::string_view kGreeting = protocol::reply_text(MSG_210_HELLO);
constexpr std::string_view kRendezvousWait = protocol::reply_text(MSG_601_RDV_WAIT);
constexpr std::string_view kDynfollowEnd = protocol::reply_text(MSG_702_DYNF_END);
// Between two steps of a script the trace connection stays open on the
// agent's side; what the program wrote is taken until it has been quiet
// this long after its end was reported.
constexpr int kStepQuietMs = 300;

// Answers the testers of the connection as the options say: RVOK/RVKO to
// each rendezvous reached, DFOK/DFKO to each tester that ends its report.
class tester_answers {
 public:
  tester_answers(const step_spec& st, agent_session& s) : st_(st), s_(s) {}

  void on_line(const std::string& line) {
    if (starts_with(line, kRendezvousWait)) {
      std::string name = line.substr(kRendezvousWait.size());
      if (st_.rendezvous != auto_answer::none) {
        s_.send((st_.rendezvous == auto_answer::ok ? "RVOK " : "RVKO ") + name);
      } else if (!rendezvous_hinted_) {
        rendezvous_hinted_ = true;
        report(s_.target() + ": a tester waits at rendezvous '" + name + "' (answer with --rendezvous ok|ko)");
      }
    } else if (starts_with(line, kDynfollowEnd)) {
      std::string rest = line.substr(kDynfollowEnd.size());
      std::string id = rest.substr(0, rest.find(' '));
      if (st_.dynfollow != auto_answer::none) {
        s_.send((st_.dynfollow == auto_answer::ok ? "DFOK " : "DFKO ") + id);
      } else if (!dynfollow_hinted_) {
        dynfollow_hinted_ = true;
        report(s_.target() + ": tester " + id + " waits for an answer to its report (answer with --dynfollow ok|ko)");
      }
    }
  }

 private:
  const step_spec& st_;
  agent_session& s_;
  bool rendezvous_hinted_ = false;
  bool dynfollow_hinted_ = false;
};

// How long the trace connection must be quiet after the end was reported
// before its output is taken as complete: four round trips, at least 2 ms.
int settle_ms(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  int rtt_us = ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? static_cast<int>(info.tcpi_rtt) : 0;
  return std::clamp(4 * rtt_us / 1000 + 2, 2, kStepQuietMs);
}

class program_run {
 public:
  program_run(agent_session& s, const step_spec& st, studio::trace_connection& trace, int number, step_result& r)
      : o_(s.opts()), s_(s), trace_(trace), number_(number), r_(r), answers_(st, s) {}

  // Streams until the program's end has been reported, then takes the rest
  // of its output: to the end of the connection when `last` (QUIT is sent),
  // else until it has been quiet for a moment.
  void wait(bool last, bool with_input) {
    studio::connection& conn = s_.conn();
    bool input_open = with_input;
    if (!input_open) shut_input();
    last_heard_ = clock::now();
    while (!s_.deferred().empty()) {
      std::string line = std::move(s_.deferred().front());
      s_.deferred().pop_front();
      on_line(line);
    }
    while (!code_) {
      if (conn.has_buffered_line() && !conn.overlong()) {
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
      int wait = ping_wait();
      // Bytes the TLS layer holds show in no poll: they are taken at once.
      bool conn_held = conn.pending();
      bool trace_held = trace_at >= 0 && trace_open_ && trace_.pending();
      if (conn_held || trace_held) wait = 0;
      int n = ::poll(fds, count, wait);
      if (n < 0 && errno != EINTR) return r_.fail(kExitAgent, std::string("poll: ") + std::strerror(errno));
      if (!check_alive()) return;
      if (conn_held) fds[0].revents |= POLLIN;
      if (trace_held) fds[trace_at].revents |= POLLIN;
      if (conn_held || trace_held) n = std::max(n, 1);
      if (n <= 0) continue;
      constexpr short kReady = POLLIN | POLLHUP | POLLERR;
      if (trace_at >= 0 && (fds[trace_at].revents & kReady) != 0 && trace_open_ && !copy_output()) return;
      if (trace_at >= 0 && (fds[trace_at].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && !pending_.empty())
        send_input();
      if (input_at >= 0 && (fds[input_at].revents & kReady) != 0) input_open = read_input();
      if ((fds[0].revents & kReady) != 0) {
        read_lines();
        if (conn.overlong()) return r_.fail(kExitAgent, s_.no_reply("EXEC"));
        if (!code_ && conn.peer_closed()) {
          r_.fail(kExitAgent, s_.via_control() ? "the control connection ended before the program ended"
                                               : "the agent closed the connection before the program ended");
          drain(std::min(o_.timeout_ms, 2000));
          return;
        }
      }
    }
    if (last && !s_.via_control()) {
      // The agent closes the trace connection when the connection ends,
      // after everything the program wrote: reading it to its end gets the
      // last bytes.
      s_.send("QUIT");
      r_.ended = true;
      drain(o_.timeout_ms);
    } else if (s_.via_control()) {
      // The agent keeps the trace connection while the control connection
      // lives. What the program wrote before its end was sent before the end
      // was reported, on another connection from the same host: it arrives
      // within a few round trips of the report.
      drain(std::min(o_.timeout_ms, settle_ms(trace_.fd())), true);
    } else {
      drain(std::min(o_.timeout_ms, kStepQuietMs), true);
    }
    if (output_failed_) return;
    r_.status = exit_status_for(*code_);
  }

 private:
  void on_line(const std::string& line) {
    last_heard_ = clock::now();
    if (pings_ > 0 && line == kGreeting) {
      --pings_;
      return;
    }
    if (std::optional<int> code = stopped_exit_code(line, number_)) {
      code_ = code;
      r_.reply = line;
      return;
    }
    answers_.on_line(line);
  }

  void read_lines() {
    // One receive, then the lines it completed: a peer that never stops
    // sending cannot keep this loop from the trace connection and the clock.
    std::optional<std::string> line = s_.conn().read_line(0);
    while (line) {
      on_line(*line);
      line = s_.conn().has_buffered_line() ? s_.conn().read_line(0) : std::nullopt;
    }
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
    r_.fail(kExitAgent, "the agent stopped answering (no reply to HELO within " + seconds_text(o_.timeout_ms) + ")");
    return false;
  }

  // Copies what arrived on the trace connection to standard output, or
  // keeps it for the JSON line.
  bool copy_output() {
    char chunk[kChunk];
    long long n = trace_.io().recv(chunk, sizeof chunk, true);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      trace_open_ = false;
      return true;
    }
    std::string_view bytes(chunk, static_cast<std::size_t>(n));
    r_.bytes += n;
    if (o_.json) {
      if (o_.json_output) r_.output.append(bytes);
      return true;
    }
    if (!output_failed_ && !write_all(1, bytes)) {
      r_.fail(kExitAgent, std::string("cannot write the program's output: ") + std::strerror(errno));
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
    long long n = trace_.io().send(pending_.data(), pending_.size(), true);
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

  // After the end: prints the rest of the output (and, unless `trace_only`,
  // reads the agent's last lines) until the connections have closed. Stops
  // waiting after quiet_ms without anything arriving (a program's child that
  // keeps the trace connection open on its own does not hold kvsctl).
  void drain(int quiet_ms, bool trace_only = false) {
    studio::connection& conn = s_.conn();
    auto deadline = clock::now() + std::chrono::milliseconds(quiet_ms);
    while (trace_open_ || (!trace_only && !conn.peer_closed())) {
      pollfd fds[2];
      nfds_t count = 0;
      int trace_at = -1;
      int conn_at = -1;
      if (!trace_only && !conn.peer_closed()) {
        conn_at = static_cast<int>(count);
        fds[count++] = {conn.fd(), POLLIN, 0};
      }
      if (trace_open_) {
        trace_at = static_cast<int>(count);
        fds[count++] = {trace_.fd(), POLLIN, 0};
      }
      bool conn_held = conn_at >= 0 && conn.pending();
      bool trace_held = trace_at >= 0 && trace_.pending();
      int n = ::poll(fds, count, conn_held || trace_held ? 0 : ms_until(deadline));
      if (n < 0 && errno == EINTR) continue;
      if (conn_held) fds[conn_at].revents |= POLLIN;
      if (trace_held) fds[trace_at].revents |= POLLIN;
      if (conn_held || trace_held) n = std::max(n, 1);
      if (n <= 0) break;
      constexpr short kReady = POLLIN | POLLHUP | POLLERR;
      if (trace_at >= 0 && (fds[trace_at].revents & kReady) != 0) {
        if (!copy_output()) return;
        deadline = clock::now() + std::chrono::milliseconds(quiet_ms);
      }
      if (conn_at >= 0 && (fds[conn_at].revents & kReady) != 0) {
        while (conn.read_line(0)) {
        }
        if (conn.overlong()) break;
        deadline = clock::now() + std::chrono::milliseconds(quiet_ms);
      }
    }
  }

  const options& o_;
  agent_session& s_;
  studio::trace_connection& trace_;
  int number_;
  step_result& r_;
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

}  // namespace

step_result run_step(agent_session& s, const step_spec& st, bool last, bool with_input) {
  step_result r;
  r.captured = s.opts().json_output;
  std::string what = "cannot launch " + st.program[0];
  std::string error;
  std::optional<std::string> line = exec_line(s.platform(), st.program, &error);
  if (!line) {
    r.fail(kExitNoProgram, what + ": " + error);
    return r;
  }
  // Through a control connection no other call's exchange comes between
  // these, and the variables and directory are put back after the launch.
  held_stream held(s);
  if (!s.hold(r)) return r;
  if (st.rendezvous != auto_answer::none || st.dynfollow != auto_answer::none) s.follow();
  for (const auto& [name, value] : st.environment)
    if (!s.expect("SENV " + name + "=" + value, protocol::reply_code(MSG_212_SETENV_OK), "cannot set " + name, r)) return r;
  if (!st.directory.empty() &&
      !s.expect("CWD " + remote_argument(st.directory), protocol::reply_code(MSG_251_DIR_CHANGED), "cannot change to directory " + st.directory, r))
    return r;
  // Each run opens a trace connection of its own: the programs of earlier
  // steps keep theirs.
  studio::trace_connection trace = s.open_trace(&error);
  if (!trace.valid()) {
    r.fail(kExitAgent, "cannot open the trace connection: " + error);
    return r;
  }
  std::optional<std::string> reply = s.command("EXEC " + *line);
  if (!reply) {
    r.fail(kExitAgent, what + ": " + s.no_reply("EXEC"));
    return r;
  }
  r.reply = *reply;
  if (protocol::has_reply_code(*reply, MSG_561_EXEC_FAILED)) {
    // The program is not there or cannot be started: as a shell says it.
    r.fail(kExitNoProgram, s.failure(what, *reply));
    return r;
  }
  int number = starts_with(*reply, protocol::reply_code(MSG_261_PROCESS_LAUNCHED)) ? studio::reply_number(*reply) : -1;
  if (number < 1) {
    r.fail(kExitAgent, what + ": " + studio::visible(*reply));
    return r;
  }
  interrupt_message(s.target() + ": interrupted: the agent stops " + st.program[0] + " (process %" +
                    std::to_string(number) + ") and every program this connection launched (SIGKILL) as the "
                    "connection closes");
  s.unhold();
  program_run run(s, st, trace, number, r);
  run.wait(last, with_input);
  return r;
}

}  // namespace kvsctl
