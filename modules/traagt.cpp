#include "modules/traagt_internal.h"

#include <cerrno>

#include "net/tcpip.h"
#include "support/cstsyst.h"

namespace {

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
  // Neither socket is ever watched: releasing the state closes the listening
  // socket and every trace connection.
  return 0;
}

int TRAget_port(agt_context* context) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  return state == nullptr ? -1 : state->port;
}

int TRAwait_connection(agt_context* context) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr) return -1;
  // Blocks until a client connects; the network layer gives up when the
  // studio closes the command connection meanwhile.
  int accepted = -1;
  if (TCPIPaccept_stream(context, state->listen_socket.get(), &accepted, nullptr, nullptr) != 0) {
    if (accepted >= 0) TCPIPdiscard(accepted);
    state->trace_socket = -1;
    return -1;
  }
  state->connections.emplace_back(accepted);
  state->trace_socket = accepted;
  return 0;
}

int TRAset_std_handles(agt_context* context, int trace_flag, int* std_fd) {
  tra_state* state = CTXstate<tra_state>(context, CTX_SLOT_TRACE);
  if (state == nullptr || std_fd == nullptr) return -1;
  int handle = trace_flag != 0 ? state->trace_socket : state->null_handle;
  if (handle == -1) return -1;
  *std_fd = handle;
  return 0;
}

cmd_reply TRAcmd_port(agt_context* context, cmd_state*, const char*) {
  int port = TRAget_port(context);
  if (port < 0) return CMDreply(MSG_522_NO_TRACE_PORT);
  return CMDreplyf(MSG_222_TRACE_PORT, "%%%d", port);
}

cmd_reply TRAcmd_trwa(agt_context* context, cmd_state* state, const char*) {
  errno = 0;
  if (TRAwait_connection(context) != 0) {
    CMDfailed(state, "TRWA", "TRAwait_connection", nullptr, errno);
    return CMDreply(MSG_525_TRACE_FAILED);
  }
  return CMDreply(MSG_225_TRACE_ESTABLISHED);
}
