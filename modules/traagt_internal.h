// traagt's internals: its state and command handlers, for its own files and
// tests.
#pragma once

#include <vector>

#include "modules/traagt.h"
#include "platform/unique_fd.h"

// An accepted trace connection. Its serial names it for the programs
// launched on it; unlike a descriptor number it is never given again.
struct tra_connection {
  unique_fd socket;
  int serial = 0;
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
  // The connections still held: the latest, which a later EXEC may be given,
  // and earlier ones until TRArelease lets them go.
  std::vector<tra_connection> connections;
};
cmd_reply TRAcmd_port(agt_context* context, cmd_state* state, const char* argument);
cmd_reply TRAcmd_trwa(agt_context* context, cmd_state* state, const char* argument);
