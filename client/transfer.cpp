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
void abort_connection(stream& data) { data.abort(); }

bool starts_with_any(const std::string& line, std::initializer_list<cmd_msg_id> replies) {
  for (cmd_msg_id reply : replies)
    if (line.rfind(protocol::reply_code(reply), 0) == 0) return true;
  return false;
}

// The reply of a command among the lines the agent sends, within timeout_ms
// whatever comes first: notification lines are kept on the connection,
// other lines skipped.
std::optional<std::string> read_reply(connection& command, std::initializer_list<cmd_msg_id> codes, int timeout_ms) {
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

socket_fd connect_data(const std::string& host, int port, int timeout_ms, std::string* error) {
  return connect_tcp(host, port, timeout_ms, error);
}

namespace {

struct fd_io {
  int fd;
  long long send(const void* data, std::size_t size, bool dontwait) { return socket_send(fd, data, size, dontwait); }
  int poll(bool writable, int ms) { return socket_poll(fd, writable, ms); }
};

template <class Io>
bool send_within_on(Io& io, std::string_view bytes, int timeout_ms) {
  std::size_t sent = 0;
  // Sends first and waits only when the connection takes nothing more: a
  // flowing stream costs one call per piece.
  while (sent < bytes.size()) {
    long long written = io.send(bytes.data() + sent, bytes.size() - sent, true);
    if (written > 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    if (written == 0 || (errno != EINTR && errno != EAGAIN)) return false;
    if (errno == EINTR) continue;
    int n = io.poll(true, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
  }
  return true;
}

}  // namespace

bool send_within(int fd, std::string_view bytes, int timeout_ms) {
  fd_io io{fd};
  return send_within_on(io, bytes, timeout_ms);
}

bool send_within(stream& s, std::string_view bytes, int timeout_ms) { return send_within_on(s, bytes, timeout_ms); }

file_transfer::file_transfer(connection& command, std::string host, int timeout_ms)
    : command_(command), host_(std::move(host)), timeout_ms_(timeout_ms) {}

int file_transfer::data_port() {
  if (!command_.send_line("PFTP")) return -1;
  std::optional<std::string> reply = read_reply(command_, {MSG_226_FTP_PORT, MSG_526_NO_FTP_PORT}, timeout_ms_);
  port_ = reply && reply->rfind(protocol::reply_code(MSG_226_FTP_PORT), 0) == 0 ? reply_number(*reply) : -1;
  return port_;
}

bool file_transfer::set_mode(transfer_mode mode) {
  bool ascii = mode == transfer_mode::ascii;
  if (!command_.send_line(ascii ? "FTPA" : "FTPB")) return false;
  std::optional<std::string> reply = read_reply(command_, {ascii ? MSG_227_MODE_ASCII : MSG_228_MODE_BINARY}, timeout_ms_);
  if (!reply) return false;
  mode_ = mode;
  return true;
}

bool file_transfer::start(const std::string& command, transfer_result& result, stream& data) {
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
  data = connect_stream(peer_address(command_.fd(), host_), port_, timeout_ms_, tls_,
                        verify_name_.empty() ? host_ : verify_name_, &result.error);
  return data.valid();
}

void file_transfer::finish(transfer_result& result, cmd_msg_id success) {
  bool put = success == MSG_231_FILE_RECEIVED;
  std::optional<std::string> reply = read_reply(
      command_,
      {success, put ? MSG_531_RECEIVE_FILE_FAILED : MSG_530_SEND_FILE_FAILED,
       put ? MSG_431_PUTF_NEEDS_NAME : MSG_430_GETF_NEEDS_NAME},
      timeout_ms_);
  if (!reply) {
    if (result.error.empty()) result.error = "no reply from the agent";
    return;
  }
  result.reply = *reply;
  result.ok = result.error.empty() && reply->rfind(protocol::reply_code(success), 0) == 0;
}

transfer_result file_transfer::put_stream(const std::string& remote_name,
                                          const std::function<long(char*, std::size_t)>& source) {
  transfer_result result;
  if (!usable_name(remote_name)) {
    result.error = "unusable file name";
    return result;
  }
  stream data;
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
    if (!send_within(data, std::string_view(piece.data(), static_cast<std::size_t>(length)), timeout_ms_)) {
      // The agent closes at once when it cannot write the file: its reply says so.
      result.error = "the data connection failed";
      break;
    }
  }
  data.reset();  // the end of the stream is the end of the file
  finish(result, MSG_231_FILE_RECEIVED);
  return result;
}

transfer_result file_transfer::get_stream(const std::string& remote_name,
                                          const std::function<bool(std::string_view)>& sink) {
  transfer_result result;
  if (!usable_name(remote_name)) {
    result.error = "unusable file name";
    return result;
  }
  stream data;
  if (!start("GETF " + remote_name, result, data)) return result;
  std::vector<char> piece(kPiece);
  for (;;) {
    // Receives first and waits only when nothing is there: a flowing stream
    // costs one call per piece.
    long long length = data.recv(piece.data(), piece.size(), true);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0 && errno == EAGAIN) {
      int ready = data.poll(false, timeout_ms_);
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
  finish(result, MSG_230_FILE_SENT);
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
    return static_cast<long>(protocol::ascii_encode(local.data(), static_cast<std::size_t>(in.gcount()), buffer));
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
