// The record of the environment module and its rows of the command table.
#include "modules/envagt_internal.h"

namespace {

// Name, its length, handler, HELP text, position in HELP's listing, policy.
const cmd_entry rows[] = {
    {"DENV", 4, ENVcmd_denv, "210 delete an environement variable : DENV varname", 2, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"GENV", 4, ENVcmd_genv, "210 get environment variable : GENV varname", 6, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"SENV", 4, ENVcmd_senv, "210 set environment variable : SENV varname=value", 26, CMD_ADMITTED_ONLY, CMD_ANSWERED},
};

}  // namespace

// The environment store: started first, so that the others can publish their ports in it.
const agt_module env_module = {"environment", CTX_SLOT_ENV, false, ENVinit, ENVterm, nullptr, rows};
