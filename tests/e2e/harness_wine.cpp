// The harness's side for the Windows agent run under Wine (see harness.h).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace e2e {

namespace fs = std::filesystem;

namespace {

// How long a Wine program may take to start: a cold prefix costs seconds.
constexpr int kWineStartMs = 30000;

std::string environment(const char* name, const std::string& otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : otherwise;
}

// The numbers of the processes in the process group `group` (every process
// when it is 0), with their command lines (arguments joined by blanks).
std::vector<std::pair<pid_t, std::string>> group_members(pid_t group) {
  std::vector<std::pair<pid_t, std::string>> members;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = std::stoi(name);
    if (group != 0 && ::getpgid(pid) != group) continue;
    std::string line = read_file(entry.path().string() + "/cmdline");
    for (char& c : line)
      if (c == '\0') c = ' ';
    members.emplace_back(pid, line);
  }
  return members;
}

}  // namespace

std::string windows_build::exe(const std::string& name) const { return windows_path(bin + "/" + name + ".exe"); }

std::optional<windows_build> windows_build_from_env() {
  const char* bin = std::getenv("KVS_WINDOWS_BIN");
  if (bin == nullptr || *bin == '\0') return std::nullopt;
  windows_build build;
  build.bin = fs::absolute(bin).lexically_normal().string();
  build.agent = environment("KVS_WINDOWS_AGENT", build.bin + "/kvsagtd.exe");
  build.wine = environment("KVS_WINE", "wine");
  return build;
}

std::string windows_path(const std::string& linux_path) {
  std::error_code ec;
  fs::path whole = fs::weakly_canonical(fs::absolute(linux_path), ec);
  std::string path = "Z:" + (ec ? linux_path : whole.string());
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string without_cr(std::string text) {
  std::string lf;
  lf.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
  return lf;
}

std::string peer::read_line(int timeout_ms) { return studio_.read_line(timeout_ms).value_or("<none>"); }

std::string peer::command(const std::string& line) {
  studio_.send_line(line);
  return read_line();
}

captured_process start_windows(const windows_build& build, const std::string& program,
                               const std::vector<std::string>& args, const agent_options& options,
                               const std::string& output_dir) {
  static int serial = 0;
  ++serial;
  captured_process p;
  p.out_path = output_dir + "/wine-" + std::to_string(serial) + ".out";
  p.err_path = output_dir + "/wine-" + std::to_string(serial) + ".err";
  std::vector<std::string> argv;
  if (!build.wine.empty()) argv.push_back(build.wine);
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own: whatever the program starts under Wine (the
    // agent's connection processes, their programs) stays in it, and the end
    // of the test can sweep it.
    ::setpgid(0, 0);
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (int fd : {in, out, err})
      if (fd > 2) ::close(fd);
    for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
    for (const std::string& name : options.unset_env) ::unsetenv(name.c_str());
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    ::execvp(cargv[0], cargv.data());
    ::_exit(127);
  }
  if (pid > 0) ::setpgid(pid, pid);  // also here: no race with a first kill
  p.pid = pid;
  return p;
}

void sweep_group(pid_t group) {
  // The Wine server of the prefix is left alone should this group have
  // started it: other tests may be using it.
  for (const auto& [pid, line] : group_members(group))
    if (line.find("wineserver") == std::string::npos) ::kill(pid, SIGKILL);
}

wine_agent::wine_agent(const windows_build& build, const std::string& authorization, const agent_options& options)
    : port_(free_port()) {
  authorize(authorization);
  agent_options effective = options;
  effective.env["KVS_ACCEPT_PAUSE_MS"] = "0";
  // As a Windows user would set it (the Linux path works too under Wine).
  effective.env.try_emplace("KVS_DIR", build.wine.empty() ? dir_.path() : windows_dir());
  if (effective.cwd.empty()) effective.cwd = dir_.path();
  process_ = start_windows(build, build.agent, {std::to_string(port_)}, effective, dir_.path());
}

wine_agent::~wine_agent() {
  if (process_.pid <= 0) return;
  if (process_.running()) {
    ::kill(process_.pid, SIGINT);
    if (!process_.wait_exit(kReplyMs)) process_.kill_now();
  }
  sweep_group(process_.pid);
  // Programs run in process groups of their own: those still running from
  // this agent's folder are ended too.
  for (pid_t pid : processes_with({windows_dir()})) ::kill(pid, SIGKILL);
}

void wine_agent::authorize(const std::string& file) { write_file(dir_.file("kvsagtd.ini"), file); }

peer wine_agent::connect(const std::string& host) {
  // The daemon may still be starting; once it listens it answers at once.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWineStartMs);
  for (;;) {
    studio::socket_fd s = studio::connect_tcp(host, port_, 1000);
    if (s.valid() || !process_.running() || std::chrono::steady_clock::now() >= deadline) return peer(std::move(s));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

peer wine_agent::admitted(const std::string& user) {
  peer p = connect();
  if (!p.valid()) return p;
  EXPECT_EQ(p.read_line(kWineStartMs), "210 hello, please to meet you.");
  EXPECT_EQ(p.identify(user), "310 access authorized.");
  return p;
}

std::vector<pid_t> processes_with(const std::vector<std::string>& texts) {
  std::vector<pid_t> found;
  for (const auto& [pid, line] : group_members(0)) {
    bool all = true;
    for (const std::string& text : texts) all = all && line.find(text) != std::string::npos;
    if (all) found.push_back(pid);
  }
  return found;
}

std::vector<pid_t> wine_agent::processes_named(const std::string& text) const {
  std::vector<pid_t> found;
  for (const auto& [pid, line] : group_members(process_.pid))
    if (line.find(text) != std::string::npos) found.push_back(pid);
  return found;
}

}  // namespace e2e
