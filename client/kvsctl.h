// kvsctl, the command-line studio client: runs programs on an agent with
// their output, input and exit status brought back, moves files, and gives
// an interactive session on the command connection.
//
// The logic lives here and in kvsctl*.cpp so that it can be tested;
// kvsctl_main.cpp only calls kvsctl::main.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvsctl {

inline constexpr const char* kVersion = "8.0.1";
inline constexpr int kDefaultPort = 7011;
inline constexpr int kDefaultTimeoutMs = 10000;

// Exit statuses of kvsctl itself; `run` otherwise exits with the program's.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // the agent refused a transfer, a local file failed
inline constexpr int kExitUsage = 2;    // bad command line
inline constexpr int kExitAgent = 255;  // connection, identification or protocol failure

enum class command { none, run, put, get, shell, release, refuse, follow };

// How notifications about testers are answered automatically.
enum class auto_answer { none, ok, ko };

struct options {
  // Global options.
  std::string user;  // empty: the local user name
  int timeout_ms = kDefaultTimeoutMs;
  bool verbose = false;
  bool quiet = false;

  std::string host;
  int port = kDefaultPort;
  command cmd = command::none;

  // run
  std::string directory;                                    // -C
  std::vector<std::pair<std::string, std::string>> environment;  // -e, in order
  bool no_input = false;                                    // -n
  std::vector<std::string> program;                         // PROGRAM [ARG]...
  // run and follow
  auto_answer rendezvous = auto_answer::none;
  auto_answer dynfollow = auto_answer::none;

  // put and get
  bool ascii = false;
  std::string local;
  std::string remote;

  // release and refuse
  std::string name;
};

struct parse_result {
  enum class kind { ok, help, version, error } what = kind::ok;
  std::string text;  // help: the usage text; error: the message
  options opts;
};

// Parses the arguments after the program name.
parse_result parse_arguments(const std::vector<std::string>& args);

// The usage text of one form, or of kvsctl as a whole for command::none.
std::string usage(command cmd);

// HOST[:PORT], [IPV6]:PORT, [IPV6] or a bare IPv6 literal. False with a
// message when the text is no such thing or the port is not 1 to 65535.
bool parse_target(std::string_view text, std::string& host, int& port, std::string* error = nullptr);
// host:port as a person writes it ([::1]:7011 for IPv6 literals).
std::string format_target(const std::string& host, int port);

// One word of an EXEC command line, quoted so that the agent gives it back
// exactly: its variable expansion leaves it alone (every '$' is directly
// followed by a quote, which ends no variable name) and its word splitting
// returns the word as it was. A CR is also followed by a quote, so that no
// CR LF, which would end the protocol line, can appear.
std::string quote_word(std::string_view word);
// The whole command line: the words quoted and separated by blanks.
std::string quote_command(const std::vector<std::string>& words);

// The exit code that "661 process stopped : %N => %P (%E), ..." reports for
// process `number`; none when the line is no such report or does not name it.
std::optional<int> stopped_exit_code(std::string_view line, int number);

// The exit status kvsctl gives for a program's exit code: the code itself
// from 0 to 255; 255 for what a status cannot hold.
int exit_status_for(int code);

// Runs kvsctl with the arguments after the program name; the exit status.
int main(const std::vector<std::string>& args);

}  // namespace kvsctl
