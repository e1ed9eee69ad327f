// End-to-end harness: starts the real kvsagtd, as a daemon or directly in its
// connection-process form on a loopback connection, and talks to it as a
// studio would. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/studio.h"

namespace e2e {

// AddressSanitizer keeps freed memory in quarantine: memory figures of a
// sanitized agent say nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr int kReplyMs = 5000;  // how long a test waits for a reply it expects

// A directory removed with its contents at the end of the test.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content);
// Puts at `path` what the agent must refuse as its authorization file:
// "fifo" (a named pipe), "zero" (a link to /dev/zero), "directory", "huge"
// (a rule, then text past 1 MiB); any other kind leaves nothing there.
// 0, or -1 when the system refused to make it.
int make_refused_file(const std::string& path, const std::string& kind);
// A field of /proc/PID/status in its unit (kB for memory: "VmRSS", "VmHWM");
// -1 when the process or the field is missing.
long status_field(pid_t pid, const std::string& name);
// The tester_id of a "700 boot dynfollow : " line; -1 when it is none.
int boot_id(const std::string& line);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// How the agent process is started.
struct agent_options {
  std::map<std::string, std::string> env{};  // set in the agent's environment
  std::vector<std::string> unset_env{};    // removed from it
  std::string cwd{};                       // empty: the test's own
  std::string peer_name = "localhost";     // connection-process form only
  bool ipv6 = false;                       // connect over ::1 instead of 127.0.0.1
};

// Output of a process started by the harness: standard output and error
// go to files the test can read.
struct captured_process {
  pid_t pid = -1;
  std::string out_path;
  std::string err_path;
  std::optional<int> exit_status;  // once reaped

  // Waits at most timeout_ms for the process to end; its exit status (a
  // signal N gives 128 + N), or none when it is still running.
  std::optional<int> wait_exit(int timeout_ms);
  bool running();
  void kill_now();
  std::string out() const { return read_file(out_path); }
  std::string err() const { return read_file(err_path); }
};

// A connection process served directly on a loopback connection, without the
// daemon (and its one-second pause between connections).
class session {
 public:
  explicit session(const agent_options& options = {});
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  studio::connection& studio() { return studio_; }
  captured_process& process() { return process_; }
  const temp_dir& dir() const { return dir_; }

  // Sends a command line and returns the next reply line (or "<none>" when
  // none came within kReplyMs).
  std::string command(const std::string& line);
  std::string read_line(int timeout_ms = kReplyMs);
  // Identifies as `user`; the authorization file the harness writes admits
  // everybody unless the options named a KVS_DIR of their own.
  std::string identify(const std::string& user = "tester");

 private:
  temp_dir dir_;
  captured_process process_;
  studio::connection studio_;
};

// A session already identified and ready for commands.
std::unique_ptr<session> admitted_session(agent_options options = {});

// The daemon form: kvsagtd <args...>.
captured_process start_agent(const std::vector<std::string>& args, const agent_options& options = {});
// A TCP port on which nothing listens right now.
int free_port();
// The daemon on a free port (three ports tried): true once it listens, with
// `process` and `port` set; false when it never did (then ended).
bool start_daemon(const agent_options& options, captured_process& process, int& port);
// `size` bytes from a generator seeded with `seed`: the same for the same seed.
std::string random_bytes(std::size_t size, unsigned seed);
// Connects to a local port, retrying until timeout_ms (for a daemon starting up).
studio::socket_fd connect_local(int port, int timeout_ms, const std::string& host = "127.0.0.1");

bool process_alive(pid_t pid);
// True once pred holds; false when it still does not after timeout_ms.
bool eventually(const std::function<bool()>& pred, int timeout_ms = kReplyMs);
// Where descriptor fd of a process points ("/dev/null", "socket:[...]").
std::string fd_target(pid_t pid, int fd);
// Pids of the processes whose parent is `pid`.
std::vector<pid_t> children_of(pid_t pid);
// A daemon's children are its connection processes and at most one spare: a
// connection process started ahead of its connection, waiting for it with
// nothing open besides 0-2 but its channel to the daemon (a Unix socket).
bool waiting_spare(pid_t pid);
// The daemon's children that serve connections (or ended unreaped).
std::vector<pid_t> connection_processes_of(pid_t daemon);
// The daemon's waiting spare, or -1.
pid_t spare_of(pid_t daemon);
// Number of open descriptors of a process.
int open_fd_count(pid_t pid);
// Current user's name, as the agent sees it.
std::string local_user();
// Path of a helper executable built with the project (for example "kvsrdv").
std::string tool_path(const std::string& name);
std::string agent_path();

// Moves this test process into a network namespace of its own with the
// loopback interface up and two more addresses on it, 10.200.0.1 and
// 10.200.0.2: a connection between them comes from "another host" as far as
// the agent's side-port rule goes. False where namespaces cannot be made.
bool enter_private_network();

// Raises this process's descriptor limit towards 4096 where the hard limit
// allows; true when at least `needed` descriptors may then be open (the
// agents it starts inherit the limit).
bool enough_descriptors(int needed);
// A connection to `port` on 10.200.0.1 from 10.200.0.2 (another host).
studio::socket_fd connect_from_afar(int port);
// Removes 10.200.0.2: a peer there vanishes without a word, as a machine
// whose cable was pulled.
bool vanish_afar();

}  // namespace e2e

// The Windows agent under Wine. scripts/test-windows.sh names the Windows
// build through the environment: KVS_WINDOWS_BIN (folder of the .exe files),
// KVS_WINDOWS_AGENT (default: kvsagtd.exe in that folder), KVS_WINE (the
// launcher, default "wine"; set but empty runs the agent directly, which lets
// the test logic be tried on a Linux kvsagtd). The Wine prefix and its
// persistent server come from WINEPREFIX.
namespace e2e {

struct windows_build {
  std::string bin;    // Linux path of the folder of the .exe files
  std::string agent;  // Linux path of kvsagtd.exe
  std::string wine;   // launcher; empty: none
  // The Windows path of a program of the build ("kvsrdv" -> Z:\...\kvsrdv.exe).
  std::string exe(const std::string& name) const;
};

// None when KVS_WINDOWS_BIN is not set (the tests then skip).
std::optional<windows_build> windows_build_from_env();
// A Linux path as a Wine program sees it (/tmp/x -> Z:\tmp\x).
std::string windows_path(const std::string& linux_path);
// Console output of a Wine program with its CR LF line ends made LF.
std::string without_cr(std::string text);

// Starts a Windows program of the build (`program`, a Linux path) through
// the launcher, in a process group of its own, its output in files of
// `output_dir`.
captured_process start_windows(const windows_build& build, const std::string& program,
                               const std::vector<std::string>& args, const agent_options& options,
                               const std::string& output_dir);
// Kills what is left of a process group started by start_windows.
void sweep_group(pid_t group);
// Linux pids of the processes whose command line (arguments joined by
// blanks) holds every one of `texts`.
std::vector<pid_t> processes_with(const std::vector<std::string>& texts);

// A studio's command connection to a daemon.
class peer {
 public:
  peer() = default;
  explicit peer(studio::socket_fd fd) : studio_(std::move(fd)) {}
  studio::connection& studio() { return studio_; }
  bool valid() const { return studio_.valid(); }
  std::string command(const std::string& line);
  std::string read_line(int timeout_ms = kReplyMs);
  std::string identify(const std::string& user = "tester") { return command("Qim " + user); }

 private:
  studio::connection studio_;
};

// The Windows agent in daemon form on a free port: KVS_ACCEPT_PAUSE_MS=0 (a
// Linux socket cannot be handed to a Wine program, so every connection goes
// through the daemon), KVS_DIR and the current directory a fresh folder
// holding the authorization file. At the end it gets SIGINT (the one stop
// signal Wine turns into a console event) and then whatever is left of its
// process group, connection processes and programs, is killed.
class wine_agent {
 public:
  explicit wine_agent(const windows_build& build, const std::string& authorization = "+ +\n",
                      const agent_options& options = {});
  ~wine_agent();
  wine_agent(const wine_agent&) = delete;
  wine_agent& operator=(const wine_agent&) = delete;

  int port() const { return port_; }
  captured_process& process() { return process_; }
  const temp_dir& dir() const { return dir_; }
  std::string windows_dir() const { return windows_path(dir_.path()); }
  void authorize(const std::string& file);
  // A command connection whose greeting is still unread (invalid when the
  // daemon did not take one within the start-up allowance).
  peer connect(const std::string& host = "127.0.0.1");
  // A connection that was greeted and identified as `user`.
  peer admitted(const std::string& user = "tester");
  // Standard output and error of the daemon and its connection processes.
  std::string out() const { return without_cr(process_.out()); }
  std::string err() const { return without_cr(process_.err()); }
  // Linux pids of the Wine processes in the agent's process group (its
  // connection processes; not their programs, which get groups of their own)
  // whose command line holds `text`.
  std::vector<pid_t> processes_named(const std::string& text) const;

 private:
  temp_dir dir_;
  int port_ = 0;
  captured_process process_;
};

// Whether a socket of this machine listens on TCP `port` (IPv4 or IPv6).
bool listening_on(int port);

}  // namespace e2e
