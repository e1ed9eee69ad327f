// proagt: programs launched by EXEC, their table, STAT, STOP, TRON, TROF,
// and the ends reported by the "661 process stopped : " line.
#pragma once

#include <utility>
#include <vector>

#include "modules/agt_module.h"

int PROinit(agt_context* context);
int PROterm(agt_context* context);
// Launches a program and enters it in the table: its process number, or -1
// (no number is used up then).
int PROexec(agt_context* context, const char* command_line);
// 1 ended (*exit_code its status), 0 running (*exit_code -1), -1 no such number.
int PROstat(agt_context* context, int number, int* exit_code);
// Kills a running program with its process group; *exit_code is the row's
// exit code before the kill (-1 while running). 0, or -1 for no such number
// or a failed kill.
int PROstop(agt_context* context, int number, int* exit_code);
// Appends one (process number, exit code) pair per program whose end was
// observed since the last call, in table order; returns the number appended.
int PROpoll_ended(agt_context* context, std::vector<std::pair<int, int>>& pairs);
// The work of every turn: reaps the ended programs and the processes adopted
// from them, forgets the groups of ended programs in which the connection
// process holds no member any more, and closes the trace connections that
// are no longer needed.
void PROprune_groups(agt_context* context);
// Whether a launched program has not been seen to end yet (by the poll or by
// STAT), or an earlier trace connection waits for its output to reach the
// studio: the connection then looks again every second.
bool PROany_running(agt_context* context);

// The module's record (its start, end and commands).
extern const agt_module pro_module;
