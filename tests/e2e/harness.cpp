#include "harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace e2e {

namespace fs = std::filesystem;

temp_dir::temp_dir() {
  std::string pattern = (fs::temp_directory_path() / "kvs-e2e-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  path_ = made != nullptr ? made : "";
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

int make_refused_file(const std::string& path, const std::string& kind) {
  if (kind == "fifo") return ::mkfifo(path.c_str(), 0600);
  if (kind == "zero") return ::symlink("/dev/zero", path.c_str());
  if (kind == "directory") return ::mkdir(path.c_str(), 0700);
  if (kind == "huge") write_file(path, "+ +\n" + std::string(1 << 20, '#'));
  return 0;
}

long status_field(pid_t pid, const std::string& name) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  return -1;
}

int boot_id(const std::string& line) {
  const std::string prefix = "700 boot dynfollow : ";
  if (line.rfind(prefix, 0) != 0) return -1;
  return std::atoi(line.c_str() + prefix.size());
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool file_exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string agent_path() { return KVSAGTD_PATH; }

std::string tool_path(const std::string& name) { return std::string(KVS_TOOL_DIR) + "/" + name; }

namespace {

// Forks and execs the agent with its output in files of `dir`; `keep` are
// descriptors the agent must inherit.
captured_process spawn_agent(const std::vector<std::string>& args, const agent_options& options,
                             const std::string& dir, const std::vector<int>& keep) {
  static int serial = 0;
  captured_process p;
  ++serial;
  p.out_path = dir + "/agent-" + std::to_string(serial) + ".out";
  p.err_path = dir + "/agent-" + std::to_string(serial) + ".err";
  std::vector<std::string> argv{agent_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (int fd : {in, out, err})
      if (fd > 2) ::close(fd);
    for (int fd : keep) ::fcntl(fd, F_SETFD, 0);
    for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
    for (const std::string& name : options.unset_env) ::unsetenv(name.c_str());
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  p.pid = pid;
  return p;
}

}  // namespace

std::optional<int> captured_process::wait_exit(int timeout_ms) {
  if (exit_status) return exit_status;
  if (pid <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exit_status;
    }
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool captured_process::running() { return pid > 0 && !wait_exit(0); }

void captured_process::kill_now() {
  if (running()) {
    ::kill(pid, SIGKILL);
    wait_exit(5000);
  }
}

session::session(const agent_options& options) {
  // A loopback connection whose accepted end the agent inherits, exactly as
  // the daemon hands it over.
  int family = options.ipv6 ? AF_INET6 : AF_INET;
  studio::socket_fd listener(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage address{};
  socklen_t length;
  if (options.ipv6) {
    auto* six = reinterpret_cast<sockaddr_in6*>(&address);
    six->sin6_family = AF_INET6;
    six->sin6_addr = in6addr_loopback;
    length = sizeof *six;
  } else {
    auto* four = reinterpret_cast<sockaddr_in*>(&address);
    four->sin_family = AF_INET;
    four->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *four;
  }
  ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length);
  ::listen(listener.get(), 1);
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
  int port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  studio_.open(options.ipv6 ? "::1" : "127.0.0.1", port, kReplyMs);
  studio::socket_fd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));

  agent_options effective = options;
  if (effective.env.find("KVS_DIR") == effective.env.end()) {
    write_file(dir_.file("kvsagtd.ini"), "+ +\n");
    effective.env["KVS_DIR"] = dir_.path();
  }
  if (effective.cwd.empty()) effective.cwd = dir_.path();
  process_ = spawn_agent({effective.peer_name, std::to_string(accepted.get()), std::to_string(listener.get())},
                         effective, dir_.path(), {accepted.get(), listener.get()});
}

session::~session() {
  studio_.close();
  if (!process_.wait_exit(5000)) process_.kill_now();
  // In a sanitizer build the connection process checks itself at its exit
  // (leaks included); whatever it reported fails the test that ran it.
  std::string err = process_.err();
  EXPECT_TRUE(err.find("Sanitizer") == std::string::npos && err.find("runtime error:") == std::string::npos) << err;
}

std::string session::read_line(int timeout_ms) { return studio_.read_line(timeout_ms).value_or("<none>"); }

std::string session::command(const std::string& line) {
  studio_.send_line(line);
  return read_line();
}

std::string session::identify(const std::string& user) { return command("Qim " + user); }

std::unique_ptr<session> admitted_session(agent_options options) {
  auto s = std::make_unique<session>(options);
  if (s->read_line() != "210 hello, please to meet you.") return s;
  s->identify();
  return s;
}

captured_process start_agent(const std::vector<std::string>& args, const agent_options& options) {
  static temp_dir logs;
  return spawn_agent(args, options, logs.path(), {});
}

bool start_daemon(const agent_options& options, captured_process& process, int& port) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    port = free_port();
    process = start_agent({std::to_string(port)}, options);
    if (eventually([&] { return listening_on(port) || !process.running(); }, 10000) && process.running()) return true;
    process.kill_now();
  }
  return false;
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

int free_port() {
  studio::socket_fd s(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  ::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin6_port);
}

studio::socket_fd connect_local(int port, int timeout_ms, const std::string& host) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    studio::socket_fd s = studio::connect_tcp(host, port, 1000);
    if (s.valid() || std::chrono::steady_clock::now() >= deadline) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool eventually(const std::function<bool()>& pred, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string fd_target(pid_t pid, int fd) {
  std::error_code ec;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), ec).string();
}

bool process_alive(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return false;
  std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = read_file(entry.path().string() + "/stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state;
    pid_t parent;
    rest >> state >> parent;
    if (parent == pid) children.push_back(std::stoi(name));
  }
  return children;
}

bool waiting_spare(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid);
  std::vector<std::string> others;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir + "/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name != "0" && name != "1" && name != "2") others.push_back(fs::read_symlink(it->path(), ec).string());
  }
  if (ec || others.size() != 1 || others[0].rfind("socket:[", 0) != 0) return false;
  // A Unix socket: its inode is listed among the process's Unix sockets.
  std::string inode = " " + others[0].substr(8, others[0].size() - 9) + " ";
  std::istringstream unix_sockets(read_file(dir + "/net/unix"));
  for (std::string line; std::getline(unix_sockets, line);)
    if ((line + " ").find(inode) != std::string::npos) return true;
  return false;
}

std::vector<pid_t> connection_processes_of(pid_t daemon) {
  std::vector<pid_t> connections;
  for (pid_t child : children_of(daemon))
    if (!waiting_spare(child)) connections.push_back(child);
  return connections;
}

pid_t spare_of(pid_t daemon) {
  for (pid_t child : children_of(daemon))
    if (waiting_spare(child)) return child;
  return -1;
}

int open_fd_count(pid_t pid) {
  int count = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    ++count;
  return count;
}

std::string local_user() {
  passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr ? entry->pw_name : "";
}

bool enough_descriptors(int needed) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 4096 && limit.rlim_max >= 4096) {
    limit.rlim_cur = 4096;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur >= static_cast<rlim_t>(needed);
}

bool enter_private_network() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool ok = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
  ok = ok && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
  const char* aliases[][2] = {{"lo:1", "10.200.0.1"}, {"lo:2", "10.200.0.2"}};
  for (auto& [name, address] : aliases) {
    ifreq alias{};
    std::strcpy(alias.ifr_name, name);
    auto* in = reinterpret_cast<sockaddr_in*>(&alias.ifr_addr);
    in->sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in->sin_addr);
    ok = ok && ::ioctl(s, SIOCSIFADDR, &alias) == 0;
    // One address each: an address on the loopback interface makes its
    // whole prefix local, and 10.200.0.2 must cease to exist when removed.
    ::inet_pton(AF_INET, "255.255.255.255", &in->sin_addr);
    ok = ok && ::ioctl(s, SIOCSIFNETMASK, &alias) == 0;
  }
  ::close(s);
  return ok;
}

studio::socket_fd connect_from_afar(int port) {
  studio::socket_fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, "10.200.0.2", &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "10.200.0.1", &to.sin_addr);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    return studio::socket_fd();
  return s;
}

bool vanish_afar() {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq alias{};
  std::strcpy(alias.ifr_name, "lo:2");
  bool ok = ::ioctl(s, SIOCGIFFLAGS, &alias) == 0;
  alias.ifr_flags = static_cast<short>(alias.ifr_flags & ~IFF_UP);
  ok = ok && ::ioctl(s, SIOCSIFFLAGS, &alias) == 0;
  ::close(s);
  return ok;
}

bool listening_on(int port) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  for (const char* table : {"/proc/net/tcp6", "/proc/net/tcp"}) {
    std::istringstream lines(e2e::read_file(table));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, suffix) == 0) return true;
    }
  }
  return false;
}

}  // namespace e2e
