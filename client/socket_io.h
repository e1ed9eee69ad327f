// The socket calls of the studio side and of the tester tools, one form on
// every system: sockets are ints (-1: none); a failure returns -1 with errno
// set (EINTR, EAGAIN, or another code).
#pragma once

#include <cstddef>

#include "platform/unique_fd.h"

namespace studio {

int socket_close(int fd);
// Waits at most ms (-1: no limit) until fd is readable (writable when
// `writable`): 1 when it is, 0 on time-out, -1 on failure.
int socket_poll(int fd, bool writable, int ms);
// One send or receive; with `dontwait`, EAGAIN instead of waiting. A send to
// a closed peer fails; it never ends the process.
long long socket_send(int fd, const void* data, std::size_t size, bool dontwait);
long long socket_recv(int fd, void* buffer, std::size_t size, bool dontwait);
// Ends the sending side of a connection.
int socket_shutdown_write(int fd);
// Bytes sent on a connection that the peer has not acknowledged yet; -1
// when the system does not tell.
int socket_unacknowledged(int fd);
// Makes the next close of a connection a reset instead of an end of stream.
void socket_reset_on_close(int fd);

// An owned socket, closed when its owner goes (closesocket on Windows).
// Moves transfer it. The agent's own descriptor type: one RAII owner for both.
using socket_fd = ::unique_fd;

}  // namespace studio
