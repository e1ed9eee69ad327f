#include "support/cstsyst.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

void CSTexit(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(status);
}

namespace {
void (*fatal_hook)() = nullptr;
}  // namespace

void CSTon_fatal(void (*hook)()) { fatal_hook = hook; }

namespace {
bool debug_on = false;
}  // namespace

void CSTset_debug(bool on) { debug_on = on; }

void CSTdebug_cause(const char* command, const char* call, const char* path, int error) {
  if (!debug_on) return;
  std::fprintf(stderr, "kvsagtd debug: %s: %s(%s): %s\n", command, call, path != nullptr ? path : "",
               error != 0 ? std::strerror(error) : "failed");
}

void CSTfatal(int status) {
  if (void (*hook)() = fatal_hook) {
    fatal_hook = nullptr;
    hook();
  }
  CSTexit(status);
}

int CSTfprintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vfprintf(stream, format, args);
  va_end(args);
  if (n < 0 || (stream == stdout && std::fflush(stdout) != 0)) {
    std::fprintf(stderr, "FATAL ERROR on fprintf,\n Please contact your administrative.\n");
    CSTfatal(7);
  }
  return n;
}

int CSTprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vprintf(format, args);
  va_end(args);
  if (n < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "FATAL ERROR on printf (%s),\n Please contact your administrative.\n", format);
    CSTfatal(7);
  }
  return n;
}

int CSTsnprintf(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    std::fprintf(stderr, "FATAL ERROR on sprintf (%s),\n Please contact your administrative.\n", format);
    CSTfatal(7);
  }
  return n;
}

static void cst_new_failed() {
  std::fprintf(stderr, "FATAL ERROR on malloc,\n Please contact your administrative.\n");
  CSTfatal(7);
}

void CSTinstall_new_handler() { std::set_new_handler(cst_new_failed); }

int CSTstrcmp(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  while (*x != 0 && *x == *y) {
    ++x;
    ++y;
  }
  if (*x == *y) return 0;
  return *x < *y ? -1 : 1;
}

