// The record of the processes module and its rows of the command table.
#include "modules/proagt_internal.h"

namespace {

// Running programs are looked at again every second.
constexpr int PRO_LOOK_AGAIN_MS = 1000;

// Every turn: the processes left by ended programs are reaped, and the
// programs whose end was observed since the last turn are reported, latest
// first, in one "661 process stopped : " line.
cmd_reply pro_turn(agt_context* context, cmd_state* state) {
  PROprune_groups(context);
  if (state->launched() == 0) return std::nullopt;
  std::vector<std::pair<int, int>> ended;
  int n = PROpoll_ended(context, ended);
  if (n < 1) return std::nullopt;
  kvwstr text = CMDreplyf(MSG_661_PROCESS_STOPPED, "%%%d => ", n);
  for (int i = n - 1; i >= 0; --i) {
    const auto& [number, code] = ended[static_cast<std::size_t>(i)];
    text.catf(i == n - 1 ? "%%%d (%%%d)" : ", %%%d (%%%d)", number, code);
  }
  state->count_ended(n);
  return text;
}

int pro_wait_at_most(agt_context* context) { return PROany_running(context) ? PRO_LOOK_AGAIN_MS : -1; }

// Name, handler, HELP text, flags, the row HELP lists it after.
const cmd_entry rows[] = {
    {"EXEC", PROcmd_exec, "210 execute command : EXEC filename", CMD_LAUNCHES},
    {"STAT", PROcmd_stat, "210 return process status : STAT process-id"},
    {"STOP", PROcmd_stop, "210 stop process : STOP process-id"},
    {"TRON", PROcmd_tron, "210 turn trace on"},
    {"TROF", PROcmd_trof, "210 turn trace off", 0, "TRON"},
};

}  // namespace

// Launched programs, the ends reported every turn, and the wait kept short while one runs.
const agt_module pro_module = {.name = "processes",
                               .start = PROinit,
                               .end = PROterm,
                               .commands = rows,
                               .turn = pro_turn,
                               .wait_at_most = pro_wait_at_most};
