#include "modules/dynfagt_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "modules/envagt.h"
#include "modules/side_port.h"
#include "net/tcpip.h"
#include "support/cstsyst.h"

namespace {

dynf_tester* find_tester(dynf_state* state, int socket) {
  for (dynf_tester& tester : state->testers)
    if (tester.fd() == socket) return &tester;
  return nullptr;
}

dynf_tester* find_id(dynf_state* state, int id) {
  for (dynf_tester& tester : state->testers)
    if (tester.id == id) return &tester;
  return nullptr;
}

// Line prefixes in the order they are tried; the first that matches decides.
// The TSF_ ones are only tried for lines that begin with "TSF_".
struct keyword {
  std::string_view prefix;
  cmd_msg_id reply;
};

constexpr keyword kTsfKeywords[] = {
    {"TSF_notify", MSG_703_TSF_NOTIFY},
    {"TSF_declare_ni", MSG_704_TSF_DECLARE_INSTANCE},
    {"TSF_synchro", MSG_705_TSF_SYNCHRO},
    {"TSF_send", MSG_706_TSF_SEND},
    {"TSF_waittil", MSG_707_TSF_WAITTIL},
    {"TSF_begin_waittil", MSG_711_TSF_BEGIN_WAITTIL},
    {"TSF_end_waittil", MSG_712_TSF_END_WAITTIL},
    {"TSF_inittermexcept", MSG_713_TSF_INITTERMEXCEPT},
    {"TSF_intersend", MSG_708_TSF_INTERSEND},
    {"TSF_interrecv", MSG_709_TSF_INTERRECV},
};

constexpr keyword kOtherKeywords[] = {
    {"INTERSEND", MSG_720_INTERSEND},
    {"INTERRECV", MSG_721_INTERRECV},
    {"TIMEOUTRQST", MSG_722_TIMEOUT_REQUEST},
    {"STDIOLKAVAIL", MSG_800_STUDIO_AVAILABILITY},
};

void join(std::optional<kvwstr>& result, std::optional<kvwstr> text) {
  if (!text) return;
  if (!result) {
    result = std::move(text);
  } else {
    result->cat("\r\n");
    result->cat(text->view());
  }
}

// Sums the testers' unfinished lines and tells the network layer, which
// counts them against what the connection holds for its studio.
void account(agt_context* context, dynf_state* state) {
  std::size_t total = 0;
  for (const dynf_tester& tester : state->testers) total += static_cast<std::size_t>(tester.pending.len());
  state->pending_total = total;
  TCPIPset_held(context, &dynf_module, total);
}

// A tester that closed or failed: closed and forgotten.
void retire(agt_context* context, dynf_state* state, dynf_tester& tester) {
  DYNFremove_tester(context, state, tester.fd());
}

std::optional<kvwstr> receive_boot(agt_context* context, dynf_state* state, dynf_tester& tester) {
  int socket = tester.fd();
  kvwstr boot;
  int end = 0;
  int received = TCPIPrecv_append(context, socket, boot, &end);
  if (TCPIPnothing_yet(received)) return std::nullopt;
  if (received < 0 || end != 0) {
    DYNFsend(context, socket, "Ko");
    DYNFremove_tester(context, state, socket);
    return CMDreply(MSG_591_DYNF_BOOT_RECV_FAILED);
  }
  tester.phase = dynf_phase::relaying;
  return DYNFboot_line(tester.id, std::move(boot));
}

std::optional<kvwstr> receive_lines(agt_context* context, dynf_state* state, dynf_tester& tester) {
  int socket = tester.fd();
  const int id = tester.id;
  int before = tester.pending.len();
  int end = 0;
  int received = TCPIPrecv_append(context, socket, tester.pending, &end);
  if (TCPIPnothing_yet(received)) return std::nullopt;
  if (received < 0) {
    retire(context, state, tester);
    return CMDreply(MSG_592_DYNF_LINE_RECV_FAILED);
  }
  if (end != 0) {
    retire(context, state, tester);
    return CMDreplyf(MSG_710_TESTER_DISCONNECTED, "%d ", id);
  }
  if (tester.pending.len() == before) {  // the chunk began with a NUL byte
    retire(context, state, tester);
    return CMDreply(MSG_592_DYNF_LINE_RECV_FAILED);
  }

  std::optional<kvwstr> result;
  // Only the new bytes (and the one before them, for a CR LF cut in two) can
  // complete a line.
  int from = before > 0 ? before - 1 : 0;
  std::string_view added = tester.pending.view().substr(static_cast<std::size_t>(from));
  if (added.find("\r\n") != std::string_view::npos) {
    int ended = 0;
    result = DYNFsplit_lines(id, tester.pending, &ended);
    if (ended != 0) {
      // Nothing more is relayed; the connection stays for the studio's answer.
      tester.phase = dynf_phase::ended;
      tester.pending = kvwstr();
      account(context, state);
      return result;
    }
  }
  if (tester.pending.len() > DYNF_PENDING_MAX) {
    CSTprintf("kvsagtd : tester %d sent more than %d bytes without a line end, connection closed\n", id,
              DYNF_PENDING_MAX);
    DYNFremove_tester(context, state, socket);
    join(result, CMDreplyf(MSG_710_TESTER_DISCONNECTED, "%d ", id));
    return result;
  }
  account(context, state);
  if (tester.pending.len() > before && state->pending_total > DYNF_PENDING_TOTAL_MAX) {
    CSTprintf("kvsagtd : testers hold more than %zu bytes without a line end, tester %d closed\n",
              DYNF_PENDING_TOTAL_MAX, id);
    DYNFremove_tester(context, state, socket);
    join(result, CMDreplyf(MSG_710_TESTER_DISCONNECTED, "%d ", id));
  }
  return result;
}

// After "End_of" a tester's input is read only to notice when it closes. One
// that closes only its sending side still waits for its answer: it is no
// longer read, and is closed once DFOK or DFKO has answered it.
void drain(agt_context* context, dynf_state* state, dynf_tester& tester) {
  kvwstr discarded;
  int end = 0;
  const int received = TCPIPrecv_append(context, tester.fd(), discarded, &end);
  if ((received > 0 && end == 0) || TCPIPnothing_yet(received)) return;
  if (TCPIPsend_failed(context, tester.fd()) || tester.half_closed || tester.answered) {
    retire(context, state, tester);
    return;
  }
  tester.half_closed = true;
  TCPIPset_read(context, tester.fd(), false);
}

// Sends an answer of the studio, but only to a tester of this channel: a
// number that names none gets nothing written. A tester that does not read
// its answers is dropped once they pile up beyond the bounds.
void answer(agt_context* context, int tester_id, std::string_view text, bool final_answer = false) {
  dynf_state* state = CTXstate<dynf_state>(context, CTX_SLOT_DYNF);
  dynf_tester* tester = state == nullptr || tester_id <= 0 ? nullptr : find_id(state, tester_id);
  // One still in its TLS handshake has not booted: the studio knows no such tester yet.
  if (tester != nullptr && !tester->readable()) tester = nullptr;
  if (tester == nullptr) {
    CSTprintf("kvsagtd : %d is no dynamic-follow tester, answer not sent\n", tester_id);
    return;
  }
  int socket = tester->fd();
  DYNFsend(context, socket, text);
  if (final_answer && tester->half_closed) {
    DYNFremove_tester(context, state, socket);
    return;
  }
  // Its closing, when it comes, is then the end of it, not a half-close.
  if (final_answer) tester->answered = true;
  if (TCPIPqueued(context, socket) <= DYNF_QUEUE_MAX &&
      TCPIPqueued_by(context, &dynf_module) <= DYNF_QUEUE_TOTAL_MAX)
    return;
  CSTprintf("kvsagtd : tester %d does not read its answers, connection closed\n", tester_id);
  DYNFremove_tester(context, state, socket);
  join(state->notes, CMDreplyf(MSG_710_TESTER_DISCONNECTED, "%d ", tester_id));
}

// A tester's TLS handshake has ended: it is read from now on, or, refused
// (logged), it goes.
void tester_handshaken(tcpip_conn* conn) {
  dynf_state* state = CTXstate<dynf_state>(conn->context, CTX_SLOT_DYNF);
  if (state == nullptr) return;
  auto it = std::find_if(state->testers.begin(), state->testers.end(),
                         [conn](const dynf_tester& tester) { return tester.tls.get() == conn; });
  if (it == state->testers.end()) return;
  if (!SIDEtester_conn(conn->context, conn, state->port)) state->testers.erase(it);
}

}  // namespace

int DYNFinit(agt_context* context) {
  if (context == nullptr) return -1;
  // The state is installed once the module has started: an empty slot means "not started".
  auto state = std::make_unique<dynf_state>();
  state->port = 0;
  int port = 0;
  int listener = TCPIPlisten(context, nullptr, nullptr, &port);
  if (listener < 0) return -1;
  state->listener = unique_fd(listener);
  state->port = port;
  state->any_host = SIDEtesters_any_host();
  kvwstr value = kvwstr_format("%d", port);
  ENVset(context, "KVS_PORT_TSTAGT", value.c_str());
  TCPIPwatch_as(context, listener, &dynf_module);
  return CTXinstall(context, std::move(state), CTX_SLOT_DYNF);
}

int DYNFterm(agt_context* context) {
  if (CTXstate<dynf_state>(context, CTX_SLOT_DYNF) == nullptr) return -1;
  std::unique_ptr<dynf_state> state = CTXtake<dynf_state>(context, CTX_SLOT_DYNF);
  for (dynf_tester& tester : state->testers)
    if (!tester.tls) TCPIPunwatch(context, tester.fd());
  state->testers.clear();
  TCPIPset_held(context, &dynf_module, 0);
  TCPIPunwatch(context, state->listener.get());
  state->listener.reset();
  return 0;
}

int DYNFget_port(agt_context* context) {
  dynf_state* state = CTXstate<dynf_state>(context, CTX_SLOT_DYNF);
  return state == nullptr ? -1 : state->port;
}

std::optional<kvwstr> DYNFprocess(agt_context* context, const std::vector<int>& ready) {
  dynf_state* state = CTXstate<dynf_state>(context, CTX_SLOT_DYNF);
  if (state == nullptr) return std::nullopt;
  // Testers dropped by the answers of this turn's commands come first.
  std::optional<kvwstr> result = std::move(state->notes);
  state->notes.reset();
  for (int socket : ready) {
    // Only sockets this module registered, as they were when reported.
    if (!TCPIPready_for(context, socket, &dynf_module)) continue;
    if (socket == state->listener.get()) {
      join(result, DYNFaccept(context, state));
    } else if (dynf_tester* tester = find_tester(state, socket); tester != nullptr && tester->readable()) {
      // Once what is held for the studio leaves no room for what one more
      // receive may add, testers wait (an ended one adds nothing).
      const std::size_t gathered = result ? static_cast<std::size_t>(result->len()) : 0;
      if (tester->phase != dynf_phase::ended && TCPIProom(context) < gathered + SIDE_RELAY_MAX) continue;
      join(result, DYNFreceive(context, state, *tester));
    }
  }
  return result;
}

std::optional<kvwstr> DYNFaccept(agt_context* context, dynf_state* state) {
  int accepted = -1;
  bool tls = false;
  int rc = SIDEaccept(context, state->listener.get(), side_rule::machine_or_studio, state->any_host, &accepted, false,
                      &tls);
  if (rc > 0) return std::nullopt;
  if (rc != 0) {
    if (accepted >= 0) TCPIPdiscard(accepted);
    return CMDreply(MSG_590_DYNF_ACCEPT_FAILED);
  }
  dynf_tester tester;
  if (tls) {
    tester.tls = TCPIPconn_new(context, TCPIPtls_type, accepted, &dynf_module, nullptr);
    if (!tester.tls) {
      CSTprintf("kvsagtd : too many connections watched, tester connection %d closed\n", accepted);
      return CMDreply(MSG_590_DYNF_ACCEPT_FAILED);
    }
  } else {
    unique_fd socket(accepted);
    if (TCPIPwatch_as(context, accepted, &dynf_module) < 0) {
      // Left unwatched it would never be read; the tester sees its connection end.
      CSTprintf("kvsagtd : too many connections watched, tester connection %d closed\n", accepted);
      return CMDreply(MSG_590_DYNF_ACCEPT_FAILED);
    }
    tester.socket = std::move(socket);
  }
  tester.id = state->next_id++;
  state->testers.push_back(std::move(tester));
  // Its handler may run at once and take the tester.
  if (tcpip_conn* started = state->testers.back().tls.get()) started->type->accept(started, tester_handshaken);
  return std::nullopt;
}

std::optional<kvwstr> DYNFreceive(agt_context* context, dynf_state* state, dynf_tester& tester) {
  switch (tester.phase) {
    case dynf_phase::booting:
      return receive_boot(context, state, tester);
    case dynf_phase::relaying:
      return receive_lines(context, state, tester);
    case dynf_phase::ended:
      drain(context, state, tester);
      return std::nullopt;
  }
  return std::nullopt;
}

int DYNFremove_tester(agt_context* context, dynf_state* state, int socket) {
  auto it = std::find_if(state->testers.begin(), state->testers.end(),
                         [socket](const dynf_tester& tester) { return tester.fd() == socket; });
  if (it == state->testers.end()) return -1;
  // A TLS tester's connection unwatches its socket as it closes.
  if (!it->tls) TCPIPunwatch(context, socket);
  state->testers.erase(it);
  account(context, state);
  return 0;
}

int DYNFsend(agt_context* context, int socket, std::string_view text) {
  int length = static_cast<int>(text.size());
  TCPIPsend(context, socket, text.data(), &length);
  return 0;
}

cmd_msg_id DYNFkeyword(std::string_view line) {
  if (line.starts_with("End_of")) return MSG_702_DYNF_END;
  if (line.starts_with("TSF_")) {
    for (const keyword& k : kTsfKeywords)
      if (line.starts_with(k.prefix)) return k.reply;
    return MSG_701_DYNF_LINE;
  }
  for (const keyword& k : kOtherKeywords)
    if (line.starts_with(k.prefix)) return k.reply;
  return MSG_701_DYNF_LINE;
}

kvwstr DYNFboot_line(int tester_id, kvwstr boot) {
  if (boot.view().ends_with("\r\n")) boot.cut(boot.len() - 2, 2);
  return CMDreplyf(MSG_700_DYNF_BOOT, "%d %s", tester_id, kvwstr_one_line(boot).c_str());
}

std::optional<kvwstr> DYNFsplit_lines(int tester_id, kvwstr& pending, int* ended) {
  std::string_view text = pending.view();
  std::optional<kvwstr> result;
  std::size_t position = 0;
  for (;;) {
    std::size_t cr = text.find("\r\n", position);
    if (cr == std::string_view::npos) break;
    std::string_view line = text.substr(position, cr - position);
    cmd_msg_id reply = DYNFkeyword(line);
    if (reply == MSG_702_DYNF_END && ended != nullptr) *ended = 1;
    kvwstr note = CMDreplyf(reply, "%d ", tester_id);
    note.cat(kvwstr_one_line(line).view());  // a lone CR or LF inside stays in its line
    join(result, std::move(note));
    position = cr + 2;
  }
  if (position > 0) pending.cut(0, static_cast<int>(position));
  return result;
}

int DYNFparse_id(const char* argument) {
  if (argument == nullptr) return 0;
  errno = 0;
  long value = std::strtol(argument, nullptr, 10);
  if (errno != 0 || value < INT_MIN || value > INT_MAX) return -1;
  return static_cast<int>(value);
}

const char* DYNFsplit_lower(const char* argument, int* tester_id) {
  long long value = 0;
  const char* at = argument;
  while (*at >= '0' && *at <= '9') {
    if (value <= INT_MAX) value = value * 10 + (*at - '0');
    ++at;
  }
  if (tester_id != nullptr) *tester_id = value > INT_MAX ? -1 : static_cast<int>(value);
  if (*at != '\0') ++at;  // the separator, whatever it is
  return at;
}

cmd_reply DYNFcmd_pdyn(agt_context* context, cmd_state*, const char*) {
  int port = DYNFget_port(context);
  if (port < 0) return CMDreply(MSG_541_NO_DYNF_PORT);
  return CMDreplyf(MSG_241_DYNF_PORT, "%%%d", port);
}

cmd_reply DYNFcmd_dfok(agt_context* context, cmd_state*, const char* argument) {
  answer(context, DYNFparse_id(argument), "Ok", true);
  return std::nullopt;
}

cmd_reply DYNFcmd_dfko(agt_context* context, cmd_state*, const char* argument) {
  answer(context, DYNFparse_id(argument), "Ko", true);
  return std::nullopt;
}

cmd_reply DYNFcmd_lower(agt_context* context, cmd_state*, const char* argument) {
  int tester_id = 0;
  const char* text = DYNFsplit_lower(argument, &tester_id);
  kvwstr line(text);
  line.cat("\r\n");
  answer(context, tester_id, line.view());
  return std::nullopt;
}
