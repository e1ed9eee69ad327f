// unique_fd: an owned descriptor (socket, pipe or file), closed when its
// owner goes. Moves transfer it. On Windows the descriptors that cross the
// seams are sockets (a SOCKET as an int), closed with closesocket.
#pragma once

#ifdef _WIN32
// closesocket as <winsock2.h> declares it (SOCKET is a UINT_PTR), without
// bringing the whole of <windows.h> and its macros into every user.
extern "C" __declspec(dllimport) int __stdcall closesocket(unsigned long long s);
inline void PLATclose_descriptor(int fd) { ::closesocket(static_cast<unsigned long long>(fd)); }
#else
#include <unistd.h>
inline void PLATclose_descriptor(int fd) { ::close(fd); }
#endif

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes what it holds and takes `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) PLATclose_descriptor(fd_);
    fd_ = fd;
  }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};
