// kvsctl run by an end-to-end test, against a daemon of the test's own: its
// standard output and error in files, its standard input from /dev/null,
// from a file, or written by the test.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

extern char** environ;

namespace e2e {

constexpr int kKvsctlExitMs = 30000;  // how long a kvsctl invocation may take here

// A daemon on a free port, with its default pause after each accept, an
// authorization file of `rules` and its directory as the current one.
class daemon_agent {
 public:
  explicit daemon_agent(const std::string& rules = "+ +\n") {
    write_file(dir_.file("kvsagtd.ini"), rules);
    agent_options options;
    options.env["KVS_DIR"] = dir_.path();
    options.cwd = dir_.path();
    ready_ = start_daemon(options, process_, port_);
  }
  ~daemon_agent() { process_.kill_now(); }

  bool ready() const { return ready_; }
  int port() const { return port_; }
  pid_t pid() const { return process_.pid; }
  std::string target(const std::string& host = "127.0.0.1") const {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port_);
  }
  const temp_dir& dir() const { return dir_; }
  // The daemon's standard output: one "#access granted" line per connection.
  std::string log() const { return process_.out(); }

 private:
  temp_dir dir_;
  captured_process process_;
  int port_ = -1;
  bool ready_ = false;
};

class kvsctl_process {
 public:
  // Standard input from /dev/null, or (with_input) a socket the test writes.
  explicit kvsctl_process(const std::vector<std::string>& args, bool with_input = false) {
    int pair[2] = {-1, -1};
    if (with_input && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) input_.reset(pair[0]);
    start(args, studio::socket_fd(pair[1]), "/dev/null");
  }
  // Standard input from the file `input_file`.
  kvsctl_process(const std::vector<std::string>& args, const std::string& input_file) {
    start(args, studio::socket_fd(), input_file);
  }
  ~kvsctl_process() { process_.kill_now(); }
  kvsctl_process(const kvsctl_process&) = delete;
  kvsctl_process& operator=(const kvsctl_process&) = delete;

  void write(const std::string& bytes) { studio::send_all(input_.get(), bytes); }
  void close_input() { input_.reset(); }
  std::optional<int> wait_exit(int timeout_ms = kKvsctlExitMs) { return process_.wait_exit(timeout_ms); }
  pid_t pid() const { return process_.pid; }
  std::string out() const { return process_.out(); }
  std::string err() const { return process_.err(); }
  // Waits until the standard output holds `text`.
  bool wait_output(const std::string& text, int timeout_ms = kReplyMs * 2) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

 private:
  void start(const std::vector<std::string>& args, studio::socket_fd child_input, const std::string& input_file) {
    static int serial = 0;
    ++serial;
    process_.out_path = dir_.file("out-" + std::to_string(serial));
    process_.err_path = dir_.file("err-" + std::to_string(serial));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (child_input.valid())
      posix_spawn_file_actions_adddup2(&actions, child_input.get(), 0);
    else
      posix_spawn_file_actions_addopen(&actions, 0, input_file.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, process_.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, process_.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argv{tool_path("kvsctl")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) == 0) process_.pid = pid;
    posix_spawn_file_actions_destroy(&actions);
  }

  temp_dir dir_;
  captured_process process_;
  studio::socket_fd input_;
};

struct kvsctl_outcome {
  std::optional<int> status;
  std::string out;
  std::string err;
};

// One kvsctl call to its end; `input`, when given, is its whole standard input.
inline kvsctl_outcome kvsctl(const std::vector<std::string>& args,
                             const std::optional<std::string>& input = std::nullopt) {
  kvsctl_process p(args, input.has_value());
  if (input) {
    p.write(*input);
    p.close_input();
  }
  kvsctl_outcome o;
  o.status = p.wait_exit();
  o.out = p.out();
  o.err = p.err();
  return o;
}

}  // namespace e2e
