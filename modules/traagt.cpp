#include "modules/traagt_internal.h"

#include <algorithm>
#include <cerrno>

#include "modules/side_port.h"
#include "net/tcpip.h"
#include "support/cstsyst.h"

namespace {

// Input dropped from a connection about to close, at most: what a studio
// sent that no program read is in the system's buffers, which hold less.
constexpr int TRA_DROP_MAX = 1 << 22;

}  // namespace

int TRAinit(agt_context* context) {
  if (context == nullptr) return -1;
  auto state = std::make_unique<tra_state>();
  state->port = 0;  // any free port
  int s = TCPIPlisten(context, nullptr, nullptr, &state->port);
  if (s < 0) return -1;
  state->listen_socket = unique_fd(s);
  return CTXinstall(context, std::move(state), CTX_SLOT_TRACE);
}

int TRAterm(agt_context* context) {
  if (CTXstate<tra_state>(context, CTX_SLOT_TRACE) == nullptr) return -1;
  std::unique_ptr<tra_state> state = CTXtake<tra_state>(context, CTX_SLOT_TRACE);
  // The listening socket is watched only while TRWA waits; trace connections
  // never are: releasing the state closes them all.
  if (state->waiting) TCPIPunwatch(context, state->listen_socket.get());
  return 0;
}

int TRAget_port(agt_context* context) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  return state == nullptr ? -1 : state->port;
}

namespace {

const char tra_owner_tag = 0;  // the owner of the trace port while TRWA waits
constexpr tcpip_owner tra_owner = &tra_owner_tag;

// Closes a relay now; it is freed on the next turn, outside the handlers
// that may be running for it.
void drop(tra_state* state, std::unique_ptr<tra_relay> relay) {
  if (tcpip_conn* conn = relay->studio(); conn != nullptr && conn->socket >= 0) conn->type->close(conn);
  state->dropped.push_back(std::move(relay));
}

void end_wait(agt_context* context, tra_state* state) {
  state->waiting = false;
  TCPIPunwatch(context, state->listen_socket.get());
  for (auto& relay : state->handshaking) drop(state, std::move(relay));
  state->handshaking.clear();
}

// The latest TRWA failed: the previous connection can no longer be given to
// a program.
void failed(agt_context* context, tra_state* state, int error) {
  end_wait(context, state);
  state->trace_socket = -1;
  state->latest = 0;
  CMDfailed(CTXstate<cmd_state>(context, CTX_SLOT_CMD), "TRWA", "TRAwait_connection", nullptr, error);
  CMDfinish(context, CMDreply(MSG_525_TRACE_FAILED));
}

// The connection of the latest TRWA has come: the programs launched from
// now on get it.
void established(agt_context* context, tra_state* state, tra_connection connection, int program_handle) {
  end_wait(context, state);
  connection.serial = state->next_serial++;
  state->connections.push_back(std::move(connection));
  state->trace_socket = program_handle;
  state->latest = state->connections.back().serial;
  CMDfinish(context, CMDreply(MSG_225_TRACE_ESTABLISHED));
}

// A relayed connection has ended its handshake: it becomes the trace
// connection when it belongs to the session (over mutual TLS, its
// certificate's key is the studio's); otherwise it is closed and logged,
// and the wait goes on.
void handshaken(agt_context* context, tra_relay* relay) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr) return;
  auto found = std::find_if(state->handshaking.begin(), state->handshaking.end(),
                            [relay](const std::unique_ptr<tra_relay>& r) { return r.get() == relay; });
  if (found == state->handshaking.end()) return;
  std::unique_ptr<tra_relay> owned = std::move(*found);
  state->handshaking.erase(found);
  if (!SIDEsession_conn(context, relay->studio(), state->port)) return drop(state, std::move(owned));
  if (relay->begin() != 0) {
    const int error = errno;
    drop(state, std::move(owned));
    return failed(context, state, error);
  }
  tra_connection connection;
  connection.relay = std::move(owned);
  const int program_handle = relay->program_end();
  connection.socket = unique_fd();
  established(context, state, std::move(connection), program_handle);
}

// The trace port is readable: the connection, when its peer is the studio's
// host (others are closed and logged, and the wait goes on). A plain one
// stays blocking: it becomes the standard handles of programs. One the
// programs cannot use starts its handshake, and a relay carries it.
void accept_trace(agt_context* context, int listen_socket, void*) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr || !state->waiting) return;
  // No relay's handler runs here: the refused ones go.
  state->dropped.clear();
  int accepted = -1;
  errno = 0;
  int rc = SIDEaccept(context, listen_socket, side_rule::studio_host, false, &accepted, !state->relayed);
  if (rc > 0) return;
  if (rc < 0) return failed(context, state, errno);
  if (state->relayed) {
    // A further connection ends the oldest handshake, so that stalled ones
    // cannot keep the studio's out.
    if (state->handshaking.size() >= TRA_HANDSHAKES_MAX) {
      CSTprintf("kvsagtd : TLS handshake on port %d given up: %zu newer ones\n", state->port, TRA_HANDSHAKES_MAX);
      drop(state, std::move(state->handshaking.front()));
      state->handshaking.erase(state->handshaking.begin());
    }
    std::unique_ptr<tra_relay> relay = tra_relay::accept(context, SIDEconn_type(context), accepted);
    if (!relay) return failed(context, state, EMFILE);
    state->handshaking.push_back(std::move(relay));
    // Set afterwards: a handshake that ends within accept finds its relay
    // among those under way.
    tra_relay* started = state->handshaking.back().get();
    started->set_handshaken(handshaken);
    if (started->studio()->state != tcpip_conn_state::accepting) handshaken(context, started);
    return;
  }
  tra_connection connection;
  connection.socket = unique_fd(accepted);
  established(context, state, std::move(connection), accepted);
}

void expired(agt_context* context, int, void*) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr || !state->waiting) return;
  CSTprintf("kvsagtd : no trace connection within %d s\n", SIDE_IDLE_MS / 1000);
  failed(context, state, ETIMEDOUT);
}

}  // namespace

int TRAwait_connection(agt_context* context) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr || state->waiting) return -1;
  const int listener = state->listen_socket.get();
  if (TCPIPwatch_as(context, listener, tra_owner) < 0) return -1;
  state->waiting = true;
  // Programs cannot speak TLS: in a TLS session relays carry their streams.
  state->relayed = TCPIPtls(context);
  TCPIPset_handlers(context, listener, accept_trace, nullptr, nullptr);
  TCPIPset_deadline(context, listener, SIDE_IDLE_MS, expired);
  // A connection the studio opened before TRWA is already waiting.
  accept_trace(context, listener, nullptr);
  return 0;
}

int TRAset_std_handles(agt_context* context, int trace_flag, int* std_fd, int* connection) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr || std_fd == nullptr) return -1;
  int handle = trace_flag != 0 ? state->trace_socket : state->null_handle;
  if (handle == -1) return -1;
  *std_fd = handle;
  if (connection != nullptr) *connection = handle >= 0 ? state->latest : 0;
  return 0;
}

int TRArelease(agt_context* context, const std::vector<int>& in_use) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr) return 0;
  state->dropped.clear();
  int held = 0;
  std::erase_if(state->connections, [&](tra_connection& connection) {
    tra_relay* relay = connection.relay.get();
    const int fd = relay != nullptr ? relay->studio_socket() : connection.socket.get();
    const tcpip_held now = TCPIPheld_state(fd);
    if (now == tcpip_held::gone || (relay != nullptr && relay->gone())) {
      // Programs still running hold their own copy; later ones get none.
      if (connection.serial == state->latest) {
        state->trace_socket = state->null_handle;
        state->latest = 0;
      }
      return true;
    }
    if (connection.serial == state->latest) return false;
    // No later program is given the relay's end: its output ends once the
    // programs that have it are gone.
    if (relay != nullptr) relay->close_program_end();
    const bool used = std::find(in_use.begin(), in_use.end(), connection.serial) != in_use.end();
    if (used || now == tcpip_held::busy || (relay != nullptr && !relay->delivered())) {
      ++held;
      return false;
    }
    TCPIPdrop_input(fd, TRA_DROP_MAX);
    return true;
  });
  return held;
}

namespace {

const tra_relay* relay_of(agt_context* context, int serial) {
  const tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr || serial <= 0) return nullptr;
  for (const tra_connection& connection : state->connections)
    if (connection.serial == serial) return connection.relay.get();
  return nullptr;
}

}  // namespace

long long TRAoutput_mark(agt_context* context, int serial) {
  const tra_relay* relay = relay_of(context, serial);
  return relay != nullptr ? relay->output_mark() : 0;
}

bool TRAoutput_passed(agt_context* context, int serial, long long mark) {
  const tra_relay* relay = relay_of(context, serial);
  return relay == nullptr || relay->output_passed(mark);
}

cmd_reply TRAcmd_port(agt_context* context, cmd_state*, const char*) {
  int port = TRAget_port(context);
  if (port < 0) return CMDreply(MSG_522_NO_TRACE_PORT);
  return CMDreplyf(MSG_222_TRACE_PORT, "%%%d", port);
}

// Answered once a connection has come (CMDfinish).
cmd_reply TRAcmd_trwa(agt_context* context, cmd_state* state, const char*) {
  CMDdefer(state);
  errno = 0;
  if (TRAwait_connection(context) == 0) return std::nullopt;
  state->cancel_deferral();
  CMDfailed(state, "TRWA", "TRAwait_connection", nullptr, errno);
  return CMDreply(MSG_525_TRACE_FAILED);
}
