// rdvagt's internals: its state, the steps of its operations and its
// command handlers, for its own files, tests and fuzzers.
#pragma once

#include <list>

#include "modules/rdvagt.h"
#include "net/connection.h"

// One tester connection. The same record first sits in `pending` and then
// moves into a group.
struct rdv_waiter {
  int socket = -1;  // live while >= 0; -1 once the tester has quit (gone)
  // A tester from another host in a TLS agent: the TLS connection over
  // `socket`, which it owns. Read only once its handshake has ended.
  tcpip_conn_ptr tls{};
};

// Records, newest first.
using rdv_waiters = std::list<rdv_waiter>;

// A named rendezvous that testers have joined and nobody has released yet.
struct rdv_group {
  kvwstr name;          // as its first tester sent it, less one trailing CR LF, other CR and LF blanks
  rdv_waiters waiters;  // newest first
};

struct rdv_state {
  std::list<rdv_group> groups;  // newest first, at most one per name
  rdv_waiters pending;          // accepted, no name joined yet (or stalled), newest first
  int listen_socket = -1;
  int port = 0;
  bool any_host = false;  // testers from any host (KVS_TESTERS_ANY_HOST=1)
};

// Releases the group called `name` (compared byte by byte, CR and LF read as
// blanks): "Ok" to its live
// waiters when answer is 1, "Ko" when 0. Nothing happens when no such group exists.
void RDVAanswer(agt_context* context, const char* name, int answer);

// Reads the name of a pending tester and joins it to its group (601), or
// stops watching it when it sent nothing (581). An empty text when a TLS
// tester's input holds no complete record yet.
kvwstr RDVArecv_name(agt_context* context, rdv_state* state, rdv_waiters::iterator record);

// Moves the pending record into the group named by `text` (created at the
// head when new); returns the 601 line.
kvwstr RDVAjoin(rdv_state* state, kvwstr text, rdv_waiters::iterator record);

// Something arrived from a waiting tester: its departure (602) or stray
// data (603); an empty text when a TLS tester's input holds no complete
// record yet.
kvwstr RDVAwaiter_event(agt_context* context, rdv_group& group, rdv_waiter& waiter);

// Sends "Ok" (answer 1) or "Ko" (answer 0) to every live record, closes it,
// and empties the list.
void RDVAreply_all(agt_context* context, int answer, rdv_waiters& records);

// Answers "Ko" to every group and every pending tester.
void RDVAclear(agt_context* context, rdv_state* state);
cmd_reply RDVAcmd_prdv(agt_context* context, cmd_state* state, const char* argument);
cmd_reply RDVAcmd_rvok(agt_context* context, cmd_state* state, const char* argument);
cmd_reply RDVAcmd_rvko(agt_context* context, cmd_state* state, const char* argument);
