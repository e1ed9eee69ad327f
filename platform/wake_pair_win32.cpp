#ifdef _WIN32
#include "platform/wake_pair.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

SOCKET to_socket(int fd) { return static_cast<SOCKET>(fd); }
int to_int(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

SOCKET new_socket() {
  return ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

bool non_blocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

}  // namespace

int PLATopen_wake_pair(int fds[2]) {
  // Winsock's start-up is counted: this use of it lasts as long as the process.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return -1;
  SOCKET listener = new_socket();
  if (listener == INVALID_SOCKET) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof address;
  SOCKET writer = INVALID_SOCKET;
  SOCKET reader = INVALID_SOCKET;
  bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            (writer = new_socket()) != INVALID_SOCKET &&
            ::connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            (reader = ::accept(listener, nullptr, nullptr)) != INVALID_SOCKET;
  ::closesocket(listener);
  // Another local process could have connected first: the reader must be
  // the writer's peer.
  if (ok) {
    sockaddr_in mine{};
    sockaddr_in peer{};
    int mine_length = sizeof mine;
    int peer_length = sizeof peer;
    ok = ::getsockname(writer, reinterpret_cast<sockaddr*>(&mine), &mine_length) == 0 &&
         ::getpeername(reader, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0 &&
         mine.sin_port == peer.sin_port && mine.sin_addr.s_addr == peer.sin_addr.s_addr;
  }
  if (ok) {
    BOOL on = TRUE;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    ok = ::SetHandleInformation(reinterpret_cast<HANDLE>(reader), HANDLE_FLAG_INHERIT, 0) && non_blocking(reader) &&
         non_blocking(writer);
  }
  if (!ok) {
    if (reader != INVALID_SOCKET) ::closesocket(reader);
    if (writer != INVALID_SOCKET) ::closesocket(writer);
    return -1;
  }
  fds[0] = to_int(reader);
  fds[1] = to_int(writer);
  return 0;
}

void PLATwake(int write_fd) {
  if (write_fd < 0) return;
  char byte = 1;
  ::send(to_socket(write_fd), &byte, 1, 0);
}

void PLATclose_wake_socket(int fd) {
  if (fd >= 0) ::closesocket(to_socket(fd));
}
#endif  // _WIN32
