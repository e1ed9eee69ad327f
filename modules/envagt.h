// envagt: the environment of the connection, which every program it launches
// later gets. GENV, SENV, DENV.
//
// The variables are held here, in a store seeded from the process's own
// environment at ENVinit, rather than in the process environment: replacing a
// value frees the old one (the C library's setenv never does), and a program
// gets exactly the variables of the store, built into its environment when
// it is launched. GENV, the variable expansion of command lines and the
// lookup of the authorization file all read the store. Without a store (a
// context that never ran ENVinit) the operations work on the process
// environment itself.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "modules/agt_module.h"

int ENVinit(agt_context* context);
int ENVterm(agt_context* context);
// The value, or none when the variable is not set, is empty, or no name is given.
std::optional<kvwstr> ENVget(agt_context* context, const char* name);
// -1 for an absent name or value, an empty name or a name holding "=".
int ENVset(agt_context* context, const char* name, const char* value);
int ENVunset(agt_context* context, const char* name);
// The environment of a program launched now, as "name=value" entries.
std::vector<std::string> ENVblock(agt_context* context);

// The module's record (its start, end and commands).
extern const agt_module env_module;
