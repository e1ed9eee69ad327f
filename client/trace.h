// The studio side of the trace port: the raw standard input, output and error
// of the programs an agent launches while trace is on. The agent adds no
// framing: what arrives is what the programs wrote, and what is written here
// is what they read.
#pragma once

#include <string>
#include <string_view>

#include "client/studio.h"

namespace studio {

class trace_connection {
 public:
  trace_connection() = default;
  explicit trace_connection(socket_fd fd) : fd_(std::move(fd)) {}
  explicit trace_connection(stream s) : fd_(std::move(s)) {}

  // Connects to the trace port that PORT returned (the agent accepts the
  // connection when it handles TRWA, before or after this call).
  bool open(const std::string& host, int port, int timeout_ms, std::string* error = nullptr);
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.fd(); }
  stream& io() { return fd_; }
  // Whether output waits inside the TLS layer, where a poll of fd() does
  // not see it.
  bool pending() const { return fd_.pending(); }

  // Writes to the programs' standard input.
  bool write(std::string_view bytes);
  // Ends the programs' standard input (they read end of file); their output
  // still arrives.
  bool close_input();
  // Reads the programs' output until `text` has arrived, the connection ended
  // or timeout_ms has passed. Returns everything up to and including `text`
  // (or all that arrived when it did not); what follows stays buffered.
  std::string read_until(std::string_view text, int timeout_ms);
  // Whatever arrives within timeout_ms of the last byte, the buffer included.
  std::string read_available(int timeout_ms);
  // Whether the agent and every program have closed their side.
  bool ended() const { return eof_; }
  void close() { fd_.reset(); }

 private:
  stream fd_;
  std::string pending_;
  bool eof_ = false;
};

// Asks the agent on `agent` for its trace port (PORT), connects to it on
// `host` and makes the agent accept the connection (TRWA). Call it while no
// notification is pending on the command connection: the next two lines must
// be the replies. An invalid connection, with the reason in `error`, when a
// reply was not the expected one or the connection failed.
//
// With `tls`, the trace connection speaks TLS with the command connection's
// certificate, verified against `verify_name` (`host` when empty): the
// handshake runs once TRWA is sent, as the agent accepts only then.
trace_connection establish_trace(connection& agent, const std::string& host, int timeout_ms,
                                 std::string* error = nullptr, const tls_client* tls = nullptr,
                                 const std::string& verify_name = std::string());

}  // namespace studio
