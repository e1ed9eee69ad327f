// The authorization file reader (SCUload_rules, SCUparse_rule) and the
// decision (SCUcheck_user), against a reference model of the file format:
// one rule per line, "#" starts a comment, a CR before the line end is
// dropped, the first two blank-separated words are the machine ("+" or a host
// name) and the user ("+" or "-" alone for everybody, "-name" refuses, "name"
// or "+name" admits); later lines win for "everybody", the first rule naming
// the user decides for him; the local account is admitted from this machine.
//
// A UTF-8 byte-order mark before the file changes nothing.
//
// Input: first byte bit 0 chooses the peer (this machine or a remote one),
// bit 1 puts a byte-order mark before the file,
// then the user up to the first LF, then the file. No machine word is ever
// looked up on the network: every machine word other than "+" is rewritten to
// "localhost" before the file is written.
// Invariants: the decision equals the model's; a line that does not apply or
// does not parse never admits anybody.
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "modules/scuagt_internal.h"
#include "net/tcpip.h"
#include "platform/identity.h"

namespace {

std::string ini_path;
std::string local_user;
std::string official_host;  // empty when this machine's name does not resolve

bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The part of a file line the reader looks at: before "#" and before a NUL.
std::size_t effective_end(const std::string& line) {
  return std::min(line.find('#'), line.find('\0'));
}

// First word of the effective part rewritten to "localhost" unless it is "+".
std::string rewrite(std::string line) {
  std::size_t end = std::min(effective_end(line), line.size());
  std::size_t start = 0;
  while (start < end && blank(line[start])) ++start;
  std::size_t stop = start;
  while (stop < end && !blank(line[stop])) ++stop;
  if (stop > start && line.compare(start, stop - start, "+") != 0) line.replace(start, stop - start, "localhost");
  return line;
}

struct rule {
  bool everybody;
  std::string user;
  bool allowed;
};

std::vector<rule> model_rules(const std::string& file, bool local_peer, const std::string& peer) {
  std::vector<rule> rules;
  std::size_t at = 0;
  while (at < file.size()) {
    std::size_t lf = file.find('\n', at);
    std::string line = file.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
    at = lf == std::string::npos ? file.size() : lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.resize(std::min(effective_end(line), line.size()));
    std::vector<std::string> words;
    std::size_t i = 0;
    while (words.size() < 2) {
      while (i < line.size() && blank(line[i])) ++i;
      if (i == line.size()) break;
      std::size_t start = i;
      while (i < line.size() && !blank(line[i])) ++i;
      words.push_back(line.substr(start, i - start));
    }
    if (words.size() < 2) continue;
    if (words[0] != "+" && !local_peer) continue;  // every other machine word is "localhost"
    const std::string& user = words[1];
    bool allowed = user[0] != '-';
    std::string name = (user[0] == '-' || user[0] == '+') ? user.substr(1) : user;
    rules.push_back({name.empty(), name, allowed});
  }
  if (!official_host.empty() && !local_user.empty() && (local_peer || official_host == peer))
    rules.push_back({false, local_user, true});
  return rules;
}

bool model_decision(const std::vector<rule>& rules, const std::string& user) {
  bool decision = false;
  for (const rule& r : rules) {
    if (r.everybody) {
      decision = r.allowed;
    } else if (r.user == user) {
      return r.allowed;
    }
  }
  return decision;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  char pattern[] = "/tmp/kvs-fuzz-auth-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  ::setenv("KVS_DIR", pattern, 1);
  ini_path = std::string(pattern) + "/kvsagtd.ini";
  local_user = PLATuser_name().value_or("");
  if (std::optional<std::string> host = PLAThost_name()) {
    if (TCPIPofficial_name(host->c_str(), &official_host) != 0) official_host.clear();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool local_peer = (data[0] & 1) != 0;
  const std::string peer = local_peer ? "localhost" : "farhost";
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t lf = rest.find('\n');
  std::string user = rest.substr(0, lf);
  user = user.substr(0, user.find('\0'));
  std::string raw = lf == std::string::npos ? std::string() : rest.substr(lf + 1);

  std::string file;
  std::size_t at = 0;
  while (at <= raw.size()) {
    std::size_t next = raw.find('\n', at);
    file += rewrite(raw.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    file += '\n';
    at = next + 1;
  }
  {
    std::ofstream out(ini_path, std::ios::binary | std::ios::trunc);
    if ((data[0] & 2) != 0) out << "\xEF\xBB\xBF";
    out << file;
  }

  agt_context_ptr context = CTXnew(10);
  // The studio connects from the agent's own account here, as the model assumes.
  std::vector<scu_rule> rules = SCUload_rules(context.get(), peer.c_str(), "kvsagtd.ini", true);
  int admitted = SCUcheck_user(context.get(), rules, user.c_str());
  std::vector<rule> expected = model_rules(file, local_peer, peer);
  FUZZ_CHECK(rules.size() == expected.size(), "%zu rules, expected %zu; file %s", rules.size(), expected.size(),
             fuzz::show(file).c_str());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    FUZZ_CHECK(rules[i].allowed == (expected[i].allowed ? 1 : 0) && rules[i].user.has_value() != expected[i].everybody &&
                   (!rules[i].user || rules[i].user->view() == expected[i].user),
               "rule %zu differs; file %s", i, fuzz::show(file).c_str());
  }
  bool want = model_decision(expected, user);
  FUZZ_CHECK(admitted == (want ? 1 : 0), "user %s admitted=%d, expected %d; peer %s file %s", fuzz::show(user).c_str(),
             admitted, want ? 1 : 0, peer.c_str(), fuzz::show(file).c_str());
  SCUfree_rules(context.get(), rules);
  return 0;
}
