// kvsdynf: reports a tester's progress to the studio through the agent's
// dynamic-follow port, for shell scripts and other programs the agent runs.
//
//   kvsdynf [--boot TEXT] [--wait] [--timeout SEC] [--port N] [--host NAME]
//           [--gap MS] [--] [LINE...]
//
// Connects to the port in KVS_PORT_TSTAGT, sends the boot message, then each
// LINE (or, when none is given, each line of standard input as it is read),
// and with --wait prints the studio's answer. Exit status: 0 done (answer "Ok"
// or a text line), 1 answer "Ko", 2 any error (usage, no port, no connection,
// no answer), with a message on standard error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "client/dynfollow.h"

namespace {

constexpr const char* kUsage =
    "usage: kvsdynf [--boot TEXT] [--wait] [--timeout SEC] [--port N] [--host NAME] [--gap MS] [--] [LINE...]\n"
    "  Sends the boot message TEXT (default \"BOOT kvsdynf <pid>\") to the agent's\n"
    "  dynamic-follow port (default: $KVS_PORT_TSTAGT on localhost), then each LINE,\n"
    "  or the lines of standard input when no LINE is given.\n"
    "  --wait         then wait for the studio's answer and print it (\"Ok\", \"Ko\" or a text line)\n"
    "  --timeout SEC  wait at most SEC seconds for the answer (default: no limit)\n"
    "  --gap MS       pause after the boot message, so that it is read alone (default 200)\n"
    "  exit status: 0 done or answered \"Ok\" or a text, 1 answered \"Ko\", 2 error\n";

struct options {
  std::string boot;
  bool wait = false;
  int timeout_ms = -1;
  int port = -1;
  std::string host = "localhost";
  int gap_ms = 200;
  std::vector<std::string> lines;
};

bool parse_number(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

int usage_error(const std::string& message) {
  std::cerr << "kvsdynf: " << message << "\n" << kUsage;
  return 2;
}

// Parses the command line into `opts`; -1 when it is good, else the exit status.
int parse(int argc, char** argv, options* opts) {
  opts->boot = "BOOT kvsdynf " + std::to_string(::getpid());
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
      if (arg.find_first_of("\r\n") != std::string::npos) return usage_error("a LINE must not hold CR or LF");
      opts->lines.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--wait") {
      opts->wait = true;
      continue;
    }
    if (i + 1 >= argc) return usage_error(arg + " needs a value");
    const char* value = argv[++i];
    long number = 0;
    if (arg == "--boot") {
      opts->boot = value;
      if (opts->boot.empty()) return usage_error("the boot message must not be empty");
    } else if (arg == "--host") {
      opts->host = value;
    } else if (arg == "--port") {
      if (!parse_number(value, 1, 65535, &number)) return usage_error("bad port: " + std::string(value));
      opts->port = static_cast<int>(number);
    } else if (arg == "--timeout") {
      if (!parse_number(value, 0, 86400 * 365, &number)) return usage_error("bad timeout: " + std::string(value));
      opts->timeout_ms = static_cast<int>(number * 1000 > 2000000000 ? 2000000000 : number * 1000);
    } else if (arg == "--gap") {
      if (!parse_number(value, 0, 60000, &number)) return usage_error("bad gap: " + std::string(value));
      opts->gap_ms = static_cast<int>(number);
    } else {
      return usage_error("unknown option " + arg);
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  options opts;
  int status = parse(argc, argv, &opts);
  if (status >= 0) return status;

  if (opts.port < 0) opts.port = dynfollow::port_from_env();
  if (opts.port < 0) {
    std::cerr << "kvsdynf: no dynamic-follow port: " << dynfollow::kPortVariable << " is not set to a port\n";
    return 2;
  }
  dynfollow::tester link;
  std::string error;
  if (!link.connect(opts.host, opts.port, 10000, &error)) {
    std::cerr << "kvsdynf: " << error << "\n";
    return 2;
  }
  if (!link.boot(opts.boot, opts.gap_ms)) {
    std::cerr << "kvsdynf: the agent closed the connection\n";
    return 2;
  }

  bool sent = true;
  if (!opts.lines.empty()) {
    for (const std::string& line : opts.lines) sent = sent && link.send_line(line);
  } else {
    std::string line;
    while (sent && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      sent = link.send_line(line);
    }
  }
  if (!sent) {
    std::cerr << "kvsdynf: the agent closed the connection\n";
    return 2;
  }
  if (!opts.wait) return 0;

  std::optional<dynfollow::answer> answer = link.wait_answer(opts.timeout_ms);
  if (!answer) {
    std::cerr << (link.peer_closed() ? "kvsdynf: the agent closed the connection without an answer\n"
                                     : "kvsdynf: no answer in time\n");
    return 2;
  }
  std::cout << answer->text << std::endl;
  return answer->kind == dynfollow::answer_kind::ko ? 1 : 0;
}
