// kvsrdv NAME: waits at the rendezvous NAME of the agent that launched this
// program (port in KVS_PORT_RDV) until the studio releases it.
// Exit status: 0 on "Ok", 1 on "Ko", 2 on any error (message on stderr).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/rendezvous.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kvsrdv NAME\n");
    return 2;
  }
  const char* variable = std::getenv(studio::kRendezvousPortVariable);
  int port = studio::parse_rendezvous_port(variable);
  if (port < 0) {
    std::fprintf(stderr, "kvsrdv: %s %s\n", studio::kRendezvousPortVariable,
                 variable == nullptr ? "is not set" : "does not hold a port number");
    return 2;
  }
  std::string error;
  switch (studio::wait_rendezvous(port, argv[1], -1, &error)) {
    case studio::rendezvous_answer::ok:
      return 0;
    case studio::rendezvous_answer::ko:
      return 1;
    case studio::rendezvous_answer::failed:
      break;
  }
  std::string name(argv[1]);
  if (name.size() > 60) name = name.substr(0, 60) + "...";
  std::fprintf(stderr, "kvsrdv: rendezvous \"%s\": %s\n", name.c_str(), error.c_str());
  return 2;
}
