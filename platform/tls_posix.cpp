// TLS through OpenSSL 3. Sessions read and write the socket themselves (a
// socket BIO on the non-blocking descriptor); every call returns at once,
// and SSL_get_error says which side of the socket it waits for.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/tls.h"

struct plat_tls_server {
  SSL_CTX* ctx = nullptr;
  bool verifies_clients = false;
  ~plat_tls_server() { SSL_CTX_free(ctx); }
};

struct plat_tls_session {
  SSL* ssl = nullptr;
  ~plat_tls_session() { SSL_free(ssl); }
};

void plat_tls_server_deleter::operator()(plat_tls_server* server) const { std::unique_ptr<plat_tls_server> owned(server); }
void plat_tls_session_deleter::operator()(plat_tls_session* session) const {
  std::unique_ptr<plat_tls_session> owned(session);
}

namespace {

struct bio_free {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct x509_free {
  void operator()(X509* x) const { X509_free(x); }
};
struct pkey_free {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct names_free {
  void operator()(GENERAL_NAMES* n) const { GENERAL_NAMES_free(n); }
};
using bio_ptr = std::unique_ptr<BIO, bio_free>;
using x509_ptr = std::unique_ptr<X509, x509_free>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;
using names_ptr = std::unique_ptr<GENERAL_NAMES, names_free>;

bio_ptr memory(const std::string& bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return nullptr;
  return bio_ptr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// OpenSSL's reasons queued on this thread, the oldest first, and the queue
// emptied: one line of text.
std::string queued_reasons() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    const char* reason = ERR_reason_error_string(code);
    if (!text.empty()) text += "; ";
    text += reason != nullptr ? reason : line;
  }
  return text;
}

void set_why(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

// Every certificate of a PEM text, in its order; the reason when one is
// broken.
bool read_certificates(const std::string& pem, std::vector<x509_ptr>& out, std::string* why) {
  bio_ptr bio = memory(pem);
  if (!bio) return set_why(why, "out of memory"), false;
  for (;;) {
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (cert == nullptr) break;
    out.emplace_back(cert);
  }
  // The end of the text is the expected end of the loop; anything else is
  // a broken certificate.
  unsigned long last = ERR_peek_last_error();
  if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE && !out.empty()) {
    ERR_clear_error();
    return true;
  }
  std::string reasons = queued_reasons();
  set_why(why, out.empty() && reasons.find("no start line") != std::string::npos ? "no certificate in it"
                                                                                   : reasons);
  return false;
}

// Whether the identity rule takes `name`.
bool usable_identity(std::string_view name) {
  if (name.empty() || name.size() > PLAT_TLS_IDENTITY_MAX) return false;
  for (unsigned char c : name)
    if (c < 0x21 || c == 0x7f) return false;
  return true;
}

std::optional<std::string> identity_of(X509* cert) {
  if (cert == nullptr) return std::nullopt;
  names_ptr names(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  if (names) {
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
      if (name->type != GEN_EMAIL && name->type != GEN_URI) continue;
      const ASN1_IA5STRING* text = name->type == GEN_EMAIL ? name->d.rfc822Name : name->d.uniformResourceIdentifier;
      std::string value(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                        static_cast<std::size_t>(ASN1_STRING_length(text)));
      if (!usable_identity(value)) return std::nullopt;
      return value;
    }
  }
  const X509_NAME* subject = X509_get_subject_name(cert);
  int last = -1;
  for (int at = -1; (at = X509_NAME_get_index_by_NID(subject, NID_commonName, at)) >= 0;) last = at;
  if (last < 0) return std::nullopt;
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, last));
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, data);
  if (length < 0) return std::nullopt;
  std::string value(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  if (!usable_identity(value)) return std::nullopt;
  return value;
}

// Why a handshake failed: the certificate's verification first (what a
// user can act on), then OpenSSL's reasons, then the system's.
std::string handshake_reason(SSL* ssl, int error) {
  std::string reasons = queued_reasons();
  const long verified = SSL_get_verify_result(ssl);
  if (verified != X509_V_OK)
    return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
  if (!reasons.empty()) return reasons;
  if (error == SSL_ERROR_SYSCALL && errno != 0) return std::strerror(errno);
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) return "the peer closed the connection";
  return "TLS failure";
}

plat_tls_result outcome(SSL* ssl, int rc, std::string* why, bool handshake) {
  const int error = SSL_get_error(ssl, rc);
  switch (error) {
    case SSL_ERROR_WANT_READ:
      return plat_tls_result::want_read;
    case SSL_ERROR_WANT_WRITE:
      return plat_tls_result::want_write;
    case SSL_ERROR_ZERO_RETURN:
      if (!handshake) {
        ERR_clear_error();
        return plat_tls_result::closed;
      }
      [[fallthrough]];
    default:
      set_why(why, handshake ? handshake_reason(ssl, error) : [&] {
        std::string reasons = queued_reasons();
        if (!reasons.empty()) return reasons;
        if (error == SSL_ERROR_SYSCALL && errno != 0) return std::string(std::strerror(errno));
        return std::string("the connection ended without the end of the TLS session");
      }());
      return plat_tls_result::failed;
  }
}

}  // namespace

bool PLATtls_available() { return true; }

plat_tls_server_ptr PLATtls_server(const plat_tls_material& material, std::string* why) {
  ERR_clear_error();
  plat_tls_server_ptr server(std::make_unique<plat_tls_server>().release());
  server->ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX* ctx = server->ctx;
  if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
    set_why(why, "no TLS 1.3 context: " + queued_reasons());
    return nullptr;
  }
  // No resumption: every connection proves its certificate again, and no
  // session ticket follows the handshake.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  // The output queues move and resend what a write did not take.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  std::vector<x509_ptr> chain;
  std::string reason;
  if (!read_certificates(material.cert, chain, &reason)) {
    set_why(why, "certificate: " + reason);
    return nullptr;
  }
  if (SSL_CTX_use_certificate(ctx, chain[0].get()) != 1) {
    set_why(why, "certificate: " + queued_reasons());
    return nullptr;
  }
  for (std::size_t i = 1; i < chain.size(); ++i)
    if (SSL_CTX_add1_chain_cert(ctx, chain[i].get()) != 1) {
      set_why(why, "certificate chain: " + queued_reasons());
      return nullptr;
    }
  bio_ptr key_text = memory(material.key);
  pkey_ptr key(key_text ? PEM_read_bio_PrivateKey(key_text.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    std::string reasons = queued_reasons();
    set_why(why, "key: " + (reasons.find("no start line") != std::string::npos ? "no private key in it" : reasons));
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    set_why(why, "key: " + queued_reasons());
    return nullptr;
  }
  if (!material.ca.empty()) {
    std::vector<x509_ptr> cas;
    if (!read_certificates(material.ca, cas, &reason)) {
      set_why(why, "client CA bundle: " + reason);
      return nullptr;
    }
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    for (const x509_ptr& ca : cas)
      if (X509_STORE_add_cert(store, ca.get()) != 1 || SSL_CTX_add_client_CA(ctx, ca.get()) != 1) {
        set_why(why, "client CA bundle: " + queued_reasons());
        return nullptr;
      }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    server->verifies_clients = true;
  }
  return server;
}

bool PLATtls_verifies_clients(const plat_tls_server& server) { return server.verifies_clients; }

plat_tls_session_ptr PLATtls_accept(plat_tls_server& server, int socket, std::string* why) {
  ERR_clear_error();
  plat_tls_session_ptr session(std::make_unique<plat_tls_session>().release());
  session->ssl = SSL_new(server.ctx);
  if (session->ssl == nullptr || SSL_set_fd(session->ssl, socket) != 1) {
    set_why(why, queued_reasons());
    return nullptr;
  }
  SSL_set_accept_state(session->ssl);
  return session;
}

plat_tls_result PLATtls_handshake(plat_tls_session& session, std::string* why) {
  ERR_clear_error();
  errno = 0;
  const int rc = SSL_do_handshake(session.ssl);
  if (rc == 1) return plat_tls_result::done;
  return outcome(session.ssl, rc, why, true);
}

plat_tls_result PLATtls_read(plat_tls_session& session, void* buffer, std::size_t size, std::size_t* got,
                             std::string* why) {
  ERR_clear_error();
  errno = 0;
  *got = 0;
  if (SSL_read_ex(session.ssl, buffer, size, got) == 1) return plat_tls_result::done;
  return outcome(session.ssl, 0, why, false);
}

plat_tls_result PLATtls_write(plat_tls_session& session, const void* data, std::size_t size, std::size_t* put,
                              std::string* why) {
  ERR_clear_error();
  errno = 0;
  *put = 0;
  if (size == 0) return plat_tls_result::done;
  if (SSL_write_ex(session.ssl, data, size, put) == 1) return plat_tls_result::done;
  return outcome(session.ssl, 0, why, false);
}

bool PLATtls_pending(const plat_tls_session& session) { return SSL_pending(session.ssl) > 0; }

void PLATtls_shutdown(plat_tls_session& session) {
  // Only after a handshake that ended, and only once.
  if (!SSL_is_init_finished(session.ssl) || (SSL_get_shutdown(session.ssl) & SSL_SENT_SHUTDOWN) != 0) return;
  SSL_shutdown(session.ssl);
  ERR_clear_error();
}

std::optional<std::string> PLATtls_peer_identity(const plat_tls_session& session) {
  return identity_of(SSL_get0_peer_certificate(session.ssl));
}

std::string PLATtls_peer_key(const plat_tls_session& session) {
  X509* cert = SSL_get0_peer_certificate(session.ssl);
  EVP_PKEY* key = cert != nullptr ? X509_get0_pubkey(cert) : nullptr;
  if (key == nullptr) return {};
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key, &der);
  if (length <= 0) return {};
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

std::optional<std::string> PLATtls_identity_of_pem(const std::string& pem) {
  std::vector<x509_ptr> certs;
  if (!read_certificates(pem, certs, nullptr)) return std::nullopt;
  return identity_of(certs[0].get());
}
