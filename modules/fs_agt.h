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

struct fs_state {
  int binary_mode = 1;    // 1 BINARY, 0 ASCII
  int data_socket = -1;   // listening socket of the data port
  int data_port = -1;     // its port as found when it was created
  int ascii_cr_held = 0;  // ASCII PUTF: the last block ended with a CR not yet written

  fs_state() = default;
  fs_state(const fs_state&) = delete;
  fs_state& operator=(const fs_state&) = delete;
  ~fs_state();  // closes a data socket still open
};

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
// Fills `buffer` (*length in: its size, at least 2; out: bytes produced) with
// the next block of `file` as it goes on the wire. *length 0 means the end.
int FSread_block(fs_state* state, agt_context* context, std::FILE* file, char* buffer, int* length);
// Writes one received block as it goes into the file.
int FSwrite_block(fs_state* state, agt_context* context, std::FILE* file, const char* block, int length);

// ASCII conversions, pure so that tests and fuzzers can call them.
// Sending: every LF becomes CR LF, every other byte is kept. `out` must have
// room for 2 * length bytes; returns the bytes written.
std::size_t FSascii_encode(const char* in, std::size_t length, char* out);
// Receiving: every CR LF pair becomes one LF, every other byte (NUL included)
// is kept. A CR at the end of a piece is held in *cr_held and decided by the
// first byte of the next piece, so the result does not depend on how the
// stream was cut. `out` must have room for length + 1 bytes; returns the
// bytes written.
std::size_t FSascii_decode(int* cr_held, const char* in, std::size_t length, char* out);
// End of the stream: a held CR is data. Writes it to `out` (room for 1 byte)
// and returns 1, or returns 0.
std::size_t FSascii_decode_end(int* cr_held, char* out);

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

// The module's record (its start, end and commands).
extern const agt_module fs_module;
