// cmdagt: the command interpreter. Turns one received command line into at
// most one reply, behind the authorization gate, after variable expansion.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "modules/agt_module.h"
#include "support/kvwstr.h"

// Bounds on an expanded command line. A longer one is not run: after
// admission it is answered as an unknown command (the line as received),
// before admission it ends the connection as an over-long line does.
constexpr std::size_t CMD_EXPANDED_MAX = std::size_t{16} << 20;
constexpr std::size_t CMD_EXPANDED_MAX_UNADMITTED = std::size_t{1} << 20;

// The command table: the rows of a list of module records, assembled once
// and not changed afterwards. The interpreter runs one; tests and fuzz
// targets may assemble their own from records of their own.
class cmd_table {
 public:
  // The rows of `modules` in their order, sorted by name (byte order), the
  // name lengths computed, and HELP's listing derived. None, with the reason
  // in `why`, when a name is empty or holds a blank or a tab, two rows
  // share a name, or a row is listed after a row that is hidden, missing or
  // itself listed after it.
  static std::optional<cmd_table> assemble(std::span<const agt_module* const> modules, std::string* why = nullptr);

  // Every row, by name.
  std::span<const cmd_entry> rows() const { return rows_; }
  // The rows HELP lists, in its order.
  std::span<const cmd_entry* const> listing() const { return listing_; }
  // The row that an (expanded) line names: its first word equals the row's
  // name, followed by the end, a blank or a tab. None when no row matches.
  const cmd_entry* find(const char* line) const;

 private:
  std::vector<cmd_entry> rows_;
  std::vector<const cmd_entry*> listing_;
};

// The modules in the order they start: the interpreter's own record, then
// those of the module list (modules/module_list.h).
std::span<const agt_module* const> CMDmodules();
// The agent's command table, assembled from CMDmodules() on first use.
const cmd_table& CMDtable();
// A new interpreter state for a studio at `peer_name` (not owned), running
// `table` (none: the agent's); `authorized` admits its user from the start.
cmd_state CMDnew_state(const char* peer_name, const cmd_table* table = nullptr, int authorized = 0);

int CMDinit(agt_context* context, const char* peer_name);
int CMDterm(agt_context* context);
// Whether the connection's studio has been admitted.
bool CMDadmitted(agt_context* context);
cmd_reply CMDline(agt_context* context, const char* line, int* stop);
cmd_reply CMDdispatch(agt_context* context, cmd_state* state, const char* line, int* stop);
// The row of the agent's table that an (expanded) line names (cmd_table::find).
const cmd_entry* CMDfind(const char* line);
// The admission gate: whether a line naming `entry` (none: no row) may go on
// to its handler, or to the unknown-command reply. Once admitted every line
// passes; a line that does not pass ends the connection without a reply.
bool CMDgate(int authorized, const char* line, const cmd_entry* entry);
kvwstr CMDexpand(agt_context* context, const char* text, char marker);
// The same, but none as soon as the result would pass `limit` bytes: a short
// line full of references to a long value must not take the process's memory.
std::optional<kvwstr> CMDexpand_within(agt_context* context, const char* text, char marker, std::size_t limit);
// The modules' work of one turn, before the wait: the lines for the studio,
// joined with CR LF, or none.
cmd_reply CMDpoll(agt_context* context);
// How long the next wait may last for the modules' sake: milliseconds, or -1
// when only an event need end it.
int CMDwait_at_most(agt_context* context);
// HELP's listing of `table`: eight names a line, each line "110" but the last, "210".
kvwstr CMDhelp_listing(const cmd_table& table);
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
