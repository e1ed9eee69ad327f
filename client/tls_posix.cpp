// The studio side's TLS with OpenSSL 3. A TLS stream's socket is
// non-blocking for its whole life: a receive that finds only a handshake
// message (a session ticket) returns EAGAIN instead of waiting, and the
// waits of a blocking send or receive are polls of the socket in the
// direction OpenSSL asks for.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "client/tls.h"

namespace studio {

namespace {

using clock = std::chrono::steady_clock;

struct ctx_deleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

// The reasons OpenSSL queued, the last one first, joined; `fallback` when none.
std::string queued_reason(const std::string& fallback) {
  std::string text;
  for (unsigned long code; (code = ERR_get_error()) != 0;) {
    const char* reason = ERR_reason_error_string(code);
    std::string one = reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(code));
    text = text.empty() ? one : one + ": " + text;
  }
  return text.empty() ? fallback : text;
}

int remaining_ms(clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

int wait_fd(int fd, bool writable, int ms) {
  pollfd p{fd, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
  for (;;) {
    int n = ::poll(&p, 1, ms);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : n > 0 ? 1 : 0;
  }
}

bool is_address(const std::string& name) {
  unsigned char buffer[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, name.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

}  // namespace

class tls_client {
 public:
  explicit tls_client(SSL_CTX* ctx) : ctx_(ctx) {}
  SSL_CTX* get() const { return ctx_.get(); }

 private:
  std::unique_ptr<SSL_CTX, ctx_deleter> ctx_;
};

struct tls_session {
  SSL* ssl = nullptr;
  bool failed = false;        // a fatal error: no close_notify may follow
  bool sent_shutdown = false;
  bool ended = false;         // the peer's close_notify came
  ~tls_session() { SSL_free(ssl); }
};

void tls_session_deleter::operator()(tls_session* session) const { delete session; }

std::shared_ptr<const tls_client> make_tls_client(const tls_files& files, std::string* error) {
  auto fail = [&](const std::string& what) -> std::shared_ptr<const tls_client> {
    if (error != nullptr) *error = what + ": " + queued_reason("unknown error");
    return nullptr;
  };
  ERR_clear_error();
  if (files.ca_file.empty()) {
    if (error != nullptr) *error = "no CA file to verify the agent's certificate with";
    return nullptr;
  }
  if (files.cert_file.empty() != files.key_file.empty()) {
    if (error != nullptr) *error = "a certificate needs its key, and a key its certificate";
    return nullptr;
  }
  SSL_CTX* raw = SSL_CTX_new(TLS_client_method());
  if (raw == nullptr) return fail("cannot make a TLS context");
  auto client = std::make_shared<tls_client>(raw);
  SSL_CTX* ctx = client->get();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 || SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1)
    return fail("cannot limit TLS to version 1.3");
  if (SSL_CTX_load_verify_locations(ctx, files.ca_file.c_str(), nullptr) != 1)
    return fail("cannot load the CA file " + files.ca_file);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (!files.cert_file.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx, files.cert_file.c_str()) != 1)
      return fail("cannot load the certificate " + files.cert_file);
    if (SSL_CTX_use_PrivateKey_file(ctx, files.key_file.c_str(), SSL_FILETYPE_PEM) != 1)
      return fail("cannot load the key " + files.key_file);
    if (SSL_CTX_check_private_key(ctx) != 1)
      return fail("the key " + files.key_file + " does not match the certificate " + files.cert_file);
  }
  // A send may take part of a buffer and be retried from a moved one, as
  // with a plain socket.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return client;
}

stream stream::tls(socket_fd fd, const tls_client& client, const std::string& name, int timeout_ms,
                   std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return stream();
  };
  if (!fd.valid()) return fail("no connection");
  ERR_clear_error();
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return fail(std::strerror(errno));
  tls_session_ptr session(new tls_session);
  session->ssl = SSL_new(client.get());
  if (session->ssl == nullptr) return fail(queued_reason("cannot make a TLS session"));
  SSL* ssl = session->ssl;
  bool set = SSL_set_fd(ssl, fd.get()) == 1;
  if (is_address(name)) {
    set = set && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1;
  } else {
    set = set && SSL_set1_host(ssl, name.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, name.c_str()) == 1;
  }
  if (!set) return fail(queued_reason("cannot set the name to verify, " + name));
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int rc = SSL_connect(ssl);
    if (rc == 1) break;
    int why = SSL_get_error(ssl, rc);
    if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
      int ready = wait_fd(fd.get(), why == SSL_ERROR_WANT_WRITE, remaining_ms(deadline));
      if (ready > 0) continue;
      if (ready == 0) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g s", timeout_ms / 1000.0);
        return fail(std::string("no handshake within ") + limit);
      }
      return fail(std::strerror(errno));
    }
    long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK) {
      ERR_clear_error();
      return fail(std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified));
    }
    if (why == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
      return fail(errno == 0 ? std::string("the agent closed the connection during the handshake")
                             : std::string(std::strerror(errno)));
    return fail(queued_reason("handshake failed"));
  }
  stream made(std::move(fd));
  made.tls_ = std::move(session);
  return made;
}

namespace {

// What a failed TLS call means for the caller: -1 with errno, and the text.
long long tls_failure(tls_session& session, int rc, std::string& error) {
  int why = SSL_get_error(session.ssl, rc);
  if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
    errno = EAGAIN;
    return -1;
  }
  session.failed = true;
  if (why == SSL_ERROR_SYSCALL) {
    error = queued_reason(errno == 0 ? "the connection ended" : std::strerror(errno));
    if (errno == 0) errno = ECONNRESET;
    return -1;
  }
  unsigned long code = ERR_peek_last_error();
  error = queued_reason("TLS failure");
  errno = ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING ? ECONNRESET : EPROTO;
  return -1;
}

}  // namespace

long long stream::send(const void* data, std::size_t size, bool dontwait) {
  if (!tls_) return socket_send(fd_.get(), data, size, dontwait);
  if (tls_->failed || tls_->sent_shutdown) {
    errno = EPIPE;
    return -1;
  }
  if (size == 0) return 0;
  for (;;) {
    ERR_clear_error();
    std::size_t written = 0;
    int rc = SSL_write_ex(tls_->ssl, data, size, &written);
    if (rc == 1) return static_cast<long long>(written);
    int why = SSL_get_error(tls_->ssl, rc);
    long long failed = tls_failure(*tls_, rc, error_);
    if (failed < 0 && errno != EAGAIN) return failed;
    if (dontwait) return -1;
    if (wait_fd(fd_.get(), why == SSL_ERROR_WANT_WRITE, -1) < 0) return -1;
  }
}

long long stream::recv(void* buffer, std::size_t size, bool dontwait) {
  if (!tls_) return socket_recv(fd_.get(), buffer, size, dontwait);
  if (tls_->ended) return 0;
  if (tls_->failed) {
    errno = ECONNRESET;
    return -1;
  }
  auto* bytes = static_cast<char*>(buffer);
  std::size_t got = 0;
  // Records as long as they come without waiting, up to the buffer's size.
  while (got < size) {
    ERR_clear_error();
    std::size_t n = 0;
    int rc = SSL_read_ex(tls_->ssl, bytes + got, size - got, &n);
    if (rc == 1) {
      got += n;
      continue;
    }
    int why = SSL_get_error(tls_->ssl, rc);
    if (why == SSL_ERROR_ZERO_RETURN) {
      tls_->ended = true;
      break;
    }
    if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
      if (got > 0) break;
      if (dontwait) {
        errno = EAGAIN;
        return -1;
      }
      if (wait_fd(fd_.get(), why == SSL_ERROR_WANT_WRITE, -1) < 0) return -1;
      continue;
    }
    if (got > 0) {
      // The failure is told at the next receive, after these bytes.
      tls_failure(*tls_, rc, error_);
      break;
    }
    return tls_failure(*tls_, rc, error_);
  }
  return static_cast<long long>(got);
}

bool stream::pending() const { return tls_ && !tls_->failed && SSL_pending(tls_->ssl) > 0; }

int stream::poll(bool writable, int ms) {
  if (!writable && tls_ && (pending() || tls_->ended || tls_->failed)) return 1;
  return socket_poll(fd_.get(), writable, ms);
}

int stream::shutdown_write() {
  if (!tls_) return socket_shutdown_write(fd_.get());
  if (tls_->failed) {
    errno = EPIPE;
    return -1;
  }
  if (tls_->sent_shutdown) return 0;
  auto deadline = clock::now() + std::chrono::seconds(10);
  for (;;) {
    ERR_clear_error();
    int rc = SSL_shutdown(tls_->ssl);
    // 0: sent, the peer's has not come (its data still may).
    if (rc >= 0) break;
    int why = SSL_get_error(tls_->ssl, rc);
    if ((why == SSL_ERROR_WANT_WRITE || why == SSL_ERROR_WANT_READ) &&
        wait_fd(fd_.get(), why == SSL_ERROR_WANT_WRITE, remaining_ms(deadline)) > 0)
      continue;
    tls_->failed = true;
    error_ = queued_reason("cannot send close_notify");
    errno = EPIPE;
    return -1;
  }
  tls_->sent_shutdown = true;
  return 0;
}

void stream::abort() {
  if (!fd_.valid()) return;
  socket_reset_on_close(fd_.get());
  tls_.reset();
  fd_.reset();
}

void stream::reset() {
  if (tls_ && fd_.valid() && !tls_->failed && !tls_->sent_shutdown) {
    // One try: a peer that takes nothing more does not hold the close.
    ERR_clear_error();
    SSL_shutdown(tls_->ssl);
    ERR_clear_error();
  }
  tls_.reset();
  fd_.reset();
}

}  // namespace studio
