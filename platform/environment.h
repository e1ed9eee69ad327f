// The process environment, one variable at a time, and how its names compare.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The value of a variable of the process environment; none when it is not set.
std::optional<std::string> PLATgetenv(const char* name);
// Sets or replaces a variable of the process environment. 0 or -1.
int PLATsetenv(const char* name, const char* value);
// Removes a variable of the process environment (0 also when it was not set),
// or -1.
int PLATunsetenv(const char* name);

// Orders variable names as the platform tells them apart: byte by byte on
// POSIX, where PATH and Path are two variables; without regard to ASCII case
// on Windows, where they are one. Negative, 0 or positive.
int PLATcompare_env_names(std::string_view a, std::string_view b);

// The order of PLATcompare_env_names, for the keys of a map of variables;
// transparent, so that a lookup needs no string of its own.
struct env_name_less {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return PLATcompare_env_names(a, b) < 0; }
};
