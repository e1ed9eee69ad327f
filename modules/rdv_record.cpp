// The record of the rendezvous module and its rows of the command table.
#include "modules/rdvagt_internal.h"

namespace {

// Name, its length, handler, HELP text, position in HELP's listing, policy.
const cmd_entry rows[] = {
    {"PRDV", 4, RDVAcmd_prdv, "210 return rendezvous port", 17, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"RVKO", 4, RDVAcmd_rvko, "210 refuse rendezvous: RVKO rendezvous-name", 22, CMD_ADMITTED_ONLY, CMD_SILENT},
    {"RVOK", 4, RDVAcmd_rvok, "210 accept rendezvous : RVOK rendezvous-name", 23, CMD_ADMITTED_ONLY, CMD_SILENT},
};

}  // namespace

// The rendezvous channel: its listening socket and waiting testers are served every turn.
const agt_module rdv_module = {"rendezvous", CTX_SLOT_RDV, true, RDVAinit, RDVAterm, RDVAready, rows};
