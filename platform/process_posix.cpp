#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

void PLATensure_std_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int null = ::open("/dev/null", O_RDWR);
      if (null >= 0 && null != fd) {
        ::dup2(null, fd);
        ::close(null);
      }
    }
  }
}

void PLATignore_sigpipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &action, nullptr);
}

namespace {
volatile sig_atomic_t stop_requested = 0;
// Made readable by a stop signal, for waits without a time limit.
int stop_pipe[2] = {-1, -1};
void on_stop_signal(int) {
  stop_requested = 1;
  if (stop_pipe[1] >= 0) {
    int saved = errno;
    char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(stop_pipe[1], &byte, 1);
    errno = saved;
  }
}
}  // namespace

int PLATstop_fd() { return stop_pipe[0]; }

void PLATcatch_stop_signals() {
  if (stop_pipe[0] < 0 && ::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe[0] = stop_pipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  action.sa_flags = SA_RESTART;  // poll is interrupted all the same
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

bool PLATstop_requested() { return stop_requested != 0; }

namespace {
volatile sig_atomic_t reload_requested = 0;
void on_reload_signal(int) { reload_requested = 1; }
}  // namespace

void PLATcatch_reload_signal() {
  struct sigaction action {};
  action.sa_handler = on_reload_signal;
  action.sa_flags = SA_RESTART;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGHUP, &action, nullptr);
}

bool PLATreload_requested() {
  if (reload_requested == 0) return false;
  reload_requested = 0;
  return true;
}

void PLATreset_signals() {
  struct sigaction current {};
  if (::sigaction(SIGCHLD, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGCHLD, &fallback, nullptr);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

static void reap(int) {
  int saved = errno;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

void PLATreap_children() {
  struct sigaction action {};
  action.sa_handler = reap;
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGCHLD, &action, nullptr);
}

int PLATspawn_self(const std::vector<std::string>& argv, const std::vector<int>& keep,
                   const std::function<void(std::vector<std::string>&)>& complete) {
  pid_t pid = ::fork();
  if (pid != 0) return pid < 0 ? -1 : pid;
  // Child. The caller has no other thread, so `complete` may do anything.
  std::vector<std::string> words = argv;
  if (complete) complete(words);
  std::vector<char*> args;
  for (std::string& a : words) args.push_back(a.data());
  args.push_back(nullptr);
  // Every descriptor of the agent is close-on-exec; so are made any that
  // whoever started the daemon left open to it. Only those named on the
  // command line are handed over. Signal dispositions that the agent caught
  // are reset by exec.
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
    for (int fd = 3; fd < 1024; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  for (int fd : keep) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
  }
  ::execv("/proc/self/exe", args.data());
  ::_exit(127);
}

std::vector<std::string> PLATenvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) entries.emplace_back(*entry);
  return entries;
}

void PLATsleep_ms(int ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR && !PLATstop_requested()) {
  }
}

int PLATadopt_orphans() { return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0 ? 0 : -1; }

int PLATreap_any(int* pid, int* code, int* signal) {
  if (pid == nullptr || code == nullptr || signal == nullptr) return -1;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(-1, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return 0;
  if (r < 0) return -1;
  *pid = static_cast<int>(r);
  if (WIFSIGNALED(status)) {
    *signal = WTERMSIG(status);
    *code = 128 + *signal;
  } else {
    *signal = 0;
    *code = WEXITSTATUS(status);
  }
  return 1;
}

bool PLATholds_group(int pgid) {
  if (pgid <= 1) return false;
  // WNOWAIT leaves an ended child for the reaping of the loop: only whether
  // one of the group's members is ours is asked.
  siginfo_t info{};
  int r;
  do {
    r = ::waitid(P_PGID, static_cast<id_t>(pgid), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  return r == 0;
}
