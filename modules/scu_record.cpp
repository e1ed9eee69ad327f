// The record of the access control module and its rows of the command table.
#include "modules/scuagt_internal.h"

namespace {

// Name, handler, HELP text, flags, the row HELP lists it after (the last one).
const cmd_entry rows[] = {
    {"Qim", SCUcmd_qim, "210 Qim <user>", CMD_BEFORE_ADMISSION | CMD_ADMITS, "TRWA"},
};

}  // namespace

// Identification: it admits the studio's user in the interpreter's state;
// its own state only remembers what it has reported.
const agt_module scu_module = {.name = "access control", .start = SCUinit, .end = SCUterm, .commands = rows};
