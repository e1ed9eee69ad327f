// fs_agt: the working directory and file system of the connection process,
// and file transfer over the data port. CWD, PWD, MKD, RMD, DELF, PFTP,
// FTPA, FTPB, GETF, PUTF.
//
// The data port is a listening socket opened at start on a free port and not
// watched by the connection loop: only GETF and PUTF accept on it, one data
// connection per transfer. The data stream carries the file's bytes and
// nothing else; its end is the end of the file, and the outcome travels in
// the command reply sent after the data connection has been closed.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>

#include "modules/agt_module.h"

// Block sizes of the transfers: what one read, send or receive handles at most.
constexpr int FS_SEND_BLOCK = 2200;      // GETF, ASCII (after conversion)
// BINARY mode moves the bytes unchanged, so its block size is not visible on
// the wire: large blocks keep the system calls per MiB few.
constexpr int FS_BINARY_BLOCK = 256 * 1024;  // GETF and PUTF, BINARY
// Nor is the size of an ASCII reception: a CR LF cut between two receptions
// is still one line end, so PUTF receives as BINARY does.
constexpr int FS_RECV_ASCII = FS_BINARY_BLOCK;  // PUTF, ASCII

int FSinit(agt_context* context, int with_data_socket);
int FSterm(agt_context* context);

int FSchange_dir(agt_context* context, const char* path);
// The whole current directory, whatever its length; none without a live
// state or when the system cannot tell it (a removed directory).
std::optional<kvwstr> FScurrent_dir(agt_context* context);
int FSmake_dir(agt_context* context, const char* path);
int FSremove_dir(agt_context* context, const char* path);
int FSdelete_file(agt_context* context, const char* path);

int FSdata_port(agt_context* context);
int FSset_ascii(agt_context* context);
int FSset_binary(agt_context* context);
// One GETF / PUTF transfer: accepts the data connection, moves the file,
// closes the connection. 0 or -1.
int FSsend_file(agt_context* context, const char* path);
int FSreceive_file(agt_context* context, const char* path);

// The module's record (its start, end and commands).
extern const agt_module fs_module;
