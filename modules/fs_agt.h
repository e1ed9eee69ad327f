// fs_agt: the working directory and file system of the connection process,
// and file transfer over the data port. CWD, PWD, MKD, RMD, DELF, PFTP,
// FTPA, FTPB, GETF, PUTF.
#pragma once

#include <optional>

#include "agent/cmdagt.h"

int FSinit(agt_context* context, int with_data_socket);
int FSterm(agt_context* context);
std::optional<kvwstr> FScurrent_dir(agt_context* context);

cmd_reply FScmd_cwd(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_delf(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_mkd(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_pwd(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_rmd(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_pftp(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_ftpa(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_ftpb(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_getf(agt_context* context, cmd_state* state, const char* argument);
cmd_reply FScmd_putf(agt_context* context, cmd_state* state, const char* argument);
