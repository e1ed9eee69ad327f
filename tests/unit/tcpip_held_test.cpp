// Replies held back with TCPIPsend_more: they wait in the socket for what
// follows, and leave with the next plain send, with TCPIPpush, or before a
// blocking operation waits on another socket. The send queue of the sending
// socket tells whether bytes left (SIOCOUTQNSD: bytes not yet sent), so
// nothing here depends on timing.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "net/tcpip.h"
#include "tcpip_fixture.h"

namespace {

using tcpip_test::layer;
using tcpip_test::socket_pair;

// A loopback TCP connection made through the layer: `agent` is the accepted
// side, as the command connection is.
struct connection {
  explicit connection(agt_context* context) : context_(context) {
    int port = 0;
    listener = TCPIPlisten(context, "127.0.0.1", nullptr, &port);
    studio = TCPIPconnect(context, "127.0.0.1", nullptr, port);
    TCPIPaccept_stream(context, listener, &agent, nullptr, nullptr);
  }
  ~connection() {
    for (int s : {listener, studio, agent})
      if (s >= 0) TCPIPclose(context_, s);
  }
  int listener = -1, studio = -1, agent = -1;

 private:
  agt_context* context_;
};

int unsent(int socket) {
  int bytes = -1;
  return ::ioctl(socket, SIOCOUTQNSD, &bytes) == 0 ? bytes : -1;
}

std::string receive(int socket, std::size_t bytes) {
  std::string got(bytes, '\0');
  std::size_t at = 0;
  while (at < bytes) {
    ssize_t n = ::recv(socket, got.data() + at, bytes - at, 0);
    if (n <= 0) break;
    at += static_cast<std::size_t>(n);
  }
  got.resize(at);
  return got;
}

int send_more(agt_context* context, int socket, const std::string& text) {
  int length = static_cast<int>(text.size());
  int rc = TCPIPsend_more(context, socket, text.data(), &length);
  return rc == 0 ? length : -1;
}

TEST(TcpipHeld, HeldUntilThePlainSendThatFollows) {
  layer l;
  connection c(l.get());
  ASSERT_GE(c.agent, 0);
  EXPECT_EQ(send_more(l.get(), c.agent, "211 a\r\n"), 7);
  EXPECT_EQ(send_more(l.get(), c.agent, "211 b\r\n"), 7);
  EXPECT_EQ(unsent(c.agent), 14);
  int length = 7;
  ASSERT_EQ(TCPIPsend(l.get(), c.agent, "211 c\r\n", &length), 0);
  EXPECT_EQ(unsent(c.agent), 0);
  EXPECT_EQ(receive(c.studio, 21), "211 a\r\n211 b\r\n211 c\r\n");
}

TEST(TcpipHeld, PushSendsWhatIsHeld) {
  layer l;
  connection c(l.get());
  EXPECT_EQ(send_more(l.get(), c.agent, "211 a\r\n"), 7);
  EXPECT_EQ(unsent(c.agent), 7);
  EXPECT_EQ(TCPIPpush(l.get(), c.agent), 0);
  EXPECT_EQ(unsent(c.agent), 0);
  EXPECT_EQ(receive(c.studio, 7), "211 a\r\n");
}

TEST(TcpipHeld, BlockingOnAnotherSocketPushesTheGuardFirst) {
  layer l;
  connection command(l.get());
  TCPIPset_guard(l.get(), command.agent);
  // A data connection already waiting: the accept does not block, but the
  // reply held on the command connection must have left before it.
  int port = 0;
  int data_port = TCPIPlisten(l.get(), "127.0.0.1", nullptr, &port);
  int data_studio = TCPIPconnect(l.get(), "127.0.0.1", nullptr, port);
  EXPECT_EQ(send_more(l.get(), command.agent, "226 FTP port : %1\r\n"), 19);
  EXPECT_EQ(unsent(command.agent), 19);
  int data_agent = -1;
  ASSERT_EQ(TCPIPaccept_stream(l.get(), data_port, &data_agent, nullptr, nullptr), 0);
  EXPECT_EQ(unsent(command.agent), 0);
  EXPECT_EQ(receive(command.studio, 19), "226 FTP port : %1\r\n");

  // Likewise before a guarded send or receive on another socket.
  EXPECT_EQ(send_more(l.get(), command.agent, "x\r\n"), 3);
  int length = 2;
  ASSERT_EQ(TCPIPsend(l.get(), data_agent, "Ok", &length), 0);
  EXPECT_EQ(unsent(command.agent), 0);
  EXPECT_EQ(send_more(l.get(), command.agent, "y\r\n"), 3);
  ASSERT_EQ(::send(data_studio, "z", 1, 0), 1);
  char byte = 0;
  int end = 0;
  ASSERT_EQ(TCPIPrecv(l.get(), data_agent, &byte, 1, &end), 1);
  EXPECT_EQ(unsent(command.agent), 0);
  EXPECT_EQ(receive(command.studio, 6), "x\r\ny\r\n");
  TCPIPset_guard(l.get(), -1);
  for (int s : {data_port, data_studio, data_agent}) TCPIPclose(l.get(), s);
}

}  // namespace
