// The registry of watched descriptors and the side ports' rule on addresses.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "net/tcpip_internal.h"
#include "tcpip_fixture.h"

namespace {

using tcpip_test::layer;
using tcpip_test::socket_pair;

tcpip_ip address(const std::string& text) {
  tcpip_ip a;
  EXPECT_TRUE(TCPIPparse_ip(text.c_str(), &a)) << text;
  return a;
}

TEST(TcpipRule, SidePortsTakeTheStudiosHostAndTesterPortsThisMachineToo) {
  struct row {
    const char* studio_peer;
    const char* studio_local;
    const char* peer;
    const char* local;
    bool data_port;    // studio_host
    bool tester_port;  // machine_or_studio
  };
  const row rows[] = {
      // The studio on this machine: every address of this machine is its host.
      {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1", true, true},
      {"127.0.0.1", "127.0.0.1", "::1", "::1", true, true},
      {"::ffff:127.0.0.1", "::ffff:127.0.0.1", "127.0.0.5", "127.0.0.1", true, true},
      {"127.0.0.1", "127.0.0.1", "10.0.0.7", "10.0.0.7", true, true},
      {"127.0.0.1", "127.0.0.1", "10.0.0.8", "10.0.0.7", false, false},
      // The studio elsewhere: its address, mapped or not, and only it.
      {"10.0.0.8", "10.0.0.7", "10.0.0.8", "10.0.0.7", true, true},
      {"::ffff:10.0.0.8", "::ffff:10.0.0.7", "10.0.0.8", "10.0.0.7", true, true},
      {"10.0.0.8", "10.0.0.7", "::ffff:10.0.0.8", "::ffff:10.0.0.7", true, true},
      {"10.0.0.8", "10.0.0.7", "10.0.0.9", "10.0.0.7", false, false},
      {"10.0.0.8", "10.0.0.7", "127.0.0.1", "127.0.0.1", false, true},
      {"10.0.0.8", "10.0.0.7", "10.0.0.7", "10.0.0.7", false, true},
      {"2001:db8::8", "2001:db8::7", "2001:db8::8", "2001:db8::7", true, true},
      {"2001:db8::8", "2001:db8::7", "2001:db8::9", "2001:db8::7", false, false},
      {"2001:db8::8", "2001:db8::7", "::1", "::1", false, true},
  };
  for (const row& r : rows) {
    tcpip_ip sp = address(r.studio_peer), sl = address(r.studio_local);
    tcpip_ip p = address(r.peer), l = address(r.local);
    EXPECT_EQ(TCPIPpeer_allowed(tcpip_accept_rule::studio_host, true, sp, sl, p, l), r.data_port)
        << r.studio_peer << " / " << r.peer << " on " << r.local;
    EXPECT_EQ(TCPIPpeer_allowed(tcpip_accept_rule::machine_or_studio, true, sp, sl, p, l), r.tester_port)
        << r.studio_peer << " / " << r.peer << " on " << r.local;
    EXPECT_TRUE(TCPIPpeer_allowed(tcpip_accept_rule::any, true, sp, sl, p, l));
  }
}

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
