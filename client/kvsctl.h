// kvsctl, the command-line studio client: runs programs on agents with their
// output, input and exit status brought back, moves files and trees, runs
// step scripts over one connection, fans out over many agents, and gives an
// interactive session on the command connection.
//
// The logic lives in client/kvsctl/ so that it can be tested; kvsctl_main.cpp
// only calls kvsctl::main.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/cli.h"

namespace kvsctl {

inline constexpr const char* kVersion = cli::kVersion;
inline constexpr int kDefaultPort = 7011;
inline constexpr int kDefaultTimeoutMs = 10000;
inline constexpr int kDefaultGreetingMs = 60000;
inline constexpr int kDefaultParallel = 16;

// Exit statuses of kvsctl itself; `run` otherwise exits with the program's.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;      // the agent refused a command or a transfer, a local file failed
inline constexpr int kExitUsage = 2;       // bad command line
inline constexpr int kExitNoProgram = 127; // the agent could not launch the program (561)
inline constexpr int kExitAgent = 255;     // connection, identification or protocol failure

enum class command { none, run, put, get, shell, release, refuse, follow, steps };

// What one step of a script does.
enum class step_kind { run, put, get, cd, env };

// How notifications about testers are answered automatically.
enum class auto_answer { none, ok, ko };

// One step: a program to run, a file or tree to move, a directory to change
// to, variables to set.
struct step_spec {
  step_kind kind = step_kind::run;

  // run: -C; cd: the directory
  std::string directory;
  // run: -e, in order; env: the variables
  std::vector<std::pair<std::string, std::string>> environment;
  bool no_input = false;             // -n
  std::vector<std::string> program;  // PROGRAM [ARG]...
  // run and follow
  auto_answer rendezvous = auto_answer::none;
  auto_answer dynfollow = auto_answer::none;

  // put and get
  bool ascii = false;
  bool recursive = false;  // put -r
  std::string local;
  std::string remote;
};

struct options : step_spec {
  // Global options.
  std::string user;  // empty: the local user name
  int timeout_ms = kDefaultTimeoutMs;
  int greeting_ms = kDefaultGreetingMs;
  bool verbose = false;
  bool quiet = false;

  // One agent, or many with -H.
  std::string host;
  int port = kDefaultPort;
  std::string label;               // the agent as written on the command line
  std::vector<std::string> hosts;  // -H: HOST[:PORT] each, or "@FILE" to read
  int parallel = kDefaultParallel;
  bool group = false;        // -g: a host's output together at the end
  bool json = false;         // --json: one object per host and step on stdout
  bool json_output = false;  // --json-output: with the program's output in it

  command cmd = command::none;

  // release and refuse
  std::string name;

  // The control connection: -M starts one, -O check|exit asks it, -S names
  // its socket ("none": this call connects on its own), --persist its idle time.
  bool master = false;
  std::string control_op;
  std::string control_path;
  int persist_ms = 600 * 1000;

  // TLS to the agent: --tls, and the files of --tls-ca, --tls-cert and
  // --tls-key (resolve_tls adds those of the environment).
  bool tls = false;
  std::string tls_ca;
  std::string tls_cert;
  std::string tls_key;

  // do (and run, put, get as a script of one step)
  std::vector<step_spec> steps;
  bool keep_going = false;   // -k
  std::string script_file;   // -f
};

struct parse_result {
  enum class kind { ok, help, version, error } what = kind::ok;
  std::string text;  // help: the usage text; error: the message
  options opts;
};

// Parses the arguments after the program name.
parse_result parse_arguments(const std::vector<std::string>& args);

// Completes o's TLS settings from the environment (`env` gives a variable's
// value, or null): each of KVSCTL_TLS_CA, KVSCTL_TLS_CERT and KVSCTL_TLS_KEY
// is taken where its option is not given. TLS is on with --tls, any --tls-*
// option or KVSCTL_TLS_CA. Then a CA file is needed, a certificate goes with
// its key, and each file must be readable. False with a message otherwise.
bool resolve_tls(options& o, const std::function<const char*(const char*)>& env, std::string& error);

// The steps of a script file: one step per line, words split as a shell
// does (blanks, '...', "...", backslash), blank lines and lines starting
// with '#' skipped. False with a message naming the line on error.
bool parse_script(std::string_view text, std::vector<step_spec>& steps, std::string& error);
// The words of one line as a shell splits them; false on an open quote.
bool split_words(std::string_view line, std::vector<std::string>& words);

// The agents of a -H list: entries separated by commas (or, in a file, by
// lines and commas), blanks trimmed, '#' comments and empty entries skipped.
std::vector<std::string> split_hosts(std::string_view text);

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

// The JSON text of a string: quoted, with the characters JSON requires
// escaped, the C1 controls (U+0080 to U+009F) as \\u escapes; bytes that are
// not UTF-8 are replaced by U+FFFD.
std::string json_string(std::string_view text);
// The bytes in base64 (RFC 4648, with padding).
std::string base64(std::string_view bytes);
// Whether the bytes are valid UTF-8.
bool is_utf8(std::string_view text);

// The progress line of a transfer, at most width-1 columns: the name
// (shortened in its middle when needed), the bytes, the rate and, when the
// total is known, a bar, the percentage and the time left.
std::string progress_text(int width, std::string_view name, long long bytes, long long total, double seconds);
// The summary line at the end of a transfer, at most width-1 columns.
std::string progress_summary(int width, std::string_view name, long long bytes, double seconds, int files);

// Runs kvsctl with the arguments after the program name; the exit status.
int main(const std::vector<std::string>& args);

}  // namespace kvsctl
