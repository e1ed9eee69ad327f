#include "agent/cmdagt.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "modules/dynfagt.h"
#include "modules/envagt.h"
#include "modules/fs_agt.h"
#include "modules/proagt.h"
#include "modules/rdvagt.h"
#include "modules/scuagt.h"
#include "modules/traagt.h"
#include "support/cstsyst.h"

namespace {

// The interpreter's own commands.
const cmd_entry rows[] = {
    {"HELO", 4, CMDhelo, nullptr, 8, CMD_BEFORE_ADMISSION, CMD_ANSWERED},
    {"HELP", 4, CMDhelp, "210 help : HELP [command]", 9, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"QUIT", 4, CMDquit, nullptr, 20, CMD_ADMITTED_ONLY, CMD_ANSWERED},
    {"XWHY", 4, CMDxwhy, nullptr, 33, CMD_ADMITTED_ONLY, CMD_ANSWERED, CMD_HIDDEN},
};

const agt_module cmd_module = {"interpreter", CTX_SLOT_CMD, false, nullptr, nullptr, nullptr, rows};

const agt_module* const modules[] = {&cmd_module, &env_module, &fs_module,   &pro_module,
                                     &tra_module, &scu_module, &rdv_module, &dynf_module};

}  // namespace

std::span<const agt_module* const> CMDmodules() { return modules; }

// Lookups take the first matching row.
cmd_entry cmd_table[CMD_TABLE_SIZE] = {};

namespace {

// Every module's rows, placed at their position in HELP's listing before
// main: the rows are constants of their modules' files.
[[maybe_unused]] const bool table_ready = [] {
  for (const agt_module* module : modules)
    for (const cmd_entry& entry : module->commands)
      if (entry.listing >= 0 && entry.listing < CMD_TABLE_SIZE) cmd_table[entry.listing] = entry;
  return true;
}();

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

}  // namespace

int CMDinit(agt_context* context, const char* peer_name) {
  if (context == nullptr) return -1;
  auto state = std::make_unique<cmd_state>();
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
  for (cmd_entry& entry : cmd_table) entry.name_length = static_cast<int>(std::strlen(entry.name));
  state->peer_name = peer_name;
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
    std::size_t limit = state->authorized != 0 ? CMD_EXPANDED_MAX : CMD_EXPANDED_MAX_UNADMITTED;
    expanded = CMDexpand_within(context, line, '$', limit);
    if (!expanded) {
      if (state->authorized == 0) {
        CSTprintf("kvsagtd : command line longer than %d bytes, connection closed\n", static_cast<int>(limit));
        *stop = 1;
        return std::nullopt;
      }
      *stop = 0;
      return CMDreplyf(MSG_500_COMMAND_UNKNOWN, "%s", line);
    }
    x = expanded->c_str();
  }

  const cmd_entry* entry = CMDfind(x);
  // Before identification a line that does not pass the gate ends the
  // connection without a word.
  if (!CMDgate(state->authorized, x, entry)) {
    *stop = 1;
    return std::nullopt;
  }
  if (entry != nullptr) {
    const char* argument = x + entry->name_length;
    if (*argument != '\0') {
      ++argument;
      while (*argument == ' ' || *argument == '\t') ++argument;
    }
    cmd_reply reply = entry->handler(context, state, argument);
    // A deferred command that ended before its handler returned answers now.
    if (!reply && !state->pending.running && state->pending.reply) reply = CMDfinished(context);
    *stop = (entry->handler == CMDquit || state->authorized == 0) ? 1 : 0;
    if (entry->answer == CMD_SILENT) return std::nullopt;
    return reply;
  }

  // An unidentified peer gets its line back as it sent it, so that expansion
  // cannot be used to read the agent's environment before admission.
  *stop = 0;
  return CMDreplyf(MSG_500_COMMAND_UNKNOWN, "%s", state->authorized != 0 ? x : line);
}

const cmd_entry* CMDfind(const char* line) {
  for (const cmd_entry& entry : cmd_table) {
    if (std::strncmp(line, entry.name, static_cast<std::size_t>(entry.name_length)) != 0) continue;
    const char after = line[entry.name_length];
    if (after == '\0' || after == ' ' || after == '\t') return &entry;
  }
  return nullptr;
}

bool CMDgate(int authorized, const char* line, const cmd_entry* entry) {
  if (authorized != 0) return true;
  // Before identification only "Qim " (with its blank) and HELO pass the
  // prefix test, and of the rows only those allowed before admission run. A
  // line that passes the test but names no row is answered as unknown.
  if (!starts_with(line, "Qim ") && !starts_with(line, "HELO")) return false;
  return entry == nullptr || entry->gate == CMD_BEFORE_ADMISSION;
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
  return state != nullptr && state->pending.running;
}

cmd_reply CMDfinished(agt_context* context) {
  cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD);
  if (state == nullptr || state->pending.running || !state->pending.reply) return std::nullopt;
  cmd_reply reply = std::move(state->pending.reply);
  state->pending.reply.reset();
  return reply;
}

cmd_reply CMDpoll(agt_context* context) {
  cmd_state* state = CTXstate<cmd_state>(context, CTX_SLOT_CMD);
  if (state == nullptr) return CMDreply(MSG_570_CMD_NOT_INITIALIZED);
  PROprune_groups(context);
  if (state->launched == 0) return std::nullopt;
  state->ended_pairs.clear();
  int n = PROpoll_ended(context, state->ended_pairs);
  if (n < 1) return std::nullopt;
  kvwstr text = CMDreplyf(MSG_661_PROCESS_STOPPED, "%%%d => ", n);
  for (int i = n - 1; i >= 0; --i) {
    const auto& [number, code] = state->ended_pairs[static_cast<std::size_t>(i)];
    text.catf(i == n - 1 ? "%%%d (%%%d)" : ", %%%d (%%%d)", number, code);
  }
  state->launched -= n;
  return text;
}

cmd_reply CMDhelo(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_210_HELLO); }

cmd_reply CMDquit(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_221_BYE); }

cmd_reply CMDxwhy(agt_context*, cmd_state* state, const char*) { return CMDfailure_reply(*state); }

cmd_reply CMDhelp(agt_context*, cmd_state*, const char* argument) {
  if (*argument != '\0') {
    for (const cmd_entry& entry : cmd_table) {
      if (entry.listed == CMD_HIDDEN) continue;
      if (std::strncmp(argument, entry.name, std::strlen(entry.name)) == 0)
        return entry.help != nullptr ? kvwstr(entry.help) : CMDreply(MSG_210_NO_HELP);
    }
    return CMDreply(MSG_410_HELP_UNKNOWN);
  }
  kvwstr list = CMDreply(MSG_110_KNOWN_COMMANDS);
  list.cat("\r\n110");
  for (int i = 0; i < CMD_LISTED_SIZE; ++i) {
    list.cat("\t").cat(cmd_table[i].name);
    if ((i + 1) % 8 == 0 && i + 1 < CMD_LISTED_SIZE) list.cat(CMD_LISTED_SIZE - (i + 1) < 8 ? "\r\n210" : "\r\n110");
  }
  return list;
}
