// The record of the environment module and its rows of the command table.
#include "modules/envagt_internal.h"

namespace {

// Name, handler, HELP text.
const cmd_entry rows[] = {
    {"DENV", ENVcmd_denv, "210 delete an environement variable : DENV varname"},
    {"GENV", ENVcmd_genv, "210 get environment variable : GENV varname"},
    {"SENV", ENVcmd_senv, "210 set environment variable : SENV varname=value"},
};

}  // namespace

// The environment store: started first, so that the others can publish their ports in it.
const agt_module env_module = {.name = "environment", .start = ENVinit, .end = ENVterm, .commands = rows};
