#include "client/transfer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <vector>

namespace studio {

namespace {

// What one read, receive or send of a transfer handles at most.
constexpr std::size_t kPiece = 256 * 1024;

// Ends a data connection with a reset instead of an end of stream, so that
// the agent does not take a stream this side could not finish for a whole file.
void abort_connection(socket_fd& data) {
  if (!data.valid()) return;
  socket_reset_on_close(data.get());
  data.reset();
}

bool starts_with_any(const std::string& line, std::initializer_list<const char*> codes) {
  for (const char* code : codes)
    if (line.rfind(code, 0) == 0) return true;
  return false;
}

// The reply of a command among the lines the agent sends, within timeout_ms
// whatever comes first: notification lines are kept on the connection,
// other lines skipped.
std::optional<std::string> read_reply(connection& command, std::initializer_list<const char*> codes, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::optional<std::string> line = command.read_reply_by(deadline);
    if (!line || starts_with_any(*line, codes)) return line;
  }
}

bool usable_name(const std::string& name) {
  return !name.empty() && name.find_first_of("\r\n") == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

// The conversions copy the runs between line ends whole (memchr finds the
// next LF or CR) instead of testing every byte.

namespace {

// LF -> CR LF into `out`, which has room for twice the input; the bytes written.
std::size_t to_wire(std::string_view local, char* out) {
  char* to = out;
  while (!local.empty()) {
    const void* lf = std::memchr(local.data(), '\n', local.size());
    std::size_t run = lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - local.data()) : local.size();
    std::memcpy(to, local.data(), run);
    to += run;
    if (lf == nullptr) break;
    *to++ = '\r';
    *to++ = '\n';
    local.remove_prefix(run + 1);
  }
  return static_cast<std::size_t>(to - out);
}

}  // namespace

std::string ascii_to_wire(std::string_view local) {
  std::string wire;
  wire.reserve(local.size() + local.size() / 16);
  while (!local.empty()) {
    const void* lf = std::memchr(local.data(), '\n', local.size());
    std::size_t run = lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - local.data()) : local.size();
    wire.append(local.data(), run);
    if (lf == nullptr) break;
    wire.append("\r\n", 2);
    local.remove_prefix(run + 1);
  }
  return wire;
}

std::string ascii_from_wire::feed(std::string_view wire) {
  std::string local;
  local.reserve(wire.size() + 1);
  if (cr_held_ && !wire.empty()) {
    cr_held_ = false;
    local += wire[0] == '\n' ? '\n' : '\r';
    if (wire[0] == '\n') wire.remove_prefix(1);
  }
  while (!wire.empty()) {
    const void* cr = std::memchr(wire.data(), '\r', wire.size());
    std::size_t run = cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - wire.data()) : wire.size();
    local.append(wire.data(), run);
    if (cr == nullptr) break;
    if (run + 1 == wire.size()) {  // decided by the next piece
      cr_held_ = true;
      break;
    }
    // CR LF becomes LF; a CR before anything else stays.
    bool pair = wire[run + 1] == '\n';
    local += pair ? '\n' : '\r';
    wire.remove_prefix(run + (pair ? 2 : 1));
  }
  return local;
}

std::string ascii_from_wire::finish() {
  if (!cr_held_) return {};
  cr_held_ = false;
  return "\r";
}

socket_fd connect_data(const std::string& host, int port, int timeout_ms, std::string* error) {
  return connect_tcp(host, port, timeout_ms, error);
}

bool send_within(int fd, std::string_view bytes, int timeout_ms) {
  std::size_t sent = 0;
  // Sends first and waits only when the connection takes nothing more: a
  // flowing stream costs one call per piece.
  while (sent < bytes.size()) {
    long long written = socket_send(fd, bytes.data() + sent, bytes.size() - sent, true);
    if (written > 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    if (written == 0 || (errno != EINTR && errno != EAGAIN)) return false;
    if (errno == EINTR) continue;
    int n = socket_poll(fd, true, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
  }
  return true;
}

file_transfer::file_transfer(connection& command, std::string host, int timeout_ms)
    : command_(command), host_(std::move(host)), timeout_ms_(timeout_ms) {}

int file_transfer::data_port() {
  if (!command_.send_line("PFTP")) return -1;
  std::optional<std::string> reply = read_reply(command_, {"226", "526"}, timeout_ms_);
  port_ = reply && reply->rfind("226", 0) == 0 ? reply_number(*reply) : -1;
  return port_;
}

bool file_transfer::set_mode(transfer_mode mode) {
  bool ascii = mode == transfer_mode::ascii;
  if (!command_.send_line(ascii ? "FTPA" : "FTPB")) return false;
  std::optional<std::string> reply = read_reply(command_, {ascii ? "227" : "228"}, timeout_ms_);
  if (!reply) return false;
  mode_ = mode;
  return true;
}

bool file_transfer::start(const std::string& command, transfer_result& result, socket_fd& data) {
  if (opener_) {
    data = opener_(command, &result.error);
    return data.valid();
  }
  if (port_ < 0 && data_port() < 0) {
    result.error = "the agent has no data port";
    return false;
  }
  if (!command_.send_line(command)) {
    result.error = "the command connection failed";
    return false;
  }
  // The agent accepts after it has read the command; until then the
  // connection waits in the data port's backlog.
  data = connect_data(peer_address(command_.fd(), host_), port_, timeout_ms_, &result.error);
  return data.valid();
}

void file_transfer::finish(transfer_result& result, const char* success_code) {
  bool put = success_code[2] == '1';
  std::optional<std::string> reply =
      read_reply(command_, {success_code, put ? "531" : "530", put ? "431" : "430"}, timeout_ms_);
  if (!reply) {
    if (result.error.empty()) result.error = "no reply from the agent";
    return;
  }
  result.reply = *reply;
  result.ok = result.error.empty() && reply->rfind(success_code, 0) == 0;
}

transfer_result file_transfer::put_stream(const std::string& remote_name,
                                          const std::function<long(char*, std::size_t)>& source) {
  transfer_result result;
  if (!usable_name(remote_name)) {
    result.error = "unusable file name";
    return result;
  }
  socket_fd data;
  if (!start("PUTF " + remote_name, result, data)) return result;
  std::vector<char> piece(kPiece);
  for (;;) {
    long length = source(piece.data(), piece.size());
    if (length < 0) {
      result.error = "cannot read the local file";
      abort_connection(data);
      break;
    }
    if (length == 0) break;
    if (!send_within(data.get(), std::string_view(piece.data(), static_cast<std::size_t>(length)), timeout_ms_)) {
      // The agent closes at once when it cannot write the file: its reply says so.
      result.error = "the data connection failed";
      break;
    }
  }
  data.reset();  // the end of the stream is the end of the file
  finish(result, "231");
  return result;
}

transfer_result file_transfer::get_stream(const std::string& remote_name,
                                          const std::function<bool(std::string_view)>& sink) {
  transfer_result result;
  if (!usable_name(remote_name)) {
    result.error = "unusable file name";
    return result;
  }
  socket_fd data;
  if (!start("GETF " + remote_name, result, data)) return result;
  std::vector<char> piece(kPiece);
  for (;;) {
    // Receives first and waits only when nothing is there: a flowing stream
    // costs one call per piece.
    long long length = socket_recv(data.get(), piece.data(), piece.size(), true);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0 && errno == EAGAIN) {
      int ready = socket_poll(data.get(), false, timeout_ms_);
      if (ready == 0) {
        result.error = "the data stream stalled";
        abort_connection(data);
        break;
      }
      if (ready > 0 || errno == EINTR) continue;
    }
    if (length == 0) break;
    if (length < 0) {
      result.error = "the data connection failed";
      break;
    }
    if (!sink(std::string_view(piece.data(), static_cast<std::size_t>(length)))) {
      result.error = "cannot write the local file";
      abort_connection(data);
      break;
    }
  }
  data.reset();
  finish(result, "230");
  return result;
}

transfer_result file_transfer::put(const std::string& remote_name, std::string_view content) {
  std::string converted;
  if (mode_ == transfer_mode::ascii) {
    converted = ascii_to_wire(content);
    content = converted;
  }
  std::size_t at = 0;
  return put_stream(remote_name, [&](char* buffer, std::size_t room) -> long {
    std::size_t length = std::min(room, content.size() - at);
    content.copy(buffer, length, at);
    at += length;
    return static_cast<long>(length);
  });
}

transfer_result file_transfer::get(const std::string& remote_name) {
  std::string data;
  ascii_from_wire decoder;
  bool ascii = mode_ == transfer_mode::ascii;
  transfer_result result = get_stream(remote_name, [&](std::string_view piece) {
    data += ascii ? decoder.feed(piece) : std::string(piece);
    return true;
  });
  if (ascii) data += decoder.finish();
  result.data = std::move(data);
  return result;
}

transfer_result file_transfer::put_file(const std::string& local_path, const std::string& remote_name) {
  std::ifstream in(local_path, std::ios::binary);
  if (!in) {
    transfer_result result;
    result.error = "cannot open " + local_path;
    return result;
  }
  bool ascii = mode_ == transfer_mode::ascii;
  std::vector<char> local(kPiece / 2);
  return put_stream(remote_name, [&](char* buffer, std::size_t room) -> long {
    if (!ascii) {
      in.read(buffer, static_cast<std::streamsize>(room));
      return in.bad() ? -1 : static_cast<long>(in.gcount());
    }
    // In ASCII mode each local byte may become two on the wire.
    in.read(local.data(), static_cast<std::streamsize>(std::min(room / 2, local.size())));
    if (in.bad()) return -1;
    return static_cast<long>(to_wire(std::string_view(local.data(), static_cast<std::size_t>(in.gcount())), buffer));
  });
}

transfer_result file_transfer::get_file(const std::string& remote_name, const std::string& local_path) {
  std::ofstream out(local_path, std::ios::binary | std::ios::trunc);
  if (!out) {
    transfer_result result;
    result.error = "cannot create " + local_path;
    return result;
  }
  ascii_from_wire decoder;
  bool ascii = mode_ == transfer_mode::ascii;
  transfer_result result = get_stream(remote_name, [&](std::string_view piece) {
    if (ascii) {
      std::string local = decoder.feed(piece);
      out.write(local.data(), static_cast<std::streamsize>(local.size()));
    } else {
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
    return static_cast<bool>(out);
  });
  std::string tail = decoder.finish();
  out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
  out.close();
  if (!out && result.error.empty()) {
    result.error = "cannot write " + local_path;
    result.ok = false;
  }
  return result;
}

}  // namespace studio
