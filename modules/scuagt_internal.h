// scuagt's internals: its command handler, for its own files.
#pragma once

#include "modules/scuagt.h"

cmd_reply SCUcmd_qim(agt_context* context, cmd_state* state, const char* argument);
