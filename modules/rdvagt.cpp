#include "modules/rdvagt_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "modules/envagt.h"
#include "modules/side_port.h"
#include "net/tcpip.h"
#include "support/cstsyst.h"

namespace {

std::list<rdv_group>::iterator find_group(rdv_state* state, std::string_view name) {
  return std::find_if(state->groups.begin(), state->groups.end(),
                      [name](const rdv_group& group) { return group.name.view() == name; });
}

// Closes a tester's connection, whichever carries it.
void close_waiter(agt_context* context, rdv_waiter& waiter) {
  if (waiter.tls)
    waiter.tls.reset();
  else
    TCPIPclose(context, waiter.socket);
  waiter.socket = -1;
}

// A tester's TLS handshake has ended: it is read from now on, or, refused
// (logged), its record goes.
void tester_handshaken(tcpip_conn* conn) {
  rdv_state* state = CTXstate<rdv_state>(conn->context, CTX_SLOT_RDV);
  if (state == nullptr) return;
  auto record = std::find_if(state->pending.begin(), state->pending.end(),
                             [conn](const rdv_waiter& waiter) { return waiter.tls.get() == conn; });
  if (record == state->pending.end()) return;
  if (!SIDEtester_conn(conn->context, conn, state->port)) state->pending.erase(record);
}

// A new tester on the rendezvous port. It is read only if it can be watched:
// one that arrives while the watched set is full is closed at once rather
// than left unread until the end of the connection. Peers other than this
// machine and the studio's host are closed and logged (SIDEaccept).
std::optional<kvwstr> accept_tester(agt_context* context, rdv_state* state) {
  int accepted = -1;
  bool tls = false;
  int rc = SIDEaccept(context, state->listen_socket, side_rule::machine_or_studio, state->any_host, &accepted, false,
                      &tls);
  if (rc > 0) return std::nullopt;
  if (rc != 0 || accepted < 0) return CMDreply(MSG_580_RDV_ACCEPT_FAILED);
  if (tls) {
    tcpip_conn_ptr conn = TCPIPconn_new(context, TCPIPtls_type, accepted, &rdv_module, nullptr);
    if (!conn) return CMDreply(MSG_580_RDV_ACCEPT_FAILED);
    tcpip_conn* started = conn.get();
    state->pending.push_front(rdv_waiter{accepted, std::move(conn)});
    // Its handler may run at once and take the record.
    started->type->accept(started, tester_handshaken);
    return std::nullopt;
  }
  if (TCPIPwatch_as(context, accepted, &rdv_module) < 0) {
    TCPIPclose(context, accepted);
    return CMDreply(MSG_580_RDV_ACCEPT_FAILED);
  }
  state->pending.push_front(rdv_waiter{accepted});
  return std::nullopt;
}

// Nothing is read from a TLS tester before its handshake has ended.
bool readable(const rdv_waiter& waiter) { return !waiter.tls || waiter.tls->state == tcpip_conn_state::connected; }

// The message for one ready socket, or none when it is not a rendezvous socket.
std::optional<kvwstr> serve_socket(agt_context* context, rdv_state* state, int socket) {
  // Only a socket this module registered, and not closed and reused since the
  // wait reported it (released by RVOK, say, and taken by another accept).
  if (!TCPIPready_for(context, socket, &rdv_module)) return std::nullopt;
  if (socket == state->listen_socket) return accept_tester(context, state);
  for (auto record = state->pending.begin(); record != state->pending.end(); ++record)
    if (record->socket == socket) {
      if (!readable(*record)) return std::nullopt;
      kvwstr message = RDVArecv_name(context, state, record);
      if (message.len() == 0) return std::nullopt;
      return message;
    }
  for (rdv_group& group : state->groups)
    for (auto waiter = group.waiters.begin(); waiter != group.waiters.end(); ++waiter)
      if (waiter->socket >= 0 && waiter->socket == socket) {
        kvwstr message = RDVAwaiter_event(context, group, *waiter);
        if (message.len() == 0) return std::nullopt;
        // A tester that left is closed; its record goes once reported.
        if (waiter->socket < 0) group.waiters.erase(waiter);
        return message;
      }
  return std::nullopt;
}

}  // namespace

int RDVAinit(agt_context* context) {
  if (context == nullptr) return -1;
  // The state is installed once the module has started: an empty slot means "not started".
  auto state = std::make_unique<rdv_state>();
  int port = 0;
  int listen_socket = TCPIPlisten(context, nullptr, nullptr, &port);
  if (listen_socket < 0) {
    CSTprintf("RDVAinit: socket de creation Error\n");
    return -1;
  }
  state->listen_socket = listen_socket;
  state->port = port;
  state->any_host = SIDEtesters_any_host();
  char text[16];
  CSTsnprintf(text, sizeof text, "%d", port);
  ENVset(context, "KVS_PORT_RDV", text);
  TCPIPwatch_as(context, listen_socket, &rdv_module);
  return CTXinstall(context, std::move(state), CTX_SLOT_RDV);
}

int RDVAterm(agt_context* context) {
  if (CTXstate<rdv_state>(context, CTX_SLOT_RDV) == nullptr) return -1;
  std::unique_ptr<rdv_state> state = CTXtake<rdv_state>(context, CTX_SLOT_RDV);
  RDVAclear(context, state.get());
  TCPIPclose(context, state->listen_socket);
  state->listen_socket = -1;
  return 0;
}

int RDVAget_port(agt_context* context) {
  rdv_state* state = CTXstate<rdv_state>(context, CTX_SLOT_RDV);
  return state == nullptr ? -1 : state->port;
}

std::optional<kvwstr> RDVAready(agt_context* context, const std::vector<int>& ready) {
  rdv_state* state = CTXstate<rdv_state>(context, CTX_SLOT_RDV);
  if (state == nullptr) return std::nullopt;
  std::optional<kvwstr> result;
  for (int socket : ready) {
    // Each receive from a tester gives one line for the studio; once what is
    // held for the studio leaves no room for one more, testers wait.
    const std::size_t gathered = result ? static_cast<std::size_t>(result->len()) : 0;
    if (socket != state->listen_socket && TCPIProom(context) < gathered + SIDE_RELAY_MAX) continue;
    std::optional<kvwstr> message = serve_socket(context, state, socket);
    if (!message) continue;
    if (result) {
      result->cat("\r\n").cat(message->view());
    } else {
      result = std::move(message);
    }
  }
  return result;
}

kvwstr RDVArecv_name(agt_context* context, rdv_state* state, rdv_waiters::iterator record) {
  kvwstr text;
  int end = 0;
  int received = TCPIPrecv_append(context, record->socket, text, &end);
  if (TCPIPnothing_yet(received)) return kvwstr();
  if (end != 0) {
    // Gone before naming a rendezvous: closed, its descriptor freed.
    close_waiter(context, *record);
    state->pending.erase(record);
    return CMDreply(MSG_581_RDV_RECV_FAILED);
  }
  return RDVAjoin(state, std::move(text), record);
}

kvwstr RDVAjoin(rdv_state* state, kvwstr text, rdv_waiters::iterator record) {
  if (text.view().ends_with("\r\n")) text.cut(text.len() - 2, 2);
  if (text.len() > RDV_NAME_MAX) text.cut(RDV_NAME_MAX, text.len() - RDV_NAME_MAX);
  kvwstr_one_line(text);  // a CR or LF inside must not make a line of its own in 601 to 603
  auto group = find_group(state, text.view());
  if (group == state->groups.end()) {
    state->groups.push_front(rdv_group{text.copy(), {}});
    group = state->groups.begin();
  }
  group->waiters.splice(group->waiters.begin(), state->pending, record);
  return CMDreplyf(MSG_601_RDV_WAIT, "%s", text.c_str());
}

kvwstr RDVAwaiter_event(agt_context* context, rdv_group& group, rdv_waiter& waiter) {
  kvwstr discarded;
  int end = 0;
  int received = TCPIPrecv_append(context, waiter.socket, discarded, &end);
  if (TCPIPnothing_yet(received)) return kvwstr();
  if (end != 0) {
    close_waiter(context, waiter);
    return CMDreplyf(MSG_602_RDV_QUIT, "%s", group.name.c_str());
  }
  return CMDreplyf(MSG_603_RDV_ERROR, "%s", group.name.c_str());
}

void RDVAanswer(agt_context* context, const char* name, int answer) {
  rdv_state* state = CTXstate<rdv_state>(context, CTX_SLOT_RDV);
  if (state == nullptr || name == nullptr) return;
  // Names are kept as shown in 601: the name as shown releases its group.
  auto group = find_group(state, kvwstr_one_line(std::string_view(name)).view());
  if (group == state->groups.end()) return;
  RDVAreply_all(context, answer, group->waiters);
  state->groups.erase(group);
}

void RDVAreply_all(agt_context* context, int answer, rdv_waiters& records) {
  for (rdv_waiter& record : records) {
    if (record.socket < 0) continue;
    int length = 2;
    // A tester that has vanished meanwhile is not news for the studio; the
    // network layer reports the failed send on the console. One still in
    // its TLS handshake is only closed.
    if (readable(record)) TCPIPsend(context, record.socket, answer == 1 ? "Ok" : "Ko", &length);
    close_waiter(context, record);
  }
  records.clear();
}

void RDVAclear(agt_context* context, rdv_state* state) {
  if (state == nullptr) return;
  for (rdv_group& group : state->groups) RDVAreply_all(context, 0, group.waiters);
  state->groups.clear();
  RDVAreply_all(context, 0, state->pending);
}

cmd_reply RDVAcmd_prdv(agt_context* context, cmd_state*, const char*) {
  int port = RDVAget_port(context);
  if (port < 0) return CMDreply(MSG_540_NO_RDV_PORT);
  return CMDreplyf(MSG_240_RDV_PORT, "%%%d", port);
}

cmd_reply RDVAcmd_rvok(agt_context* context, cmd_state*, const char* argument) {
  RDVAanswer(context, argument, 1);
  return std::nullopt;
}

cmd_reply RDVAcmd_rvko(agt_context* context, cmd_state*, const char* argument) {
  RDVAanswer(context, argument, 0);
  return std::nullopt;
}
