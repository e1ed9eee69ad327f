#include "platform/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace {

const char* kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

plat_config_file PLATread_config_file(const char* path, std::size_t limit) {
  plat_config_file result;
  // Non-blocking: opening a named pipe for reading would otherwise wait for
  // a writer, and a terminal could become the controlling one.
  unique_fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    result.why = std::strerror(errno);
    return result;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    result.status = plat_config_status::read_error;
    result.why = std::strerror(errno);
    return result;
  }
  if (!S_ISREG(st.st_mode)) {
    result.status = plat_config_status::not_regular;
    result.why = kind_of(st.st_mode);
    return result;
  }
  const std::string too_large = "larger than " + std::to_string(limit) + " bytes";
  if (static_cast<unsigned long long>(st.st_size) > limit) {
    result.status = plat_config_status::too_large;
    result.why = too_large;
    return result;
  }
  return PLATread_within(
      [&fd](char* into, std::size_t size, std::string* why) -> long long {
        for (;;) {
          const ssize_t n = ::read(fd.get(), into, size);
          if (n >= 0) return n;
          if (errno == EINTR) continue;
          *why = std::strerror(errno);
          return -1;
        }
      },
      limit, static_cast<std::size_t>(st.st_size));
}
