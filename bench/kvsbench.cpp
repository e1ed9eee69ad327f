// kvsbench: measures the agent against the baselines a test engineer would
// pick instead, on loopback, and prints a table of figure, agent, baseline
// and ratio. Every figure also checks that the work was done right (replies,
// files, relayed lines); a wrong result fails the run, a missed target only
// shows in the table.
//
//   kvsbench --agent PATH --echo PATH --spawn PATH [--socat PATH] [--ssh-config FILE]
//            [--tls-certs DIR]
//            [--figures rtt,pipeline,exec,connect,ssh,kvsctl,transfer,dynf,rdv,tls,tlstransfer]
//            [--file-mib N] [--quick] [--verbose] [--label TEXT] [--results FILE] [--work-root DIR]
//   kvsbench --table FILE
//
// The driver pins nothing itself: run it under `taskset -c N` and the agent,
// the baselines and the programs they start inherit the same CPU.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include "bench/bench_lib.h"
#include "bench/tls_stream.h"
#include "client/studio.h"
#include "client/transfer.h"
#include "platform/unique_fd.h"

namespace {

namespace fs = std::filesystem;
using bench::clock;

constexpr int kReplyMs = 30000;  // the longest a reply may take before the run fails

struct options {
  std::string agent, echo, spawn, socat;
  // An ssh client configuration with the host "kvsbench-ssh" (bench/sshd.sh
  // writes one): the ssh, scp and sftp baselines run when it is given.
  std::string ssh_config;
  // kvsctl, for the figures of 100 calls in a row (with a control connection
  // or each on its own connection).
  std::string kvsctl;
  // An older kvsagtd measured in the same run, turn about with the agent, for
  // the figures a change is judged by (connecting, memory, transfers): the
  // "9" rows, this agent against that one.
  std::string before;
  // A directory of certificates as tests/tls/make-certs.sh makes them: the
  // TLS figures run when it is given.
  std::string tls_certs;
  std::string work_root = "/tmp";
  std::set<std::string> figures{"rtt",      "pipeline", "exec", "connect", "ssh",        "kvsctl",
                                "transfer", "dynf",     "rdv",  "tls",     "tlstransfer"};
  int file_mib = 512;
  bool quick = false;
  bool verbose = false;  // every run of a throughput figure on standard error
  std::string label;  // conditions of this run, e.g. "pinned to CPU 1"
  std::string results;
  std::string table;
};

// One line of the table.
struct row {
  std::string id;
  std::string figure;
  double agent = NAN;
  double baseline = NAN;
  std::string unit;
  std::string target;  // e.g. "<= 1.3x", ">= 0.5x", "<= 5 ms"
  std::string verdict;  // met, missed, -, FAILED
  std::string conditions;
};

std::string format_value(double v) {
  if (std::isnan(v)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, v >= 100 ? "%.0f" : v >= 10 ? "%.1f" : "%.2f", v);
  return text;
}

double ratio_of(const row& r) { return std::isnan(r.baseline) || r.baseline == 0 ? NAN : r.agent / r.baseline; }

class report {
 public:
  explicit report(const options& o) : options_(o) {}

  // A figure measured against a baseline with a target on the ratio.
  void ratio(const std::string& id, const std::string& figure, double agent, double baseline,
             const std::string& unit, double target, bool higher_is_better) {
    row r{id, figure, agent, baseline, unit, "", "", options_.label};
    if (!std::isnan(target)) {
      char text[32];
      std::snprintf(text, sizeof text, "%s %.2gx", higher_is_better ? ">=" : "<=", target);
      r.target = text;
      double q = ratio_of(r);
      r.verdict = std::isnan(q) ? "-" : (higher_is_better ? q >= target : q <= target) ? "met" : "missed";
    } else {
      r.target = "-";
      r.verdict = "-";
    }
    add(std::move(r));
  }
  // A figure with an absolute target (no baseline).
  void absolute(const std::string& id, const std::string& figure, double agent, const std::string& unit,
                double limit, bool higher_is_better) {
    row r{id, figure, agent, NAN, unit, "", "", options_.label};
    if (!std::isnan(limit)) {
      r.target = std::string(higher_is_better ? ">= " : "<= ") + format_value(limit) + " " + unit;
      r.verdict = (higher_is_better ? agent >= limit : agent <= limit) ? "met" : "missed";
    } else {
      r.target = "-";
      r.verdict = "-";
    }
    add(std::move(r));
  }
  void failure(const std::string& id, const std::string& figure, const std::string& why) {
    std::cerr << "kvsbench: " << figure << ": " << why << "\n";
    row r{id, figure, NAN, NAN, "", "-", "FAILED", options_.label};
    failed_ = true;
    add(std::move(r));
  }
  bool failed() const { return failed_; }
  const std::vector<row>& rows() const { return rows_; }

 private:
  void add(row r) {
    std::cerr << "  " << r.figure << ": agent " << format_value(r.agent) << " " << r.unit << ", baseline "
              << format_value(r.baseline) << ", " << r.verdict << "\n";
    rows_.push_back(std::move(r));
  }
  const options& options_;
  std::vector<row> rows_;
  bool failed_ = false;
};

void save_rows(const std::string& path, const std::vector<row>& rows) {
  std::ofstream out(path, std::ios::app);
  for (const row& r : rows)
    out << r.id << '\t' << r.figure << '\t' << r.agent << '\t' << r.baseline << '\t' << r.unit << '\t' << r.target
        << '\t' << r.verdict << '\t' << r.conditions << '\n';
}

std::vector<row> load_rows(const std::string& path) {
  std::vector<row> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    if (f.size() < 8) continue;
    rows.push_back(row{f[0], f[1], std::strtod(f[2].c_str(), nullptr), std::strtod(f[3].c_str(), nullptr), f[4],
                       f[5], f[6], f[7]});
  }
  return rows;
}

void print_table(std::vector<row> rows) {
  std::stable_sort(rows.begin(), rows.end(), [](const row& a, const row& b) { return a.id < b.id; });
  std::printf("| %-3s | %-58s | %8s | %8s | %-4s | %6s | %-11s | %-7s | %-14s |\n", "#", "figure", "agent",
              "baseline", "unit", "ratio", "target", "verdict", "conditions");
  std::printf("|-----|%s|---------:|---------:|------|-------:|-------------|---------|----------------|\n",
              std::string(60, '-').c_str());
  for (const row& r : rows) {
    double q = ratio_of(r);
    std::string ratio = std::isnan(q) ? "-" : format_value(q) + "x";
    std::printf("| %-3s | %-58s | %8s | %8s | %-4s | %6s | %-11s | %-7s | %-14s |\n", r.id.c_str(), r.figure.c_str(),
                format_value(r.agent).c_str(), format_value(r.baseline).c_str(), r.unit.c_str(), ratio.c_str(),
                r.target.c_str(), r.verdict.c_str(), r.conditions.c_str());
  }
}

// A scratch directory removed with everything in it when the run ends.
class work_dir {
 public:
  explicit work_dir(const std::string& root) {
    std::string pattern = root + "/kvsbench.XXXXXX";
    if (char* made = ::mkdtemp(pattern.data())) path_ = made;
  }
  ~work_dir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  work_dir(const work_dir&) = delete;
  work_dir& operator=(const work_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The agent as an operator starts it: the daemon on a free port, admitting
// every user (a bench-only authorization file), working in the scratch directory.
class agent_daemon {
 public:
  // `env` is added to the agent's environment (the TLS settings); `user` is
  // the name sessions identify (over mutual TLS, their certificate's).
  bool start(const std::string& program, const work_dir& work, const std::string& log = "agent.log",
             std::map<std::string, std::string> env = {}, const std::string& user = "bench") {
    std::string config = work.file("config");
    fs::create_directories(config);
    std::ofstream(config + "/kvsagtd.ini") << "+ +\n";
    port_ = bench::free_port();
    user_ = user;
    env["KVS_DIR"] = config;
    auto started = bench::child::start({program, std::to_string(port_)}, work.path(), env, work.file(log));
    if (!started) return false;
    process_ = std::move(*started);
    auto deadline = clock::now() + std::chrono::seconds(10);
    while (!bench::port_listening(port_)) {
      if (clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  int port() const { return port_; }
  pid_t pid() const { return process_.pid(); }

  // The daemon pauses one second after each accept: a connection made in
  // that second waits in the backlog. Sleeps until the daemon is idle.
  // The pause starts when the daemon has handed a connection over, that is
  // about when its greeting arrives (a connection queued behind an earlier
  // one is accepted late): callers note that moment.
  void wait_idle() {
    auto ready = last_accept_ + std::chrono::milliseconds(1200);
    if (clock::now() < ready) std::this_thread::sleep_until(ready);
  }
  void note_greeting() { last_accept_ = clock::now(); }

  // An identified session. `connection_pid` receives the connection process.
  bool open(bench::line_channel& channel, pid_t* connection_pid = nullptr) {
    std::vector<pid_t> before;
    for (pid_t p : bench::children_of(pid()))
      if (!bench::waiting_spare(p)) before.push_back(p);
    if (!channel.open("127.0.0.1", port_, kReplyMs)) return false;
    std::optional<std::string> greeting = channel.read_line();
    note_greeting();
    if (!greeting || greeting->rfind("210", 0) != 0) return false;
    std::optional<std::string> admitted = channel.command("Qim " + user_);
    if (!admitted || admitted->rfind("310", 0) != 0) return false;
    if (connection_pid != nullptr) *connection_pid = new_child(before);
    return true;
  }
  // An identified session over TLS: connect, handshake, greeting, Qim.
  bool open(bench::tls_stream& stream, const bench::tls_client& client, std::string* error) {
    if (!stream.open(client, "127.0.0.1", port_, kReplyMs, error)) return false;
    std::optional<std::string> greeting = stream.read_line();
    note_greeting();
    if (!greeting || greeting->rfind("210", 0) != 0) {
      *error = "no greeting";
      return false;
    }
    std::optional<std::string> admitted = stream.command("Qim " + user_);
    if (!admitted || admitted->rfind("310", 0) != 0) {
      *error = "Qim " + user_ + " answered " + admitted.value_or("nothing");
      return false;
    }
    return true;
  }
  bool open(studio::connection& connection) {
    if (!connection.open("127.0.0.1", port_, kReplyMs)) return false;
    std::optional<std::string> greeting = connection.read_line(kReplyMs);
    note_greeting();
    if (!greeting || greeting->rfind("210", 0) != 0) return false;
    std::optional<std::string> admitted = connection.command("Qim " + user_, kReplyMs);
    return admitted && admitted->rfind("310", 0) == 0;
  }

  // The connection process that was not serving when `before` was taken
  // (the daemon's spare, waiting for a connection, serves none); -1.
  pid_t new_child(const std::vector<pid_t>& before) {
    auto deadline = clock::now() + std::chrono::seconds(5);
    while (clock::now() < deadline) {
      for (pid_t p : bench::children_of(pid()))
        if (!bench::waiting_spare(p) && std::find(before.begin(), before.end(), p) == before.end()) return p;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
  }

 private:
  bench::child process_;
  int port_ = -1;
  std::string user_ = "bench";
  clock::time_point last_accept_ = clock::now() - std::chrono::seconds(10);
};

// The echo server, or with a `greeting` the bare accept-and-send server.
std::optional<bench::child> start_echo(const options& o, int* port, const std::string& greeting = "") {
  *port = bench::free_port();
  std::vector<std::string> argv{o.echo};
  if (!greeting.empty()) argv.insert(argv.end(), {"--greet", greeting});
  argv.push_back(std::to_string(*port));
  auto echo = bench::child::start(argv);
  if (!echo) return std::nullopt;
  auto deadline = clock::now() + std::chrono::seconds(10);
  while (!bench::port_listening(*port)) {
    if (clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return echo;
}

// ---- ssh, scp and sftp, the baselines a test engineer would reach for

// Runs a program to its end; its exit status, or -1 when it did not end in time.
int run_program(const std::vector<std::string>& argv, int timeout_ms = 300000) {
  auto started = bench::child::start(argv);
  if (!started) return -1;
  std::optional<int> status = started->wait(timeout_ms);
  return status ? *status : -1;
}

// `ssh kvsbench-ssh true`, through the master connection at `control` or,
// when it is empty, over a connection of its own; microseconds, or -1.
double ssh_command(const options& o, const std::string& control) {
  std::vector<std::string> argv{"ssh", "-F", o.ssh_config};
  if (control.empty())
    argv.insert(argv.end(), {"-o", "ControlPath=none"});
  else
    argv.insert(argv.end(), {"-S", control});
  argv.insert(argv.end(), {"kvsbench-ssh", "true"});
  auto start = clock::now();
  return run_program(argv, kReplyMs) == 0 ? bench::micros_since(start) : -1;
}

// An ssh master connection (ControlMaster) that later ssh commands share.
class ssh_master {
 public:
  bool start(const options& o, const std::string& control) {
    config_ = o.ssh_config;
    control_ = control;
    auto started = bench::child::start(
        {"ssh", "-F", config_, "-M", "-S", control_, "-N", "-o", "ControlPersist=no", "kvsbench-ssh"});
    if (!started) return false;
    process_ = std::move(*started);
    auto deadline = clock::now() + std::chrono::seconds(10);
    while (run_program({"ssh", "-F", config_, "-S", control_, "-O", "check", "kvsbench-ssh"}, 5000) != 0) {
      if (clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }
  ~ssh_master() {
    if (!control_.empty()) run_program({"ssh", "-F", config_, "-S", control_, "-O", "exit", "kvsbench-ssh"}, 5000);
  }

 private:
  std::string config_, control_;
  bench::child process_;
};

// Round trips of one short line; false when a reply is missing or wrong.
bool round_trips(bench::line_channel& channel, const std::string& line, std::string_view expected_prefix, int count,
                 std::vector<double>* samples) {
  for (int i = 0; i < count; ++i) {
    auto start = clock::now();
    if (!channel.send_line(line)) return false;
    std::optional<std::string> reply = channel.read_line();
    if (!reply || !reply->starts_with(expected_prefix)) return false;
    if (samples != nullptr) samples->push_back(bench::micros_since(start));
  }
  return true;
}

// ---- 1. command round trip

// Agent and baseline take turns, block after block, so that whatever else
// the machine does meanwhile falls on both alike.
constexpr int kBlocks = 10;

void figure_rtt(const options& o, agent_daemon& agent, report& out) {
  const int count = o.quick ? 500 : 10000;
  const std::string line = "GENV BENCH_X";
  const std::string reply = "211 getenv result : BENCH_X=1";
  std::vector<double> agent_us, echo_us;
  bench::line_channel agent_channel;
  std::optional<std::string> set;
  if (!agent.open(agent_channel) || !(set = agent_channel.command("SENV BENCH_X=1")) || set->rfind("212", 0) != 0)
    return out.failure("1", "round trip", "no session with the agent");
  int port = 0;
  auto echo = start_echo(o, &port);
  bench::line_channel echo_channel;
  if (!echo || !echo_channel.open("127.0.0.1", port, kReplyMs))
    return out.failure("1", "round trip", "no echo server");
  if (!round_trips(agent_channel, line, reply, 1000, nullptr) || !round_trips(echo_channel, line, line, 1000, nullptr))
    return out.failure("1", "round trip", "no reply while warming up");
  for (int block = 0; block < kBlocks; ++block) {
    if (!round_trips(agent_channel, line, reply, count / kBlocks, &agent_us))
      return out.failure("1", "round trip", "a GENV reply was missing or wrong");
    if (!round_trips(echo_channel, line, line, count / kBlocks, &echo_us))
      return out.failure("1", "round trip", "the echo server failed");
  }
  out.ratio("1a", "GENV round trip p50 (vs line echo)", bench::percentile(agent_us, 50),
            bench::percentile(echo_us, 50), "us", 1.3, false);
  out.ratio("1b", "GENV round trip p99 (vs line echo)", bench::percentile(agent_us, 99),
            bench::percentile(echo_us, 99), "us", NAN, false);
}

// ---- 2. pipelined commands

// Sends `count` lines at once and reads the replies; replies per second, or
// -1 when a reply is missing or wrong.
double pipelined(bench::line_channel& channel, const std::string& line, std::string_view expected, int count) {
  std::string burst;
  burst.reserve((line.size() + 2) * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) burst.append(line).append("\r\n");
  std::atomic<bool> sent_ok{true};
  auto start = clock::now();
  std::thread writer([&] { sent_ok = channel.send_raw(burst); });
  int good = 0;
  for (int i = 0; i < count; ++i) {
    std::optional<std::string> reply = channel.read_line();
    if (!reply) break;
    if (reply->starts_with(expected)) ++good;
  }
  double seconds = bench::micros_since(start) / 1e6;
  writer.join();
  return sent_ok && good == count ? count / seconds : -1;
}

void figure_pipeline(const options& o, agent_daemon& agent, report& out) {
  const int count = 10000;
  const int runs = o.quick ? 1 : 21;
  const std::string line = "GENV BENCH_X";
  std::vector<double> agent_rate, echo_rate;
  bench::line_channel agent_channel;
  std::optional<std::string> set;
  if (!agent.open(agent_channel) || !(set = agent_channel.command("SENV BENCH_X=1")) || set->rfind("212", 0) != 0)
    return out.failure("2", "pipelined commands", "no session with the agent");
  int port = 0;
  auto echo = start_echo(o, &port);
  bench::line_channel echo_channel;
  if (!echo || !echo_channel.open("127.0.0.1", port, kReplyMs))
    return out.failure("2", "pipelined commands", "no echo server");
  for (int r = 0; r < 3; ++r)  // warm-up, untimed
    if (pipelined(agent_channel, line, "211 getenv result : BENCH_X=1", count) < 0 ||
        pipelined(echo_channel, line, line, count) < 0)
      return out.failure("2", "pipelined commands", "a reply was missing or wrong while warming up");
  for (int r = 0; r < runs; ++r) {
    double rate = pipelined(agent_channel, line, "211 getenv result : BENCH_X=1", count);
    if (rate < 0) return out.failure("2", "pipelined commands", "a GENV reply was missing or wrong");
    agent_rate.push_back(rate);
    rate = pipelined(echo_channel, line, line, count);
    if (rate < 0) return out.failure("2", "pipelined commands", "the echo server failed");
    echo_rate.push_back(rate);
    if (o.verbose) std::cerr << "    agent " << agent_rate.back() << "/s, echo " << rate << "/s\n";
  }
  out.ratio("2", "10,000 pipelined GENV (vs line echo)", bench::median(agent_rate) / 1000,
            bench::median(echo_rate) / 1000, "k/s", 0.5, true);
}

// ---- 3. launching a program; 5. memory after launches

// VmRSS, PSS, private and private dirty memory of a connection process.
void memory_rows(report& out, pid_t pid, const std::array<const char*, 4>& ids, const std::string& when) {
  long rss = pid > 0 ? bench::rss_kib(pid) : -1;
  if (rss < 0) return out.failure(ids[0], "VmRSS " + when, "connection process not found");
  out.absolute(ids[0], "VmRSS, connection process " + when, rss / 1024.0, "MiB", 2.0, false);
  out.absolute(ids[1], "  PSS (shared pages divided among sharers)", bench::pss_kib(pid) / 1024.0, "MiB", NAN, false);
  out.absolute(ids[2], "  private (clean + dirty)", bench::private_kib(pid) / 1024.0, "MiB", NAN, false);
  out.absolute(ids[3], "    of which dirty (what one more costs)", bench::private_dirty_kib(pid) / 1024.0, "MiB",
               NAN, false);
}

// EXEC of /bin/true until its 661 line; the time, or -1 on a wrong answer.
double launch_once(bench::line_channel& channel) {
  auto start = clock::now();
  if (!channel.send_line("EXEC /bin/true")) return -1;
  int number = -1;
  for (;;) {
    std::optional<std::string> line = channel.read_line();
    if (!line) return -1;
    if (line->starts_with("261")) {
      number = bench::launched_number(*line);
      continue;
    }
    if (line->starts_with("561")) return -1;
    std::vector<int> ended = bench::stopped_numbers(*line);
    if (number > 0 && std::find(ended.begin(), ended.end(), number) != ended.end()) break;
  }
  return bench::micros_since(start);
}

void figure_exec(const options& o, const work_dir& work, agent_daemon& agent, report& out) {
  const int timed = o.quick ? 30 : 500;
  const int total = o.quick ? 60 : 1000;
  bench::line_channel channel;
  pid_t connection = -1;
  if (!agent.open(channel, &connection)) return out.failure("3", "EXEC /bin/true", "no session with the agent");
  std::vector<double> agent_us, spawn_us;
  // The untimed launches first; then agent and spawn loop take turns.
  for (int i = 0; i < total - timed; ++i)
    if (launch_once(channel) < 0) return out.failure("3", "EXEC /bin/true", "a launch was not answered 261 then 661");
  for (int block = 0; block < kBlocks; ++block) {
    for (int i = 0; i < timed / kBlocks; ++i) {
      double us = launch_once(channel);
      if (us < 0) return out.failure("3", "EXEC /bin/true", "a launch was not answered 261 then 661");
      agent_us.push_back(us);
    }
    std::string log = work.file("spawn.out");
    std::error_code ignored;
    fs::remove(log, ignored);
    auto loop = bench::child::start({o.spawn, std::to_string(timed / kBlocks)}, {}, {}, log);
    std::optional<int> status = loop ? loop->wait(120000) : std::nullopt;
    std::ifstream in(log);
    double us = 0;
    while (in >> us) spawn_us.push_back(us);
    if (!status || *status != 0 || spawn_us.size() != static_cast<std::size_t>((block + 1) * (timed / kBlocks)))
      return out.failure("3", "EXEC /bin/true", "the posix_spawn loop failed");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  out.ratio("3a", "EXEC /bin/true to 661 p50 (vs spawn+waitpid)", bench::percentile(agent_us, 50) / 1000,
            bench::percentile(spawn_us, 50) / 1000, "ms", 2.0, false);
  out.ratio("3b", "EXEC /bin/true to 661 p99 (vs spawn+waitpid)", bench::percentile(agent_us, 99) / 1000,
            bench::percentile(spawn_us, 99) / 1000, "ms", NAN, false);
  memory_rows(out, connection, {"5g", "5h", "5i", "5j"}, "after " + std::to_string(total) + " programs ended");
}

// ---- 1c, 3c: a command through an ssh master connection

void figure_ssh(const options& o, const work_dir& work, agent_daemon& agent, report& out) {
  if (o.ssh_config.empty()) return;
  const int genv = o.quick ? 10 : 100, launches = o.quick ? 2 : 10, commands = o.quick ? 1 : 5;
  const std::string line = "GENV BENCH_X";
  const std::string reply = "211 getenv result : BENCH_X=1";
  bench::line_channel channel;
  std::optional<std::string> set;
  if (!agent.open(channel) || !(set = channel.command("SENV BENCH_X=1")) || set->rfind("212", 0) != 0)
    return out.failure("1c", "ssh via ControlMaster", "no session with the agent");
  ssh_master master;
  const std::string control = work.file("ssh-control");
  if (!master.start(o, control)) return out.failure("1c", "ssh via ControlMaster", "no ssh master connection");
  // Warm-up, then agent and ssh take turns block after block.
  if (ssh_command(o, control) < 0 || !round_trips(channel, line, reply, genv, nullptr) || launch_once(channel) < 0)
    return out.failure("1c", "ssh via ControlMaster", "no answer while warming up");
  std::vector<double> genv_us, exec_us, ssh_us;
  for (int block = 0; block < kBlocks; ++block) {
    if (!round_trips(channel, line, reply, genv, &genv_us))
      return out.failure("1c", "ssh via ControlMaster", "a GENV reply was missing or wrong");
    for (int i = 0; i < launches; ++i) {
      double us = launch_once(channel);
      if (us < 0) return out.failure("3c", "ssh via ControlMaster", "a launch was not answered 261 then 661");
      exec_us.push_back(us);
    }
    for (int i = 0; i < commands; ++i) {
      double us = ssh_command(o, control);
      if (us < 0) return out.failure("1c", "ssh via ControlMaster", "ssh did not run true");
      ssh_us.push_back(us);
    }
  }
  out.ratio("1c", "GENV round trip p50 (vs ssh true via ControlMaster)", bench::percentile(genv_us, 50),
            bench::percentile(ssh_us, 50), "us", NAN, false);
  out.ratio("3c", "EXEC /bin/true to 661 p50 (vs ssh true, ControlMaster)", bench::percentile(exec_us, 50) / 1000,
            bench::percentile(ssh_us, 50) / 1000, "ms", NAN, false);
}

// ---- 10. calls in a row: kvsctl through a control connection, and on
// connections of its own

// `kvsctl [-S SOCKET] TARGET run -- true`; microseconds, or -1.
double kvsctl_true(const options& o, const std::string& socket, const std::string& target) {
  auto start = clock::now();
  return run_program({o.kvsctl, "-S", socket, target, "run", "--", "true"}, 30000) == 0 ? bench::micros_since(start)
                                                                                         : -1;
}

void figure_kvsctl(const options& o, const work_dir& work, agent_daemon& agent, report& out) {
  if (o.kvsctl.empty()) return;
  const int calls = 100, alone = o.quick ? 3 : 10;
  const std::string target = "127.0.0.1:" + std::to_string(agent.port());
  const std::string socket = work.file("kvsctl-control");
  agent.wait_idle();
  if (run_program({o.kvsctl, "-M", "-S", socket, target}, 30000) != 0)
    return out.failure("10a", "kvsctl via control connection", "kvsctl -M did not start");
  agent.note_greeting();
  ssh_master master;
  const std::string control = work.file("ssh-control-10");
  bool with_ssh = !o.ssh_config.empty() && master.start(o, control);
  if (kvsctl_true(o, socket, target) < 0 || (with_ssh && ssh_command(o, control) < 0))
    return out.failure("10a", "kvsctl via control connection", "no answer while warming up");
  // Turn about, ten calls of each at a time; the totals of 100 calls.
  double kvsctl_total = 0, ssh_total = 0;
  for (int done = 0; done < calls; done += 10) {
    for (int i = 0; i < 10; ++i) {
      double us = kvsctl_true(o, socket, target);
      if (us < 0) return out.failure("10a", "kvsctl via control connection", "kvsctl run -- true failed");
      kvsctl_total += us;
    }
    for (int i = 0; with_ssh && i < 10; ++i) {
      double us = ssh_command(o, control);
      if (us < 0) return out.failure("10a", "kvsctl via control connection", "ssh did not run true");
      ssh_total += us;
    }
  }
  // Each on its own connection: the daemon's pause after each accept is
  // what a call in a row then waits for; a few calls, scaled to 100.
  double alone_total = 0;
  for (int i = 0; i < alone; ++i) {
    double us = kvsctl_true(o, "none", target);
    if (us < 0) return out.failure("10b", "kvsctl on its own connection", "kvsctl run -- true failed");
    alone_total += us;
  }
  agent.note_greeting();
  run_program({o.kvsctl, "-O", "exit", "-S", socket, target}, 30000);
  if (with_ssh)
    out.ratio("10a", "100 kvsctl run -- true via -M (vs 100 ssh true via ControlMaster)", kvsctl_total / 1e6,
              ssh_total / 1e6, "s", 1.5, false);
  out.ratio("10b", "100 kvsctl run -- true, own connections (vs via -M)", alone_total * calls / alone / 1e6,
            kvsctl_total / 1e6, "s", NAN, false);
}

// ---- 5. connecting, idle memory

// Memory of the --before agent's idle connection, taken before this agent's.
long before_rss_ = -1, before_pss_ = -1, before_dirty_ = -1;

// Connect until the greeting arrives at `port`; microseconds, or -1. The
// greeting's text goes to `text` when it is given.
double greeting_us(int port, std::string* text = nullptr) {
  auto start = clock::now();
  bench::line_channel channel;
  if (!channel.open("127.0.0.1", port, kReplyMs)) return -1;
  std::optional<std::string> greeting = channel.read_line();
  if (!greeting || greeting->rfind("210", 0) != 0) return -1;
  double us = bench::micros_since(start);
  if (text != nullptr) *text = *greeting;
  return us;
}

// The same, once the daemon is idle.
double greeting_us(agent_daemon& agent, std::string* text = nullptr) {
  agent.wait_idle();
  double us = greeting_us(agent.port(), text);
  agent.note_greeting();
  return us;
}

void figure_connect(const options& o, agent_daemon& agent, agent_daemon* before, report& out) {
  const int samples = o.quick ? 3 : 20;
  std::vector<double> us, before_us, bare_us;
  // The bare server greets with the agent's own line, started once that line is known.
  std::string greeting;
  std::optional<bench::child> bare;
  int bare_port = -1;
  for (int i = 0; i < samples; ++i) {
    double t = greeting_us(agent, &greeting);
    if (t < 0) return out.failure("5a", "connect to greeting", "no greeting");
    us.push_back(t);
    if (!bare && !(bare = start_echo(o, &bare_port, greeting)))
      return out.failure("5m", "connect to greeting", "no bare accept-and-send server");
    if ((t = greeting_us(bare_port)) < 0)
      return out.failure("5m", "connect to greeting", "no greeting from the bare server");
    bare_us.push_back(t);
    if (before == nullptr) continue;
    if ((t = greeting_us(*before)) < 0) return out.failure("9a", "connect to greeting", "no greeting (--before)");
    before_us.push_back(t);
  }
  out.absolute("5a", "connect to greeting p50 (idle daemon)", bench::percentile(us, 50) / 1000, "ms", 1.0, false);
  out.ratio("5m", "connect to greeting p50 (vs bare accept-and-send)", bench::percentile(us, 50) / 1000,
            bench::percentile(bare_us, 50) / 1000, "ms", 1.5, false);
  if (before != nullptr) {
    out.ratio("9a", "connect to greeting p50, vs --before agent", bench::percentile(us, 50) / 1000,
              bench::percentile(before_us, 50) / 1000, "ms", NAN, false);
    bench::line_channel old_channel;
    pid_t old = -1;
    before->wait_idle();
    if (!before->open(old_channel, &old) || old < 0)
      return out.failure("9b", "memory, --before agent", "no session with the agent");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    before_rss_ = bench::rss_kib(old);
    before_pss_ = bench::pss_kib(old);
    before_dirty_ = bench::private_dirty_kib(old);
  }

  // A new connection for one command: connect, greeting, identification and
  // EXEC /bin/true until its 661 line, against ssh running `true` over a
  // connection of its own. ssh runs during the daemon's pause after an accept.
  if (!o.ssh_config.empty()) {
    const int runs = o.quick ? 2 : 10;
    std::vector<double> agent_us, ssh_us;
    ssh_command(o, "");  // warm-up: the client and server binaries in the page cache
    for (int i = 0; i < runs; ++i) {
      double ssh = ssh_command(o, "");
      if (ssh < 0) return out.failure("5b", "connect and one EXEC", "ssh did not run true");
      ssh_us.push_back(ssh);
      agent.wait_idle();
      auto start = clock::now();
      bench::line_channel fresh;
      if (!agent.open(fresh) || launch_once(fresh) < 0)
        return out.failure("5b", "connect and one EXEC", "no session or no 661 line");
      agent_us.push_back(bench::micros_since(start));
    }
    out.ratio("5b", "connect, identify, EXEC to 661 p50 (vs fresh ssh true)", bench::percentile(agent_us, 50) / 1000,
              bench::percentile(ssh_us, 50) / 1000, "ms", NAN, false);
  }

  agent.wait_idle();
  bench::line_channel channel;
  pid_t connection = -1;
  if (!agent.open(channel, &connection) || connection < 0)
    return out.failure("5c", "VmRSS of an idle connection", "no session with the agent");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  memory_rows(out, connection, {"5c", "5d", "5e", "5f"}, "idle");
  if (before != nullptr) {
    out.ratio("9b", "VmRSS idle, vs --before agent", bench::rss_kib(connection) / 1024.0, before_rss_ / 1024.0, "MiB",
              NAN, false);
    out.ratio("9c", "PSS idle, vs --before agent", bench::pss_kib(connection) / 1024.0, before_pss_ / 1024.0, "MiB",
              NAN, false);
    out.ratio("9d", "private dirty idle, vs --before agent", bench::private_dirty_kib(connection) / 1024.0,
              before_dirty_ / 1024.0, "MiB", NAN, false);
  }

  // An idle connection should only wake for its one-second wait.
  const int seconds = o.quick ? 2 : 5;
  long woke = bench::wake_ups(connection), used = bench::cpu_ms(connection);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  woke = bench::wake_ups(connection) - woke;
  used = bench::cpu_ms(connection) - used;
  out.absolute("5k", "idle connection: wake-ups per second", static_cast<double>(woke) / seconds, "/s", NAN, false);
  out.absolute("5l", "idle connection: CPU time per minute", used * 60.0 / seconds, "ms", NAN, false);
}

// ---- 4. file transfer

double seconds_of(const std::function<bool()>& work) {
  ::sync();  // each transfer starts without the previous one's writeback
  auto start = clock::now();
  if (!work()) return -1;
  return bench::micros_since(start) / 1e6;
}

// socat copying a file into a file over loopback; seconds, or -1. The time
// runs from the start of the sending socat, the receiving one listening
// already, until both have ended. `buffer` 0 keeps socat's default (8 KiB).
double socat_copy(const options& o, const std::string& from, const std::string& to, int buffer) {
  std::error_code ignored;
  fs::remove(to, ignored);
  int port = bench::free_port();
  std::vector<std::string> size;
  if (buffer > 0) size = {"-b", std::to_string(buffer)};
  std::vector<std::string> listen{o.socat, "-u"};
  listen.insert(listen.end(), size.begin(), size.end());
  listen.insert(listen.end(), {"TCP4-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
                               "OPEN:" + to + ",creat,trunc,wronly"});
  auto receiver = bench::child::start(listen);
  if (!receiver) return -1;
  auto deadline = clock::now() + std::chrono::seconds(10);
  while (!bench::port_listening(port)) {
    if (clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return seconds_of([&] {
    std::vector<std::string> send{o.socat, "-u"};
    send.insert(send.end(), size.begin(), size.end());
    send.insert(send.end(), {"OPEN:" + from + ",rdonly", "TCP4:127.0.0.1:" + std::to_string(port)});
    auto sender = bench::child::start(send);
    if (!sender) return false;
    std::optional<int> s = sender->wait(300000);
    std::optional<int> r = receiver->wait(300000);
    return s == 0 && r == 0;
  });
}

void figure_transfer(const options& o, const work_dir& work, agent_daemon& agent, agent_daemon* before,
                     report& out) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(o.quick ? 8 : o.file_mib) << 20;
  // The first round warms the page cache and checks every copy byte for
  // byte; the timed rounds follow.
  const int runs = o.quick ? 1 : 5;
  const double mb = static_cast<double>(bytes) / 1e6;
  std::string binary = work.file("source.bin"), text = work.file("source.txt");
  std::string there = work.file("agent-side"), here = work.file("studio-side");
  if (!bench::make_file(binary, bytes, false) || !bench::make_file(text, bytes, true))
    return out.failure("4", "file transfer", "cannot write the source files");
  struct cleanup {
    std::vector<std::string> files;
    ~cleanup() {
      std::error_code ignored;
      for (const std::string& f : files) fs::remove(f, ignored);
    }
  } remove_files{{binary, text, there, here}};

  studio::connection command;
  if (!agent.open(command)) return out.failure("4", "file transfer", "no session with the agent");
  studio::file_transfer transfer(command, "127.0.0.1", kReplyMs);
  studio::connection old_command;
  if (before != nullptr && !before->open(old_command))
    return out.failure("9", "file transfer", "no session with the --before agent");
  studio::file_transfer old_transfer(old_command, "127.0.0.1", kReplyMs);
  struct leg {
    const char* id;
    const char* name;
    studio::transfer_mode mode;
    bool put;
    const std::string& source;
    std::vector<double> rates;
    std::vector<double> before_rates = {};
  };
  std::vector<leg> legs = {
      {"4a", "PUTF BINARY, file to file", studio::transfer_mode::binary, true, binary, {}},
      {"4b", "GETF BINARY, file to file", studio::transfer_mode::binary, false, binary, {}},
      {"4c", "PUTF ASCII, file to file", studio::transfer_mode::ascii, true, text, {}},
      {"4d", "GETF ASCII, file to file", studio::transfer_mode::ascii, false, text, {}},
  };
  const std::string size = " (" + std::to_string(bytes >> 20) + " MiB)";

  // The baselines: each copies the BINARY file into a file, as PUTF or GETF does.
  struct baseline {
    const char* name;
    std::function<double()> copy;  // seconds, or -1
    std::string target;            // compared with the source in the warm-up round
    std::vector<double> rates;
    int compare = 3;  // the agent's figures it stands beside: 1 PUTF, 2 GETF, 3 both
  };
  std::vector<baseline> baselines;
  if (!o.socat.empty()) {
    baselines.push_back({"socat -b 131072", [&] { return socat_copy(o, binary, here, 131072); }, here, {}});
    baselines.push_back({"socat, default 8 KiB buffer", [&] { return socat_copy(o, binary, here, 0); }, here, {}});
  }
  if (!o.ssh_config.empty()) {
    std::string batch_put = work.file("sftp-put"), batch_get = work.file("sftp-get");
    std::ofstream(batch_put) << "put " << binary << " " << there << "\n";
    std::ofstream(batch_get) << "get " << binary << " " << here << "\n";
    // Each over a connection of its own, as a user would run them.
    auto copy = [&](const char* program, std::vector<std::string> rest, const std::string& target) {
      std::vector<std::string> argv{program, "-F", o.ssh_config, "-o", "ControlPath=none"};
      argv.insert(argv.end(), rest.begin(), rest.end());
      return [argv, target] {
        std::error_code ignored;
        fs::remove(target, ignored);
        return seconds_of([&] { return run_program(argv) == 0; });
      };
    };
    baselines.push_back({"scp, upload", copy("scp", {"-q", binary, "kvsbench-ssh:" + there}, there), there, {}, 1});
    baselines.push_back({"scp, download", copy("scp", {"-q", "kvsbench-ssh:" + binary, here}, here), here, {}, 2});
    baselines.push_back({"sftp put", copy("sftp", {"-q", "-b", batch_put, "kvsbench-ssh"}, there), there, {}, 1});
    baselines.push_back({"sftp get", copy("sftp", {"-q", "-b", batch_get, "kvsbench-ssh"}, here), here, {}, 2});
  }
  baselines.push_back({"dd bs=1M, file to file",
                       [&] {
                         std::error_code ignored;
                         fs::remove(here, ignored);
                         return seconds_of([&] {
                           return run_program({"dd", "if=" + binary, "of=" + here, "bs=1M", "status=none"}) == 0;
                         });
                       },
                       here, {}});

  // Each round: every baseline, then every leg once, so that the load of the
  // moment weighs on the baselines and on the agent alike.
  for (int r = 0; r <= runs; ++r) {
    const bool warm_up = r == 0;
    for (baseline& b : baselines) {
      double s = b.copy();
      if (s < 0 || (warm_up && !bench::same_content(binary, b.target)))
        return out.failure("4", "file transfer", std::string(b.name) + ": the copy failed");
      if (o.verbose) std::cerr << "    " << b.name << ": " << mb / s << " MB/s" << (warm_up ? " (warm-up)\n" : "\n");
      if (!warm_up) b.rates.push_back(mb / s);
    }
    for (leg& l : legs) {
      for (bool old : {false, true}) {
        if (old && before == nullptr) continue;
        studio::file_transfer& t = old ? old_transfer : transfer;
        if (!t.set_mode(l.mode)) return out.failure(l.id, l.name + size, "the mode was not set");
        std::error_code ignored;
        std::string target = l.put ? there : here;
        fs::remove(target, ignored);
        studio::transfer_result result;
        double s = seconds_of([&] {
          result = l.put ? t.put_file(l.source, target) : t.get_file(l.source, target);
          return result.ok;
        });
        if (s < 0 || (warm_up && !bench::same_content(l.source, target)))
          return out.failure(l.id, l.name + size,
                             "transfer failed or file differs: " + result.error + " " + result.reply);
        if (o.verbose)
          std::cerr << "    " << l.name << (old ? " (--before)" : "") << ": " << mb / s << " MB/s"
                    << (warm_up ? " (warm-up)\n" : "\n");
        if (!warm_up) (old ? l.before_rates : l.rates).push_back(mb / s);
      }
    }
  }
  const double put_binary = bench::median(legs[0].rates), get_binary = bench::median(legs[1].rates);
  // Rows 4a on: BINARY PUTF and GETF against each baseline in turn.
  char id[] = "4a";
  for (const baseline& b : baselines) {
    double rate = bench::median(b.rates);
    double target = b.name == std::string("socat -b 131072") ? 1.0 : NAN;
    if (b.compare & 1) {
      out.ratio(id, "PUTF BINARY" + size + " vs " + b.name, put_binary, rate, "MB/s", target, true);
      ++id[1];
    }
    if (b.compare & 2) {
      out.ratio(id, "GETF BINARY" + size + " vs " + b.name, get_binary, rate, "MB/s", target, true);
      ++id[1];
    }
  }
  out.ratio("4y", "PUTF ASCII" + size + " vs PUTF BINARY", bench::median(legs[2].rates), put_binary, "MB/s", 0.5,
            true);
  out.ratio("4z", "GETF ASCII" + size + " vs GETF BINARY", bench::median(legs[3].rates), get_binary, "MB/s", 0.5,
            true);
  if (before != nullptr) {
    char row[] = "9e";
    for (const leg& l : legs) {
      out.ratio(row, std::string(l.name).substr(0, std::string(l.name).find(',')) + size + ", vs --before agent", bench::median(l.rates),
                bench::median(l.before_rates), "MB/s", NAN, true);
      ++row[1];
    }
  }
}

// ---- 6. dynamic follow and rendezvous

int side_port(bench::line_channel& channel, const std::string& command, std::string_view code) {
  std::optional<std::string> reply = channel.command(command);
  if (!reply || !reply->starts_with(code)) return -1;
  return studio::reply_number(*reply);
}

void figure_dynf(const options& o, agent_daemon& agent, report& out) {
  const int testers = o.quick ? 10 : 100;
  const int per_tester = o.quick ? 100 : 1000;
  const std::string figure =
      std::to_string(testers) + " testers x " + std::to_string(per_tester) + " lines relayed";
  bench::line_channel channel;
  int port = -1;
  if (!agent.open(channel) || (port = side_port(channel, "PDYN", "241")) < 0)
    return out.failure("6a", figure, "no dynamic-follow port");

  std::vector<studio::socket_fd> sockets;
  for (int t = 0; t < testers; ++t) {
    studio::socket_fd s = studio::connect_tcp("127.0.0.1", port, kReplyMs);
    if (!s.valid() || !studio::send_all(s.get(), "BOOT " + std::to_string(t)))
      return out.failure("6a", figure, "a tester could not connect");
    sockets.push_back(std::move(s));
  }
  bench::relay_checker checker(testers, per_tester);
  while (checker.boots() < testers) {
    std::optional<std::string> line = channel.read_line();
    if (!line || !checker.feed(*line)) return out.failure("6a", figure, "boot: " + checker.error());
  }

  // The studio reads on its own thread while the testers send, as it would.
  clock::time_point last;
  std::thread reader([&] {
    while (!checker.complete()) {
      std::optional<std::string> line = channel.read_line();
      if (!line || !checker.feed(*line)) return;
      last = clock::now();
    }
  });
  auto start = clock::now();
  bool sent = true;
  for (int seq = 0; seq < per_tester && sent; ++seq)
    for (int t = 0; t < testers && sent; ++t)
      sent = studio::send_all(sockets[static_cast<std::size_t>(t)].get(), bench::tester_line(t, seq) + "\r\n");
  if (!sent) ::shutdown(channel.fd(), SHUT_RDWR);  // ends the reader's wait
  reader.join();
  if (!sent || !checker.complete())
    return out.failure("6a", figure, checker.error().empty() ? "lines missing" : checker.error());
  double seconds = std::chrono::duration<double>(last - start).count();
  out.absolute("6a", figure + ", once, in order", static_cast<double>(checker.lines()) / seconds / 1000, "k/s",
               NAN, true);
}

void figure_rdv(const options& o, agent_daemon& agent, report& out) {
  const int waiters = o.quick ? 50 : 500;
  const std::string figure = std::to_string(waiters) + " waiters released by one RVOK";
  bench::line_channel channel;
  int port = -1;
  if (!agent.open(channel) || (port = side_port(channel, "PRDV", "240")) < 0)
    return out.failure("6b", figure, "no rendezvous port");
  std::vector<studio::socket_fd> sockets;
  for (int w = 0; w < waiters; ++w) {
    studio::socket_fd s = studio::connect_tcp("127.0.0.1", port, kReplyMs);
    if (!s.valid() || !studio::send_all(s.get(), "BENCH"))
      return out.failure("6b", figure, "a waiter could not connect");
    sockets.push_back(std::move(s));
  }
  for (int joined = 0; joined < waiters; ++joined) {
    std::optional<std::string> line = channel.read_line();
    if (!line || *line != "601 wait rendezvous : BENCH") return out.failure("6b", figure, "a waiter did not join");
  }
  std::vector<pollfd> fds;
  for (const studio::socket_fd& s : sockets) fds.push_back({s.get(), POLLIN, 0});
  std::vector<std::string> got(static_cast<std::size_t>(waiters));
  int answered = 0;
  auto start = clock::now();
  if (!channel.send_line("RVOK BENCH")) return out.failure("6b", figure, "RVOK not sent");
  auto deadline = start + std::chrono::milliseconds(kReplyMs);
  while (answered < waiters && clock::now() < deadline) {
    if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char bytes[16];
      ssize_t n = ::recv(fds[i].fd, bytes, sizeof bytes, 0);
      if (n > 0) got[i].append(bytes, static_cast<std::size_t>(n));
      if (n <= 0 || got[i].size() >= 2) {
        fds[i].fd = -1;
        ++answered;
      }
    }
  }
  double ms = bench::micros_since(start) / 1000;
  for (const std::string& g : got)
    if (g != "Ok") return out.failure("6b", figure, "a waiter got \"" + g + "\" instead of Ok");
  out.absolute("6b", figure + " (last Ok)", ms, "ms", NAN, false);
}

// ---- 11. TLS: the same agent with mutual TLS, against itself in plain text
// and against socat over TLS and ssh

// The TLS agent of a run and the studio's side of it: alice's certificate
// (CN=alice), the agent's verified against the test CA.
struct tls_setup {
  agent_daemon agent;
  bench::tls_client client;
  std::string certs;
  std::string error;
  bool start(const options& o, const work_dir& work) {
    certs = o.tls_certs;
    std::map<std::string, std::string> env{{"KVS_TLS_CERT", certs + "/agent.pem"},
                                           {"KVS_TLS_KEY", certs + "/agent.key"},
                                           {"KVS_TLS_CLIENT_CA", certs + "/ca.pem"}};
    if (!client.load(certs + "/ca.pem", certs + "/alice.pem", certs + "/alice.key", &error)) return false;
    if (!agent.start(o.agent, work, "agent-tls.log", env, "alice")) {
      error = "the TLS agent did not start (see " + work.file("agent-tls.log") + ")";
      return false;
    }
    return true;
  }
  bool open(bench::tls_stream& stream) {
    agent.wait_idle();
    return agent.open(stream, client, &error);
  }
};

// EXEC of /bin/true until its 661 line over TLS; microseconds, or -1.
double launch_once(bench::tls_stream& stream) {
  auto start = clock::now();
  if (!stream.send_line("EXEC /bin/true")) return -1;
  int number = -1;
  for (;;) {
    std::optional<std::string> line = stream.read_line();
    if (!line || line->starts_with("561")) return -1;
    if (line->starts_with("261")) {
      number = bench::launched_number(*line);
      continue;
    }
    std::vector<int> ended = bench::stopped_numbers(*line);
    if (number > 0 && std::find(ended.begin(), ended.end(), number) != ended.end()) break;
  }
  return bench::micros_since(start);
}

void figure_tls(const options& o, agent_daemon& plain, tls_setup& tls, report& out) {
  const int count = o.quick ? 500 : 10000;
  const std::string line = "GENV BENCH_X";
  const std::string reply = "211 getenv result : BENCH_X=1";
  bench::line_channel plain_channel;
  bench::tls_stream stream;
  std::optional<std::string> set;
  if (!plain.open(plain_channel) || !(set = plain_channel.command("SENV BENCH_X=1")) || set->rfind("212", 0) != 0)
    return out.failure("11a", "round trip over TLS", "no plain session with the agent");
  if (!tls.open(stream) || !(set = stream.command("SENV BENCH_X=1")) || set->rfind("212", 0) != 0)
    return out.failure("11a", "round trip over TLS", "no TLS session: " + tls.error);
  if (stream.suite() != bench::kTlsSuite)
    return out.failure("11a", "round trip over TLS", "the handshake chose " + stream.suite());
  auto tls_trips = [&](int n, std::vector<double>* samples) {
    for (int i = 0; i < n; ++i) {
      auto start = clock::now();
      std::optional<std::string> got = stream.command(line);
      if (!got || *got != reply) return false;
      if (samples != nullptr) samples->push_back(bench::micros_since(start));
    }
    return true;
  };
  // Warm-up, then TLS and plain take turns block after block.
  if (!tls_trips(count / 10, nullptr) || !round_trips(plain_channel, line, reply, count / 10, nullptr))
    return out.failure("11a", "round trip over TLS", "a reply was missing or wrong while warming up");
  std::vector<double> tls_us, plain_us;
  for (int block = 0; block < kBlocks; ++block) {
    if (!tls_trips(count / kBlocks, &tls_us) || !round_trips(plain_channel, line, reply, count / kBlocks, &plain_us))
      return out.failure("11a", "round trip over TLS", "a reply was missing or wrong");
  }
  out.ratio("11a", "GENV round trip p50, TLS (vs plain, same agent)", bench::percentile(tls_us, 50),
            bench::percentile(plain_us, 50), "us", 1.2, false);
  out.ratio("11b", "GENV round trip p99, TLS (vs plain, same agent)", bench::percentile(tls_us, 99),
            bench::percentile(plain_us, 99), "us", NAN, false);

  // A new connection for one program: connect, handshake, greeting, Qim and
  // EXEC /bin/true to its 661 line, against the same in plain text and a
  // fresh ssh running `true`.
  const int runs = o.quick ? 2 : 10;
  std::vector<double> fresh_tls, fresh_plain, fresh_ssh;
  if (!o.ssh_config.empty()) ssh_command(o, "");  // warm-up
  for (int i = 0; i < runs; ++i) {
    tls.agent.wait_idle();
    auto start = clock::now();
    bench::tls_stream fresh;
    if (!tls.agent.open(fresh, tls.client, &tls.error) || launch_once(fresh) < 0)
      return out.failure("11c", "TLS connect and one EXEC", "no session or no 661 line: " + tls.error);
    fresh_tls.push_back(bench::micros_since(start));
    plain.wait_idle();
    start = clock::now();
    bench::line_channel fresh_channel;
    if (!plain.open(fresh_channel) || launch_once(fresh_channel) < 0)
      return out.failure("11d", "plain connect and one EXEC", "no session or no 661 line");
    fresh_plain.push_back(bench::micros_since(start));
    if (o.ssh_config.empty()) continue;
    double ssh = ssh_command(o, "");
    if (ssh < 0) return out.failure("11c", "TLS connect and one EXEC", "ssh did not run true");
    fresh_ssh.push_back(ssh);
  }
  if (!fresh_ssh.empty())
    out.ratio("11c", "TLS connect, identify, EXEC to 661 p50 (vs fresh ssh true)",
              bench::percentile(fresh_tls, 50) / 1000, bench::percentile(fresh_ssh, 50) / 1000, "ms", 0.1, false);
  out.ratio("11d", "TLS connect, identify, EXEC to 661 p50 (vs plain)", bench::percentile(fresh_tls, 50) / 1000,
            bench::percentile(fresh_plain, 50) / 1000, "ms", NAN, false);
}

// The piece the TLS transfers read and write at a time: socat's -b below.
constexpr std::size_t kTlsPiece = 131072;

// The data port of a TLS session (PFTP), in BINARY mode; -1.
int tls_data_port(bench::tls_stream& command) {
  std::optional<std::string> mode = command.command("FTPB");
  std::optional<std::string> reply = command.command("PFTP");
  if (!mode || !mode->starts_with("228") || !reply || !reply->starts_with("226")) return -1;
  return studio::reply_number(*reply);
}

// PUTF or GETF of `local` as `remote` over the TLS session and a TLS data
// connection with the session's certificate; false on a wrong reply.
bool tls_transfer(tls_setup& tls, bench::tls_stream& command, int port, bool put, const std::string& local,
                  const std::string& remote) {
  if (!command.send_line((put ? "PUTF " : "GETF ") + remote)) return false;
  bench::tls_stream data;
  if (!data.open(tls.client, "127.0.0.1", port, kReplyMs, &tls.error)) return false;
  std::vector<char> piece(kTlsPiece);
  if (put) {
    unique_fd in(::open(local.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return false;
    for (;;) {
      ssize_t n = ::read(in.get(), piece.data(), piece.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      if (!data.write_all(std::string_view(piece.data(), static_cast<std::size_t>(n)))) return false;
    }
  } else {
    unique_fd out(::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid()) return false;
    // The end of the stream (close_notify, or the connection's end) is the
    // end of the file; the reply and, in the warm-up round, the content say
    // whether it was whole.
    for (long n; (n = data.read_some(piece.data(), piece.size())) > 0;)
      for (long at = 0; at < n;) {
        ssize_t w = ::write(out.get(), piece.data() + at, static_cast<std::size_t>(n - at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        at += w;
      }
  }
  data.close();
  std::optional<std::string> reply;
  do reply = command.read_line();
  while (reply && !reply->starts_with(put ? "231" : "230") && !reply->starts_with("53") &&
         !reply->starts_with("43"));
  return reply && reply->starts_with(put ? "231" : "230");
}

// socat copying a file into a file over TLS 1.3 on loopback, the receiver
// presenting the agent's certificate and asking for alice's, `buffer`
// bytes at a time; seconds, or -1.
double socat_tls_copy(const options& o, const std::string& certs, const std::string& from, const std::string& to,
                      int buffer) {
  std::error_code ignored;
  fs::remove(to, ignored);
  int port = bench::free_port();
  const std::string tls = ",min-version=TLS1.3,cafile=" + certs + "/ca.pem,verify=1";
  auto receiver = bench::child::start(
      {o.socat, "-u", "-b", std::to_string(buffer),
       "OPENSSL-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,cert=" + certs + "/agent.pem,key=" +
           certs + "/agent.key" + tls,
       "OPEN:" + to + ",creat,trunc,wronly"});
  if (!receiver) return -1;
  auto deadline = clock::now() + std::chrono::seconds(10);
  while (!bench::port_listening(port)) {
    if (clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return seconds_of([&] {
    auto sender = bench::child::start(
        {o.socat, "-u", "-b", std::to_string(buffer), "OPEN:" + from + ",rdonly",
         "OPENSSL:127.0.0.1:" + std::to_string(port) + ",commonname=localhost,cert=" + certs + "/alice.pem,key=" +
             certs + "/alice.key" + tls});
    if (!sender) return false;
    std::optional<int> s = sender->wait(300000);
    std::optional<int> r = receiver->wait(300000);
    return s == 0 && r == 0;
  });
}

void figure_tls_transfer(const options& o, const work_dir& work, agent_daemon& plain, tls_setup& tls,
                         report& out) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(o.quick ? 8 : o.file_mib) << 20;
  const int runs = o.quick ? 1 : 5;
  const double mb = static_cast<double>(bytes) / 1e6;
  const std::string size = " (" + std::to_string(bytes >> 20) + " MiB)";
  std::string binary = work.file("tls-source.bin");
  std::string there = work.file("tls-agent-side"), here = work.file("tls-studio-side");
  if (!bench::make_file(binary, bytes, false)) return out.failure("11e", "TLS transfer", "cannot write the source");
  struct cleanup {
    std::vector<std::string> files;
    ~cleanup() {
      std::error_code ignored;
      for (const std::string& f : files) fs::remove(f, ignored);
    }
  } remove_files{{binary, there, here}};

  bench::tls_stream command;
  if (!tls.open(command)) return out.failure("11e", "TLS transfer", "no TLS session: " + tls.error);
  const int port = tls_data_port(command);
  if (port < 0) return out.failure("11e", "TLS transfer", "no data port");
  studio::connection plain_command;
  if (!plain.open(plain_command)) return out.failure("11e", "TLS transfer", "no plain session with the agent");
  studio::file_transfer plain_transfer(plain_command, "127.0.0.1", kReplyMs);

  // Each a copy of the binary file into a file, seconds or -1, with the file
  // it writes (compared with the source in the warm-up round).
  struct copy {
    const char* name;
    std::function<double()> run;
    std::string target;
    std::vector<double> rates = {};
  };
  auto timed_tls = [&](bool put) {
    return [&, put] {
      std::error_code ignored;
      fs::remove(put ? there : here, ignored);
      return seconds_of([&] { return tls_transfer(tls, command, port, put, put ? binary : here, put ? there : binary); });
    };
  };
  auto timed_plain = [&](bool put) {
    return [&, put] {
      std::error_code ignored;
      fs::remove(put ? there : here, ignored);
      return seconds_of([&] {
        return (put ? plain_transfer.put_file(binary, there) : plain_transfer.get_file(binary, here)).ok;
      });
    };
  };
  std::vector<copy> copies = {
      {"PUTF over TLS", timed_tls(true), there},
      {"GETF over TLS", timed_tls(false), here},
      {"PUTF plain", timed_plain(true), there},
      {"GETF plain", timed_plain(false), here},
  };
  if (!o.socat.empty())
    copies.push_back({"socat OPENSSL", [&] { return socat_tls_copy(o, tls.certs, binary, here, kTlsPiece); }, here});
  if (!o.ssh_config.empty()) {
    auto scp = [&](const std::string& from, const std::string& to, const std::string& target) {
      return [&o, from, to, target] {
        std::error_code ignored;
        fs::remove(target, ignored);
        return seconds_of([&] {
          return run_program({"scp", "-F", o.ssh_config, "-o", "ControlPath=none", "-q", from, to}) == 0;
        });
      };
    };
    copies.push_back({"scp, upload", scp(binary, "kvsbench-ssh:" + there, there), there});
    copies.push_back({"scp, download", scp("kvsbench-ssh:" + binary, here, here), here});
  }
  // Each round runs every copy once, so that the load of the moment weighs
  // on all of them alike; the first round warms up and checks the content.
  for (int r = 0; r <= runs; ++r) {
    for (copy& c : copies) {
      double s = c.run();
      if (s < 0 || (r == 0 && !bench::same_content(binary, c.target)))
        return out.failure("11e", std::string(c.name) + size, "the copy failed or differs " + tls.error);
      if (o.verbose) std::cerr << "    " << c.name << ": " << mb / s << " MB/s" << (r == 0 ? " (warm-up)\n" : "\n");
      if (r > 0) c.rates.push_back(mb / s);
    }
  }
  auto rate = [&](const char* name) {
    for (const copy& c : copies)
      if (c.name == std::string(name)) return bench::median(c.rates);
    return static_cast<double>(NAN);
  };
  const double put = rate("PUTF over TLS"), get = rate("GETF over TLS");
  if (!o.socat.empty()) {
    out.ratio("11e", "PUTF over TLS" + size + " vs socat OPENSSL -b 131072", put, rate("socat OPENSSL"), "MB/s", 0.9,
              true);
    out.ratio("11f", "GETF over TLS" + size + " vs socat OPENSSL -b 131072", get, rate("socat OPENSSL"), "MB/s", 0.9,
              true);
  }
  if (!o.ssh_config.empty()) {
    out.ratio("11g", "PUTF over TLS" + size + " vs scp, upload", put, rate("scp, upload"), "MB/s", 2.0, true);
    out.ratio("11h", "GETF over TLS" + size + " vs scp, download", get, rate("scp, download"), "MB/s", 2.0, true);
  }
  out.ratio("11i", "PUTF over TLS" + size + " vs PUTF plain", put, rate("PUTF plain"), "MB/s", NAN, true);
  out.ratio("11j", "GETF over TLS" + size + " vs GETF plain", get, rate("GETF plain"), "MB/s", NAN, true);
}

bool parse(int argc, char** argv, options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--agent") o.agent = value();
    else if (a == "--echo") o.echo = value();
    else if (a == "--spawn") o.spawn = value();
    else if (a == "--socat") o.socat = value();
    else if (a == "--ssh-config") o.ssh_config = value();
    else if (a == "--before") o.before = value();
    else if (a == "--tls-certs") o.tls_certs = value();
    else if (a == "--work-root") o.work_root = value();
    else if (a == "--kvsctl") o.kvsctl = value();
    else if (a == "--file-mib") o.file_mib = std::atoi(value().c_str());
    else if (a == "--quick") o.quick = true;
    else if (a == "--verbose") o.verbose = true;
    else if (a == "--label") o.label = value();
    else if (a == "--results") o.results = value();
    else if (a == "--table") o.table = value();
    else if (a == "--figures") {
      o.figures.clear();
      std::stringstream list(value());
      std::string name;
      while (std::getline(list, name, ',')) o.figures.insert(name);
    } else {
      if (a != "--help") std::cerr << "kvsbench: unknown argument " << a << "\n";
      o.agent.clear();  // shows the usage below
      o.table.clear();
      break;
    }
  }
  if (!o.table.empty()) return true;
  // The agent runs in the scratch directory: its path must not depend on ours.
  for (std::string* path : {&o.agent, &o.echo, &o.spawn, &o.before, &o.kvsctl, &o.tls_certs})
    if (!path->empty() && path->find('/') != std::string::npos) *path = fs::absolute(*path).string();
  if (o.agent.empty() || o.echo.empty() || o.spawn.empty() || o.file_mib <= 0) {
    std::cerr << "usage: kvsbench --agent PATH --echo PATH --spawn PATH [--socat PATH] [--ssh-config FILE]\n"
                 "                [--before PATH] [--kvsctl PATH] [--tls-certs DIR] [--figures LIST]\n"
                 "                [--file-mib N] [--quick] [--verbose] [--label TEXT] [--results FILE]\n"
                 "                [--work-root DIR]\n"
                 "       kvsbench --table FILE\n";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse(argc, argv, o)) return 1;
  if (!o.table.empty()) {
    print_table(load_rows(o.table));
    return 0;
  }
  ::signal(SIGPIPE, SIG_IGN);
  work_dir work(o.work_root);
  if (work.path().empty()) {
    std::cerr << "kvsbench: cannot make a scratch directory in " << o.work_root << "\n";
    return 1;
  }
  std::cerr << "kvsbench: " << bench::machine_description() << "; load " << bench::load_average()
            << (o.label.empty() ? "" : "; " + o.label) << "\n";
  agent_daemon agent;
  report out(o);
  agent_daemon before;
  if (!o.before.empty() && !before.start(o.before, work, "before.log")) {
    std::cerr << "kvsbench: the --before agent did not start (see " << work.file("before.log") << ")\n";
    return 2;
  }
  agent_daemon* older = o.before.empty() ? nullptr : &before;
  if (!agent.start(o.agent, work)) {
    std::cerr << "kvsbench: the agent did not start (see " << work.file("agent.log") << ")\n";
    return 2;
  }
  // Latency first, while nothing else of this run has warmed or dirtied the machine.
  if (o.figures.count("rtt")) figure_rtt(o, agent, out);
  if (o.figures.count("exec")) figure_exec(o, work, agent, out);
  if (o.figures.count("connect")) figure_connect(o, agent, older, out);
  if (o.figures.count("pipeline")) figure_pipeline(o, agent, out);
  if (o.figures.count("ssh")) figure_ssh(o, work, agent, out);
  if (o.figures.count("kvsctl")) figure_kvsctl(o, work, agent, out);
  if (o.figures.count("dynf")) figure_dynf(o, agent, out);
  if (o.figures.count("rdv")) figure_rdv(o, agent, out);
  if (o.figures.count("transfer")) figure_transfer(o, work, agent, older, out);
  if (!o.tls_certs.empty() && (o.figures.count("tls") || o.figures.count("tlstransfer"))) {
    tls_setup tls;
    if (!tls.start(o, work)) {
      out.failure("11", "TLS figures", tls.error);
    } else {
      if (o.figures.count("tls")) figure_tls(o, agent, tls, out);
      if (o.figures.count("tlstransfer")) figure_tls_transfer(o, work, agent, tls, out);
    }
  }
  std::cerr << "kvsbench: load " << bench::load_average() << " at the end\n";
  if (!o.results.empty())
    save_rows(o.results, out.rows());
  else
    print_table(out.rows());
  return out.failed() ? 2 : 0;
}
