// The record of the file system module and its rows of the command table.
#include "modules/fs_agt_internal.h"

namespace {

// With the data port of GETF and PUTF.
int fs_start(agt_context* context) { return FSinit(context, 1); }

// Name, handler, HELP text.
const cmd_entry rows[] = {
    {"CWD", FScmd_cwd, "210 change working directory : CWD directory-name"},
    {"DELF", FScmd_delf, "210 delete a file : DELF filename"},
    {"FTPA", FScmd_ftpa, "210 set ASCII transfer mode"},
    {"FTPB", FScmd_ftpb, "210 set BINARY transfer mode"},
    {"GETF", FScmd_getf, "210 get file : GETF filename"},
    {"MKD", FScmd_mkd, "210 create a directory : MKD directory-name"},
    {"PFTP", FScmd_pftp, "210 return ftp port"},
    {"PUTF", FScmd_putf, "210 put a file : PUTF file-name"},
    {"PWD", FScmd_pwd, "210 print working directory"},
    {"RMD", FScmd_rmd, "210 remove directory : RMD directory-name"},
};

}  // namespace

// The file system and the data port of file transfers.
const agt_module fs_module = {.name = "file system", .start = fs_start, .end = FSterm, .commands = rows};
