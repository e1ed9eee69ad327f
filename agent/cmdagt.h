// cmdagt: the command interpreter. Turns one received command line into at
// most one reply, behind the authorization gate, after variable expansion.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "modules/agt_module.h"
#include "support/kvwstr.h"

// The rows HELP lists, then the hidden ones (extensions old studios never send).
constexpr int CMD_LISTED_SIZE = 33;
constexpr int CMD_TABLE_SIZE = 34;

// Bounds on an expanded command line. A longer one is not run: after
// admission it is answered as an unknown command (the line as received),
// before admission it ends the connection as an over-long line does.
constexpr std::size_t CMD_EXPANDED_MAX = std::size_t{16} << 20;
constexpr std::size_t CMD_EXPANDED_MAX_UNADMITTED = std::size_t{1} << 20;
// Every module's rows, in the order of HELP's listing; assembled from the
// module records before the first command is read.
extern cmd_entry cmd_table[CMD_TABLE_SIZE];

// The modules in the order they start: the environment, the file system, the
// processes with their trace port, identification, then the channels
// (rendezvous, dynamic follow). The interpreter's own record comes first.
std::span<const agt_module* const> CMDmodules();

int CMDinit(agt_context* context, const char* peer_name);
int CMDterm(agt_context* context);
cmd_reply CMDline(agt_context* context, const char* line, int* stop);
cmd_reply CMDdispatch(agt_context* context, cmd_state* state, const char* line, int* stop);
// The row that an (expanded) line names: its first word equals the row's
// name, followed by the end, a blank or a tab. None when no row matches.
const cmd_entry* CMDfind(const char* line);
// The admission gate: whether a line naming `entry` (none: no row) may go on
// to its handler, or to the unknown-command reply. Once admitted every line
// passes; a line that does not pass ends the connection without a reply.
bool CMDgate(int authorized, const char* line, const cmd_entry* entry);
kvwstr CMDexpand(agt_context* context, const char* text, char marker);
// The same, but none as soon as the result would pass `limit` bytes: a short
// line full of references to a long value must not take the process's memory.
std::optional<kvwstr> CMDexpand_within(agt_context* context, const char* text, char marker, std::size_t limit);
cmd_reply CMDpoll(agt_context* context);
// Whether a deferred command (CMDdefer) is still at work: no line is
// dispatched, no turn's poll runs and the channels are not read meanwhile.
bool CMDbusy(agt_context* context);
// The final reply of a deferred command that has ended, once; none otherwise.
cmd_reply CMDfinished(agt_context* context);

cmd_reply CMDhelo(agt_context* context, cmd_state* state, const char* argument);
cmd_reply CMDhelp(agt_context* context, cmd_state* state, const char* argument);
cmd_reply CMDquit(agt_context* context, cmd_state* state, const char* argument);
// XWHY: the cause of this connection's latest failure reply.
cmd_reply CMDxwhy(agt_context* context, cmd_state* state, const char* argument);
