// Placeholder until the rendezvous module lands.
#include "modules/rdvagt.h"

int RDVAinit(agt_context* context) { return context == nullptr ? -1 : 0; }
int RDVAterm(agt_context*) { return 0; }
int RDVAget_port(agt_context*) { return -1; }
std::optional<kvwstr> RDVAready(agt_context*, const std::vector<int>&) { return std::nullopt; }

cmd_reply RDVAcmd_prdv(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_NOT_IMPLEMENTED); }
cmd_reply RDVAcmd_rvok(agt_context*, cmd_state*, const char*) { return std::nullopt; }
cmd_reply RDVAcmd_rvko(agt_context*, cmd_state*, const char*) { return std::nullopt; }
