#ifdef _WIN32
#include "platform/config_file.h"

#include <windows.h>

#include <algorithm>

namespace {

// A handle closed when its owner goes.
struct handle_owner {
  HANDLE handle;
  ~handle_owner() {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};

std::string text_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_PIPE_BUSY:
      return "a named pipe";
    default:
      return "error " + std::to_string(error);
  }
}

}  // namespace

// Binary throughout: the C runtime's text mode would end the file at its
// first Ctrl-Z byte and silently drop every line after it.
plat_config_file PLATread_config_file(const char* path, std::size_t limit) {
  plat_config_file result;
  DWORD attributes = ::GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    result.status = plat_config_status::not_regular;
    result.why = "a directory";
    return result;
  }
  // Opening a pipe's client end does not wait: a busy pipe fails at once.
  handle_owner file{::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_BUSY) result.status = plat_config_status::not_regular;
    result.why = text_of(error);
    return result;
  }
  DWORD kind = ::GetFileType(file.handle);
  if (kind != FILE_TYPE_DISK) {
    result.status = plat_config_status::not_regular;
    result.why = kind == FILE_TYPE_PIPE ? "a named pipe" : kind == FILE_TYPE_CHAR ? "a character device" : "not a regular file";
    return result;
  }
  const std::string too_large = "larger than " + std::to_string(limit) + " bytes";
  LARGE_INTEGER size{};
  if (::GetFileSizeEx(file.handle, &size) && static_cast<unsigned long long>(size.QuadPart) > limit) {
    result.status = plat_config_status::too_large;
    result.why = too_large;
    return result;
  }
  return PLATread_within(
      [&file](char* into, std::size_t size, std::string* why) -> long long {
        DWORD got = 0;
        if (!::ReadFile(file.handle, into, static_cast<DWORD>(size), &got, nullptr)) {
          *why = text_of(::GetLastError());
          return -1;
        }
        return got;
      },
      limit, static_cast<std::size_t>(size.QuadPart));
}
#endif  // _WIN32
