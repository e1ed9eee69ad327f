// Who owns a TCP socket of this machine, by the kernel's socket table (the
// netlink query and /proc/net/tcp{,6}), and configuration files that would
// make a reader wait or read for ever.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/config_file.h"
#include "platform/identity.h"
#include "platform/identity_internal.h"
#include "platform/unique_fd.h"

namespace {

sockaddr_storage address(const char* host, unsigned port) {
  sockaddr_storage a{};
  if (std::strchr(host, ':') != nullptr) {
    auto& six = reinterpret_cast<sockaddr_in6&>(a);
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET6, host, &six.sin6_addr);
  } else {
    auto& four = reinterpret_cast<sockaddr_in&>(a);
    four.sin_family = AF_INET;
    four.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host, &four.sin_addr);
  }
  return a;
}

socklen_t length_of(const sockaddr_storage& a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

unsigned port_of(const sockaddr_storage& a) {
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                       : reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

// A loopback connection: the client's socket and the accepted one.
struct connection {
  unique_fd client, accepted;
  sockaddr_storage client_end{}, server_end{};  // each socket's own address
};

bool connect_pair(const char* listen_on, const char* connect_to, connection* c) {
  sockaddr_storage where = address(listen_on, 0);
  unique_fd listener(::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int off = 0;
  if (where.ss_family == AF_INET6) ::setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  socklen_t length = sizeof where;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&where), length_of(where)) != 0 ||
      ::listen(listener.get(), 1) != 0 || ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&where), &length) != 0)
    return false;
  sockaddr_storage target = address(connect_to, port_of(where));
  c->client.reset(::socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::connect(c->client.get(), reinterpret_cast<sockaddr*>(&target), length_of(target)) != 0) return false;
  c->accepted.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  length = sizeof c->client_end;
  ::getsockname(c->client.get(), reinterpret_cast<sockaddr*>(&c->client_end), &length);
  length = sizeof c->server_end;
  ::getsockname(c->accepted.get(), reinterpret_cast<sockaddr*>(&c->server_end), &length);
  return c->accepted.valid();
}

}  // namespace

TEST(PeerSocketOwner, BothTablesFindTheClientOfEachFamily) {
  struct family_case {
    const char* listen_on;
    const char* connect_to;
  };
  const family_case cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"::1", "::1"},
      {"::", "127.0.0.1"},         // the agent's end is IPv4-mapped, the client's IPv4
      {"::", "::ffff:127.0.0.1"},  // both ends IPv4-mapped IPv6 sockets
  };
  for (const family_case& c : cases) {
    connection pair;
    ASSERT_TRUE(connect_pair(c.listen_on, c.connect_to, &pair)) << c.listen_on << " " << c.connect_to;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    ASSERT_EQ(::getpeername(pair.accepted.get(), reinterpret_cast<sockaddr*>(&peer), &length), 0);
    // Asked with the accepted socket's view of the client's address, mapped or not.
    bool answered = false;
    std::optional<unsigned> by_netlink = PLATsocket_uid_netlink(peer, pair.server_end, &answered);
    EXPECT_EQ(by_netlink.has_value(), answered) << c.connect_to;  // found, or the kernel cannot be asked
    std::optional<unsigned> by_proc = PLATsocket_uid_proc(peer, pair.server_end);
    if (by_netlink) {  // the netlink query may be unavailable
      EXPECT_EQ(*by_netlink, ::geteuid()) << c.connect_to;
    }
    ASSERT_TRUE(by_proc.has_value()) << c.listen_on << " " << c.connect_to;
    EXPECT_EQ(*by_proc, ::geteuid());
    std::optional<plat_socket_owner> owner = PLATpeer_socket_owner(pair.accepted.get());
    ASSERT_TRUE(owner.has_value()) << c.connect_to;
    EXPECT_TRUE(owner->agent_account);
    // A port nobody holds is found in neither table.
    sockaddr_storage nobody = pair.server_end;
    reinterpret_cast<sockaddr_in&>(nobody).sin_port = htons(static_cast<uint16_t>(port_of(peer) == 1 ? 2 : 1));
    EXPECT_FALSE(PLATsocket_uid_netlink(peer, nobody, &answered).has_value()) << c.connect_to;
    if (by_netlink) {
      EXPECT_TRUE(answered) << "a kernel that finds sockets also says when there is none";
    }
    EXPECT_FALSE(PLATsocket_uid_proc(peer, nobody).has_value()) << c.connect_to;
  }
}

TEST(PeerSocketOwner, TableLinesAreReadByAddressPortAndState) {
  const std::string heading =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
  const sockaddr_storage self = address("127.0.0.1", 0x9C04), other = address("127.0.0.1", 0x982B);
  struct table_case {
    std::string line;
    std::optional<unsigned> uid;
  };
  const table_case cases[] = {
      {"   3: 0100007F:9C04 0100007F:982B 01 00000000:00000000 00:00000000 00000000 65534        0 88104 2", 65534},
      {"   3: 0100007F:9C04 0100007F:982B 08 00000000:00000000 00:00000000 00000000  1000        0 88104 2", 1000},
      {"   3: 0100007F:982B 0100007F:9C04 01 00000000:00000000 00:00000000 00000000 65534        0 88104 2", {}},
      {"   3: 0100007F:9C04 0100007F:982C 01 00000000:00000000 00:00000000 00000000 65534        0 88104 2", {}},
      {"   3: 0200007F:9C04 0100007F:982B 01 00000000:00000000 00:00000000 00000000 65534        0 88104 2", {}},
      {"   3: 0100007F:9C04 0100007F:982B 06 00000000:00000000 00:00000000 00000000     0        0 0 2", {}},
      {"   3: 0100007F:9C04 0100007F:982B", {}},
  };
  for (const table_case& c : cases)
    EXPECT_EQ(PLATsocket_uid_in_table(heading + c.line + "\n", false, self, other), c.uid) << c.line;
}

TEST(ConfigFile, WhatWouldBlockOrNeverEndIsRefusedUnread) {
  char pattern[] = "/tmp/kvs-config-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (dir + "/zero").c_str()), 0);
  struct refused_case {
    std::string path;
    std::string why;
  };
  const refused_case cases[] = {
      {dir + "/fifo", "a named pipe"},
      {dir + "/zero", "a character device"},
  };
  for (const refused_case& c : cases) {
    plat_config_file got = PLATread_config_file(c.path.c_str());
    EXPECT_EQ(got.status, plat_config_status::not_regular) << c.path;
    EXPECT_EQ(got.why, c.why);
    EXPECT_TRUE(got.content.empty());
  }
  ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}
