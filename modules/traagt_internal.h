// traagt's internals: its state and command handlers, for its own files and
// tests.
#pragma once

#include <vector>

#include "modules/traagt.h"
#include "platform/unique_fd.h"

struct tra_state {
  unique_fd listen_socket;
  int port = 0;
  int null_handle = TRA_NULL_HANDLE;
  // The connection of the latest TRWA; null_handle before the first one, -1
  // when the latest TRWA failed.
  int trace_socket = TRA_NULL_HANDLE;
  // Every accepted trace connection: programs launched earlier keep writing to
  // theirs, so each stays open until the module ends.
  std::vector<unique_fd> connections;
};
cmd_reply TRAcmd_port(agt_context* context, cmd_state* state, const char* argument);
cmd_reply TRAcmd_trwa(agt_context* context, cmd_state* state, const char* argument);
