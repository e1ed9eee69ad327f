// The daemon's TLS settings: KVS_TLS_CERT and KVS_TLS_KEY (PEM files) turn
// TLS on for every port; KVS_TLS_CLIENT_CA (a PEM bundle) makes studios
// present a certificate from one of its CAs. Read once at start; SIGHUP
// reads the same files again.
#pragma once

#include <optional>
#include <string>

#include "platform/tls.h"

struct agt_tls_settings {
  bool on = false;  // both the certificate and the key are set
  std::string cert, key, ca;
};

// The settings from the three values (null or empty: not set); false with
// *error when they do not go together (one of cert and key without the
// other, a CA bundle without them).
bool AGTtls_settings(const char* cert, const char* key, const char* ca, agt_tls_settings* out, std::string* error);

// The material of the files the settings name, checked by building a server
// context from it; none with *why ("KVS_TLS_KEY /etc/x.key: no private key
// in it") when a file cannot be read or does not fit.
std::optional<plat_tls_material> AGTtls_load(const agt_tls_settings& settings, std::string* why);
