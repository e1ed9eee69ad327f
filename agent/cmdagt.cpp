#include "agent/cmdagt.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "modules/envagt.h"
#include "modules/fs_agt.h"
#include "support/cstsyst.h"

// The interpreter's side of its state: it makes states and grants a row's
// operations while the row's handler runs.
struct cmd_interpreter {
  static cmd_state make(const char* peer_name, const cmd_table* table, int authorized) {
    cmd_state state;
    state.peer_name_ = peer_name;
    state.table_ = table;
    state.authorized_ = authorized;
    return state;
  }
  static const cmd_table& table(const cmd_state* state) {
    const void* table = state != nullptr ? state->table_ : nullptr;
    return table != nullptr ? *static_cast<const cmd_table*>(table) : CMDtable();
  }

  // The operations of `flags` are granted for the scope's lifetime.
  class grant {
   public:
    grant(cmd_state* state, unsigned flags) : state_(state) { state_->granted_ = flags; }
    ~grant() { state_->granted_ = 0; }
    grant(const grant&) = delete;
    grant& operator=(const grant&) = delete;

   private:
    cmd_state* state_;
  };
  static constexpr unsigned turn = cmd_state::CMD_GRANT_TURN;
  static constexpr unsigned row_grants = CMD_ADMITS | CMD_LAUNCHES;
};

namespace {

// The interpreter's own commands.
const cmd_entry rows[] = {
    {"HELO", CMDhelo, nullptr, CMD_BEFORE_ADMISSION},
    {"HELP", CMDhelp, "210 help : HELP [command]"},
    {"QUIT", CMDquit, nullptr, CMD_ENDS_CONNECTION},
    {"XWHY", CMDxwhy, nullptr, CMD_HIDDEN},
};

const agt_module cmd_module = {.name = "interpreter", .commands = rows};

#define AGT_MODULE_RECORD(slot, record) &record,
const agt_module* const modules[] = {&cmd_module, AGT_MODULE_LIST(AGT_MODULE_RECORD)};
#undef AGT_MODULE_RECORD

// The first word of a line: up to its end, a blank or a tab.
std::string_view first_word(const char* line) { return std::string_view(line, std::strcspn(line, " \t")); }

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

void join(std::optional<kvwstr>& lines, kvwstr&& more) {
  if (lines)
    lines->cat("\r\n").cat(more.view());
  else
    lines = std::move(more);
}

}  // namespace

std::span<const agt_module* const> CMDmodules() { return modules; }

std::optional<cmd_table> cmd_table::assemble(std::span<const agt_module* const> modules, std::string* why) {
  auto refuse = [why](std::string reason) -> std::optional<cmd_table> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  cmd_table table;
  for (const agt_module* module : modules)
    for (const cmd_entry& entry : module->commands) {
      if (entry.name == nullptr || *entry.name == '\0' || first_word(entry.name).size() != std::strlen(entry.name))
        return refuse(std::string("a row of ") + module->name + " has no name or a blank in it");
      table.rows_.push_back(entry);
      table.rows_.back().name_length = std::strlen(entry.name);
    }
  auto by_name = [](const cmd_entry& a, const cmd_entry& b) { return std::string_view(a.name) < std::string_view(b.name); };
  // The walk order is kept among the rows that follow the same row.
  std::vector<cmd_entry> walked = table.rows_;
  std::sort(table.rows_.begin(), table.rows_.end(), by_name);
  for (std::size_t i = 1; i < table.rows_.size(); ++i)
    if (std::strcmp(table.rows_[i - 1].name, table.rows_[i].name) == 0)
      return refuse(std::string("two rows named ") + table.rows_[i].name);

  // HELP's listing: each listed row at its name's place, unless it follows
  // another; then right after that one and the rows that follow it already.
  std::size_t listed = 0;
  for (const cmd_entry& entry : table.rows_) {
    if ((entry.flags & CMD_HIDDEN) != 0) continue;
    ++listed;
    if (entry.listed_after == nullptr) continue;
    const cmd_entry* anchor = table.find(entry.listed_after);
    if (anchor == nullptr || std::strcmp(anchor->name, entry.listed_after) != 0 || (anchor->flags & CMD_HIDDEN) != 0)
      return refuse(std::string(entry.name) + " is listed after " + entry.listed_after + ", which HELP does not list");
  }
  auto place = [&](auto& self, const cmd_entry* entry) -> void {
    table.listing_.push_back(entry);
    for (const cmd_entry& next : walked)
      if ((next.flags & CMD_HIDDEN) == 0 && next.listed_after != nullptr && std::strcmp(next.listed_after, entry->name) == 0)
        self(self, table.find(next.name));
  };
  for (const cmd_entry& entry : table.rows_)
    if ((entry.flags & CMD_HIDDEN) == 0 && entry.listed_after == nullptr) place(place, &entry);
  if (table.listing_.size() != listed) return refuse("rows that follow one another in a circle are never listed");
  return table;
}

const cmd_entry* cmd_table::find(const char* line) const {
  const std::string_view word = first_word(line);
  auto at = std::lower_bound(rows_.begin(), rows_.end(), word,
                             [](const cmd_entry& entry, std::string_view w) { return std::string_view(entry.name) < w; });
  return at != rows_.end() && std::string_view(at->name) == word ? &*at : nullptr;
}

const cmd_table& CMDtable() {
  // Built once, before the first command is read; never changed afterwards.
  static const cmd_table table = [] {
    std::string why;
    std::optional<cmd_table> assembled = cmd_table::assemble(modules, &why);
    if (!assembled) {
      CSTfprintf(stderr, "kvsagtd : the command table cannot be assembled: %s\n", why.c_str());
      std::abort();
    }
    return std::move(*assembled);
  }();
  return table;
}

cmd_state CMDnew_state(const char* peer_name, const cmd_table* table, int authorized) {
  return cmd_interpreter::make(peer_name, table, authorized);
}

int CMDinit(agt_context* context, const char* peer_name) {
  if (context == nullptr || context->slots.size() < CTX_SLOT_END) return -1;
  auto state = std::make_unique<cmd_state>(CMDnew_state(peer_name, &CMDtable()));
  // The modules the commands need start in order, all of them even when one
  // fails; when one did, all of them end again.
  int failed = 0;
  for (const agt_module* module : modules)
    if (!module->channel && module->start != nullptr && module->start(context) != 0) failed = 1;
  if (failed != 0) {
    for (const agt_module* module : modules)
      if (!module->channel && module->end != nullptr) module->end(context);
    return -1;
  }
  CTXinstall(context, std::move(state), CTX_SLOT_CMD);
  if (std::optional<kvwstr> base = FScurrent_dir(context)) ENVset(context, "KVS_AGT_BASEPWD", base->c_str());
  return 0;
}

int CMDterm(agt_context* context) {
  std::unique_ptr<cmd_state> state = CTXtake<cmd_state>(context, CTX_SLOT_CMD);
  if (!state) return -1;
  int failed = 0;
  for (const agt_module* module : modules)
    if (!module->channel && module->end != nullptr && module->end(context) != 0) failed = 1;
  return failed != 0 ? -1 : 0;
}

bool CMDadmitted(agt_context* context) {
  const cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD);
  return state != nullptr && state->admitted();
}

cmd_reply CMDline(agt_context* context, const char* line, int* stop) {
  cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD);
  if (state == nullptr) {
    *stop = 1;
    return CMDreply(MSG_570_CMD_NOT_INITIALIZED);
  }
  return CMDdispatch(context, state, line, stop);
}

cmd_reply CMDdispatch(agt_context* context, cmd_state* state, const char* line, int* stop) {
  // Most lines name no variable: they are read as they came, without a copy.
  std::optional<kvwstr> expanded;
  const char* x = line;
  if (std::strchr(line, '$') != nullptr) {
    std::size_t limit = state->admitted() ? CMD_EXPANDED_MAX : CMD_EXPANDED_MAX_UNADMITTED;
    expanded = CMDexpand_within(context, line, '$', limit);
    if (!expanded) {
      if (!state->admitted()) {
        CSTprintf("kvsagtd : command line longer than %d bytes, connection closed\n", static_cast<int>(limit));
        *stop = 1;
        return std::nullopt;
      }
      *stop = 0;
      return CMDreplyf(MSG_500_COMMAND_UNKNOWN, "%s", line);
    }
    x = expanded->c_str();
  }

  const cmd_entry* entry = cmd_interpreter::table(state).find(x);
  // Before identification a line that does not pass the gate ends the
  // connection without a word.
  if (!CMDgate(state->admitted() ? 1 : 0, x, entry)) {
    *stop = 1;
    return std::nullopt;
  }
  if (entry != nullptr) {
    const char* argument = x + entry->name_length;
    if (*argument != '\0') {
      ++argument;
      while (*argument == ' ' || *argument == '\t') ++argument;
    }
    cmd_reply reply;
    {
      cmd_interpreter::grant granted(state, entry->flags & cmd_interpreter::row_grants);
      reply = entry->handler(context, state, argument);
    }
    // A deferred command that ended before its handler returned answers now.
    if (!reply) reply = state->take_finished();
    *stop = ((entry->flags & CMD_ENDS_CONNECTION) != 0 || !state->admitted()) ? 1 : 0;
    return reply;
  }

  // An unidentified peer gets its line back as it sent it, so that expansion
  // cannot be used to read the agent's environment before admission.
  *stop = 0;
  return CMDreplyf(MSG_500_COMMAND_UNKNOWN, "%s", state->admitted() ? x : line);
}

const cmd_entry* CMDfind(const char* line) { return CMDtable().find(line); }

bool CMDgate(int authorized, const char* line, const cmd_entry* entry) {
  if (authorized != 0) return true;
  // Before identification only "Qim " (with its blank) and HELO pass the
  // prefix test, and of the rows only those allowed before admission run. A
  // line that passes the test but names no row is answered as unknown.
  if (!starts_with(line, "Qim ") && !starts_with(line, "HELO")) return false;
  return entry == nullptr || (entry->flags & CMD_BEFORE_ADMISSION) != 0;
}

kvwstr CMDexpand(agt_context* context, const char* text, char marker) {
  // Without a bound of its own: the text type's own limit applies.
  return std::move(*CMDexpand_within(context, text, marker, SIZE_MAX));
}

std::optional<kvwstr> CMDexpand_within(agt_context* context, const char* text, char marker, std::size_t limit) {
  kvwstr result;
  if (text == nullptr) return result;
  // Appends, or fails once the result would pass the limit.
  auto add = [&](std::string_view piece) {
    if (piece.size() > limit - static_cast<std::size_t>(result.len())) return false;
    result.cat(piece);
    return true;
  };
  const char* at = text;
  while (*at != '\0') {
    const char* next = std::strchr(at, marker);
    if (next == nullptr) {
      if (!add(at)) return std::nullopt;
      break;
    }
    if (!add(std::string_view(at, static_cast<std::size_t>(next - at)))) return std::nullopt;
    const char* reference = next;  // the marker
    std::string name;
    if (next[1] == '{') {
      const char* close = std::strchr(next + 2, '}');
      if (close == nullptr) {
        name.assign(next + 2);
        at = next + 2 + name.size();
      } else {
        name.assign(next + 2, close);
        at = close + 1;
      }
    } else {
      const char* end = next + 1;
      while (is_name_char(*end)) ++end;
      name.assign(next + 1, end);
      at = end;
    }
    std::optional<kvwstr> value;
    if (!name.empty() || next[1] == '{') value = ENVget(context, name.c_str());
    // Unknown, empty or missing names leave the reference as it was written.
    std::string_view inserted =
        value ? value->view() : std::string_view(reference, static_cast<std::size_t>(at - reference));
    if (!add(inserted)) return std::nullopt;
  }
  return result;
}

bool CMDbusy(agt_context* context) {
  const cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD);
  return state != nullptr && state->deferred();
}

cmd_reply CMDfinished(agt_context* context) {
  cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD);
  return state != nullptr ? state->take_finished() : std::nullopt;
}

cmd_reply CMDpoll(agt_context* context) {
  cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD);
  if (state == nullptr) return CMDreply(MSG_570_CMD_NOT_INITIALIZED);
  cmd_reply lines;
  for (const agt_module* module : modules) {
    if (module->turn == nullptr) continue;
    cmd_interpreter::grant granted(state, cmd_interpreter::turn);
    if (cmd_reply more = module->turn(context, state)) join(lines, std::move(*more));
  }
  return lines;
}

int CMDwait_at_most(agt_context* context) {
  int shortest = -1;
  for (const agt_module* module : modules)
    if (module->wait_at_most != nullptr)
      if (int ms = module->wait_at_most(context); ms >= 0 && (shortest < 0 || ms < shortest)) shortest = ms;
  return shortest;
}

cmd_reply CMDhelo(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_210_HELLO); }

cmd_reply CMDquit(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_221_BYE); }

cmd_reply CMDxwhy(agt_context*, cmd_state* state, const char*) { return CMDfailure_reply(*state); }

cmd_reply CMDhelp(agt_context*, cmd_state* state, const char* argument) {
  const cmd_table& table = cmd_interpreter::table(state);
  if (*argument != '\0') {
    for (const cmd_entry* entry : table.listing())
      if (std::strncmp(argument, entry->name, entry->name_length) == 0)
        return entry->help != nullptr ? kvwstr(entry->help) : CMDreply(MSG_210_NO_HELP);
    return CMDreply(MSG_410_HELP_UNKNOWN);
  }
  return CMDhelp_listing(table);
}

kvwstr CMDhelp_listing(const cmd_table& table) {
  constexpr std::size_t per_line = 8;
  std::span<const cmd_entry* const> names = table.listing();
  kvwstr list = CMDreply(MSG_110_KNOWN_COMMANDS);
  for (std::size_t i = 0; i < names.size(); ++i) {
    // The last line of names tells the studio that the listing ends.
    if (i % per_line == 0) list.cat(names.size() - i <= per_line ? "\r\n210" : "\r\n110");
    list.cat("\t").cat(names[i]->name);
  }
  return list;
}
