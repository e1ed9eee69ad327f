// agt_module: the record every module of a connection process declares, and
// the command-table row type its commands are declared with.
//
// A module is one record: its start and end, its work of every turn, the
// handler of its ready descriptors (channels only) and its rows of the
// command table. Its context slot comes from its line in the module list. The
// command interpreter and the connection loop know the modules only through
// these records, which they walk in the order of the module list.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "modules/cmd_msg.h"
#include "modules/module_list.h"
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

// The flags of a row: what the interpreter reads of it, and what it lets the
// row's handler change in its state.
enum cmd_flag : unsigned {
  CMD_BEFORE_ADMISSION = 1u << 0,  // may also run before admission (HELO, Qim)
  CMD_HIDDEN = 1u << 1,            // an extension of this agent: HELP neither lists it nor knows it
  CMD_ENDS_CONNECTION = 1u << 2,   // the connection ends once its reply has gone (QUIT)
  CMD_ADMITS = 1u << 3,            // its handler admits or refuses the studio's user (Qim)
  CMD_LAUNCHES = 1u << 4,          // its handler counts the programs it launches (EXEC)
};

// The interpreter's state of one connection. It belongs to the interpreter:
// a handler reads it, and changes it only through the operations the flags
// of its row grant (the interpreter grants them while the handler runs); an
// operation not granted changes nothing and says so. Failures are recorded
// by any handler (CMDfailed).
class cmd_state {
 public:
  bool admitted() const { return authorized_ != 0; }
  const char* peer_name() const { return peer_name_; }  // not owned; none when unknown
  int launched() const { return launched_; }  // programs launched whose end has not been reported
  const std::optional<cmd_failure>& last_failure() const { return last_failure_; }

  // CMD_ADMITS: the user is admitted (nonzero) or refused (0).
  bool admit(int authorized);
  // CMD_LAUNCHES: one more program launched.
  bool count_launch();
  // The modules' work of every turn: `count` launched programs were reported ended.
  bool count_ended(int count);

  // A command that goes on after its handler (see cmd_pending): whether one
  // is at work, and its start (by its handler) and end (by its module).
  bool deferred() const { return pending_.running; }
  void defer() { pending_ = cmd_pending{true, std::nullopt}; }
  // The deferred command could not start: its handler answers at once.
  void cancel_deferral() { pending_ = cmd_pending{}; }
  void finish(kvwstr reply) {
    if (pending_.running) pending_ = cmd_pending{false, std::move(reply)};
  }
  // The final reply of a deferred command that has ended, once; none otherwise.
  cmd_reply take_finished() {
    if (pending_.running) return std::nullopt;
    cmd_reply reply = std::move(pending_.reply);
    pending_.reply.reset();
    return reply;
  }
  // The cause of the connection's latest failure reply (none before the
  // first); a later success leaves it. XWHY tells it.
  void record_failure(cmd_failure cause) { last_failure_ = std::move(cause); }

 private:
  friend struct cmd_interpreter;  // agent/cmdagt.cpp: makes states and grants operations
  static constexpr unsigned CMD_GRANT_TURN = 1u << 31;  // the work of a turn, not a row flag
  bool granted(unsigned flag) const { return (granted_ & flag) != 0; }

  unsigned granted_ = 0;
  int authorized_ = 0;
  int launched_ = 0;
  const char* peer_name_ = nullptr;
  const void* table_ = nullptr;  // the command table it runs; none: the agent's
  std::optional<cmd_failure> last_failure_;
  cmd_pending pending_;
};

inline bool cmd_state::admit(int authorized) {
  if (!granted(CMD_ADMITS)) return false;
  authorized_ = authorized;
  return true;
}

inline bool cmd_state::count_launch() {
  if (!granted(CMD_LAUNCHES)) return false;
  ++launched_;
  return true;
}

inline bool cmd_state::count_ended(int count) {
  if (!granted(CMD_GRANT_TURN) || count < 0 || count > launched_) return false;
  launched_ -= count;
  return true;
}

inline void CMDdefer(cmd_state* state) {
  if (state != nullptr) state->defer();
}
// Ends the deferred command of the context's interpreter with its final reply.
inline void CMDfinish(agt_context* context, kvwstr reply) {
  if (cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD); state != nullptr) state->finish(std::move(reply));
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

// One row of the command table. The interpreter assembles the table from the
// modules' rows at start-up, sorted by name. HELP lists the rows that are not
// hidden in that order too, except a row that names a row to follow: it is
// listed right after that one (and after the earlier rows that follow it).
struct cmd_entry {
  const char* name;
  cmd_handler handler;
  const char* help;                    // HELP's text for it; none: "no help."
  unsigned flags = 0;                  // cmd_flag values
  const char* listed_after = nullptr;  // the row HELP lists it after; none: at its name's place
  std::size_t name_length = 0;         // set when the table is assembled
};

struct agt_module {
  const char* name;
  // A channel is started by the connection loop after the interpreter, served
  // every turn with the ready descriptors, and ended before the interpreter.
  // The others are started and ended by the interpreter (CMDinit, CMDterm).
  bool channel = false;
  int (*start)(agt_context* context) = nullptr;  // none: nothing to start
  int (*end)(agt_context* context) = nullptr;
  // Serves the ready descriptors of one turn: the lines for the studio,
  // joined with CR LF, without the final line end, or none.
  std::optional<kvwstr> (*ready)(agt_context* context, const std::vector<int>& ready) = nullptr;
  std::span<const cmd_entry> commands = {};
  // The work of every turn, before the wait (ended programs, say): the lines
  // for the studio as `ready` gives them, or none. It may count ended
  // programs in the interpreter's state.
  cmd_reply (*turn)(agt_context* context, cmd_state* state) = nullptr;
  // How long the wait may last at most for the module's own sake (time-outs,
  // programs to look at again): milliseconds, or -1 when only an event matters.
  int (*wait_at_most)(agt_context* context) = nullptr;
};
