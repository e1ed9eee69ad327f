// The trace relay over the network layer's real registry and wait, with a
// local socket pair standing for the studio's connection: bytes both ways,
// the ends, back-pressure and the mark of delivered output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "modules/tra_relay.h"
#include "tcpip_fixture.h"

namespace {

using tcpip_test::layer;
using tcpip_test::socket_pair;

TEST(TraPipe, KeepsOrderWithinItsBoundAndCountsWhatPassed) {
  tra_pipe pipe(8);
  EXPECT_EQ(pipe.room(), 8U);
  std::memcpy(pipe.space(), "abcde", 5);
  pipe.filled(5);
  pipe.drained(3);
  EXPECT_EQ(pipe.held(), "de");
  // The room is whole again once what waits has moved to the front.
  EXPECT_EQ(pipe.room(), 6U);
  std::memcpy(pipe.space(), "fghijk", 6);
  pipe.filled(6);
  EXPECT_EQ(pipe.room(), 0U);
  EXPECT_EQ(pipe.held(), "defghijk");
  pipe.end_source();
  EXPECT_FALSE(pipe.done());  // ended, but not all passed on
  pipe.drained(8);
  EXPECT_TRUE(pipe.done());
  EXPECT_EQ(pipe.taken(), 11);
  EXPECT_EQ(pipe.passed(), 11);
}

// Every byte value, in a pattern that no shifted copy repeats.
std::string binary(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return data;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// What arrived on a non-blocking descriptor; sets `ended` at its end.
void take(int fd, std::string& into, bool* ended = nullptr) {
  char area[65536];
  for (;;) {
    ssize_t n = ::recv(fd, area, sizeof area, MSG_DONTWAIT);
    if (n > 0) {
      into.append(area, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 && ended != nullptr) *ended = true;
    return;
  }
}

// Writes what the descriptor takes of `data` from `at` on.
void give(int fd, const std::string& data, std::size_t& at) {
  while (at < data.size()) {
    ssize_t n = ::send(fd, data.data() + at, data.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

// A relay between `studio.a` and a pair of its own, started.
struct relay_setup {
  layer net;
  socket_pair studio;
  std::unique_ptr<tra_relay> relay;
  relay_setup() {
    relay = tra_relay::accept(net.get(), TCPIPplain_type, studio.a);
    studio.a = -1;  // the relay's now
    EXPECT_TRUE(relay && relay->studio()->state == tcpip_conn_state::connected);
    EXPECT_EQ(relay->begin(), 0);
    set_nonblocking(studio.b);
  }
  // Turns of the loop (wait, then handlers) until `done` holds; false when
  // it still does not after five seconds.
  bool turn_until(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::vector<int> ready;
      TCPIPwait(net.get(), ready, 10);
      TCPIPdispatch(net.get());
    }
    return true;
  }
};

TEST(TraRelay, CarriesBytesBothWaysExactlyAndEachEnd) {
  relay_setup r;
  // What a program gets; the relay then lets its own copy go, as for a
  // connection no later program may be given.
  const int program = ::dup(r.relay->program_end());
  ASSERT_GE(program, 0);
  set_nonblocking(program);
  const std::string input = binary(1 << 20), output = binary((1 << 20) + 17).substr(17);
  std::string got_input, got_output;
  std::size_t input_at = 0, output_at = 0;
  bool input_ended = false, output_ended = false;
  ASSERT_TRUE(r.turn_until([&] {
    give(r.studio.b, input, input_at);
    give(program, output, output_at);
    take(program, got_input);
    take(r.studio.b, got_output);
    return got_input.size() == input.size() && got_output.size() == output.size();
  }));
  EXPECT_TRUE(got_input == input);
  EXPECT_TRUE(got_output == output);
  EXPECT_FALSE(r.relay->delivered());

  // The studio's end of sending is the programs' end of input.
  ::shutdown(r.studio.b, SHUT_WR);
  ASSERT_TRUE(r.turn_until([&] {
    take(program, got_input, &input_ended);
    return input_ended;
  }));
  // The programs' output ends once every holder of their end has closed it.
  std::size_t tail_at = 0;
  give(program, "tail", tail_at);
  r.relay->close_program_end();
  ::close(program);
  ASSERT_TRUE(r.turn_until([&] {
    take(r.studio.b, got_output, &output_ended);
    return r.relay->delivered() && got_output.size() == output.size() + 4;
  }));
  EXPECT_EQ(got_output.substr(output.size()), "tail");
  EXPECT_FALSE(r.relay->gone());
}

// A studio that does not read holds the programs' output back, bounded;
// the mark taken then is passed only once the studio has read.
TEST(TraRelay, AStudioThatDoesNotReadHoldsTheOutputAndTheMarkWaitsForIt) {
  relay_setup r;
  const int program = r.relay->program_end();
  set_nonblocking(program);
  const std::string output = binary(8 << 20);
  std::size_t at = 0;
  // Everything fills: the pair, the relay's way and the studio's socket.
  for (int quiet = 0; quiet < 20;) {
    const std::size_t before = at;
    give(program, output, at);
    std::vector<int> ready;
    TCPIPwait(r.net.get(), ready, 10);
    TCPIPdispatch(r.net.get());
    quiet = at == before ? quiet + 1 : 0;
  }
  ASSERT_LT(at, output.size());
  const long long mark = r.relay->output_mark();
  EXPECT_EQ(mark, static_cast<long long>(at));
  EXPECT_FALSE(r.relay->output_passed(mark));
  std::string got;
  ASSERT_TRUE(r.turn_until([&] {
    take(r.studio.b, got);
    return r.relay->output_passed(mark);
  }));
  ASSERT_TRUE(r.turn_until([&] {
    take(r.studio.b, got);
    return got.size() >= at;
  }));
  EXPECT_TRUE(got == output.substr(0, at));
}

TEST(TraRelay, AStudioThatIsGoneEndsTheRelay) {
  relay_setup r;
  ::close(r.studio.b);
  r.studio.b = -1;
  std::size_t at = 0;
  give(r.relay->program_end(), "lost\n", at);
  ASSERT_TRUE(r.turn_until([&] { return r.relay->gone(); }));
  // Nothing more is to be waited for.
  EXPECT_TRUE(r.relay->output_passed(r.relay->output_mark()));
}

}  // namespace
