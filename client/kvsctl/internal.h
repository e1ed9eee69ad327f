// kvsctl: what the subcommands share: output helpers, the identified
// command connection, the result of a step and the step executors.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/kvsctl.h"
#include "client/kvsctl/quoting.h"
#include "client/studio.h"
#include "client/trace.h"
#include "client/transfer.h"

namespace kvsctl {

using clock = std::chrono::steady_clock;
// Owns any descriptor (files as well as sockets): closes it once.
using owned_fd = studio::socket_fd;

inline constexpr std::size_t kChunk = 64 * 1024;

bool starts_with(std::string_view text, std::string_view prefix);
int ms_until(clock::time_point when);
std::string seconds_text(int ms);
bool write_all(int fd, std::string_view bytes);
// One line on standard error, prefixed with the tool's name.
void report(const std::string& text);
// The agent skips the blanks that follow a command word, so a name that
// begins with one is sent as a path relative to the current directory.
std::string remote_argument(const std::string& name);

// What one step did: its exit status, the agent's last reply for it, what
// went wrong, the bytes it moved (or the program wrote), and the program's
// output when it is captured for JSON.
struct step_result {
  int status = kExitOk;
  std::string reply;
  std::string error;
  long long bytes = 0;
  std::string output;
  bool captured = false;
  bool ended = false;  // the step ended the connection (QUIT sent)

  // Records a failure (the first one counts).
  void fail(int code, std::string why) {
    if (error.empty()) error = std::move(why);
    status = code;
  }
};

// One JSON line on standard output for a step (index 0, kind "connect",
// for the connection itself); skipped steps have a null status.
void print_json(const options& o, int index, std::string_view kind, const step_result* r, double seconds);
std::string_view kind_name(step_kind kind);

// An identified command connection.
class agent_session {
 public:
  explicit agent_session(const options& o);

  // Connects, waits for the greeting and identifies; on failure fills `r`.
  // With `use_control`, a control connection serving o's user, host and port
  // is used instead when there is one.
  bool open(step_result& r, bool use_control = true);
  // Through a control connection only: 1 attached, 0 none serves (a
  // control connection that has ended is said once and removed), -1 failed
  // (fills `r`).
  int attach(step_result& r);
  bool via_control() const { return via_control_; }

  // A sequence of exchanges no other call's exchange comes between; the
  // lines of context() (the call's own cd and env steps) are sent first, and
  // what they and the sequence change is put back when it ends. Nothing to do
  // over a connection of the call's own.
  bool hold(step_result& r);
  void unhold();
  std::vector<std::string>& context() { return context_; }
  // Rendezvous and dynamic-follow lines come to this call.
  void follow();
  // A trace connection for the next EXEC.
  studio::trace_connection open_trace(std::string* error);
  // The TLS context of the connections (none: plain); built on first use,
  // false with `r` filled when it cannot be.
  bool tls_ready(step_result& r);
  const studio::tls_client* tls() const { return tls_.get(); }
  // The files of the TLS context a control connection's master announced.
  void use_tls(const studio::tls_files& files, std::string verify_name) {
    tls_files_ = files;
    tls_name_ = std::move(verify_name);
  }
  // Makes `transfer` take its data connections through the control connection.
  void prepare(studio::file_transfer& transfer);
  // The reply to a request of the control connection's and the descriptor
  // passed with it; lines that come before it are kept in deferred().
  std::optional<std::string> request(const std::string& line, owned_fd* fd);
  // The next such reply, without sending anything.
  std::optional<std::string> master_reply(owned_fd* fd);

  studio::connection& conn() { return conn_; }
  const std::string& target() const { return target_; }
  const options& opts() const { return o_; }
  // Lines that arrived while a reply was awaited.
  std::deque<std::string>& deferred() { return conn_.kept(); }

  bool send(const std::string& line) { return conn_.send_line(line); }
  // Sends a line and returns its reply within the reply time-out, however
  // many notifications come first (they are kept in deferred(), bounded).
  std::optional<std::string> command(const std::string& line);
  // command() that wants a reply with `code`. Otherwise fills `r`: status 1
  // for a refusal, 255 when no reply came. The reply is kept in r.reply.
  bool expect(const std::string& line, std::string_view code, const std::string& what, step_result& r);
  // Ends the connection: QUIT, then the agent's "221 bye." and its close.
  bool quit();
  // Asks the agent's platform (GENV OS) once: it chooses how EXEC lines are
  // quoted. A refusal or another value means POSIX; no reply fills `r`.
  bool learn_platform(step_result& r);
  agent_platform platform() const { return platform_; }
  std::string no_reply(const std::string& word) const;
  void note(const std::string& what) const;
  // What to say about a failure reply to `what` (such as "put REMOTE"):
  // with an agent that tells the cause of its last failure (XWHY),
  // "what: PATH: ERROR (reply)" (PATH left out when `what` ends with it);
  // otherwise "what: reply". The agent's texts
  // are shown through studio::visible.
  std::string failure(const std::string& what, const std::string& reply);
  // `text` as a path or word the agent must take literally: each '$' is
  // written as a reference to a variable holding "$", which is set once per
  // connection before the first such text. False, with `r` filled, when the
  // agent does not set it.
  bool literal(const std::string& text, std::string& sent, step_result& r);

 private:
  const options& o_;
  std::string target_;
  std::string greeting_text() const;

  studio::connection conn_;
  std::size_t dropped_told_ = 0;
  bool dollar_set_ = false;
  agent_platform platform_ = agent_platform::posix;
  bool platform_known_ = false;
  bool via_control_ = false;
  bool held_ = false;
  bool following_ = false;
  std::string side_host_;  // where the side connections go
  std::vector<std::string> context_;
  std::shared_ptr<const studio::tls_client> tls_;
  std::optional<studio::tls_files> tls_files_;  // a master's, through a control connection
  std::string tls_name_;                         // the name the agent's certificate is verified against
  // A side connection the master made, secured when the master's is.
  studio::stream secure_side(owned_fd fd, std::string* error);
};

// Ends a hold when it goes out of scope.
class held_stream {
 public:
  explicit held_stream(agent_session& s) : s_(s) {}
  ~held_stream() { s_.unhold(); }
  held_stream(const held_stream&) = delete;
  held_stream& operator=(const held_stream&) = delete;

 private:
  agent_session& s_;
};

// From now on Ctrl-C (SIGINT) prints "kvsctl: " and `what` on standard
// error and ends kvsctl with status 130; the agent then ends the connection
// and, with it, the programs the connection launched.
void interrupt_message(const std::string& what);

// The steps; `last` tells the run step that the connection ends after it.
step_result run_step(agent_session& s, const step_spec& step, bool last, bool with_input);
step_result put_step(agent_session& s, const step_spec& step);
step_result get_step(agent_session& s, const step_spec& step);

// One agent: connects, runs o.steps, ends the connection. The exit status.
int run_script(const options& o);
// shell and follow.
int run_interactive(const options& o, bool follow);
int answer_rendezvous(const options& o);
// Every agent of o.hosts, in parallel.
int run_fanout(const options& o, const std::vector<std::string>& hosts);

}  // namespace kvsctl
