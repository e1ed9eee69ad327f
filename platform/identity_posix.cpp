#include "platform/identity.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "platform/config_file.h"
#include "platform/identity_internal.h"
#include "platform/unique_fd.h"

namespace {

std::optional<std::string> name_of(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return std::nullopt;
  return std::string(found->pw_name);
}

}  // namespace

std::optional<std::string> PLATuser_name() { return name_of(::geteuid()); }

std::optional<std::string> PLAThost_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::nullopt;
  return std::string(name);
}

namespace {

// An address of either family as 16 bytes of IPv6 (IPv4 in its mapped form).
struct endpoint {
  unsigned char bytes[16] = {};
  unsigned port = 0;
  bool ipv4 = false;  // an IPv4 address, or an IPv4-mapped one
};

std::optional<endpoint> endpoint_of(const sockaddr_storage& address) {
  endpoint e;
  if (address.ss_family == AF_INET) {
    const auto& four = reinterpret_cast<const sockaddr_in&>(address);
    e.bytes[10] = e.bytes[11] = 0xff;
    std::memcpy(e.bytes + 12, &four.sin_addr, 4);
    e.port = ntohs(four.sin_port);
    e.ipv4 = true;
    return e;
  }
  if (address.ss_family == AF_INET6) {
    const auto& six = reinterpret_cast<const sockaddr_in6&>(address);
    std::memcpy(e.bytes, &six.sin6_addr, 16);
    e.port = ntohs(six.sin6_port);
    e.ipv4 = IN6_IS_ADDR_V4MAPPED(&six.sin6_addr);
    return e;
  }
  return std::nullopt;
}

// The states of a socket that is no longer (or not yet) a process's: its
// uid says nothing about who connected.
constexpr unsigned kTimeWait = 6;
constexpr unsigned kListen = 10;
constexpr unsigned kNewSynRecv = 12;
bool owned_state(unsigned state) { return state != kTimeWait && state != kListen && state != kNewSynRecv; }

// One exact look-up in the kernel's table of `family` sockets.
std::optional<unsigned> netlink_lookup(int netlink, int family, const endpoint& self, const endpoint& other,
                                       bool* answered) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = 1;
  inet_diag_req_v2& request = message.request;
  request.sdiag_family = static_cast<unsigned char>(family);
  request.sdiag_protocol = IPPROTO_TCP;
  request.idiag_states = ~0u;
  request.id.idiag_sport = htons(static_cast<uint16_t>(self.port));
  request.id.idiag_dport = htons(static_cast<uint16_t>(other.port));
  if (family == AF_INET) {
    std::memcpy(request.id.idiag_src, self.bytes + 12, 4);
    std::memcpy(request.id.idiag_dst, other.bytes + 12, 4);
  } else {
    std::memcpy(request.id.idiag_src, self.bytes, 16);
    std::memcpy(request.id.idiag_dst, other.bytes, 16);
  }
  request.id.idiag_cookie[0] = request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(netlink, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return std::nullopt;
  alignas(nlmsghdr) char answer[8192];
  ssize_t got;
  do got = ::recv(netlink, answer, sizeof answer, 0);
  while (got < 0 && errno == EINTR);
  if (got <= 0) return std::nullopt;
  // The answer to an exact request is one message: the socket, or an error.
  const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
  const auto size = static_cast<std::size_t>(got);
  if (size < sizeof(nlmsghdr) || header->nlmsg_len > size) return std::nullopt;
  if (header->nlmsg_type == NLMSG_ERROR) {
    // ENOENT: no such socket. Anything else: the query is not served here.
    if (header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)))
      *answered = *answered || static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error == -ENOENT;
    return std::nullopt;
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) return std::nullopt;
  *answered = true;
  if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  if (!owned_state(found->idiag_state)) return std::nullopt;
  return found->idiag_uid;
}

// Reads one address of a /proc/net/tcp{,6} table ("0100007F:1F90"): 32-bit
// words in the kernel's byte order, then the port.
bool parse_table_address(const std::string& text, bool v6, endpoint* out) {
  const std::size_t words = v6 ? 4 : 1;
  if (text.size() != words * 8 + 5 || text[words * 8] != ':') return false;
  unsigned char bytes[16] = {};
  for (std::size_t w = 0; w < words; ++w) {
    uint32_t word = 0;
    if (std::sscanf(text.substr(w * 8, 8).c_str(), "%8" SCNx32, &word) != 1) return false;
    std::memcpy(bytes + w * 4, &word, 4);
  }
  unsigned port = 0;
  if (std::sscanf(text.c_str() + words * 8 + 1, "%4x", &port) != 1) return false;
  *out = endpoint{};
  if (v6) {
    std::memcpy(out->bytes, bytes, 16);
  } else {
    out->bytes[10] = out->bytes[11] = 0xff;
    std::memcpy(out->bytes + 12, bytes, 4);
  }
  out->port = port;
  return true;
}

bool same(const endpoint& a, const endpoint& b) { return a.port == b.port && std::memcmp(a.bytes, b.bytes, 16) == 0; }

std::optional<std::string> read_small(const char* path) {
  plat_config_file file = PLATread_config_file(path, std::size_t{64} << 20);
  if (file.status != plat_config_status::read) return std::nullopt;
  return std::move(file.content);
}

}  // namespace

std::optional<unsigned> PLATsocket_uid_netlink(const sockaddr_storage& self, const sockaddr_storage& other,
                                               bool* answered) {
  bool ignored = false;
  if (answered == nullptr) answered = &ignored;
  *answered = false;
  std::optional<endpoint> me = endpoint_of(self), peer = endpoint_of(other);
  if (!me || !peer) return std::nullopt;
  unique_fd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink.valid()) return std::nullopt;
  // The kernel answers at once; the bound is for a kernel that does not.
  timeval limit{1, 0};
  ::setsockopt(netlink.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  // An IPv4 connection's end may be an IPv4 socket or a dual-stack IPv6 one.
  if (me->ipv4 && peer->ipv4)
    if (std::optional<unsigned> uid = netlink_lookup(netlink.get(), AF_INET, *me, *peer, answered)) return uid;
  return netlink_lookup(netlink.get(), AF_INET6, *me, *peer, answered);
}

std::optional<unsigned> PLATsocket_uid_in_table(const std::string& table, bool v6, const sockaddr_storage& self,
                                                const sockaddr_storage& other) {
  std::optional<endpoint> me = endpoint_of(self), peer = endpoint_of(other);
  if (!me || !peer) return std::nullopt;
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits;
    unsigned uid = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid)) continue;
    endpoint l, r;
    if (!parse_table_address(local, v6, &l) || !parse_table_address(remote, v6, &r)) continue;
    if (!same(l, *me) || !same(r, *peer)) continue;
    unsigned st = 0;
    if (std::sscanf(state.c_str(), "%x", &st) != 1 || !owned_state(st)) continue;
    return uid;
  }
  return std::nullopt;
}

std::optional<unsigned> PLATsocket_uid_proc(const sockaddr_storage& self, const sockaddr_storage& other) {
  for (bool v6 : {false, true})
    if (std::optional<std::string> table = read_small(v6 ? "/proc/net/tcp6" : "/proc/net/tcp"))
      if (std::optional<unsigned> uid = PLATsocket_uid_in_table(*table, v6, self, other)) return uid;
  return std::nullopt;
}

std::optional<plat_socket_owner> PLATpeer_socket_owner(int socket) {
  sockaddr_storage local{}, peer{};
  socklen_t length = sizeof local;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return std::nullopt;
  length = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return std::nullopt;
  // The peer's socket is the one whose own address is our peer address.
  bool answered = false;
  std::optional<unsigned> uid = PLATsocket_uid_netlink(peer, local, &answered);
  if (!uid && !answered) uid = PLATsocket_uid_proc(peer, local);
  if (!uid) return std::nullopt;
  plat_socket_owner owner;
  owner.agent_account = *uid == ::geteuid();
  owner.account = name_of(*uid).value_or(std::to_string(*uid));
  return owner;
}
