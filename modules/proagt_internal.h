// proagt's internals: its state, the steps of its operations and its
// command handlers, for its own files and tests.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "modules/proagt.h"
#include "platform/spawn.h"

// One launched program. Its process number is its 1-based row.
struct pro_entry {
  int process = -1;    // pid, also the id of the program's process group
  int ended = 0;       // 1 once its end has been observed (by the poll or STAT)
  int exit_code = -1;  // -1 until then
  int stopped = 0;     // 1 once STOP has killed it: that death reports status 0
  int trace = 0;       // serial of the trace connection it was given, 0 none
  // 1 once its process has been reaped: from then on its pid, and the id of
  // its group, may belong to another process. The status waits here for the
  // end to be observed.
  int reaped = 0;
  int reaped_code = 0;
  int reaped_signal = 0;
  // How far its relayed trace connection must have carried the programs'
  // output for all of its own to have gone; -1 until it has ended.
  long long trace_mark = -1;
};

struct pro_state {
  // Rows are never removed or reused while the connection lives.
  std::vector<pro_entry> entries;
  // Rows whose process has not been reaped yet, by pid.
  std::unordered_map<int, std::size_t> unreaped;
  // Groups of programs that have been reaped while processes they started may
  // still be in them. The connection process adopts those processes when
  // their parents end, so a group is signalled only while it holds one of
  // them unreaped, which keeps the group's id from being given again; a group
  // in which it holds none is forgotten.
  std::vector<int> lingering;
  // Trace connections besides the latest still held for their programs or
  // their undelivered output: the loop then keeps turning every second.
  int trace_held = 0;
  int trace_on = 1;
  child_wake wake;  // wakes the connection loop's wait when a program ends
};

// Starts the program with the standard handles the trace module chooses: its
// pid, or -1. *trace, when given, receives the serial of its trace connection.
int PROlaunch(pro_state* state, agt_context* context, const char* command_line, int* trace = nullptr);

// Observes the end of the row at `index` (0-based) if it has ended.
void PROrefresh(pro_state* state, agt_context* context, int index);
void PROtrace_on(agt_context* context);
void PROtrace_off(agt_context* context);
cmd_reply PROcmd_exec(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_stat(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_stop(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_tron(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_trof(agt_context* context, cmd_state* state, const char* argument);
