#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "client/transfer.h"
#include "harness.h"

namespace {

using namespace std::string_literals;
using studio::transfer_mode;

constexpr int kExitMs = 10000;  // generous: the agent must end, not end fast

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

unsigned permission_bits(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// An identified session and the studio's transfer client on it.
struct agent {
  explicit agent(e2e::agent_options options = {})
      : session(e2e::admitted_session(std::move(options))),
        files(session->studio(), "127.0.0.1", e2e::kReplyMs),
        port(files.data_port()) {}
  std::string path(const std::string& name) const { return session->dir().file(name); }
  // A data connection opened by hand, for tests that shape the stream themselves.
  studio::socket_fd connect_data() {
    return studio::connect_data("127.0.0.1", port, e2e::kReplyMs);
  }
  std::string command(const std::string& line) { return session->command(line); }

  std::unique_ptr<e2e::session> session;
  studio::file_transfer files;
  int port;
};

TEST(Transfer, PortAndModeCommands) {
  agent a;
  ASSERT_GT(a.port, 0);
  std::string first = a.command("PFTP");
  EXPECT_EQ(first.rfind("226 FTP port : %", 0), 0u) << first;
  EXPECT_EQ(studio::reply_number(first), a.port);
  EXPECT_EQ(a.command("PFTP"), first);
  EXPECT_EQ(a.command("FTPA"), "227 transfer mode set to ASCII");
  EXPECT_EQ(a.command("FTPB"), "228 transfer mode set to BINARY");
  // Without a name nothing waits for a data connection.
  EXPECT_EQ(a.command("GETF"), "430 GETF wait filename as parameter");
  EXPECT_EQ(a.command("PUTF "), "431 PUTF wait filename as parameter");
  EXPECT_EQ(a.command("PWD").rfind("253 ", 0), 0u);
}

TEST(Transfer, BinaryKeepsEveryByteBothWays) {
  agent a;
  std::string every;
  for (int round = 0; round < 3; ++round)
    for (int b = 0; b < 256; ++b) every += static_cast<char>(b);
  every += "\r\n\r";
  studio::transfer_result put = a.files.put("bytes.bin", every);
  EXPECT_TRUE(put.ok) << put.reply << put.error;
  EXPECT_EQ(put.reply, "231 (end of transfered) file received");
  EXPECT_EQ(e2e::read_file(a.path("bytes.bin")), every);
  studio::transfer_result got = a.files.get("bytes.bin");
  EXPECT_EQ(got.reply, "230 (end of transfered) file sent");
  EXPECT_EQ(got.data, every);
}

TEST(Transfer, SeveralMebibytesBothWaysThroughLocalFiles) {
  agent a;
  e2e::temp_dir local;
  const std::string big = random_bytes(6 * 1024 * 1024 + 123, 7);
  e2e::write_file(local.file("out"), big);
  studio::transfer_result put = a.files.put_file(local.file("out"), "big.bin");
  ASSERT_TRUE(put.ok) << put.reply << put.error;
  EXPECT_TRUE(e2e::read_file(a.path("big.bin")) == big);
  studio::transfer_result got = a.files.get_file("big.bin", local.file("in"));
  ASSERT_TRUE(got.ok) << got.reply << got.error;
  EXPECT_TRUE(e2e::read_file(local.file("in")) == big);
}

TEST(Transfer, EmptyAndMissingFiles) {
  agent a;
  // The peer connects and closes at once: an empty file.
  EXPECT_EQ(a.files.put("empty", "").reply, "231 (end of transfered) file received");
  EXPECT_TRUE(e2e::file_exists(a.path("empty")));
  EXPECT_EQ(e2e::read_file(a.path("empty")), "");
  studio::transfer_result got = a.files.get("empty");
  EXPECT_EQ(got.reply, "230 (end of transfered) file sent");
  EXPECT_EQ(got.data, "");

  // A missing file: the stream ends without data, the reply tells why.
  for (const char* name : {"missing", "."}) {
    a.session->studio().send_line("GETF "s + name);
    studio::socket_fd data = a.connect_data();
    bool closed = false;
    EXPECT_EQ(studio::read_until_closed(data.get(), e2e::kReplyMs, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(a.session->read_line(), "530 send file failed") << name;
  }
}

TEST(Transfer, DebugSettingLogsWhyGetfFailed) {
  for (bool debug : {true, false}) {
    e2e::agent_options options;
    if (debug)
      options.env["KVS_DEBUG"] = "1";
    else
      options.unset_env.push_back("KVS_DEBUG");
    agent a(options);
    EXPECT_EQ(a.files.get("missing").reply, "530 send file failed");
    const std::string err = a.session->process().err();
    if (debug)
      EXPECT_NE(err.find("kvsagtd debug: GETF: FSsend_file(missing): No such file or directory\n"), std::string::npos)
          << err;
    else
      EXPECT_EQ(err.find("kvsagtd debug"), std::string::npos) << err;
  }
}

TEST(Transfer, TransfersLeaveNoDescriptorsOpen) {
  agent a;
  pid_t pid = a.session->process().pid;
  ASSERT_TRUE(a.files.put("f", "x").ok);  // first transfer: everything lazily made is made
  const int before = e2e::open_fd_count(pid);
  EXPECT_TRUE(a.files.put("f", "y").ok);
  EXPECT_TRUE(a.files.get("f").ok);
  EXPECT_FALSE(a.files.get("missing").ok);
  EXPECT_FALSE(a.files.put("nodir/f", "z").ok);
  EXPECT_EQ(e2e::open_fd_count(pid), before);
}

TEST(Transfer, PutCreatesTruncatesOrFails) {
  agent a;
  e2e::write_file(a.path("f"), std::string(5000, 'x'));
  EXPECT_TRUE(a.files.put("f", "short").ok);
  EXPECT_EQ(e2e::read_file(a.path("f")), "short");

  // Relative names follow the current directory.
  EXPECT_EQ(a.command("MKD sub"), "252 directory created");
  EXPECT_EQ(a.command("CWD sub"), "251 directory changed");
  EXPECT_TRUE(a.files.put("g", "in sub").ok);
  EXPECT_EQ(e2e::read_file(a.path("sub/g")), "in sub");
  EXPECT_EQ(a.files.get("../f").data, "short");

  // A file that cannot be made: the agent closes the data connection at once.
  a.session->studio().send_line("PUTF nodir/x");
  studio::socket_fd data = a.connect_data();
  EXPECT_TRUE(studio::wait_closed(data.get(), e2e::kReplyMs));
  EXPECT_EQ(a.session->read_line(), "531 receive file failed");
  EXPECT_EQ(a.files.put("..", "x").reply, "531 receive file failed");
}

TEST(Transfer, BinaryPutGivesTheBitsTheMaskAllows) {
  mode_t before = ::umask(027);
  agent a;  // inherits the mask
  ::umask(before);
  ASSERT_TRUE(a.files.put("new.bin", "x").ok);
  EXPECT_EQ(permission_bits(a.path("new.bin")), 0750u);
  e2e::write_file(a.path("old.bin"), "old");
  ::chmod(a.path("old.bin").c_str(), 0600);
  ASSERT_TRUE(a.files.put("old.bin", "y").ok);
  EXPECT_EQ(permission_bits(a.path("old.bin")), 0750u);
  // ASCII mode leaves the bits a new file is created with.
  ASSERT_TRUE(a.files.set_mode(transfer_mode::ascii));
  ASSERT_TRUE(a.files.put("new.txt", "x\n").ok);
  EXPECT_EQ(permission_bits(a.path("new.txt")), 0640u);
}

TEST(Transfer, AsciiSendTurnsLineFeedsIntoCrLf) {
  agent a;
  const std::string text = "a\nb\r\n\0z\n"s + std::string(5000, '\n') + "end";
  e2e::write_file(a.path("t.txt"), text);
  EXPECT_EQ(a.command("FTPA"), "227 transfer mode set to ASCII");
  a.session->studio().send_line("GETF t.txt");
  studio::socket_fd data = a.connect_data();
  std::string wire = studio::read_until_closed(data.get(), e2e::kReplyMs);
  EXPECT_EQ(a.session->read_line(), "230 (end of transfered) file sent");
  EXPECT_TRUE(wire == studio::ascii_to_wire(text));
  EXPECT_EQ(wire.substr(0, 12), "a\r\nb\r\r\n\0z\r\n\r"s);
}

// Sends the pieces as separate segments, with a pause between them so that
// the agent is likely to receive them separately, then ends the stream.
std::string put_pieces(agent& a, const std::string& name, std::initializer_list<std::string> pieces) {
  a.session->studio().send_line("PUTF " + name);
  studio::socket_fd data = a.connect_data();
  bool first = true;
  for (const std::string& piece : pieces) {
    if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    first = false;
    studio::send_all(data.get(), piece);
  }
  data.reset();
  return a.session->read_line();
}

TEST(Transfer, AsciiReceiveTurnsCrLfIntoLineFeedWhereverTheStreamIsCut) {
  agent a;
  ASSERT_TRUE(a.files.set_mode(transfer_mode::ascii));
  EXPECT_EQ(put_pieces(a, "one", {"a\r\nb\rc\n"}), "231 (end of transfered) file received");
  EXPECT_EQ(e2e::read_file(a.path("one")), "a\nb\rc\n");
  EXPECT_EQ(put_pieces(a, "split", {"x\r", "\ny\r", "\r", "z\r"}), "231 (end of transfered) file received");
  EXPECT_EQ(e2e::read_file(a.path("split")), "x\ny\r\rz\r");
  // NUL bytes are data like any other.
  EXPECT_EQ(put_pieces(a, "nul", {"n\0u\r"s, "\n\0"s}), "231 (end of transfered) file received");
  EXPECT_EQ(e2e::read_file(a.path("nul")), "n\0u\n\0"s);
}

TEST(Transfer, ModeHoldsUntilChanged) {
  agent a;
  const std::string text = "line one\nline two\n";
  ASSERT_TRUE(a.files.set_mode(transfer_mode::ascii));
  for (const char* name : {"t1", "t2"}) {
    ASSERT_TRUE(a.files.put(name, text).ok);
    EXPECT_EQ(e2e::read_file(a.path(name)), text);  // CR LF on the wire, LF on disk
    EXPECT_EQ(a.files.get(name).data, text);
  }
  // Local files go in pieces: line ends cut between pieces stay whole.
  e2e::temp_dir local;
  std::string lines;
  while (lines.size() < 200 * 1024) lines += "line " + std::to_string(lines.size()) + "\n";
  e2e::write_file(local.file("out.txt"), lines);
  ASSERT_TRUE(a.files.put_file(local.file("out.txt"), "lines").ok);
  EXPECT_TRUE(e2e::read_file(a.path("lines")) == lines);
  ASSERT_TRUE(a.files.get_file("lines", local.file("in.txt")).ok);
  EXPECT_TRUE(e2e::read_file(local.file("in.txt")) == lines);
  ASSERT_TRUE(a.files.set_mode(transfer_mode::binary));
  ASSERT_TRUE(a.files.put("b", "x\r\n").ok);
  EXPECT_EQ(e2e::read_file(a.path("b")), "x\r\n");
}

TEST(Transfer, DataConnectionMayComeBeforeTheCommand) {
  agent a;
  studio::socket_fd early = a.connect_data();
  ASSERT_TRUE(early.valid());
  studio::send_all(early.get(), "early bytes");
  early.reset();
  EXPECT_EQ(a.command("PUTF early"), "231 (end of transfered) file received");
  EXPECT_EQ(e2e::read_file(a.path("early")), "early bytes");

  studio::socket_fd waiting = a.connect_data();
  a.session->studio().send_line("GETF early");
  EXPECT_EQ(studio::read_until_closed(waiting.get(), e2e::kReplyMs), "early bytes");
  EXPECT_EQ(a.session->read_line(), "230 (end of transfered) file sent");
}

TEST(Transfer, ResetDataConnectionIsNotAFileReceived) {
  agent a;
  a.session->studio().send_line("PUTF cut");
  studio::socket_fd data = a.connect_data();
  studio::send_all(data.get(), "partial");
  linger hard{1, 0};
  ::setsockopt(data.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  data.reset();
  EXPECT_EQ(a.session->read_line(), "531 receive file failed");
  EXPECT_TRUE(e2e::file_exists(a.path("cut")));
}

TEST(Transfer, CommandsSentDuringATransferWaitForIt) {
  agent a;
  e2e::write_file(a.path("f"), "content");
  a.session->studio().send_raw("GETF f\r\nQUIT\r\n");
  EXPECT_EQ(a.session->studio().read_line(300), std::nullopt);
  studio::socket_fd data = a.connect_data();
  EXPECT_EQ(studio::read_until_closed(data.get(), e2e::kReplyMs), "content");
  EXPECT_EQ(a.session->read_line(), "230 (end of transfered) file sent");
  EXPECT_EQ(a.session->read_line(), "221 bye.");
  EXPECT_EQ(a.session->process().wait_exit(kExitMs), 0);
}

TEST(Transfer, StudioLeavingWhileWaitingForTheDataConnectionEndsTheProcess) {
  for (const char* command : {"GETF f", "PUTF f"}) {
    agent a;
    e2e::write_file(a.path("f"), "content");
    a.session->studio().send_line(command);
    // Not waited on: the agent is expected to block on the next data connection.
    EXPECT_EQ(a.session->studio().read_line(300), std::nullopt);
    a.session->studio().close();
    EXPECT_EQ(a.session->process().wait_exit(kExitMs), 0) << command;
  }
}

TEST(Transfer, StudioLeavingDuringAStalledTransferEndsTheProcess) {
  {
    agent a;
    a.session->studio().send_line("PUTF stalled");
    studio::socket_fd data = a.connect_data();
    studio::send_all(data.get(), "some bytes and no end");
    EXPECT_EQ(a.session->studio().read_line(300), std::nullopt);
    a.session->studio().close();
    EXPECT_EQ(a.session->process().wait_exit(kExitMs), 0);
  }
  {
    agent a;
    e2e::write_file(a.path("big"), std::string(16 * 1024 * 1024, 'b'));
    a.session->studio().send_line("GETF big");
    studio::socket_fd data = a.connect_data();
    int small = 4096;
    ::setsockopt(data.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Nothing is read from the data connection: the agent's sending stalls.
    EXPECT_EQ(a.session->studio().read_line(300), std::nullopt);
    a.session->studio().close();
    EXPECT_EQ(a.session->process().wait_exit(kExitMs), 0);
  }
}

}  // namespace
