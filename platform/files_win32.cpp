#ifdef _WIN32
#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/windows_paths.h"

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
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DIR_NOT_EMPTY:
      errno = ENOTEMPTY;
      break;
    case ERROR_DIRECTORY:
      errno = ENOTDIR;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      errno = ENAMETOOLONG;
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

// The agent keeps its current directory itself, whole and in plain form
// ("C:\a\b"), and gives the file calls whole long-form paths built from
// it: a process's own current directory, and every path of the classic
// calls, end at 260 characters. The process's current directory follows the
// agent's as long as it can, for the programs that EXEC starts.
struct current_directory {
  std::wstring path;             // empty until first needed, then read from the process
  bool process_follows = true;   // whether the process's current directory is `path`
};

current_directory& current() {
  static current_directory dir;
  return dir;
}

// The agent's strings are in the ANSI code page, as for the ...A calls of
// the environment and the programs.
bool widen(const char* text, std::wstring& wide) {
  int n = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) {
    errno = EINVAL;
    return false;
  }
  wide.assign(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
  wide.resize(static_cast<std::size_t>(n) - 1);
  return true;
}

std::string narrow(const std::wstring& wide) {
  int n = ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string text(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, text.data(), n, nullptr, nullptr);
  text.resize(static_cast<std::size_t>(n) - 1);
  return text;
}

bool load_current() {
  current_directory& dir = current();
  if (!dir.path.empty()) return true;
  std::wstring path(MAX_PATH + 1, L'\0');
  for (;;) {
    DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(path.size()), path.data());
    if (n == 0) {
      set_errno_from(::GetLastError());
      return false;
    }
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(n);  // n counts the terminator when the buffer was too small
  }
  dir.path = PLATplain_windows_path(path);
  dir.process_follows = true;
  return true;
}

// The whole path, "." and ".." resolved and '/' made '\', that `path`
// names from the agent's current directory. A long-form path ("\\?\...")
// is taken as it stands, as the system does.
bool full_path(const char* path, std::wstring& full) {
  std::wstring wide;
  if (!load_current() || !widen(path, wide)) return false;
  std::wstring joined = PLATjoin_windows_path(current().path, wide);
  full.assign(MAX_PATH + 1, L'\0');
  for (;;) {
    DWORD n = ::GetFullPathNameW(joined.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) {
      set_errno_from(::GetLastError());
      return false;
    }
    if (n < full.size()) {
      full.resize(n);
      return true;
    }
    full.resize(n);
  }
}

// The path to give the wide file calls for `path`.
bool call_path(const char* path, std::wstring& call) {
  std::wstring full;
  if (!full_path(path, full)) return false;
  call = PLATlong_windows_path(full);
  return true;
}

// Whether `call` names a directory that can be entered, as the system's own
// change of directory checks it: it opens for traversal.
bool can_enter(const std::wstring& call) {
  HANDLE handle = ::CreateFileW(call.c_str(), FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno_from(::GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  bool directory =
      ::GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  ::CloseHandle(handle);
  if (!directory) errno = ENOTDIR;
  return directory;
}

// The process's current directory for the agent's `dir`: `dir` itself when
// it is short enough, otherwise its longest ancestor that is (one that the
// agent's directory keeps from being removed anyway). Whether it is `dir`.
bool follow_with_process(const std::wstring& dir) {
  if (dir.size() <= PLATmax_process_dir && ::SetCurrentDirectoryW(dir.c_str())) return true;
  std::wstring ancestor = dir;
  for (;;) {
    std::size_t cut = ancestor.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut < 2) return false;
    ancestor.resize(cut);
    std::wstring plain = PLATplain_windows_path(ancestor.size() == 2 ? ancestor + L'\\' : ancestor);
    if (plain.size() <= PLATmax_process_dir && ::SetCurrentDirectoryW(plain.c_str())) return false;
  }
}

}  // namespace

// Only a disk file or NUL is taken: a console (CON), a serial port (COMn) or
// a pipe would hold the connection process in a read or a write. Opening one
// does not wait, so the kind is read from the opened handle, which is then
// closed untouched. The handle is not inheritable.
std::FILE* PLATopen_transfer(const char* path, bool for_writing, bool text) {
  std::wstring call;
  if (!call_path(path, call)) return nullptr;
  HANDLE handle = ::CreateFileW(call.c_str(), for_writing ? GENERIC_WRITE : GENERIC_READ,
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

int PLATchdir(const char* path) {
  std::wstring full;
  if (!full_path(path, full) || !can_enter(PLATlong_windows_path(full))) return -1;
  std::wstring dir = PLATplain_windows_path(full);
  current_directory& now = current();
  now.process_follows = follow_with_process(dir);
  now.path = dir;
  return 0;
}

int PLATmkdir(const char* path) {
  std::wstring call;
  if (!call_path(path, call)) return -1;
  if (::CreateDirectoryW(call.c_str(), nullptr)) return 0;
  set_errno_from(::GetLastError());
  return -1;
}

int PLATrmdir(const char* path) {
  std::wstring call;
  if (!call_path(path, call)) return -1;
  if (::RemoveDirectoryW(call.c_str())) return 0;
  set_errno_from(::GetLastError());
  return -1;
}

int PLATunlink(const char* path) {
  std::wstring call;
  if (!call_path(path, call)) return -1;
  if (::DeleteFileW(call.c_str())) return 0;
  set_errno_from(::GetLastError());
  return -1;
}

// The agent's own current directory; none once it has been removed, as on
// POSIX.
std::optional<std::string> PLATgetcwd() {
  if (!load_current()) return std::nullopt;
  if (::GetFileAttributesW(PLATlong_windows_path(current().path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    set_errno_from(::GetLastError());
    return std::nullopt;
  }
  return narrow(current().path);
}

bool PLATcurrent_dir_fits_programs() { return load_current() && current().process_follows; }

char PLATdir_separator() { return '\\'; }
bool PLATtext_ends_lines_with_crlf() { return true; }
#endif  // _WIN32
