// The record of the trace module and its rows of the command table.
#include "modules/traagt_internal.h"

namespace {

// Name, its length, handler, HELP text, position in HELP's listing, policy.
const cmd_entry rows[] = {
    {"PORT", 4, TRAcmd_port, "210 return trace port", 16, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"TRWA", 4, TRAcmd_trwa, "210 wait for connexion on PORT", 31, CMD_ADMITTED_ONLY, CMD_ANSWERED},
};

}  // namespace

// The trace port: started and ended by the process module, whose programs use it.
const agt_module tra_module = {"trace", CTX_SLOT_TRACE, false, nullptr, nullptr, nullptr, rows};
