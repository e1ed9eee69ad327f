#include "platform/sockets.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif

#include <cerrno>

const short PLAT_POLL_PEER_GONE = POLLRDHUP;

static_assert(sizeof(plat_poll) == sizeof(pollfd) && offsetof(plat_poll, revents) == offsetof(pollfd, revents),
              "a plat_poll list is a pollfd list");

void PLATsocket_start() {}

int PLATsocket_error() { return -1; }

int PLATsocket_open(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int PLATsocket_close(int s) { return ::close(s); }

int PLATsocket_set_nonblocking(int s, bool on) {
  int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return -1;
  return ::fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0 ? 0 : -1;
}

int PLATsocket_reuse_address(int s) { return PLATsocket_set_int(s, SOL_SOCKET, SO_REUSEADDR, 1); }

int PLATsocket_set_int(int s, int level, int name, int value) {
  return ::setsockopt(s, level, name, &value, sizeof value);
}

int PLATsocket_bind(int s, const void* address, int length) {
  return ::bind(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int PLATsocket_listen(int s) { return ::listen(s, SOMAXCONN); }

int PLATsocket_connect(int s, const void* address, int length) {
  return ::connect(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int PLATsocket_peer(int s, sockaddr_storage* address, socklen_t* length) {
  return ::getpeername(s, reinterpret_cast<sockaddr*>(address), length);
}

int PLATsocket_local(int s, sockaddr_storage* address, socklen_t* length) {
  return ::getsockname(s, reinterpret_cast<sockaddr*>(address), length);
}

int PLATsocket_pending_error(int s) {
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error : errno;
}

int PLATsocket_accept(int listen_socket, sockaddr_storage* peer, socklen_t* length, bool nonblocking) {
  return ::accept4(listen_socket, reinterpret_cast<sockaddr*>(peer), length,
                   SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0));
}

long long PLATsocket_send(int s, const void* data, std::size_t size) {
  return ::send(s, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long long PLATsocket_recv(int s, void* buffer, std::size_t size) { return ::recv(s, buffer, size, MSG_DONTWAIT); }

void PLATsocket_discard_input(int s, int limit) {
  char area[16384];
  for (int dropped = 0; s >= 0 && dropped < limit;) {
    ssize_t n = ::recv(s, area, sizeof area, MSG_DONTWAIT);
    if (n <= 0) return;
    dropped += static_cast<int>(n);
  }
}

int PLATsocket_poll(plat_poll* fds, std::size_t count, int ms) {
  return ::poll(reinterpret_cast<pollfd*>(fds), count, ms);
}

void PLATsocket_drain_wake(int fd) {
  char drain[256];
  if (::read(fd, drain, sizeof drain) < 0) {
  }
}

int PLATsocket_unsent(int s) {
#ifdef SIOCOUTQ
  int unsent = 0;
  if (::ioctl(s, SIOCOUTQ, &unsent) != 0) return -1;
  return unsent;
#else
  (void)s;
  return -1;
#endif
}

int PLATsocket_pair(int fds[2]) { return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }

int PLATsocket_shut_send(int s) { return ::shutdown(s, SHUT_WR); }

long long PLATsocket_unread(int s) {
  int unread = 0;
  if (::ioctl(s, FIONREAD, &unread) != 0) return -1;
  return unread;
}

int PLATsocket_keep_alive(int s) {
  int one = 1, idle = 60, interval = 10, count = 6;
  unsigned user_timeout_ms = 120000;
  int rc = ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  rc |= ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  rc |= ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  rc |= ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  rc |= ::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
  return rc == 0 ? 0 : -1;
}

namespace {
int reserve_fd = -1;
}

void PLATsocket_hold_reserve() {
  if (reserve_fd < 0) reserve_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void PLATsocket_drop_one(int listen_socket) {
  if (reserve_fd < 0) return;
  ::close(reserve_fd);
  reserve_fd = -1;
  int dropped = ::accept4(listen_socket, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (dropped >= 0) ::close(dropped);
  PLATsocket_hold_reserve();
}
