#include "client/dynfollow.h"
#include "support/protocol/numbers.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace dynfollow {

using clock = std::chrono::steady_clock;

int port_from_env() {
  const char* text = std::getenv(kPortVariable);
  if (text == nullptr || *text == '\0') return -1;
  return static_cast<int>(protocol::parse_digits(text, 1, 65535).value_or(-1));
}

std::optional<answer> take_answer(std::string& received, bool closed) {
  auto status = [](std::string_view two) -> std::optional<answer> {
    if (two == "Ok") return answer{answer_kind::ok, "Ok"};
    if (two == "Ko") return answer{answer_kind::ko, "Ko"};
    return std::nullopt;
  };
  if (received.size() == 2 || (closed && received.size() >= 2)) {
    if (std::optional<answer> found = status(std::string_view(received).substr(0, 2))) {
      received.erase(0, 2);
      return found;
    }
  }
  std::size_t end = received.find("\r\n");
  if (end == std::string::npos) return std::nullopt;
  answer line{answer_kind::text, received.substr(0, end)};
  received.erase(0, end + 2);
  return line;
}

bool tester::connect(const std::string& host, int port, int timeout_ms, std::string* error) {
  return connect(host, port, timeout_ms, nullptr, error);
}

bool tester::connect(const std::string& host, int port, int timeout_ms, const studio::tls_client* tls,
                     std::string* error) {
  fd_ = studio::connect_stream(host, port, timeout_ms, tls, host, error);
  received_.clear();
  eof_ = false;
  return fd_.valid();
}

bool tester::boot(std::string_view text, int gap_ms) {
  if (!studio::send_all(fd_, text)) return false;
  // Bytes not yet acknowledged by the agent's host; bounded, as a stalled
  // peer must not stop the tester.
  auto deadline = clock::now() + std::chrono::seconds(5);
  int unacknowledged = 0;
  while ((unacknowledged = studio::socket_unacknowledged(fd_.fd())) > 0 && clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (gap_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
  return true;
}

bool tester::send_line(std::string_view line) {
  std::string framed(line);
  framed += "\r\n";
  return studio::send_all(fd_, framed);
}

std::optional<answer> tester::wait_answer(int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  char chunk[4096];
  for (;;) {
    if (std::optional<answer> found = take_answer(received_, eof_)) return found;
    if (eof_ || !fd_.valid()) return std::nullopt;
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0) return std::nullopt;
      wait_ms = static_cast<int>(left);
    }
    int n = fd_.poll(false, wait_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) continue;  // the deadline is checked above
    // TLS: a record that held no data leaves EAGAIN.
    long long got = fd_.recv(chunk, sizeof chunk, true);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      eof_ = true;
      continue;
    }
    received_.append(chunk, static_cast<std::size_t>(got));
  }
}

}  // namespace dynfollow
