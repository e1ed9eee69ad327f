// The command lines of the tester-side tools kvsrdv and kvsdynf, read with
// the shared parser of client/cli.h. Kept apart from their main() so that
// the unit tests read them too.
#pragma once

#include <string>
#include <vector>

#include "client/cli.h"

namespace tools {

template <class T>
struct tool_args {
  cli::parsed::kind what = cli::parsed::kind::ok;
  std::string text;  // help: the usage; version: the version line; error: the message
  T opts;
};

// TLS to the agent's tester port, for a tester on another host: the
// tester's certificate and key (from the agent's client CA) and the CA that
// signed the agent's certificate. All three or none (plain text).
struct tester_tls {
  std::string cert_file;
  std::string key_file;
  std::string ca_file;
  bool on() const { return !ca_file.empty(); }
};

struct rdv_options {
  std::string name;
  std::string host = "localhost";
  tester_tls tls;
};

struct dynf_options {
  std::string boot;  // the boot message
  bool wait = false;
  int timeout_ms = -1;  // -1: no limit
  int port = -1;        // -1: KVS_PORT_TSTAGT
  std::string host = "localhost";
  int gap_ms = 200;
  std::vector<std::string> lines;
  tester_tls tls;
};

tool_args<rdv_options> parse_kvsrdv(const std::vector<std::string>& args);
// `default_boot` is the boot message when --boot is not given.
tool_args<dynf_options> parse_kvsdynf(const std::vector<std::string>& args, const std::string& default_boot);

extern const char* const kRdvUsage;
extern const char* const kDynfUsage;

}  // namespace tools
