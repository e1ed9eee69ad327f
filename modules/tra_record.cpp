// The record of the trace module and its rows of the command table.
#include "modules/traagt_internal.h"

namespace {

// Name, handler, HELP text.
const cmd_entry rows[] = {
    {"PORT", TRAcmd_port, "210 return trace port"},
    {"TRWA", TRAcmd_trwa, "210 wait for connexion on PORT"},
};

}  // namespace

// The trace port of launched programs: it starts after the process module
// and ends after it, once the programs that wrote to it are gone.
const agt_module tra_module = {.name = "trace", .start = TRAinit, .end = TRAterm, .commands = rows};
