// kvsctl: the identified command connection, and the helpers every
// subcommand uses.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "client/kvsctl/internal.h"
#include "support/protocol/replies.h"

namespace kvsctl {

namespace {

constexpr std::string_view kBye = protocol::reply_text(MSG_221_BYE);
// The variable whose value is one '$', for paths that hold one.
constexpr std::string_view kDollarVariable = "KVS_STUDIO_DOLLAR";
constexpr std::string_view kDollarReference = "${KVS_STUDIO_DOLLAR}";
// The agent's answer to XWHY: the command, the call, the system's text and
// the path (last, as it may hold the separator itself).
constexpr std::string_view kFailureCause = protocol::last_failure_reply;
// The part of a first line that is shown when the peer is no agent.
constexpr std::size_t kShownGreeting = 200;

// Whether what has come of a first line already shows that the peer is no
// agent: a greeting starts with three digits and a blank, and has no bare LF.
bool not_a_greeting(std::string_view pending) {
  for (std::size_t i = 0; i < pending.size() && i < 4; ++i) {
    char c = pending[i];
    if (i < 3 ? (c < '0' || c > '9') : c != ' ') return true;
  }
  std::size_t lf = pending.find('\n');
  return lf != std::string_view::npos && (lf == 0 || pending[lf - 1] != '\r');
}
// A greeting later than this is worth saying with -v: the connection waits
// in the daemon's backlog behind others (it accepts about one a second).
constexpr int kQueuedNoteMs = 2000;

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

// The message of an interrupt, written by the handler as it stands.
char interrupt_text[1024];
volatile sig_atomic_t interrupt_length = 0;

void on_interrupt(int) {
  ssize_t written = ::write(2, interrupt_text, static_cast<std::size_t>(interrupt_length));
  (void)written;
  ::_exit(130);
}

}  // namespace

void interrupt_message(const std::string& what) {
  std::string text = "kvsctl: " + what;
  if (text.size() > sizeof interrupt_text - 2) text.resize(sizeof interrupt_text - 2);
  text += '\n';
  // The handler reads nothing while the text is replaced.
  interrupt_length = 0;
  std::copy(text.begin(), text.end(), interrupt_text);
  interrupt_length = static_cast<sig_atomic_t>(text.size());
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

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

void report(const std::string& text) { write_all(2, "kvsctl: " + text + "\n"); }

std::string remote_argument(const std::string& name) {
  if (!name.empty() && (name[0] == ' ' || name[0] == '\t')) return "./" + name;
  return name;
}

agent_session::agent_session(const options& o)
    : o_(o), target_(o.label.empty() ? format_target(o.host, o.port) : o.label) {
  if (o_.verbose)
    conn_.set_observer([this](char direction, std::string_view line) {
      note(std::string(1, direction) + " " + studio::visible(line));
    });
}

bool agent_session::open(step_result& r, bool use_control) {
  if (use_control) {
    int attached = attach(r);
    if (attached != 0) return attached > 0;
  }
  std::string error;
  if (!tls_ready(r)) return false;
  note("connecting to " + format_target(o_.host, o_.port) + (tls_ ? " over TLS" : ""));
  if (!conn_.open(o_.host, o_.port, o_.timeout_ms, tls_.get(), &error)) {
    r.fail(kExitAgent, error);
    return false;
  }
  keep_alive(conn_.fd(), o_.timeout_ms);
  // The daemon accepts one connection at a time and pauses after each: a
  // connection made while others are served waits for its greeting, which
  // has its own, longer limit.
  std::optional<std::string> greeting;
  conn_.set_line_check(not_a_greeting);
  int first_wait = o_.verbose ? std::min(kQueuedNoteMs, o_.greeting_ms) : o_.greeting_ms;
  greeting = conn_.read_line(first_wait);
  if (!greeting && !conn_.peer_closed() && !conn_.rejected() && !conn_.overlong() && first_wait < o_.greeting_ms) {
    note("queued: connected, no greeting yet after " + seconds_text(first_wait) +
         " (the agent is serving earlier connections); waiting up to " + seconds_text(o_.greeting_ms));
    greeting = conn_.read_line(o_.greeting_ms - first_wait);
  }
  conn_.set_line_check(nullptr);
  if (!greeting && !conn_.tls_error().empty()) {
    // Over TLS 1.3 the agent judges the studio's certificate after the
    // studio's side of the handshake has ended: its refusal is an alert
    // where the greeting would be.
    r.fail(kExitAgent, "TLS: " + conn_.tls_error());
    return false;
  }
  if (!greeting && conn_.rejected()) {
    std::string first = greeting_text();
    r.fail(kExitAgent, "no agent there: its first line is " + first);
    return false;
  }
  if (!greeting) {
    r.fail(kExitAgent, conn_.overlong()             ? "the greeting is longer than " + std::to_string(studio::kMaxLine) + " bytes"
                       : conn_.peer_closed() ? "the agent closed the connection without a greeting"
                                             : "no greeting within " + seconds_text(o_.greeting_ms));
    return false;
  }
  if (!protocol::has_reply_code(*greeting, MSG_210_HELLO)) {
    r.fail(kExitAgent, "unexpected greeting: " + studio::visible(*greeting));
    return false;
  }
  std::string user = o_.user.empty() ? local_user() : o_.user;
  if (user.empty()) {
    r.fail(kExitAgent, "cannot tell the local user name; give one with -u");
    return false;
  }
  std::optional<std::string> reply = command("Qim " + user);
  if (!reply) {
    r.fail(kExitAgent, no_reply("Qim"));
    return false;
  }
  r.reply = *reply;
  if (!starts_with(*reply, protocol::reply_code(MSG_310_ACCESS_AUTHORIZED))) {
    r.fail(kExitAgent, "identification as " + user + " refused: " + studio::visible(*reply));
    return false;
  }
  return true;
}

std::optional<std::string> agent_session::command(const std::string& line) {
  std::optional<std::string> reply = conn_.request(line, o_.timeout_ms);
  if (conn_.dropped() > dropped_told_) {
    report(target_ + ": " + std::to_string(conn_.dropped() - dropped_told_) +
           " notifications dropped while a reply was awaited (more than " + std::to_string(studio::kMaxKeptLines) +
           " lines or " + std::to_string(studio::kMaxKeptBytes >> 20) + " MiB)");
    dropped_told_ = conn_.dropped();
  }
  return reply;
}

bool agent_session::expect(const std::string& line, std::string_view code, const std::string& what, step_result& r) {
  std::optional<std::string> answer = command(line);
  std::string word = line.substr(0, line.find(' '));
  if (!answer) {
    r.fail(kExitAgent, what + ": " + no_reply(word));
    return false;
  }
  r.reply = *answer;
  if (!starts_with(*answer, code)) {
    r.fail(kExitFailed, failure(what, *answer));
    return false;
  }
  return true;
}

std::string agent_session::failure(const std::string& what, const std::string& reply) {
  std::string plain = what + ": " + studio::visible(reply);
  std::optional<std::string> cause = command("XWHY");
  if (!cause || !starts_with(*cause, kFailureCause)) return plain;
  // COMMAND : CALL : ERROR TEXT : PATH
  std::string_view rest = std::string_view(*cause).substr(kFailureCause.size());
  std::string_view fields[3];
  for (std::string_view& field : fields) {
    std::size_t at = rest.find(" : ");
    if (at == std::string_view::npos) return plain;
    field = rest.substr(0, at);
    rest.remove_prefix(at + 3);
  }
  // The path, unless the message names it already.
  std::string out = what;
  std::string path = studio::visible(rest);
  if (!path.empty() && (out.size() < path.size() || out.compare(out.size() - path.size(), path.size(), path) != 0))
    out += ": " + path;
  out += ": " + studio::visible(fields[2].empty() ? fields[1] : fields[2]);
  return out + " (" + studio::visible(reply) + ")";
}

bool agent_session::literal(const std::string& text, std::string& sent, step_result& r) {
  if (text.find('$') == std::string::npos) {
    sent = text;
    return true;
  }
  if (!dollar_set_) {
    // A '$' at the end of a line is no reference: the value is that '$'.
    std::string line = "SENV " + std::string(kDollarVariable) + "=$";
    if (!expect(line, protocol::reply_code(MSG_212_SETENV_OK), "cannot set " + std::string(kDollarVariable), r)) return false;
    dollar_set_ = true;
  }
  sent.clear();
  for (char c : text) {
    if (c == '$') sent += kDollarReference;
    else sent += c;
  }
  return true;
}

bool agent_session::quit() {
  if (via_control_) {
    // The control connection stays; this call's part of it ends.
    conn_.close();
    return true;
  }
  if (!send("QUIT")) return false;
  bool bye = false;
  for (;;) {
    std::optional<std::string> line = conn_.read_line(o_.timeout_ms);
    if (!line) break;
    if (*line == kBye) bye = true;
  }
  conn_.close();
  return bye;
}

bool agent_session::learn_platform(step_result& r) {
  if (platform_known_) return true;
  const std::string kValue = std::string(protocol::reply_text(MSG_211_GETENV_RESULT)) + "OS=";
  std::optional<std::string> reply = command("GENV OS");
  if (!reply) {
    r.fail(kExitAgent, no_reply("GENV"));
    return false;
  }
  std::optional<std::string_view> os;
  if (starts_with(*reply, kValue)) os = std::string_view(*reply).substr(kValue.size());
  platform_ = platform_from_os(os);
  platform_known_ = true;
  if (platform_ == agent_platform::windows) note("the agent runs on Windows: EXEC lines are quoted for its C runtime");
  return true;
}

bool agent_session::tls_ready(step_result& r) {
  if (tls_ || (!o_.tls && !tls_files_)) return true;
  studio::tls_files files = tls_files_ ? *tls_files_ : studio::tls_files{o_.tls_ca, o_.tls_cert, o_.tls_key};
  if (tls_name_.empty()) tls_name_ = o_.host;
  std::string error;
  tls_ = studio::make_tls_client(files, &error);
  if (!tls_) r.fail(kExitAgent, "TLS: " + error);
  return tls_ != nullptr;
}

std::string agent_session::no_reply(const std::string& word) const {
  if (!conn_.tls_error().empty()) return "TLS: " + conn_.tls_error() + " (after " + word + ")";
  if (conn_.overlong())
    return "the agent sent a line longer than " + std::to_string(studio::kMaxLine) + " bytes after " + word;
  if (via_control_ && conn_.peer_closed()) return "the control connection ended after " + word;
  return conn_.peer_closed() ? "the agent closed the connection after " + word
                             : "no reply to " + word + " within " + seconds_text(o_.timeout_ms);
}

std::string agent_session::greeting_text() const {
  std::string_view first = conn_.buffered();
  first = first.substr(0, first.find("\r\n"));
  bool cut = first.size() > kShownGreeting;
  return "\"" + studio::visible(first.substr(0, kShownGreeting)) + (cut ? "...\"" : "\"");
}

void agent_session::note(const std::string& what) const {
  if (o_.verbose) report(target_ + ": " + what);
}

std::string_view kind_name(step_kind kind) {
  switch (kind) {
    case step_kind::run:
      return "run";
    case step_kind::put:
      return "put";
    case step_kind::get:
      return "get";
    case step_kind::cd:
      return "cd";
    case step_kind::env:
      return "env";
  }
  return "?";
}

void print_json(const options& o, int index, std::string_view kind, const step_result* r, double seconds) {
  auto text_or_null = [](const std::string& text) { return text.empty() ? std::string("null") : json_string(text); };
  char number[32];
  std::snprintf(number, sizeof number, "%.3f", seconds);
  std::string line = "{\"v\":1,\"host\":" + json_string(o.label.empty() ? format_target(o.host, o.port) : o.label) +
                     ",\"step\":{\"index\":" + std::to_string(index) + ",\"kind\":" + json_string(kind) + "}";
  if (r == nullptr) {
    line += ",\"status\":null,\"reply\":null,\"bytes\":0,\"seconds\":0.000,\"error\":\"skipped\"}\n";
  } else {
    line += ",\"status\":" + std::to_string(r->status) + ",\"reply\":" + text_or_null(r->reply) +
            ",\"bytes\":" + std::to_string(r->bytes) + ",\"seconds\":" + number + ",\"error\":" + text_or_null(r->error);
    if (o.json_output && r->captured)
      line += is_utf8(r->output) ? ",\"output\":" + json_string(r->output)
                                 : ",\"output_b64\":\"" + base64(r->output) + "\"";
    line += "}\n";
  }
  write_all(1, line);
}

}  // namespace kvsctl
