// The comma list of addresses the daemon listens on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/tcpip.h"

TEST(ListenAddresses, EntriesAreTrimmedAndAnEmptyOneIsRefused) {
  struct split_case {
    std::string list;
    bool ok;
    std::vector<std::string> entries;
  };
  const split_case cases[] = {
      {"127.0.0.1", true, {"127.0.0.1"}},
      {" 127.0.0.1 ,\t::1\t", true, {"127.0.0.1", "::1"}},
      {"[::1],[fe80::1%eth0],lab-host", true, {"::1", "fe80::1%eth0", "lab-host"}},
      // Brackets are taken off a whole entry only.
      {"[::1", true, {"[::1"}},
      {"", false, {}},
      {"127.0.0.1,", false, {}},
      {"127.0.0.1, ,::1", false, {}},
      {"[]", false, {}},
  };
  for (const split_case& c : cases) {
    std::vector<std::string> entries;
    EXPECT_EQ(TCPIPsplit_addresses(c.list, &entries), c.ok) << c.list;
    if (c.ok) {
      EXPECT_EQ(entries, c.entries) << c.list;
    }
  }
}
