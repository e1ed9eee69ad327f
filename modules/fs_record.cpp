// The record of the file system module and its rows of the command table.
#include "modules/fs_agt.h"

namespace {

// With the data port of GETF and PUTF.
int fs_start(agt_context* context) { return FSinit(context, 1); }

// Name, its length, handler, HELP text, position in HELP's listing.
const cmd_entry rows[] = {
    {"CWD", 3, FScmd_cwd, "210 change working directory : CWD directory-name", 0},
    {"DELF", 4, FScmd_delf, "210 delete a file : DELF filename", 1},
    {"FTPA", 4, FScmd_ftpa, "210 set ASCII transfer mode", 4},
    {"FTPB", 4, FScmd_ftpb, "210 set BINARY transfer mode", 5},
    {"GETF", 4, FScmd_getf, "210 get file : GETF filename", 7},
    {"MKD", 3, FScmd_mkd, "210 create a directory : MKD directory-name", 10},
    {"PFTP", 4, FScmd_pftp, "210 return ftp port", 15},
    {"PUTF", 4, FScmd_putf, "210 put a file : PUTF file-name", 18},
    {"PWD", 3, FScmd_pwd, "210 print working directory", 19},
    {"RMD", 3, FScmd_rmd, "210 remove directory : RMD directory-name", 21},
};

}  // namespace

// The file system and the data port of file transfers.
const agt_module fs_module = {"file system", CTX_SLOT_FS, false, fs_start, FSterm, nullptr, rows};
