#include "modules/fs_agt_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "modules/side_port.h"
#include "net/connection.h"
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
  transfer.reset();
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
  // A transfer still under way ends with the connection, unanswered.
  state->transfer.reset();
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
      ahead.end = protocol::ascii_decode_end(ahead.cr_held, data);
      return true;
    }
    ahead.end = protocol::ascii_decode(ahead.cr_held, ahead.raw.get(), got, data);
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
    std::size_t produced = protocol::ascii_decode(state->ascii_cr_held, block + at, piece, decoded);
    if (std::fwrite(decoded, 1, produced, file) != produced) return -1;
  }
  return 0;
}

// One GETF or PUTF, a state advanced by the readiness wait: waiting for the
// data connection on the data port, then moving the file as the connection
// takes or brings it, then closed, and only then answered. Every step that
// moves nothing waits in the loop's wait, never in a call.
struct fs_transfer {
  agt_context* context = nullptr;
  bool sending = false;     // GETF; else PUTF
  std::string path;
  file_ptr file;
  tcpip_conn_ptr data;      // the data connection, once accepted
  std::vector<tcpip_conn_ptr> handshaking;  // TLS: accepted, not yet known to be the studio's
  std::vector<char> buffer;  // GETF: what is read and not yet sent; PUTF: one reception
  std::size_t at = 0, filled = 0;
  bool file_ended = false;  // GETF: the last block has been read
};

fs_state::fs_state() = default;

namespace {

// The most a handler moves before the loop's next turn: a connection that
// always takes (or brings) more must not keep the studio and the stop
// signal waiting.
constexpr std::size_t FS_TURN_BYTES = 16 * static_cast<std::size_t>(FS_BINARY_BLOCK);

const char fs_owner_tag = 0;  // the owner of the data port's sockets
constexpr tcpip_owner fs_owner = &fs_owner_tag;

fs_transfer* transfer_of(agt_context* context) {
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  return state == nullptr ? nullptr : state->transfer.get();
}

// Ends the transfer, closed before the reply: `error` 0 is success,
// otherwise the errno of the call that failed (-1: none).
void finish(agt_context* context, int error) {
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  if (state == nullptr || !state->transfer) return;
  std::unique_ptr<fs_transfer> transfer = std::move(state->transfer);
  transfer->data.reset();
  TCPIPunwatch(context, state->data_socket);
  state->ahead = {};
  state->decoded.reset();
  if (!transfer->sending && transfer->file) {
    // A CR that ended the stream has no LF after it: it is data. The first
    // failure is the cause.
    char held;
    std::size_t tail = protocol::ascii_decode_end(state->ascii_cr_held, &held);
    if (tail != 0 && std::fwrite(&held, 1, tail, transfer->file.get()) != tail && error == 0) error = errno;
    if (state->binary_mode != 0 && PLATgive_default_permissions(transfer->file.get()) != 0 && error == 0)
      error = errno;
    // Buffered data reaches the file here; a failing close is a failed write.
    if (std::fclose(transfer->file.release()) != 0 && error == 0) error = errno;
  }
  transfer->file.reset();
  const char* command = transfer->sending ? "GETF" : "PUTF";
  if (error == 0) {
    CMDfinish(context, CMDreply(transfer->sending ? MSG_230_FILE_SENT : MSG_231_FILE_RECEIVED));
    return;
  }
  CMDfailed(CTXstate<cmd_state>(context, CTX_SLOT_CMD), command, transfer->sending ? "FSsend_file" : "FSreceive_file",
            transfer->path.c_str(), error < 0 ? 0 : error);
  CMDfinish(context, CMDreply(transfer->sending ? MSG_530_SEND_FILE_FAILED : MSG_531_RECEIVE_FILE_FAILED));
}

int cause(int error) { return error != 0 ? error : -1; }

void expired(agt_context* context, int, void*) {
  CSTprintf("kvsagtd : nothing moved on the data port for %d s, transfer ended\n", SIDE_IDLE_MS / 1000);
  finish(context, ETIMEDOUT);
}

// Each time something moves, the time the transfer may stay idle starts again.
void arm_deadline(agt_context* context, int socket) { TCPIPset_deadline(context, socket, SIDE_IDLE_MS, expired); }
void progressed(fs_transfer* transfer, int socket) { arm_deadline(transfer->context, socket); }

// GETF: the file's bytes, as they go on the wire. ASCII blocks are converted
// one at a time, at most FS_SEND_BLOCK bytes each, and gathered into one
// send of up to FS_BINARY_BLOCK bytes: the stream is the same, but it leaves
// in full segments. BINARY mode reads and sends FS_BINARY_BLOCK bytes at a
// time. (Handing the file to the system with sendfile instead was measured
// slower on loopback here: see bench/README.md.)
void send_more(tcpip_conn* conn) {
  agt_context* context = conn->context;
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  fs_transfer* transfer = transfer_of(context);
  if (state == nullptr || transfer == nullptr) return;
  const int block_size = state->binary_mode != 0 ? FS_BINARY_BLOCK : FS_SEND_BLOCK;
  const std::size_t size = FS_BINARY_BLOCK;
  std::size_t moved = 0;
  while (moved < FS_TURN_BYTES) {
    if (transfer->at == transfer->filled) {
      if (transfer->file_ended) return finish(context, 0);
      transfer->at = transfer->filled = 0;
      int length = block_size;
      do {
        length = block_size;
        errno = 0;
        if (FSread_block(state, context, transfer->file.get(), transfer->buffer.data() + transfer->filled, &length) !=
            0)
          return finish(context, cause(errno));
        transfer->filled += static_cast<std::size_t>(length);
      } while (length != 0 && transfer->filled + static_cast<std::size_t>(block_size) <= size);
      transfer->file_ended = length == 0;
      if (transfer->filled == 0) return finish(context, 0);
    }
    long long n = TCPIPconn_write(conn, transfer->buffer.data() + transfer->at, transfer->filled - transfer->at);
    if (n < 0) {
      if (conn->state != tcpip_conn_state::failed) return;  // full: the wait says when it takes more
      std::perror("ERROR:send returns -1\n");
      return finish(context, cause(conn->last_error));
    }
    transfer->at += static_cast<std::size_t>(n);
    moved += static_cast<std::size_t>(n);
    progressed(transfer, conn->socket);
  }
}

// PUTF: what the studio sends, into the file, until it closes its side. A
// connection reset cuts the file short: that is not a file received.
void receive_more(tcpip_conn* conn) {
  agt_context* context = conn->context;
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  fs_transfer* transfer = transfer_of(context);
  if (state == nullptr || transfer == nullptr) return;
  std::size_t moved = 0;
  while (moved < FS_TURN_BYTES) {
    // The block fills from as many reads as have data before the file is
    // written: a TLS read gives one record (16 KiB at most), and a write
    // of each would cost the disk as many calls.
    std::size_t filled = 0;
    long long n = 0;
    while (filled < transfer->buffer.size()) {
      n = TCPIPconn_read(conn, transfer->buffer.data() + filled, transfer->buffer.size() - filled);
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
    }
    if (filled > 0) {
      errno = 0;
      if (FSwrite_block(state, context, transfer->file.get(), transfer->buffer.data(), static_cast<int>(filled)) != 0)
        return finish(context, cause(errno));
      moved += filled;
      progressed(transfer, conn->socket);
    }
    if (n == 0 && filled < transfer->buffer.size()) return finish(context, 0);
    if (n < 0) {
      if (conn->state != tcpip_conn_state::failed) return;  // nothing more yet
      return finish(context, cause(conn->last_error));
    }
  }
}

// The data connection has come: the file is opened, and moves from now on.
// A file that cannot be opened leaves the studio a stream without data; the
// reply tells it why.
void connected(tcpip_conn* conn) {
  agt_context* context = conn->context;
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  fs_transfer* transfer = transfer_of(context);
  if (state == nullptr || transfer == nullptr) return;
  errno = 0;
  transfer->file = transfer->sending ? open_for_reading(transfer->path.c_str())
                                     : open_for_writing(transfer->path.c_str(), state->binary_mode == 0);
  if (!transfer->file) return finish(context, cause(errno));
  state->ascii_cr_held = false;
  transfer->buffer.resize(FS_BINARY_BLOCK);
  arm_deadline(context, conn->socket);
  if (transfer->sending) {
    TCPIPconn_on_write(conn, send_more);
    send_more(conn);
  } else {
    TCPIPconn_on_read(conn, receive_more);
    receive_more(conn);
  }
}

// TLS handshakes on the data port at once: a further connection ends the
// oldest, so that stalled ones cannot keep the studio's out.
constexpr std::size_t FS_HANDSHAKES_MAX = 4;

// A connection's handshake has ended (a plain one's at once): the first
// that belongs to the session is the transfer's; the port and the others
// go. A refused one is closed (and logged), and the wait goes on.
void handshaken(tcpip_conn* conn) {
  agt_context* context = conn->context;
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  fs_transfer* transfer = transfer_of(context);
  if (state == nullptr || transfer == nullptr || transfer->data) return;
  auto it = std::find_if(transfer->handshaking.begin(), transfer->handshaking.end(),
                         [conn](const tcpip_conn_ptr& c) { return c.get() == conn; });
  if (it == transfer->handshaking.end()) return;
  tcpip_conn_ptr taken = std::move(*it);
  transfer->handshaking.erase(it);
  if (!SIDEsession_conn(context, taken.get(), TCPIPget_port(context, state->data_socket))) return;
  transfer->handshaking.clear();
  TCPIPunwatch(context, state->data_socket);
  transfer->data = std::move(taken);
  connected(transfer->data.get());
}

// The data port is readable: the connection of the transfer, when its peer
// is the studio's host (others are closed and logged, and the wait goes on).
void accept_data(agt_context* context, int listen_socket, void*) {
  fs_transfer* transfer = transfer_of(context);
  if (transfer == nullptr || transfer->data) return;
  int accepted = -1;
  errno = 0;
  int rc = SIDEaccept(context, listen_socket, side_rule::studio_host, false, &accepted);
  if (rc > 0) return;
  if (rc < 0) return finish(context, cause(errno));
  if (transfer->handshaking.size() >= FS_HANDSHAKES_MAX) {
    CSTprintf("kvsagtd : TLS handshake on port %d given up: %zu newer ones\n", TCPIPget_port(context, listen_socket),
              FS_HANDSHAKES_MAX);
    transfer->handshaking.erase(transfer->handshaking.begin());
  }
  tcpip_conn_ptr conn = TCPIPconn_new(context, SIDEconn_type(context), accepted, fs_owner, transfer);
  if (!conn) return finish(context, EMFILE);
  tcpip_conn* started = conn.get();
  transfer->handshaking.push_back(std::move(conn));
  // `handshaken` may run at once, and the transfer end with it.
  started->type->accept(started, handshaken);
}

int start_transfer(agt_context* context, const char* path, bool sending) {
  fs_state* state = CTXstate<fs_state>(context, CTX_SLOT_FS);
  if (state == nullptr || path == nullptr || *path == '\0' || state->transfer) return -1;
  if (state->data_socket < 0 || TCPIPwatch_as(context, state->data_socket, fs_owner) < 0) return -1;
  auto transfer = std::make_unique<fs_transfer>();
  transfer->context = context;
  transfer->sending = sending;
  transfer->path = path;
  state->transfer = std::move(transfer);
  state->ahead = {};
  TCPIPset_handlers(context, state->data_socket, accept_data, nullptr, nullptr);
  arm_deadline(context, state->data_socket);
  // A connection the studio opened before the command is already waiting.
  accept_data(context, state->data_socket, nullptr);
  return 0;
}

}  // namespace

// On failure errno holds the cause (0: none).
int FSsend_file(agt_context* context, const char* path) { return start_transfer(context, path, true); }

int FSreceive_file(agt_context* context, const char* path) { return start_transfer(context, path, false); }

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

// GETF and PUTF answer once the transfer has ended (CMDfinish), the data
// connection closed; a transfer that cannot start answers at once.
cmd_reply FScmd_getf(agt_context* context, cmd_state* state, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_430_GETF_NEEDS_NAME);
  CMDdefer(state);
  errno = 0;
  if (FSsend_file(context, argument) == 0) return std::nullopt;
  state->cancel_deferral();
  CMDfailed(state, "GETF", "FSsend_file", argument, errno);
  return CMDreply(MSG_530_SEND_FILE_FAILED);
}

cmd_reply FScmd_putf(agt_context* context, cmd_state* state, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_431_PUTF_NEEDS_NAME);
  CMDdefer(state);
  errno = 0;
  if (FSreceive_file(context, argument) == 0) return std::nullopt;
  state->cancel_deferral();
  CMDfailed(state, "PUTF", "FSreceive_file", argument, errno);
  return CMDreply(MSG_531_RECEIVE_FILE_FAILED);
}
