// A data connection on which nothing moves ends its transfer with the
// failure reply once the agent's bound on an idle side connection has
// passed; the connection then goes on serving.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/transfer.h"
#include "harness.h"
#include "modules/side_port.h"

namespace {

TEST(Stall, IdleDataConnectionEndsTheTransferAndTheStudioIsServedOn) {
  struct row {
    const char* command;
    const char* failure;
    const char* cause;
  };
  // GETF of a file larger than what the system buffers of both ends hold,
  // its data connection never read; PUTF whose studio connects and sends nothing.
  const row rows[] = {
      {"GETF big", "530 send file failed", "290 last failure : GETF : FSsend_file : Connection timed out : big"},
      {"PUTF quiet", "531 receive file failed",
       "290 last failure : PUTF : FSreceive_file : Connection timed out : quiet"},
  };
  // Both stall at once, in two connections: the test waits the bound once.
  std::vector<std::unique_ptr<e2e::session>> sessions;
  std::vector<studio::socket_fd> data;
  for (const row& r : rows) {
    auto s = e2e::admitted_session();
    e2e::write_file(s->dir().file("big"), std::string(16 << 20, 'b'));
    const int port = studio::reply_number(s->command("PFTP"));
    ASSERT_GT(port, 0) << r.command;
    ASSERT_TRUE(s->studio().send_line(r.command));
    studio::socket_fd connection = studio::connect_data("127.0.0.1", port, e2e::kReplyMs);
    ASSERT_TRUE(connection.valid()) << r.command;
    sessions.push_back(std::move(s));
    data.push_back(std::move(connection));
  }
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    e2e::session& s = *sessions[i];
    EXPECT_EQ(s.read_line(SIDE_IDLE_MS + 15000), rows[i].failure) << rows[i].command;
    EXPECT_TRUE(studio::wait_closed(data[i].get(), e2e::kReplyMs)) << rows[i].command;
    EXPECT_EQ(s.command("XWHY"), rows[i].cause);
    EXPECT_EQ(s.command("HELO"), "210 hello, please to meet you.");
  }
}

}  // namespace
