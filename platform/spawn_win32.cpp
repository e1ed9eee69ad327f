#ifdef _WIN32
#include "platform/spawn.h"

#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/wake_pair.h"

// What the seam calls a pid is the Windows process id; the handles stay
// here, in a table keyed by it. The process handle is kept as long as the
// row, so that the id is not given to another process meanwhile.
namespace {

struct program {
  HANDLE process = nullptr;
  HANDLE job = nullptr;   // the program and every process it starts
  HANDLE wait = nullptr;  // the thread-pool wait on the process handle, until its end is seen
};

std::map<int, program>& programs() {
  static std::map<int, program> table;
  return table;
}

program* find(int pid) {
  auto found = programs().find(pid);
  return found == programs().end() ? nullptr : &found->second;
}

// Waits for a running callback to finish, so that nothing calls it after.
void stop_waiting(program& entry) {
  if (entry.wait != nullptr) ::UnregisterWaitEx(entry.wait, INVALID_HANDLE_VALUE);
  entry.wait = nullptr;
}

void release(int pid) {
  auto found = programs().find(pid);
  if (found == programs().end()) return;
  stop_waiting(found->second);
  ::CloseHandle(found->second.process);
  ::CloseHandle(found->second.job);
  programs().erase(found);
}

// The write end of the open child_wake, for the thread-pool callbacks.
std::mutex wake_mutex;
int wake_write_fd = -1;

void CALLBACK on_program_end(void*, BOOLEAN) {
  std::lock_guard<std::mutex> lock(wake_mutex);
  PLATwake(wake_write_fd);
}

// A handle that the program may inherit, and the inheritance undone when it
// goes: the socket given as standard handles, or a handle of the NUL device.
class std_handle {
 public:
  explicit std_handle(int std_fd) {
    if (std_fd >= 0) {
      handle_ = reinterpret_cast<HANDLE>(static_cast<intptr_t>(std_fd));
      borrowed_ = ::SetHandleInformation(handle_, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
      if (!borrowed_) handle_ = INVALID_HANDLE_VALUE;
    } else {
      SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      handle_ = ::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    }
  }
  ~std_handle() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    if (borrowed_)
      ::SetHandleInformation(handle_, HANDLE_FLAG_INHERIT, 0);
    else
      ::CloseHandle(handle_);
  }
  std_handle(const std_handle&) = delete;
  std_handle& operator=(const std_handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool borrowed_ = false;
};

// The environment block of CreateProcessA: the entries, each ended by a NUL,
// and one more NUL. The entries come sorted as Windows wants them (without
// regard to case) from the environment store.
std::string environment_block(const std::vector<std::string>& env) {
  std::string block;
  for (const std::string& entry : env) {
    block += entry;
    block += '\0';
  }
  if (env.empty()) block += '\0';
  block += '\0';
  return block;
}

// The program is searched for along the PATH of the agent's own environment
// (CreateProcessA's search): for the time of the start it is the PATH of the
// program's environment, as it would be for a program started from it.
class path_for_search {
 public:
  explicit path_for_search(const std::vector<std::string>* env) {
    if (env == nullptr) return;
    std::optional<std::string> path;
    for (const std::string& entry : *env)
      if (entry.size() >= 5 && PLATcompare_env_names(std::string_view(entry).substr(0, 4), "PATH") == 0 &&
          entry[4] == '=')
        path = entry.substr(5);
    saved_ = PLATgetenv("PATH");
    if (path == saved_) return;
    changed_ = true;
    if (path)
      PLATsetenv("PATH", path->c_str());
    else
      PLATunsetenv("PATH");
  }
  ~path_for_search() {
    if (!changed_) return;
    if (saved_)
      PLATsetenv("PATH", saved_->c_str());
    else
      PLATunsetenv("PATH");
  }
  path_for_search(const path_for_search&) = delete;
  path_for_search& operator=(const path_for_search&) = delete;

 private:
  std::optional<std::string> saved_;
  bool changed_ = false;
};

// The errno that tells why a start failed, from the system's error code.
int start_error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_BAD_EXE_FORMAT:
      return ENOEXEC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

}  // namespace

int PLATlaunch_line(const char* command_line, int std_fd, const std::vector<std::string>* env) {
  if (command_line == nullptr || *command_line == '\0') {
    errno = EINVAL;
    return -1;
  }
  // The program would start in the process's directory, which is not the
  // agent's: better no start than one in another directory.
  if (!PLATcurrent_dir_fits_programs()) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std_handle standard(std_fd);
  if (standard.get() == INVALID_HANDLE_VALUE) return -1;
  HANDLE job = ::CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return -1;

  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    ::CloseHandle(job);
    return -1;
  }
  // The standard handle is the only one the program inherits.
  HANDLE inherited = standard.get();
  bool ok = ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &inherited, sizeof inherited,
                                        nullptr, nullptr);
  STARTUPINFOEXA info{};
  info.StartupInfo.cb = sizeof info;
  info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  info.StartupInfo.hStdInput = info.StartupInfo.hStdOutput = info.StartupInfo.hStdError = inherited;
  info.lpAttributeList = list;
  std::string line(command_line);
  std::string block = env != nullptr ? environment_block(*env) : std::string();
  PROCESS_INFORMATION process{};
  DWORD start_failure = ERROR_INVALID_PARAMETER;  // the attribute list could not be made
  if (ok) {
    path_for_search search(env);
    // Its own process group keeps the console's CTRL+C meant for the agent
    // from reaching the program; the agent ends it through its job.
    ok = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                          CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT,
                          env != nullptr ? block.data() : nullptr, nullptr, &info.StartupInfo, &process);
    // Taken before the search path is put back, which may change it.
    if (!ok) start_failure = ::GetLastError();
  }
  ::DeleteProcThreadAttributeList(list);
  if (!ok) {
    ::CloseHandle(job);
    errno = start_error(start_failure);
    return -1;
  }
  // Assigned before it runs, so that every process it starts is in the job.
  if (!::AssignProcessToJobObject(job, process.hProcess) || ::ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
    ::TerminateProcess(process.hProcess, 0);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(job);
    return -1;
  }
  ::CloseHandle(process.hThread);
  int pid = static_cast<int>(process.dwProcessId);
  program entry{process.hProcess, job, nullptr};
  // Without the wait, the end is still found by the poll of every turn.
  if (!::RegisterWaitForSingleObject(&entry.wait, process.hProcess, on_program_end, nullptr, INFINITE,
                                     WT_EXECUTEONLYONCE))
    entry.wait = nullptr;
  programs()[pid] = entry;
  return pid;
}

int PLATlaunch(const std::vector<std::string>& words, int std_fd, const std::vector<std::string>* env) {
  if (words.empty()) return -1;
  return PLATlaunch_line(PLATquote_windows_args(words).c_str(), std_fd, env);
}

bool PLATended_by_kill(int) { return false; }

// The end is read from the process object itself, so that a program that
// exits with status 259 (STILL_ACTIVE) is seen to end.
int PLATpoll_exit(int pid, int* code, int* signal) {
  program* entry = find(pid);
  if (entry == nullptr || code == nullptr || signal == nullptr) return -1;
  DWORD state = ::WaitForSingleObject(entry->process, 0);
  if (state == WAIT_TIMEOUT) return 0;
  DWORD status = 0;
  if (state != WAIT_OBJECT_0 || !::GetExitCodeProcess(entry->process, &status)) return -1;
  stop_waiting(*entry);
  *code = static_cast<int>(status);
  *signal = 0;
  return 1;
}

int PLATkill_group(int pid) {
  program* entry = find(pid);
  if (entry == nullptr) return -1;
  return ::TerminateJobObject(entry->job, 0) ? 0 : -1;
}

int PLATkill_pgid(int pgid) { return PLATkill_group(pgid); }

bool PLATgroup_exists(int pgid) {
  program* entry = find(pgid);
  if (entry == nullptr) return false;
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (::QueryInformationJobObject(entry->job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                  nullptr) &&
      accounting.ActiveProcesses > 0)
    return true;
  release(pgid);
  return false;
}

int PLATreap(int pid, int timeout_ms) {
  program* entry = find(pid);
  if (entry == nullptr) return -1;
  if (::WaitForSingleObject(entry->process, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return -1;
  release(pid);
  return 0;
}

int PLATset_cloexec(int fd) {
  return ::SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)), HANDLE_FLAG_INHERIT, 0) ? 0
                                                                                                              : -1;
}

struct child_wake::saved {};

child_wake::child_wake() = default;

child_wake::~child_wake() { close(); }

int child_wake::open() {
  std::lock_guard<std::mutex> lock(wake_mutex);
  if (read_fd_ >= 0 || wake_write_fd >= 0) return -1;
  int fds[2];
  if (PLATopen_wake_pair(fds) != 0) return -1;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  wake_write_fd = write_fd_;
  return 0;
}

void child_wake::close() {
  if (read_fd_ < 0) return;
  {
    // No callback writes to the pair once it is no longer published.
    std::lock_guard<std::mutex> lock(wake_mutex);
    wake_write_fd = -1;
  }
  PLATclose_wake_socket(read_fd_);
  PLATclose_wake_socket(write_fd_);
  read_fd_ = write_fd_ = -1;
}
#endif  // _WIN32
