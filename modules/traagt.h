// traagt: the trace port. PORT, TRWA, and the standard streams of launched programs.
#pragma once

#include <vector>

#include "modules/agt_module.h"

// The "no standard handles" choice: the program gets /dev/null on 0, 1 and 2.
constexpr int TRA_NULL_HANDLE = -2;

int TRAinit(agt_context* context);
int TRAterm(agt_context* context);
int TRAget_port(agt_context* context);
// TRWA: waits, in the loop's wait, for the next connection on the trace port
// (at most SIDE_IDLE_MS); its end answers the deferred command (CMDfinish).
// -1 when the wait cannot start.
int TRAwait_connection(agt_context* context);
// Chooses the standard input, output and error of the next program: the trace
// connection when trace_flag is set, else TRA_NULL_HANDLE, written to *std_fd.
// -1, with *std_fd unchanged, when the state is missing or closed or when the
// flag is set and the latest TRWA failed. *connection, when given, receives
// the serial of the trace connection chosen, 0 for none.
int TRAset_std_handles(agt_context* context, int trace_flag, int* std_fd, int* connection = nullptr);
// Closes the trace connections that nobody needs any more: one whose studio
// has reset it; one that is not the latest (no later EXEC can be given it),
// none of whose programs (the serials in `in_use`) still runs, and whose
// output has all reached the studio. Input left unread is dropped first, so
// that the close ends the connection with a FIN, not a reset. Returns how
// many connections besides the latest are still held.
int TRArelease(agt_context* context, const std::vector<int>& in_use);

// A program's output on a relayed trace connection (see tra_relay.h) may
// still be on its way when the program ends. TRAoutput_mark, taken once the
// program has ended, tells how far the connection `serial` must have handed
// the programs' output to the studio's connection for everything the
// program wrote to be there; TRAoutput_passed, whether it has. A plain
// connection, or one let go, has nothing on its way: 0 and true.
long long TRAoutput_mark(agt_context* context, int serial);
bool TRAoutput_passed(agt_context* context, int serial, long long mark);

// The module's record (its start, end and commands).
extern const agt_module tra_module;
