// The Windows build has no TLS (it links no OpenSSL): no context is made,
// and a stream is a plain socket.
#include "client/tls.h"

namespace studio {

namespace {
constexpr const char* kNotAvailable = "TLS is not available in the Windows build";
}  // namespace

class tls_client {};
struct tls_session {};

void tls_session_deleter::operator()(tls_session* session) const { delete session; }

std::shared_ptr<const tls_client> make_tls_client(const tls_files&, std::string* error) {
  if (error != nullptr) *error = kNotAvailable;
  return nullptr;
}

stream stream::tls(socket_fd, const tls_client&, const std::string&, int, std::string* error) {
  if (error != nullptr) *error = kNotAvailable;
  return stream();
}

long long stream::send(const void* data, std::size_t size, bool dontwait) {
  return socket_send(fd_.get(), data, size, dontwait);
}

long long stream::recv(void* buffer, std::size_t size, bool dontwait) {
  return socket_recv(fd_.get(), buffer, size, dontwait);
}

bool stream::pending() const { return false; }

int stream::poll(bool writable, int ms) { return socket_poll(fd_.get(), writable, ms); }

int stream::shutdown_write() { return socket_shutdown_write(fd_.get()); }

void stream::abort() {
  if (!fd_.valid()) return;
  socket_reset_on_close(fd_.get());
  fd_.reset();
}

void stream::reset() { fd_.reset(); }

}  // namespace studio
