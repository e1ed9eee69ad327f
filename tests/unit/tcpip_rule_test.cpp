// The side ports' rule on addresses (pure logic, also built for Windows).
#include <gtest/gtest.h>

#include <string>

#include "modules/side_port.h"

namespace {

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
    EXPECT_EQ(SIDEpeer_allowed(side_rule::studio_host, true, sp, sl, p, l), r.data_port)
        << r.studio_peer << " / " << r.peer << " on " << r.local;
    EXPECT_EQ(SIDEpeer_allowed(side_rule::machine_or_studio, true, sp, sl, p, l), r.tester_port)
        << r.studio_peer << " / " << r.peer << " on " << r.local;
    // Without the studio's addresses only this machine is taken.
    EXPECT_EQ(SIDEpeer_allowed(side_rule::studio_host, false, sp, sl, p, l), TCPIPis_this_machine(p, l));
  }
}

}  // namespace
