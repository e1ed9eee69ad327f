// kvsctl: shell and follow (command lines in, every line of the agent out),
// release and refuse.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/kvsctl/internal.h"
#include "client/kvsctl/line_editor.h"
#include "support/protocol/replies.h"

namespace kvsctl {

namespace {

constexpr std::string_view kRendezvousWait = protocol::reply_text(MSG_601_RDV_WAIT);
constexpr std::string_view kDynfollowEnd = protocol::reply_text(MSG_702_DYNF_END);

// The automatic answers of follow.
void answer(agent_session& s, const options& o, const std::string& line) {
  if (starts_with(line, kRendezvousWait) && o.rendezvous != auto_answer::none)
    s.send((o.rendezvous == auto_answer::ok ? "RVOK " : "RVKO ") + line.substr(kRendezvousWait.size()));
  if (starts_with(line, kDynfollowEnd) && o.dynfollow != auto_answer::none) {
    std::string rest = line.substr(kDynfollowEnd.size());
    s.send((o.dynfollow == auto_answer::ok ? "DFOK " : "DFKO ") + rest.substr(0, rest.find(' ')));
  }
}

// Whether a typed line holds a control character other than a tab.
bool has_control(std::string_view line) {
  for (char c : line)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return true;
  return false;
}

}  // namespace

// Command lines from standard input, every line of the agent on standard
// output. The shell ends with its input (QUIT); follow runs until the agent
// closes the connection.
int run_interactive(const options& o, bool follow) {
  agent_session s(o);
  step_result r;
  if (!s.open(r)) {
    report(s.target() + ": " + r.error);
    return r.status;
  }
  interrupt_message(s.target() + ": interrupted: the agent stops every program this connection launched "
                    "(SIGKILL) as the connection closes");
  studio::connection& conn = s.conn();
  if (follow) {
    s.follow();
    step_result ports;
    if (!s.expect("PDYN", protocol::reply_code(MSG_241_DYNF_PORT), "no dynamic-follow port", ports)) {
      report(s.target() + ": " + ports.error);
      return kExitAgent;
    }
    int dynfollow = studio::reply_number(ports.reply);
    if (!s.expect("PRDV", protocol::reply_code(MSG_240_RDV_PORT), "no rendezvous port", ports)) {
      report(s.target() + ": " + ports.error);
      return kExitAgent;
    }
    report("following " + s.target() + ": dynamic-follow port " + std::to_string(dynfollow) +
           " (KVS_PORT_TSTAGT), rendezvous port " + std::to_string(studio::reply_number(ports.reply)) +
           " (KVS_PORT_RDV)");
  }
  bool quit_sent = false;
  bool output_ok = true;
  std::unique_ptr<line_editor> editor;
  // The agent's lines are shown with their control characters made visible.
  auto print = [&](const std::string& line) {
    std::string shown = studio::visible(line);
    if (editor) editor->print(shown);
    else if (output_ok && !write_all(1, shown + "\n")) output_ok = false;
    if (follow) answer(s, o, line);
  };
  // One receive and the lines it completed, so that a flood cannot keep
  // the loop from the keyboard.
  auto print_arrived = [&]() {
    for (std::optional<std::string> line = conn.read_line(0); line;
         line = conn.has_buffered_line() ? conn.read_line(0) : std::nullopt)
      print(*line);
    // What the TLS layer still holds shows in no poll: a few receives more
    // take it, and a flood still cannot keep the loop from the keyboard.
    for (int more = 0; more < 8 && conn.pending() && !conn.overlong(); ++more)
      for (std::optional<std::string> line = conn.read_line(0); line;
           line = conn.has_buffered_line() ? conn.read_line(0) : std::nullopt)
        print(*line);
  };
  auto send_typed = [&](std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return;
    if (has_control(line)) {
      // Without a line editor, arrow and function keys arrive as escape
      // sequences: nothing the agent could take as a command.
      report("not sent: the line holds control characters (" + studio::visible(line) + ")");
      return;
    }
    if (line == "QUIT" || starts_with(line, "QUIT ") || starts_with(line, "QUIT\t")) quit_sent = true;
    s.send(line);
  };
  // follow ends with the input only on a terminal (Ctrl-D); fed from a pipe
  // or /dev/null it runs until the agent closes the connection.
  bool typed_at_terminal = ::isatty(0) == 1;
  auto input_ended = [&]() {
    if ((!follow || typed_at_terminal) && !quit_sent) {
      s.send("QUIT");
      quit_sent = true;
    }
  };
  while (!s.deferred().empty()) {
    print(s.deferred().front());
    s.deferred().pop_front();
  }
  bool input_open = true;
  // On a terminal the editor waits for keys and serves the connection meanwhile.
  editor = terminal_editor("kvsctl " + s.target() + "> ", conn.fd(), [&]() {
    print_arrived();
    return !conn.peer_closed() && !conn.overlong();
  });
  if (editor) {
    while (std::optional<std::string> line = editor->read_line()) send_typed(*line);
    editor.reset();
    input_open = false;
    if (!conn.peer_closed()) input_ended();
  }
  std::string typed;
  auto last_heard = clock::now();
  for (;;) {
    if (!output_ok) {
      report(std::string("cannot write to standard output: ") + std::strerror(errno));
      return kExitFailed;
    }
    if (conn.overlong()) {
      report(s.target() + ": the agent sent a line longer than " + std::to_string(studio::kMaxLine) + " bytes");
      return kExitAgent;
    }
    if (conn.has_buffered_line() || conn.pending()) {
      print_arrived();
      continue;
    }
    if (conn.peer_closed()) break;
    pollfd fds[2] = {{conn.fd(), POLLIN, 0}, {0, POLLIN, 0}};
    // After QUIT, the agent's silence is bounded.
    int wait = quit_sent ? ms_until(last_heard + std::chrono::milliseconds(o.timeout_ms)) : -1;
    int n = ::poll(fds, input_open ? 2 : 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      report(s.target() + ": poll: " + std::strerror(errno));
      return kExitAgent;
    }
    if (n == 0) {
      report(s.target() + ": the agent did not end the connection after QUIT");
      return kExitAgent;
    }
    constexpr short kReady = POLLIN | POLLHUP | POLLERR;
    if ((fds[0].revents & kReady) != 0) {
      last_heard = clock::now();
      print_arrived();
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
        input_ended();
        last_heard = clock::now();
      }
    }
  }
  if (quit_sent) return kExitOk;
  report(s.target() + ": the agent closed the connection");
  return kExitAgent;
}

int answer_rendezvous(const options& o) {
  agent_session s(o);
  step_result r;
  // A rendezvous is answered on the connection whose tester waits at it: a
  // connection of this call's own holds none.
  int attached = s.attach(r);
  if (attached < 0) {
    report(s.target() + ": " + r.error);
    return r.status;
  }
  std::string word = o.cmd == command::release ? "release" : "refuse";
  if (attached == 0) {
    report(s.target() + ": cannot " + word + " '" + studio::visible(o.name) +
           "': no control connection (a rendezvous is answered through the connection whose tester waits at it; "
           "kvsctl -M " + s.target() + " starts one)");
    return kExitUsage;
  }
  std::optional<std::string> done = s.request((o.cmd == command::release ? "+RVOK " : "+RVKO ") + o.name, nullptr);
  if (!done) {
    report(s.target() + ": the control connection ended");
    return kExitAgent;
  }
  if (*done != "+DONE") {
    report(s.target() + ": cannot " + word + " '" + studio::visible(o.name) + "': no tester waits at it on the control connection");
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace kvsctl
