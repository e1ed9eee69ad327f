// traagt: the trace port. PORT, TRWA, and the standard streams of launched programs.
#pragma once

#include <vector>

#include "modules/agt_module.h"

// The "no standard handles" choice: the program gets /dev/null on 0, 1 and 2.
constexpr int TRA_NULL_HANDLE = -2;

int TRAinit(agt_context* context);
int TRAterm(agt_context* context);
int TRAget_port(agt_context* context);
int TRAwait_connection(agt_context* context);
// Chooses the standard input, output and error of the next program: the trace
// connection when trace_flag is set, else TRA_NULL_HANDLE, written to *std_fd.
// -1, with *std_fd unchanged, when the state is missing or closed or when the
// flag is set and the latest TRWA failed.
int TRAset_std_handles(agt_context* context, int trace_flag, int* std_fd);

// The module's record (its start, end and commands).
extern const agt_module tra_module;
