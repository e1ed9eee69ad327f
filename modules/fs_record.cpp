// The record of the file system module and its rows of the command table.
#include "modules/fs_agt_internal.h"

namespace {

// With the data port of GETF and PUTF.
int fs_start(agt_context* context) { return FSinit(context, 1); }

// Name, its length, handler, HELP text, position in HELP's listing, policy.
const cmd_entry rows[] = {
    {"CWD", 3, FScmd_cwd, "210 change working directory : CWD directory-name", 0, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"DELF", 4, FScmd_delf, "210 delete a file : DELF filename", 1, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"FTPA", 4, FScmd_ftpa, "210 set ASCII transfer mode", 4, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"FTPB", 4, FScmd_ftpb, "210 set BINARY transfer mode", 5, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"GETF", 4, FScmd_getf, "210 get file : GETF filename", 7, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"MKD", 3, FScmd_mkd, "210 create a directory : MKD directory-name", 10, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"PFTP", 4, FScmd_pftp, "210 return ftp port", 15, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"PUTF", 4, FScmd_putf, "210 put a file : PUTF file-name", 18, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"PWD", 3, FScmd_pwd, "210 print working directory", 19, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"RMD", 3, FScmd_rmd, "210 remove directory : RMD directory-name", 21, CMD_ADMITTED_ONLY, CMD_ANSWERED},
};

}  // namespace

// The file system and the data port of file transfers.
const agt_module fs_module = {"file system", CTX_SLOT_FS, false, fs_start, FSterm, nullptr, rows};
