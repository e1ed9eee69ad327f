#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

extern char** environ;

namespace {

// Owns the attributes and file actions of one posix_spawnp call.
class spawn_setup {
 public:
  spawn_setup() {
    attr_ok_ = ::posix_spawnattr_init(&attr_) == 0;
    actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~spawn_setup() {
    if (attr_ok_) ::posix_spawnattr_destroy(&attr_);
    if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;

  bool prepare(int std_fd) {
    if (!attr_ok_ || !actions_ok_) return false;
    sigset_t empty;
    sigset_t every;
    ::sigemptyset(&empty);
    ::sigfillset(&every);
    ::sigdelset(&every, SIGKILL);
    ::sigdelset(&every, SIGSTOP);
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (::posix_spawnattr_setflags(&attr_, flags) != 0 || ::posix_spawnattr_setpgroup(&attr_, 0) != 0 ||
        ::posix_spawnattr_setsigmask(&attr_, &empty) != 0 || ::posix_spawnattr_setsigdefault(&attr_, &every) != 0)
      return false;
    if (std_fd >= 0) {
      for (int target = 0; target <= 2; ++target)
        if (::posix_spawn_file_actions_adddup2(&actions_, std_fd, target) != 0) return false;
    } else {
      if (::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDWR, 0) != 0 ||
          ::posix_spawn_file_actions_adddup2(&actions_, 0, 1) != 0 ||
          ::posix_spawn_file_actions_adddup2(&actions_, 0, 2) != 0)
        return false;
    }
    // Every descriptor of the agent is close-on-exec already; this keeps a
    // descriptor that slipped through from reaching the program all the same.
    return ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
  }

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_{};
  posix_spawn_file_actions_t actions_{};
  bool attr_ok_ = false;
  bool actions_ok_ = false;
};

void decode_status(int status, int* code, int* signal) {
  if (WIFSIGNALED(status)) {
    *signal = WTERMSIG(status);
    *code = 128 + *signal;
  } else {
    *signal = 0;
    *code = WEXITSTATUS(status);
  }
}

// The write end of the open child_wake, for the signal handler.
volatile sig_atomic_t wake_write_fd = -1;

void on_sigchld(int) {
  int saved = errno;
  int fd = wake_write_fd;
  if (fd >= 0) {
    char byte = 1;
    // A full pipe already holds a pending wake-up; nothing is lost.
    [[maybe_unused]] ssize_t written = ::write(fd, &byte, 1);
  }
  errno = saved;
}

// The program a word names, looked up along `path` as execvp does when the
// word holds no slash (an empty element is the current directory); empty when
// no directory holds an executable file of that name, with *error ENOENT, or
// EACCES when one holds such a file that may not be run (as execvp reports).
std::string find_program(const std::string& word, std::string_view path, int* error) {
  if (word.find('/') != std::string::npos) return word;
  *error = ENOENT;
  for (std::size_t from = 0;;) {
    std::size_t colon = path.find(':', from);
    std::string_view dir = path.substr(from, colon == std::string_view::npos ? std::string_view::npos : colon - from);
    std::string candidate = dir.empty() ? word : std::string(dir) + "/" + word;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      *error = EACCES;
    }
    if (colon == std::string_view::npos) return {};
    from = colon + 1;
  }
}

void pause_ms(int ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// The launch of PLATlaunch: 0 and the pid, or the error number that tells
// why the program could not be started.
int launch(const std::vector<std::string>& words, int std_fd, const std::vector<std::string>* env, pid_t* pid) {
  if (words.empty()) return EINVAL;
  spawn_setup setup;
  if (!setup.prepare(std_fd)) return EINVAL;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  // The exec happens before posix_spawn returns, so a program that cannot be
  // run comes back here as an error (and its short-lived child is reaped).
  // posix_spawn returns its error and leaves errno alone.
  if (env == nullptr) return ::posix_spawnp(pid, argv[0], setup.actions(), setup.attr(), argv.data(), environ);
  std::vector<char*> envp;
  envp.reserve(env->size() + 1);
  std::string_view path = "/bin:/usr/bin";  // the C library's default when PATH is not set
  for (const std::string& entry : *env) {
    envp.push_back(const_cast<char*>(entry.c_str()));
    if (entry.starts_with("PATH=")) path = std::string_view(entry).substr(5);
  }
  envp.push_back(nullptr);
  int error = 0;
  std::string program = find_program(words[0], path, &error);
  if (program.empty()) return error;
  return ::posix_spawn(pid, program.c_str(), setup.actions(), setup.attr(), argv.data(), envp.data());
}

}  // namespace

int PLATlaunch(const std::vector<std::string>& words, int std_fd, const std::vector<std::string>* env) {
  pid_t pid = -1;
  // Set once the setup has been released, so that nothing clears it.
  if (int error = launch(words, std_fd, env, &pid); error != 0) {
    errno = error;
    return -1;
  }
  return static_cast<int>(pid);
}

int PLATlaunch_line(const char* command_line, int std_fd, const std::vector<std::string>* env) {
  std::vector<std::string> words;
  if (command_line == nullptr || PLATsplit_words(command_line, words) != 0 || words.empty()) {
    errno = EINVAL;  // no line, an open quote or no word
    return -1;
  }
  return PLATlaunch(words, std_fd, env);
}

bool PLATended_by_kill(int signal) { return signal == SIGKILL; }

int PLATpoll_exit(int pid, int* code, int* signal) {
  if (pid <= 0 || code == nullptr || signal == nullptr) return -1;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return 0;
  if (r != pid) return -1;
  decode_status(status, code, signal);
  return 1;
}

int PLATkill_group(int pid) {
  if (pid <= 0) return -1;
  int group = ::kill(-pid, SIGKILL);
  int self = ::kill(pid, SIGKILL);
  return group == 0 || self == 0 ? 0 : -1;
}

int PLATkill_pgid(int pgid) {
  if (pgid <= 0) return -1;
  return ::kill(-pgid, SIGKILL) == 0 ? 0 : -1;
}

bool PLATgroup_exists(int pgid) {
  if (pgid <= 0) return false;
  return ::kill(-pgid, 0) == 0 || errno == EPERM;
}

int PLATreap(int pid, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int code = 0;
    int signal = 0;
    int r = PLATpoll_exit(pid, &code, &signal);
    if (r == 1) return 0;
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
    pause_ms(2);
  }
}

int PLATset_cloexec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return -1;
  return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0 ? 0 : -1;
}

struct child_wake::saved {
  struct sigaction previous_sigchld {};
};

child_wake::child_wake() : saved_(std::make_unique<saved>()) {}

child_wake::~child_wake() { close(); }

int child_wake::open() {
  if (read_fd_ >= 0 || wake_write_fd >= 0) return -1;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  wake_write_fd = write_fd_;
  struct sigaction action {};
  action.sa_handler = on_sigchld;
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  ::sigemptyset(&action.sa_mask);
  if (::sigaction(SIGCHLD, &action, &saved_->previous_sigchld) != 0) {
    wake_write_fd = -1;
    ::close(read_fd_);
    ::close(write_fd_);
    read_fd_ = write_fd_ = -1;
    return -1;
  }
  return 0;
}

void child_wake::close() {
  if (read_fd_ < 0) return;
  // The handler goes first, so that it never writes to a closed descriptor.
  ::sigaction(SIGCHLD, &saved_->previous_sigchld, nullptr);
  wake_write_fd = -1;
  ::close(read_fd_);
  ::close(write_fd_);
  read_fd_ = write_fd_ = -1;
}
