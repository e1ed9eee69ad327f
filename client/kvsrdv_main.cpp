// kvsrdv [--host NAME] [--tls-cert FILE --tls-key FILE --tls-ca FILE] [--] NAME:
// waits at the rendezvous NAME of the agent that launched this program (port
// in KVS_PORT_RDV) until the studio releases it; over TLS from another host.
// Exit status: 0 on "Ok", 1 on "Ko", 2 on any error (message on stderr).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/rendezvous.h"
#include "client/tool_args.h"

int main(int argc, char** argv) {
  tools::tool_args<tools::rdv_options> args = tools::parse_kvsrdv(std::vector<std::string>(argv + 1, argv + argc));
  switch (args.what) {
    case cli::parsed::kind::help:
    case cli::parsed::kind::version:
      std::fputs(args.text.c_str(), stdout);
      return 0;
    case cli::parsed::kind::error:
      std::fprintf(stderr, "kvsrdv: %s\n%s", args.text.c_str(), tools::kRdvUsage);
      return 2;
    case cli::parsed::kind::ok:
      break;
  }
  const std::string& name = args.opts.name;
  const char* variable = std::getenv(studio::kRendezvousPortVariable);
  int port = studio::parse_rendezvous_port(variable);
  if (port < 0) {
    std::fprintf(stderr, "kvsrdv: %s %s\n", studio::kRendezvousPortVariable,
                 variable == nullptr ? "is not set" : "does not hold a port number");
    return 2;
  }
  std::string error;
  std::shared_ptr<const studio::tls_client> tls;
  if (args.opts.tls.on()) {
    const tools::tester_tls& files = args.opts.tls;
    tls = studio::make_tls_client({files.ca_file, files.cert_file, files.key_file}, &error);
    if (!tls) {
      std::fprintf(stderr, "kvsrdv: %s%s\n", error.rfind("TLS", 0) == 0 ? "" : "TLS: ", error.c_str());
      return 2;
    }
  }
  switch (studio::wait_rendezvous(args.opts.host, port, name, tls.get(), -1, &error)) {
    case studio::rendezvous_answer::ok:
      return 0;
    case studio::rendezvous_answer::ko:
      return 1;
    case studio::rendezvous_answer::failed:
      break;
  }
  std::string shown = name.size() > 60 ? name.substr(0, 60) + "..." : name;
  std::fprintf(stderr, "kvsrdv: rendezvous \"%s\": %s\n", shown.c_str(), error.c_str());
  return 2;
}
