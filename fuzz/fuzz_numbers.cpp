// Number arguments of the studio's commands: the process number of STAT and
// STOP, the tester id of DFOK and DFKO (DYNFparse_id), the id and text of
// ISND, TOUT and AVAI (DYNFsplit_lower). One program ("true") is launched and
// reaped at start, so process 1 exists and has ended; STOP never kills.
// Invariants, against models written from the rules:
// - STAT/STOP: only decimal digits make a number (nothing else, not even a
//   blank or a sign); its value decides, leading zeros or not; a number too
//   large for any process is "no such process", never a wrapped one; STAT
//   echoes the argument as it was written;
// - DFOK/DFKO: optional leading white space, an optional sign, decimal
//   digits, anything after them ignored; no digits gives 0; a value outside
//   the int range gives -1 (no tester), never a wrapped number;
// - ISND/TOUT/AVAI: the leading run of digits is the id (0 when none, -1 when
//   beyond the int range), exactly one character after it is skipped, and the
//   text is the rest of the argument, a suffix of it.
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "agent/cmdagt.h"
#include "fuzz/fuzz_support.h"
#include "modules/dynfagt_internal.h"
#include "modules/proagt_internal.h"
#include "modules/traagt.h"
#include "net/tcpip.h"

namespace {

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

long long parse_id_model(const char* text) {
  const char* at = text;
  while (space(*at)) ++at;
  bool negative = false;
  if (*at == '+' || *at == '-') {
    negative = *at == '-';
    ++at;
  }
  if (*at < '0' || *at > '9') return 0;
  long long value = 0;
  bool huge = false;
  for (; *at >= '0' && *at <= '9'; ++at) {
    value = value * 10 + (*at - '0');
    if (value > (1LL << 40)) huge = true, value = 1LL << 40;
  }
  if (negative) value = -value;
  if (huge || value < INT_MIN || value > INT_MAX) return -1;
  return value;
}

agt_context* context = nullptr;  // lives as long as the fuzzer
cmd_state commands = CMDnew_state("localhost", nullptr, 1);

std::string call(cmd_handler handler, const std::string& argument) {
  cmd_reply reply = handler(context, &commands, argument.c_str());
  return reply ? std::string(reply->view()) : "<none>";
}

// The process number an argument names: -1 not a number, 0 none possible.
long long process_model(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
  return digits.size() > 9 ? 0 : std::stoll(digits);
}

void check_process_commands(const std::string& text) {
  long long number = process_model(text);
  std::string stat = call(PROcmd_stat, text);
  std::string stop = call(PROcmd_stop, text);
  std::string want_stat = number < 0    ? "463 STAT need process number as parameter"
                          : number == 1 ? "263 process has ended : %" + text + " (%0)"
                                        : "563 STAT failed";
  std::string want_stop = number < 0    ? "464 STOP need process number as parameter"
                          : number == 1 ? "265 child process killed : %1 (%0)"
                                        : "564 STOP process failed";
  FUZZ_CHECK(stat == want_stat, "STAT %s gave %s", fuzz::show(text).c_str(), fuzz::show(stat).c_str());
  FUZZ_CHECK(stop == want_stop, "STOP %s gave %s", fuzz::show(text).c_str(), fuzz::show(stop).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  static agt_context_ptr owner = CTXnew(10);
  context = owner.get();
  if (TCPIPinit(context, 0) != 0 || PROinit(context) != 0 || TRAinit(context) != 0) std::abort();
  PROtrace_off(context);
  if (PROexec(context, "true") != 1) std::abort();
  int code = -1;
  for (int i = 0; i < 1000 && PROstat(context, 1, &code) != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (code != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  const char* text = input.c_str();
  check_process_commands(text);

  long long want = parse_id_model(text);
  int id = DYNFparse_id(text);
  FUZZ_CHECK(id == want, "DFOK %s gave %d, expected %lld", fuzz::show(text).c_str(), id, want);

  int tester = -2;
  const char* rest = DYNFsplit_lower(text, &tester);
  std::size_t length = std::strlen(text);
  std::size_t digits = 0;
  long long value = 0;
  while (digits < length && text[digits] >= '0' && text[digits] <= '9') {
    if (value <= INT_MAX) value = value * 10 + (text[digits] - '0');
    ++digits;
  }
  long long want_tester = value > INT_MAX ? -1 : value;
  std::size_t skip = digits < length ? digits + 1 : digits;
  FUZZ_CHECK(tester == want_tester, "ISND %s gave id %d, expected %lld", fuzz::show(text).c_str(), tester,
             want_tester);
  FUZZ_CHECK(rest == text + skip, "ISND %s gave text at %td, expected %zu", fuzz::show(text).c_str(), rest - text,
             skip);
  return 0;
}
