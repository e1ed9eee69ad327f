// The record of the dynamic follow module and its rows of the command table.
#include "modules/dynfagt_internal.h"

namespace {

// Name, handler, HELP text, flags, the row HELP lists it after. The tester
// answers are never answered on the command connection.
const cmd_entry rows[] = {
    {"PDYN", DYNFcmd_pdyn, "210 return dynfollow port"},
    {"ISND", DYNFcmd_lower, "210 lower INTERSEND instruction", 0, "PDYN"},
    {"TOUT", DYNFcmd_lower, "210 lower timeout value", 0, "ISND"},
    {"AVAI", DYNFcmd_lower, "210 lower studio link availibility", 0, "TOUT"},
    {"DFKO", DYNFcmd_dfko, "210 reject dynflw : DFKO tester_id", 0, "RVOK"},
    {"DFOK", DYNFcmd_dfok, "210 accept dynflw : DFOK tester_id", 0, "DFKO"},
};

}  // namespace

// The dynamic-follow channel: its listening socket and testers are served every turn.
const agt_module dynf_module = {
    .name = "dynamic follow", .channel = true, .start = DYNFinit, .end = DYNFterm, .ready = DYNFprocess,
    .commands = rows};
