#include "client/tool_args.h"
#include "support/protocol/numbers.h"

#include <cstdlib>

namespace tools {

const char* const kRdvUsage =
    "usage: kvsrdv [--host NAME] [--tls-cert FILE --tls-key FILE --tls-ca FILE] [--] NAME\n"
    "  Waits at the rendezvous NAME of the agent that launched this program (port in\n"
    "  KVS_PORT_RDV) until the studio answers. A NAME that begins with '-' follows '--'.\n"
    "  --host NAME    the agent's host (default localhost)\n"
    "  --tls-cert FILE --tls-key FILE --tls-ca FILE\n"
    "                 TLS with this certificate and key, the agent's certificate\n"
    "                 verified against the CA file and NAME (a tester on another host)\n"
    "  exit status: 0 answered \"Ok\", 1 answered \"Ko\", 2 error\n";

const char* const kDynfUsage =
    "usage: kvsdynf [--boot TEXT] [--wait] [--timeout SEC] [--port N] [--host NAME] [--gap MS]\n"
    "               [--tls-cert FILE --tls-key FILE --tls-ca FILE] [--] [LINE...]\n"
    "  Sends the boot message TEXT (default \"BOOT kvsdynf <pid>\") to the agent's\n"
    "  dynamic-follow port (default: $KVS_PORT_TSTAGT on localhost), then each LINE,\n"
    "  or the lines of standard input when no LINE is given. A LINE that begins with\n"
    "  '-' follows '--'.\n"
    "  --wait         then wait for the studio's answer and print it (\"Ok\", \"Ko\" or a text line)\n"
    "  --timeout SEC  wait at most SEC seconds for the answer (default: no limit)\n"
    "  --gap MS       pause after the boot message, so that it is read alone (default 200)\n"
    "  --tls-cert FILE --tls-key FILE --tls-ca FILE\n"
    "                 TLS with this certificate and key, the agent's certificate\n"
    "                 verified against the CA file and the host (a tester on another host)\n"
    "  exit status: 0 done or answered \"Ok\" or a text, 1 answered \"Ko\", 2 error\n";

namespace {

template <class T>
tool_args<T> first_pass(const cli::parsed& p, const char* tool, const char* usage) {
  tool_args<T> r;
  r.what = p.what;
  if (p.what == cli::parsed::kind::help) r.text = usage;
  if (p.what == cli::parsed::kind::version) r.text = std::string(tool) + " " + cli::kVersion + "\n";
  if (p.what == cli::parsed::kind::error) r.text = p.error;
  return r;
}

template <class T>
tool_args<T> error(std::string message) {
  tool_args<T> r;
  r.what = cli::parsed::kind::error;
  r.text = std::move(message);
  return r;
}

bool parse_number(const std::string& text, long low, long high, long* value) {
  std::optional<long long> parsed = protocol::parse_integer(text, low, high);
  if (!parsed) return false;
  *value = static_cast<long>(*parsed);
  return true;
}

// Takes a --tls-* option into `tls`; false when `f` is none.
bool take_tls(const cli::found& f, std::size_t first, tester_tls& tls) {
  if (f.index < first || f.index > first + 2) return false;
  (f.index == first ? tls.cert_file : f.index == first + 1 ? tls.key_file : tls.ca_file) = f.value;
  return true;
}

// What is wrong with the TLS options; empty when nothing.
std::string tls_problem(const tester_tls& tls) {
  int given = !tls.cert_file.empty() + !tls.key_file.empty() + !tls.ca_file.empty();
  return given == 0 || given == 3 ? "" : "--tls-cert, --tls-key and --tls-ca go together";
}

}  // namespace

tool_args<rdv_options> parse_kvsrdv(const std::vector<std::string>& args) {
  enum { host, tls_cert, tls_key, tls_ca };
  static constexpr cli::option kTable[] = {
      {"host", 0, true}, {"tls-cert", 0, true}, {"tls-key", 0, true}, {"tls-ca", 0, true}};
  cli::parsed p = cli::parse(args, kTable, cli::order::permute);
  tool_args<rdv_options> r = first_pass<rdv_options>(p, "kvsrdv", kRdvUsage);
  if (p.what != cli::parsed::kind::ok) return r;
  for (const cli::found& f : p.options) {
    if (f.value.empty()) return error<rdv_options>(cli::name_of(kTable[f.index]) + " needs a value");
    if (f.index == host) r.opts.host = f.value;
    else take_tls(f, tls_cert, r.opts.tls);
  }
  if (std::string problem = tls_problem(r.opts.tls); !problem.empty()) return error<rdv_options>(problem);
  if (p.operands.size() != 1) return error<rdv_options>("needs one rendezvous NAME");
  r.opts.name = p.operands[0];
  return r;
}

tool_args<dynf_options> parse_kvsdynf(const std::vector<std::string>& args, const std::string& default_boot) {
  enum { boot, wait, timeout, port, host, gap, tls_cert, tls_key, tls_ca };
  static constexpr cli::option kTable[] = {
      {"boot", 0, true}, {"wait", 0, false}, {"timeout", 0, true},  {"port", 0, true},   {"host", 0, true},
      {"gap", 0, true},  {"tls-cert", 0, true}, {"tls-key", 0, true}, {"tls-ca", 0, true},
  };
  cli::parsed p = cli::parse(args, kTable, cli::order::permute);
  tool_args<dynf_options> r = first_pass<dynf_options>(p, "kvsdynf", kDynfUsage);
  if (p.what != cli::parsed::kind::ok) return r;
  dynf_options& o = r.opts;
  o.boot = default_boot;
  for (const cli::found& f : p.options) {
    long number = 0;
    switch (f.index) {
      case boot:
        if (f.value.empty()) return error<dynf_options>("the boot message must not be empty");
        o.boot = f.value;
        break;
      case wait:
        o.wait = true;
        break;
      case timeout:
        if (!parse_number(f.value, 0, 86400L * 365, &number)) return error<dynf_options>("bad timeout: " + f.value);
        o.timeout_ms = static_cast<int>(number * 1000 > 2000000000 ? 2000000000 : number * 1000);
        break;
      case port:
        if (!parse_number(f.value, 1, 65535, &number)) return error<dynf_options>("bad port: " + f.value);
        o.port = static_cast<int>(number);
        break;
      case host:
        if (f.value.empty()) return error<dynf_options>("the host name must not be empty");
        o.host = f.value;
        break;
      case gap:
        if (!parse_number(f.value, 0, 60000, &number)) return error<dynf_options>("bad gap: " + f.value);
        o.gap_ms = static_cast<int>(number);
        break;
      default:
        if (f.value.empty()) return error<dynf_options>(cli::name_of(kTable[f.index]) + " needs a file name");
        take_tls(f, tls_cert, o.tls);
        break;
    }
  }
  if (std::string problem = tls_problem(o.tls); !problem.empty()) return error<dynf_options>(problem);
  for (const std::string& line : p.operands)
    if (line.find_first_of("\r\n") != std::string::npos) return error<dynf_options>("a LINE must not hold CR or LF");
  o.lines = p.operands;
  return r;
}

}  // namespace tools
