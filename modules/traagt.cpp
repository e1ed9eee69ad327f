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

void end_wait(agt_context* context, tra_state* state) {
  state->waiting = false;
  TCPIPunwatch(context, state->listen_socket.get());
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

// The trace port is readable: the connection, when its peer is the studio's
// host (others are closed and logged, and the wait goes on). It stays
// blocking: it becomes the standard handles of programs.
void accept_trace(agt_context* context, int listen_socket, void*) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr || !state->waiting) return;
  int accepted = -1;
  errno = 0;
  int rc = SIDEaccept(context, listen_socket, side_rule::studio_host, false, &accepted, true);
  if (rc > 0) return;
  if (rc < 0) return failed(context, state, errno);
  end_wait(context, state);
  state->connections.push_back(tra_connection{unique_fd(accepted), state->next_serial++});
  state->trace_socket = accepted;
  state->latest = state->connections.back().serial;
  CMDfinish(context, CMDreply(MSG_225_TRACE_ESTABLISHED));
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
  int held = 0;
  std::erase_if(state->connections, [&](tra_connection& connection) {
    const int fd = connection.socket.get();
    const tcpip_held now = TCPIPheld_state(fd);
    if (now == tcpip_held::gone) {
      // Programs still running hold their own copy; later ones get none.
      if (connection.serial == state->latest) {
        state->trace_socket = state->null_handle;
        state->latest = 0;
      }
      return true;
    }
    if (connection.serial == state->latest) return false;
    const bool used = std::find(in_use.begin(), in_use.end(), connection.serial) != in_use.end();
    if (used || now == tcpip_held::busy) {
      ++held;
      return false;
    }
    TCPIPdrop_input(fd, TRA_DROP_MAX);
    return true;
  });
  return held;
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
