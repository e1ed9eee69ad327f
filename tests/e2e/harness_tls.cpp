// The TLS studio of the end-to-end tests: OpenSSL on a non-blocking socket,
// each call driven by poll until a deadline.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "tls_studio.h"

namespace e2e {

using clock_type = std::chrono::steady_clock;

test_certs::test_certs() {
  const std::string command = std::string("sh ") + KVS_SOURCE_DIR + "/tests/tls/make-certs.sh " + dir_.path();
  made_ = std::system(command.c_str()) == 0 && file_exists(pem("stranger"));
}

const test_certs& test_certs::get() {
  static const test_certs certs;
  return certs;
}

tls_options studio_options(const std::string& name) {
  const test_certs& certs = test_certs::get();
  tls_options options;
  options.ca = certs.pem("ca");
  if (!name.empty()) {
    options.cert = certs.pem(name);
    options.key = certs.key(name);
  }
  return options;
}

struct tls_connection::impl {
  studio::socket_fd fd;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  std::string buffered;  // read and not yet taken as lines
  bool ended = false;
  ~impl() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }

  // Runs `op` until it succeeds (true), fails or the deadline passes.
  template <class Op>
  bool drive(Op op, clock_type::time_point deadline, int* error = nullptr) {
    for (;;) {
      ERR_clear_error();
      int rc = op();
      if (rc > 0) return true;
      int e = SSL_get_error(ssl, rc);
      if (error != nullptr) *error = e;
      short events;
      if (e == SSL_ERROR_WANT_READ)
        events = POLLIN;
      else if (e == SSL_ERROR_WANT_WRITE)
        events = POLLOUT;
      else
        return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
      if (left <= 0) return false;
      pollfd p{fd.get(), events, 0};
      if (::poll(&p, 1, static_cast<int>(left)) < 0) return false;
    }
  }
};

tls_connection::tls_connection(opening) {}
tls_connection::~tls_connection() = default;

namespace {

std::string reasons() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

}  // namespace

std::unique_ptr<tls_connection> tls_connection::open(int port, const tls_options& options, std::string* error,
                                                     int timeout_ms) {
  const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  std::string ignored;
  std::string& why = error != nullptr ? *error : ignored;
  auto c = std::make_unique<tls_connection>(tls_connection::opening{});
  c->impl_ = std::make_unique<impl>();
  impl& i = *c->impl_;
  i.fd = connect_local(port, timeout_ms);
  if (!i.fd.valid()) return why = "no connection", nullptr;
  ::fcntl(i.fd.get(), F_SETFL, ::fcntl(i.fd.get(), F_GETFL) | O_NONBLOCK);
  i.ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(i.ctx, TLS1_3_VERSION);
  if (!options.ca.empty()) {
    if (SSL_CTX_load_verify_locations(i.ctx, options.ca.c_str(), nullptr) != 1) return why = reasons(), nullptr;
    SSL_CTX_set_verify(i.ctx, SSL_VERIFY_PEER, nullptr);
  }
  if (!options.cert.empty() && (SSL_CTX_use_certificate_chain_file(i.ctx, options.cert.c_str()) != 1 ||
                                SSL_CTX_use_PrivateKey_file(i.ctx, options.key.c_str(), SSL_FILETYPE_PEM) != 1))
    return why = reasons(), nullptr;
  i.ssl = SSL_new(i.ctx);
  SSL_set_fd(i.ssl, i.fd.get());
  if (!options.ca.empty()) SSL_set1_host(i.ssl, options.host.c_str());
  int e = 0;
  if (!i.drive([&] { return SSL_connect(i.ssl); }, deadline, &e)) {
    why = reasons();
    if (why.empty()) why = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? "timed out" : "connection ended";
    return nullptr;
  }
  // In TLS 1.3 a client certificate the server refuses is only known once
  // the server has read it: its alert comes with the first read.
  return c;
}

bool tls_connection::send(std::string_view bytes) {
  const auto deadline = clock_type::now() + std::chrono::milliseconds(kReplyMs * 6);
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t put = 0;
    if (!impl_->drive([&] { return SSL_write_ex(impl_->ssl, bytes.data() + at, bytes.size() - at, &put); }, deadline))
      return false;
    at += put;
  }
  return true;
}

std::optional<std::string> tls_connection::read_line(int timeout_ms) {
  impl& i = *impl_;
  const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::size_t end = i.buffered.find("\r\n");
    if (end != std::string::npos) {
      std::string line = i.buffered.substr(0, end);
      i.buffered.erase(0, end + 2);
      return line;
    }
    if (i.ended) return std::nullopt;
    char chunk[4096];
    std::size_t got = 0;
    if (!i.drive([&] { return SSL_read_ex(i.ssl, chunk, sizeof chunk, &got); }, deadline)) {
      i.ended = clock_type::now() < deadline;
      return std::nullopt;
    }
    i.buffered.append(chunk, got);
  }
}

std::string tls_connection::command(const std::string& line) {
  if (!send(line + "\r\n")) return "<none>";
  return read_line().value_or("<none>");
}

bool tls_connection::read_all(std::string* out, int timeout_ms) {
  impl& i = *impl_;
  const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  out->swap(i.buffered);
  i.buffered.clear();
  for (;;) {
    char chunk[65536];
    std::size_t got = 0;
    int e = 0;
    if (!i.drive([&] { return SSL_read_ex(i.ssl, chunk, sizeof chunk, &got); }, deadline, &e))
      return e == SSL_ERROR_ZERO_RETURN;
    out->append(chunk, got);
  }
}

bool tls_connection::ends_within(int timeout_ms) {
  impl& i = *impl_;
  const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[256];
  std::size_t got = 0;
  int e = 0;
  while (i.drive([&] { return SSL_read_ex(i.ssl, chunk, sizeof chunk, &got); }, deadline, &e)) {
  }
  return e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE;
}

void tls_connection::finish() {
  impl& i = *impl_;
  const auto deadline = clock_type::now() + std::chrono::milliseconds(kReplyMs);
  // One call sends the end; the peer's answer is not waited for.
  i.drive([&] { return SSL_shutdown(i.ssl) >= 0 ? 1 : -1; }, deadline);
  i.fd.reset();
}

std::string tls_connection::server_key() const {
  X509* cert = SSL_get0_peer_certificate(impl_->ssl);
  if (cert == nullptr) return {};
  unsigned char* der = nullptr;
  int length = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
  if (length <= 0) return {};
  std::string key(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return key;
}

std::unique_ptr<tls_connection> tls_admitted(int port, const tls_options& options, const std::string& user,
                                             std::string* error) {
  std::unique_ptr<tls_connection> c = tls_connection::open(port, options, error);
  if (!c) return nullptr;
  std::optional<std::string> greeting = c->read_line();
  if (!greeting || greeting->rfind("210", 0) != 0) {
    if (error != nullptr) *error = "greeting: " + greeting.value_or("<none>");
    return nullptr;
  }
  std::string reply = c->command("Qim " + user);
  if (reply.rfind("310", 0) != 0) {
    if (error != nullptr) *error = "Qim: " + reply;
    return nullptr;
  }
  return c;
}

tls_daemon::tls_daemon(const std::string& rules, bool mutual, const std::map<std::string, std::string>& env) {
  const test_certs& certs = test_certs::get();
  if (!certs.made()) return;
  write_file(dir_.file("kvsagtd.ini"), rules);
  write_file(cert_path(), read_file(certs.pem("agent")));
  write_file(key_path(), read_file(certs.key("agent")));
  agent_options options;
  options.env = env;
  options.env["KVS_DIR"] = dir_.path();
  options.env["KVS_ACCEPT_PAUSE_MS"] = "0";
  options.env["KVS_TLS_CERT"] = cert_path();
  options.env["KVS_TLS_KEY"] = key_path();
  if (mutual) options.env["KVS_TLS_CLIENT_CA"] = certs.pem("ca");
  options.cwd = dir_.path();
  ready_ = start_daemon(options, process_, port_);
}

bool tls_daemon::log_has(const std::string& text, int timeout_ms) const {
  return eventually([&] { return log().find(text) != std::string::npos; }, timeout_ms);
}

}  // namespace e2e
