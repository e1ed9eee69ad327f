#include "platform/environment.h"

#include <cstdlib>

std::optional<std::string> PLATgetenv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

int PLATsetenv(const char* name, const char* value) { return ::setenv(name, value, 1) == 0 ? 0 : -1; }

int PLATunsetenv(const char* name) { return ::unsetenv(name) == 0 ? 0 : -1; }

int PLATcompare_env_names(std::string_view a, std::string_view b) { return a.compare(b); }
