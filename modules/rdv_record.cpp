// The record of the rendezvous module and its rows of the command table.
#include "modules/rdvagt_internal.h"

namespace {

// Name, handler, HELP text. The tester answers are never answered on the
// command connection.
const cmd_entry rows[] = {
    {"PRDV", RDVAcmd_prdv, "210 return rendezvous port"},
    {"RVKO", RDVAcmd_rvko, "210 refuse rendezvous: RVKO rendezvous-name"},
    {"RVOK", RDVAcmd_rvok, "210 accept rendezvous : RVOK rendezvous-name"},
};

}  // namespace

// The rendezvous channel: its listening socket and waiting testers are served every turn.
const agt_module rdv_module = {
    .name = "rendezvous", .channel = true, .start = RDVAinit, .end = RDVAterm, .ready = RDVAready, .commands = rows};
