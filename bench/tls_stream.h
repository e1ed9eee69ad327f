// The benchmark driver's own TLS studio: a blocking TLS 1.3 connection with
// one cipher suite, the agent's certificate checked against a CA and the
// host, a client certificate presented. Enough for command lines and for the
// data connection of PUTF and GETF; the studio tools have their own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/ssl.h>

#include "client/studio.h"

namespace bench {

// The one suite every TLS figure uses, the driver's and socat's alike (the
// one both pick by default in OpenSSL 3).
inline constexpr const char* kTlsSuite = "TLS_AES_256_GCM_SHA384";

// A client context: TLS 1.3 only, kTlsSuite only, the agent verified
// against `ca`, `cert` and `key` presented (none when both are empty).
class tls_client {
 public:
  bool load(const std::string& ca, const std::string& cert, const std::string& key, std::string* error);
  SSL_CTX* get() const { return ctx_.get(); }

 private:
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx_{nullptr, SSL_CTX_free};
};

class tls_stream {
 public:
  tls_stream() = default;
  tls_stream(const tls_stream&) = delete;
  tls_stream& operator=(const tls_stream&) = delete;
  ~tls_stream() { close(); }

  // Connects to the numeric `host` and runs the handshake, the agent's
  // certificate checked for that address; every later send and receive
  // waits at most `timeout_ms`. False with OpenSSL's reason in *error.
  bool open(const tls_client& client, const std::string& host, int port, int timeout_ms, std::string* error);
  bool write_all(std::string_view bytes);
  // One receive: the bytes, 0 at the end of the stream, -1 on failure or time-out.
  long read_some(char* buffer, std::size_t size);
  bool send_line(std::string_view line) { return write_all(std::string(line) + "\r\n"); }
  std::optional<std::string> read_line();
  std::optional<std::string> read_until(std::string_view prefix);
  std::optional<std::string> command(std::string_view line) {
    if (!send_line(line)) return std::nullopt;
    return read_line();
  }
  // The suite the handshake chose.
  std::string suite() const;
  // The end of the stream: close_notify, then the socket closed.
  void close();

 private:
  studio::socket_fd socket_;
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, SSL_free};
  std::string pending_;
  std::size_t scan_ = 0;
};

}  // namespace bench
