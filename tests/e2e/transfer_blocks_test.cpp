// BINARY transfers move files in large blocks (FS_BINARY_BLOCK): sizes around
// the block boundaries, and streams cut in pieces unrelated to the block,
// must still arrive byte for byte, and a transfer's buffers must not stay.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <memory>
#include <string>

#include "client/transfer.h"
#include "harness.h"
#include "modules/fs_agt.h"

using e2e::random_bytes;

namespace {

struct agent {
  agent()
      : session(e2e::admitted_session()),
        files(session->studio(), "127.0.0.1", e2e::kReplyMs),
        port(files.data_port()) {}
  std::string path(const std::string& name) const { return session->dir().file(name); }
  std::unique_ptr<e2e::session> session;
  studio::file_transfer files;
  int port;
};

TEST(TransferBlocks, SizesAroundTheBlockBoundaryBothWays) {
  agent a;
  const std::size_t block = FS_BINARY_BLOCK;
  unsigned seed = 1;
  for (std::size_t size : {block - 1, block, block + 1, 2 * block, 3 * block + 7}) {
    const std::string content = random_bytes(size, seed++);
    studio::transfer_result put = a.files.put("f.bin", content);
    ASSERT_TRUE(put.ok) << size << " " << put.reply << put.error;
    EXPECT_TRUE(e2e::read_file(a.path("f.bin")) == content) << size;
    studio::transfer_result got = a.files.get("f.bin");
    ASSERT_TRUE(got.ok) << size << " " << got.reply << got.error;
    EXPECT_EQ(got.data.size(), size);
    EXPECT_TRUE(got.data == content) << size;
  }
}

TEST(TransferBlocks, StreamInSmallPiecesIsWrittenWhole) {
  agent a;
  const std::string content = random_bytes(FS_BINARY_BLOCK + 4099, 9);
  std::size_t at = 0;
  std::size_t piece = 1;
  // Pieces of 1, 2, 3, ... 700 bytes, each sent on its own: every receive
  // gets far less than a block.
  studio::transfer_result put = a.files.put_stream("pieces.bin", [&](char* buffer, std::size_t room) -> long {
    std::size_t n = std::min({piece, room, content.size() - at});
    content.copy(buffer, n, at);
    at += n;
    piece = piece % 700 + 1;
    return static_cast<long>(n);
  });
  ASSERT_TRUE(put.ok) << put.reply << put.error;
  EXPECT_TRUE(e2e::read_file(a.path("pieces.bin")) == content);
}

TEST(TransferBlocks, AsciiModeStillConvertsAcrossManyBlocks) {
  agent a;
  std::string text;
  while (text.size() < 3 * FS_SEND_BLOCK + 11) text += "line " + std::to_string(text.size()) + "\n";
  ASSERT_TRUE(a.files.set_mode(studio::transfer_mode::ascii));
  ASSERT_TRUE(a.files.put("t.txt", text).ok);
  EXPECT_EQ(e2e::read_file(a.path("t.txt")), text);
  ASSERT_TRUE(a.files.set_mode(studio::transfer_mode::binary));
  studio::transfer_result raw = a.files.get("t.txt");
  ASSERT_TRUE(raw.ok);
  EXPECT_EQ(raw.data, text);  // written with LF only
  ASSERT_TRUE(a.files.set_mode(studio::transfer_mode::ascii));
  std::string wire;
  studio::transfer_result sent = a.files.get_stream("t.txt", [&](std::string_view piece) {
    wire += piece;
    return true;
  });
  EXPECT_TRUE(sent.ok);
  EXPECT_EQ(wire, studio::ascii_to_wire(text));
}

TEST(TransferBlocks, TransferBuffersDoNotStayResident) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer keeps freed memory in quarantine";
#endif
  agent a;
  const std::string content = random_bytes(4 * FS_BINARY_BLOCK, 3);
  ASSERT_TRUE(a.files.put("m.bin", content).ok);
  ASSERT_TRUE(a.files.get("m.bin").ok);
  const long before = e2e::status_field(a.session->process().pid, "VmRSS");
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(a.files.put("m.bin", content).ok);
    ASSERT_TRUE(a.files.get("m.bin").ok);
  }
  const long after = e2e::status_field(a.session->process().pid, "VmRSS");
  ASSERT_GT(before, 0);
  // Growth by a block per transfer would be 2.5 MiB here.
  EXPECT_LT(after - before, FS_BINARY_BLOCK / 1024) << before << " KiB before, " << after << " KiB after";
}

}  // namespace
