#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "client/socket_io.h"
#include "client/studio.h"

namespace studio {

using clock = std::chrono::steady_clock;

namespace {

int remaining_ms(clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

int socket_close(int fd) { return ::close(fd); }

int socket_poll(int fd, bool writable, int ms) {
  pollfd p{fd, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
  int n = ::poll(&p, 1, ms);
  return n < 0 ? -1 : n > 0 ? 1 : 0;
}

long long socket_send(int fd, const void* data, std::size_t size, bool dontwait) {
  return ::send(fd, data, size, MSG_NOSIGNAL | (dontwait ? MSG_DONTWAIT : 0));
}

long long socket_recv(int fd, void* buffer, std::size_t size, bool dontwait) {
  return ::recv(fd, buffer, size, dontwait ? MSG_DONTWAIT : 0);
}

int socket_shutdown_write(int fd) { return ::shutdown(fd, SHUT_WR); }

int socket_unacknowledged(int fd) {
  int unacknowledged = 0;
  return ::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 ? unacknowledged : -1;
}

void socket_reset_on_close(int fd) {
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

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
      int n;
      do {
        n = socket_poll(s.get(), true, remaining_ms(deadline));
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

}  // namespace studio
