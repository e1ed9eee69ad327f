#include "modules/fs_agt_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/tcpip.h"
#include "platform/files.h"
#include "support/protocol/ascii_codec.h"
#include "support/cstsyst.h"

namespace {

// Closes a socket of this module through the network layer, or directly
// when the layer has already gone.
void close_socket(agt_context* context, int socket) {
  if (TCPIPunwatch(context, socket) == 0)
    TCPIPclose(context, socket);
  else
    TCPIPdiscard(socket);
}

struct file_closer {
  std::unique_ptr<char[]> buffer;  // the stream's buffer when it was given one; freed after the close
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// What GETF reads a file through: ASCII blocks take a file a few hundred
// characters at a time, which the default stream buffer (4 KiB) would turn
// into a read call every two blocks. Large BINARY reads bypass it, and its
// pages are only touched when used.
constexpr std::size_t FS_READ_BUFFER = 256 * 1024;

// Files are opened through the platform, which takes only what cannot block
// (regular files and the null device) and keeps them from programs launched
// later. A file received in ASCII is written in text mode: where the
// platform translates line ends (Windows), the file gets its own; elsewhere
// the two modes are the same. A file sent is always read in binary, and its
// CR LF line ends, where text files have them, are read by read_ahead: a
// text-mode read would end the file at its first Ctrl-Z byte.
file_ptr open_for_reading(const char* path) {
  file_ptr file(PLATopen_transfer(path, false, false));
  if (file) {
    file.get_deleter().buffer = std::make_unique_for_overwrite<char[]>(FS_READ_BUFFER);
    std::setvbuf(file.get(), file.get_deleter().buffer.get(), _IOFBF, FS_READ_BUFFER);
  }
  return file;
}
file_ptr open_for_writing(const char* path, bool text) { return file_ptr(PLATopen_transfer(path, true, text)); }

// The one data connection of a transfer; closed when the transfer ends,
// whichever way it ends.
class data_connection {
 public:
  explicit data_connection(agt_context* context) : context_(context) {}
  data_connection(const data_connection&) = delete;
  data_connection& operator=(const data_connection&) = delete;
  ~data_connection() {
    if (socket_ >= 0) close_socket(context_, socket_);
  }

  // Takes the next connection on the data port, waiting for it when none is
  // in the backlog. Fails when the studio leaves the command connection meanwhile.
  bool accept(int listen_socket) {
    if (listen_socket < 0) return false;
    int accepted = -1;
    if (TCPIPaccept_stream(context_, listen_socket, &accepted, nullptr, nullptr) != 0) {
      const int error = errno;
      if (accepted >= 0) TCPIPdiscard(accepted);
      errno = error;
      return false;
    }
    socket_ = accepted;
    return true;
  }
  int socket() const { return socket_; }

 private:
  agt_context* context_;
  int socket_ = -1;
};

// The file's bytes, as they go on the wire, to the data connection. Every
// wait for the connection to take more is the network layer's readiness
// wait, which serves the command connection meanwhile.
//
// ASCII blocks are converted one at a time, at most FS_SEND_BLOCK bytes each
// as before, and gathered into one send of up to FS_BINARY_BLOCK bytes: the
// stream is the same, but it leaves in full segments, with one wait and one
// send per gathering instead of per block. BINARY mode reads and sends
// FS_BINARY_BLOCK bytes at a time. (Handing the file to the system with
// sendfile instead was measured slower on loopback here: see bench/README.md.)
int send_stream(fs_state* state, agt_context* context, std::FILE* file, int socket) {
  const int block_size = state->binary_mode != 0 ? FS_BINARY_BLOCK : FS_SEND_BLOCK;
  const std::size_t size = FS_BINARY_BLOCK;
  std::vector<char> buffer(size);
  for (;;) {
    std::size_t filled = 0;
    int length = block_size;
    do {
      length = block_size;
      if (FSread_block(state, context, file, buffer.data() + filled, &length) != 0) return -1;
      filled += static_cast<std::size_t>(length);
    } while (length != 0 && filled + static_cast<std::size_t>(block_size) <= size);
    if (filled == 0) return 0;
    int sending = static_cast<int>(filled);
    if (TCPIPsend(context, socket, buffer.data(), &sending) != 0) return -1;
    if (length == 0) return 0;
  }
}

cmd_reply path_command(agt_context* context, cmd_state* state, const char* argument,
                       int (*operation)(agt_context*, const char*), cmd_msg_id empty, cmd_msg_id done,
                       cmd_msg_id failed, const char* command, const char* call) {
  if (*argument == '\0') return CMDreply(empty);
  errno = 0;  // a failure without a system call leaves no cause of an earlier one
  if (operation(context, argument) == 0) return CMDreply(done);
  CMDfailed(state, command, call, argument, errno);
  return CMDreply(failed);
}

}  // namespace

fs_state::~fs_state() {
  if (data_socket >= 0) TCPIPdiscard(data_socket);
}

int FSinit(agt_context* context, int with_data_socket) {
  if (context == nullptr) return -1;
  auto state = std::make_unique<fs_state>();
  state->binary_mode = 1;
  if (with_data_socket != 0) {
    state->data_port = 0;
    int socket = TCPIPlisten(context, nullptr, nullptr, &state->data_port);
    if (socket < 0) {
      CSTprintf("FSinit: socket FTP creation Error\n");
      return -1;
    }
    state->data_socket = socket;
  }
  CTXinstall(context, std::move(state), CTX_SLOT_FS);
  return 0;
}

int FSterm(agt_context* context) {
  if (CTXstate<fs_state>(context, CTX_SLOT_FS) == nullptr) return -1;
  std::unique_ptr<fs_state> state = CTXtake<fs_state>(context, CTX_SLOT_FS);
  state->data_port = -1;
  if (state->data_socket >= 0) {
    close_socket(context, state->data_socket);
    state->data_socket = -1;
  }
  return 0;
}

int FSchange_dir(agt_context* context, const char* path) {
  if (CTXstate<fs_state>(context, CTX_SLOT_FS) == nullptr || path == nullptr) return -1;
  return PLATchdir(path);
}

std::optional<kvwstr> FScurrent_dir(agt_context* context) {
  if (CTXstate<fs_state>(context, CTX_SLOT_FS) == nullptr) return std::nullopt;
  std::optional<std::string> path = PLATgetcwd();
  if (!path) return std::nullopt;
  return kvwstr(path->c_str());
}

int FSmake_dir(agt_context* context, const char* path) {
  if (CTXstate<fs_state>(context, CTX_SLOT_FS) == nullptr || path == nullptr) return -1;
  return PLATmkdir(path);
}

int FSremove_dir(agt_context* context, const char* path) {
  if (CTXstate<fs_state>(context, CTX_SLOT_FS) == nullptr || path == nullptr) return -1;
  return PLATrmdir(path);
}

int FSdelete_file(agt_context* context, const char* path) {
  if (CTXstate<fs_state>(context, CTX_SLOT_FS) == nullptr || path == nullptr) return -1;
  return PLATunlink(path);
}

int FSdata_port(agt_context* context) {
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  if (state == nullptr || state->data_socket < 0) return -1;
  return TCPIPget_port(context, state->data_socket);
}

int FSset_ascii(agt_context* context) {
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  if (state == nullptr) return -1;
  state->binary_mode = 0;
  return 0;
}

int FSset_binary(agt_context* context) {
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  if (state == nullptr) return -1;
  state->binary_mode = 1;
  return 0;
}

// The conversions themselves are the protocol library's; these keep the
// held CR in the module's state as an int.
std::size_t FSascii_encode(const char* in, std::size_t length, char* out) {
  return protocol::ascii_encode(in, length, out);
}

std::size_t FSascii_decode(int* cr_held, const char* in, std::size_t length, char* out) {
  bool held = *cr_held != 0;
  std::size_t produced = protocol::ascii_decode(held, in, length, out);
  *cr_held = held ? 1 : 0;
  return produced;
}

std::size_t FSascii_decode_end(int* cr_held, char* out) {
  bool held = *cr_held != 0;
  std::size_t produced = protocol::ascii_decode_end(held, out);
  *cr_held = held ? 1 : 0;
  return produced;
}

namespace {

// Refills the read-ahead from `file`: false on a read error; at the end of
// the file it stays empty. With `crlf` every CR LF pair read becomes one LF,
// a CR last in a read waiting for the next one: the file is read in binary
// and translated here, so that no byte (Ctrl-Z included) ends it early.
bool read_ahead(fs_read_ahead& ahead, std::FILE* file, bool crlf) {
  if (!ahead.data) ahead.data = std::make_unique_for_overwrite<char[]>(FS_READ_AHEAD);
  ahead.begin = 0;
  if (!crlf) {
    ahead.end = std::fread(ahead.data.get(), 1, FS_READ_AHEAD, file);
    return std::ferror(file) == 0;
  }
  // The decoder writes at most one byte more than it reads (a held CR).
  if (!ahead.raw) ahead.raw = std::make_unique_for_overwrite<char[]>(FS_READ_AHEAD - 1);
  char* data = ahead.data.get();
  for (;;) {
    std::size_t got = std::fread(ahead.raw.get(), 1, FS_READ_AHEAD - 1, file);
    if (std::ferror(file) != 0) return false;
    if (got == 0) {
      ahead.end = FSascii_decode_end(&ahead.cr_held, data);
      return true;
    }
    ahead.end = FSascii_decode(&ahead.cr_held, ahead.raw.get(), got, data);
    if (ahead.end != 0) return true;  // a read of a lone CR decides nothing yet
  }
}

// Forgets bytes read ahead from another file.
fs_read_ahead& read_ahead_of(fs_state* state, const std::FILE* file) {
  fs_read_ahead& ahead = state->ahead;
  if (ahead.file != file) {
    ahead.begin = ahead.end = 0;
    ahead.file = file;
  }
  return ahead;
}

// Releases a transfer's buffers when it ends, whichever way it ends.
struct transfer_buffers {
  fs_state* state;
  explicit transfer_buffers(fs_state* s) : state(s) { state->ahead = {}; }
  transfer_buffers(const transfer_buffers&) = delete;
  transfer_buffers& operator=(const transfer_buffers&) = delete;
  ~transfer_buffers() {
    state->ahead = {};
    state->decoded.reset();
  }
};

}  // namespace

int FSread_block(fs_state* state, agt_context*, std::FILE* file, char* buffer, int* length) {
  if (state == nullptr || file == nullptr || buffer == nullptr || length == nullptr ||
      *length < 2)
    return -1;
  std::size_t room = static_cast<std::size_t>(*length);
  *length = 0;
  fs_read_ahead& ahead = read_ahead_of(state, file);
  if (state->binary_mode != 0) {
    // Bytes read ahead first (a transfer that changed mode), then the file.
    std::size_t taken = std::min(room, ahead.end - ahead.begin);
    if (taken != 0) std::memcpy(buffer, ahead.data.get() + ahead.begin, taken);
    ahead.begin += taken;
    std::size_t got = std::fread(buffer + taken, 1, room - taken, file);
    if (std::ferror(file) != 0) return -1;
    *length = static_cast<int>(taken + got);
    return 0;
  }
  // A block takes characters while it holds fewer than `limit` bytes, so a
  // line feed taken last still fits as CR LF. The run up to the next line
  // feed (or up to the limit) is copied whole, the line feed taken as CR LF:
  // the block is the same as one built a character at a time.
  const std::size_t limit = std::min(room, static_cast<std::size_t>(FS_SEND_BLOCK)) - 1;
  std::size_t produced = 0;
  while (produced < limit) {
    if (ahead.begin == ahead.end) {
      if (!read_ahead(ahead, file, state->text_crlf)) return -1;
      if (ahead.end == 0) break;  // end of file
    }
    const char* from = ahead.data.get() + ahead.begin;
    std::size_t span = std::min(ahead.end - ahead.begin, limit - produced);
    std::size_t run = protocol::copy_run(from, span, '\n', buffer + produced);
    produced += run;
    ahead.begin += run;
    if (run < span) {  // a line feed within the span: the block still holds fewer than `limit` bytes
      buffer[produced++] = '\r';
      buffer[produced++] = '\n';
      ++ahead.begin;
    }
  }
  *length = static_cast<int>(produced);
  return 0;
}

int FSwrite_block(fs_state* state, agt_context*, std::FILE* file, const char* block, int length) {
  if (state == nullptr || file == nullptr || block == nullptr || length < 0) return -1;
  std::size_t size = static_cast<std::size_t>(length);
  if (state->binary_mode != 0) return std::fwrite(block, 1, size, file) == size ? 0 : -1;
  // One reception is decoded whole (it is at most FS_RECV_ASCII bytes) and
  // written with one call; larger blocks in pieces of FS_WRITE_PIECE.
  if (!state->decoded) state->decoded = std::make_unique_for_overwrite<char[]>(FS_WRITE_PIECE + 1);
  char* decoded = state->decoded.get();
  for (std::size_t at = 0; at < size; at += FS_WRITE_PIECE) {
    std::size_t piece = std::min(size - at, FS_WRITE_PIECE);
    std::size_t produced = FSascii_decode(&state->ascii_cr_held, block + at, piece, decoded);
    if (std::fwrite(decoded, 1, produced, file) != produced) return -1;
  }
  return 0;
}

namespace {

// A transfer's failure: the errno of the call that failed, taken at once,
// before the closing of the file and the data connection can change it.
int failure(int& error) {
  error = errno;
  return -1;
}

int send_file(agt_context* context, const char* path, int& error) {
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  if (state == nullptr || path == nullptr || *path == '\0') return -1;
  data_connection data(context);
  if (!data.accept(state->data_socket)) return failure(error);
  // A file that cannot be opened leaves the studio a stream without data; the
  // reply tells it why.
  file_ptr file = open_for_reading(path);
  if (!file) return failure(error);
  transfer_buffers buffers(state);
  if (send_stream(state, context, file.get(), data.socket()) != 0) return failure(error);
  return 0;
}

int receive_file(agt_context* context, const char* path, int& error) {
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  if (state == nullptr || path == nullptr || *path == '\0') return -1;
  data_connection data(context);
  if (!data.accept(state->data_socket)) return failure(error);
  file_ptr file = open_for_writing(path, state->binary_mode == 0);
  if (!file) return failure(error);
  const int binary = state->binary_mode;
  state->ascii_cr_held = 0;
  transfer_buffers buffers(state);
  int failed = 0;
  const int size = binary != 0 ? FS_BINARY_BLOCK : FS_RECV_ASCII;
  std::vector<char> block(static_cast<std::size_t>(size));
  for (;;) {
    int end = 0;
    int received = TCPIPrecv(context, data.socket(), block.data(), size, &end);
    if (received == 0) break;
    // A connection reset, or the studio leaving meanwhile, cuts the file
    // short: that is not a file received.
    if (received < 0) {
      failed = failure(error);
      break;
    }
    if (FSwrite_block(state, context, file.get(), block.data(), received) != 0) {
      failed = failure(error);
      break;
    }
  }
  // A CR that ended the stream has no LF after it: it is data. The first
  // failure is the cause.
  char held;
  std::size_t tail = FSascii_decode_end(&state->ascii_cr_held, &held);
  if (tail != 0 && std::fwrite(&held, 1, tail, file.get()) != tail && failed == 0) failed = failure(error);
  if (binary != 0 && PLATgive_default_permissions(file.get()) != 0 && failed == 0) failed = failure(error);
  // Buffered data reaches the file here; a failing close is a failed write.
  if (std::fclose(file.release()) != 0 && failed == 0) failed = failure(error);
  return failed != 0 ? -1 : 0;
}

}  // namespace

// On failure errno holds the cause (0: none), whatever was closed after it.
int FSsend_file(agt_context* context, const char* path) {
  int error = 0;
  int result = send_file(context, path, error);
  if (result != 0) errno = error;
  return result;
}

int FSreceive_file(agt_context* context, const char* path) {
  int error = 0;
  int result = receive_file(context, path, error);
  if (result != 0) errno = error;
  return result;
}

cmd_reply FScmd_cwd(agt_context* context, cmd_state* state, const char* argument) {
  return path_command(context, state, argument, FSchange_dir, MSG_451_CWD_NEEDS_NAME, MSG_251_DIR_CHANGED, MSG_551_CWD_FAILED, "CWD", "FSchange_dir");
}

cmd_reply FScmd_mkd(agt_context* context, cmd_state* state, const char* argument) {
  return path_command(context, state, argument, FSmake_dir, MSG_452_MKD_NEEDS_NAME, MSG_252_DIR_CREATED, MSG_552_MKD_FAILED, "MKD", "FSmake_dir");
}

cmd_reply FScmd_rmd(agt_context* context, cmd_state* state, const char* argument) {
  return path_command(context, state, argument, FSremove_dir, MSG_454_RMD_NEEDS_NAME, MSG_254_DIR_REMOVED, MSG_554_RMD_FAILED, "RMD", "FSremove_dir");
}

cmd_reply FScmd_delf(agt_context* context, cmd_state* state, const char* argument) {
  return path_command(context, state, argument, FSdelete_file, MSG_432_DELF_NEEDS_NAME, MSG_232_FILE_DELETED,
                      MSG_532_DELETE_FILE_FAILED, "DELF", "FSdelete_file");
}

cmd_reply FScmd_pwd(agt_context* context, cmd_state* state, const char*) {
  errno = 0;
  std::optional<kvwstr> path = FScurrent_dir(context);
  if (!path) {
    CMDfailed(state, "PWD", "FScurrent_dir", nullptr, errno);
    return CMDreply(MSG_553_PWD_FAILED);
  }
  return CMDreplyf(MSG_253_CURRENT_DIR, "%s", path->c_str());
}

cmd_reply FScmd_pftp(agt_context* context, cmd_state*, const char*) {
  int port = FSdata_port(context);
  if (port < 0) return CMDreply(MSG_526_NO_FTP_PORT);
  return CMDreplyf(MSG_226_FTP_PORT, "%%%d", port);
}

cmd_reply FScmd_ftpa(agt_context* context, cmd_state*, const char*) {
  FSset_ascii(context);
  return CMDreply(MSG_227_MODE_ASCII);
}

cmd_reply FScmd_ftpb(agt_context* context, cmd_state*, const char*) {
  FSset_binary(context);
  return CMDreply(MSG_228_MODE_BINARY);
}

cmd_reply FScmd_getf(agt_context* context, cmd_state* state, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_430_GETF_NEEDS_NAME);
  if (FSsend_file(context, argument) == 0) return CMDreply(MSG_230_FILE_SENT);
  CMDfailed(state, "GETF", "FSsend_file", argument, errno);
  return CMDreply(MSG_530_SEND_FILE_FAILED);
}

cmd_reply FScmd_putf(agt_context* context, cmd_state* state, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_431_PUTF_NEEDS_NAME);
  if (FSreceive_file(context, argument) == 0) return CMDreply(MSG_231_FILE_RECEIVED);
  CMDfailed(state, "PUTF", "FSreceive_file", argument, errno);
  return CMDreply(MSG_531_RECEIVE_FILE_FAILED);
}
