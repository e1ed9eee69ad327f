// The record of the dynamic follow module and its rows of the command table.
#include "modules/dynfagt_internal.h"

namespace {

// Name, its length, handler, HELP text, position in HELP's listing, policy.
const cmd_entry rows[] = {
    {"PDYN", 4, DYNFcmd_pdyn, "210 return dynfollow port", 11, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"ISND", 4, DYNFcmd_lower, "210 lower INTERSEND instruction", 12, CMD_ADMITTED_ONLY, CMD_SILENT},
    {"TOUT", 4, DYNFcmd_lower, "210 lower timeout value", 13, CMD_ADMITTED_ONLY, CMD_SILENT},
    {"AVAI", 4, DYNFcmd_lower, "210 lower studio link availibility", 14, CMD_ADMITTED_ONLY, CMD_SILENT},
    {"DFKO", 4, DYNFcmd_dfko, "210 reject dynflw : DFKO tester_id", 24, CMD_ADMITTED_ONLY, CMD_SILENT},
    {"DFOK", 4, DYNFcmd_dfok, "210 accept dynflw : DFOK tester_id", 25, CMD_ADMITTED_ONLY, CMD_SILENT},
};

}  // namespace

// The dynamic-follow channel: its listening socket and testers are served every turn.
const agt_module dynf_module = {"dynamic follow", CTX_SLOT_DYNF, true, DYNFinit, DYNFterm, DYNFprocess, rows};
