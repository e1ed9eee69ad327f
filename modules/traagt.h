// traagt: the trace port. PORT, TRWA, and the standard streams of launched programs.
#pragma once

#include <vector>

#include "modules/agt_module.h"
#include "support/unique_fd.h"

// The "no standard handles" choice: the program gets /dev/null on 0, 1 and 2.
constexpr int TRA_NULL_HANDLE = -2;

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

int TRAinit(agt_context* context);
int TRAterm(agt_context* context);
int TRAget_port(agt_context* context);
int TRAwait_connection(agt_context* context);
// Chooses the standard input, output and error of the next program: the trace
// connection when trace_flag is set, else TRA_NULL_HANDLE, written to *std_fd.
// -1, with *std_fd unchanged, when the state is missing or closed or when the
// flag is set and the latest TRWA failed.
int TRAset_std_handles(agt_context* context, int trace_flag, int* std_fd);

cmd_reply TRAcmd_port(agt_context* context, cmd_state* state, const char* argument);
cmd_reply TRAcmd_trwa(agt_context* context, cmd_state* state, const char* argument);

// The module's record (its start, end and commands).
extern const agt_module tra_module;
