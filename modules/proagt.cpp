#include "modules/proagt_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "modules/envagt.h"
#include "modules/traagt.h"
#include "net/tcpip.h"
#include "platform/process.h"
#include "support/cstsyst.h"
#include "support/protocol/numbers.h"

namespace {

constexpr int PRO_INITIAL_ROWS = 1024;
// How long the end of the connection waits for each killed program to go.
constexpr int PRO_REAP_MS = 5000;

pro_entry* row(pro_state* state, int number) {
  if (number < 1 || number > static_cast<int>(state->entries.size())) return nullptr;
  return &state->entries[static_cast<std::size_t>(number - 1)];
}

// Keeps a reaped row's status until its end is observed. Its group may still
// hold processes it started.
void keep_status(pro_state& state, pro_entry& entry, int code, int signal) {
  entry.reaped = 1;
  entry.reaped_code = code;
  entry.reaped_signal = signal;
  state.unreaped.erase(entry.process);
  state.lingering.push_back(entry.process);
}

// Reaps every child that has ended: programs, whose status waits in their
// row, and the processes adopted from ended programs, which nobody reports.
void reap_children(pro_state& state) {
  int pid = 0;
  int code = 0;
  int signal = 0;
  while (PLATreap_any(&pid, &code, &signal) == 1) {
    auto found = state.unreaped.find(pid);
    if (found != state.unreaped.end()) keep_status(state, state.entries[found->second], code, signal);
  }
}

// Records the end of a running row when its program has ended. A program
// killed by STOP reports status 0, as a terminated program does elsewhere.
// A program whose output a relay carries has ended for the studio once
// what it wrote has been handed to the trace connection, as a program
// writing to a plain one has, so that its output comes before its end is
// reported; one killed by STOP is not waited for.
bool observe_end(pro_state& state, agt_context* context, pro_entry& entry) {
  if (entry.ended != 0) return false;
  if (entry.reaped == 0) {
    int code = 0;
    int signal = 0;
    if (PLATpoll_exit(entry.process, &code, &signal) != 1) return false;  // running, or no status to be had
    keep_status(state, entry, code, signal);
  }
  if (entry.trace != 0 && entry.stopped == 0) {
    if (entry.trace_mark < 0) entry.trace_mark = TRAoutput_mark(context, entry.trace);
    if (!TRAoutput_passed(context, entry.trace, entry.trace_mark)) return false;
  }
  int code = entry.reaped_code;
  if (entry.stopped != 0 && PLATended_by_kill(entry.reaped_signal)) code = 0;
  entry.ended = 1;
  entry.exit_code = code;
  return true;
}

// Lets go of the trace connections that no program still running needs.
void release_traces(pro_state& state, agt_context* context) {
  // A program whose end has not been observed yet keeps its connection, so
  // that the end is reported before the studio sees the connection close.
  std::vector<int> in_use;
  for (const pro_entry& entry : state.entries)
    if (entry.ended == 0 && entry.trace != 0) in_use.push_back(entry.trace);
  state.trace_held = TRArelease(context, in_use);
}

// The process number of a STAT or STOP argument: digits only, at least one.
// -1 when the argument is not such a number; 0 (no such row) when it is too
// large for any row.
int parse_number(const char* argument) {
  std::string_view text(argument);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return -1;
  return static_cast<int>(protocol::parse_digits(text, 0, 999999999).value_or(0));
}

bool is_number(const char* argument) { return parse_number(argument) >= 0; }

}  // namespace

int PROinit(agt_context* context) {
  if (context == nullptr || CTXget(context, CTX_SLOT_PROC) != nullptr) return -1;
  auto state = std::make_unique<pro_state>();
  state->entries.reserve(PRO_INITIAL_ROWS);
  state->trace_on = 1;
  // What programs leave behind when they end becomes this process's own: it
  // may signal it at the end of the connection without ever reaching a
  // process that merely got a freed id.
  if (PLATadopt_orphans() != 0) CSTdebug_cause("PROinit", "PLATadopt_orphans", nullptr, errno);
  // Without the wake-up, ends are still found by the poll of every turn.
  if (state->wake.open() == 0) TCPIPset_wake(context, state->wake.fd());
  return CTXinstall(context, std::move(state), CTX_SLOT_PROC);
}

int PROterm(agt_context* context) {
  if (CTXstate<pro_state>(context, CTX_SLOT_PROC) == nullptr) return -1;
  std::unique_ptr<pro_state> state = CTXtake<pro_state>(context, CTX_SLOT_PROC);
  // Programs still running die with the programs they started, and so do the
  // processes that ended programs left in their groups (background children
  // that would otherwise outlive the connection and hold its trace
  // connection open). Only groups this process holds a member of are
  // signalled: an unreaped program, or a process adopted from one; nothing is
  // reaped before every signal has gone, so that no id is freed meanwhile.
  for (const auto& [pid, index] : state->unreaped) PLATkill_group(pid);
  std::sort(state->lingering.begin(), state->lingering.end());
  state->lingering.erase(std::unique(state->lingering.begin(), state->lingering.end()), state->lingering.end());
  for (int group : state->lingering)
    if (state->unreaped.count(group) == 0 && PLATholds_group(group)) PLATkill_pgid(group);
  state->lingering.clear();
  // Each running program is then reaped so that none stays behind as a
  // zombie, and so is whatever adopted process has ended by then.
  for (const auto& [pid, index] : state->unreaped) PLATreap(pid, PRO_REAP_MS);
  state->unreaped.clear();
  reap_children(*state);
  if (state->wake.fd() >= 0) TCPIPset_wake(context, -1);
  state->wake.close();
  return 0;
}

int PROexec(agt_context* context, const char* command_line) {
  pro_state* state = CTXstate<pro_state>(context, CTX_SLOT_PROC);
  if (state == nullptr || command_line == nullptr) return -1;
  int trace = 0;
  int pid = PROlaunch(state, context, command_line, &trace);
  if (pid < 0) return -1;
  pro_entry entry;
  entry.process = pid;
  entry.trace = trace;
  state->entries.push_back(entry);
  state->unreaped[pid] = state->entries.size() - 1;
  return static_cast<int>(state->entries.size());
}

int PROlaunch(pro_state* state, agt_context* context, const char* command_line, int* trace) {
  if (state == nullptr || command_line == nullptr) return -1;
  int std_fd = TRA_NULL_HANDLE;
  if (TRAset_std_handles(context, state->trace_on, &std_fd, trace) != 0) {
    errno = ENOTCONN;  // trace is on and the latest TRWA failed: no connection to give the program
    return -1;
  }
  std::vector<std::string> env = ENVblock(context);
  return PLATlaunch_line(command_line, std_fd >= 0 ? std_fd : -1, &env);
}

int PROstat(agt_context* context, int number, int* exit_code) {
  pro_state* state = CTXstate<pro_state>(context, CTX_SLOT_PROC);
  if (state == nullptr || exit_code == nullptr) return -1;
  pro_entry* entry = row(state, number);
  if (entry == nullptr) return -1;
  if (entry->ended == 0) {
    PROrefresh(state, context, number - 1);
    if (entry->ended != 0) release_traces(*state, context);
  }
  *exit_code = entry->exit_code;
  return entry->ended;
}

void PROrefresh(pro_state* state, agt_context* context, int index) {
  if (state == nullptr) return;
  pro_entry* entry = row(state, index + 1);
  if (entry != nullptr) observe_end(*state, context, *entry);
}

int PROstop(agt_context* context, int number, int* exit_code) {
  pro_state* state = CTXstate<pro_state>(context, CTX_SLOT_PROC);
  if (state == nullptr || exit_code == nullptr) return -1;
  pro_entry* entry = row(state, number);
  if (entry == nullptr) return -1;
  *exit_code = entry->exit_code;
  if (entry->ended != 0) return 0;
  // The program has ended and been reaped, its end not yet reported: what
  // it left in its group goes, as long as this process holds a member of it.
  if (entry->reaped != 0) {
    if (PLATholds_group(entry->process)) PLATkill_pgid(entry->process);
    return 0;
  }
  // The row changes only when the end is observed, as for any other end.
  if (PLATkill_group(entry->process) != 0) return -1;
  entry->stopped = 1;
  return 0;
}

int PROpoll_ended(agt_context* context, std::vector<std::pair<int, int>>& pairs) {
  pro_state* state = CTXstate<pro_state>(context, CTX_SLOT_PROC);
  if (state == nullptr) return -1;
  reap_children(*state);
  int written = 0;
  for (std::size_t i = 0; i < state->entries.size(); ++i) {
    pro_entry& entry = state->entries[i];
    if (!observe_end(*state, context, entry)) continue;
    pairs.emplace_back(static_cast<int>(i + 1), entry.exit_code);
    ++written;
  }
  if (written > 0) release_traces(*state, context);
  return written;
}

bool PROany_running(agt_context* context) {
  const pro_state* state = CTXstate<pro_state>(context, CTX_SLOT_PROC);
  if (state == nullptr) return false;
  return state->trace_held > 0 || std::any_of(state->entries.begin(), state->entries.end(),
                                              [](const pro_entry& entry) { return entry.ended == 0; });
}

void PROprune_groups(agt_context* context) {
  pro_state* state = CTXstate<pro_state>(context, CTX_SLOT_PROC);
  if (state == nullptr) return;
  reap_children(*state);
  std::erase_if(state->lingering, [](int group) { return !PLATholds_group(group); });
  release_traces(*state, context);
}

void PROtrace_on(agt_context* context) {
  if (pro_state* state = CTXstate<pro_state>(context, CTX_SLOT_PROC)) state->trace_on = 1;
}

void PROtrace_off(agt_context* context) {
  if (pro_state* state = CTXstate<pro_state>(context, CTX_SLOT_PROC)) state->trace_on = 0;
}

cmd_reply PROcmd_exec(agt_context* context, cmd_state* state, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_461_EXEC_NEEDS_COMMAND);
  errno = 0;
  int number = PROexec(context, argument);
  if (number < 0) {
    CMDfailed(state, "EXEC", "PROexec", argument, errno);
    return CMDreply(MSG_561_EXEC_FAILED);
  }
  state->count_launch();
  return CMDreplyf(MSG_261_PROCESS_LAUNCHED, "%%%d", number);
}

cmd_reply PROcmd_stat(agt_context* context, cmd_state* state, const char* argument) {
  if (!is_number(argument)) return CMDreply(MSG_463_STAT_NEEDS_NUMBER);
  int exit_code = -1;
  int ended = PROstat(context, parse_number(argument), &exit_code);
  if (ended < 0) {
    CMDfailed(state, "STAT", "PROstat", argument, 0);
    return CMDreply(MSG_563_STAT_FAILED);
  }
  if (ended == 0) return CMDreplyf(MSG_264_PROCESS_RUNNING, "%s", argument);
  // The argument is echoed whole, however many leading zeros it carries.
  return CMDreplyf(MSG_263_PROCESS_ENDED, "%%%s (%%%d)", argument, exit_code);
}

cmd_reply PROcmd_stop(agt_context* context, cmd_state* state, const char* argument) {
  if (!is_number(argument)) return CMDreply(MSG_464_STOP_NEEDS_NUMBER);
  int number = parse_number(argument);
  int exit_code = -1;
  errno = 0;  // no such program: no system call failed
  if (PROstop(context, number, &exit_code) != 0) {
    CMDfailed(state, "STOP", "PROstop", argument, errno);
    return CMDreply(MSG_564_STOP_FAILED);
  }
  return CMDreplyf(MSG_265_PROCESS_KILLED, "%%%d (%%%d)", number, exit_code);
}

cmd_reply PROcmd_tron(agt_context* context, cmd_state*, const char*) {
  PROtrace_on(context);
  return CMDreply(MSG_224_TRACE_ON);
}

cmd_reply PROcmd_trof(agt_context* context, cmd_state*, const char*) {
  PROtrace_off(context);
  return CMDreply(MSG_223_TRACE_OFF);
}
