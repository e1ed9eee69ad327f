#ifdef _WIN32
#include "platform/files.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

void set_errno_from(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EACCES;
      break;
    default:
      errno = EIO;
  }
}

// Whether a path names the NUL device: its last name is "NUL" in any case,
// with or without a colon, an extension or trailing blanks ("nul", "C:\x\NUL",
// "\\.\nul", "NUL:", "nul.txt"), as Windows reads device names.
bool names_null_device(const char* path) {
  const char* name = path;
  for (const char* c = path; *c != '\0'; ++c)
    if (*c == '\\' || *c == '/') name = c + 1;
  if ((name[0] | 0x20) != 'n' || (name[1] | 0x20) != 'u' || (name[2] | 0x20) != 'l') return false;
  for (const char* c = name + 3; *c != '\0'; ++c) {
    if (*c == '.' || *c == ':') return true;
    if (*c != ' ') return false;
  }
  return true;
}

}  // namespace

// Only a disk file or NUL is taken: a console (CON), a serial port (COMn) or
// a pipe would hold the connection process in a read or a write. Opening one
// does not wait, so the kind is read from the opened handle, which is then
// closed untouched. The handle is not inheritable.
std::FILE* PLATopen_transfer(const char* path, bool for_writing, bool text) {
  HANDLE handle = ::CreateFileA(path, for_writing ? GENERIC_WRITE : GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                for_writing ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno_from(::GetLastError());
    return nullptr;
  }
  DWORD kind = ::GetFileType(handle);
  bool disk = kind == FILE_TYPE_DISK;
  if (!disk && !(kind == FILE_TYPE_CHAR && names_null_device(path))) {
    ::CloseHandle(handle);
    errno = EINVAL;
    return nullptr;
  }
  if (for_writing && disk && !::SetEndOfFile(handle)) {  // the position is 0: this empties it
    set_errno_from(::GetLastError());
    ::CloseHandle(handle);
    return nullptr;
  }
  int flags = (for_writing ? _O_WRONLY : _O_RDONLY) | (text ? _O_TEXT : _O_BINARY);
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    ::CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, for_writing ? (text ? "wt" : "wb") : (text ? "rt" : "rb"));
  if (file == nullptr) ::_close(fd);
  return file;
}

// Permissions of a new file come from its folder on Windows.
int PLATgive_default_permissions(std::FILE*) { return 0; }

int PLATchdir(const char* path) { return ::_chdir(path) == 0 ? 0 : -1; }
int PLATmkdir(const char* path) { return ::_mkdir(path) == 0 ? 0 : -1; }
int PLATrmdir(const char* path) { return ::_rmdir(path) == 0 ? 0 : -1; }
int PLATunlink(const char* path) { return ::_unlink(path) == 0 ? 0 : -1; }

std::optional<std::string> PLATgetcwd() {
  std::string path(MAX_PATH + 1, '\0');
  while (::_getcwd(path.data(), static_cast<int>(path.size())) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    path.resize(path.size() * 2);
  }
  return std::string(path.c_str());
}

char PLATdir_separator() { return '\\'; }
bool PLATtext_ends_lines_with_crlf() { return true; }
#endif  // _WIN32
