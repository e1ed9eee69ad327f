#include "agent/accept_pause.h"

#include <cstdio>

#include "support/cstsyst.h"
#include "support/protocol/numbers.h"

int AGTaccept_pause_ms(const char* text) {
  if (text == nullptr) return AGT_ACCEPT_PAUSE_DEFAULT_MS;
  std::optional<long long> value = protocol::parse_digits(text, 0, AGT_ACCEPT_PAUSE_MAX_MS);
  if (!value) {
    CSTfprintf(stderr, "kvsagtd: KVS_ACCEPT_PAUSE_MS=%s is not a number of milliseconds from 0 to %d, %d used\n",
               text, AGT_ACCEPT_PAUSE_MAX_MS, AGT_ACCEPT_PAUSE_DEFAULT_MS);
    return AGT_ACCEPT_PAUSE_DEFAULT_MS;
  }
  return static_cast<int>(*value);
}
