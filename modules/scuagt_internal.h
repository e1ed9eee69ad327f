// scuagt's internals: its command handler, for its own files.
#pragma once

#include "modules/scuagt.h"

// What access control keeps for its connection: whether the missing or
// refused authorization file has been reported (once per connection).
struct scu_state {
  bool not_found_reported = false;
};

int SCUinit(agt_context* context);
int SCUterm(agt_context* context);
cmd_reply SCUcmd_qim(agt_context* context, cmd_state* state, const char* argument);
