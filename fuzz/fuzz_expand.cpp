// Variable expansion of command lines (CMDexpand), against a reference model
// written from the rules alone:
//   $NAME    the longest run of ASCII letters, digits and underscores;
//   ${NAME}  everything up to the next "}" (to the end of the text when none);
//   a variable that is set and not empty is replaced by its value, which is
//   never scanned again; any other reference stays exactly as written.
// Invariants: the result equals the model's; text without a marker comes back
// unchanged; the result never depends on what follows a NUL byte; the bounded
// form (CMDexpand_within) gives the same result within a bound that holds it
// and none below.
#include <cstdlib>
#include <string>

#include "agent/cmdagt.h"
#include "fuzz/fuzz_support.h"

namespace {

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string model(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (text[i] != '$') {
      out += text[i++];
      continue;
    }
    std::size_t start = i;
    std::string name;
    bool braced = i + 1 < n && text[i + 1] == '{';
    if (braced) {
      std::size_t close = text.find('}', i + 2);
      if (close == std::string::npos) {
        name = text.substr(i + 2);
        i = n;
      } else {
        name = text.substr(i + 2, close - i - 2);
        i = close + 1;
      }
    } else {
      std::size_t j = i + 1;
      while (j < n && name_char(text[j])) ++j;
      name = text.substr(i + 1, j - i - 1);
      i = j;
    }
    const char* value = (braced || !name.empty()) ? std::getenv(name.c_str()) : nullptr;
    if (value != nullptr && *value != '\0') {
      out += value;
    } else {
      out += text.substr(start, i - start);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  ::setenv("KF", "alpha", 1);
  ::setenv("KF_1", "one", 1);
  ::setenv("KF_EMPTY", "", 1);
  ::setenv("A B", "spaced", 1);
  ::setenv("KF_MARK", "$KF ${KF} $", 1);  // inserted as it is, never expanded again
  ::setenv("KF_LONG", std::string(300, 'L').c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string text = input.substr(0, input.find('\0'));  // what a C string of the input holds
  kvwstr result = CMDexpand(nullptr, input.c_str(), '$');
  std::string expected = model(text);
  FUZZ_CHECK(result.view() == expected, "text %s\n  got      %s\n  expected %s", fuzz::show(text).c_str(),
             fuzz::show(result.view()).c_str(), fuzz::show(expected).c_str());
  // The bounded form gives the same text within a bound that holds it, none below.
  std::optional<kvwstr> within = CMDexpand_within(nullptr, input.c_str(), '$', expected.size());
  FUZZ_CHECK(within && within->view() == expected, "bounded expansion of %s differs", fuzz::show(text).c_str());
  if (!expected.empty())
    FUZZ_CHECK(!CMDexpand_within(nullptr, input.c_str(), '$', expected.size() - 1), "bound passed for %s",
               fuzz::show(text).c_str());
  if (text.find('$') == std::string::npos)
    FUZZ_CHECK(result.view() == text, "text without a marker changed: %s", fuzz::show(text).c_str());
  return 0;
}
