#include "client/studio.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, remaining_ms(deadline));
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

}  // namespace

std::string peer_address(int fd, const std::string& fallback) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  char text[NI_MAXHOST];
  if (fd < 0 || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
    return fallback;
  return text;
}

socket_fd connect_tcp(const std::string& host, int port, int timeout_ms, std::string* error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    if (error != nullptr) *error = std::string("cannot resolve ") + host + ": " + ::gai_strerror(rc);
    return socket_fd();
  }
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string last = "no address";
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    socket_fd s(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, entry->ai_protocol));
    if (!s.valid()) continue;
    int r = ::connect(s.get(), entry->ai_addr, entry->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      pollfd p{s.get(), POLLOUT, 0};
      int n;
      do {
        n = ::poll(&p, 1, remaining_ms(deadline));
      } while (n < 0 && errno == EINTR);
      int soerr = n > 0 ? 0 : ETIMEDOUT;
      socklen_t len = sizeof soerr;
      if (n > 0) ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &soerr, &len);
      r = soerr == 0 ? 0 : -1;
      errno = soerr;
    }
    if (r == 0) {
      int flags = ::fcntl(s.get(), F_GETFL);
      ::fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK);
      int one = 1;
      ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::freeaddrinfo(list);
      return s;
    }
    last = std::strerror(errno);
  }
  ::freeaddrinfo(list);
  if (error != nullptr) *error = "cannot connect to " + host + ":" + service + ": " + last;
  return socket_fd();
}

bool send_all(int fd, std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
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
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
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
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
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
    ssize_t n = ::recv(fd, chunk, std::min(sizeof chunk, count - data.size()), 0);
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
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
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
