// Decimal numbers as the protocol, the settings and the tools' arguments
// write them: ASCII digits with an optional minus, nothing else (no blank,
// no plus, no base prefix). Pure logic; no locale, no errno.
#pragma once

#include <optional>
#include <string_view>

namespace protocol {

// `text` as a whole number within [low, high]; none when it is anything
// else (empty, another character, out of range however many digits it has).
std::optional<long long> parse_integer(std::string_view text, long long low, long long high);

// The same for a number of digits alone (no minus), within [low, high].
std::optional<long long> parse_digits(std::string_view text, long long low, long long high);

// Reads the number at the start of `text` (an optional minus when `signed_`,
// then at least one digit) and removes it from `text`; what follows is left.
// None, with `text` unchanged, when no digit comes first or the value is not
// within [low, high].
std::optional<long long> take_integer(std::string_view& text, long long low, long long high, bool signed_ = true);

}  // namespace protocol
