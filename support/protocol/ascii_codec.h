// The ASCII transfer mode: lines travel with CR LF ends. Sending turns every
// LF into CR LF; receiving turns every CR LF pair into one LF and keeps every
// other byte. Pure logic, shared by the agent and the studio side.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace protocol {

// Copies the bytes of [from, from + n) that come before the first `stop` to
// `to`, and returns how many (n when there is none). It may write any of
// to[0, n) past the run: callers write their line end over it.
std::size_t copy_run(const char* from, std::size_t n, char stop, char* to);

// Sending: `out` must have room for 2 * length bytes; the bytes written.
std::size_t ascii_encode(const char* in, std::size_t length, char* out);

// Receiving one piece of the stream. A CR at the end of a piece is held in
// `cr_held` and decided by the first byte of the next piece, so the result
// does not depend on how the stream was cut. `out` must have room for
// length + 1 bytes; the bytes written.
std::size_t ascii_decode(bool& cr_held, const char* in, std::size_t length, char* out);
// The end of the stream: a held CR is data. Writes it to `out` (room for one
// byte) and returns 1, or returns 0.
std::size_t ascii_decode_end(bool& cr_held, char* out);

// The same on strings.
std::string ascii_to_wire(std::string_view local);
class ascii_from_wire {
 public:
  // Converts one piece; a CR at its end is held until the next piece.
  std::string feed(std::string_view wire);
  // The end of the stream: a held CR is returned as data.
  std::string finish();

 private:
  bool cr_held_ = false;
};

}  // namespace protocol
