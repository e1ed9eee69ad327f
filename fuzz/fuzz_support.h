// Shared by the fuzz targets: invariant checks that abort with a readable
// message (libFuzzer then keeps the input that broke them), the way inputs
// are cut into pieces, and quiet standard output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition, ...)                                     \
  do {                                                                 \
    if (!(condition)) {                                                \
      std::fprintf(stderr, "invariant broken: %s\n  ", #condition);    \
      std::fprintf(stderr, __VA_ARGS__);                               \
      std::fputc('\n', stderr);                                        \
      std::abort();                                                    \
    }                                                                  \
  } while (0)

namespace fuzz {

// Printable form of bytes for failure messages.
inline std::string show(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// The input cut at every 0xff byte (the cut bytes are dropped). Seeds write
// "\xff" where one piece ends and the next begins, as separate receives.
inline std::vector<std::string> pieces(const uint8_t* data, std::size_t size) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0xff) {
      out.emplace_back();
    } else {
      out.back() += static_cast<char>(data[i]);
    }
  }
  return out;
}

// The agent writes its log lines on standard output; a fuzzer run would
// drown in them. libFuzzer itself reports on standard error.
inline void quiet_stdout() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

// A deterministic pseudo-random sequence for cut positions.
struct cutter {
  uint32_t state;
  explicit cutter(uint32_t seed) : state(seed | 1u) {}
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  // A piece length from 1 to max.
  std::size_t length(std::size_t max) { return 1 + next() % max; }
};

}  // namespace fuzz
