#include "agent/kvsagtd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/accept_pause.h"
#include "agent/cmdagt.h"
#include "modules/dynfagt.h"
#include "modules/rdvagt.h"
#include "net/tcpip.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "support/cstsyst.h"

namespace {

// A port is a decimal number from 1 to 65535, nothing else.
int parse_port(const char* text) {
  if (text == nullptr || *text == '\0' || std::strlen(text) > 5) return -1;
  int port = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return -1;
    port = port * 10 + (*c - '0');
  }
  return port >= 1 && port <= 65535 ? port : -1;
}

// A descriptor number handed over on the internal command line.
int parse_fd(const char* text) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 1 << 24) return -1;
  return static_cast<int>(value);
}

// The connection being served, for the teardown of a fatal failure.
agt_context* serving = nullptr;

// A fatal failure (a failed allocation or output) still ends the connection
// as its studio leaving does: testers at a rendezvous hear "Ko", programs
// die with their groups.
void teardown_on_fatal() {
  if (serving == nullptr) return;
  TCPIPset_guard(serving, -1);
  RDVAterm(serving);
  DYNFterm(serving);
  CMDterm(serving);
}

void send_line(agt_context* context, int socket, kvwstr& text) {
  text.cat("\r\n");
  TCPIPsend_text(context, socket, text);
}

}  // namespace

int AGTmain(int argc, char** argv) {
  CSTinstall_new_handler();
  PLATensure_std_fds();
  PLATignore_sigpipe();
  PLATcatch_stop_signals();
  PLATreset_signals();
  int args = argc - 1;
  int ipv4 = (args == 2 && std::strcmp(argv[2], "-IPv4") == 0) ? 1 : 0;

  agt_context_ptr context = CTXnew(10);
  if (!context || TCPIPinit(context.get(), ipv4) != 0) {
    CSTprintf("Internal error with TCPIP...\n");
    CTXfree(context);
    CSTexit(3);
  }

  if (args == 1 || args == 2) {
    int port = parse_port(argv[1]);
    if (port < 0) {
      CSTfprintf(stderr, "%s", AGT_USAGE);
      TCPIPterm(context.get());
      CTXfree(context);
      CSTexit(1);
    }
    CSTfprintf(stderr, "%s", AGT_BANNER);
    AGTlisten(context.get(), argv[0], port);
  }
  if (args == 3) {
    int command_socket = parse_fd(argv[2]);
    int listen_socket = parse_fd(argv[3]);
    if (listen_socket >= 0) TCPIPclose(context.get(), listen_socket);
    if (command_socket >= 0) AGTserve(argv[1], command_socket);
    CSTexit(0);
  }
  CSTfprintf(stderr, "%s", AGT_USAGE);
  TCPIPterm(context.get());
  CTXfree(context);
  CSTexit(1);
}

void AGTlisten(agt_context* context, const char* program, int port) {
  int probe = TCPIPconnect(context, "localhost", nullptr, port);
  TCPIPdiscard(probe);
  if (probe >= 0) {
    CSTprintf("kvsagtd : The port %d is already used. An other agent may be running\n", port);
    CSTexit(1);
  }
  int listen_socket = TCPIPlisten(context, nullptr, nullptr, &port);
  if (listen_socket < 0) {
    CSTprintf("kvsagtd.bin : Fatal error, unable to bind to the port %d %d\n", port, -1);
    CSTexit(1);
  }
  PLATreap_children();
  const int pause_ms = AGTaccept_pause_ms(std::getenv("KVS_ACCEPT_PAUSE_MS"));
  // SIGTERM or SIGINT: no new connection is accepted; the connection
  // processes serve on until their studios leave. The wait, unlike a
  // blocking accept, returns when such a signal arrives.
  TCPIPwatch(context, listen_socket);
  while (!PLATstop_requested()) {
    std::vector<int> ready;
    if (TCPIPwait(context, ready, 1000) <= 0) continue;
    int accepted = -1;
    if (TCPIPaccept_stream(context, listen_socket, &accepted, nullptr, nullptr) != 0) {
      if (!PLATstop_requested()) std::perror("TCPIPaccept_stream");
    } else {
      // The peer's name is looked up in the new process: a slow resolver
      // holds up that connection only, never the accept loop.
      PLATspawn_self({program, "", std::to_string(accepted), std::to_string(listen_socket)}, {accepted, listen_socket},
                     [accepted](std::vector<std::string>& argv) { TCPIPpeer_host(accepted, &argv[1]); });
      TCPIPclose(context, accepted);
    }
    if (pause_ms > 0) PLATsleep_ms(pause_ms);
  }
  TCPIPclose(context, listen_socket);
  TCPIPterm(context);
  CSTexit(0);
}

void AGTserve(const char* peer_name, int command_socket) {
  agt_context_ptr owner = CTXnew(10);
  if (!owner) return;
  agt_context* context = owner.get();
  serving = context;
  CSTon_fatal(teardown_on_fatal);
  TCPIPinit(context, command_socket);
  TCPIPno_delay(command_socket);
  // Inherited without close-on-exec; launched programs must not hold it.
  PLATset_cloexec(command_socket);
  kvwstr greeting = CMDreply(MSG_HELLO);
  send_line(context, command_socket, greeting);

  if (CMDinit(context, peer_name) == 0 && RDVAinit(context) == 0 && DYNFinit(context) == 0) {
    TCPIPwatch(context, command_socket);
    TCPIPset_guard(context, command_socket);
    kvwstr buffer;
    std::vector<int> ready;
    int stop = 0;
    while (stop == 0) {
      if (cmd_reply ended = CMDpoll(context)) send_line(context, command_socket, *ended);
      ready.clear();
      if (TCPIPwait(context, ready, 1000) > 0) {
        AGTcommand_ready(context, ready, command_socket, buffer, &stop);
        AGTforward_rdv(context, ready, command_socket);
        AGTforward_dynf(context, ready, command_socket);
      }
      // SIGTERM or SIGINT: the same teardown as when the studio leaves.
      if (PLATstop_requested()) stop = 1;
    }
    TCPIPunwatch(context, command_socket);
    // The studio is no longer served: the last answers to testers must not
    // fail because it has already hung up.
    TCPIPset_guard(context, -1);
    RDVAterm(context);
    DYNFterm(context);
    CMDterm(context);
  }
  TCPIPclose(context, command_socket);
  TCPIPterm(context);
  CSTon_fatal(nullptr);
  serving = nullptr;
  CTXfree(owner);
}

void AGTcommand_ready(agt_context* context, const std::vector<int>& ready, int command_socket, kvwstr& buffer,
                      int* stop) {
  if (std::find(ready.begin(), ready.end(), command_socket) == ready.end()) return;
  int before = buffer.len();
  int end = 0;
  TCPIPrecv_append(context, command_socket, buffer, &end);
  if (end != 0 || buffer.len() == before) {
    *stop = 1;
    return;
  }
  AGTsplit_lines(context, buffer, stop, command_socket);
  if (*stop == 0 && buffer.len() > AGT_LINE_CAP) {
    CSTprintf("kvsagtd : command line longer than %d bytes, connection closed\n", AGT_LINE_CAP);
    *stop = 1;
  }
}

void AGTsplit_lines(agt_context* context, kvwstr& buffer, int* stop, int command_socket) {
  char* begin = buffer.data();
  char* end = begin + buffer.len();
  char* position = begin;
  auto next_line_end = [&]() {
    return static_cast<char*>(memmem(position, static_cast<std::size_t>(end - position), "\r\n", 2));
  };
  bool held = false;
  for (char* cr = next_line_end(); cr != nullptr && *stop == 0;) {
    *cr = '\0';
    cmd_reply reply = CMDline(context, position, stop);
    *cr = '\r';
    position = cr + 2;
    // A studio that vanished during a blocking command gets nothing more done.
    if (TCPIPguard_lost(context) != 0) *stop = 1;
    cr = next_line_end();
    if (reply) {
      // Each reply is sent before the next line is dispatched; when that line
      // is already here, the reply may wait in the system for the next ones,
      // so that a burst of commands is answered in a few segments instead of
      // one per line. Nothing stays held once the burst is answered, nor when
      // a command blocks (the network layer pushes it out first).
      held = cr != nullptr && *stop == 0;
      reply->cat("\r\n");
      int length = reply->len();
      if (held)
        TCPIPsend_more(context, command_socket, reply->c_str(), &length);
      else
        TCPIPsend(context, command_socket, reply->c_str(), &length);
    }
  }
  if (held) TCPIPpush(context, command_socket);
  buffer.cut(0, static_cast<int>(position - begin));
}

void AGTforward_rdv(agt_context* context, const std::vector<int>& ready, int command_socket) {
  if (std::optional<kvwstr> lines = RDVAready(context, ready)) send_line(context, command_socket, *lines);
}

void AGTforward_dynf(agt_context* context, const std::vector<int>& ready, int command_socket) {
  if (std::optional<kvwstr> lines = DYNFprocess(context, ready)) send_line(context, command_socket, *lines);
}
