#include "bench/tls_stream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>


namespace bench {

namespace {

std::string openssl_reason() {
  unsigned long code = ERR_get_error();
  if (code == 0) return "no reason given";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

bool tls_client::load(const std::string& ca, const std::string& cert, const std::string& key, std::string* error) {
  ctx_.reset(SSL_CTX_new(TLS_client_method()));
  bool ok = ctx_ != nullptr && SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_3_VERSION) == 1 &&
            SSL_CTX_set_max_proto_version(ctx_.get(), TLS1_3_VERSION) == 1 &&
            SSL_CTX_set_ciphersuites(ctx_.get(), kTlsSuite) == 1 &&
            SSL_CTX_load_verify_locations(ctx_.get(), ca.c_str(), nullptr) == 1;
  if (ok && !cert.empty())
    ok = SSL_CTX_use_certificate_chain_file(ctx_.get(), cert.c_str()) == 1 &&
         SSL_CTX_use_PrivateKey_file(ctx_.get(), key.c_str(), SSL_FILETYPE_PEM) == 1;
  if (!ok) {
    *error = openssl_reason();
    ctx_.reset();
    return false;
  }
  SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
  return true;
}

bool tls_stream::open(const tls_client& client, const std::string& host, int port, int timeout_ms,
                      std::string* error) {
  close();
  socket_ = studio::connect_tcp(host, port, timeout_ms, error);
  if (!socket_.valid()) return false;
  const int fd = socket_.get();
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ssl_.reset(SSL_new(client.get()));
  if (!ssl_ || SSL_set_fd(ssl_.get(), fd) != 1 ||
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), host.c_str()) != 1 || SSL_connect(ssl_.get()) != 1) {
    *error = openssl_reason();
    close();
    return false;
  }
  return true;
}

bool tls_stream::write_all(std::string_view bytes) {
  if (!ssl_) return false;
  while (!bytes.empty()) {
    std::size_t written = 0;
    if (SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written) != 1) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

long tls_stream::read_some(char* buffer, std::size_t size) {
  if (!ssl_) return -1;
  std::size_t got = 0;
  if (SSL_read_ex(ssl_.get(), buffer, size, &got) == 1) return static_cast<long>(got);
  int reason = SSL_get_error(ssl_.get(), 0);
  return reason == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

std::optional<std::string> tls_stream::read_line() {
  char chunk[16384];
  for (;;) {
    std::size_t at = pending_.find("\r\n", scan_);
    if (at != std::string::npos) {
      std::string line = pending_.substr(0, at);
      pending_.erase(0, at + 2);
      scan_ = 0;
      return line;
    }
    scan_ = pending_.empty() ? 0 : pending_.size() - 1;
    long n = read_some(chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    pending_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> tls_stream::read_until(std::string_view prefix) {
  for (;;) {
    std::optional<std::string> line = read_line();
    if (!line || line->rfind(prefix, 0) == 0) return line;
  }
}

std::string tls_stream::suite() const {
  const SSL_CIPHER* cipher = ssl_ ? SSL_get_current_cipher(ssl_.get()) : nullptr;
  return cipher == nullptr ? "" : SSL_CIPHER_get_name(cipher);
}

void tls_stream::close() {
  if (ssl_) SSL_shutdown(ssl_.get());
  ssl_.reset();
  socket_.reset();
  pending_.clear();
  scan_ = 0;
}

}  // namespace bench
