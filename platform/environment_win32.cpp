#ifdef _WIN32
#include "platform/environment.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <vector>

// The Win32 environment itself, not the C runtime's copy of it: the variables
// set here are the ones CreateProcessA hands down.
std::optional<std::string> PLATgetenv(const char* name) {
  std::vector<char> value(261);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      if (GetLastError() == ERROR_SUCCESS) return std::string();
      return std::nullopt;
    }
    if (n < value.size()) return std::string(value.data(), n);
    value.resize(n);  // n counts the terminating NUL when the buffer was too small
  }
}

int PLATsetenv(const char* name, const char* value) { return SetEnvironmentVariableA(name, value) ? 0 : -1; }

int PLATunsetenv(const char* name) {
  if (SetEnvironmentVariableA(name, nullptr)) return 0;
  return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? 0 : -1;
}

int PLATcompare_env_names(std::string_view a, std::string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
#endif  // _WIN32
