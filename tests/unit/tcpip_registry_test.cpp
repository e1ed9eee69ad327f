// The registry of watched descriptors.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "net/tcpip_internal.h"
#include "tcpip_fixture.h"

namespace {

using tcpip_test::layer;
using tcpip_test::socket_pair;

// A descriptor reported ready, then closed by its owner and taken again by
// another owner in the same turn, is not ready for either of them.
TEST(TcpipRegistry, ReadyGoesOnlyToTheOwnerOfThatGeneration) {
  const int owners[] = {TCPIP_OWNER_COMMAND, TCPIP_OWNER_RDV, TCPIP_OWNER_DYNF};
  for (int first : owners) {
    for (int second : owners) {
      agt_context_ptr context = CTXnew(10);
      TCPIPinit(context.get(), 1);
      socket_pair old_pair;
      ASSERT_GE(TCPIPwatch_as(context.get(), old_pair.a, first), 0);
      ASSERT_EQ(::write(old_pair.b, "x", 1), 1);
      std::vector<int> ready;
      ASSERT_EQ(TCPIPwait(context.get(), ready, 1000), 1);
      const int number = old_pair.a;
      EXPECT_TRUE(TCPIPready_for(context.get(), number, first));
      EXPECT_EQ(TCPIPready_for(context.get(), number, second), first == second);

      TCPIPclose(context.get(), number);
      old_pair.a = -1;
      socket_pair new_pair;  // takes the lowest free number: the one just closed
      ASSERT_EQ(new_pair.a, number);
      ASSERT_GE(TCPIPwatch_as(context.get(), new_pair.a, second), 0);
      EXPECT_FALSE(TCPIPready_for(context.get(), number, first));
      EXPECT_FALSE(TCPIPready_for(context.get(), number, second));
    }
  }
}

// Output to a registered socket waits in its queue while the peer does not
// read, and leaves through the waits once it does.
TEST(TcpipRegistry, QueuedOutputLeavesWhenThePeerReads) {
  agt_context_ptr context = CTXnew(10);
  TCPIPinit(context.get(), 1);
  socket_pair p;
  ASSERT_GE(TCPIPwatch_as(context.get(), p.a, TCPIP_OWNER_DYNF), 0);
  const std::string block(64 * 1024, 'q');
  for (int i = 0; i < 64; ++i) {
    int length = static_cast<int>(block.size());
    ASSERT_EQ(TCPIPsend(context.get(), p.a, block.data(), &length), 0);
    EXPECT_EQ(length, static_cast<int>(block.size()));
  }
  const std::size_t waiting = TCPIPqueued(context.get(), p.a);
  EXPECT_GT(waiting, 0u);
  EXPECT_EQ(TCPIPqueued_by(context.get(), TCPIP_OWNER_DYNF), waiting);
  std::size_t received = 0;
  std::string area(1 << 16, '\0');
  while (received < 64 * block.size()) {
    ssize_t n = ::read(p.b, area.data(), area.size());
    ASSERT_GT(n, 0);
    received += static_cast<std::size_t>(n);
    std::vector<int> ready;
    TCPIPwait(context.get(), ready, 0);
  }
  EXPECT_EQ(TCPIPqueued(context.get(), p.a), 0u);
  TCPIPunwatch(context.get(), p.a);
}

}  // namespace
