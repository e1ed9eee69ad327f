#include "bench/bench_lib.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <thread>

#include "client/studio.h"

extern char** environ;

namespace bench {

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
  std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

double median(std::vector<double> samples) { return percentile(std::move(samples), 50); }

// ---- processes

child::child(child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

child& child::operator=(child&& other) noexcept {
  if (this != &other) {
    kill();
    pid_ = other.pid_;
    other.pid_ = -1;
  }
  return *this;
}

child::~child() { kill(); }

std::optional<child> child::start(const std::vector<std::string>& argv, const std::string& cwd,
                                  const std::map<std::string, std::string>& env, const std::string& log) {
  if (argv.empty()) return std::nullopt;
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    std::string name(entry.substr(0, entry.find('=')));
    if (env.find(name) == env.end()) env_text.emplace_back(entry);
  }
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  std::unique_ptr<posix_spawn_file_actions_t, void (*)(posix_spawn_file_actions_t*)> owner(
      &actions, [](posix_spawn_file_actions_t* a) { ::posix_spawn_file_actions_destroy(a); });
  std::string out = log.empty() ? "/dev/null" : log;
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (!cwd.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) return std::nullopt;
  child c;
  c.pid_ = pid;
  return c;
}

std::optional<int> child::wait(int timeout_ms) {
  if (pid_ < 0) return std::nullopt;
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    if (r < 0 && errno != EINTR) {
      pid_ = -1;
      return std::nullopt;
    }
    if (clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void child::kill() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

// ---- /proc

long rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

namespace {

// The sum of the smaps_rollup fields named; -1 when none is there.
long rollup_kib(pid_t pid, std::initializer_list<const char*> fields) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  long total = -1;
  while (std::getline(in, line)) {
    for (const char* field : fields)
      if (line.rfind(field, 0) == 0 && line.size() > std::strlen(field) && line[std::strlen(field)] == ':')
        total = (total < 0 ? 0 : total) + std::strtol(line.c_str() + std::strlen(field) + 1, nullptr, 10);
  }
  return total;
}

}  // namespace

long private_kib(pid_t pid) { return rollup_kib(pid, {"Private_Clean", "Private_Dirty"}); }
long private_dirty_kib(pid_t pid) { return rollup_kib(pid, {"Private_Dirty"}); }
long pss_kib(pid_t pid) { return rollup_kib(pid, {"Pss"}); }

long wake_ups(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::strtol(line.c_str() + 24, nullptr, 10);
  return -1;
}

long cpu_ms(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields from the state on: utime and stime are the 12th and 13th.
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i == 12) utime = std::strtol(field.c_str(), nullptr, 10);
    if (i == 13) stime = std::strtol(field.c_str(), nullptr, 10);
  }
  return (utime + stime) * 1000 / ::sysconf(_SC_CLK_TCK);
}

std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> found;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc"), ::closedir);
  if (!dir) return found;
  while (dirent* entry = ::readdir(dir.get())) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The name field is in parentheses and may hold blanks: fields follow the last ')'.
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    fields >> state >> ppid;
    if (ppid == parent && state != "Z") found.push_back(static_cast<pid_t>(pid));
  }
  return found;
}

bool waiting_spare(pid_t pid) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()), ::closedir);
  if (!dir) return false;
  int others = 0;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "0" && name != "1" && name != "2") ++others;
  }
  return others == 1;
}

bool port_listening(int port) {
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      std::size_t colon = local.rfind(':');
      if (colon == std::string::npos) continue;
      if (std::strtol(local.c_str() + colon + 1, nullptr, 16) == port && state == "0A") return true;
    }
  }
  return false;
}

int free_port() {
  studio::socket_fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return -1;
  return ntohs(address.sin_port);
}

double load_average() {
  double load = -1;
  std::ifstream in("/proc/loadavg");
  in >> load;
  return load;
}

std::string machine_description() {
  std::string model = "unknown CPU";
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname system{};
  ::uname(&system);
  long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  std::ostringstream out;
  out << model << ", " << cores << " cores, " << system.sysname << " " << system.release;
  return out.str();
}

// ---- line channel

line_channel::line_channel(line_channel&& other) noexcept
    : fd_(other.fd_), pending_(std::move(other.pending_)), scan_(other.scan_) {
  other.fd_ = -1;
}

line_channel& line_channel::operator=(line_channel&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    pending_ = std::move(other.pending_);
    scan_ = other.scan_;
    other.fd_ = -1;
  }
  return *this;
}

line_channel::~line_channel() { close(); }

bool line_channel::open(const std::string& host, int port, int timeout_ms) {
  studio::socket_fd s = studio::connect_tcp(host, port, timeout_ms);
  if (!s.valid()) return false;
  adopt(s.release(), timeout_ms);
  return true;
}

void line_channel::adopt(int fd, int timeout_ms) {
  close();
  fd_ = fd;
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool line_channel::send_raw(std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool line_channel::send_line(std::string_view line) {
  std::string framed;
  framed.reserve(line.size() + 2);
  framed.append(line).append("\r\n");
  return send_raw(framed);
}

std::optional<std::string> line_channel::read_line() {
  char chunk[16384];
  for (;;) {
    std::size_t at = pending_.find("\r\n", scan_);
    if (at != std::string::npos) {
      std::string line = pending_.substr(0, at);
      pending_.erase(0, at + 2);
      scan_ = 0;
      return line;
    }
    scan_ = pending_.empty() ? 0 : pending_.size() - 1;
    if (fd_ < 0) return std::nullopt;
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;  // end, error or time-out
    pending_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> line_channel::read_until(std::string_view prefix) {
  for (;;) {
    std::optional<std::string> line = read_line();
    if (!line || line->rfind(prefix, 0) == 0) return line;
  }
}

void line_channel::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
  scan_ = 0;
}

// ---- parsers

namespace {

// The decimal number right after position `at` (which holds '%'); -1.
int number_after(std::string_view text, std::size_t at) {
  if (at >= text.size() || text[at] != '%') return -1;
  long value = 0;
  std::size_t i = at + 1;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return -1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 1 << 30) return -1;
  }
  return static_cast<int>(value);
}

}  // namespace

int launched_number(std::string_view line) {
  constexpr std::string_view prefix = "261 child process launched : ";
  if (!line.starts_with(prefix)) return -1;
  return number_after(line, prefix.size());
}

std::vector<int> stopped_numbers(std::string_view line) {
  constexpr std::string_view prefix = "661 process stopped : ";
  std::vector<int> numbers;
  if (!line.starts_with(prefix)) return numbers;
  std::size_t arrow = line.find(" => ", prefix.size());
  if (arrow == std::string_view::npos) return numbers;
  // Pairs "%N (%C)" separated by ", ".
  std::size_t at = arrow + 4;
  while (at < line.size()) {
    int number = number_after(line, at);
    if (number < 0) return {};
    numbers.push_back(number);
    std::size_t next = line.find(", ", at);
    if (next == std::string_view::npos) break;
    at = next + 2;
  }
  return numbers;
}

std::string tester_line(int tester, int seq) {
  return "TSF_notify " + std::to_string(tester) + " " + std::to_string(seq);
}

relay_checker::relay_checker(int testers, int lines_per_tester)
    : testers_(testers), per_tester_(lines_per_tester), next_seq_(static_cast<std::size_t>(testers), 0) {}

bool relay_checker::fail(std::string reason) {
  if (error_.empty()) error_ = std::move(reason);
  return false;
}

bool relay_checker::feed(std::string_view line) {
  constexpr std::string_view boot = "700 boot dynfollow : ";
  constexpr std::string_view notify = "703 tsf notify dynfollow : ";
  std::string text(line);
  if (line.starts_with(boot)) {
    int id = -1, tester = -1;
    if (std::sscanf(text.c_str() + boot.size(), "%d BOOT %d", &id, &tester) != 2 || tester < 0 ||
        tester >= testers_)
      return fail("bad boot notification: " + text);
    if (!tester_of_id_.emplace(id, tester).second) return fail("tester id booted twice: " + text);
    ++boots_;
    return true;
  }
  if (line.starts_with(notify)) {
    int id = -1, tester = -1, seq = -1;
    if (std::sscanf(text.c_str() + notify.size(), "%d TSF_notify %d %d", &id, &tester, &seq) != 3)
      return fail("bad line notification: " + text);
    auto known = tester_of_id_.find(id);
    if (known == tester_of_id_.end() || known->second != tester)
      return fail("line attributed to the wrong tester: " + text);
    int& expected = next_seq_[static_cast<std::size_t>(tester)];
    if (seq != expected) return fail("line out of order or repeated: " + text);
    if (++expected > per_tester_) return fail("too many lines: " + text);
    ++lines_;
    return true;
  }
  return fail("unexpected notification: " + text);
}

// ---- files

bool make_file(const std::string& path, std::uint64_t bytes, bool text) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "wbe"), std::fclose);
  if (!out) return false;
  std::vector<char> block(1 << 20);
  std::uint64_t state = 0x9e3779b97f4a7c15ULL;
  std::uint64_t line = 0;
  std::uint64_t written = 0;
  while (written < bytes) {
    std::size_t fill = 0;
    if (text) {
      // Lines of varying length, each ended by LF, as a log or a report.
      while (fill + 96 <= block.size()) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        int width = 20 + static_cast<int>(state % 60);
        int n = std::snprintf(block.data() + fill, 96, "%08llu %.*s\n", static_cast<unsigned long long>(line++),
                              width, "the quick brown fox jumps over the lazy dog; pack my box with five dozen");
        fill += static_cast<std::size_t>(n);
      }
    } else {
      for (; fill + 8 <= block.size(); fill += 8) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        std::memcpy(block.data() + fill, &state, 8);
      }
    }
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(fill, bytes - written));
    if (std::fwrite(block.data(), 1, take, out.get()) != take) return false;
    written += take;
  }
  return std::fclose(out.release()) == 0;
}

bool same_content(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  if (!x || !y) return false;
  std::vector<char> p(1 << 20), q(1 << 20);
  for (;;) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount()) return false;
    if (std::memcmp(p.data(), q.data(), static_cast<std::size_t>(x.gcount())) != 0) return false;
    if (static_cast<std::size_t>(x.gcount()) < p.size()) return x.eof() && y.eof();
  }
}

}  // namespace bench
