// KVS_LISTEN: the daemon listens on the addresses it names and on no
// other; an address it cannot use stops it with a message.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

using e2e::kReplyMs;

namespace {

// Whether this machine has ::1 to listen on.
bool has_ipv6_loopback() {
  int s = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(s);
  return ok;
}

e2e::agent_options listen_options(const std::string& addresses) {
  return {.env = {{"KVS_LISTEN", addresses}, {"KVS_ACCEPT_PAUSE_MS", "0"}}};
}

// A daemon started with KVS_LISTEN, stopped at the end of its scope.
struct listening_agent {
  e2e::captured_process process;
  listening_agent(const std::vector<std::string>& args, const std::string& addresses)
      : process(e2e::start_agent(args, listen_options(addresses))) {}
  listening_agent(const listening_agent&) = delete;
  listening_agent& operator=(const listening_agent&) = delete;
  ~listening_agent() {
    if (process.running()) process.kill_now();
  }
};

// A greeting on `host` within the time given.
bool greets(const std::string& host, int port, int timeout_ms) {
  studio::connection c(e2e::connect_local(port, timeout_ms, host));
  return c.valid() && c.read_line(kReplyMs) == "210 hello, please to meet you.";
}

}  // namespace

TEST(Listen, TheDaemonIsReachedOnTheNamedAddressesOnly) {
  const bool six = has_ipv6_loopback();
  struct listen_case {
    std::string addresses;
    bool on_four;
    bool on_six;
  };
  const listen_case cases[] = {
      {"127.0.0.1", true, false},
      {"::1", false, true},
      {" 127.0.0.1 , [::1] ", true, true},
      // The same address twice, once by name, is listened on once.
      {"127.0.0.1,localhost", true, false},
      // Empty: the wildcard, as without the setting.
      {"", true, true},
  };
  for (const listen_case& c : cases) {
    if (!six && c.on_six) continue;
    const int port = e2e::free_port();
    listening_agent agent({std::to_string(port)}, c.addresses);
    // The address it does listen on tells that the daemon is up.
    const std::string up = c.on_four ? "127.0.0.1" : "::1";
    EXPECT_TRUE(greets(up, port, kReplyMs)) << "[" << c.addresses << "] " << agent.process.out();
    // Reached on the other address exactly when it is named.
    if (c.on_four != c.on_six) {
      const std::string other = c.on_four ? "::1" : "127.0.0.1";
      if (six) {
        EXPECT_FALSE(greets(other, port, 200)) << "[" << c.addresses << "]";
      }
    } else {
      EXPECT_TRUE(greets("::1", port, kReplyMs)) << "[" << c.addresses << "]";
    }
  }
}

TEST(Listen, AnAddressThatCannotBeUsedStopsTheDaemonWithAMessage) {
  const int port = e2e::free_port();
  const std::string p = std::to_string(port);
  const std::string unable = "kvsagtd.bin : Fatal error, unable to bind to the port " + p + " -1\n";
  struct refusal_case {
    std::string addresses;
    std::vector<std::string> extra;
    std::string out;
  };
  const refusal_case cases[] = {
      // An address of no interface here (a documentation network).
      {"127.0.0.1,192.0.2.1", {}, "kvsagtd : cannot listen on 192.0.2.1 port " + p + ": Cannot assign requested address\n" + unable},
      {"no-such-host.invalid", {}, "kvsagtd : cannot listen on no-such-host.invalid: "},
      {"127.0.0.1,,::1", {}, "kvsagtd : KVS_LISTEN \"127.0.0.1,,::1\" holds an empty address\n"},
      {",", {}, "kvsagtd : KVS_LISTEN \",\" holds an empty address\n"},
      {"::1", {"-IPv4"}, "kvsagtd : cannot listen on ::1: an IPv6 address, and the agent listens on IPv4 only\n"},
      {"0.0.0.0,127.0.0.1", {}, "kvsagtd : cannot listen on 127.0.0.1: 0.0.0.0 already takes every IPv4 address\n"},
  };
  for (const refusal_case& c : cases) {
    std::vector<std::string> args{p};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    listening_agent agent(args, c.addresses);
    EXPECT_EQ(agent.process.wait_exit(kReplyMs), 1) << c.addresses;
    EXPECT_EQ(agent.process.out().substr(0, c.out.size()), c.out) << c.addresses;
    // Nothing was left listening, on the good address either.
    EXPECT_FALSE(studio::connect_tcp("127.0.0.1", port, 200).valid()) << c.addresses;
  }
}

TEST(Listen, ABusyAddressIsRefusedAndAnotherAddressOfThePortIsNot) {
  const int port = e2e::free_port();
  listening_agent first({std::to_string(port)}, "127.0.0.1");
  ASSERT_TRUE(greets("127.0.0.1", port, kReplyMs));

  listening_agent second({std::to_string(port)}, "127.0.0.1");
  EXPECT_EQ(second.process.wait_exit(kReplyMs), 1);
  EXPECT_EQ(second.process.out(),
            "kvsagtd : The port " + std::to_string(port) + " is already used. An other agent may be running\n");

  // A second daemon on the same port, another address: both serve.
  if (!has_ipv6_loopback()) GTEST_SKIP() << "no ::1 here";
  listening_agent other({std::to_string(port)}, "::1");
  EXPECT_TRUE(greets("::1", port, kReplyMs)) << other.process.out();
  EXPECT_TRUE(greets("127.0.0.1", port, kReplyMs));
  EXPECT_TRUE(other.process.running());
}
