// A studio whose machine vanishes without closing its connection (a pulled
// cable, a power cut) is noticed through keep-alive and the limit on
// unacknowledged output: within about two minutes its connection process
// ends as when the studio leaves. One test, about two minutes long.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

TEST(Vanish, StudioWhoseMachineVanishesIsNoticed) {
  if (!e2e::enter_private_network()) GTEST_SKIP() << "no network namespace here";
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"), "+ +\n");
  e2e::agent_options options;
  options.env["KVS_DIR"] = dir.path();
  options.cwd = dir.path();
  const int port = e2e::free_port();
  e2e::captured_process daemon = e2e::start_agent({std::to_string(port), "-IPv4"}, options);

  studio::socket_fd fd;
  ASSERT_TRUE(e2e::eventually([&] { return (fd = e2e::connect_from_afar(port)).valid(); }, e2e::kReplyMs));
  studio::connection studio(std::move(fd));
  ASSERT_EQ(studio.read_line(e2e::kReplyMs), "210 hello, please to meet you.");
  ASSERT_EQ(studio.command("Qim walter", e2e::kReplyMs), "310 access authorized.");
  ASSERT_EQ(studio.command("EXEC sleep 600", e2e::kReplyMs), "261 child process launched : %1");
  std::vector<pid_t> connections = e2e::connection_processes_of(daemon.pid);
  ASSERT_EQ(connections.size(), 1u);
  const pid_t connection = connections[0];
  std::vector<pid_t> programs;
  ASSERT_TRUE(e2e::eventually([&] { return !(programs = e2e::children_of(connection)).empty(); }));

  ASSERT_TRUE(e2e::vanish_afar());
  EXPECT_TRUE(e2e::eventually([&] { return !e2e::process_alive(connection); }, 200000));
  EXPECT_FALSE(e2e::process_alive(programs[0]));
  daemon.kill_now();
}
