// dynfagt's internals: its state, the steps of its operations, its pure
// parts and its command handlers, for its own files, tests and fuzzers.
#pragma once

#include <string_view>

#include "modules/dynfagt.h"
#include "net/connection.h"
#include "platform/unique_fd.h"

enum class dynf_phase { booting, relaying, ended };

struct dynf_tester {
  unique_fd socket;  // a plain tester's
  // A tester from another host in a TLS agent: its TLS connection, which
  // owns the socket. Read only once its handshake has ended.
  tcpip_conn_ptr tls;
  int fd() const { return tls ? tls->socket : socket.get(); }
  bool readable() const { return !tls || tls->state == tcpip_conn_state::connected; }
  int id = 0;  // the tester_id
  bool half_closed = false;  // ended, then closed its sending side: awaits its answer
  bool answered = false;     // has had its final answer: closed once it closes
  dynf_phase phase = dynf_phase::booting;
  kvwstr pending;  // received text not yet ended by CR LF
};

struct dynf_state {
  std::vector<dynf_tester> testers;  // every connection the module owns, oldest first
  int next_id = 1;                   // tester_id of the next tester accepted
  std::optional<kvwstr> notes;       // testers dropped by an answer, for the studio
  std::size_t pending_total = 0;     // the testers' unfinished lines together
  unique_fd listener;
  int port = 0;
  bool any_host = false;  // testers from any host (KVS_TESTERS_ANY_HOST=1)
};

// The steps of DYNFprocess. Each gives the text for the studio, or none.
// Accepts a tester and watches it; its boot message is read when it comes.
std::optional<kvwstr> DYNFaccept(agt_context* context, dynf_state* state);

// Reads what a ready tester sent: its boot message, its lines, or its end.
std::optional<kvwstr> DYNFreceive(agt_context* context, dynf_state* state, dynf_tester& tester);

// Unwatches and closes a tester's connection and forgets it.
int DYNFremove_tester(agt_context* context, dynf_state* state, int socket);

// Sends the text's bytes as they are to a socket; 0 always.
int DYNFsend(agt_context* context, int socket, std::string_view text);

// Pure parts, without any socket.
// The reply text that introduces the notification of a tester line.
cmd_msg_id DYNFkeyword(std::string_view line);

// The 700 line of a boot message: one trailing CR LF dropped, any other CR
// or LF written as a blank.
kvwstr DYNFboot_line(int tester_id, kvwstr boot);

// Turns the complete lines at the front of `pending` into notifications of
// tester `tester_id` (a lone CR or LF inside a line written as a blank) and
// removes them (with their CR LF) from it; the
// unfinished rest stays. *ended is set to 1 when one of them began "End_of"
// (the lines after it are still handled). None when no line was complete.
std::optional<kvwstr> DYNFsplit_lines(int tester_id, kvwstr& pending, int* ended);

// DFOK and DFKO: the tester_id is the argument read as a decimal integer
// (leading blanks and a sign allowed, the rest ignored); -1 when out of range.
int DYNFparse_id(const char* argument);

// ISND, TOUT and AVAI: the tester_id is the leading run of digits (0 when
// none, -1 when out of range); the one character after it is skipped; the
// result is the rest of the argument, the text to send.
const char* DYNFsplit_lower(const char* argument, int* tester_id);
cmd_reply DYNFcmd_pdyn(agt_context* context, cmd_state* state, const char* argument);
cmd_reply DYNFcmd_dfok(agt_context* context, cmd_state* state, const char* argument);
cmd_reply DYNFcmd_dfko(agt_context* context, cmd_state* state, const char* argument);

// ISND, TOUT and AVAI share one handler.
cmd_reply DYNFcmd_lower(agt_context* context, cmd_state* state, const char* argument);
