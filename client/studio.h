// The studio side of the agent's protocol: connect to an agent, send command
// lines, read reply lines with a deadline, and open the side connections
// (data, trace, tester ports). Used by the tests and by the command-line tools.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "client/socket_io.h"

namespace studio {

// Connects to host:port (names, IPv4 and IPv6 literals) within timeout_ms.
// On failure returns an invalid socket and, with `error`, says why.
socket_fd connect_tcp(const std::string& host, int port, int timeout_ms, std::string* error = nullptr);

// The numeric address of a connected socket's peer; `fallback` when it
// cannot be read. Side connections (data, trace) go to the command
// connection's peer address: the agent takes them only from the studio's
// host, and a fresh resolution of a name may give another address.
std::string peer_address(int fd, const std::string& fallback);

// Sends all bytes; false when the connection failed.
bool send_all(int fd, std::string_view bytes);
// Reads what arrives until the peer closes or timeout_ms has passed since the
// last byte. `closed` tells whether the peer closed.
std::string read_until_closed(int fd, int timeout_ms, bool* closed = nullptr);
// True when the peer closes the connection within timeout_ms (data that
// arrives meanwhile is discarded).
bool wait_closed(int fd, int timeout_ms);
// Receives one chunk of what arrives on fd before the deadline and appends it
// to `pending`; sets `eof` when the peer has closed. False when nothing came in time.
bool receive_into(int fd, std::string& pending, bool& eof, std::chrono::steady_clock::time_point deadline);
// Reads exactly n bytes within timeout_ms; fewer when the peer closed or time ran out.
std::string read_exactly(int fd, std::size_t n, int timeout_ms);

// A command connection to an agent.
class connection {
 public:
  connection() = default;
  explicit connection(socket_fd fd) : fd_(std::move(fd)) {}

  bool open(const std::string& host, int port, int timeout_ms, std::string* error = nullptr);
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  // Sends the line followed by CR LF.
  bool send_line(std::string_view line);
  bool send_raw(std::string_view bytes);
  // The next line the agent sent, without its CR LF; none when the agent
  // closed the connection or timeout_ms passed first.
  std::optional<std::string> read_line(int timeout_ms);
  // Sends a line and reads the next line.
  std::optional<std::string> command(std::string_view line, int timeout_ms);
  // True when the agent closes the connection within timeout_ms; lines that
  // arrive before are discarded.
  bool wait_closed(int timeout_ms);
  bool peer_closed() const { return eof_; }
  // Whether a complete line is already buffered.
  bool has_buffered_line() const { return pending_.find("\r\n") != std::string::npos; }
  void close() { fd_.reset(); }
  // Takes what has been received but not yet read as lines.
  std::string take_buffered() { return std::exchange(pending_, std::string()); }
  // Called with every line sent ('>') and every line read ('<'), whoever
  // sends or reads it (a verbose log of the whole conversation).
  void set_observer(std::function<void(char, std::string_view)> observer) { observer_ = std::move(observer); }

 private:
  socket_fd fd_;
  std::string pending_;
  bool eof_ = false;
  std::function<void(char, std::string_view)> observer_;
};

// The number after the last '%' of a reply such as "226 FTP port : %4242"; -1 when none.
int reply_number(std::string_view reply);

// Whether a line the agent sent is an unsolicited notification rather than
// the reply to a command: ended programs (661), rendezvous (6xx, 580, 581),
// dynamic follow (7xx, 800, 590 to 593).
bool is_notification(std::string_view line);

}  // namespace studio
