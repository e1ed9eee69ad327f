// cmdagt: the command interpreter. Turns one received command line into at
// most one reply, behind the authorization gate, after variable expansion.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "agent/cmd_msg.h"
#include "agent/ctxagt.h"
#include "support/kvwstr.h"

// A reply without its line end, or none when nothing is to be sent.
using cmd_reply = std::optional<kvwstr>;

struct cmd_state {
  int launched = 0;  // programs launched by EXEC whose end has not been reported
  std::vector<std::pair<int, int>> ended_pairs;  // (process number, exit code), filled by PROpoll_ended
  int authorized = 0;
  const char* peer_name = nullptr;  // not owned
};

// Handler contract: context, interpreter state and the argument (the rest of
// the expanded line after the command word and the blanks and tabs that
// follow it; the empty text when there is none).
using cmd_handler = cmd_reply (*)(agt_context* context, cmd_state* state, const char* argument);

struct cmd_entry {
  const char* name;
  int name_length;
  cmd_handler handler;
  const char* help;
};

constexpr int CMD_TABLE_SIZE = 33;

// Bounds on an expanded command line. A longer one is not run: after
// admission it is answered as an unknown command (the line as received),
// before admission it ends the connection as an over-long line does.
constexpr std::size_t CMD_EXPANDED_MAX = std::size_t{16} << 20;
constexpr std::size_t CMD_EXPANDED_MAX_UNADMITTED = std::size_t{1} << 20;
extern cmd_entry cmd_table[CMD_TABLE_SIZE];

int CMDinit(agt_context* context, const char* peer_name);
int CMDterm(agt_context* context);
cmd_reply CMDline(agt_context* context, const char* line, int* stop);
cmd_reply CMDdispatch(agt_context* context, cmd_state* state, const char* line, int* stop);
kvwstr CMDexpand(agt_context* context, const char* text, char marker);
// The same, but none as soon as the result would pass `limit` bytes: a short
// line full of references to a long value must not take the process's memory.
std::optional<kvwstr> CMDexpand_within(agt_context* context, const char* text, char marker, std::size_t limit);
cmd_reply CMDpoll(agt_context* context);

cmd_reply CMDhelo(agt_context* context, cmd_state* state, const char* argument);
cmd_reply CMDhelp(agt_context* context, cmd_state* state, const char* argument);
cmd_reply CMDquit(agt_context* context, cmd_state* state, const char* argument);
