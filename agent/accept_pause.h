// The daemon's pause after each accepted connection (KVS_ACCEPT_PAUSE_MS).
#pragma once

constexpr int AGT_ACCEPT_PAUSE_DEFAULT_MS = 1000;
constexpr int AGT_ACCEPT_PAUSE_MAX_MS = 3600000;

// The pause in milliseconds that the setting's text asks for: none set gives
// the default; a decimal number from 0 to AGT_ACCEPT_PAUSE_MAX_MS is taken as
// it is; anything else gives the default with a warning on standard error.
int AGTaccept_pause_ms(const char* text);
