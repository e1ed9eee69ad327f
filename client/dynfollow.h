// The tester side of dynamic follow: a program launched by the agent finds
// the agent's dynamic-follow port in KVS_PORT_TSTAGT, connects, sends a boot
// message and then CR LF lines that the agent relays to the studio, and reads
// the studio's answers: "Ok" or "Ko" (two bytes, no line end) or a text line
// ended by CR LF.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "client/studio.h"

namespace dynfollow {

constexpr const char* kPortVariable = "KVS_PORT_TSTAGT";

// The port named by KVS_PORT_TSTAGT; -1 when it is unset or no port number.
int port_from_env();

enum class answer_kind { ok, ko, text };

struct answer {
  answer_kind kind = answer_kind::text;
  std::string text;  // "Ok", "Ko", or the text line without its CR LF
};

// Finds the answer at the front of what the agent sent so far and removes it.
// "Ok" and "Ko" are answers when they are all there is (the agent sends each
// answer in one piece); otherwise an answer is a line up to CR LF. With
// `closed` (nothing more will come) a leading "Ok" or "Ko" is taken as it is.
std::optional<answer> take_answer(std::string& received, bool closed);

// One tester connection.
class tester {
 public:
  bool connect(const std::string& host, int port, int timeout_ms, std::string* error = nullptr);
  // Over TLS with `tls` (a tester on another host), the agent's certificate
  // verified against `host`.
  bool connect(const std::string& host, int port, int timeout_ms, const studio::tls_client* tls, std::string* error);
  int fd() const { return fd_.fd(); }
  // Sends the boot message as it is. The agent takes the first data it reads
  // as the whole boot message, so this then waits until the agent's host has
  // acknowledged it and gap_ms more, for lines sent next to be read apart.
  bool boot(std::string_view text, int gap_ms);
  // Sends the line followed by CR LF.
  bool send_line(std::string_view line);
  // The studio's next answer; none when the agent closed the connection or
  // timeout_ms (negative: no limit) passed first.
  std::optional<answer> wait_answer(int timeout_ms);
  bool peer_closed() const { return eof_; }
  void close() { fd_.reset(); }

 private:
  studio::stream fd_;
  std::string received_;
  bool eof_ = false;
};

}  // namespace dynfollow
