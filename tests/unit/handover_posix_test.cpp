// The POSIX hand-over's channel form: a process waiting on its channel takes
// exactly one stream socket and nothing else, and never takes a standard
// descriptor for its channel.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/handover.h"

namespace {

// Sends `fds` as the daemon does (one byte, the descriptors beside it).
bool send_fds(int channel, const std::vector<int>& fds) {
  char byte = 0;
  iovec io{&byte, 1};
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  if (!fds.empty()) {
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  return ::sendmsg(channel, &message, MSG_NOSIGNAL) == 1;
}

int open_fds() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) count += ::fcntl(fd, F_GETFD) != -1;
  return count;
}

}  // namespace

TEST(HandoverPosix, ChannelWordsThatNameNoChannelGiveNone) {
  for (const char* second : {"", "abc", "-3", "0", "1", "2"}) EXPECT_EQ(PLATtake_over(second, "0", nullptr), -1) << second;
}

TEST(HandoverPosix, ChannelGivesOneStreamSocketOnly) {
  struct sent_case {
    const char* what;
    std::vector<int> kinds;  // socket types sent together; none: the daemon ended
    bool taken;
  };
  const sent_case cases[] = {
      {"one stream socket", {SOCK_STREAM}, true},
      {"a datagram socket", {SOCK_DGRAM}, false},
      {"two stream sockets", {SOCK_STREAM, SOCK_STREAM}, false},
      {"nothing, then the end of the channel", {}, false},
  };
  for (const sent_case& c : cases) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    std::vector<int> sent;
    for (int kind : c.kinds) sent.push_back(::socket(AF_INET, kind | SOCK_CLOEXEC, 0));
    if (sent.empty()) {
      ::close(pair[0]);
    } else {
      ASSERT_TRUE(send_fds(pair[0], sent)) << c.what;
      for (int fd : sent) ::close(fd);
      ::close(pair[0]);
    }
    const int before = open_fds();
    bool pending = false;
    int socket = PLATtake_over(std::to_string(pair[1]).c_str(), "0", &pending);
    EXPECT_EQ(socket >= 0, c.taken) << c.what;
    EXPECT_EQ(pending, c.taken) << c.what;
    // The channel is closed either way; what was refused is closed too.
    EXPECT_EQ(::fcntl(pair[1], F_GETFD), -1) << c.what;
    if (socket >= 0) ::close(socket);
    EXPECT_EQ(open_fds(), before - 1) << c.what;
  }
}

TEST(HandoverPosix, PayloadComesWithTheSocketAsASealedFile) {
  plat_hand_overs spare;
  const std::string bytes = std::string("material\0with a nul\n", 20) + std::string(100000, 'x');
  ASSERT_TRUE(PLATset_hand_over_payload(spare, bytes));
  ASSERT_TRUE(spare.payload.valid());
  // Nobody can change what later connections get.
  EXPECT_EQ(::write(spare.payload.get(), "y", 1), -1);
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
  struct payload_case {
    const char* what;
    int second;  // sent after the stream socket
    bool taken;
  };
  const payload_case cases[] = {
      {"the payload's file", spare.payload.get(), true},
      {"a pipe", pipe_ends[0], false},
  };
  for (const payload_case& c : cases) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    int stream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(send_fds(pair[0], {stream, c.second})) << c.what;
    ::close(stream);
    ::close(pair[0]);
    std::string payload = "left over";
    int socket = PLATtake_over(std::to_string(pair[1]).c_str(), "0", nullptr, &payload);
    EXPECT_EQ(socket >= 0, c.taken) << c.what;
    if (c.taken) {
      EXPECT_TRUE(payload == bytes) << c.what;
    }
    if (socket >= 0) ::close(socket);
  }
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  // No payload: none is sent.
  ASSERT_TRUE(PLATset_hand_over_payload(spare, ""));
  EXPECT_FALSE(spare.payload.valid());
}
