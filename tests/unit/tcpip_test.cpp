#include "net/tcpip_internal.h"
#include "tcpip_fixture.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using tcpip_test::layer;
using tcpip_test::socket_pair;

TEST(Tcpip, WatchedSetKeepsOrderWithoutDuplicatesUpToItsBound) {
  layer l(0);
  EXPECT_EQ(TCPIPwatch(l.get(), 7), 0);
  EXPECT_EQ(TCPIPwatch(l.get(), 5), 0);
  EXPECT_EQ(TCPIPwatch(l.get(), 7), 0);
  EXPECT_EQ(TCPIPwatch(l.get(), 9), 0);
  auto* state = CTXstate<tcpip_state>(l.get(), CTX_SLOT_TCPIP);
  auto watched = [state] {
    std::vector<int> sockets;
    for (const tcpip_entry& entry : state->entries) sockets.push_back(entry.socket);
    return sockets;
  };
  EXPECT_EQ(watched(), (std::vector<int>{7, 5, 9}));
  EXPECT_EQ(TCPIPunwatch(l.get(), 5), 0);
  EXPECT_EQ(TCPIPunwatch(l.get(), 42), 0);
  EXPECT_EQ(watched(), (std::vector<int>{7, 9}));
  for (int s = 100; state->entries.size() < TCPIP_WATCH_MAX; ++s) ASSERT_EQ(TCPIPwatch(l.get(), s), 0);
  EXPECT_EQ(TCPIPwatch(l.get(), 5000), -1);
  EXPECT_EQ(state->entries.size(), static_cast<std::size_t>(TCPIP_WATCH_MAX));
}

TEST(Tcpip, WaitReportsReadySocketsAscending) {
  layer l(0);
  socket_pair first, second;
  TCPIPwatch(l.get(), second.a);
  TCPIPwatch(l.get(), first.a);
  ASSERT_EQ(::write(second.b, "x", 1), 1);
  ASSERT_EQ(::write(first.b, "y", 1), 1);
  std::vector<int> ready;
  ASSERT_EQ(TCPIPwait(l.get(), ready, 1000), 2);
  EXPECT_LT(ready[0], ready[1]);
  EXPECT_EQ(TCPIPwait(l.get(), ready, 10), -1);  // the list must be empty on entry
  ready.clear();
  char drain[4];
  ASSERT_EQ(::read(first.a, drain, 4), 1);
  ASSERT_EQ(::read(second.a, drain, 4), 1);
  EXPECT_EQ(TCPIPwait(l.get(), ready, 20), 0);
  EXPECT_TRUE(ready.empty());
}

TEST(Tcpip, WakeDescriptorEndsTheWaitUnreported) {
  layer l(0);
  socket_pair wake;
  TCPIPset_wake(l.get(), wake.a);
  ASSERT_EQ(::write(wake.b, "!", 1), 1);
  std::vector<int> ready;
  EXPECT_EQ(TCPIPwait(l.get(), ready, 5000), 0);
  EXPECT_TRUE(ready.empty());
}

TEST(Tcpip, AppendingReceiveFramesTextAndStopsAtNul) {
  layer l(0);
  socket_pair p;
  kvwstr buffer;
  int end = 0;
  ASSERT_EQ(::write(p.b, "abc", 3), 3);
  EXPECT_EQ(TCPIPrecv_append(l.get(), p.a, buffer, &end), 3);
  ASSERT_EQ(::write(p.b, "\r\nd", 3), 3);
  EXPECT_EQ(TCPIPrecv_append(l.get(), p.a, buffer, &end), 3);
  EXPECT_EQ(buffer.view(), "abc\r\nd");
  EXPECT_EQ(end, 0);

  ASSERT_EQ(::write(p.b, "\0zz", 3), 3);
  EXPECT_EQ(TCPIPrecv_append(l.get(), p.a, buffer, &end), 3);  // counted, nothing appended
  EXPECT_EQ(buffer.len(), 6);

  ::shutdown(p.b, SHUT_WR);
  EXPECT_EQ(TCPIPrecv_append(l.get(), p.a, buffer, &end), 0);
  EXPECT_EQ(end, 1);
  EXPECT_EQ(buffer.len(), 6);
}

TEST(Tcpip, SendToNoSocketSendsNothing) {
  layer l(0);
  int length = 5;
  EXPECT_EQ(TCPIPsend(l.get(), -1, "hello", &length), 0);
  EXPECT_EQ(length, 0);
}

TEST(Tcpip, ListenOnAnyPortAndConnect) {
  layer l(0);
  int port = 0;
  int s = TCPIPlisten(l.get(), nullptr, nullptr, &port);
  ASSERT_GE(s, 0);
  EXPECT_GT(port, 0);
  EXPECT_EQ(TCPIPget_port(l.get(), s), port);
  int c = TCPIPconnect(l.get(), "127.0.0.1", nullptr, port);
  ASSERT_GE(c, 0);
  int accepted = -1;
  std::string host;
  int peer_port = 0;
  ASSERT_EQ(TCPIPaccept_stream(l.get(), s, &accepted, &host, &peer_port), 0);
  EXPECT_EQ(host, "localhost");  // an IPv4 peer of a dual-stack socket is named by its IPv4 address
  EXPECT_GT(peer_port, 0);
  TCPIPclose(l.get(), accepted);
  TCPIPclose(l.get(), c);
  TCPIPclose(l.get(), s);
  EXPECT_EQ(TCPIPconnect(l.get(), "127.0.0.1", nullptr, port), -1);
}

TEST(Tcpip, AddressLiteralsKeepTheirFamily) {
  layer l(0);
  tcpip_addr record;
  ASSERT_EQ(TCPIPset_addr_in(l.get(), &record, "127.0.0.1", nullptr, 80), 0);
  EXPECT_EQ(record.family, AF_INET);
  ASSERT_EQ(TCPIPset_addr_in(l.get(), &record, "::1", nullptr, 80), 0);
  EXPECT_EQ(record.family, AF_INET6);
  EXPECT_EQ(TCPIPset_addr_in(l.get(), nullptr, "::1", nullptr, 80), -1);
}

TEST(Tcpip, NothingWorksWithoutTheLayer) {
  agt_context_ptr context = CTXnew(10);
  std::vector<int> ready;
  int port = 0;
  EXPECT_EQ(TCPIPwatch(context.get(), 3), -1);
  EXPECT_EQ(TCPIPwait(context.get(), ready, 0), -1);
  EXPECT_EQ(TCPIPlisten(context.get(), nullptr, nullptr, &port), -1);
  EXPECT_EQ(TCPIPterm(context.get()), -1);
}
