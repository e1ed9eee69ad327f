// The record of the access control module and its rows of the command table.
#include "modules/scuagt_internal.h"

namespace {

// Name, its length, handler, HELP text, position in HELP's listing, policy.
const cmd_entry rows[] = {
    {"Qim", 3, SCUcmd_qim, "210 Qim <user>", 32, CMD_BEFORE_ADMISSION, CMD_ANSWERED},
};

}  // namespace

// Identification: no state of its own; it sets the interpreter's `authorized`.
const agt_module scu_module = {"access control", 0, false, nullptr, nullptr, nullptr, rows};
