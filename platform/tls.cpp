// The hand-over text of the TLS material, shared by both halves: three
// decimal lengths on a first line, then the certificate, the key and the CA
// bundle, byte for byte.
#include <charconv>

#include "platform/tls.h"

std::string PLATtls_encode(const plat_tls_material& material) {
  std::string text = std::to_string(material.cert.size()) + " " + std::to_string(material.key.size()) + " " +
                     std::to_string(material.ca.size()) + "\n";
  text += material.cert;
  text += material.key;
  text += material.ca;
  return text;
}

std::optional<plat_tls_material> PLATtls_decode(std::string_view text) {
  std::size_t sizes[3];
  const char* at = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 3; ++i) {
    auto [next, error] = std::from_chars(at, end, sizes[i]);
    if (error != std::errc() || next == end || *next != (i < 2 ? ' ' : '\n')) return std::nullopt;
    at = next + 1;
  }
  std::size_t left = static_cast<std::size_t>(end - at);
  if (sizes[0] > left || sizes[1] > left - sizes[0] || sizes[2] != left - sizes[0] - sizes[1]) return std::nullopt;
  plat_tls_material material;
  material.cert.assign(at, sizes[0]);
  material.key.assign(at + sizes[0], sizes[1]);
  material.ca.assign(at + sizes[0] + sizes[1], sizes[2]);
  return material;
}
