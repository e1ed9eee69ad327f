// Command-line framing, the authorization gate and dispatch, as a studio
// drives them: the input is sent in pieces (cut at 0xff bytes) on a socket
// pair and received by AGTcommand_ready, exactly as the connection loop does.
// The interpreter runs a table of its own, assembled from the agent's rows
// with every module handler replaced by a recorder that only answers
// "199 NAME|argument", so no input can change anything on this machine; HELO,
// HELP and QUIT keep their own handlers, and Qim admits the user "open" only.
//
// Invariants:
// - framing: the lines dispatched are the CR LF lines of the received text in
//   order, each once; a received piece whose first byte is NUL ends the
//   connection, a NUL inside a piece drops the rest of that piece; what stays
//   in the command buffer is the received text after the last consumed line;
// - gate: before admission no recorder runs and the only replies are the
//   hello, the identification answers and "500 command unknown" for the line
//   as it was sent (never expanded); the first refused line ends it silently;
// - dispatch: every reply byte is the one a reference model of the command
//   table predicts (first matching row, argument after blanks and tabs, the
//   row's flags);
// - output queue: the agent's end is registered as the command connection
//   with a small send buffer, so replies wait in its output queue and leave
//   through the readiness wait; none is lost, reordered or cut, and the
//   queue never holds more than the high-water mark plus one reply.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "agent/cmdagt.h"
#include "agent/kvsagtd.h"
#include "fuzz/fuzz_support.h"
#include "net/tcpip.h"

namespace {

// Recorders for at most this many rows.
constexpr int RECORDED_MAX = 64;

// The fuzzer's rows and the table assembled from them: the agent's rows,
// sorted, with the recorders in place of their handlers.
std::vector<cmd_entry> recorded_rows;
std::optional<cmd_table> recorded;

template <int I>
cmd_reply recorder(agt_context*, cmd_state*, const char* argument) {
  kvwstr reply("199 ");
  reply.cat(recorded_rows[I].name).cat("|").cat(argument);
  return reply;
}

cmd_reply admit_open(agt_context*, cmd_state* state, const char* argument) {
  state->admit(std::strcmp(argument, "open") == 0 ? 1 : 0);
  return CMDreply(state->admitted() ? MSG_310_ACCESS_AUTHORIZED : MSG_533_ACCESS_REFUSED);
}

template <int... I>
void make_recorders(std::integer_sequence<int, I...>) {
  const cmd_handler recorders[] = {recorder<I>...};
  for (std::size_t i = 0; i < recorded_rows.size(); ++i) {
    cmd_entry& entry = recorded_rows[i];
    if (std::strcmp(entry.name, "Qim") == 0)
      entry.handler = admit_open;
    else if (entry.handler != CMDhelo && entry.handler != CMDhelp && entry.handler != CMDquit)
      entry.handler = recorders[i];
  }
}

// What the agent must answer, computed from the command table's rows alone.
struct model {
  agt_context* context = nullptr;
  cmd_state* state = nullptr;  // the interpreter's, for HELP
  int authorized = 0;
  bool stop = false;
  std::string buffer;
  std::string replies;

  void receive(std::string_view chunk) {
    if (chunk[0] == '\0') {
      stop = true;
      return;
    }
    buffer += chunk.substr(0, chunk.find('\0'));
    std::size_t position = 0;
    while (!stop) {
      std::size_t cr = buffer.find("\r\n", position);
      if (cr == std::string::npos) break;
      dispatch(buffer.substr(position, cr - position));
      position = cr + 2;
    }
    buffer.erase(0, position);
  }

  void dispatch(const std::string& line) {
    kvwstr expanded = CMDexpand(context, line.c_str(), '$');
    std::string_view x = expanded.view();
    if (authorized == 0 && !x.starts_with("Qim ") && !x.starts_with("HELO")) {
      stop = true;
      return;
    }
    for (const cmd_entry& entry : recorded_rows) {
      std::string_view name = entry.name;
      if (!x.starts_with(name)) continue;
      if (x.size() > name.size() && x[name.size()] != ' ' && x[name.size()] != '\t') continue;
      // A row not allowed before admission is refused as the prefix test refuses.
      if (authorized == 0 && (entry.flags & CMD_BEFORE_ADMISSION) == 0) {
        stop = true;
        return;
      }
      std::string_view argument = x.size() > name.size() ? x.substr(name.size() + 1) : std::string_view();
      while (!argument.empty() && (argument[0] == ' ' || argument[0] == '\t')) argument.remove_prefix(1);
      replies += reply_of(name, std::string(argument)) + "\r\n";
      stop = name == "QUIT" || authorized == 0;
      return;
    }
    replies += "500 command unknown : ";
    replies += authorized != 0 ? std::string(x) : line;
    replies += "\r\n";
  }

  std::string reply_of(std::string_view name, const std::string& argument) {
    if (name == "HELO") return "210 hello, please to meet you.";
    if (name == "QUIT") return "221 bye.";
    if (name == "HELP") return std::string(CMDhelp(context, state, argument.c_str())->view());
    if (name == "Qim") {
      authorized = argument == "open" ? 1 : 0;
      return authorized != 0 ? "310 access authorized." : "533 user is not allowed to connect";
    }
    return "199 " + std::string(name) + "|" + argument;
  }
};

void drain(int fd, std::string& into) {
  char area[65536];
  for (;;) {
    ssize_t n = ::recv(fd, area, sizeof area, MSG_DONTWAIT);
    if (n <= 0) return;
    into.append(area, static_cast<std::size_t>(n));
  }
}

// Lets the readiness wait send what waits in the agent's queue, reading the
// studio's end meanwhile, until the queue is empty.
void flush(agt_context* context, int agent, int studio, std::string& replies) {
  for (int round = 0;; ++round) {
    drain(studio, replies);
    if (TCPIPqueued(context, agent) == 0) return;
    FUZZ_CHECK(round < 100000, "the output queue does not drain");
    std::vector<int> ready;
    TCPIPwait(context, ready, 0);
  }
}

int available(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  std::span<const cmd_entry> rows = CMDtable().rows();
  FUZZ_CHECK(rows.size() <= RECORDED_MAX, "%zu rows, recorders for %d", rows.size(), RECORDED_MAX);
  recorded_rows.assign(rows.begin(), rows.end());
  make_recorders(std::make_integer_sequence<int, RECORDED_MAX>());
  static const agt_module recording{.name = "recording", .commands = recorded_rows};
  const agt_module* const modules[] = {&recording};
  recorded = cmd_table::assemble(modules);
  FUZZ_CHECK(recorded.has_value(), "the recording table cannot be assembled");
  // References a line can use: a command word, a whole identification, text.
  ::setenv("KVSF_CMD", "GENV", 1);
  ::setenv("KVSF_QIM", "Qim open", 1);
  ::setenv("KVSF_TEXT", "a b\tc", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  agt_context_ptr owner = CTXnew(10);
  agt_context* context = owner.get();
  TCPIPinit(context, 0);
  auto installed = std::make_unique<cmd_state>(CMDnew_state("farhost", &*recorded));
  cmd_state* state = installed.get();
  CTXinstall(context, std::move(installed), CTX_SLOT_CMD);

  int pair[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  const int agent = pair[0];
  const int studio = pair[1];
  int small = 4096;
  ::setsockopt(agent, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(studio, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  static const char command_owner = 0;
  TCPIPwatch_as(context, agent, &command_owner);

  model expected;
  expected.context = context;
  expected.state = state;
  kvwstr buffer;
  std::string replies;
  int stop = 0;
  const std::vector<int> ready{agent};
  for (const std::string& piece : fuzz::pieces(data, size)) {
    if (piece.empty() || stop != 0) continue;
    FUZZ_CHECK(::send(studio, piece.data(), piece.size(), 0) == static_cast<ssize_t>(piece.size()), "send");
    // One receive takes at most TCPIP_RECV_CHUNK bytes; the model sees the same chunks.
    for (std::size_t at = 0; at < piece.size() && !expected.stop; at += TCPIP_RECV_CHUNK)
      expected.receive(std::string_view(piece).substr(at, TCPIP_RECV_CHUNK));
    while (stop == 0 && available(agent) > 0) {
      AGTcommand_ready(context, ready, agent, buffer, &stop);
      FUZZ_CHECK(TCPIPqueued(context, agent) <= AGT_HIGH_WATER + 65536, "output queue of %zu bytes",
                 TCPIPqueued(context, agent));
      flush(context, agent, studio, replies);
    }
    FUZZ_CHECK((stop != 0) == expected.stop, "stop %d, expected %d", stop, expected.stop ? 1 : 0);
  }
  flush(context, agent, studio, replies);

  FUZZ_CHECK(replies == expected.replies, "replies\n  got      %s\n  expected %s", fuzz::show(replies).c_str(),
             fuzz::show(expected.replies).c_str());
  if (stop == 0) {
    FUZZ_CHECK(buffer.view() == expected.buffer, "buffer %s, expected %s", fuzz::show(buffer.view()).c_str(),
               fuzz::show(expected.buffer).c_str());
    FUZZ_CHECK(buffer.view().find("\r\n") == std::string_view::npos, "a complete line was left undispatched");
  }
  // Independently of the model: nothing but HELO and Qim runs before admission.
  std::string_view rest = replies;
  while (!rest.empty()) {
    std::size_t end = rest.find("\r\n");
    std::string_view line = rest.substr(0, end);
    if (line == "310 access authorized.") break;
    FUZZ_CHECK(line.starts_with("210 hello") || line == "533 user is not allowed to connect" ||
                   line.starts_with("500 command unknown : HELO") || line.starts_with("500 command unknown : Qim "),
               "reply before admission: %s", fuzz::show(line).c_str());
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
  }

  TCPIPunwatch(context, agent);
  ::close(agent);
  ::close(studio);
  CTXfree(owner);
  return 0;
}
