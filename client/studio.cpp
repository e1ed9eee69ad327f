#include "client/studio.h"

#include <cerrno>
#include <cstring>

namespace studio {

using clock = std::chrono::steady_clock;

namespace {

int remaining_ms(clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits until fd is readable; false on time-out.
bool wait_readable(int fd, clock::time_point deadline) {
  for (;;) {
    int n = socket_poll(fd, false, remaining_ms(deadline));
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

}  // namespace

bool send_all(int fd, std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    long long n = socket_send(fd, bytes.data() + sent, bytes.size() - sent, false);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string read_until_closed(int fd, int timeout_ms, bool* closed) {
  std::string data;
  if (closed != nullptr) *closed = false;
  char chunk[65536];
  for (;;) {
    if (!wait_readable(fd, clock::now() + std::chrono::milliseconds(timeout_ms))) return data;
    long long n = socket_recv(fd, chunk, sizeof chunk, false);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (closed != nullptr) *closed = true;
      return data;
    }
    data.append(chunk, static_cast<std::size_t>(n));
  }
}

bool wait_closed(int fd, int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[4096];
  for (;;) {
    if (!wait_readable(fd, deadline)) return false;
    long long n = socket_recv(fd, chunk, sizeof chunk, false);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
  }
}

std::string read_exactly(int fd, std::size_t count, int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string data;
  char chunk[65536];
  while (data.size() < count) {
    if (!wait_readable(fd, deadline)) break;
    long long n = socket_recv(fd, chunk, std::min(sizeof chunk, count - data.size()), false);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(chunk, static_cast<std::size_t>(n));
  }
  return data;
}

bool connection::open(const std::string& host, int port, int timeout_ms, std::string* error) {
  fd_ = connect_tcp(host, port, timeout_ms, error);
  pending_.clear();
  eof_ = false;
  return fd_.valid();
}

bool connection::send_line(std::string_view line) {
  if (observer_) observer_('>', line);
  std::string framed(line);
  framed += "\r\n";
  return send_all(fd_.get(), framed);
}

bool connection::send_raw(std::string_view bytes) { return send_all(fd_.get(), bytes); }

bool receive_into(int fd, std::string& pending, bool& eof, clock::time_point deadline) {
  char chunk[65536];
  for (;;) {
    if (!wait_readable(fd, deadline)) return false;
    long long n = socket_recv(fd, chunk, sizeof chunk, false);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof = true;
    } else {
      pending.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }
}

std::optional<std::string> connection::read_line(int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::size_t at = pending_.find("\r\n");
    if (at != std::string::npos) {
      std::string line = pending_.substr(0, at);
      pending_.erase(0, at + 2);
      if (observer_) observer_('<', line);
      return line;
    }
    if (eof_ || !fd_.valid() || !receive_into(fd_.get(), pending_, eof_, deadline)) return std::nullopt;
  }
}

std::optional<std::string> connection::command(std::string_view line, int timeout_ms) {
  if (!send_line(line)) return std::nullopt;
  return read_line(timeout_ms);
}

bool connection::wait_closed(int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!eof_) {
    pending_.clear();
    if (!read_line(remaining_ms(deadline)) && !eof_) return false;
  }
  return true;
}

int reply_number(std::string_view reply) {
  std::size_t at = reply.rfind('%');
  if (at == std::string_view::npos) return -1;
  int value = 0;
  bool any = false;
  for (std::size_t i = at + 1; i < reply.size() && reply[i] >= '0' && reply[i] <= '9'; ++i) {
    value = value * 10 + (reply[i] - '0');
    any = true;
  }
  return any ? value : -1;
}

bool is_notification(std::string_view line) {
  if (line.size() < 4 || line[3] != ' ') return false;
  for (std::size_t i = 0; i < 3; ++i)
    if (line[i] < '0' || line[i] > '9') return false;
  int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  return (code >= 600 && code <= 899) || code == 580 || code == 581 || (code >= 590 && code <= 593);
}

}  // namespace studio
