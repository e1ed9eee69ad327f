// fs_agt's internals: its state, block reading and writing, the ASCII
// conversions and its command handlers, for its own files, tests and
// fuzzers.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "modules/fs_agt.h"
#include "platform/files.h"

// The bytes GETF has read from a file and not yet put into a block: the file
// is read FS_READ_AHEAD bytes at a time, and ASCII blocks are converted from
// memory, a run between line ends at a time.
struct fs_read_ahead {
  std::unique_ptr<char[]> data;   // FS_READ_AHEAD bytes once a transfer needs it
  std::size_t begin = 0;          // the next byte not yet taken
  std::size_t end = 0;            // one past the last byte read
  std::unique_ptr<char[]> raw;    // text_crlf: the bytes as read, before CR LF becomes LF
  bool cr_held = false;           // text_crlf: a CR read last, decided by the byte after it
  const std::FILE* file = nullptr;  // the file they came from
};

struct fs_transfer;  // a GETF or PUTF under way

struct fs_state {
  int binary_mode = 1;    // 1 BINARY, 0 ASCII
  int data_socket = -1;   // listening socket of the data port
  int data_port = -1;     // its port as found when it was created
  bool ascii_cr_held = false;  // ASCII PUTF: the last block ended with a CR not yet written
  // ASCII GETF reads a file's CR LF as one line end (text files on Windows).
  bool text_crlf = PLATtext_ends_lines_with_crlf();
  fs_read_ahead ahead;    // GETF's read-ahead; released when a transfer ends
  std::unique_ptr<char[]> decoded;  // ASCII PUTF: FS_WRITE_PIECE + 1 bytes, a reception decoded
  std::unique_ptr<fs_transfer> transfer;  // the transfer under way, if any

  fs_state();  // out of line, where a transfer is a complete type
  fs_state(const fs_state&) = delete;
  fs_state& operator=(const fs_state&) = delete;
  ~fs_state();  // closes a data socket still open
};

constexpr std::size_t FS_READ_AHEAD = 256 * 1024;  // GETF: bytes read from the file at a time
constexpr std::size_t FS_WRITE_PIECE = 256 * 1024;  // ASCII PUTF: bytes decoded per write

// Fills `buffer` (*length in: its size, at least 2; out: bytes produced) with
// the next block of `file` as it goes on the wire. *length 0 means the end.
// Reads ahead into state->ahead: a block may leave read bytes there for the
// next block of the same file.
int FSread_block(fs_state* state, agt_context* context, std::FILE* file, char* buffer, int* length);

// Writes one received block as it goes into the file.
int FSwrite_block(fs_state* state, agt_context* context, std::FILE* file, const char* block, int length);

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
