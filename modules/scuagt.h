// scuagt: access control. The identification command Qim admits a user when
// the authorization file kvsagtd.ini allows it from the peer's machine.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modules/agt_module.h"
#include "platform/config_file.h"

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
// The lines of an authorization file's text that hold a rule (comments
// removed), with their line numbers. LF ends a line, and so does CR LF;
// every other byte, Ctrl-Z included, belongs to its line.
void SCUsplit_lines(std::string_view text, std::vector<std::pair<int, std::string>>& lines);
// Reads the authorization file and splits it into lines. Unless the result
// is `read` (a named pipe, a device, a directory, a file over 1 MiB, or one
// that cannot be opened), `lines` is left as it was and `why` says why.
plat_config_status SCUread_lines(const std::string& path, std::vector<std::pair<int, std::string>>& lines,
                                 std::string* why = nullptr);
// The rule admitting an account (by default the one running the agent) from
// this machine; none when the host or the account has no name.
std::optional<std::string> SCUlocal_rule_line(const char* account = nullptr);

// Rules of the authorization file that apply to this peer, in file order,
// then the rule admitting the local account from this machine, when
// `own_account_peer` says that the studio's socket belongs to that account.
// `own_rule_withheld` (when given) tells whether that rule would have
// applied to the peer but was left out for want of it.
std::vector<scu_rule> SCUload_rules(agt_context* context, const char* peer_name, const char* file_name,
                                    bool own_account_peer, bool* own_rule_withheld = nullptr);
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
