#include "agent/accept_pause.h"

#include <cstdio>

#include "support/cstsyst.h"

int AGTaccept_pause_ms(const char* text) {
  if (text == nullptr) return AGT_ACCEPT_PAUSE_DEFAULT_MS;
  long value = 0;
  const char* c = text;
  for (; *c >= '0' && *c <= '9' && value <= AGT_ACCEPT_PAUSE_MAX_MS; ++c) value = value * 10 + (*c - '0');
  if (c == text || *c != '\0' || value > AGT_ACCEPT_PAUSE_MAX_MS) {
    CSTfprintf(stderr, "kvsagtd: KVS_ACCEPT_PAUSE_MS=%s is not a number of milliseconds from 0 to %d, %d used\n",
               text, AGT_ACCEPT_PAUSE_MAX_MS, AGT_ACCEPT_PAUSE_DEFAULT_MS);
    return AGT_ACCEPT_PAUSE_DEFAULT_MS;
  }
  return static_cast<int>(value);
}
