// The record of the processes module and its rows of the command table.
#include "modules/proagt_internal.h"

namespace {

// Name, its length, handler, HELP text, position in HELP's listing, policy.
const cmd_entry rows[] = {
    {"EXEC", 4, PROcmd_exec, "210 execute command : EXEC filename", 3, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"STAT", 4, PROcmd_stat, "210 return process status : STAT process-id", 27, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"STOP", 4, PROcmd_stop, "210 stop process : STOP process-id", 28, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"TRON", 4, PROcmd_tron, "210 turn trace on", 29, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"TROF", 4, PROcmd_trof, "210 turn trace off", 30, CMD_ADMITTED_ONLY, CMD_ANSWERED},
};

}  // namespace

// Launched programs; PROinit and PROterm also start and end the trace module.
const agt_module pro_module = {"processes", CTX_SLOT_PROC, false, PROinit, PROterm, nullptr, rows};
