#include "client/studio.h"
#include "support/protocol/numbers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace studio {

using clock = std::chrono::steady_clock;

namespace {

int remaining_ms(clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// A socket used as it is, in the form of a stream.
struct fd_io {
  int fd;
  long long send(const void* data, std::size_t size, bool dontwait) { return socket_send(fd, data, size, dontwait); }
  long long recv(void* buffer, std::size_t size, bool dontwait) { return socket_recv(fd, buffer, size, dontwait); }
  int poll(bool writable, int ms) { return socket_poll(fd, writable, ms); }
};

// Waits until a receive can make progress; false on time-out.
template <class Io>
bool wait_readable(Io& io, clock::time_point deadline) {
  for (;;) {
    int n = io.poll(false, remaining_ms(deadline));
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

// One receive once the wait says there is something: 0 at the end, -1 on a
// failure; EAGAIN (TLS: a record that held no data) waits again.
template <class Io>
long long receive_ready(Io& io, char* chunk, std::size_t size, clock::time_point deadline, bool& timed_out) {
  timed_out = false;
  for (;;) {
    if (!wait_readable(io, deadline)) {
      timed_out = true;
      return -1;
    }
    long long n = io.recv(chunk, size, true);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n;
  }
}

template <class Io>
bool send_all_on(Io& io, std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    long long n = io.send(bytes.data() + sent, bytes.size() - sent, false);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

template <class Io>
std::string read_until_closed_on(Io& io, int timeout_ms, bool* closed) {
  std::string data;
  if (closed != nullptr) *closed = false;
  char chunk[65536];
  for (;;) {
    bool timed_out = false;
    long long n = receive_ready(io, chunk, sizeof chunk, clock::now() + std::chrono::milliseconds(timeout_ms), timed_out);
    if (timed_out) return data;
    if (n <= 0) {
      if (closed != nullptr) *closed = true;
      return data;
    }
    data.append(chunk, static_cast<std::size_t>(n));
  }
}

template <class Io>
bool wait_closed_on(Io& io, int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[4096];
  for (;;) {
    bool timed_out = false;
    long long n = receive_ready(io, chunk, sizeof chunk, deadline, timed_out);
    if (timed_out) return false;
    if (n <= 0) return true;
  }
}

template <class Io>
std::string read_exactly_on(Io& io, std::size_t count, int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string data;
  char chunk[65536];
  while (data.size() < count) {
    bool timed_out = false;
    long long n = receive_ready(io, chunk, std::min(sizeof chunk, count - data.size()), deadline, timed_out);
    if (n <= 0) break;
    data.append(chunk, static_cast<std::size_t>(n));
  }
  return data;
}

template <class Io>
bool receive_into_on(Io& io, std::string& pending, bool& eof, clock::time_point deadline) {
  char chunk[65536];
  bool timed_out = false;
  long long n = receive_ready(io, chunk, sizeof chunk, deadline, timed_out);
  if (timed_out) return false;
  if (n <= 0) eof = true;
  else pending.append(chunk, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

bool send_all(int fd, std::string_view bytes) {
  fd_io io{fd};
  return send_all_on(io, bytes);
}
bool send_all(stream& s, std::string_view bytes) { return send_all_on(s, bytes); }

std::string read_until_closed(int fd, int timeout_ms, bool* closed) {
  fd_io io{fd};
  return read_until_closed_on(io, timeout_ms, closed);
}
std::string read_until_closed(stream& s, int timeout_ms, bool* closed) { return read_until_closed_on(s, timeout_ms, closed); }

bool wait_closed(int fd, int timeout_ms) {
  fd_io io{fd};
  return wait_closed_on(io, timeout_ms);
}

std::string read_exactly(int fd, std::size_t count, int timeout_ms) {
  fd_io io{fd};
  return read_exactly_on(io, count, timeout_ms);
}

bool receive_into(int fd, std::string& pending, bool& eof, clock::time_point deadline) {
  fd_io io{fd};
  return receive_into_on(io, pending, eof, deadline);
}
bool receive_into(stream& s, std::string& pending, bool& eof, clock::time_point deadline) {
  return receive_into_on(s, pending, eof, deadline);
}

stream connect_stream(const std::string& host, int port, int timeout_ms, const tls_client* client,
                      const std::string& verify_name, std::string* error) {
  socket_fd fd = connect_tcp(host, port, timeout_ms, error);
  if (!fd.valid() || client == nullptr) return stream(std::move(fd));
  std::string why;
  stream made = stream::tls(std::move(fd), *client, verify_name.empty() ? host : verify_name, timeout_ms, &why);
  if (!made.valid() && error != nullptr) *error = "TLS: " + why;
  return made;
}

bool connection::open(const std::string& host, int port, int timeout_ms, std::string* error) {
  return open(host, port, timeout_ms, nullptr, error);
}

bool connection::open(const std::string& host, int port, int timeout_ms, const tls_client* tls, std::string* error) {
  fd_ = connect_stream(host, port, timeout_ms, tls, host, error);
  pending_.clear();
  eof_ = false;
  return fd_.valid();
}

bool connection::send_line(std::string_view line) {
  if (observer_) observer_('>', line);
  std::string framed(line);
  framed += "\r\n";
  return send_all(fd_, framed);
}

bool connection::send_raw(std::string_view bytes) { return send_all(fd_, bytes); }

std::optional<std::string> connection::read_line(int timeout_ms) {
  return read_line_by(clock::now() + std::chrono::milliseconds(timeout_ms));
}

bool connection::check_pending() {
  std::size_t at = pending_.find("\r\n");
  if (at != std::string::npos && at <= kMaxLine) return true;
  // A line that has not ended within the bound (its CR may have come last)
  // will not be taken, however it goes on.
  if (at != std::string::npos || pending_.size() > kMaxLine + 1) {
    overlong_ = true;
    pending_.clear();
    pending_.shrink_to_fit();
    return false;
  }
  if (line_check_ && !pending_.empty() && line_check_(pending_)) {
    rejected_ = true;
    return false;
  }
  return false;
}

std::optional<std::string> connection::read_line_by(clock::time_point deadline) {
  for (;;) {
    if (overlong_ || rejected_) return std::nullopt;
    if (check_pending()) {
      std::size_t at = pending_.find("\r\n");
      std::string line = pending_.substr(0, at);
      pending_.erase(0, at + 2);
      if (observer_) observer_('<', line);
      return line;
    }
    if (overlong_ || rejected_) return std::nullopt;
    if (eof_ || !fd_.valid() || !receive_into(fd_, pending_, eof_, deadline)) return std::nullopt;
  }
}

std::optional<std::string> connection::read_reply_by(clock::time_point deadline) {
  for (;;) {
    std::optional<std::string> line = read_line_by(deadline);
    if (!line || !is_notification(*line)) return line;
    // A peer that never stops sending keeps the socket readable: the
    // deadline is looked at after each line, not only when waiting.
    if (clock::now() >= deadline) {
      keep(std::move(*line));
      return std::nullopt;
    }
    keep(std::move(*line));
  }
}

void connection::keep(std::string line) {
  {
    // Callers take all of kept() at once; once it is empty the count restarts.
    if (kept_.empty()) kept_bytes_ = 0;
    kept_bytes_ += line.size();
    kept_.push_back(std::move(line));
    while (kept_.size() > kMaxKeptLines || kept_bytes_ > kMaxKeptBytes) {
      kept_bytes_ -= kept_.front().size();
      kept_.pop_front();
      ++dropped_;
    }
  }
}

std::optional<std::string> connection::command(std::string_view line, int timeout_ms) {
  if (!send_line(line)) return std::nullopt;
  return read_line(timeout_ms);
}

std::optional<std::string> connection::request(std::string_view line, int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  if (!send_line(line)) return std::nullopt;
  return read_reply_by(deadline);
}

bool connection::wait_closed(int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!eof_) {
    pending_.clear();
    if (!read_line_by(deadline) && !eof_) return false;
  }
  return true;
}

int reply_number(std::string_view reply) {
  std::size_t at = reply.rfind('%');
  if (at == std::string_view::npos) return -1;
  // The digits that follow it; what comes after them is not looked at.
  std::string_view digits = reply.substr(at + 1);
  return static_cast<int>(protocol::take_integer(digits, 0, 2147483647, false).value_or(-1));
}

std::string visible(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  auto escape_byte = [&](unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  };
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '\\':
          out += "\\\\";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        default:
          if (c < 0x20 || c == 0x7f) escape_byte(c);
          else out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // One UTF-8 sequence: its length from the lead byte, then the checks
    // for continuation bytes, overlong forms, surrogates and the range.
    std::size_t length = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    bool valid = length != 0 && i + length <= text.size();
    unsigned long code = valid ? (c & (0x7fu >> length)) : 0;
    for (std::size_t k = 1; valid && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xc0) == 0x80;
      code = (code << 6) | (next & 0x3f);
    }
    static constexpr unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (code < kLeast[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff)) valid = false;
    if (!valid) {
      escape_byte(c);
      ++i;
      continue;
    }
    if (code <= 0x9f) {
      // A C1 control written in UTF-8: both its bytes shown.
      for (std::size_t k = 0; k < length; ++k) escape_byte(static_cast<unsigned char>(text[i + k]));
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

bool is_notification(std::string_view line) {
  if (line.size() < 4 || line[3] != ' ') return false;
  for (std::size_t i = 0; i < 3; ++i)
    if (line[i] < '0' || line[i] > '9') return false;
  int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  return (code >= 600 && code <= 899) || code == 580 || code == 581 || (code >= 590 && code <= 593);
}

}  // namespace studio
