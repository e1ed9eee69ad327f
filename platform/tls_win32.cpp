// The Windows build has no TLS yet: every call says so, and the daemon
// refuses the TLS settings before it listens.
#include "platform/tls.h"

namespace {

constexpr const char* NOT_AVAILABLE = "TLS is not available on Windows";

void set_why(std::string* why) {
  if (why != nullptr) *why = NOT_AVAILABLE;
}

}  // namespace

struct plat_tls_server {};
struct plat_tls_session {};

void plat_tls_server_deleter::operator()(plat_tls_server* server) const { std::unique_ptr<plat_tls_server> owned(server); }
void plat_tls_session_deleter::operator()(plat_tls_session* session) const {
  std::unique_ptr<plat_tls_session> owned(session);
}

bool PLATtls_available() { return false; }

plat_tls_server_ptr PLATtls_server(const plat_tls_material&, std::string* why) {
  set_why(why);
  return nullptr;
}

bool PLATtls_verifies_clients(const plat_tls_server&) { return false; }

plat_tls_session_ptr PLATtls_accept(plat_tls_server&, int, std::string* why) {
  set_why(why);
  return nullptr;
}

plat_tls_result PLATtls_handshake(plat_tls_session&, std::string* why) {
  set_why(why);
  return plat_tls_result::failed;
}

plat_tls_result PLATtls_read(plat_tls_session&, void*, std::size_t, std::size_t* got, std::string* why) {
  *got = 0;
  set_why(why);
  return plat_tls_result::failed;
}

plat_tls_result PLATtls_write(plat_tls_session&, const void*, std::size_t, std::size_t* put, std::string* why) {
  *put = 0;
  set_why(why);
  return plat_tls_result::failed;
}

bool PLATtls_pending(const plat_tls_session&) { return false; }
void PLATtls_shutdown(plat_tls_session&) {}
std::optional<std::string> PLATtls_peer_identity(const plat_tls_session&) { return std::nullopt; }
std::string PLATtls_peer_key(const plat_tls_session&) { return {}; }
std::optional<std::string> PLATtls_identity_of_pem(const std::string&) { return std::nullopt; }
