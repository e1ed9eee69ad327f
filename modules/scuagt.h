// scuagt: access control. The identification command Qim admits a user when
// the authorization file kvsagtd.ini allows it from the peer's machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "modules/agt_module.h"

struct scu_rule {
  std::optional<kvwstr> user;  // none: the rule speaks of every user
  int allowed = 0;             // 1 admits, 0 refuses
  int line = 0;                // line of the file; 0 for the local account's rule
};

// The two words of a rule line, or none when the line is malformed.
struct scu_words {
  std::string machine;
  std::string user;
};
std::optional<scu_words> SCUscan_line(const char* line);
// The lines of the authorization file that hold a rule (comments removed),
// with their line numbers; false when the file cannot be opened.
bool SCUread_lines(const std::string& path, std::vector<std::pair<int, std::string>>& lines);
// The rule admitting an account (by default the one running the agent) from
// this machine; none when the host or the account has no name.
std::optional<std::string> SCUlocal_rule_line(const char* account = nullptr);

// Rules of the authorization file that apply to this peer, in file order,
// then the rule admitting the local account from this machine.
std::vector<scu_rule> SCUload_rules(agt_context* context, const char* peer_name, const char* file_name);
// The rule of one file line, or none when the line does not apply to the peer or is malformed.
std::optional<scu_rule> SCUparse_rule(const char* line, const char* peer_name);
// Index of the rule that decides for the user, or -1 when none does (refused).
int SCUdeciding_rule(const std::vector<scu_rule>& rules, const char* user);
// 1 admitted, 0 refused.
int SCUcheck_user(agt_context* context, const std::vector<scu_rule>& rules, const char* user);
void SCUfree_rules(agt_context* context, std::vector<scu_rule>& rules);
// Where the authorization file is looked for; none when neither KVS_DIR nor PROVEXDIR is set.
std::optional<std::string> SCUfile_path(agt_context* context, const char* file_name);

// The module's record (its start, end and commands).
extern const agt_module scu_module;
