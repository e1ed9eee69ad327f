#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "client/socket_io.h"
#include "client/studio.h"
#include "support/protocol/socket_errors.h"

namespace studio {

using clock = std::chrono::steady_clock;

namespace {

SOCKET sock(int fd) { return static_cast<SOCKET>(static_cast<intptr_t>(fd)); }

// Sets errno from the last Winsock failure and returns -1.
int fail() {
  errno = protocol::errno_of_winsock(::WSAGetLastError());
  return -1;
}

// Winsock is started once, before the first socket call.
void start_winsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

int remaining_ms(clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

int set_nonblocking(int fd, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(sock(fd), FIONBIO, &mode) == 0 ? 0 : fail();
}

// Waits for a non-blocking connect: select reports a failed one (in the
// exception set), which WSAPoll does not everywhere. 0 when connected.
int finish_connect(int fd, int ms) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(sock(fd), &writable);
  FD_SET(sock(fd), &failed);
  timeval limit{ms / 1000, (ms % 1000) * 1000};
  int n = ::select(0, nullptr, &writable, &failed, &limit);
  if (n == SOCKET_ERROR) return fail();
  if (n == 0) {
    errno = ETIMEDOUT;
    return -1;
  }
  int soerr = 0;
  int len = sizeof soerr;
  ::getsockopt(sock(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &len);
  if (soerr != 0) {
    ::WSASetLastError(soerr);
    return fail();
  }
  return 0;
}

}  // namespace

int socket_close(int fd) { return ::closesocket(sock(fd)) == 0 ? 0 : fail(); }

int socket_poll(int fd, bool writable, int ms) {
  WSAPOLLFD p{};
  p.fd = sock(fd);
  p.events = writable ? POLLWRNORM : POLLRDNORM;
  int n = ::WSAPoll(&p, 1, ms);
  if (n == SOCKET_ERROR) return fail();
  return n > 0 ? 1 : 0;
}

long long socket_send(int fd, const void* data, std::size_t size, bool dontwait) {
  if (dontwait) {
    int ready = socket_poll(fd, true, 0);
    if (ready < 0) return -1;
    if (ready == 0) {
      errno = EAGAIN;
      return -1;
    }
    // A blocking socket takes a whole send once it has room for some: a
    // send that must not wait is a buffer's size at most.
    size = std::min<std::size_t>(size, 64 * 1024);
  }
  int n = ::send(sock(fd), static_cast<const char*>(data), static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n == SOCKET_ERROR ? fail() : n;
}

long long socket_recv(int fd, void* buffer, std::size_t size, bool dontwait) {
  if (dontwait) {
    int ready = socket_poll(fd, false, 0);
    if (ready < 0) return -1;
    if (ready == 0) {
      errno = EAGAIN;
      return -1;
    }
  }
  int n = ::recv(sock(fd), static_cast<char*>(buffer), static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n == SOCKET_ERROR ? fail() : n;
}

int socket_shutdown_write(int fd) { return ::shutdown(sock(fd), SD_SEND) == 0 ? 0 : fail(); }

int socket_unacknowledged(int) { return -1; }

void socket_reset_on_close(int fd) {
  linger hard{1, 0};
  ::setsockopt(sock(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

std::string peer_address(int fd, const std::string& fallback) {
  start_winsock();
  sockaddr_storage peer{};
  int length = sizeof peer;
  char text[NI_MAXHOST];
  if (fd < 0 || ::getpeername(sock(fd), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
    return fallback;
  return text;
}

socket_fd connect_tcp(const std::string& host, int port, int timeout_ms, std::string* error) {
  start_winsock();
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    if (error != nullptr) *error = std::string("cannot resolve ") + host + ": " + ::gai_strerrorA(rc);
    return socket_fd();
  }
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string last = "no address";
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    // Not inheritable: a program this one starts must not hold the connection.
    SOCKET raw = ::WSASocketW(entry->ai_family, entry->ai_socktype, entry->ai_protocol, nullptr, 0,
                              WSA_FLAG_NO_HANDLE_INHERIT);
    if (raw == INVALID_SOCKET) continue;
    socket_fd s(static_cast<int>(raw));
    set_nonblocking(s.get(), true);
    int r = ::connect(sock(s.get()), entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == 0 ? 0 : fail();
    if (r != 0 && errno == EAGAIN) r = finish_connect(s.get(), remaining_ms(deadline));
    if (r == 0) {
      set_nonblocking(s.get(), false);
      BOOL one = TRUE;
      ::setsockopt(sock(s.get()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      ::freeaddrinfo(list);
      return s;
    }
    last = std::strerror(errno);
  }
  ::freeaddrinfo(list);
  if (error != nullptr) *error = "cannot connect to " + host + ":" + service + ": " + last;
  return socket_fd();
}

}  // namespace studio
