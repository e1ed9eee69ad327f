// kvsctl: the command line, the target address, the quoting of EXEC command
// lines and the reading of process reports. No input or output here.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "client/kvsctl.h"

namespace kvsctl {

namespace {

constexpr std::string_view kGlobalUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] COMMAND [ARGS]\n"
    "\n"
    "Drives a kvsagtd agent (default port 7011; an IPv6 address with a port is\n"
    "written [ADDRESS]:PORT).\n"
    "\n"
    "Commands:\n"
    "  run [-C DIR] [-e NAME=VALUE]... [-n] -- PROGRAM [ARG]...\n"
    "                       run a program, stream its output and input, exit with its status\n"
    "  put [--ascii] LOCAL REMOTE     send a file to the agent\n"
    "  get [--ascii] REMOTE LOCAL     fetch a file from the agent\n"
    "  shell                command lines from standard input, replies and notifications out\n"
    "  follow               show rendezvous and dynamic-follow notifications, answer them\n"
    "  release NAME         let the testers waiting at rendezvous NAME go on (RVOK)\n"
    "  refuse NAME          tell them to give up (RVKO)\n"
    "\n"
    "Options:\n"
    "  -u, --user USER      identify as USER (default: the local user name)\n"
    "  -t, --timeout SEC    limit for connecting and for each reply (default 10)\n"
    "  -v, --verbose        report each step and every notification on standard error\n"
    "  -q, --quiet          no progress bar\n"
    "  -h, --help           this text; 'kvsctl HOST COMMAND --help' describes a command\n"
    "      --version        the version\n"
    "\n"
    "Exit status: run gives the program's exit status (128+N for a death by signal N);\n"
    "the other commands 0 on success, 1 when the agent refused a transfer or a local\n"
    "file failed; 2 for a bad command line; 255 for connection, identification and\n"
    "protocol failures.\n";

constexpr std::string_view kRunUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] run [-C DIR] [-e NAME=VALUE]... [-n]\n"
    "              [--rendezvous ok|ko] [--dynfollow ok|ko] [--] PROGRAM [ARG]...\n"
    "\n"
    "Runs PROGRAM (found along the agent's PATH) with its arguments exactly as given,\n"
    "prints what it writes to its standard output and error as it comes, sends this\n"
    "standard input to it (its input ends when this one does) and exits with its exit\n"
    "status (128+N when a signal N ended it).\n"
    "\n"
    "  -C DIR               start the program in DIR (relative to the agent's directory)\n"
    "  -e NAME=VALUE        set a variable in the program's environment (repeatable)\n"
    "  -n                   give the program no input (its input ends at once)\n"
    "  --rendezvous ok|ko   answer every rendezvous the program's testers reach\n"
    "  --dynfollow ok|ko    answer every tester that ends its dynamic-follow report\n"
    "\n"
    "In VALUE and DIR, $NAME and ${NAME} are replaced by the agent's variable NAME when\n"
    "it is set there; program arguments are passed literally ('$HOME' stays $HOME).\n";

constexpr std::string_view kPutUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] put [--ascii] LOCAL REMOTE\n"
    "\n"
    "Sends the local file LOCAL ('-': standard input) to the agent as REMOTE (relative\n"
    "to the agent's directory). --ascii converts line ends for a text file; the default\n"
    "moves the bytes unchanged. A progress bar appears on a terminal.\n";

constexpr std::string_view kGetUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] get [--ascii] REMOTE LOCAL\n"
    "\n"
    "Fetches REMOTE from the agent into LOCAL ('-': standard output; an existing\n"
    "directory: the file keeps its name). LOCAL is replaced only when the whole file\n"
    "arrived. --ascii converts line ends for a text file. A progress bar appears on a\n"
    "terminal.\n";

constexpr std::string_view kShellUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] shell\n"
    "\n"
    "Identifies, then sends each line of standard input as a command line and prints\n"
    "every line the agent sends: replies, and notifications (661 process stopped,\n"
    "601 to 603 rendezvous, 700 to 800 dynamic follow) as soon as they arrive. When\n"
    "standard input ends, QUIT is sent and the agent's last lines are printed.\n";

constexpr std::string_view kFollowUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] follow [--rendezvous ok|ko] [--dynfollow ok|ko]\n"
    "\n"
    "Opens a connection, reports its rendezvous and dynamic-follow ports on standard\n"
    "error and prints every notification that arrives on it. Lines typed on standard\n"
    "input are sent as commands (DFOK ID, DFKO ID, ISND ID TEXT, RVOK NAME...), and\n"
    "the options answer automatically. Testers reach it only through these ports:\n"
    "programs launched on another connection report to that connection. Runs until\n"
    "interrupted or the agent closes the connection.\n";

constexpr std::string_view kReleaseUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] release NAME\n"
    "       kvsctl [OPTIONS] HOST[:PORT] refuse NAME\n"
    "\n"
    "Sends RVOK NAME (release) or RVKO NAME (refuse) and ends the connection.\n"
    "A rendezvous belongs to the connection whose port the testers joined; for\n"
    "programs started with 'run', use its --rendezvous option.\n";

struct command_name {
  std::string_view word;
  command cmd;
};

constexpr command_name kCommands[] = {
    {"run", command::run},         {"put", command::put},         {"get", command::get},
    {"shell", command::shell},     {"follow", command::follow},   {"release", command::release},
    {"refuse", command::refuse},
};

command command_of(std::string_view word) {
  for (const command_name& c : kCommands)
    if (c.word == word) return c.cmd;
  return command::none;
}

bool is_help(std::string_view arg) { return arg == "-h" || arg == "--help"; }

bool has_line_end(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Reads an option that takes a value, in the forms "-x VALUE", "-xVALUE",
// "--long VALUE" and "--long=VALUE". Returns false when args[i] is not this
// option; sets `missing` when the value is absent.
bool take_value(const std::vector<std::string>& args, std::size_t& i, std::string_view short_name,
                std::string_view long_name, std::string& value, bool& missing) {
  const std::string& arg = args[i];
  missing = false;
  auto next = [&]() {
    if (i + 1 >= args.size()) {
      missing = true;
      return true;
    }
    value = args[++i];
    return true;
  };
  if (!short_name.empty() && arg == short_name) return next();
  if (!long_name.empty() && arg == long_name) return next();
  if (!long_name.empty() && arg.size() > long_name.size() && arg.compare(0, long_name.size(), long_name) == 0 &&
      arg[long_name.size()] == '=') {
    value = arg.substr(long_name.size() + 1);
    return true;
  }
  if (!short_name.empty() && arg.size() > short_name.size() && arg.compare(0, short_name.size(), short_name) == 0 &&
      arg[1] != '-') {
    value = arg.substr(short_name.size());
    return true;
  }
  return false;
}

bool parse_answer(const std::string& text, auto_answer& answer) {
  if (text == "ok") {
    answer = auto_answer::ok;
    return true;
  }
  if (text == "ko") {
    answer = auto_answer::ko;
    return true;
  }
  return false;
}

bool parse_seconds(const std::string& text, int& ms) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) return false;
  ms = static_cast<int>(std::lround(seconds * 1000));
  if (ms < 1) ms = 1;
  return true;
}

parse_result failure(std::string message) {
  parse_result r;
  r.what = parse_result::kind::error;
  r.text = std::move(message);
  return r;
}

parse_result help_of(command cmd) {
  parse_result r;
  r.what = parse_result::kind::help;
  r.text = usage(cmd);
  return r;
}

std::string command_word(command cmd) {
  for (const command_name& c : kCommands)
    if (c.cmd == cmd) return std::string(c.word);
  return "";
}

// The options of run and follow that answer testers automatically; false
// when args[i] is neither.
bool take_answer_option(const std::vector<std::string>& args, std::size_t& i, options& o, std::string& error) {
  std::string value;
  bool missing = false;
  auto_answer* target = nullptr;
  std::string_view name;
  if (take_value(args, i, "", "--rendezvous", value, missing)) {
    target = &o.rendezvous;
    name = "--rendezvous";
  } else if (take_value(args, i, "", "--dynfollow", value, missing)) {
    target = &o.dynfollow;
    name = "--dynfollow";
  } else {
    return false;
  }
  if (missing || !parse_answer(value, *target)) error = std::string(name) + " takes ok or ko";
  return true;
}

parse_result parse_run(const std::vector<std::string>& args, std::size_t i, parse_result r) {
  options& o = r.opts;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    bool missing = false;
    std::string error;
    if (arg == "--") {
      ++i;
      break;
    }
    if (is_help(arg)) return help_of(command::run);
    if (take_value(args, i, "-C", "--directory", value, missing)) {
      if (missing || value.empty()) return failure("run: -C needs a directory");
      if (has_line_end(value)) return failure("run: the directory cannot hold a line end");
      o.directory = value;
      continue;
    }
    if (take_value(args, i, "-e", "--env", value, missing)) {
      if (missing) return failure("run: -e needs NAME=VALUE");
      std::size_t equal = value.find('=');
      if (equal == std::string::npos || equal == 0) return failure("run: -e needs NAME=VALUE, got '" + value + "'");
      if (has_line_end(value)) return failure("run: a variable cannot hold a line end");
      o.environment.emplace_back(value.substr(0, equal), value.substr(equal + 1));
      continue;
    }
    if (arg == "-n" || arg == "--no-input") {
      o.no_input = true;
      continue;
    }
    if (take_answer_option(args, i, o, error)) {
      if (!error.empty()) return failure("run: " + error);
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') return failure("run: unknown option " + arg);
    break;  // the program
  }
  o.program.assign(args.begin() + static_cast<std::ptrdiff_t>(std::min(i, args.size())), args.end());
  if (o.program.empty()) return failure("run: no program given");
  if (o.program[0].empty()) return failure("run: the program name is empty");
  return r;
}

parse_result parse_transfer(const std::vector<std::string>& args, std::size_t i, parse_result r) {
  options& o = r.opts;
  std::vector<std::string> names;
  bool options_done = false;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done) {
      if (arg == "--") {
        options_done = true;
        continue;
      }
      if (is_help(arg)) return help_of(o.cmd);
      if (arg == "-a" || arg == "--ascii") {
        o.ascii = true;
        continue;
      }
      if (arg == "-b" || arg == "--binary") {
        o.ascii = false;
        continue;
      }
      if (arg.size() > 1 && arg[0] == '-') return failure(command_word(o.cmd) + ": unknown option " + arg);
    }
    names.push_back(arg);
  }
  bool put = o.cmd == command::put;
  if (names.size() != 2)
    return failure(put ? "put needs LOCAL and REMOTE" : "get needs REMOTE and LOCAL");
  o.local = put ? names[0] : names[1];
  o.remote = put ? names[1] : names[0];
  if (o.local.empty()) return failure("the local file name is empty");
  if (o.remote.empty()) return failure("the remote file name is empty");
  if (has_line_end(o.remote)) return failure("the remote file name cannot hold a line end");
  return r;
}

parse_result parse_rest(const std::vector<std::string>& args, std::size_t i, parse_result r) {
  options& o = r.opts;
  std::vector<std::string> words;
  bool options_done = false;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done) {
      std::string error;
      if (arg == "--") {
        options_done = true;
        continue;
      }
      if (is_help(arg)) return help_of(o.cmd);
      if (o.cmd == command::follow && take_answer_option(args, i, o, error)) {
        if (!error.empty()) return failure("follow: " + error);
        continue;
      }
      if (arg.size() > 1 && arg[0] == '-') return failure(command_word(o.cmd) + ": unknown option " + arg);
    }
    words.push_back(arg);
  }
  if (o.cmd == command::release || o.cmd == command::refuse) {
    if (words.size() != 1) return failure(command_word(o.cmd) + " needs one rendezvous NAME");
    if (has_line_end(words[0])) return failure("a rendezvous name cannot hold a line end");
    o.name = words[0];
    return r;
  }
  if (!words.empty()) return failure(command_word(o.cmd) + " takes no argument");
  return r;
}

}  // namespace

std::string usage(command cmd) {
  switch (cmd) {
    case command::run:
      return std::string(kRunUsage);
    case command::put:
      return std::string(kPutUsage);
    case command::get:
      return std::string(kGetUsage);
    case command::shell:
      return std::string(kShellUsage);
    case command::follow:
      return std::string(kFollowUsage);
    case command::release:
    case command::refuse:
      return std::string(kReleaseUsage);
    case command::none:
      break;
  }
  return std::string(kGlobalUsage);
}

parse_result parse_arguments(const std::vector<std::string>& args) {
  parse_result r;
  options& o = r.opts;
  bool have_target = false;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    bool missing = false;
    if (is_help(arg)) return help_of(command::none);
    if (arg == "--version") {
      r.what = parse_result::kind::version;
      r.text = std::string("kvsctl ") + kVersion + "\n";
      return r;
    }
    if (take_value(args, i, "-u", "--user", value, missing)) {
      if (missing || value.empty()) return failure("-u needs a user name");
      if (has_line_end(value)) return failure("the user name cannot hold a line end");
      o.user = value;
      continue;
    }
    if (take_value(args, i, "-t", "--timeout", value, missing)) {
      if (missing || !parse_seconds(value, o.timeout_ms))
        return failure("-t needs a number of seconds (more than 0, at most 86400)");
      continue;
    }
    if (arg == "-v" || arg == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') return failure("unknown option " + arg);
    if (!have_target) {
      // "kvsctl run --help" asks about a command, not about a host named run.
      command named = command_of(arg);
      if (named != command::none && i + 1 < args.size() && is_help(args[i + 1])) return help_of(named);
      std::string error;
      if (!parse_target(arg, o.host, o.port, &error)) return failure(error);
      have_target = true;
      continue;
    }
    o.cmd = command_of(arg);
    if (o.cmd == command::none) return failure("unknown command '" + arg + "'");
    ++i;
    break;
  }
  if (!have_target) return failure("no agent given (HOST[:PORT])");
  if (o.cmd == command::none) return failure("no command given");
  switch (o.cmd) {
    case command::run:
      return parse_run(args, i, std::move(r));
    case command::put:
    case command::get:
      return parse_transfer(args, i, std::move(r));
    default:
      return parse_rest(args, i, std::move(r));
  }
}

bool parse_target(std::string_view text, std::string& host, int& port, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  std::string_view name = text;
  std::string_view port_text;
  if (!text.empty() && text[0] == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return fail("bad agent address '" + std::string(text) + "': no ']'");
    name = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return fail("bad agent address '" + std::string(text) + "'");
      port_text = rest.substr(1);
      if (port_text.empty()) return fail("bad agent address '" + std::string(text) + "': no port after ':'");
    }
  } else {
    std::size_t colon = text.find(':');
    // Two colons or more: an IPv6 address without a port.
    if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
      name = text.substr(0, colon);
      port_text = text.substr(colon + 1);
      if (port_text.empty()) return fail("bad agent address '" + std::string(text) + "': no port after ':'");
    }
  }
  if (name.empty()) return fail("bad agent address '" + std::string(text) + "': no host");
  int value = kDefaultPort;
  if (!port_text.empty()) {
    value = 0;
    for (char c : port_text) {
      if (c < '0' || c > '9' || value > 65535) return fail("bad port '" + std::string(port_text) + "'");
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return fail("bad port '" + std::string(port_text) + "'");
  }
  host.assign(name);
  port = value;
  return true;
}

std::string format_target(const std::string& host, int port) {
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

std::string quote_word(std::string_view word) {
  if (word.empty()) return "''";
  bool plain = true;
  for (char c : word) {
    bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                std::string_view("_-+=.,/:@%^").find(c) != std::string_view::npos;
    if (!safe) {
      plain = false;
      break;
    }
  }
  if (plain) return std::string(word);
  std::string quoted = "'";
  for (char c : word) {
    switch (c) {
      case '\'':
        quoted += "'\\''";  // close, an escaped quote, reopen
        break;
      case '$':
      case '\r':
        // Close and reopen the quotes right after it: the quote that follows
        // starts no variable name, and ends no line.
        quoted += c;
        quoted += "''";
        break;
      default:
        quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string quote_command(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += quote_word(word);
  }
  return line;
}

std::optional<int> stopped_exit_code(std::string_view line, int number) {
  constexpr std::string_view kPrefix = "661 process stopped : ";
  if (line.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::string_view rest = line.substr(kPrefix.size());
  std::size_t arrow = rest.find(" => ");
  if (arrow == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(arrow + 4);
  // Pairs "%P (%E)" separated by ", ".
  auto read_int = [](std::string_view& s, long& out) {
    bool negative = false;
    std::size_t k = 0;
    if (k < s.size() && s[k] == '-') {
      negative = true;
      ++k;
    }
    std::size_t digits = k;
    long value = 0;
    while (k < s.size() && s[k] >= '0' && s[k] <= '9' && value < 100000000000L) value = value * 10 + (s[k++] - '0');
    if (k == digits) return false;
    out = negative ? -value : value;
    s.remove_prefix(k);
    return true;
  };
  while (!rest.empty()) {
    long process = 0;
    long code = 0;
    if (rest[0] != '%') return std::nullopt;
    rest.remove_prefix(1);
    if (!read_int(rest, process)) return std::nullopt;
    if (rest.substr(0, 3) != " (%") return std::nullopt;
    rest.remove_prefix(3);
    if (!read_int(rest, code)) return std::nullopt;
    if (rest.empty() || rest[0] != ')') return std::nullopt;
    rest.remove_prefix(1);
    if (process == number) {
      if (code < -2147483648L || code > 2147483647L) return 255;
      return static_cast<int>(code);
    }
    if (rest.empty()) break;
    if (rest.substr(0, 2) != ", ") return std::nullopt;
    rest.remove_prefix(2);
  }
  return std::nullopt;
}

int exit_status_for(int code) { return code >= 0 && code <= 255 ? code : 255; }

}  // namespace kvsctl
