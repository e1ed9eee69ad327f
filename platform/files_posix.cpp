#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Nothing waits in open() or in a read of a device: a named pipe nobody
// opens, a terminal or a device would hold the connection process. Files are
// opened non-blocking and taken only when they are regular files (or
// /dev/null, the usual sink and empty source).
// 0 when the file may be transferred, else the errno that tells why not.
int untransferable(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  if (S_ISREG(st.st_mode)) return 0;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  struct stat null {};
  return S_ISCHR(st.st_mode) && ::stat("/dev/null", &null) == 0 && st.st_rdev == null.st_rdev ? 0 : EINVAL;
}

}  // namespace

// Text and binary modes read and write the same bytes here.
std::FILE* PLATopen_transfer(const char* path, bool for_writing, bool) {
  int flags = for_writing ? O_WRONLY | O_CREAT : O_RDONLY;
  int fd = ::open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  if (int error = untransferable(fd); error != 0) {
    ::close(fd);
    errno = error;
    return nullptr;
  }
  // A regular file never blocks; the flag is cleared all the same.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // The file is truncated only once it is known to be a regular file (or
  // /dev/null): a FIFO or device is refused untouched. A file that is
  // already empty (most often one just created) is left alone: on ext4 a
  // truncation marks the file for a flush when it is closed, which would
  // make every transfer into a new file wait for the disk.
  struct stat st {};
  if (for_writing && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, for_writing ? "wb" : "rb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
}

int PLATgive_default_permissions(std::FILE* file) {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return ::fchmod(::fileno(file), 0777 & ~mask) == 0 ? 0 : -1;
}

int PLATchdir(const char* path) { return ::chdir(path) == 0 ? 0 : -1; }
int PLATmkdir(const char* path) { return ::mkdir(path, 0777) == 0 ? 0 : -1; }
int PLATrmdir(const char* path) { return ::rmdir(path) == 0 ? 0 : -1; }
int PLATunlink(const char* path) { return ::unlink(path) == 0 ? 0 : -1; }

std::optional<std::string> PLATgetcwd() {
  std::string path(256, '\0');
  while (::getcwd(path.data(), path.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    path.resize(path.size() * 2);
  }
  return std::string(path.c_str());
}

char PLATdir_separator() { return '/'; }
bool PLATtext_ends_lines_with_crlf() { return false; }
