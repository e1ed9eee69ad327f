// Placeholder until the file-system module lands.
#include "modules/fs_agt.h"

#include <unistd.h>

#include <string>

int FSinit(agt_context* context, int) { return context == nullptr ? -1 : 0; }
int FSterm(agt_context*) { return 0; }

std::optional<kvwstr> FScurrent_dir(agt_context*) {
  std::string path(4096, '\0');
  if (::getcwd(path.data(), path.size()) == nullptr) return std::nullopt;
  return kvwstr(path.c_str());
}

static cmd_reply not_yet(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_NOT_IMPLEMENTED); }

cmd_reply FScmd_cwd(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_delf(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_mkd(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_pwd(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_rmd(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_pftp(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_ftpa(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_ftpb(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_getf(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply FScmd_putf(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
