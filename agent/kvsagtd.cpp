#include "agent/kvsagtd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/accept_pause.h"
#include "agent/cmdagt.h"
#include "agent/tls_settings.h"
#include "modules/side_port.h"
#include "net/connection.h"
#include "net/tcpip.h"
#include "platform/handover.h"
#include "platform/process.h"
#include "platform/procname.h"
#include "platform/spawn.h"
#include "platform/tls.h"
#include "support/cstsyst.h"
#include "support/protocol/numbers.h"

namespace {

// A port is a decimal number from 1 to 65535, nothing else.
int parse_port(const char* text) {
  if (text == nullptr) return -1;
  return static_cast<int>(protocol::parse_digits(text, 1, 65535).value_or(-1));
}

// A descriptor or handle value of the internal form: decimal digits only.
bool decimal(const char* text) {
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c)
    if (*c < '0' || *c > '9') return false;
  return true;
}

// The connection being served, for the teardown of a fatal failure.
agt_context* serving = nullptr;

// A fatal failure (a failed allocation or output) still ends the connection
// as its studio leaving does: testers at a rendezvous hear "Ko", programs
// die with their groups.
void teardown_on_fatal() {
  if (serving == nullptr) return;
  TCPIPset_session(serving, -1);
  AGTend_modules(serving);
}

void print_usage(FILE* stream) { CSTfprintf(stream, AGT_USAGE_FORMAT, PLATagent_file_name()); }

void send_line(agt_context* context, int socket, kvwstr& text) {
  text.cat("\r\n");
  TCPIPsend_text(context, socket, text);
}

// The daemon's listening sockets, all on `port`. Without KVS_LISTEN (or with
// it empty) one socket on the wildcard address of the layer's family, once
// the probe on localhost found no agent there; with it, one socket on each
// address it names, each probed only when its address is found in use (an
// address of another machine would leave a probe waiting). Any failure is
// the daemon's end, status 1.
std::vector<int> listening_sockets(agt_context* context, int port) {
  const char* addresses = std::getenv("KVS_LISTEN");
  if (addresses == nullptr || *addresses == '\0') {
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
    return {listen_socket};
  }
  std::vector<tcpip_listen_addr> wanted;
  if (TCPIPlisten_addresses(context, addresses, port, &wanted) != 0) CSTexit(1);
  std::vector<int> sockets;
  for (const tcpip_listen_addr& address : wanted) {
    int listen_socket = TCPIPlisten_at(context, address);
    if (listen_socket >= 0) {
      sockets.push_back(listen_socket);
      continue;
    }
    const int error = errno;
    if (error == EADDRINUSE) {
      int probe = TCPIPconnect(context, address.text.c_str(), nullptr, port);
      TCPIPdiscard(probe);
      if (probe >= 0) {
        CSTprintf("kvsagtd : The port %d is already used. An other agent may be running\n", port);
        CSTexit(1);
      }
    }
    CSTprintf("kvsagtd : cannot listen on %s port %d: %s\n", address.text.c_str(), port, std::strerror(error));
    CSTprintf("kvsagtd.bin : Fatal error, unable to bind to the port %d %d\n", port, -1);
    CSTexit(1);
  }
  return sockets;
}

}  // namespace

int AGTmain(int argc, char** argv) {
  CSTinstall_new_handler();
  PLATensure_std_fds();
  PLATignore_sigpipe();
  int args = argc - 1;
  // Asked by a user: answered before anything starts, on standard output.
  if (args == 1 && std::strcmp(argv[1], "--version") == 0) {
    CSTprintf("%s", AGT_VERSION_LINE);
    CSTexit(0);
  }
  if (args == 1 && std::strcmp(argv[1], "--help") == 0) {
    print_usage(stdout);
    CSTexit(0);
  }
  // A connection process takes its socket over first: one started ahead of
  // its connection waits here, holding nothing but its channel to the daemon
  // (a stop signal meanwhile simply ends it).
  bool name_pending = false;
  // Three words that are not the internal form are a user's mistake.
  const bool internal_form = args == 3 && decimal(argv[2]) && decimal(argv[3]);
  std::string payload;
  int command_socket = internal_form ? PLATtake_over(argv[2], argv[3], &name_pending, &payload) : -1;
  if (internal_form && command_socket < 0) CSTexit(0);
  PLATcatch_stop_signals();
  PLATreset_signals();
  // A connection process starts its network layer once, in its own context.
  if (internal_form) {
    // A TLS daemon hands its material over with the socket: the server
    // context is built from it before anything is read from the peer.
    plat_tls_server_ptr tls;
    if (!payload.empty()) {
      std::string why = "not TLS material";
      if (std::optional<plat_tls_material> material = PLATtls_decode(payload)) tls = PLATtls_server(*material, &why);
      std::fill(payload.begin(), payload.end(), '\0');
      if (!tls) {
        CSTprintf("kvsagtd : TLS material refused (%s), connection closed\n", why.c_str());
        TCPIPdiscard(command_socket);
        CSTexit(0);
      }
    }
    AGTserve(argv[1], command_socket, name_pending, std::move(tls));
    CSTexit(0);
  }
  int ipv4 = (args == 2 && std::strcmp(argv[2], "-IPv4") == 0) ? 1 : 0;

  agt_context_ptr context = CTXnew(10);
  if (!context || TCPIPinit(context.get(), ipv4) != 0) {
    CSTprintf("Internal error with TCPIP...\n");
    CTXfree(context);
    CSTexit(3);
  }

  // The daemon: a port, then nothing or exactly -IPv4.
  if (args == 1 || args == 2) {
    int port = parse_port(argv[1]);
    if (port < 0 || (args == 2 && ipv4 == 0)) {
      print_usage(stderr);
      TCPIPterm(context.get());
      CTXfree(context);
      CSTexit(1);
    }
    CSTfprintf(stderr, "%s", AGT_BANNER);
    AGTlisten(context.get(), argv[0], port);
  }
  print_usage(stderr);
  TCPIPterm(context.get());
  CTXfree(context);
  CSTexit(1);
}

namespace {

// The daemon's TLS: its settings, and the material connection processes get.
struct daemon_tls {
  agt_tls_settings settings;
};

// Reads the TLS settings and their files: the material's hand-over text
// (empty: plain). Settings that do not go together, or files that do not
// make a server, end the daemon before it listens.
std::string start_tls(daemon_tls& tls) {
  for (const char* name : {"KVS_TLS_CERT", "KVS_TLS_KEY", "KVS_TLS_CLIENT_CA"})
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0' && !PLATtls_available()) {
      CSTprintf("kvsagtd : TLS is not available in the Windows build (%s is set)\n", name);
      CSTexit(1);
    }
  std::string error;
  if (!AGTtls_settings(std::getenv("KVS_TLS_CERT"), std::getenv("KVS_TLS_KEY"), std::getenv("KVS_TLS_CLIENT_CA"),
                       &tls.settings, &error)) {
    CSTprintf("kvsagtd : %s\n", error.c_str());
    CSTexit(1);
  }
  if (!tls.settings.on) return {};
  std::optional<plat_tls_material> material = AGTtls_load(tls.settings, &error);
  if (!material) {
    CSTprintf("kvsagtd : TLS settings refused: %s\n", error.c_str());
    CSTexit(1);
  }
  return PLATtls_encode(*material);
}

void log_tls_mode(const daemon_tls& tls) {
  if (!tls.settings.on) return;
  if (tls.settings.ca.empty())
    CSTprintf("kvsagtd : TLS 1.3, certificate %s, no client certificates asked for\n", tls.settings.cert.c_str());
  else
    CSTprintf("kvsagtd : TLS 1.3, certificate %s, client certificates from %s\n", tls.settings.cert.c_str(),
              tls.settings.ca.c_str());
}

// SIGHUP: the same files again. A new connection gets the new material; the
// connections being served keep theirs; a failure keeps the old material.
void reload_tls(const daemon_tls& tls, plat_hand_overs& spare) {
  if (!tls.settings.on) {
    CSTprintf("kvsagtd : SIGHUP: no TLS settings, nothing to reload\n");
    return;
  }
  std::string why;
  std::optional<plat_tls_material> material = AGTtls_load(tls.settings, &why);
  if (material && !PLATset_hand_over_payload(spare, PLATtls_encode(*material))) why = std::strerror(errno);
  if (!material || why.size() > 0) {
    CSTprintf("kvsagtd : TLS reload failed, the previous certificate stays in use: %s\n", why.c_str());
    return;
  }
  CSTprintf("kvsagtd : TLS reloaded: certificate %s\n", tls.settings.cert.c_str());
}

}  // namespace

void AGTlisten(agt_context* context, const char* program, int port) {
  daemon_tls tls;
  std::string payload = start_tls(tls);
  const std::vector<int> listening = listening_sockets(context, port);
  PLATreap_children();
  const int pause_ms = AGTaccept_pause_ms(std::getenv("KVS_ACCEPT_PAUSE_MS"));
  // The next connection process is started ahead of its connection: at
  // start, and again a little into the pause after each accept (started at
  // once, it would take the CPU from the connection just handed over).
  const int prepare_after_ms = std::min(pause_ms, AGT_PREPARE_AFTER_MS);
  plat_hand_overs spare;
  if (!PLATset_hand_over_payload(spare, payload)) {
    CSTprintf("kvsagtd : TLS material cannot be kept for the connections: %s\n", std::strerror(errno));
    CSTexit(1);
  }
  // The memory file holds it from now on; no copy of the key stays about.
  std::fill(payload.begin(), payload.end(), '\0');
  log_tls_mode(tls);
  PLATcatch_reload_signal();
  PLATprepare_hand_over(spare, program);
  // SIGTERM or SIGINT: no new connection is accepted; the connection
  // processes serve on until their studios leave. The wait, unlike a
  // blocking accept, returns when such a signal arrives.
  for (int listen_socket : listening) TCPIPwatch(context, listen_socket);
  // One connection a turn, from the ready socket after the one served last:
  // a flood on one address does not shut the others out.
  std::size_t last = listening.size() - 1;
  while (!PLATstop_requested()) {
    if (PLATreload_requested()) reload_tls(tls, spare);
    std::vector<int> ready;
    if (TCPIPwait(context, ready, 1000) <= 0) continue;
    std::size_t next = last;
    for (std::size_t step = 1; step <= listening.size(); ++step) {
      std::size_t at = (last + step) % listening.size();
      if (std::find(ready.begin(), ready.end(), listening[at]) != ready.end()) {
        next = at;
        break;
      }
    }
    last = next;
    const int listen_socket = listening[next];
    int accepted = -1;
    const int taken = TCPIPaccept_stream(context, listen_socket, &accepted, nullptr, nullptr);
    if (taken != 0) {
      // 1: the connection went away before it was taken.
      if (taken < 0 && !PLATstop_requested()) std::perror("TCPIPaccept_stream");
    } else {
      // The peer's name is looked up in the new process: a slow resolver
      // holds up that connection only, never the accept loop.
      if (PLAThand_over(spare, program, accepted, listen_socket,
                        [accepted](std::string& name) { TCPIPpeer_host(accepted, &name); }) < 0 &&
          tls.settings.on)
        CSTprintf("kvsagtd : no connection process took the connection, closed\n");
      TCPIPclose(context, accepted);
    }
    if (prepare_after_ms > 0) PLATsleep_ms(prepare_after_ms);
    if (!PLATstop_requested()) PLATprepare_hand_over(spare, program);
    if (pause_ms > prepare_after_ms) PLATsleep_ms(pause_ms - prepare_after_ms);
  }
  PLATend_hand_overs(spare);
  for (int listen_socket : listening) TCPIPclose(context, listen_socket);
  TCPIPterm(context);
  CSTexit(0);
}

namespace {

// A setting of the daemon's environment, read once: SENV cannot change it.
int setting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return static_cast<int>(protocol::parse_digits(text, 0, 1 << 24).value_or(fallback));
}

// Testers are read only while one more receive of theirs fits in what the
// connection may hold for its studio, and not while a deferred command is at
// work (their text then waits for the turn after it, as the studio's lines
// do); otherwise their input waits in the system. A channel's sockets are
// registered with its record as their owner.
void hold_channels(agt_context* context) {
  const bool held = CMDbusy(context) || TCPIProom(context) < SIDE_RELAY_MAX;
  for (const agt_module* module : CMDmodules())
    if (module->channel) TCPIPhold_input(context, module, held);
}

// The owner of the command connection in the registry.
const char command_owner_tag = 0;
constexpr tcpip_owner command_owner = &command_owner_tag;

// Lets the last replies (221 bye.) leave before the connection closes,
// unless the studio does not take them within `ms` or a stop signal comes:
// the waits send what is queued and read nothing.
void drain_replies(agt_context* context, int command_socket, int ms) {
  TCPIPhold_all_input(context, true);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::vector<int> ready;
  while (!PLATstop_requested() && TCPIPqueued(context, command_socket) > 0 &&
         !TCPIPsend_failed(context, command_socket)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    ready.clear();
    TCPIPwait(context, ready, static_cast<int>(left.count()));
  }
  TCPIPhold_all_input(context, false);
}

bool identified(agt_context* context) { return CMDadmitted(context); }

// The TLS handshake of the command connection, before the greeting: the
// wait serves nothing else meanwhile, and the time it takes counts against
// the time to identify a user. The connection carrying the socket, or none
// when the handshake failed, did not end in time or a stop signal came (all
// logged but the signal).
tcpip_conn_ptr tls_handshake(agt_context* context, int command_socket, int ident_timeout,
                             std::chrono::steady_clock::time_point started) {
  // The peer's address now: a peer that leaves during the handshake has
  // none to ask for afterwards.
  tcpip_ip peer, local;
  TCPIPaddresses(command_socket, &peer, &local);
  tcpip_conn_ptr conn = TCPIPconn_new(context, TCPIPtls_type, command_socket, command_owner, nullptr);
  if (!conn) return nullptr;
  conn->type->accept(conn.get(), nullptr);
  std::vector<int> ready;
  while (conn->state == tcpip_conn_state::accepting && !PLATstop_requested()) {
    int timeout = -1;
    if (ident_timeout > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          started + std::chrono::seconds(ident_timeout) - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        CSTprintf("kvsagtd : no user identified within %d s, connection closed\n", ident_timeout);
        TCPIPconn_release(conn);
        return nullptr;
      }
      timeout = static_cast<int>(left.count()) + 1;
    }
    ready.clear();
    TCPIPwait(context, ready, timeout);
    TCPIPdispatch(context);
  }
  if (conn->state != tcpip_conn_state::connected) {
    if (!PLATstop_requested()) {
      CSTprintf("kvsagtd : TLS handshake with %s failed (%s), connection closed\n", TCPIPip_text(peer).c_str(),
                kvwstr_one_line(TCPIPconn_error(conn.get()).c_str()).c_str());
    }
    TCPIPconn_release(conn);
    return nullptr;
  }
  std::optional<std::string> identity;
  std::string key;
  TCPIPconn_peer(conn.get(), &identity, &key);
  // A client certificate was asked for and verified: the server takes no
  // session without one when it asks.
  const bool mutual = !key.empty();
  TCPIPset_session_tls(context, mutual, std::move(identity), std::move(key));
  return conn;
}

}  // namespace

void AGTserve(const char* peer_name, int command_socket, bool name_pending, plat_tls_server_ptr tls) {
  agt_context_ptr owner = CTXnew(10);
  if (!owner) return;
  agt_context* context = owner.get();
  serving = context;
  CSTon_fatal(teardown_on_fatal);
  const int ident_timeout = setting("KVS_IDENT_TIMEOUT", AGT_IDENT_TIMEOUT);
  CSTset_debug(setting("KVS_DEBUG", 0) == 1);
  TCPIPinit(context, command_socket);
  TCPIPno_delay(command_socket);
  // A studio whose machine vanished is noticed within about two minutes.
  TCPIPkeep_alive(command_socket);
  // Inherited without close-on-exec; launched programs must not hold it.
  PLATset_cloexec(command_socket);
  // From here on the command connection is non-blocking: the greeting and
  // every reply wait in its queue until the studio takes them.
  TCPIPwatch_as(context, command_socket, command_owner);
  TCPIPset_session(context, command_socket);
  // Over TLS the time to identify starts with the handshake.
  const bool over_tls = tls != nullptr;
  const auto handshake_started = std::chrono::steady_clock::now();
  tcpip_conn_ptr tls_command;
  if (over_tls) {
    TCPIPset_tls(context, std::move(tls));
    tls_command = tls_handshake(context, command_socket, ident_timeout, handshake_started);
    if (!tls_command) {
      TCPIPset_session(context, -1);
      TCPIPclose(context, command_socket);
      TCPIPterm(context);
      CSTon_fatal(nullptr);
      serving = nullptr;
      CTXfree(owner);
      return;
    }
  }
  kvwstr greeting = CMDreply(MSG_210_HELLO);
  send_line(context, command_socket, greeting);
  // The peer's name, when still to be looked up, is wanted only from the
  // first command on: the greeting does not wait for the resolver.
  std::string peer = peer_name;
  if (name_pending) TCPIPpeer_host(command_socket, &peer);

  if (AGTstart_modules(context, peer.c_str()) == 0) {
    // The studio's text not yet cut into lines; lines sent while a command
    // is deferred wait here for it to end.
    kvwstr buffer;
    const auto started = over_tls ? handshake_started : std::chrono::steady_clock::now();
    std::vector<int> ready;
    int stop = 0;
    while (stop == 0) {
      // While a command is deferred (GETF, PUTF, TRWA) the turn only serves
      // its side connection and gathers the studio's text: no program's end
      // is reported, no tester is read, no line is dispatched.
      if (!CMDbusy(context))
        if (cmd_reply ended = CMDpoll(context)) send_line(context, command_socket, *ended);
      // Back-pressure: a studio that does not read its replies is not read
      // either, nor are the testers once what is held for it is at its bound.
      TCPIPset_read(context, command_socket, TCPIPqueued(context, command_socket) <= AGT_HIGH_WATER);
      hold_channels(context);
      // Running programs are polled every second; otherwise only an event
      // (input, writable output, a program's end, a stop signal, a side
      // connection's deadline) wakes the wait, or the end of the time to
      // identify.
      int timeout = CMDwait_at_most(context);
      bool timed = ident_timeout > 0 && !identified(context);
      if (timed) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            started + std::chrono::seconds(ident_timeout) - std::chrono::steady_clock::now());
        int until = static_cast<int>(std::max<long long>(0, left.count()) + 1);
        timeout = timeout < 0 ? until : std::min(timeout, until);
      }
      ready.clear();
      TCPIPwait(context, ready, timeout);
      // The side connections of a deferred command first: when it ends, its
      // reply goes before the lines that waited for it are dispatched.
      TCPIPdispatch(context);
      if (cmd_reply done = CMDfinished(context)) send_line(context, command_socket, *done);
      AGTcommand_ready(context, ready, command_socket, buffer, &stop);
      // A command deferred in this turn holds the channels back already:
      // what they had is still there for the turn after it.
      if (!CMDbusy(context)) AGTserve_channels(context, ready, command_socket);
      // SIGTERM or SIGINT: the same teardown as when the studio leaves.
      if (PLATstop_requested()) stop = 1;
      if (stop == 0 && timed && !identified(context) &&
          std::chrono::steady_clock::now() >= started + std::chrono::seconds(ident_timeout)) {
        CSTprintf("kvsagtd : no user identified within %d s, connection closed\n", ident_timeout);
        stop = 1;
      }
    }
    // Tester text that came before the end (while GETF, PUTF or TRWA was
    // deferred, say) is still forwarded: one last look at the tester
    // sockets, without waiting.
    if (identified(context) && !PLATstop_requested() && !TCPIPsend_failed(context, command_socket)) {
      TCPIPset_read(context, command_socket, false);
      if (CMDbusy(context)) {
        // A deferred command that did not end is not waited for any longer.
        for (const agt_module* module : CMDmodules())
          if (module->channel) TCPIPhold_input(context, module, TCPIProom(context) < SIDE_RELAY_MAX);
      } else {
        hold_channels(context);
      }
      ready.clear();
      TCPIPwait(context, ready, 0);
      AGTserve_channels(context, ready, command_socket);
    }
    drain_replies(context, command_socket, PLATstop_requested() ? 0 : 2000);
    TCPIPunwatch(context, command_socket);
    // A TLS session's end (close_notify) follows what the unwatch sent.
    TCPIPconn_release(tls_command);
    // The studio is no longer served: the last answers to testers must not
    // count against it.
    TCPIPset_session(context, -1);
    AGTend_modules(context);
  }
  TCPIPconn_release(tls_command);
  TCPIPclose(context, command_socket);
  TCPIPterm(context);
  CSTon_fatal(nullptr);
  serving = nullptr;
  CTXfree(owner);
}

void AGTcommand_ready(agt_context* context, const std::vector<int>& ready, int command_socket, kvwstr& buffer,
                      int* stop) {
  if (TCPIPsend_failed(context, command_socket)) {
    *stop = 1;
    return;
  }
  if (std::find(ready.begin(), ready.end(), command_socket) != ready.end()) {
    int before = buffer.len();
    int end = 0;
    // Nothing to read yet (part of a TLS record) is no end.
    if (TCPIPnothing_yet(TCPIPrecv_append(context, command_socket, buffer, &end))) {
      end = 0;
    } else if (end != 0 || buffer.len() == before) {
      *stop = 1;
      return;
    }
  }
  // Lines held back while the studio did not read are dispatched as soon as
  // its replies have gone.
  AGTsplit_lines(context, buffer, stop, command_socket);
  if (*stop == 0 && buffer.len() > AGT_LINE_CAP) {
    CSTprintf("kvsagtd : command line longer than %d bytes, connection closed\n", AGT_LINE_CAP);
    *stop = 1;
  }
}

void AGTsplit_lines(agt_context* context, kvwstr& buffer, int* stop, int command_socket) {
  // Positions, not pointers: the buffer is only cut once the loop is done.
  // A deferred command (GETF, PUTF, TRWA) stops the dispatch; the lines
  // after it stay in the buffer until it has ended.
  std::size_t position = 0;
  std::string line;
  while (*stop == 0 && !CMDbusy(context) && TCPIPqueued(context, command_socket) <= AGT_HIGH_WATER) {
    std::size_t cr = buffer.view().find("\r\n", position);
    if (cr == std::string_view::npos) break;
    line.assign(buffer.view().substr(position, cr - position));
    position = cr + 2;
    cmd_reply reply = CMDline(context, line.c_str(), stop);
    if (reply) {
      // Each reply is queued before the next line is dispatched; when that
      // line is already here, it leaves with the replies that follow, so
      // that a burst of commands is answered in a few segments instead of
      // one per line.
      reply->cat("\r\n");
      TCPIPqueue(context, command_socket, reply->view());
      if (*stop != 0 || buffer.view().find("\r\n", position) == std::string_view::npos)
        TCPIPwrite_queued(context, command_socket);
    }
  }
  // A deferred command does not hold back what was answered before it.
  TCPIPwrite_queued(context, command_socket);
  buffer.cut(0, static_cast<int>(position));
}

int AGTstart_modules(agt_context* context, const char* peer_name) {
  // The interpreter starts the modules its commands need; then the channels
  // start in order, each only when the previous one did. A failure leaves
  // the modules already started as they are.
  if (CMDinit(context, peer_name) != 0) return -1;
  for (const agt_module* module : CMDmodules())
    if (module->channel && module->start != nullptr && module->start(context) != 0) return -1;
  return 0;
}

void AGTend_modules(agt_context* context) {
  for (const agt_module* module : CMDmodules())
    if (module->channel && module->end != nullptr) module->end(context);
  CMDterm(context);
}

void AGTserve_channels(agt_context* context, const std::vector<int>& ready, int command_socket) {
  for (const agt_module* module : CMDmodules())
    if (module->ready != nullptr)
      if (std::optional<kvwstr> lines = module->ready(context, ready)) send_line(context, command_socket, *lines);
}
