#include "support/protocol/ascii_codec.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace protocol {

// Lines of text are short, so the run is found and copied eight bytes at a
// time in one loop rather than with a memchr and a memcpy call per line.
std::size_t copy_run(const char* from, std::size_t n, char stop, char* to) {
  std::size_t at = 0;
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    const std::uint64_t pattern = ones * static_cast<unsigned char>(stop);
    for (; at + 8 <= n; at += 8) {
      std::uint64_t word;
      std::memcpy(&word, from + at, 8);
      std::memcpy(to + at, &word, 8);
      // A zero byte of word ^ pattern is a `stop`; the lowest flag marks the
      // first one exactly (flags above it may be false).
      std::uint64_t x = word ^ pattern;
      std::uint64_t found = (x - ones) & ~x & (ones * 0x80);
      if (found != 0) return at + static_cast<std::size_t>(std::countr_zero(found)) / 8;
    }
  }
  for (; at < n; ++at) {
    if (from[at] == stop) return at;
    to[at] = from[at];
  }
  return n;
}

// The conversions copy the runs between line ends (copy_run), so a block
// costs a few steps per line and per eight bytes, not a test per byte.
std::size_t ascii_encode(const char* in, std::size_t length, char* out) {
  const char* end = in + length;
  char* to = out;
  while (in < end) {
    std::size_t run = copy_run(in, static_cast<std::size_t>(end - in), '\n', to);
    to += run;
    in += run;
    if (in == end) break;
    *to++ = '\r';
    *to++ = '\n';
    ++in;
  }
  return static_cast<std::size_t>(to - out);
}

std::size_t ascii_decode(bool& cr_held, const char* in, std::size_t length, char* out) {
  const char* end = in + length;
  char* to = out;
  if (cr_held) {
    if (length == 0) return 0;
    cr_held = false;
    if (*in == '\n') {
      *to++ = '\n';
      ++in;
    } else {
      *to++ = '\r';
    }
  }
  while (in < end) {
    std::size_t run = copy_run(in, static_cast<std::size_t>(end - in), '\r', to);
    to += run;
    in += run;
    if (in == end) break;
    const char* cr = in;
    if (cr + 1 == end) {  // decided by the next piece
      cr_held = true;
      break;
    }
    // CR LF becomes LF; a CR before anything else stays.
    *to++ = cr[1] == '\n' ? '\n' : '\r';
    in = cr[1] == '\n' ? cr + 2 : cr + 1;
  }
  return static_cast<std::size_t>(to - out);
}

std::size_t ascii_decode_end(bool& cr_held, char* out) {
  if (!cr_held) return 0;
  cr_held = false;
  out[0] = '\r';
  return 1;
}

std::string ascii_to_wire(std::string_view local) {
  // Exactly the room it needs: a large text is not held twice over.
  const auto line_ends = static_cast<std::size_t>(std::count(local.begin(), local.end(), '\n'));
  std::string wire(local.size() + line_ends, '\0');
  ascii_encode(local.data(), local.size(), wire.data());
  return wire;
}

std::string ascii_from_wire::feed(std::string_view wire) {
  std::string local(wire.size() + 1, '\0');
  local.resize(ascii_decode(cr_held_, wire.data(), wire.size(), local.data()));
  return local;
}

std::string ascii_from_wire::finish() {
  char held;
  return std::string(&held, ascii_decode_end(cr_held_, &held));
}

}  // namespace protocol
