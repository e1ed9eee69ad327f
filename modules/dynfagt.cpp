// Placeholder until the dynamic-follow module lands.
#include "modules/dynfagt.h"

int DYNFinit(agt_context* context) { return context == nullptr ? -1 : 0; }
int DYNFterm(agt_context*) { return 0; }
int DYNFget_port(agt_context*) { return -1; }
std::optional<kvwstr> DYNFprocess(agt_context*, const std::vector<int>&) { return std::nullopt; }

cmd_reply DYNFcmd_pdyn(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_NOT_IMPLEMENTED); }
cmd_reply DYNFcmd_dfok(agt_context*, cmd_state*, const char*) { return std::nullopt; }
cmd_reply DYNFcmd_dfko(agt_context*, cmd_state*, const char*) { return std::nullopt; }
cmd_reply DYNFcmd_lower(agt_context*, cmd_state*, const char*) { return std::nullopt; }
