// The readiness wait keeps its poll list between waits: what it reports must
// still follow the watched set as it is at each wait.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/tcpip.h"
#include "tcpip_fixture.h"

namespace {

using tcpip_test::layer;
using tcpip_test::socket_pair;

TEST(TcpipWaitReuse, EachWaitFollowsTheWatchedSetOfTheMoment) {
  agt_context_ptr context = CTXnew(10);
  TCPIPinit(context.get(), 1);
  socket_pair one, two, three;
  for (socket_pair* p : {&one, &two, &three}) {
    ASSERT_EQ(::write(p->b, "x", 1), 1);  // readable from now on, never read
    TCPIPwatch(context.get(), p->a);
  }
  std::vector<int> ready;
  ASSERT_EQ(TCPIPwait(context.get(), ready, 1000), 3);

  // Fewer watched: the sockets no longer watched are not reported.
  TCPIPunwatch(context.get(), one.a);
  TCPIPunwatch(context.get(), three.a);
  ready.clear();
  ASSERT_EQ(TCPIPwait(context.get(), ready, 1000), 1);
  EXPECT_EQ(ready, std::vector<int>{two.a});

  // More watched again, among them a socket with nothing to read.
  socket_pair quiet;
  TCPIPwatch(context.get(), quiet.a);
  TCPIPwatch(context.get(), three.a);
  ready.clear();
  ASSERT_EQ(TCPIPwait(context.get(), ready, 1000), 2);
  EXPECT_EQ(ready, (std::vector<int>{std::min(two.a, three.a), std::max(two.a, three.a)}));

  // Nothing watched is ready: the wait times out with nothing reported.
  for (int s : {two.a, three.a}) TCPIPunwatch(context.get(), s);
  ready.clear();
  EXPECT_EQ(TCPIPwait(context.get(), ready, 50), 0);
  EXPECT_TRUE(ready.empty());
}

}  // namespace
