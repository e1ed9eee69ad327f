// tls: TLS 1.3 for the agent's connections. The material (certificate,
// key, the CA bundle of the studios' certificates: PEM bytes) becomes a
// server context; a session runs over one non-blocking socket, every call
// returning at once with what it needs next. The POSIX half is OpenSSL 3;
// the Windows half has no TLS yet and says so on every call.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What a server context is built from, as read from the files.
struct plat_tls_material {
  std::string cert;  // the agent's certificate, then any intermediate ones
  std::string key;   // its private key
  std::string ca;    // studios must present a certificate from one of these; empty: none asked for
};

// One text of the material for the hand-over to a connection process, and
// back; none when the text is not one.
std::string PLATtls_encode(const plat_tls_material& material);
std::optional<plat_tls_material> PLATtls_decode(std::string_view text);

// False where the build has no TLS (Windows).
bool PLATtls_available();

struct plat_tls_server;
struct plat_tls_server_deleter {
  void operator()(plat_tls_server* server) const;
};
using plat_tls_server_ptr = std::unique_ptr<plat_tls_server, plat_tls_server_deleter>;

// A server context: TLS 1.3 only, the certificate and key (which must
// match), and with a CA bundle a client certificate from one of its CAs
// required (their names are sent to the client). None on failure, with
// *why saying what was wrong.
plat_tls_server_ptr PLATtls_server(const plat_tls_material& material, std::string* why);
// Whether the server asks for and verifies client certificates.
bool PLATtls_verifies_clients(const plat_tls_server& server);

struct plat_tls_session;
struct plat_tls_session_deleter {
  void operator()(plat_tls_session* session) const;
};
using plat_tls_session_ptr = std::unique_ptr<plat_tls_session, plat_tls_session_deleter>;

// What a session call came to: done (with the bytes moved, for reads and
// writes), the socket must be readable or writable before the call can go
// on, the peer ended the session (close_notify), or the session failed.
enum class plat_tls_result { done, want_read, want_write, closed, failed };

// A server session over a connected non-blocking socket, which stays the
// caller's (the session never closes it).
plat_tls_session_ptr PLATtls_accept(plat_tls_server& server, int socket, std::string* why);
plat_tls_result PLATtls_handshake(plat_tls_session& session, std::string* why);
plat_tls_result PLATtls_read(plat_tls_session& session, void* buffer, std::size_t size, std::size_t* got,
                             std::string* why);
plat_tls_result PLATtls_write(plat_tls_session& session, const void* data, std::size_t size, std::size_t* put,
                              std::string* why);
// Input decrypted and held by the session, to be read without waiting.
bool PLATtls_pending(const plat_tls_session& session);
// Sends the end of the session (close_notify) if the socket takes it now;
// never waits for the peer's.
void PLATtls_shutdown(plat_tls_session& session);

// Who the peer's certificate names: the first subjectAltName of type email
// or URI, in the certificate's order; without one, the subject's last CN.
// A name that is empty, longer than PLAT_TLS_IDENTITY_MAX bytes, or holds a
// byte below 0x21 or 0x7f is none. None too without a peer certificate.
constexpr std::size_t PLAT_TLS_IDENTITY_MAX = 255;
std::optional<std::string> PLATtls_peer_identity(const plat_tls_session& session);
// The peer certificate's public key (DER SubjectPublicKeyInfo); empty
// without a peer certificate.
std::string PLATtls_peer_key(const plat_tls_session& session);
// The identity rule on a PEM certificate; none when it is none or the text
// holds no certificate.
std::optional<std::string> PLATtls_identity_of_pem(const std::string& pem);
