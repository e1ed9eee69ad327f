// The registry's dispatch: which handler of a registered socket one wait
// and TCPIPdispatch run.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/tcpip.h"
#include "tcpip_fixture.h"

namespace {

using tcpip_test::layer;
using tcpip_test::socket_pair;

struct record {
  std::string ran;  // one letter per handler run: r, w, e
  bool close_on_read = false;
};

void on_read(agt_context* context, int socket, void* data) {
  auto* r = static_cast<record*>(data);
  r->ran += 'r';
  if (r->close_on_read) TCPIPunwatch(context, socket);
}
void on_write(agt_context*, int, void* data) { static_cast<record*>(data)->ran += 'w'; }
void on_expired(agt_context*, int, void* data) { static_cast<record*>(data)->ran += 'e'; }

TEST(TcpipDispatch, EachEventRunsItsHandlerOnce) {
  const char tag = 0;
  struct row {
    const char* name;
    bool readable;      // the peer has written
    bool read_handler;
    bool write_handler;  // (a fresh socket is writable)
    int deadline_ms;    // -1: none
    bool held;          // the owner's input held back
    bool close_on_read;
    const char* ran;
  };
  const row rows[] = {
      {"readable", true, true, false, -1, false, false, "r"},
      {"writable", false, false, true, -1, false, false, "w"},
      {"both", true, true, true, -1, false, false, "rw"},
      {"no handler for what came", true, false, false, -1, false, false, ""},
      {"deadline passed", false, true, false, 0, false, false, "e"},
      {"deadline ahead", true, true, false, 60000, false, false, "r"},
      {"input held back", true, true, false, -1, true, false, ""},
      {"closed by its read handler", true, true, true, 0, false, true, "r"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    layer l;
    socket_pair p;
    record seen;
    seen.close_on_read = r.close_on_read;
    ASSERT_GE(TCPIPwatch_as(l.get(), p.a, &tag), 0);
    TCPIPset_handlers(l.get(), p.a, r.read_handler ? on_read : nullptr, r.write_handler ? on_write : nullptr, &seen);
    if (r.deadline_ms >= 0) TCPIPset_deadline(l.get(), p.a, r.deadline_ms, on_expired);
    TCPIPhold_input(l.get(), &tag, r.held);
    if (r.readable) {
      ASSERT_EQ(::write(p.b, "x", 1), 1);
    }
    std::vector<int> ready;
    // Something is always due but the held case, which only times out.
    TCPIPwait(l.get(), ready, r.held ? 20 : 5000);
    TCPIPdispatch(l.get());
    EXPECT_EQ(seen.ran, r.ran);
    // A second dispatch of the same wait runs nothing that has gone.
    if (r.close_on_read) {
      seen.ran.clear();
      TCPIPdispatch(l.get());
      EXPECT_EQ(seen.ran, "");
    }
    TCPIPunwatch(l.get(), p.a);
  }
}

// A wait does not sleep past a deadline, even without a time limit.
TEST(TcpipDispatch, DeadlineEndsAWaitWithoutALimit) {
  const char tag = 0;
  layer l;
  socket_pair p;
  record seen;
  ASSERT_GE(TCPIPwatch_as(l.get(), p.a, &tag), 0);
  TCPIPset_handlers(l.get(), p.a, on_read, nullptr, &seen);
  TCPIPset_deadline(l.get(), p.a, 30, on_expired);
  std::vector<int> ready;
  EXPECT_EQ(TCPIPwait(l.get(), ready, -1), 0);
  TCPIPdispatch(l.get());
  EXPECT_EQ(seen.ran, "e");
  // Run once: the deadline is gone until set again.
  TCPIPset_read(l.get(), p.a, false);
  ready.clear();
  EXPECT_EQ(TCPIPwait(l.get(), ready, 20), 0);
  TCPIPdispatch(l.get());
  EXPECT_EQ(seen.ran, "e");
}

}  // namespace
