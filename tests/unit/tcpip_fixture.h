// What the network layer's unit tests share: a context with the layer
// started, and a connected pair of local sockets.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include "net/tcpip.h"

namespace tcpip_test {

// mode as for TCPIPinit: 1 IPv4 only, 0 IPv6 dual-stack when available.
struct layer {
  agt_context_ptr context = CTXnew(10);
  explicit layer(int mode = 1) { TCPIPinit(context.get(), mode); }
  agt_context* get() { return context.get(); }
};

// Closes whichever end a test has not closed itself (set to -1 then).
struct socket_pair {
  int a = -1, b = -1;
  socket_pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      a = fds[0];
      b = fds[1];
    }
  }
  ~socket_pair() {
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
  }
  socket_pair(const socket_pair&) = delete;
  socket_pair& operator=(const socket_pair&) = delete;
};

}  // namespace tcpip_test
