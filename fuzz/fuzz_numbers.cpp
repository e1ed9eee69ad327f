// Number arguments of the studio's commands: the tester id of DFOK and DFKO
// (DYNFparse_id), the id and text of ISND, TOUT and AVAI (DYNFsplit_lower).
// Invariants, against models written from the rules:
// - DFOK/DFKO: optional leading white space, an optional sign, decimal
//   digits, anything after them ignored; no digits gives 0; a value outside
//   the int range gives -1 (no tester), never a wrapped number;
// - ISND/TOUT/AVAI: the leading run of digits is the id (0 when none, -1 when
//   beyond the int range), exactly one character after it is skipped, and the
//   text is the rest of the argument, a suffix of it.
#include <climits>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "modules/dynfagt.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  const char* text = input.c_str();

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
