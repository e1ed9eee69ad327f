#include "platform/handover.h"

#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// A socket handed to another process as an inherited handle is not usable
// there under every Windows socket provider: the daemon duplicates it for
// the connection process instead (WSADuplicateSocketW) and sends the
// description through an inherited anonymous pipe. The connection process's
// words are the peer's name (looked up by the connection process), the pipe's
// read handle in decimal, and 0.

namespace {

// Time the connection process waits for the socket's description.
constexpr DWORD HANDOVER_WAIT_MS = 10000;

SOCKET sock(int s) { return static_cast<SOCKET>(static_cast<intptr_t>(s)); }

bool start_winsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// Inheritable copies of the standard handles the daemon has, so that the
// connection process writes to the daemon's console or files.
struct std_copies {
  HANDLE handles[3] = {nullptr, nullptr, nullptr};
  std_copies() {
    const DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i) {
      HANDLE h = ::GetStdHandle(which[i]);
      if (h == nullptr || h == INVALID_HANDLE_VALUE) continue;
      if (!::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &handles[i], 0, TRUE,
                             DUPLICATE_SAME_ACCESS))
        handles[i] = nullptr;
    }
  }
  ~std_copies() {
    for (HANDLE h : handles)
      if (h != nullptr) ::CloseHandle(h);
  }
  std_copies(const std_copies&) = delete;
  std_copies& operator=(const std_copies&) = delete;
};

// Starts `line` with only `inherit` inherited, and the daemon's standard
// handles when `with_std`.
bool start_process(const std::string& path, std::string line, std::vector<HANDLE> inherit, bool with_std,
                   PROCESS_INFORMATION* pi) {
  std_copies copies;
  STARTUPINFOEXA info{};
  info.StartupInfo.cb = sizeof info;
  if (with_std) {
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    info.StartupInfo.hStdInput = copies.handles[0];
    info.StartupInfo.hStdOutput = copies.handles[1];
    info.StartupInfo.hStdError = copies.handles[2];
    for (HANDLE h : copies.handles)
      if (h != nullptr) inherit.push_back(h);
  }
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> area(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(area.data());
  if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
  bool ok = ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit.data(),
                                        inherit.size() * sizeof(HANDLE), nullptr, nullptr) &&
            ::CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT, nullptr,
                             nullptr, &info.StartupInfo, pi);
  ::DeleteProcThreadAttributeList(list);
  return ok;
}

}  // namespace

// Every connection process is started for its connection.
void PLATprepare_hand_over(plat_hand_overs&, const char*) {}
void PLATend_hand_overs(plat_hand_overs&) {}
bool PLATset_hand_over_payload(plat_hand_overs&, const std::string& bytes) { return bytes.empty(); }

int PLAThand_over(plat_hand_overs&, const char*, int accepted, int, const std::function<void(std::string&)>&) {
  if (!start_winsock()) return -1;
  std::string path(32768, '\0');
  DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return -1;
  path.resize(length);

  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inheritable, 0)) return -1;
  ::SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);

  std::string line = "\"" + path + "\" \"\" " + std::to_string(reinterpret_cast<std::uintptr_t>(read_end)) + " 0";
  PROCESS_INFORMATION pi{};
  // Standard handles that cannot be inherited (older consoles' pseudo
  // handles) would fail the start: the process then starts without them.
  bool started = start_process(path, line, {read_end}, true, &pi) || start_process(path, line, {read_end}, false, &pi);
  ::CloseHandle(read_end);
  int pid = -1;
  if (started) {
    pid = static_cast<int>(pi.dwProcessId);
    // The description is written whole (it fits the pipe's buffer); a
    // connection process that gets none ends at once.
    WSAPROTOCOL_INFOW description{};
    DWORD written = 0;
    if (::WSADuplicateSocketW(sock(accepted), pi.dwProcessId, &description) != 0 ||
        !::WriteFile(write_end, &description, sizeof description, &written, nullptr) ||
        written != sizeof description)
      pid = -1;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
  }
  ::CloseHandle(write_end);
  return pid;
}

int PLATtake_over(const char* second, const char* third, bool* name_pending, std::string* payload) {
  if (payload != nullptr) payload->clear();
  if (name_pending != nullptr) *name_pending = true;
  if (second == nullptr || third == nullptr || std::strcmp(third, "0") != 0) return -1;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(second, &end, 10);
  if (errno != 0 || end == second || *end != '\0' || value == 0) return -1;
  HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
  if (::GetFileType(pipe) != FILE_TYPE_PIPE) return -1;

  // Read without ever blocking on the pipe: what is there is taken, for a
  // bounded time.
  WSAPROTOCOL_INFOW description{};
  auto* at = reinterpret_cast<unsigned char*>(&description);
  DWORD got = 0;
  const ULONGLONG deadline = ::GetTickCount64() + HANDOVER_WAIT_MS;
  while (got < sizeof description) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) break;
    if (available == 0) {
      if (::GetTickCount64() >= deadline) break;
      ::Sleep(1);
      continue;
    }
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(sizeof description) - got;
    if (!::ReadFile(pipe, at + got, available < want ? available : want, &n, nullptr) || n == 0) break;
    got += n;
  }
  ::CloseHandle(pipe);
  if (got != sizeof description || !start_winsock()) return -1;
  SOCKET s = ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &description, 0,
                          WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  return static_cast<int>(s);
}
