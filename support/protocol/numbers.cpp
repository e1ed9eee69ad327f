#include "support/protocol/numbers.h"

#include <algorithm>
#include <limits>

namespace protocol {

namespace {

unsigned long long magnitude_of(long long v) {
  return v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
}

}  // namespace

std::optional<long long> take_integer(std::string_view& text, long long low, long long high, bool signed_) {
  std::size_t at = 0;
  const bool negative = signed_ && !text.empty() && text[0] == '-';
  if (negative) ++at;
  const std::size_t first = at;
  // Digits past the widest bound only make the number too large: the
  // magnitude stops growing there, so no run of digits overflows it.
  const unsigned long long limit = std::max(magnitude_of(low), magnitude_of(high));
  unsigned long long magnitude = 0;
  bool beyond = false;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (beyond) continue;
    if (magnitude > limit / 10) {
      beyond = true;
      continue;
    }
    magnitude = magnitude * 10 + static_cast<unsigned>(text[at] - '0');
    beyond = magnitude > limit;
  }
  if (at == first || beyond) return std::nullopt;
  long long value = 0;
  if (negative) {
    value = magnitude == magnitude_of(std::numeric_limits<long long>::min())
                ? std::numeric_limits<long long>::min()
                : -static_cast<long long>(magnitude);
  } else {
    if (magnitude > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) return std::nullopt;
    value = static_cast<long long>(magnitude);
  }
  if (value < low || value > high) return std::nullopt;
  text.remove_prefix(at);
  return value;
}

std::optional<long long> parse_integer(std::string_view text, long long low, long long high) {
  std::optional<long long> value = take_integer(text, low, high, true);
  if (!value || !text.empty()) return std::nullopt;
  return value;
}

std::optional<long long> parse_digits(std::string_view text, long long low, long long high) {
  std::optional<long long> value = take_integer(text, low, high, false);
  if (!value || !text.empty()) return std::nullopt;
  return value;
}

}  // namespace protocol
