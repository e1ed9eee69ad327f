// The studio side of the agent's protocol: connect to an agent, send command
// lines, read reply lines with a deadline, and open the side connections
// (data, trace, tester ports). Used by the tests and by the command-line tools.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "client/socket_io.h"
#include "client/tls.h"

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
bool send_all(stream& s, std::string_view bytes);
// Reads what arrives until the peer closes or timeout_ms has passed since the
// last byte. `closed` tells whether the peer closed.
std::string read_until_closed(int fd, int timeout_ms, bool* closed = nullptr);
std::string read_until_closed(stream& s, int timeout_ms, bool* closed = nullptr);
// True when the peer closes the connection within timeout_ms (data that
// arrives meanwhile is discarded).
bool wait_closed(int fd, int timeout_ms);
// Receives one chunk of what arrives on fd before the deadline and appends it
// to `pending`; sets `eof` when the peer has closed. False when nothing came in time.
bool receive_into(int fd, std::string& pending, bool& eof, std::chrono::steady_clock::time_point deadline);
bool receive_into(stream& s, std::string& pending, bool& eof, std::chrono::steady_clock::time_point deadline);
// Reads exactly n bytes within timeout_ms; fewer when the peer closed or time ran out.
std::string read_exactly(int fd, std::size_t n, int timeout_ms);

// The longest line taken from an agent, CR LF excluded: a tester's line
// (which the agent relays up to 1 MiB) with its notification prefix and
// number, with room to spare. A longer line ends the connection's reading.
inline constexpr std::size_t kMaxLine = (std::size_t{1} << 20) + 4096;
// Notifications kept while a reply is awaited: past either bound the oldest
// kept ones are dropped (and counted), so a flood cannot grow memory.
inline constexpr std::size_t kMaxKeptLines = 4096;
inline constexpr std::size_t kMaxKeptBytes = std::size_t{16} << 20;

// Text that came from a peer, made safe to print inside one's own messages:
// valid printable UTF-8 stays as it is; the backslash becomes "\\"; tab,
// CR, LF, ESC and the other C0 controls, DEL, the C1 controls (as bytes and
// as U+0080 to U+009F) and every byte that is not part of valid UTF-8 become
// escapes ("\t", "\r", "\n", "\x1b", "\xc2\x9b", "\xff"). Nothing the
// peer sends can then move the cursor, retitle the terminal, or pass for a
// line of our own.
std::string visible(std::string_view text);

// A command connection to an agent.
class connection {
 public:
  connection() = default;
  explicit connection(socket_fd fd) : fd_(std::move(fd)) {}
  explicit connection(stream s) : fd_(std::move(s)) {}

  bool open(const std::string& host, int port, int timeout_ms, std::string* error = nullptr);
  // With `tls`, over TLS: the agent's certificate is verified against the
  // host name (or address) given; a failed handshake's error begins "TLS: ".
  bool open(const std::string& host, int port, int timeout_ms, const tls_client* tls, std::string* error);
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.fd(); }
  stream& io() { return fd_; }
  // Whether received bytes wait inside the TLS layer, where a poll of fd()
  // does not see them.
  bool pending() const { return fd_.pending(); }
  // The TLS failure that ended the connection (an alert of the agent's,
  // such as a refused certificate); empty when none.
  const std::string& tls_error() const { return fd_.error(); }

  // Sends the line followed by CR LF.
  bool send_line(std::string_view line);
  bool send_raw(std::string_view bytes);
  // The next line the agent sent, without its CR LF; none when the agent
  // closed the connection, timeout_ms passed first, or the line grew past
  // kMaxLine (overlong() then tells, and nothing more is read).
  std::optional<std::string> read_line(int timeout_ms);
  std::optional<std::string> read_line_by(std::chrono::steady_clock::time_point deadline);
  // The next line that is no notification, read by the deadline whatever
  // arrives before it; notifications that come first are kept in kept().
  std::optional<std::string> read_reply_by(std::chrono::steady_clock::time_point deadline);
  // Sends a line and reads the next line.
  std::optional<std::string> command(std::string_view line, int timeout_ms);
  // Sends a line and reads its reply (read_reply_by, timeout_ms from now).
  std::optional<std::string> request(std::string_view line, int timeout_ms);
  // Notifications that arrived while a reply was awaited, oldest first, and
  // how many were dropped past the bounds.
  std::deque<std::string>& kept() { return kept_; }
  // Keeps a notification within the bounds.
  void keep(std::string line);
  // Puts received bytes not yet cut into lines back in front of the buffer.
  void put_back(std::string data) { pending_.insert(0, data); }
  std::size_t dropped() const { return dropped_; }
  // Whether the agent sent a line longer than kMaxLine.
  bool overlong() const { return overlong_; }
  // Called with what has arrived of a line whose end has not come yet;
  // returning true gives up reading (rejected() then tells). Used to tell at
  // once that a peer is no agent.
  void set_line_check(std::function<bool(std::string_view)> check) { line_check_ = std::move(check); }
  bool rejected() const { return rejected_; }
  // What has arrived and not been taken as a line yet.
  std::string_view buffered() const { return pending_; }
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
  stream fd_;
  // Whether the first line in pending_ has ended, or is over-long or rejected.
  bool check_pending();

  std::string pending_;
  bool eof_ = false;
  bool overlong_ = false;
  bool rejected_ = false;
  std::deque<std::string> kept_;
  std::size_t kept_bytes_ = 0;
  std::size_t dropped_ = 0;
  std::function<void(char, std::string_view)> observer_;
  std::function<bool(std::string_view)> line_check_;
};

// The number after the last '%' of a reply such as "226 FTP port : %4242";
// -1 when none, when digits do not follow it, or when they pass INT_MAX.
int reply_number(std::string_view reply);

// Whether a line the agent sent is an unsolicited notification rather than
// the reply to a command: ended programs (661), rendezvous (6xx, 580, 581),
// dynamic follow (7xx, 800, 590 to 593).
bool is_notification(std::string_view line);

}  // namespace studio
