// scuagt: access control. The identification command Qim and the
// authorization file kvsagtd.ini.
#pragma once

#include "agent/cmdagt.h"

cmd_reply SCUcmd_qim(agt_context* context, cmd_state* state, const char* argument);
