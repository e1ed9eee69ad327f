// Placeholder until access control lands: admits nobody.
#include "modules/scuagt.h"

cmd_reply SCUcmd_qim(agt_context*, cmd_state* state, const char*) {
  state->authorized = 0;
  return CMDreply(MSG_ACCESS_REFUSED);
}
