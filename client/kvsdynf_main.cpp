// kvsdynf: reports a tester's progress to the studio through the agent's
// dynamic-follow port, for shell scripts and other programs the agent runs.
//
//   kvsdynf [--boot TEXT] [--wait] [--timeout SEC] [--port N] [--host NAME]
//           [--gap MS] [--tls-cert FILE --tls-key FILE --tls-ca FILE] [--] [LINE...]
//
// Connects to the port in KVS_PORT_TSTAGT, sends the boot message, then each
// LINE (or, when none is given, each line of standard input as it is read),
// and with --wait prints the studio's answer. Exit status: 0 done (answer "Ok"
// or a text line), 1 answer "Ko", 2 any error (usage, no port, no connection,
// no answer), with a message on standard error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "client/dynfollow.h"
#include "client/tool_args.h"

int main(int argc, char** argv) {
  tools::tool_args<tools::dynf_options> args =
      tools::parse_kvsdynf(std::vector<std::string>(argv + 1, argv + argc), "BOOT kvsdynf " + std::to_string(::getpid()));
  switch (args.what) {
    case cli::parsed::kind::help:
    case cli::parsed::kind::version:
      std::cout << args.text;
      return 0;
    case cli::parsed::kind::error:
      std::cerr << "kvsdynf: " << args.text << "\n" << tools::kDynfUsage;
      return 2;
    case cli::parsed::kind::ok:
      break;
  }
  tools::dynf_options& opts = args.opts;

  if (opts.port < 0) opts.port = dynfollow::port_from_env();
  if (opts.port < 0) {
    std::cerr << "kvsdynf: no dynamic-follow port: " << dynfollow::kPortVariable << " is not set to a port\n";
    return 2;
  }
  dynfollow::tester link;
  std::string error;
  std::shared_ptr<const studio::tls_client> tls;
  if (opts.tls.on()) {
    tls = studio::make_tls_client({opts.tls.ca_file, opts.tls.cert_file, opts.tls.key_file}, &error);
    if (!tls) {
      std::cerr << "kvsdynf: " << (error.rfind("TLS", 0) == 0 ? "" : "TLS: ") << error << "\n";
      return 2;
    }
  }
  if (!link.connect(opts.host, opts.port, 10000, tls.get(), &error)) {
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
