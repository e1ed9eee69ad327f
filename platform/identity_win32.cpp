#ifdef _WIN32
#include "platform/identity.h"

#include <windows.h>

std::optional<std::string> PLATuser_name() {
  char name[257] = {};  // UNLEN + 1
  DWORD size = sizeof name;
  if (!::GetUserNameA(name, &size)) return std::nullopt;
  return std::string(name);
}

// The host name gethostname gives, without needing Winsock started.
std::optional<std::string> PLAThost_name() {
  char name[256] = {};
  DWORD size = sizeof name;
  if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return std::nullopt;
  return std::string(name, size);
}
#endif  // _WIN32
