// Throwaway prototype, not part of the agent: how long connect-to-greeting
// takes when the connection process is started (forked and exec'd) before the
// connection arrives and is handed the accepted socket through SCM_RIGHTS,
// against a fork and exec per connection as the daemon does today. Both
// modes run this same executable (linked like the agent), so the difference
// is the design, not the program.
//
//   kvsbench_prestart daemon PORT fork|prestart   serve 127.0.0.1:PORT until killed
//   kvsbench_prestart client PORT N [PAUSE_MS]    N connections, p50/min/max connect-to-greeting
//
// A connection process looks up the peer's host name (getnameinfo, as the
// agent does before its exec), sends one greeting line and waits for the
// peer to close.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* self_path = "/proc/self/exe";

void serve(int socket) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  char host[NI_MAXHOST] = "";
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
    ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, nullptr, 0, 0);
  int one = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  static const char greeting[] = "210 hello\r\n";
  if (::send(socket, greeting, sizeof greeting - 1, MSG_NOSIGNAL) < 0) std::_Exit(1);
  char buffer[256];
  while (::recv(socket, buffer, sizeof buffer, 0) > 0) {
  }
  std::_Exit(0);
}

// A pre-started connection process: waits for one socket on `channel`.
void wait_for_socket(int channel) {
  char byte;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (::recvmsg(channel, &message, MSG_CMSG_CLOEXEC) <= 0) std::_Exit(1);
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  if (c == nullptr || c->cmsg_type != SCM_RIGHTS) std::_Exit(1);
  int socket;
  std::memcpy(&socket, CMSG_DATA(c), sizeof socket);
  ::close(channel);
  serve(socket);
}

void exec_self(const char* mode, int fd) {
  std::string number = std::to_string(fd);
  ::execl(self_path, "kvsbench_prestart", mode, number.c_str(), static_cast<char*>(nullptr));
  std::_Exit(127);
}

// Starts a connection process that waits for its socket; returns the
// daemon's end of the channel.
int prestart() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pair[0]);
    ::fcntl(pair[1], F_SETFD, 0);
    exec_self("wait", pair[1]);
  }
  ::close(pair[1]);
  return pair[0];
}

bool hand_over(int channel, int socket) {
  char byte = 0;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))]{};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &socket, sizeof socket);
  return ::sendmsg(channel, &message, MSG_NOSIGNAL) == 1;
}

int listen_on(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s, 64) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  return s;
}

// With `pre`, the next connection process is started once the daemon has
// been idle for 20 ms after a hand-over (as during the agent's pause after
// an accept): started at once, its exec and loader would hold the CPU that
// the connection just handed over needs, on a machine of one or two CPUs.
int daemon(int port, bool pre) {
  ::signal(SIGCHLD, SIG_IGN);
  int listener = listen_on(port);
  int channel = pre ? prestart() : -1;
  for (;;) {
    pollfd p{listener, POLLIN, 0};
    int ready = ::poll(&p, 1, pre && channel < 0 ? 20 : -1);
    if (ready == 0 && pre && channel < 0) channel = prestart();
    if (ready <= 0) continue;
    int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    if (pre) {
      if (channel < 0) channel = prestart();  // a second connection within 20 ms: started now
      hand_over(channel, socket);
      ::close(socket);
      ::close(channel);
      channel = -1;
    } else {
      pid_t pid = ::fork();
      if (pid == 0) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        char host[NI_MAXHOST] = "";
        if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
          ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, nullptr, 0, 0);
        ::fcntl(socket, F_SETFD, 0);
        exec_self("serve", socket);
      }
      ::close(socket);
    }
  }
}

int client(int port, int count, int pause_ms) {
  std::vector<double> us;
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    auto start = std::chrono::steady_clock::now();
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
    std::string line;
    char buffer[256];
    while (line.find('\n') == std::string::npos) {
      pollfd p{s, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return 1;
      ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) return 1;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    ::close(s);
  }
  std::sort(us.begin(), us.end());
  std::printf("%d connections: p50 %.0f us, min %.0f, max %.0f\n", count, us[us.size() / 2], us.front(), us.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && argc == 3) serve(std::atoi(argv[2]));
  if (mode == "wait" && argc == 3) wait_for_socket(std::atoi(argv[2]));
  if (mode == "daemon" && argc == 4) return daemon(std::atoi(argv[2]), std::strcmp(argv[3], "prestart") == 0);
  if (mode == "client" && argc >= 4) return client(std::atoi(argv[2]), std::atoi(argv[3]), argc > 4 ? std::atoi(argv[4]) : 200);
  std::fprintf(stderr,
               "usage: kvsbench_prestart daemon PORT fork|prestart\n"
               "       kvsbench_prestart client PORT N [PAUSE_MS]\n");
  return 2;
}
