// Checked wrappers around allocation and formatted output.
// A failure never returns to the caller: the process prints a message that
// begins with "FATAL ERROR on " on standard error and ends with status 7.
#pragma once

#include <cstddef>
#include <cstdio>

[[noreturn]] void CSTexit(int status);
// The end of the process on a fatal failure (the checks below, the string
// assertions): the hook set by CSTon_fatal runs first, once, then CSTexit.
[[noreturn]] void CSTfatal(int status);
// What must still happen when the process ends on a fatal failure (a
// connection process kills the programs it launched and answers its testers);
// none to remove it. A fatal failure inside the hook ends the process at once.
void CSTon_fatal(void (*hook)());

// The debug setting (KVS_DEBUG=1 in the daemon's environment, read once at
// the start of a connection): with it on, CSTdebug_cause tells on standard
// error why a command got a failure reply; with it off, nothing is written.
void CSTset_debug(bool on);
// "kvsagtd debug: COMMAND: CALL(PATH): ERROR TEXT" when the setting is on;
// `path` may be none, `error` is an errno value (0: no system error).
void CSTdebug_cause(const char* command, const char* call, const char* path, int error);

// Formatted output to a stream; standard output is flushed after each call so
// that a supervisor sees log lines at once and in order across processes.
int CSTfprintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
int CSTprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formatted output into a caller's buffer of `size` bytes; output that does
// not fit is a failure, not a silent cut.
int CSTsnprintf(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Routes operator new's allocation failure to the malloc fatal message.
void CSTinstall_new_handler();

// 0 when equal, -1 when the first differing byte of a is smaller (unsigned), 1 otherwise.
int CSTstrcmp(const char* a, const char* b);
