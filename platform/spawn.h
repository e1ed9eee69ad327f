// Launching and following the programs that EXEC starts: the command line
// split into words, the launch itself, exit polling, group kill, and the
// wake-up of the readiness wait when a program ends.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Splits a command line into words as a POSIX shell does, without any
// expansion: blanks and tabs separate words; single quotes keep everything up
// to the next single quote; double quotes keep everything up to the next
// double quote except that a backslash there escapes $ ` " \ and newline;
// outside quotes a backslash keeps the next character (a backslash-newline
// pair is removed). Every other character, shell operators included, is an
// ordinary character. 0, or -1 when a quote is not closed (words then holds
// what was split so far).
int PLATsplit_words(std::string_view line, std::vector<std::string>& words);

// The command line that hands `words` to a Windows program as its arguments
// (the parsing of the C runtime and CommandLineToArgvW): a word without
// blanks, tabs, line ends or quotes as it is; any other in double quotes,
// with a quote inside escaped by a backslash and the backslashes before a
// quote doubled.
std::string PLATquote_windows_args(const std::vector<std::string>& words);

// Starts the program of an EXEC line, as PLATlaunch does. On POSIX the line is
// split into words (PLATsplit_words) and words[0] found along PATH; an empty
// line or an open quote fails. On Windows the line goes unchanged to
// CreateProcessA as the program's command line (its quoting and program
// search), and the program runs in a job object of its own, which
// PLATkill_group terminates with the program's descendants; the standard
// handles are `std_fd` (a socket) or the NUL device. The pid, or -1 with
// errno telling why (EINVAL for an empty line or an open quote).
int PLATlaunch_line(const char* command_line, int std_fd, const std::vector<std::string>* env = nullptr);

// Whether an end reported by PLATpoll_exit with this signal number is the
// kill of PLATkill_group (SIGKILL on POSIX; Windows reports no signals, and a
// terminated job's programs end with status 0).
bool PLATended_by_kill(int signal);

// Starts words[0] (found along PATH when it holds no slash) with the words as
// its arguments, in the current directory. With `env` the program's
// environment is exactly those "name=value" entries, and PATH is taken from
// them; without it the program inherits the current environment. The program gets
// `std_fd` as descriptors 0, 1 and 2, or /dev/null on all three when std_fd is
// negative, and no other descriptor; it leads a process group of its own, its
// signal mask is empty and every signal has its default action. The pid, or
// -1 when the program could not be started (the exec failure included), with
// errno the cause: the exec's own error, or for a word without a slash ENOENT
// (no such program along PATH) or EACCES (found, but not executable).
int PLATlaunch(const std::vector<std::string>& words, int std_fd, const std::vector<std::string>* env = nullptr);

// Without waiting: 1 when the program has ended (then *code is its exit
// status, 128 + N for a death by signal N, and *signal is N or 0), 0 while it
// runs, -1 when its status cannot be queried. An ended program is reaped.
// On Windows the end is read from the process object, so that a program that
// exits with status 259 (STILL_ACTIVE) is not taken for a running one; the
// handles are released once the end and the job's emptiness are seen.
int PLATpoll_exit(int pid, int* code, int* signal);

// SIGKILL to the program's process group and to the program itself, so that
// the programs it started die with it. 0 when either signal was delivered.
// On Windows: the program's job object is terminated (status 0).
int PLATkill_group(int pid);

// SIGKILL to a process group alone, for a group whose leader has already
// ended and been reaped: the group id is not given to another process while
// the group has members, so this reaches only what the program left behind.
// 0 when the signal was delivered.
int PLATkill_pgid(int pgid);
// Whether a process group still has members. On Windows: whether the job of
// the program `pgid` still holds a process; a job found empty is released, and
// its id is not asked about again.
bool PLATgroup_exists(int pgid);

// Waits at most timeout_ms for a program to end and reaps it. 0 when reaped.
int PLATreap(int pid, int timeout_ms);

// Marks a descriptor close-on-exec. 0 or -1.
int PLATset_cloexec(int fd);

// Makes the end of a child process visible as a readable descriptor: a
// SIGCHLD handler writes one byte to a non-blocking, close-on-exec pipe. The
// handler never reaps, so exit statuses stay for PLATpoll_exit. One at a
// time per process; the destructor restores the previous SIGCHLD action.
// On Windows the descriptor is the read end of a loopback socket pair, and a
// thread-pool wait on each launched program's process handle writes the byte.
class child_wake {
 public:
  child_wake();
  child_wake(const child_wake&) = delete;
  child_wake& operator=(const child_wake&) = delete;
  ~child_wake();

  // 0, or -1 when the pipe or the handler could not be set up (or another
  // child_wake is already open).
  int open();
  void close();
  // The descriptor that becomes readable when a child ends; -1 when closed.
  int fd() const { return read_fd_; }

 private:
  // What the system half keeps while open (the SIGCHLD action it replaced).
  struct saved;
  int read_fd_ = -1;
  int write_fd_ = -1;
  std::unique_ptr<saved> saved_;
};
