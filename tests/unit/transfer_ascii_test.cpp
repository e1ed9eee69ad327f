// The studio's ASCII conversions give the same bytes as the agent's, however
// the stream is cut into received pieces.
#include <gtest/gtest.h>

#include <string>

#include "client/transfer.h"
#include "modules/fs_agt_internal.h"
#include "support/protocol/ascii_codec.h"

namespace {

using namespace std::string_literals;

std::string agent_decode(const std::string& wire) {
  std::string out(wire.size() + 1, '\0');
  bool held = false;
  out.resize(protocol::ascii_decode(held, wire.data(), wire.size(), out.data()));
  char tail;
  out.append(&tail, protocol::ascii_decode_end(held, &tail));
  return out;
}

TEST(StudioAscii, MatchesTheAgentWhereverTheStreamIsCut) {
  const std::string texts[] = {"", "a\nb\n", "\n\n\r", "\r\r\n\r", "x\r\ny\rz\0\r\n"s, "\r\n\r\n\n\r\rq"};
  for (const std::string& text : texts) {
    std::string agent_wire(2 * text.size(), '\0');
    agent_wire.resize(protocol::ascii_encode(text.data(), text.size(), agent_wire.data()));
    EXPECT_EQ(studio::ascii_to_wire(text), agent_wire);
    const std::string expected = agent_decode(text);
    for (std::size_t i = 0; i <= text.size(); ++i)
      for (std::size_t j = i; j <= text.size(); ++j) {
        studio::ascii_from_wire decoder;
        std::string got = decoder.feed(text.substr(0, i));
        got += decoder.feed(text.substr(i, j - i));
        got += decoder.feed(text.substr(j));
        got += decoder.finish();
        ASSERT_EQ(got, expected) << "cut at " << i << " and " << j;
      }
  }
}

}  // namespace
