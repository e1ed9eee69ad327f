// The socket calls of the studio side and of the tester tools, one form on
// every system: sockets are ints (-1: none); a failure returns -1 with errno
// set (EINTR, EAGAIN, or another code).
#pragma once

#include <cstddef>

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

// An owned socket, closed when its owner goes. Moves transfer it.
class socket_fd {
 public:
  socket_fd() = default;
  explicit socket_fd(int fd) : fd_(fd) {}
  socket_fd(const socket_fd&) = delete;
  socket_fd& operator=(const socket_fd&) = delete;
  socket_fd(socket_fd&& other) noexcept : fd_(other.release()) {}
  socket_fd& operator=(socket_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~socket_fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes what it holds and takes `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) socket_close(fd_);
    fd_ = fd;
  }
  // Gives the socket up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace studio
