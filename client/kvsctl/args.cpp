// kvsctl: the command line and the steps of a script, read with the shared
// parser of client/cli.h. No input or output here.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "client/kvsctl.h"
#include "support/protocol/numbers.h"

namespace kvsctl {

namespace {

using kind = parse_result::kind;

struct command_name {
  std::string_view word;
  command cmd;
};

constexpr command_name kCommands[] = {
    {"run", command::run},         {"put", command::put},         {"get", command::get},
    {"do", command::steps},        {"shell", command::shell},     {"follow", command::follow},
    {"release", command::release}, {"refuse", command::refuse},
};

command command_of(std::string_view word) {
  for (const command_name& c : kCommands)
    if (c.word == word) return c.cmd;
  return command::none;
}

std::string command_word(command cmd) {
  for (const command_name& c : kCommands)
    if (c.cmd == cmd) return std::string(c.word);
  return "";
}

bool is_help(std::string_view arg) { return arg == "-h" || arg == "--help"; }

bool has_line_end(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool parse_answer(const std::string& text, auto_answer& answer) {
  if (text == "ok") answer = auto_answer::ok;
  else if (text == "ko") answer = auto_answer::ko;
  else return false;
  return true;
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

// The outcome of reading one step: kind::ok, kind::help (the step's usage
// is wanted) or kind::error with the message in `error`.
struct step_outcome {
  kind what = kind::ok;
  std::string error;
};

step_outcome step_error(std::string message) { return {kind::error, std::move(message)}; }

// A step's own reading of its words: help wanted, or what is wrong.
std::optional<step_outcome> not_ok(const cli::parsed& p, const std::string& word) {
  if (p.what == cli::parsed::kind::ok) return std::nullopt;
  if (p.what == cli::parsed::kind::help) return step_outcome{kind::help, ""};
  if (p.what == cli::parsed::kind::version) return step_error(word + ": --version is no option of a command");
  return step_error(word + ": " + p.error);
}

// Reads one step from its words: the kind, its options and its operands.
step_outcome parse_step(const std::vector<std::string>& words, step_spec& s) {
  if (words.empty()) return step_error("an empty step");
  const std::string& word = words[0];
  std::vector<std::string> rest(words.begin() + 1, words.end());
  if (word == "run") {
    enum { directory, env, no_input, rendezvous, dynfollow };
    static constexpr cli::option kTable[] = {
        {"directory", 'C', true}, {"env", 'e', true}, {"no-input", 'n', false},
        {"rendezvous", 0, true},  {"dynfollow", 0, true},
    };
    // The first word that is no option starts the program.
    cli::parsed p = cli::parse(rest, kTable, cli::order::options_first);
    if (auto bad = not_ok(p, word)) return *bad;
    s.kind = step_kind::run;
    for (const cli::found& f : p.options) {
      switch (f.index) {
        case directory:
          if (f.value.empty()) return step_error("run: -C needs a directory");
          if (has_line_end(f.value)) return step_error("run: the directory cannot hold a line end");
          s.directory = f.value;
          break;
        case env: {
          std::size_t equal = f.value.find('=');
          if (equal == std::string::npos || equal == 0) return step_error("run: -e needs NAME=VALUE, got '" + f.value + "'");
          if (has_line_end(f.value)) return step_error("run: a variable cannot hold a line end");
          s.environment.emplace_back(f.value.substr(0, equal), f.value.substr(equal + 1));
          break;
        }
        case no_input:
          s.no_input = true;
          break;
        case rendezvous:
        case dynfollow:
          if (!parse_answer(f.value, f.index == rendezvous ? s.rendezvous : s.dynfollow))
            return step_error("run: " + cli::name_of(kTable[f.index]) + " takes ok or ko");
          break;
        default:
          break;
      }
    }
    s.program = p.operands;
    if (s.program.empty()) return step_error("run: no program given");
    if (s.program[0].empty()) return step_error("run: the program name is empty");
    return {};
  }
  if (word == "put" || word == "get") {
    bool put = word == "put";
    enum { ascii, binary, recursive };
    static constexpr cli::option kPut[] = {{"ascii", 'a', false}, {"binary", 'b', false}, {"recursive", 'r', false}};
    cli::parsed p = cli::parse(rest, std::span(kPut, put ? 3 : 2), cli::order::permute);
    if (auto bad = not_ok(p, word)) return *bad;
    s.kind = put ? step_kind::put : step_kind::get;
    for (const cli::found& f : p.options) {
      if (f.index == recursive) s.recursive = true;
      else s.ascii = f.index == ascii;
    }
    if (p.operands.size() != 2) return step_error(put ? "put needs LOCAL and REMOTE" : "get needs REMOTE and LOCAL");
    s.local = put ? p.operands[0] : p.operands[1];
    s.remote = put ? p.operands[1] : p.operands[0];
    if (s.local.empty()) return step_error("the local file name is empty");
    if (s.remote.empty()) return step_error("the remote file name is empty");
    if (has_line_end(s.remote)) return step_error("the remote file name cannot hold a line end");
    if (s.recursive && s.local == "-") return step_error("put -r needs a directory, not standard input");
    return {};
  }
  if (word == "cd" || word == "env") {
    cli::parsed p = cli::parse(rest, {}, cli::order::permute);
    if (auto bad = not_ok(p, word)) return *bad;
    for (const std::string& operand : p.operands)
      if (has_line_end(operand)) return step_error(word + ": an argument cannot hold a line end");
    if (word == "cd") {
      if (p.operands.size() != 1 || p.operands[0].empty()) return step_error("cd needs one directory");
      s.kind = step_kind::cd;
      s.directory = p.operands[0];
      return {};
    }
    if (p.operands.empty()) return step_error("env needs NAME=VALUE");
    s.kind = step_kind::env;
    for (const std::string& operand : p.operands) {
      std::size_t equal = operand.find('=');
      if (equal == std::string::npos || equal == 0) return step_error("env needs NAME=VALUE, got '" + operand + "'");
      s.environment.emplace_back(operand.substr(0, equal), operand.substr(equal + 1));
    }
    return {};
  }
  return step_error("unknown step '" + word + "' (run, put, get, cd or env)");
}

parse_result failure(std::string message) {
  parse_result r;
  r.what = kind::error;
  r.text = std::move(message);
  return r;
}

parse_result help_of(command cmd) {
  parse_result r;
  r.what = kind::help;
  r.text = usage(cmd);
  return r;
}

// `do [-k] [-f FILE] STEP [--- STEP]...`
parse_result parse_steps(const std::vector<std::string>& args, parse_result r) {
  options& o = r.opts;
  // Its own options come before the first step.
  std::size_t i = 0;
  std::vector<std::string> own;
  while (i < args.size() && !args[i].empty() && args[i][0] == '-' && args[i] != "---" && args[i] != "--") {
    const std::string& a = args[i];
    own.push_back(a);
    // -f, -kf and --file take the next word as their value.
    bool takes_value = a == "--file" || (a.size() >= 2 && a[1] != '-' && a.back() == 'f');
    if (takes_value && i + 1 < args.size()) own.push_back(args[++i]);
    ++i;
  }
  if (i < args.size() && args[i] == "--") ++i;
  enum { keep_going, file };
  static constexpr cli::option kTable[] = {{"keep-going", 'k', false}, {"file", 'f', true}};
  cli::parsed p = cli::parse(own, kTable, cli::order::permute);
  if (p.what == cli::parsed::kind::help) return help_of(command::steps);
  if (p.what != cli::parsed::kind::ok) return failure("do: " + p.error);
  for (const cli::found& f : p.options) {
    if (f.index == keep_going) o.keep_going = true;
    if (f.index == file) {
      if (f.value.empty()) return failure("do: -f needs a file name");
      o.script_file = f.value;
    }
  }
  std::vector<std::string> words;
  auto finish_step = [&]() -> parse_result {
    step_spec s;
    step_outcome got = parse_step(words, s);
    if (got.what == kind::help) return help_of(command::steps);
    if (got.what == kind::error) return failure("do: step " + std::to_string(o.steps.size() + 1) + ": " + got.error);
    o.steps.push_back(std::move(s));
    words.clear();
    return {};
  };
  for (; i < args.size(); ++i) {
    if (args[i] != "---") {
      words.push_back(args[i]);
      continue;
    }
    parse_result step = finish_step();
    if (step.what != kind::ok) return step;
  }
  if (!words.empty() || !o.steps.empty()) {
    parse_result step = finish_step();
    if (step.what != kind::ok) return step;
  }
  if (!o.script_file.empty() && !o.steps.empty()) return failure("do: give steps or -f FILE, not both");
  if (o.script_file.empty() && o.steps.empty()) return failure("do: no step given");
  return r;
}

}  // namespace

bool parse_script(std::string_view text, std::vector<step_spec>& steps, std::string& error) {
  std::size_t number = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    std::vector<std::string> words;
    if (!split_words(line, words)) {
      error = "line " + std::to_string(number) + ": a quote is not closed";
      return false;
    }
    if (words.empty() || words[0][0] == '#') continue;
    step_spec s;
    step_outcome got = parse_step(words, s);
    if (got.what != kind::ok) {
      error = "line " + std::to_string(number) + ": " + (got.what == kind::help ? "--help is no step" : got.error);
      return false;
    }
    steps.push_back(std::move(s));
  }
  if (steps.empty()) {
    error = "no step in the script";
    return false;
  }
  return true;
}

parse_result parse_arguments(const std::vector<std::string>& args) {
  enum { user, timeout, greeting, verbose, quiet, hosts, parallel, group, json, json_output, master, socket, persist,
         control, tls, tls_ca, tls_cert, tls_key };
  static constexpr cli::option kTable[] = {
      {"user", 'u', true},   {"timeout", 't', true},  {"greeting-timeout", 0, true}, {"verbose", 'v', false},
      {"quiet", 'q', false}, {"hosts", 'H', true},    {"parallel", 'P', true},       {"group", 'g', false},
      {"json", 0, false},    {"json-output", 0, false}, {"master", 'M', false},      {"control-path", 'S', true},
      {"persist", 0, true},  {"control", 'O', true},   {"tls", 0, false},             {"tls-ca", 0, true},
      {"tls-cert", 0, true}, {"tls-key", 0, true},
  };
  cli::parsed p = cli::parse(args, kTable, cli::order::options_first);
  parse_result r;
  options& o = r.opts;
  switch (p.what) {
    case cli::parsed::kind::help:
      return help_of(command::none);
    case cli::parsed::kind::version:
      r.what = kind::version;
      r.text = std::string("kvsctl ") + kVersion + "\n";
      return r;
    case cli::parsed::kind::error:
      return failure(p.error);
    case cli::parsed::kind::ok:
      break;
  }
  for (const cli::found& f : p.options) {
    switch (f.index) {
      case user:
        if (f.value.empty()) return failure("-u needs a user name");
        if (has_line_end(f.value)) return failure("the user name cannot hold a line end");
        o.user = f.value;
        break;
      case timeout:
        if (!parse_seconds(f.value, o.timeout_ms))
          return failure("-t needs a number of seconds (more than 0, at most 86400)");
        break;
      case greeting:
        if (!parse_seconds(f.value, o.greeting_ms))
          return failure("--greeting-timeout needs a number of seconds (more than 0, at most 86400)");
        break;
      case verbose:
        o.verbose = true;
        break;
      case quiet:
        o.quiet = true;
        break;
      case hosts:
        if (f.value.empty()) return failure("-H needs a list of agents or @FILE");
        o.hosts.push_back(f.value);
        break;
      case parallel: {
        std::optional<long long> n = protocol::parse_digits(f.value, 1, 1024);
        if (!n) return failure("-P needs a number from 1 to 1024");
        o.parallel = static_cast<int>(*n);
        break;
      }
      case group:
        o.group = true;
        break;
      case json_output:
        o.json_output = true;
        o.json = true;
        break;
      case json:
        o.json = true;
        break;
      case master:
        o.master = true;
        break;
      case socket:
        if (f.value.empty()) return failure("-S needs a socket path or none");
        o.control_path = f.value;
        break;
      case persist:
        if (!parse_seconds(f.value, o.persist_ms))
          return failure("--persist needs a number of seconds (more than 0, at most 86400)");
        break;
      case control:
        if (f.value != "check" && f.value != "exit") return failure("-O takes check or exit");
        o.control_op = f.value;
        break;
      case tls:
        o.tls = true;
        break;
      case tls_ca:
      case tls_cert:
      case tls_key: {
        std::string name = cli::name_of(kTable[f.index]);
        if (f.value.empty()) return failure(name + " needs a file name");
        (f.index == tls_ca ? o.tls_ca : f.index == tls_cert ? o.tls_cert : o.tls_key) = f.value;
        o.tls = true;
        break;
      }
      default:
        break;
    }
  }
  const std::vector<std::string>& words = p.operands;
  std::size_t i = 0;
  if (o.hosts.empty()) {
    if (words.empty()) return failure("no agent given (HOST[:PORT])");
    // "kvsctl run --help" asks about a command, not about a host named run.
    command named = command_of(words[0]);
    if (named != command::none && words.size() > 1 && is_help(words[1])) return help_of(named);
    std::string error;
    if (!parse_target(words[0], o.host, o.port, &error)) return failure(error);
    o.label = words[0];
    ++i;
  }
  if (o.master || !o.control_op.empty()) {
    std::string what = o.master ? "-M" : "-O";
    if (o.master && !o.control_op.empty()) return failure("-M and -O go separately");
    if (!o.hosts.empty()) return failure(what + " works with one agent, not with -H");
    if (i < words.size()) return failure(what + " takes no command");
    if (o.master && o.control_path == "none") return failure("-M needs a control socket, not -S none");
    return r;
  }
  if (i >= words.size()) return failure("no command given");
  o.cmd = command_of(words[i]);
  if (o.cmd == command::none) return failure("unknown command '" + words[i] + "'");
  std::vector<std::string> rest(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
  if (o.group && o.hosts.empty()) return failure("-g goes with -H");

  switch (o.cmd) {
    case command::steps:
      return parse_steps(rest, std::move(r));
    case command::run:
    case command::put:
    case command::get: {
      rest.insert(rest.begin(), command_word(o.cmd));
      step_outcome got = parse_step(rest, o);
      if (got.what == kind::help) return help_of(o.cmd);
      if (got.what == kind::error) return failure(got.error);
      o.steps.push_back(static_cast<const step_spec&>(o));
      return r;
    }
    default:
      break;
  }
  // shell, follow, release, refuse
  enum { rendezvous, dynfollow };
  static constexpr cli::option kFollow[] = {{"rendezvous", 0, true}, {"dynfollow", 0, true}};
  cli::parsed q = cli::parse(rest, std::span(kFollow, o.cmd == command::follow ? 2 : 0), cli::order::permute);
  std::string word = command_word(o.cmd);
  if (q.what == cli::parsed::kind::help) return help_of(o.cmd);
  if (q.what != cli::parsed::kind::ok) return failure(word + ": " + q.error);
  for (const cli::found& f : q.options)
    if (!parse_answer(f.value, f.index == rendezvous ? o.rendezvous : o.dynfollow))
      return failure(word + ": " + cli::name_of(kFollow[f.index]) + " takes ok or ko");
  if (o.cmd == command::release || o.cmd == command::refuse) {
    if (q.operands.size() != 1) return failure(word + " needs one rendezvous NAME");
    if (has_line_end(q.operands[0])) return failure("a rendezvous name cannot hold a line end");
    o.name = q.operands[0];
    return r;
  }
  if (!q.operands.empty()) return failure(word + " takes no argument");
  if (!o.hosts.empty() && o.cmd != command::release && o.cmd != command::refuse)
    return failure(word + " works with one agent, not with -H");
  return r;
}

}  // namespace kvsctl
