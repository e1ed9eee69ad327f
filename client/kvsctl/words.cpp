// kvsctl: the agent address, the quoting of EXEC command lines, the reading
// of process reports, the splitting of script lines and host lists, JSON
// strings. No input or output here.
#include <cstdio>
#include <limits>

#include "client/kvsctl.h"
#include "support/protocol/numbers.h"
#include "support/protocol/replies.h"
#include "support/protocol/words.h"

namespace kvsctl {

bool parse_target(std::string_view text, std::string& host, int& port, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  std::string_view name = text;
  std::string_view port_text;
  if (!text.empty() && text[0] == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return fail("bad agent address '" + std::string(text) + "': no ']'");
    name = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return fail("bad agent address '" + std::string(text) + "'");
      port_text = rest.substr(1);
      if (port_text.empty()) return fail("bad agent address '" + std::string(text) + "': no port after ':'");
    }
  } else {
    std::size_t colon = text.find(':');
    // Two colons or more: an IPv6 address without a port.
    if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
      name = text.substr(0, colon);
      port_text = text.substr(colon + 1);
      if (port_text.empty()) return fail("bad agent address '" + std::string(text) + "': no port after ':'");
    }
  }
  if (name.empty()) return fail("bad agent address '" + std::string(text) + "': no host");
  int value = kDefaultPort;
  if (!port_text.empty()) {
    std::optional<long long> number = protocol::parse_digits(port_text, 1, 65535);
    if (!number) return fail("bad port '" + std::string(port_text) + "'");
    value = static_cast<int>(*number);
  }
  host.assign(name);
  port = value;
  return true;
}

std::string format_target(const std::string& host, int port) {
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

std::string quote_word(std::string_view word) { return protocol::quote_word_posix(word); }

std::string quote_command(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += quote_word(word);
  }
  return line;
}

std::optional<int> stopped_exit_code(std::string_view line, int number) {
  if (!protocol::is_reply(line, MSG_661_PROCESS_STOPPED)) return std::nullopt;
  std::string_view rest = line.substr(protocol::reply_text(MSG_661_PROCESS_STOPPED).size());
  std::size_t arrow = rest.find(" => ");
  if (arrow == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(arrow + 4);
  // Pairs "%P (%E)" separated by ", ". A code beyond what an int holds
  // still reads as a number (and gives 255 below).
  constexpr long long kLongest = std::numeric_limits<long long>::max();
  auto read_int = [](std::string_view& s, long long& out) {
    std::optional<long long> value = protocol::take_integer(s, -kLongest, kLongest);
    if (!value) return false;
    out = *value;
    return true;
  };
  while (!rest.empty()) {
    long long process = 0;
    long long code = 0;
    if (rest[0] != '%') return std::nullopt;
    rest.remove_prefix(1);
    if (!read_int(rest, process)) return std::nullopt;
    if (rest.substr(0, 3) != " (%") return std::nullopt;
    rest.remove_prefix(3);
    if (!read_int(rest, code)) return std::nullopt;
    if (rest.empty() || rest[0] != ')') return std::nullopt;
    rest.remove_prefix(1);
    if (process == number) {
      if (code < -2147483648LL || code > 2147483647LL) return 255;
      return static_cast<int>(code);
    }
    if (rest.empty()) break;
    if (rest.substr(0, 2) != ", ") return std::nullopt;
    rest.remove_prefix(2);
  }
  return std::nullopt;
}

int exit_status_for(int code) { return code >= 0 && code <= 255 ? code : 255; }

bool split_words(std::string_view line, std::vector<std::string>& words) {
  words.clear();
  return protocol::split_words(line, words, protocol::word_rules::script_line);
}

std::vector<std::string> split_hosts(std::string_view text) {
  std::vector<std::string> hosts;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find_first_of(",\n", at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = text.substr(at, end - at);
    std::size_t hash = entry.find('#');
    if (hash != std::string_view::npos) entry = entry.substr(0, hash);
    while (!entry.empty() && std::string_view(" \t\r").find(entry.front()) != std::string_view::npos) entry.remove_prefix(1);
    while (!entry.empty() && std::string_view(" \t\r").find(entry.back()) != std::string_view::npos) entry.remove_suffix(1);
    if (!entry.empty()) hosts.emplace_back(entry);
    at = end + 1;
  }
  return hosts;
}

bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    unsigned long code = length == 1 ? c : c & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = (code << 6) | (next & 0x3f);
    }
    // Overlong forms, surrogates and what lies beyond U+10FFFF are not UTF-8.
    static constexpr unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return false;
    i += length;
  }
  return true;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    // Take one UTF-8 sequence at a time; a byte that starts none is replaced.
    std::size_t length = 1;
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      length = 0;
      for (std::size_t k = 2; k <= 4 && i + k <= text.size(); ++k)
        if (is_utf8(text.substr(i, k))) {
          length = k;
          break;
        }
      if (length == 0) {
        out += "\xef\xbf\xbd";
        ++i;
        continue;
      }
      if (length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
        // A C1 control (U+0080 to U+009F) is written as an escape, so that
        // a terminal showing the line does not act on it.
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
        out += escaped;
      } else {
        out.append(text.substr(i, length));
      }
      i += length;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned long group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned long>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return out;
}

}  // namespace kvsctl
