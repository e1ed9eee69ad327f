#include "platform/sockets.h"
#include "support/protocol/socket_errors.h"

#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

// The peer closed: Winsock reports it as POLLHUP only.
const short PLAT_POLL_PEER_GONE = 0;

namespace {

SOCKET sock(int s) { return static_cast<SOCKET>(static_cast<intptr_t>(s)); }

int from_socket(SOCKET s) {
  if (s == INVALID_SOCKET) return PLATsocket_error();
  return static_cast<int>(s);
}

int checked(int rc) { return rc == 0 ? 0 : PLATsocket_error(); }

}  // namespace

void PLATsocket_start() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

int PLATsocket_error() {
  errno = protocol::errno_of_winsock(::WSAGetLastError());
  return -1;
}

// No socket is inheritable: programs started by EXEC must not hold one.
// Sockets are not overlapped, so that one accepted from them can be a
// program's standard handles (the trace connection).
int PLATsocket_open(int family) {
  return from_socket(::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
}

int PLATsocket_close(int s) { return checked(::closesocket(sock(s))); }

int PLATsocket_set_nonblocking(int s, bool on) {
  u_long mode = on ? 1 : 0;
  return checked(::ioctlsocket(sock(s), FIONBIO, &mode));
}

// Windows' SO_REUSEADDR would let another program bind the same port and
// take connections.
int PLATsocket_reuse_address(int s) { return PLATsocket_set_int(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1); }

int PLATsocket_set_int(int s, int level, int name, int value) {
  return checked(::setsockopt(sock(s), level, name, reinterpret_cast<const char*>(&value), sizeof value));
}

int PLATsocket_bind(int s, const void* address, int length) {
  return checked(::bind(sock(s), static_cast<const sockaddr*>(address), length));
}

int PLATsocket_listen(int s) { return checked(::listen(sock(s), SOMAXCONN)); }

int PLATsocket_connect(int s, const void* address, int length) {
  return checked(::connect(sock(s), static_cast<const sockaddr*>(address), length));
}

int PLATsocket_peer(int s, sockaddr_storage* address, socklen_t* length) {
  return checked(::getpeername(sock(s), reinterpret_cast<sockaddr*>(address), length));
}

int PLATsocket_local(int s, sockaddr_storage* address, socklen_t* length) {
  return checked(::getsockname(sock(s), reinterpret_cast<sockaddr*>(address), length));
}

int PLATsocket_pending_error(int s) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    PLATsocket_error();
    return errno;
  }
  if (error == 0) return 0;
  ::WSASetLastError(error);
  PLATsocket_error();
  return errno;
}

int PLATsocket_accept(int listen_socket, sockaddr_storage* peer, socklen_t* length, bool nonblocking) {
  int s = from_socket(::accept(sock(listen_socket), reinterpret_cast<sockaddr*>(peer), length));
  if (s < 0) return -1;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(sock(s)), HANDLE_FLAG_INHERIT, 0);
  // An accepted socket takes the listener's (non-blocking) mode.
  PLATsocket_set_nonblocking(s, nonblocking);
  return s;
}

// Sockets that are sent to are non-blocking; a piece the size of a buffer
// keeps one send from taking long.
long long PLATsocket_send(int s, const void* data, std::size_t size) {
  size = std::min<std::size_t>(size, 64 * 1024);
  int n = ::send(sock(s), static_cast<const char*>(data), static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? PLATsocket_error() : n;
}

long long PLATsocket_recv(int s, void* buffer, std::size_t size) {
  int n = ::recv(sock(s), static_cast<char*>(buffer), static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n == SOCKET_ERROR ? PLATsocket_error() : n;
}

void PLATsocket_discard_input(int s, int limit) {
  char area[16384];
  for (int dropped = 0; s >= 0 && dropped < limit;) {
    // The socket may be blocking: only what is already there is read.
    u_long waiting = 0;
    if (::ioctlsocket(sock(s), FIONREAD, &waiting) != 0 || waiting == 0) return;
    int n = ::recv(sock(s), area, static_cast<int>(std::min<u_long>(waiting, sizeof area)), 0);
    if (n <= 0) return;
    dropped += n;
  }
}

int PLATsocket_poll(plat_poll* fds, std::size_t count, int ms) {
  std::vector<WSAPOLLFD> list;
  list.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].revents = 0;
    if (fds[i].fd < 0) continue;
    WSAPOLLFD entry{};
    entry.fd = sock(fds[i].fd);
    // WSAPoll refuses any request beyond reading and writing.
    entry.events = static_cast<short>(fds[i].events & (POLLRDNORM | POLLRDBAND | POLLWRNORM));
    list.push_back(entry);
  }
  if (list.empty()) {
    if (ms > 0) ::Sleep(static_cast<DWORD>(ms));
    return 0;
  }
  int n = ::WSAPoll(list.data(), static_cast<ULONG>(list.size()), ms);
  if (n == SOCKET_ERROR) return PLATsocket_error();
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i)
    if (fds[i].fd >= 0) fds[i].revents = list[at++].revents;
  return n;
}

// A wake descriptor is a socket here (the read end of a loopback pair).
void PLATsocket_drain_wake(int fd) {
  char drain[256];
  ::recv(sock(fd), drain, sizeof drain, 0);
}

// Winsock tells nothing of unacknowledged output; closesocket sends what is
// left in the background.
int PLATsocket_unsent(int) { return -1; }

int PLATsocket_pair(int fds[2]) {
  fds[0] = fds[1] = -1;
  errno = EAFNOSUPPORT;
  return -1;
}

int PLATsocket_shut_send(int s) { return checked(::shutdown(sock(s), SD_SEND)); }

long long PLATsocket_unread(int s) {
  u_long unread = 0;
  if (::ioctlsocket(sock(s), FIONREAD, &unread) != 0) return PLATsocket_error();
  return static_cast<long long>(unread);
}

// Windows has no limit on unacknowledged output: the keep-alive probes (ten
// of them, Windows' fixed count) notice a vanished peer in about two and a
// half minutes.
int PLATsocket_keep_alive(int s) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = 60000;
  values.keepaliveinterval = 10000;
  DWORD returned = 0;
  if (::WSAIoctl(sock(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) == 0)
    return 0;
  // Plain keep-alive, at the system's pace, when the values are refused.
  return PLATsocket_set_int(s, SOL_SOCKET, SO_KEEPALIVE, 1);
}

void PLATsocket_hold_reserve() {}
void PLATsocket_drop_one(int) {}
