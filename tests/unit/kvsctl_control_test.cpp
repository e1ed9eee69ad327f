// The pure parts of kvsctl's control connection: the socket's name and the
// split of one agent's 661 line between the calls whose programs it names.
#include <gtest/gtest.h>

#include "client/kvsctl/control.h"

namespace {

TEST(KvsctlControlName, KeepsSafeCharactersAndStaysShort) {
  struct row {
    std::string user, host;
    int port;
    std::string name;
  };
  const row rows[] = {
      {"alice", "build-1.example", 7011, "alice@build-1.example:7011"},
      {"bob", "::1", 7011, "bob@::1:7011"},
      {"a/b", "../x", 1, "a_b@.._x:1"},  // no directory can be named
      {"c d", "h\n", 2, "c_d@h_:2"},
  };
  for (const row& r : rows) EXPECT_EQ(kvsctl::control_name(r.user, r.host, r.port), r.name);
  std::string long_host(200, 'h');
  std::string one = kvsctl::control_name("u", long_host, 1);
  std::string two = kvsctl::control_name("u", long_host, 2);
  EXPECT_LE(one.size(), 60u);
  EXPECT_NE(one, two);  // the hash keeps hosts and ports apart
  EXPECT_EQ(one.find('/'), std::string::npos);
}

TEST(KvsctlControlStopped, SplitsAndRebuildsTheAgentsLine) {
  struct row {
    std::string line;
    bool ok;
    std::vector<std::pair<int, int>> pairs;
  };
  const row rows[] = {
      {"661 process stopped : %1 => %1 (%0)", true, {{1, 0}}},
      {"661 process stopped : %2 => %5 (%3), %2 (%-1)", true, {{5, 3}, {2, -1}}},
      {"661 process stopped : %1 => %1 (%0) trailing", false, {}},
      {"661 process stopped : %1 => ", false, {}},
      {"601 wait rendezvous : x", false, {}},
      {"661 process stopped : %1 => %x (%0)", false, {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    std::vector<std::pair<int, int>> pairs;
    EXPECT_EQ(kvsctl::parse_stopped(r.line, pairs), r.ok);
    if (!r.ok) continue;
    EXPECT_EQ(pairs, r.pairs);
    // A call's share reads as the agent's own line, which kvsctl's run parses.
    EXPECT_EQ(kvsctl::stopped_line(pairs), r.line);
    for (const auto& [number, code] : pairs)
      EXPECT_EQ(kvsctl::stopped_exit_code(kvsctl::stopped_line({{number, code}}), number), code);
  }
}

}  // namespace
