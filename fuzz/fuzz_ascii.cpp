// ASCII-mode conversions of the file transfer, in both directions: the pure
// protocol library's ASCII codec and the block functions GETF and PUTF run them through.
// The input's first four bytes choose how streams are cut; the rest is data.
// Invariants:
// - sending then receiving gives back any file, byte for byte (every LF gets
//   a CR before it on the wire, every CR LF on the wire becomes one LF);
// - sending adds exactly one CR per LF, and nothing else changes;
// - receiving turns each CR LF into LF and keeps every other byte, NUL and a
//   lone CR included, whatever the cuts between the received pieces (a CR at
//   the end of a piece waits for the next piece; at the end it is data);
// - FSread_block and FSwrite_block, with any block room, produce the same
//   bytes as the pure functions, and the byte-wise models;
// - FSread_block fills each block but the last: it takes characters while
//   the block holds fewer than room - 1 bytes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "modules/fs_agt_internal.h"
#include "support/protocol/ascii_codec.h"

namespace {

std::string encode_all(const std::string& in) {
  std::string out(2 * in.size(), '\0');
  out.resize(protocol::ascii_encode(in.data(), in.size(), out.data()));
  return out;
}

// Decodes `in` in pieces whose lengths the cutter chooses (max 0: one piece).
std::string decode_cut(const std::string& in, fuzz::cutter& cut, std::size_t max) {
  std::string out;
  bool held = false;
  std::string area(in.size() + 1, '\0');
  std::size_t at = 0;
  while (at < in.size()) {
    std::size_t length = max == 0 ? in.size() - at : std::min(cut.length(max), in.size() - at);
    std::size_t produced = protocol::ascii_decode(held, in.data() + at, length, area.data());
    FUZZ_CHECK(produced <= length + 1, "decode wrote %zu bytes for %zu", produced, length);
    out.append(area.data(), produced);
    at += length;
  }
  char tail;
  out.append(&tail, protocol::ascii_decode_end(held, &tail));
  FUZZ_CHECK(held == 0, "a CR is still held after the end");
  return out;
}

// LF -> CR LF, one byte at a time.
std::string encode_model(const std::string& in) {
  std::string out;
  for (char c : in) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// CR LF -> LF, left to right; every other byte as it is.
std::string decode_model(const std::string& in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') continue;
    out += in[i];
  }
  return out;
}

struct memory_file {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* file = nullptr;
  ~memory_file() {
    if (file != nullptr) std::fclose(file);
    std::free(data);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  uint32_t seed = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
  std::string payload(reinterpret_cast<const char*>(data + 4), size - 4);
  fuzz::cutter cut(seed);

  std::string wire = encode_all(payload);
  std::size_t lfs = 0;
  for (char c : payload) lfs += c == '\n' ? 1 : 0;
  FUZZ_CHECK(wire.size() == payload.size() + lfs, "encoded %zu bytes from %zu with %zu LF", wire.size(),
             payload.size(), lfs);
  FUZZ_CHECK(wire == encode_model(payload), "encoding differs from the byte-wise one: %s", fuzz::show(payload).c_str());
  FUZZ_CHECK(decode_model(wire) == payload, "model does not undo the encoding");
  FUZZ_CHECK(decode_cut(wire, cut, 0) == payload, "send then receive changed %s", fuzz::show(payload).c_str());
  FUZZ_CHECK(decode_cut(wire, cut, 7) == payload, "send then receive in pieces changed %s",
             fuzz::show(payload).c_str());

  // The payload as a received stream.
  std::string whole = decode_cut(payload, cut, 0);
  FUZZ_CHECK(whole == decode_model(payload), "receive %s\n  got      %s", fuzz::show(payload).c_str(),
             fuzz::show(whole).c_str());
  FUZZ_CHECK(decode_cut(payload, cut, 1 + seed % 64) == whole, "receive depends on the cuts: %s",
             fuzz::show(payload).c_str());

  fs_state state;
  state.binary_mode = 0;
  // PUTF: received blocks of any size written through FSwrite_block.
  {
    memory_file out;
    out.file = ::open_memstream(&out.data, &out.size);
    FUZZ_CHECK(out.file != nullptr, "open_memstream");
    state.ascii_cr_held = false;
    for (std::size_t at = 0; at < payload.size();) {
      std::size_t length = std::min(cut.length(seed % 2 != 0 ? 5000 : 9), payload.size() - at);
      FUZZ_CHECK(FSwrite_block(&state, nullptr, out.file, payload.data() + at, static_cast<int>(length)) == 0,
                 "FSwrite_block failed");
      at += length;
    }
    char tail;
    std::size_t extra = protocol::ascii_decode_end(state.ascii_cr_held, &tail);
    if (extra != 0) std::fwrite(&tail, 1, extra, out.file);
    std::fflush(out.file);
    FUZZ_CHECK(std::string(out.data, out.size) == whole, "FSwrite_block wrote %s",
               fuzz::show(std::string(out.data, out.size)).c_str());
  }
  // GETF: the file read through FSread_block with any block room from 2 up.
  if (!payload.empty()) {
    std::FILE* in = ::fmemopen(payload.data(), payload.size(), "r");
    FUZZ_CHECK(in != nullptr, "fmemopen");
    std::string sent;
    std::string block(FS_SEND_BLOCK, '\0');
    int short_block = 0;  // a block below its limit must be the last
    for (;;) {
      int room = 2 + static_cast<int>(cut.next() % (FS_SEND_BLOCK - 1));
      int length = room;
      FUZZ_CHECK(FSread_block(&state, nullptr, in, block.data(), &length) == 0, "FSread_block failed");
      if (length == 0) break;
      FUZZ_CHECK(length <= room && short_block == 0, "block of %d bytes in room %d after a short one", length, room);
      short_block = length < room - 1 ? 1 : 0;
      sent.append(block.data(), static_cast<std::size_t>(length));
    }
    std::fclose(in);
    FUZZ_CHECK(sent == wire, "FSread_block sent %s", fuzz::show(sent).c_str());
  }
  return 0;
}
