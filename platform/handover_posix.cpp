#include "platform/handover.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/process.h"

namespace {

// A descriptor number of the argument words.
int parse_fd(const char* text) {
  if (text == nullptr) return -1;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 1 << 24) return -1;
  return static_cast<int>(value);
}

}  // namespace

// The connection process inherits both sockets through fork and exec; its
// words are the peer's name (looked up in the child before the exec), the
// accepted socket's descriptor and the listening socket's descriptor.
int PLAThand_over(const char* program, int accepted, int listen_socket,
                  const std::function<void(std::string&)>& look_up) {
  std::function<void(std::vector<std::string>&)> complete;
  if (look_up) complete = [&look_up](std::vector<std::string>& argv) { look_up(argv[1]); };
  return PLATspawn_self({program, "", std::to_string(accepted), std::to_string(listen_socket)},
                        {accepted, listen_socket}, complete);
}

int PLATtake_over(const char* second, const char* third, bool* name_pending) {
  if (name_pending != nullptr) *name_pending = false;
  // The daemon's port is held by the daemon alone.
  int listen_socket = parse_fd(third);
  if (listen_socket >= 0) ::close(listen_socket);
  return parse_fd(second);
}
