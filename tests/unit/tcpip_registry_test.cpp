// The registry of watched descriptors.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/tcpip_internal.h"
#include "tcpip_fixture.h"

namespace {

// Owners are tags: any three distinct addresses.
const char owner_tags[3] = {};
const tcpip_owner command_tag = &owner_tags[0];
const tcpip_owner rdv_tag = &owner_tags[1];
const tcpip_owner dynf_tag = &owner_tags[2];

using tcpip_test::layer;
using tcpip_test::socket_pair;

// A descriptor reported ready, then closed by its owner and taken again by
// another owner in the same turn, is not ready for either of them.
TEST(TcpipRegistry, ReadyGoesOnlyToTheOwnerOfThatGeneration) {
  const tcpip_owner owners[] = {command_tag, rdv_tag, dynf_tag};
  for (tcpip_owner first : owners) {
    for (tcpip_owner second : owners) {
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
  ASSERT_GE(TCPIPwatch_as(context.get(), p.a, dynf_tag), 0);
  const std::string block(64 * 1024, 'q');
  for (int i = 0; i < 64; ++i) {
    int length = static_cast<int>(block.size());
    ASSERT_EQ(TCPIPsend(context.get(), p.a, block.data(), &length), 0);
    EXPECT_EQ(length, static_cast<int>(block.size()));
  }
  const std::size_t waiting = TCPIPqueued(context.get(), p.a);
  EXPECT_GT(waiting, 0u);
  EXPECT_EQ(TCPIPqueued_by(context.get(), dynf_tag), waiting);
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

// The room for the studio counts the guard socket's queue and what every
// owner keeps (each owner's figure replaced, not added to); a held-back
// owner's readable socket is not reported, another owner's still is.
TEST(TcpipRegistry, RoomAndHeldBackInput) {
  layer l;
  socket_pair studio, tester, command;
  ASSERT_GE(TCPIPwatch_as(l.get(), studio.a, command_tag), 0);
  ASSERT_GE(TCPIPwatch_as(l.get(), tester.a, dynf_tag), 0);
  ASSERT_GE(TCPIPwatch_as(l.get(), command.a, rdv_tag), 0);
  TCPIPset_session(l.get(), studio.a);
  EXPECT_EQ(TCPIProom(l.get()), TCPIP_HELD_MAX);
  struct step {
    tcpip_owner owner;
    std::size_t bytes;
    std::size_t room;
  };
  const step steps[] = {
      {dynf_tag, 1000, TCPIP_HELD_MAX - 1000},
      {dynf_tag, 300, TCPIP_HELD_MAX - 300},  // replaced
      {rdv_tag, 200, TCPIP_HELD_MAX - 500},
      {dynf_tag, TCPIP_HELD_MAX, 0},           // never below 0
      {dynf_tag, 0, TCPIP_HELD_MAX - 200},
  };
  for (const step& s : steps) {
    TCPIPset_held(l.get(), s.owner, s.bytes);
    EXPECT_EQ(TCPIProom(l.get()), s.room) << s.owner << " " << s.bytes;
  }
  TCPIPset_held(l.get(), rdv_tag, 0);
  // Output the studio does not take counts too.
  std::string reply(1 << 20, 'r');
  int length = static_cast<int>(reply.size());
  TCPIPsend(l.get(), studio.a, reply.data(), &length);
  ASSERT_GT(TCPIPqueued(l.get(), studio.a), 0u);
  EXPECT_EQ(TCPIProom(l.get()), TCPIP_HELD_MAX - TCPIPqueued(l.get(), studio.a));

  ASSERT_EQ(::write(tester.b, "x", 1), 1);
  ASSERT_EQ(::write(command.b, "y", 1), 1);
  TCPIPhold_input(l.get(), dynf_tag, true);
  std::vector<int> ready;
  TCPIPwait(l.get(), ready, 1000);
  EXPECT_EQ(ready, std::vector<int>{command.a});
  TCPIPhold_input(l.get(), dynf_tag, false);
  ready.clear();
  TCPIPwait(l.get(), ready, 1000);
  EXPECT_NE(std::find(ready.begin(), ready.end(), tester.a), ready.end());
  TCPIPset_session(l.get(), -1);
}

}  // namespace
