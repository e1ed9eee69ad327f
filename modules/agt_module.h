// agt_module: the record every module of a connection process declares, and
// the command-table row type its commands are declared with.
//
// A module is one record: its context slot, its start and end, the handler
// of its ready descriptors (channels only) and its rows of the command table.
// The command interpreter and the connection loop know the modules only
// through these records, which they walk in the order of the module list.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "modules/cmd_msg.h"
#include "support/ctxagt.h"
#include "support/kvwstr.h"

// A reply without its line end, or none when nothing is to be sent.
using cmd_reply = std::optional<kvwstr>;

// Why a handler chose a failure reply.
struct cmd_failure {
  std::string command;  // the command word
  std::string call;     // the operation that failed
  std::string path;     // the path or name as the handler saw it; empty when there is none
  int error = 0;        // errno of the failed call; 0 when no system call failed
};

// A command that goes on after its handler has returned (GETF and PUTF move
// a file, TRWA waits for its trace connection, turn after turn of the loop).
// Its handler calls CMDdefer and returns its first reply (or none); the
// module calls CMDfinish with the final reply when the work has ended, which
// may be before the handler returns. No further line is dispatched meanwhile.
struct cmd_pending {
  bool running = false;
  cmd_reply reply;  // the final reply, once running is over
};

struct cmd_state {
  cmd_pending pending;
  int launched = 0;  // programs launched by EXEC whose end has not been reported
  std::vector<std::pair<int, int>> ended_pairs;  // (process number, exit code), filled by PROpoll_ended
  int authorized = 0;
  const char* peer_name = nullptr;  // not owned
  // The cause of the connection's latest failure reply (none before the
  // first); a later success leaves it. XWHY tells it.
  std::optional<cmd_failure> last_failure;
};

inline void CMDdefer(cmd_state* state) {
  if (state != nullptr) state->pending = cmd_pending{true, std::nullopt};
}
// Ends the deferred command of the context's interpreter with its final reply.
inline void CMDfinish(agt_context* context, kvwstr reply) {
  if (cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD); state != nullptr && state->pending.running)
    state->pending = cmd_pending{false, std::move(reply)};
}

// Paths and names kept in a failure's cause are cut to this many bytes.
constexpr std::size_t CMD_FAILURE_PATH_MAX = 4096;

// Every handler that chooses a failure reply tells why, with the errno of
// the call that failed, taken right after it (0: none): the cause replaces
// the one kept in `state` (none: not kept), and with the debug setting it is
// also written on standard error. `path` may be none.
void CMDfailed(cmd_state* state, const char* command, const char* call, const char* path, int error);
// The line XWHY answers with: "290 last failure : COMMAND : CALL : ERROR TEXT
// : PATH", or "291 no failure recorded". One line, whatever the path holds.
kvwstr CMDfailure_reply(const cmd_state& state);

// Handler contract: context, interpreter state and the argument (the rest of
// the expanded line after the command word and the blanks and tabs that
// follow it; the empty text when there is none).
using cmd_handler = cmd_reply (*)(agt_context* context, cmd_state* state, const char* argument);

// Policy columns of a row.
enum cmd_gate {
  CMD_ADMITTED_ONLY = 0,     // runs once a user has been admitted
  CMD_BEFORE_ADMISSION = 1,  // may also run before (HELO, Qim)
};
enum cmd_answer {
  CMD_ANSWERED = 0,  // its reply goes to the studio
  CMD_SILENT = 1,    // never answered on the command connection (answers go to testers)
};
enum cmd_listed {
  CMD_LISTED = 0,  // named by HELP
  CMD_HIDDEN = 1,  // an extension of this agent: HELP neither lists it nor knows it
};

// One row of the command table.
struct cmd_entry {
  const char* name;
  int name_length;
  cmd_handler handler;
  const char* help;
  int listing;  // position in the assembled table, which is HELP's listing order (0 first)
  cmd_gate gate;
  cmd_answer answer;
  cmd_listed listed = CMD_LISTED;  // hidden rows come after the listed ones
};

struct agt_module {
  const char* name;
  unsigned slot;  // its context slot; 0 for a module without a state
  // A channel is started by the connection loop after the interpreter, served
  // every turn with the ready descriptors, and ended before the interpreter.
  // The others are started and ended by the interpreter (CMDinit, CMDterm).
  bool channel;
  int (*start)(agt_context* context);  // none: nothing to start (or started by another module)
  int (*end)(agt_context* context);
  // Serves the ready descriptors of one turn: the lines for the studio,
  // joined with CR LF, without the final line end, or none.
  std::optional<kvwstr> (*ready)(agt_context* context, const std::vector<int>& ready);
  std::span<const cmd_entry> commands;
};
