// dynfagt: the dynamic-follow channel. Testers report their progress in
// lines relayed to the studio; the studio answers them. PDYN, DFOK, DFKO,
// ISND, TOUT, AVAI; lines 590 to 592, 700 to 722, 800.
#pragma once

#include <optional>
#include <vector>

#include "agent/cmdagt.h"

int DYNFinit(agt_context* context);
int DYNFterm(agt_context* context);
int DYNFget_port(agt_context* context);
// Serves the ready sockets of one turn; the notifications for the studio,
// joined with CR LF, without the final line end, or none.
std::optional<kvwstr> DYNFprocess(agt_context* context, const std::vector<int>& ready);

cmd_reply DYNFcmd_pdyn(agt_context* context, cmd_state* state, const char* argument);
cmd_reply DYNFcmd_dfok(agt_context* context, cmd_state* state, const char* argument);
cmd_reply DYNFcmd_dfko(agt_context* context, cmd_state* state, const char* argument);
// ISND, TOUT and AVAI share one handler.
cmd_reply DYNFcmd_lower(agt_context* context, cmd_state* state, const char* argument);
