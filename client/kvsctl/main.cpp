// kvsctl: the entry point: reads the command line, the script file and the
// agent list, and hands over to one agent's script, the shell, or the fan-out.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "client/kvsctl/control.h"
#include "client/kvsctl/internal.h"

namespace kvsctl {

namespace {

bool read_text(const std::string& path, std::string& text) {
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return !in.bad();
}

int usage_error(const std::string& text) {
  report(text + " (see kvsctl --help)");
  return kExitUsage;
}

}  // namespace

int main(const std::vector<std::string>& args) {
  parse_result parsed = parse_arguments(args);
  switch (parsed.what) {
    case parse_result::kind::help:
    case parse_result::kind::version:
      return write_all(1, parsed.text) ? kExitOk : kExitFailed;
    case parse_result::kind::error:
      return usage_error(parsed.text);
    case parse_result::kind::ok:
      break;
  }
  options& o = parsed.opts;
  if (!o.control_op.empty()) return control_operation(o);
  std::string tls_error;
  if (!resolve_tls(o, [](const char* name) { return static_cast<const char*>(std::getenv(name)); }, tls_error))
    return usage_error(tls_error);
  if (o.master) return start_master(o);
  if (!o.script_file.empty()) {
    std::string text;
    std::string error;
    if (!read_text(o.script_file, text)) return usage_error("cannot read " + o.script_file);
    if (!parse_script(text, o.steps, error)) return usage_error(o.script_file + ": " + error);
  }
  if (!o.hosts.empty()) {
    std::vector<std::string> hosts;
    for (const std::string& entry : o.hosts) {
      std::string text = entry;
      if (entry[0] == '@' && !read_text(entry.substr(1), text)) return usage_error("cannot read " + entry.substr(1));
      for (std::string& host : split_hosts(entry[0] == '@' ? text : entry)) hosts.push_back(std::move(host));
    }
    if (hosts.empty()) return usage_error("-H names no agent");
    for (const std::string& host : hosts) {
      std::string name;
      int port = 0;
      std::string error;
      if (!parse_target(host, name, port, &error)) return usage_error(error);
    }
    return run_fanout(o, hosts);
  }
  switch (o.cmd) {
    case command::run:
    case command::put:
    case command::get:
    case command::steps:
      return run_script(o);
    case command::shell:
      return run_interactive(o, false);
    case command::follow:
      return run_interactive(o, true);
    case command::release:
    case command::refuse:
      return answer_rendezvous(o);
    case command::none:
      break;
  }
  return kExitUsage;
}

}  // namespace kvsctl
