#include "client/rendezvous.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace studio {

namespace {

constexpr int kConnectMs = 10000;

void say(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

int parse_rendezvous_port(const char* text) {
  if (text == nullptr || *text == '\0') return -1;
  long port = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || port > 65535) return -1;
    port = port * 10 + (*c - '0');
  }
  return port >= 1 && port <= 65535 ? static_cast<int>(port) : -1;
}

namespace {

bool usable_name(std::string_view name, std::string* error) {
  if (name.find('\0') != std::string_view::npos) {
    say(error, "a rendezvous name cannot hold a NUL byte");
    return false;
  }
  if (name.size() > kRendezvousNameMax) {
    say(error, "rendezvous name longer than " + std::to_string(kRendezvousNameMax) + " bytes");
    return false;
  }
  return true;
}

// One send, so that the agent reads the whole name in one receive; the
// CR LF also makes an empty name something to receive.
template <class Io>
bool send_name(Io&& io, std::string_view name, std::string* error) {
  std::string framed(name);
  framed += "\r\n";
  if (!send_all(io, framed)) {
    say(error, std::string("cannot send the rendezvous name: ") + std::strerror(errno));
    return false;
  }
  return true;
}

struct fd_io {
  int fd;
  long long recv(void* buffer, std::size_t size, bool dontwait) { return socket_recv(fd, buffer, size, dontwait); }
  int poll(bool writable, int ms) { return socket_poll(fd, writable, ms); }
};

template <class Io>
rendezvous_answer await_on(Io& io, int timeout_ms, std::string* error) {
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  std::string answer;
  char chunk[64];
  while (answer.size() < 2) {
    int wait = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      wait = left < 0 ? 0 : static_cast<int>(left);
    }
    int n = io.poll(false, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      say(error, std::string("waiting for the answer failed: ") + std::strerror(errno));
      return rendezvous_answer::failed;
    }
    if (n == 0) {
      say(error, "no answer in time");
      return rendezvous_answer::failed;
    }
    // TLS: a record that held no data leaves EAGAIN.
    long long got = io.recv(chunk, sizeof chunk, true);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) {
      say(error, std::string("connection failed: ") + std::strerror(errno));
      return rendezvous_answer::failed;
    }
    if (got == 0) {
      say(error, answer.empty() ? "connection closed without an answer"
                                : "connection closed after \"" + answer + "\"");
      return rendezvous_answer::failed;
    }
    answer.append(chunk, static_cast<std::size_t>(got));
  }
  if (answer == "Ok") return rendezvous_answer::ok;
  if (answer == "Ko") return rendezvous_answer::ko;
  say(error, "unexpected answer \"" + answer + "\"");
  return rendezvous_answer::failed;
}

}  // namespace

socket_fd join_rendezvous(int port, std::string_view name, std::string* error) {
  if (!usable_name(name, error)) return socket_fd();
  socket_fd s = connect_tcp("localhost", port, kConnectMs, error);
  if (!s.valid()) return s;
  if (!send_name(s.get(), name, error)) return socket_fd();
  return s;
}

stream join_rendezvous(const std::string& host, int port, std::string_view name, const tls_client* tls,
                       std::string* error) {
  if (!usable_name(name, error)) return stream();
  stream s = connect_stream(host, port, kConnectMs, tls, host, error);
  if (!s.valid()) return s;
  if (!send_name(s, name, error)) return stream();
  return s;
}

rendezvous_answer await_rendezvous(int fd, int timeout_ms, std::string* error) {
  fd_io io{fd};
  return await_on(io, timeout_ms, error);
}

rendezvous_answer await_rendezvous(stream& s, int timeout_ms, std::string* error) {
  rendezvous_answer answer = await_on(s, timeout_ms, error);
  if (answer == rendezvous_answer::failed && !s.error().empty()) say(error, "TLS: " + s.error());
  return answer;
}

rendezvous_answer wait_rendezvous(int port, std::string_view name, int timeout_ms, std::string* error) {
  socket_fd s = join_rendezvous(port, name, error);
  if (!s.valid()) return rendezvous_answer::failed;
  return await_rendezvous(s.get(), timeout_ms, error);
}

rendezvous_answer wait_rendezvous(const std::string& host, int port, std::string_view name, const tls_client* tls,
                                  int timeout_ms, std::string* error) {
  stream s = join_rendezvous(host, port, name, tls, error);
  if (!s.valid()) return rendezvous_answer::failed;
  return await_rendezvous(s, timeout_ms, error);
}

}  // namespace studio
