#ifdef _WIN32
#include "platform/process.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "platform/spawn.h"
#include "platform/wake_pair.h"

// The standard handles of a Windows process are handles, not numbers that a
// socket could take: nothing to reserve.
void PLATensure_std_fds() {}

// A send to a closed peer fails with an error on Windows; there is no signal.
void PLATignore_sigpipe() {}

namespace {

std::atomic<bool> stop_requested{false};
// Made readable by a stop event, for waits without a time limit.
int stop_pair[2] = {-1, -1};
// Set by a stop event, for PLATsleep_ms.
HANDLE stop_event = nullptr;

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  stop_requested = true;
  PLATwake(stop_pair[1]);
  if (stop_event != nullptr) ::SetEvent(stop_event);
  // The system ends the process when the handler of a closed console
  // returns: the agent gets a moment to wind down first.
  if (event == CTRL_CLOSE_EVENT) ::Sleep(3000);
  return TRUE;
}

}  // namespace

int PLATstop_fd() { return stop_pair[0]; }

// CTRL_C, CTRL_BREAK and the closing of the console are the stop signals.
void PLATcatch_stop_signals() {
  if (stop_pair[0] < 0 && PLATopen_wake_pair(stop_pair) != 0) stop_pair[0] = stop_pair[1] = -1;
  if (stop_event == nullptr) stop_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool PLATstop_requested() { return stop_requested; }

void PLATcatch_reload_signal() {}
bool PLATreload_requested() { return false; }

// No signal masks or inherited dispositions on Windows.
void PLATreset_signals() {}

// A process that ends leaves nothing behind once its handle is closed, and
// the daemon keeps none.
void PLATreap_children() {}

// The copy gets `argv` quoted as one command line and inherits exactly the
// handles in `keep` (made inheritable for the start only). `complete` runs
// here, before the start: there is no fork in which to run it.
int PLATspawn_self(const std::vector<std::string>& argv, const std::vector<int>& keep,
                   const std::function<void(std::vector<std::string>&)>& complete) {
  std::vector<std::string> words = argv;
  if (complete) complete(words);
  char program[MAX_PATH + 1] = {};
  DWORD length = ::GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return -1;
  if (!words.empty()) words[0] = program;
  std::string line = PLATquote_windows_args(words);

  std::vector<HANDLE> handles;
  for (int fd : keep)
    if (fd >= 0) handles.push_back(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)));
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return -1;
  bool ok = handles.empty() || ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                                           handles.size() * sizeof(HANDLE), nullptr, nullptr);
  for (HANDLE h : handles) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  STARTUPINFOEXA info{};
  info.StartupInfo.cb = sizeof info;
  if (!handles.empty()) info.lpAttributeList = list;
  PROCESS_INFORMATION process{};
  ok = ok && ::CreateProcessA(program, line.data(), nullptr, nullptr, handles.empty() ? FALSE : TRUE,
                              EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &info.StartupInfo, &process);
  for (HANDLE h : handles) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  ::DeleteProcThreadAttributeList(list);
  if (!ok) return -1;
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(process.dwProcessId);
}

std::vector<std::string> PLATenvironment() {
  std::vector<std::string> entries;
  char* block = ::GetEnvironmentStringsA();
  if (block == nullptr) return entries;
  for (const char* entry = block; *entry != '\0'; entry += entries.back().size() + 1) entries.emplace_back(entry);
  ::FreeEnvironmentStringsA(block);
  return entries;
}

void PLATsleep_ms(int ms) {
  if (ms <= 0) return;
  if (stop_event != nullptr)
    ::WaitForSingleObject(stop_event, static_cast<DWORD>(ms));
  else
    ::Sleep(static_cast<DWORD>(ms));
}

// A program's job object holds every process it starts, and the agent holds
// the job: nothing is ever orphaned out of its reach.
int PLATadopt_orphans() { return 0; }

int PLATreap_any(int*, int*, int*) { return -1; }

bool PLATholds_group(int pgid) { return PLATgroup_exists(pgid); }

#endif  // _WIN32
