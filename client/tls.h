// TLS for the studio side: the client context (TLS 1.3 only, the agent's
// certificate verified against a CA file and the name connected to, an
// optional certificate and key of our own), and the sessions of one stream
// type that is plain or TLS, so that the command, data, trace and tester
// connections do not care which they are.
//
// The POSIX half uses OpenSSL 3; the Windows half builds no context and says
// that TLS is not available there.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "client/socket_io.h"

namespace studio {

// The files of a studio's TLS: PEM each. `ca_file` is required; the
// certificate and key go together (an agent that asks for a client
// certificate refuses a studio without one).
struct tls_files {
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
};

// A built client context, shared by every connection of a session (the
// side connections present the same certificate as the command connection).
class tls_client;
// Builds the context; null with the reason in `error` (a file that cannot
// be read or parsed, a key that does not match its certificate).
std::shared_ptr<const tls_client> make_tls_client(const tls_files& files, std::string* error);

// The TLS state of one connection (OpenSSL's), owned by a stream.
struct tls_session;
struct tls_session_deleter {
  void operator()(tls_session* session) const;
};
using tls_session_ptr = std::unique_ptr<tls_session, tls_session_deleter>;

// A connection to an agent: a socket alone, or a socket with a TLS session
// over it. One form for every connection of the studio side: a send or
// receive returns the bytes moved, 0 for a receive at the end of the stream,
// -1 with errno set (EINTR, EAGAIN, or another code: with TLS, ECONNRESET
// for an end of stream without the peer's close_notify, EPROTO for a TLS
// failure, whose text error() gives).
class stream {
 public:
  stream() = default;
  explicit stream(socket_fd fd) : fd_(std::move(fd)) {}
  stream(stream&&) noexcept = default;
  stream& operator=(stream&&) noexcept = default;
  ~stream() = default;

  // Runs the handshake over the connected socket `fd` within timeout_ms:
  // the agent's certificate must chain to the context's CA and carry `name`
  // (a DNS name, or an IPv4 or IPv6 address). An invalid stream, with the
  // reason in `error`, when it fails.
  static stream tls(socket_fd fd, const tls_client& client, const std::string& name, int timeout_ms,
                    std::string* error);

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  bool is_tls() const { return tls_ != nullptr; }

  // One send or receive; with `dontwait`, EAGAIN instead of waiting.
  long long send(const void* data, std::size_t size, bool dontwait);
  long long recv(void* buffer, std::size_t size, bool dontwait);
  // Bytes received and decrypted that a poll of the socket does not show:
  // a reader polls only when there are none.
  bool pending() const;
  // Waits at most ms (-1: no limit) until a receive (a send when `writable`)
  // can make progress: 1, 0 on time-out, -1 on failure. At once when
  // pending() holds.
  int poll(bool writable, int ms);
  // Ends our sending side (TLS: close_notify; the peer's data still comes).
  int shutdown_write();
  // Makes the close a reset, without close_notify: the peer does not take
  // what it received for a whole stream.
  void abort();
  // Closes; with TLS, after a close_notify when none was sent.
  void reset();
  // The last TLS failure's text (OpenSSL's reason); empty when none.
  const std::string& error() const { return error_; }

 private:
  socket_fd fd_;
  tls_session_ptr tls_;
  std::string error_;
};

// Connects to host:port and, with `client`, runs the handshake, verifying
// the agent's certificate against `verify_name` (the host when empty). Side
// connections go to the command connection's numeric peer address while
// their certificate is still checked against the name the studio was given.
stream connect_stream(const std::string& host, int port, int timeout_ms, const tls_client* client,
                      const std::string& verify_name = std::string(), std::string* error = nullptr);

}  // namespace studio
