// kvsagtd-check: reads the authorization file the agent would read, with the
// agent's own parser, and reports what it finds, for administrators.
//
//   kvsagtd-check [--user NAME] [--host NAME] [--account NAME] [--studio-account NAME]
//
// Prints the file's path (or why the agent would refuse the file), each rule
// with its line number, format errors and machine names that do not resolve;
// with --user, whether the agent would admit NAME connecting from --host
// (default: this machine) and which rule decides. Exit status: 0 admitted or no error, 1 refused, 2 no file or an
// error in it (or a bad command line).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/ctxagt.h"
#include "modules/scuagt.h"
#include "net/tcpip.h"
#include "platform/config_file.h"
#include "platform/identity.h"

namespace {

constexpr const char* kUsage =
    "usage: kvsagtd-check [--user NAME] [--host NAME] [--account NAME] [--studio-account NAME]\n"
    "  Checks the authorization file that KVS_DIR (or PROVEXDIR) points the agent to.\n"
    "  --user NAME     tell whether the agent admits NAME, and which rule decides\n"
    "  --host NAME     ... connecting from machine NAME (default: this machine)\n"
    "  --account NAME  the account the agent runs as (default: the one running this check)\n"
    "  --studio-account NAME\n"
    "                  the account whose socket the studio connects from, on this machine\n"
    "                  (default: the agent's account)\n"
    "  exit status: 0 admitted or no error, 1 refused, 2 no file, an error in it, or a bad command line\n";

struct options {
  std::optional<std::string> user;
  std::string host = "localhost";
  std::optional<std::string> account;
  std::optional<std::string> studio_account;
};

bool is_local(const std::string& host) {
  return host == "localhost" || host == "loopback" || host == "127.0.0.1" || host == "::1";
}

// What a rule line says, in words.
std::string describe(const scu_words& words) {
  const std::string& user = words.user;
  bool refuses = user[0] == '-';
  std::string name = (user[0] == '-' || user[0] == '+') ? user.substr(1) : user;
  std::string text = refuses ? "refuses " : "admits ";
  text += name.empty() ? "every user" : name;
  if (words.machine == "+") return text + " from every machine";
  std::string official;
  TCPIPofficial_name(words.machine.c_str(), &official);
  text += " from " + words.machine;
  if (official != words.machine) text += " (" + official + ")";
  return text;
}

int parse(int argc, char** argv, options* opts) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((arg == "--user" || arg == "--host" || arg == "--account" || arg == "--studio-account") && i + 1 < argc &&
        argv[i + 1][0] != '\0') {
      std::string value = argv[++i];
      if (arg == "--user")
        opts->user = value;
      else if (arg == "--host")
        opts->host = value;
      else if (arg == "--studio-account")
        opts->studio_account = value;
      else
        opts->account = value;
      continue;
    }
    std::fprintf(stderr, "kvsagtd-check: unexpected argument \"%s\"\n%s", arg.c_str(), kUsage);
    return 2;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  options opts;
  if (int status = parse(argc, argv, &opts); status >= 0) return status;

  agt_context_ptr context = CTXnew(10);
  std::optional<std::string> path = SCUfile_path(context.get(), "kvsagtd.ini");
  if (!path) {
    std::printf(
        "kvsagtd-check: neither KVS_DIR nor PROVEXDIR is set: an agent started so finds no authorization\n"
        "file and refuses every user, its own account included (\"533 user is not allowed to connect\").\n"
        "Set KVS_DIR to the directory of kvsagtd.ini (the service sets KVS_DIR=/etc/kvsagtd).\n");
    return 2;
  }
  std::printf("authorization file: %s\n", path->c_str());
  std::vector<std::pair<int, std::string>> lines;
  std::string why;
  if (plat_config_status status = SCUread_lines(*path, lines, &why); status != plat_config_status::read) {
    if (status == plat_config_status::missing)
      std::printf("%s: cannot be read (%s)", path->c_str(), why.c_str());
    else
      std::printf("%s: refused: %s; the agent reads only a regular file of at most %zu bytes", path->c_str(),
                  why.c_str(), PLAT_CONFIG_FILE_MAX);
    std::printf(":\nthe agent says \"not found\" and admits only its own account, from this machine,\n"
                "when the studio's socket belongs to that account\n");
    return 2;
  }

  // The rules as the agent reads them, then the verdict for --user.
  int errors = 0;
  std::vector<std::pair<int, std::string>> good;
  for (const auto& [number, line] : lines) {
    std::optional<scu_words> words = SCUscan_line(line.c_str());
    if (!words) {
      std::printf("line %d: format error: a rule is a machine and a user: \"%s\"\n", number, line.c_str());
      ++errors;
      continue;
    }
    std::string official;
    if (words->machine != "+" && TCPIPofficial_name(words->machine.c_str(), &official) != 0) {
      std::printf("line %d: %s %s: the machine name \"%s\" does not resolve, the rule never applies\n", number,
                  words->machine.c_str(), words->user.c_str(), words->machine.c_str());
      continue;
    }
    std::printf("line %d: %s %s: %s\n", number, words->machine.c_str(), words->user.c_str(),
                describe(*words).c_str());
    good.emplace_back(number, line);
  }
  if (good.empty()) std::printf("no rule applies: only the agent's own account is admitted\n");
  std::optional<std::string> local = SCUlocal_rule_line(opts.account ? opts.account->c_str() : nullptr);
  if (local)
    std::printf(
        "always, after the rules: %s: the agent's own account, from this machine, when the studio's socket\n"
        "belongs to that account too\n",
        local->c_str());
  // The rule of the agent's account counts only for a studio whose socket is
  // that account's own; a name alone claims nothing.
  std::optional<std::string> agent_account = opts.account ? opts.account : PLATuser_name();
  const bool own_account_peer = !opts.studio_account || opts.studio_account == agent_account;

  int status = errors > 0 ? 2 : 0;
  if (opts.user) {
    std::string peer = opts.host;
    std::string official;
    if (!is_local(peer)) {
      if (TCPIPofficial_name(peer.c_str(), &official) == 0)
        peer = official;
      else
        std::printf("host %s does not resolve: only rules for every machine apply\n", peer.c_str());
    }
    std::vector<scu_rule> rules;
    for (const auto& [number, line] : good) {
      if (std::optional<scu_rule> rule = SCUparse_rule(line.c_str(), peer.c_str())) {
        rule->line = number;
        rules.push_back(std::move(*rule));
      }
    }
    bool withheld = false;
    if (local)
      if (std::optional<scu_rule> rule = SCUparse_rule(local->c_str(), peer.c_str())) {
        if (own_account_peer)
          rules.push_back(std::move(*rule));
        else
          withheld = true;
      }
    int decisive = SCUdeciding_rule(rules, opts.user->c_str());
    bool admitted = decisive >= 0 && rules[static_cast<std::size_t>(decisive)].allowed != 0;
    std::printf("user %s from %s: %s", opts.user->c_str(), opts.host.c_str(), admitted ? "admitted" : "refused");
    if (decisive < 0 && withheld && opts.user == agent_account)
      std::printf(", no rule names this user or every user; the agent's own account counts only when the\n"
                  "studio's socket belongs to it, and it belongs to %s\n",
                  opts.studio_account->c_str());
    else if (decisive < 0)
      std::printf(", no rule names this user or every user\n");
    else if (rules[static_cast<std::size_t>(decisive)].line == 0)
      std::printf(" as the agent's own account\n");
    else
      std::printf(" by line %d\n", rules[static_cast<std::size_t>(decisive)].line);
    if (status == 0 && !admitted) status = 1;
  }
  CTXfree(context);
  return status;
}
