// Baseline for the command figures: a line echo server over TCP. Every line
// received (ended by CR LF) is sent back at once with its own send, as an
// agent answers each command line before it reads the next one. TCP_NODELAY
// on every connection, one thread per connection, blocking I/O.
//
// With --greet it is the baseline of "connect to greeting" instead: a bare
// server that accepts a connection, sends one line (the agent's greeting,
// so that both send as many bytes) and closes it, one connection at a time.
//
//   kvsbench_echo <port>                 listens on 127.0.0.1:<port> until killed
//   kvsbench_echo --greet <line> <port>  the same, greeting each connection with <line> CR LF
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void serve(int fd) {
  std::string pending;
  char chunk[16384];
  for (;;) {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (;;) {
      std::size_t cr = pending.find("\r\n", start);
      if (cr == std::string::npos) break;
      if (!send_all(fd, pending.data() + start, cr + 2 - start)) {
        ::close(fd);
        return;
      }
      start = cr + 2;
    }
    pending.erase(0, start);
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string greeting;
  if (argc == 4 && std::strcmp(argv[1], "--greet") == 0) {
    greeting = std::string(argv[2]) + "\r\n";
    argv += 2;
    argc -= 2;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: kvsbench_echo [--greet <line>] <port>\n");
    return 1;
  }
  ::signal(SIGPIPE, SIG_IGN);
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 128) != 0) {
    std::perror("kvsbench_echo");
    return 1;
  }
  for (;;) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      std::perror("accept");
      return 1;
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!greeting.empty()) {
      send_all(fd, greeting.data(), greeting.size());
      ::close(fd);
      continue;
    }
    std::thread(serve, fd).detach();
  }
}
