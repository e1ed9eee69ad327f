// proagt: programs launched by EXEC, their table, STAT, STOP, TRON, TROF,
// and the ends reported by the "661 process stopped : " line.
#pragma once

#include <utility>
#include <vector>

#include "agent/cmdagt.h"

int PROinit(agt_context* context);
int PROterm(agt_context* context);
// Appends one (process number, exit code) pair per program whose end was
// observed since the last call, in table order; returns the number appended.
int PROpoll_ended(agt_context* context, std::vector<std::pair<int, int>>& pairs);
void PROtrace_on(agt_context* context);
void PROtrace_off(agt_context* context);

cmd_reply PROcmd_exec(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_stat(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_stop(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_tron(agt_context* context, cmd_state* state, const char* argument);
cmd_reply PROcmd_trof(agt_context* context, cmd_state* state, const char* argument);
