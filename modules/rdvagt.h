// rdvagt: the rendezvous channel. Testers wait at a named rendezvous until
// the studio releases them. PRDV, RVOK, RVKO; lines 580, 581, 601 to 603.
#pragma once

#include <optional>
#include <vector>

#include "agent/cmdagt.h"

int RDVAinit(agt_context* context);
int RDVAterm(agt_context* context);
int RDVAget_port(agt_context* context);
// Serves the ready sockets of one turn; the lines for the studio, joined with
// CR LF, without the final line end, or none.
std::optional<kvwstr> RDVAready(agt_context* context, const std::vector<int>& ready);

cmd_reply RDVAcmd_prdv(agt_context* context, cmd_state* state, const char* argument);
cmd_reply RDVAcmd_rvok(agt_context* context, cmd_state* state, const char* argument);
cmd_reply RDVAcmd_rvko(agt_context* context, cmd_state* state, const char* argument);
