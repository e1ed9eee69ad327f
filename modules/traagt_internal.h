// traagt's internals: its state and command handlers, for its own files and
// tests.
#pragma once

#include <memory>
#include <vector>

#include "modules/tra_relay.h"
#include "modules/traagt.h"
#include "platform/unique_fd.h"

// Handshakes of the trace port under way at once, at most.
constexpr std::size_t TRA_HANDSHAKES_MAX = 4;

// An accepted trace connection. Its serial names it for the programs
// launched on it; unlike a descriptor number it is never given again.
// A plain one is itself the programs' standard handles (`socket`); one the
// programs cannot use themselves is carried by a relay, and `socket` is
// the programs' end of the relay's pair while later programs may get it.
struct tra_connection {
  unique_fd socket;
  int serial = 0;
  std::unique_ptr<tra_relay> relay;
};

struct tra_state {
  unique_fd listen_socket;
  int port = 0;
  int null_handle = TRA_NULL_HANDLE;
  // The connection of the latest TRWA; null_handle before the first one (and
  // once the studio has reset the latest), -1 when the latest TRWA failed.
  int trace_socket = TRA_NULL_HANDLE;
  // The serial of that connection, 0 when there is none.
  int latest = 0;
  int next_serial = 1;
  bool waiting = false;  // TRWA waits for its connection
  // Trace connections are carried by relays (the session speaks TLS).
  bool relayed = false;
  // Connections that came while TRWA waits, their handshake under way.
  std::vector<std::unique_ptr<tra_relay>> handshaking;
  // Relays closed from within their own handlers, freed on the next turn.
  std::vector<std::unique_ptr<tra_relay>> dropped;
  // The connections still held: the latest, which a later EXEC may be given,
  // and earlier ones until TRArelease lets them go.
  std::vector<tra_connection> connections;
};
cmd_reply TRAcmd_port(agt_context* context, cmd_state* state, const char* argument);
cmd_reply TRAcmd_trwa(agt_context* context, cmd_state* state, const char* argument);
