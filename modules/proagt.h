// proagt: programs launched by EXEC, their table, STAT, STOP, TRON, TROF,
// and the ends reported by the "661 process stopped : " line.
#pragma once

#include <utility>
#include <vector>

#include "modules/agt_module.h"
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

int PROinit(agt_context* context);
int PROterm(agt_context* context);
// Launches a program and enters it in the table: its process number, or -1
// (no number is used up then).
int PROexec(agt_context* context, const char* command_line);
// Starts the program with the standard handles the trace module chooses: its pid, or -1.
int PROlaunch(pro_state* state, agt_context* context, const char* command_line);
// 1 ended (*exit_code its status), 0 running (*exit_code -1), -1 no such number.
int PROstat(agt_context* context, int number, int* exit_code);
// Observes the end of the row at `index` (0-based) if it has ended.
void PROrefresh(pro_state* state, agt_context* context, int index);
// Kills a running program with its process group; *exit_code is the row's
// exit code before the kill (-1 while running). 0, or -1 for no such number
// or a failed kill.
int PROstop(agt_context* context, int number, int* exit_code);
// Appends one (process number, exit code) pair per program whose end was
// observed since the last call, in table order; returns the number appended.
int PROpoll_ended(agt_context* context, std::vector<std::pair<int, int>>& pairs);
// Forgets the lingering groups that have no member left.
void PROprune_groups(agt_context* context);
void PROtrace_on(agt_context* context);
void PROtrace_off(agt_context* context);

cmd_reply PROcmd_exec(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_stat(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_stop(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_tron(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_trof(agt_context* context, cmd_state* state, const char* argument);

// The module's record (its start, end and commands).
extern const agt_module pro_module;
