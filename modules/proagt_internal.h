// proagt's internals: its state, the steps of its operations and its
// command handlers, for its own files and tests.
#pragma once

#include <vector>

#include "modules/proagt.h"
#include "platform/spawn.h"

// One launched program. Its process number is its 1-based row.
struct pro_entry {
  int process = -1;    // pid, also the id of the program's process group
  int ended = 0;       // 1 once its end has been observed (and it was reaped)
  int exit_code = -1;  // -1 until then
  int stopped = 0;     // 1 once STOP has killed it: that death reports status 0
};

struct pro_state {
  // Rows are never removed or reused while the connection lives.
  std::vector<pro_entry> entries;
  // Groups of programs that have ended (and been reaped) while processes they
  // started were still in them: killed at the end of the connection with the
  // groups of running programs. A group is dropped once it is seen empty, so
  // that its id, then free again, is never signalled.
  std::vector<int> lingering;
  int trace_on = 1;
  child_wake wake;  // wakes the connection loop's wait when a program ends
};

// Starts the program with the standard handles the trace module chooses: its pid, or -1.
int PROlaunch(pro_state* state, agt_context* context, const char* command_line);

// Observes the end of the row at `index` (0-based) if it has ended.
void PROrefresh(pro_state* state, agt_context* context, int index);
void PROtrace_on(agt_context* context);
void PROtrace_off(agt_context* context);
cmd_reply PROcmd_exec(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_stat(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_stop(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_tron(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_trof(agt_context* context, cmd_state* state, const char* argument);
