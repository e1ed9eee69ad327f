// A configuration file read whole, for the agent and its tools.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// No configuration file of the agent comes near this size.
constexpr std::size_t PLAT_CONFIG_FILE_MAX = std::size_t{1} << 20;

enum class plat_config_status {
  read,         // `content` holds the whole file
  missing,      // it cannot be opened: absent, or not permitted
  not_regular,  // a named pipe, a device, a directory...: refused unread
  too_large,    // longer than the limit: refused
  read_error,   // reading it failed
};

struct plat_config_file {
  plat_config_status status = plat_config_status::missing;
  std::string content;  // the file's bytes as they are (binary: no line-end or Ctrl-Z translation)
  std::string why;      // unless read: what was wrong, in a few words ("a named pipe")
};

// Reads a configuration file without ever waiting: the open cannot block (a
// named pipe nobody writes to, a device), only a regular file is read, and
// at most `limit` bytes of it: a longer one is refused whole, never cut.
plat_config_file PLATread_config_file(const char* path, std::size_t limit = PLAT_CONFIG_FILE_MAX);

// The reading both systems share, once the file is open and known to be a
// regular one: `read_some` reads at most `size` bytes into `into` and
// returns how many (0 at the end), or -1 with `why` set. Reads until the
// end however long the file has grown since it was measured, but never
// past one byte beyond `limit`. `expected` is the size it was measured at.
using plat_read_some = std::function<long long(char* into, std::size_t size, std::string* why)>;
plat_config_file PLATread_within(const plat_read_some& read_some, std::size_t limit, std::size_t expected);
