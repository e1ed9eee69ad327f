#include "modules/scuagt_internal.h"

#include <cctype>
#include <cstring>

#include "modules/envagt.h"
#include "net/tcpip.h"
#include "platform/config_file.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "support/cstsyst.h"

namespace {

bool is_local_peer(const char* peer) {
  for (const char* local : {"localhost", "loopback", "127.0.0.1", "::1"})
    if (CSTstrcmp(peer, local) == 0) return true;
  return false;
}

// The first two whitespace-separated words of a line.
int scan_words(const char* line, std::string& first, std::string& second) {
  std::string* words[2] = {&first, &second};
  int found = 0;
  const char* at = line;
  while (found < 2) {
    while (*at != '\0' && std::isspace(static_cast<unsigned char>(*at)) != 0) ++at;
    if (*at == '\0') break;
    const char* start = at;
    while (*at != '\0' && std::isspace(static_cast<unsigned char>(*at)) == 0) ++at;
    words[found++]->assign(start, at);
  }
  return found;
}

}  // namespace

std::optional<std::string> SCUfile_path(agt_context* context, const char* file_name) {
  std::string dir;
  if (std::optional<kvwstr> kvs_dir = ENVget(context, "KVS_DIR")) {
    dir = kvs_dir->c_str();
  } else if (std::optional<kvwstr> provex = ENVget(context, "PROVEXDIR")) {
    // "\bin\intel\win32\" with the platform's separator.
    const char sep = PLATdir_separator();
    dir = std::string(provex->c_str()) + sep + "bin" + sep + "intel" + sep + "win32" + sep;
  } else {
    return std::nullopt;
  }
  if (dir.back() != PLATdir_separator()) dir += PLATdir_separator();
  return dir + file_name;
}

std::optional<scu_words> SCUscan_line(const char* line) {
  scu_words words;
  if (scan_words(line, words.machine, words.user) < 2) return std::nullopt;
  return words;
}

std::optional<scu_rule> SCUparse_rule(const char* line, const char* peer_name) {
  std::optional<scu_words> words = SCUscan_line(line);
  if (!words) {
    CSTprintf("kvsagtd: authorization file format error\n");
    return std::nullopt;
  }
  const std::string& machine = words->machine;
  const std::string& user = words->user;
  if (machine != "+") {
    std::string official;
    if (TCPIPofficial_name(machine.c_str(), &official) != 0) return std::nullopt;
    if (CSTstrcmp(official.c_str(), peer_name) != 0 && !is_local_peer(peer_name)) return std::nullopt;
  }
  scu_rule rule;
  rule.allowed = user[0] == '-' ? 0 : 1;
  const char* name = (user[0] == '-' || user[0] == '+') ? user.c_str() + 1 : user.c_str();
  if (*name != '\0') rule.user = kvwstr(name);
  return rule;
}

void SCUsplit_lines(std::string_view text, std::vector<std::pair<int, std::string>>& lines) {
  // A UTF-8 byte-order mark (as some editors write) is no part of the first rule.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  // Whole lines, however long: a long comment must not turn into rules.
  for (int number = 1; !text.empty(); ++number) {
    std::size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a file edited with CR LF line ends
    std::size_t comment = line.find('#');
    if (comment != std::string::npos) line.erase(comment);
    if (!line.empty()) lines.emplace_back(number, line);
  }
}

plat_config_status SCUread_lines(const std::string& path, std::vector<std::pair<int, std::string>>& lines,
                                 std::string* why) {
  plat_config_file file = PLATread_config_file(path.c_str());
  if (file.status == plat_config_status::read)
    SCUsplit_lines(file.content, lines);
  else if (why != nullptr)
    *why = file.why;
  return file.status;
}

std::optional<std::string> SCUlocal_rule_line(const char* account_name) {
  // Without an account name there is nobody to admit.
  std::optional<std::string> host = PLAThost_name();
  std::optional<std::string> account = account_name != nullptr ? std::optional<std::string>(account_name) : PLATuser_name();
  std::string official;
  if (!host || !account || TCPIPofficial_name(host->c_str(), &official) != 0) return std::nullopt;
  return official + " " + *account;
}

std::vector<scu_rule> SCUload_rules(agt_context* context, const char* peer_name, const char* file_name,
                                    bool own_account_peer, bool* own_rule_withheld) {
  std::vector<scu_rule> rules;
  if (own_rule_withheld != nullptr) *own_rule_withheld = false;
  std::optional<std::string> path = SCUfile_path(context, file_name);
  if (!path) return rules;

  std::vector<std::pair<int, std::string>> lines;
  std::string why;
  plat_config_status status = SCUread_lines(*path, lines, &why);
  // The "not found" message is printed once per connection (every time
  // when the module has not started, as in a test of this function alone).
  scu_state* own = CTXstate<scu_state>(context, CTX_SLOT_SCU);
  if (status != plat_config_status::read && (own == nullptr || !own->not_found_reported)) {
    // Anything but a readable regular file counts as no file at all; the
    // line before says what was wrong with one that is there.
    if (own != nullptr) own->not_found_reported = true;
    if (status != plat_config_status::missing)
      CSTprintf("kvsagtd: authorization file %s refused: %s\n", kvwstr_one_line(*path).c_str(), why.c_str());
    CSTprintf("kvsagtd: authorization file %s not found.\n Use current machine:user\n",
              kvwstr_one_line(*path).c_str());
  }
  for (const auto& [number, line] : lines) {
    if (std::optional<scu_rule> rule = SCUparse_rule(line.c_str(), peer_name)) {
      rule->line = number;
      rules.push_back(std::move(*rule));
    }
  }

  // The account running the agent is admitted from this machine, after every
  // rule of the file, when the studio's socket is that account's own.
  if (std::optional<std::string> local = SCUlocal_rule_line())
    if (std::optional<scu_rule> rule = SCUparse_rule(local->c_str(), peer_name)) {
      if (own_account_peer)
        rules.push_back(std::move(*rule));
      else if (own_rule_withheld != nullptr)
        *own_rule_withheld = true;
    }
  return rules;
}

int SCUdeciding_rule(const std::vector<scu_rule>& rules, const char* user) {
  int decision = -1;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const scu_rule& rule = rules[i];
    if (!rule.user) {
      decision = static_cast<int>(i);
    } else if (CSTstrcmp(rule.user->c_str(), user) == 0) {
      return static_cast<int>(i);
    }
  }
  return decision;
}

int SCUcheck_user(agt_context*, const std::vector<scu_rule>& rules, const char* user) {
  int decisive = SCUdeciding_rule(rules, user);
  return decisive < 0 ? 0 : rules[static_cast<std::size_t>(decisive)].allowed;
}

void SCUfree_rules(agt_context*, std::vector<scu_rule>& rules) { rules.clear(); }

cmd_reply SCUcmd_qim(agt_context* context, cmd_state* state, const char* argument) {
  const char* peer = state->peer_name() != nullptr ? state->peer_name() : "";
  // Over mutual TLS the studio is who its certificate names: another name
  // is refused before any rule is read.
  if (TCPIPsession_mutual(context)) {
    std::optional<std::string> identity = TCPIPsession_identity(context);
    if (!identity || *identity != argument) {
      state->admit(0);
      kvwstr logged_peer = kvwstr_one_line(peer);
      kvwstr logged_user = kvwstr_one_line(argument);
      if (identity)
        CSTprintf("%s %s #access denied (the studio's certificate names %s)\n", logged_peer.c_str(),
                  logged_user.c_str(), kvwstr_one_line(*identity).c_str());
      else
        CSTprintf("%s %s #access denied (the studio's certificate names nobody)\n", logged_peer.c_str(),
                  logged_user.c_str());
      return CMDreply(MSG_533_ACCESS_REFUSED);
    }
  }
  // The user name is a claim; who owns the studio's end of the connection
  // is what the system knows.
  std::optional<plat_socket_owner> owner;
  if (int command = TCPIPsession_socket(context); command >= 0) owner = PLATpeer_socket_owner(command);
  bool withheld = false;
  std::vector<scu_rule> rules =
      SCUload_rules(context, peer, "kvsagtd.ini", owner && owner->agent_account, &withheld);
  const int authorized = SCUcheck_user(context, rules, argument);
  state->admit(authorized);
  SCUfree_rules(context, rules);
  // One log line per identification, whatever the user name holds.
  kvwstr logged_peer = kvwstr_one_line(peer);
  kvwstr logged_user = kvwstr_one_line(argument);
  if (authorized != 0) {
    CSTprintf("%s %s #access granted\n", logged_peer.c_str(), logged_user.c_str());
    return CMDreply(MSG_310_ACCESS_AUTHORIZED);
  }
  // Refused while claiming the agent's own account: say why that rule did not count.
  std::optional<std::string> own = PLATuser_name();
  if (withheld && own && *own == argument) {
    kvwstr who = kvwstr_one_line(owner ? owner->account.c_str() : "");
    if (owner)
      CSTprintf("%s %s #access denied (the studio's socket belongs to %s, not to the agent's account)\n",
                logged_peer.c_str(), logged_user.c_str(), who.c_str());
    else
      CSTprintf("%s %s #access denied (the owner of the studio's socket is not known on this machine)\n",
                logged_peer.c_str(), logged_user.c_str());
  } else {
    CSTprintf("%s %s #access denied\n", logged_peer.c_str(), logged_user.c_str());
  }
  return CMDreply(MSG_533_ACCESS_REFUSED);
}

int SCUinit(agt_context* context) { return CTXinstall(context, std::make_unique<scu_state>(), CTX_SLOT_SCU); }

int SCUterm(agt_context* context) {
  CTXtake<scu_state>(context, CTX_SLOT_SCU);
  return 0;
}
