#include "modules/fs_agt_internal.h"
#include "support/protocol/ascii_codec.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "net/tcpip.h"

namespace {

std::string encode(std::string_view in) {
  std::string out(in.size() * 2, '\0');
  out.resize(protocol::ascii_encode(in.data(), in.size(), out.data()));
  return out;
}

// Decodes the wire text cut into the given pieces, as successive receptions.
std::string decode(std::initializer_list<std::string_view> pieces) {
  bool held = false;
  std::string result;
  for (std::string_view piece : pieces) {
    std::string out(piece.size() + 1, '\0');
    out.resize(protocol::ascii_decode(held, piece.data(), piece.size(), out.data()));
    result += out;
  }
  char tail;
  result.append(&tail, protocol::ascii_decode_end(held, &tail));
  return result;
}

using namespace std::string_literals;

TEST(FsAscii, SendingTurnsEveryLineFeedIntoCrLfAndKeepsEverythingElse) {
  EXPECT_EQ(encode("a\nb"), "a\r\nb");
  EXPECT_EQ(encode("\n\n"), "\r\n\r\n");
  EXPECT_EQ(encode("x\r\ny"), "x\r\r\ny");  // an existing CR is not special
  EXPECT_EQ(encode("\0\xff\n"s), "\0\xff\r\n"s);
  EXPECT_EQ(encode(""), "");
}

TEST(FsAscii, ReceivingTurnsCrLfIntoLineFeedOnly) {
  EXPECT_EQ(decode({"a\r\nb\rc\n"}), "a\nb\rc\n");
  EXPECT_EQ(decode({"\r\r\n"}), "\r\n");
  EXPECT_EQ(decode({"\n\r"}), "\n\r");  // a CR at the very end is data
  EXPECT_EQ(decode({"a\0b\r\n\0"s}), "a\0b\n\0"s);
  EXPECT_EQ(decode({"\r", "", "\n"}), "\n");
  EXPECT_EQ(decode({"\r", "\r", "\n"}), "\r\n");
  EXPECT_EQ(decode({"\r", "x"}), "\rx");
}

TEST(FsAscii, ReceivingDoesNotDependOnWhereTheStreamIsCut) {
  const std::string wire = "ab\r\n\r\r\n\rx\n\0\r\r\r\n\r"s;
  const std::string whole = decode({wire});
  EXPECT_EQ(whole, "ab\n\r\n\rx\n\0\r\r\n\r"s);
  std::string_view w(wire);
  for (std::size_t i = 0; i <= w.size(); ++i)
    for (std::size_t j = i; j <= w.size(); ++j)
      ASSERT_EQ(decode({w.substr(0, i), w.substr(i, j - i), w.substr(j)}), whole) << i << " " << j;
}

// A context with the network layer, as a connection process has it.
struct FsModule : ::testing::Test {
  agt_context_ptr context = CTXnew(10);
  agt_context* ctx() { return context.get(); }
};

TEST_F(FsModule, OperationsFailWithoutALiveState) {
  EXPECT_EQ(FSterm(ctx()), -1);
  EXPECT_EQ(FSchange_dir(ctx(), "."), -1);
  EXPECT_FALSE(FScurrent_dir(ctx()));
  EXPECT_EQ(FSmake_dir(ctx(), "x"), -1);
  EXPECT_EQ(FSremove_dir(ctx(), "x"), -1);
  EXPECT_EQ(FSdelete_file(ctx(), "x"), -1);
  EXPECT_EQ(FSdata_port(ctx()), -1);
  EXPECT_EQ(FSset_ascii(ctx()), -1);
  EXPECT_EQ(FSsend_file(ctx(), "x"), -1);
  EXPECT_EQ(FSreceive_file(ctx(), "x"), -1);
  EXPECT_EQ(FSinit(nullptr, 0), -1);
  cmd_state state;
  EXPECT_EQ(FScmd_pwd(ctx(), &state, "")->view(), "553 PWD failed");
  EXPECT_EQ(FScmd_pftp(ctx(), &state, "")->view(), "526 INTERNAL ERROR : No ftp port");
  EXPECT_EQ(FScmd_ftpa(ctx(), &state, "")->view(), "227 transfer mode set to ASCII");
  EXPECT_EQ(FScmd_getf(ctx(), &state, "x")->view(), "530 send file failed");
  EXPECT_EQ(FScmd_putf(ctx(), &state, "x")->view(), "531 receive file failed");
}

TEST_F(FsModule, DataPortListensFromInitToTerm) {
  // Without the network layer no data port can be made, and nothing is installed.
  testing::internal::CaptureStdout();
  EXPECT_EQ(FSinit(ctx(), 1), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("FSinit: socket FTP creation Error\n"), std::string::npos);
  EXPECT_EQ(CTXget(ctx(), CTX_SLOT_FS), nullptr);

  ASSERT_EQ(TCPIPinit(ctx(), 1), 0);
  ASSERT_EQ(FSinit(ctx(), 1), 0);
  auto* state = CTXstate<fs_state>(ctx(), CTX_SLOT_FS);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->binary_mode, 1);
  int port = FSdata_port(ctx());
  EXPECT_GT(port, 0);
  EXPECT_EQ(port, state->data_port);
  EXPECT_EQ(FSdata_port(ctx()), port);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto try_connect = [&] {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(s);
    return rc;
  };
  EXPECT_EQ(try_connect(), 0);
  EXPECT_EQ(FSterm(ctx()), 0);
  EXPECT_EQ(CTXget(ctx(), CTX_SLOT_FS), nullptr);
  EXPECT_NE(try_connect(), 0);
  EXPECT_EQ(FSterm(ctx()), -1);

  ASSERT_EQ(FSinit(ctx(), 0), 0);
  EXPECT_EQ(FSdata_port(ctx()), -1);
  EXPECT_EQ(FSterm(ctx()), 0);
}

struct temp_file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using temp_file = std::unique_ptr<std::FILE, temp_file_closer>;

std::string contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  return text;
}

TEST_F(FsModule, BlocksFollowTheTransferMode) {
  ASSERT_EQ(FSinit(ctx(), 0), 0);
  auto* state = CTXstate<fs_state>(ctx(), CTX_SLOT_FS);

  // ASCII blocks never exceed the buffer, even when every byte is a line
  // feed, and each but the last is full: it took characters while it held
  // fewer than FS_SEND_BLOCK - 1 bytes.
  FSset_ascii(ctx());
  std::string mixed;
  while (mixed.size() < 9000) mixed += std::string(mixed.size() % 97, 'x') + "\n\n\r";
  char block[FS_SEND_BLOCK];
  for (const std::string& file : {std::string(3000, '\n'), std::string(5000, 'y'), mixed}) {
    temp_file lines(std::tmpfile());
    std::fwrite(file.data(), 1, file.size(), lines.get());
    std::rewind(lines.get());
    std::string wire;
    std::vector<int> lengths;
    for (;;) {
      int length = FS_SEND_BLOCK;
      ASSERT_EQ(FSread_block(state, ctx(), lines.get(), block, &length), 0);
      ASSERT_LE(length, FS_SEND_BLOCK);
      if (length == 0) break;
      lengths.push_back(length);
      wire.append(block, static_cast<std::size_t>(length));
    }
    EXPECT_EQ(wire, encode(file));
    for (std::size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_GE(lengths[i], FS_SEND_BLOCK - 1) << i;
  }

  // A CR LF pair split between two blocks, or between the pieces a large
  // block is converted in, is still one line end.
  temp_file received(std::tmpfile());
  EXPECT_EQ(FSwrite_block(state, ctx(), received.get(), "a\r", 2), 0);
  EXPECT_EQ(FSwrite_block(state, ctx(), received.get(), "\nb", 2), 0);
  EXPECT_EQ(contents(received.get()), "a\nb");
  const std::string large = std::string(65535, 'x') + "\r\n" + std::string(70000, 'z') + "\r";
  temp_file large_file(std::tmpfile());
  EXPECT_EQ(FSwrite_block(state, ctx(), large_file.get(), large.data(), static_cast<int>(large.size())), 0);
  EXPECT_EQ(contents(large_file.get()), std::string(65535, 'x') + "\n" + std::string(70000, 'z'));
  EXPECT_EQ(state->ascii_cr_held, 1);
  state->ascii_cr_held = 0;

  FSset_binary(ctx());
  temp_file raw(std::tmpfile());
  EXPECT_EQ(FSwrite_block(state, ctx(), raw.get(), "a\r\n\0", 4), 0);
  EXPECT_EQ(contents(raw.get()), "a\r\n\0"s);
  std::rewind(raw.get());
  int length = FS_SEND_BLOCK;
  ASSERT_EQ(FSread_block(state, ctx(), raw.get(), block, &length), 0);
  EXPECT_EQ(std::string(block, static_cast<std::size_t>(length)), "a\r\n\0"s);

  EXPECT_EQ(FSread_block(nullptr, ctx(), raw.get(), block, &length), -1);
  EXPECT_EQ(FSterm(ctx()), 0);
}

}  // namespace

namespace {

// Where text files end lines with CR LF (Windows), ASCII GETF reads a CR LF
// of the file as one line end, also across the reads it takes the file in,
// keeps a lone CR, and reads on past a Ctrl-Z.
TEST_F(FsModule, TextFilesWithCrLfAreReadWholeAsLines) {
  ASSERT_EQ(FSinit(ctx(), 0), 0);
  auto* state = CTXstate<fs_state>(ctx(), CTX_SLOT_FS);
  FSset_ascii(ctx());
  state->text_crlf = true;
  // The first read takes FS_READ_AHEAD - 1 bytes: the CR of a pair ends it.
  std::string file = "a\r\nb\x1a" "c\rd";
  file += std::string(FS_READ_AHEAD - 2 - file.size(), 'x') + "\r\n" + "tail\r";
  std::string expected = "a\r\nb\x1a" "c\rd" + std::string(FS_READ_AHEAD - 2 - 8, 'x') + "\r\ntail\r";
  temp_file text(std::tmpfile());
  std::fwrite(file.data(), 1, file.size(), text.get());
  std::rewind(text.get());
  std::string wire;
  char block[FS_SEND_BLOCK];
  for (int length = FS_SEND_BLOCK; FSread_block(state, ctx(), text.get(), block, &length) == 0 && length > 0;
       length = FS_SEND_BLOCK)
    wire.append(block, static_cast<std::size_t>(length));
  EXPECT_EQ(wire.size(), expected.size());
  EXPECT_TRUE(wire == expected);
  EXPECT_EQ(FSterm(ctx()), 0);
}

}  // namespace
