#include "platform/config_file.h"

#include <algorithm>

plat_config_file PLATread_within(const plat_read_some& read_some, std::size_t limit, std::size_t expected) {
  plat_config_file result;
  std::string content;
  content.reserve(std::min(expected, limit));
  char chunk[64 * 1024];
  while (content.size() <= limit) {
    const std::size_t want = std::min(sizeof chunk, limit + 1 - content.size());
    const long long n = read_some(chunk, want, &result.why);
    if (n < 0) {
      result.status = plat_config_status::read_error;
      return result;
    }
    if (n == 0) break;
    content.append(chunk, static_cast<std::size_t>(n));
  }
  if (content.size() > limit) {
    result.status = plat_config_status::too_large;
    result.why = "larger than " + std::to_string(limit) + " bytes";
    return result;
  }
  result.status = plat_config_status::read;
  result.content = std::move(content);
  return result;
}
