#include "net/tcpip_internal.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "support/cstsyst.h"

static_assert(sizeof(sockaddr_storage) <= sizeof(tcpip_addr::addr), "tcpip_addr holds a socket address");

// The system's socket calls, in one form for both systems: sockets are ints,
// failures set errno (Winsock's codes mapped to their errno names).
namespace {

enum send_flag { SEND_DONTWAIT = 1, SEND_MORE = 2 };

#ifdef _WIN32
using ssize_t = long long;
// The peer closed: Winsock reports it as POLLHUP only.
constexpr short POLL_PEER_GONE = 0;
#ifndef EAI_ADDRFAMILY
#define EAI_ADDRFAMILY EAI_FAMILY
#endif
#ifndef EAI_SYSTEM
#define EAI_SYSTEM EAI_FAIL
#endif

// Sets errno from the last Winsock failure and returns -1.
int fail() {
  int code = ::WSAGetLastError();
  switch (code) {
    case WSAEWOULDBLOCK: errno = EWOULDBLOCK; break;
    case WSAEINTR: errno = EINTR; break;
    case WSAECONNABORTED: errno = ECONNABORTED; break;
    case WSAECONNRESET: errno = ECONNRESET; break;
    case WSAEMFILE: errno = EMFILE; break;
    case WSAENOBUFS: errno = ENOBUFS; break;
    case WSAEINPROGRESS: errno = EINPROGRESS; break;
    case WSAENOTSOCK: errno = ENOTSOCK; break;
    case WSAEINVAL: errno = EINVAL; break;
    case WSAEADDRINUSE: errno = EADDRINUSE; break;
    case WSAECONNREFUSED: errno = ECONNREFUSED; break;
    default: errno = EIO; break;
  }
  return -1;
}

SOCKET sock(int s) { return static_cast<SOCKET>(static_cast<intptr_t>(s)); }

int from_socket(SOCKET s) {
  if (s == INVALID_SOCKET) return fail();
  return static_cast<int>(s);
}

// Winsock needs starting once per process, before the first call.
void start_winsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

int sys_close(int s) { return ::closesocket(sock(s)) == 0 ? 0 : fail(); }

int sys_set_nonblocking(int s, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(sock(s), FIONBIO, &mode) == 0 ? 0 : fail();
}

// No socket is inheritable: programs started by EXEC must not hold one.
// Sockets are not overlapped, so that one accepted from them can be a
// program's standard handles (the trace connection).
int sys_socket(int family) {
  return from_socket(::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
}

// Exclusive use of the port: Windows' SO_REUSEADDR would let another
// program bind the same port and take connections.
int sys_reuse_address(int s) {
  BOOL one = TRUE;
  return ::setsockopt(sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one) == 0
             ? 0
             : fail();
}

int sys_accept(int listen_socket, sockaddr_storage* peer, socklen_t* length, bool nonblocking) {
  int s = from_socket(::accept(sock(listen_socket), reinterpret_cast<sockaddr*>(peer), length));
  if (s < 0) return -1;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(sock(s)), HANDLE_FLAG_INHERIT, 0);
  // An accepted socket takes the listener's (non-blocking) mode.
  sys_set_nonblocking(s, nonblocking);
  return s;
}

ssize_t sys_send(int s, const void* data, std::size_t size, int flags) {
  // A blocking Winsock socket takes a whole send at once when it has room
  // for some: one that must not block sends a piece the size of a buffer.
  if ((flags & SEND_DONTWAIT) != 0) size = std::min<std::size_t>(size, 64 * 1024);
  int n = ::send(sock(s), static_cast<const char*>(data), static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n == SOCKET_ERROR ? fail() : n;
}

ssize_t sys_recv(int s, void* buffer, std::size_t size, bool) {
  int n = ::recv(sock(s), static_cast<char*>(buffer), static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n == SOCKET_ERROR ? fail() : n;
}

int sys_poll(tcpip_poll* fds, std::size_t count, int ms) {
  thread_local std::vector<WSAPOLLFD> list;
  list.clear();
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].revents = 0;
    if (fds[i].fd < 0) continue;
    WSAPOLLFD entry{};
    entry.fd = sock(fds[i].fd);
    // WSAPoll refuses any request beyond reading and writing.
    entry.events = static_cast<short>(fds[i].events & (POLLRDNORM | POLLRDBAND | POLLWRNORM));
    list.push_back(entry);
  }
  if (list.empty()) {
    if (ms > 0) ::Sleep(static_cast<DWORD>(ms));
    return 0;
  }
  int n = ::WSAPoll(list.data(), static_cast<ULONG>(list.size()), ms);
  if (n == SOCKET_ERROR) return fail();
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i)
    if (fds[i].fd >= 0) fds[i].revents = list[at++].revents;
  return n;
}

// A wake descriptor is a socket here (the read end of a loopback pair).
ssize_t sys_drain(int fd, void* buffer, std::size_t size) { return sys_recv(fd, buffer, size, true); }

void hold_reserve() {}
void drop_one_connection(int) {}

#else
// The peer closed its sending side (a readable socket may still hold data).
constexpr short POLL_PEER_GONE = POLLRDHUP;

void start_winsock() {}

int sys_close(int s) { return ::close(s); }

int sys_set_nonblocking(int s, bool on) {
  int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return -1;
  return ::fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0 ? 0 : -1;
}

int sys_socket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int sys_reuse_address(int s) {
  int one = 1;
  return ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

int sys_accept(int listen_socket, sockaddr_storage* peer, socklen_t* length, bool nonblocking) {
  return ::accept4(listen_socket, reinterpret_cast<sockaddr*>(peer), length,
                   SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0));
}

ssize_t sys_send(int s, const void* data, std::size_t size, int flags) {
  return ::send(s, data, size,
                MSG_NOSIGNAL | ((flags & SEND_DONTWAIT) != 0 ? MSG_DONTWAIT : 0) |
                    ((flags & SEND_MORE) != 0 ? MSG_MORE : 0));
}

ssize_t sys_recv(int s, void* buffer, std::size_t size, bool dontwait) {
  return ::recv(s, buffer, size, dontwait ? MSG_DONTWAIT : 0);
}

static_assert(sizeof(tcpip_poll) == sizeof(pollfd) && offsetof(tcpip_poll, revents) == offsetof(pollfd, revents),
              "a tcpip_poll list is a pollfd list");
int sys_poll(tcpip_poll* fds, std::size_t count, int ms) {
  return ::poll(reinterpret_cast<pollfd*>(fds), count, ms);
}

ssize_t sys_drain(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }

// A descriptor kept in reserve. When the process has no descriptor left, a
// connection waiting in a listening socket's backlog cannot be accepted and
// keeps the socket readable: every wait would return at once and fail again.
// Giving the reserve back lets that connection be taken and closed.
int reserve_fd = -1;

void hold_reserve() {
  if (reserve_fd < 0) reserve_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void drop_one_connection(int listen_socket) {
  if (reserve_fd < 0) return;
  ::close(reserve_fd);
  reserve_fd = -1;
  int dropped = ::accept4(listen_socket, nullptr, nullptr, SOCK_CLOEXEC);
  if (dropped >= 0) ::close(dropped);
  hold_reserve();
}
#endif

// setsockopt with an int value, on both systems.
int set_int_option(int s, int level, int name, int value) {
#ifdef _WIN32
  return ::setsockopt(sock(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0 ? 0 : fail();
#else
  return ::setsockopt(s, level, name, &value, sizeof value);
#endif
}

int sys_getpeername(int s, sockaddr_storage* address, socklen_t* length) {
#ifdef _WIN32
  return ::getpeername(sock(s), reinterpret_cast<sockaddr*>(address), length) == 0 ? 0 : fail();
#else
  return ::getpeername(s, reinterpret_cast<sockaddr*>(address), length);
#endif
}

int sys_getsockname(int s, sockaddr_storage* address, socklen_t* length) {
#ifdef _WIN32
  return ::getsockname(sock(s), reinterpret_cast<sockaddr*>(address), length) == 0 ? 0 : fail();
#else
  return ::getsockname(s, reinterpret_cast<sockaddr*>(address), length);
#endif
}

int sys_bind(int s, const void* address, int length) {
#ifdef _WIN32
  return ::bind(sock(s), static_cast<const sockaddr*>(address), length) == 0 ? 0 : fail();
#else
  return ::bind(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
#endif
}

int sys_listen(int s) {
#ifdef _WIN32
  return ::listen(sock(s), SOMAXCONN) == 0 ? 0 : fail();
#else
  return ::listen(s, SOMAXCONN);
#endif
}

int sys_connect(int s, const void* address, int length) {
#ifdef _WIN32
  return ::connect(sock(s), static_cast<const sockaddr*>(address), length) == 0 ? 0 : fail();
#else
  return ::connect(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
#endif
}

}  // namespace

int tcpip_family = AF_INET6;

namespace {

int create_socket(int family) {
  int s = sys_socket(family);
  if (s < 0) {
    CSTprintf("socket failed for family %d\n", family);
    return -1;
  }
  if (sys_reuse_address(s) != 0) {
    sys_close(s);
    return -1;
  }
  if (family == AF_INET6) {
    if (set_int_option(s, IPPROTO_IPV6, IPV6_V6ONLY, 0) != 0) CSTprintf("ERROR:IPV6_V6ONLY=0 setsockopt failed\n");
  }
  return s;
}

tcpip_entry* find_entry(tcpip_state* state, int socket) {
  for (tcpip_entry& entry : state->entries)
    if (entry.socket == socket) return &entry;
  return nullptr;
}

// A registered socket whose output is queued (registered by an owner).
tcpip_entry* queued_entry(tcpip_state* state, int socket) {
  tcpip_entry* entry = find_entry(state, socket);
  return entry != nullptr && entry->owner != TCPIP_OWNER_OTHER ? entry : nullptr;
}

// Sends what the socket can take now of its queue, without blocking. A
// failing socket loses its queue and is marked, for its owner to find out.
void write_out(tcpip_entry& entry) {
  while (entry.queued() > 0 && !entry.failed) {
    ssize_t n = sys_send(entry.socket, entry.out.data() + entry.out_at, entry.queued(), SEND_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      std::perror("ERROR:send returns -1\n");
      entry.failed = true;
      break;
    }
    entry.out_at += static_cast<std::size_t>(n);
  }
  if (entry.queued() == 0) {
    // Emptied: a large queue gives its memory back.
    if (entry.out.capacity() > (64u << 10))
      std::string().swap(entry.out);
    else
      entry.out.clear();
    entry.out_at = 0;
  } else if (entry.out_at > entry.out.size() / 2) {
    // What has left is dropped from the front once it is most of the queue,
    // so that each byte is moved at most once more.
    entry.out.erase(0, entry.out_at);
    entry.out_at = 0;
  }
}

// Adds the registered sockets that have queued output to a poll list.
void add_writers(tcpip_state* state, std::vector<tcpip_poll>& fds) {
  for (const tcpip_entry& entry : state->entries)
    if (entry.queued() > 0 && !entry.failed) fds.push_back({entry.socket, POLLOUT, 0});
}

// Sends to the writers the poll found writable.
void serve_writers(tcpip_state* state, const std::vector<tcpip_poll>& fds, std::size_t from) {
  for (std::size_t i = from; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    if (tcpip_entry* entry = find_entry(state, fds[i].fd)) write_out(*entry);
  }
}

// What a blocking operation on `socket` is waiting for, while the guard (the
// command connection) is served: its output sent, its input gathered.
enum class wait_result { ready, guard_lost, failed };

// Receives what the studio sent while a command holds the command stream.
void gather_guard(tcpip_state* state) {
  char area[TCPIP_RECV_AREA];
  for (;;) {
    ssize_t n = sys_recv(state->guard_socket, area, TCPIP_RECV_CHUNK, true);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      state->guard_lost = 1;
      return;
    }
    // A NUL byte ends the connection as it does between commands.
    int before = state->guard_text->len();
    state->guard_text->cat(std::string_view(area, static_cast<std::size_t>(n)));
    if (state->guard_text->len() == before) {
      state->guard_lost = 1;
      return;
    }
    if (state->guard_text->len() > TCPIP_GUARD_PENDING_MAX) {
      CSTprintf("kvsagtd : command line longer than %d bytes, connection closed\n", TCPIP_GUARD_PENDING_MAX);
      state->guard_lost = 1;
      return;
    }
  }
}

wait_result wait_guarded(tcpip_state* state, int socket, short events) {
  if (state->guard_socket < 0 || state->guard_socket == socket) return wait_result::ready;
  // Replies held back for the ones that followed them go out before the
  // agent blocks: the studio may need them to go on.
  if (state->guard_held != 0) {
    state->guard_held = 0;
    TCPIPno_delay(state->guard_socket);
  }
  std::vector<tcpip_poll> fds;
  for (;;) {
    if (PLATstop_requested()) {
      state->guard_lost = 1;
      return wait_result::guard_lost;
    }
    fds.clear();
    fds.push_back({socket, events, 0});
    short guard_events = state->guard_text != nullptr ? short(POLLIN) : POLL_PEER_GONE;
    fds.push_back({state->guard_socket, state->guard_lost != 0 ? short(0) : guard_events, 0});
    fds.push_back({PLATstop_fd(), POLLIN, 0});
    add_writers(state, fds);
    // Once the studio has gone, only an operation that cannot block goes on.
    int n = sys_poll(fds.data(), fds.size(), state->guard_lost != 0 ? 0 : 1000);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return wait_result::failed;
    serve_writers(state, fds, 3);
    if (state->guard_lost == 0) {
      if (state->guard_text != nullptr) {
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) gather_guard(state);
      } else if ((fds[1].revents & (POLL_PEER_GONE | POLLHUP | POLLERR | POLLNVAL)) != 0) {
        state->guard_lost = 1;
      }
      if (tcpip_entry* guard = find_entry(state, state->guard_socket); guard != nullptr && guard->failed)
        state->guard_lost = 1;
    }
    // A socket that is ready wins over a studio that has just left: a
    // tester's last words are still read, its last answer still sent.
    if (fds[0].revents != 0) return wait_result::ready;
    if (state->guard_lost != 0) return wait_result::guard_lost;
  }
}

// Numeric text of an address, IPv4-mapped addresses unmapped.
std::string numeric_address(const sockaddr_storage& address);
// The address of a socket address, for the side ports' rule.
tcpip_ip ip_of(const sockaddr_storage& address);

// Writes the name of the peer at `address` into `host`: an IPv4 peer reached
// through a dual-stack socket is looked up by its IPv4 address.
int peer_name(const sockaddr_storage& address, socklen_t length, std::string* host) {
  sockaddr_storage peer = address;
  if (peer.ss_family == AF_INET6) {
    const auto* six = reinterpret_cast<const sockaddr_in6*>(&address);
    if (IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
      sockaddr_in four{};
      four.sin_family = AF_INET;
      four.sin_port = six->sin6_port;
      std::memcpy(&four.sin_addr, &six->sin6_addr.s6_addr[12], 4);
      std::memcpy(&peer, &four, sizeof four);
      length = sizeof four;
    }
  }
  char name[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, name, sizeof name, nullptr, 0, 0);
  if (rc == 0) *host = name;
  return rc;
}

}  // namespace

int TCPIPinit(agt_context* context, int mode) {
  if (context == nullptr) return -1;
  start_winsock();
  auto state = std::make_unique<tcpip_state>();
  hold_reserve();
  if (mode == 1) {
    tcpip_family = AF_INET;
  } else if (mode == 0) {
    int probe = sys_socket(AF_INET6);
    if (probe < 0) {
      tcpip_family = AF_INET;
    } else {
      tcpip_family = AF_INET6;
      sys_close(probe);
    }
  } else {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    tcpip_family = AF_INET6;
    if (sys_getpeername(mode, &peer, &length) == 0 &&
        (peer.ss_family == AF_INET || peer.ss_family == AF_INET6))
      tcpip_family = peer.ss_family;
  }
  state->entries.reserve(16);
  CTXinstall(context, std::move(state), CTX_SLOT_TCPIP);
  return 0;
}

int TCPIPterm(agt_context* context) { return CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP) == nullptr ? -1 : 0; }

int TCPIPset_addr_in(tcpip_addr* record, const char* host, const char* service, int port) {
  if (record == nullptr) {
    CSTprintf("ERROR:TCPIPset_addr_in sockaddr_in is NULL\n");
    return -1;
  }
  *record = tcpip_addr{};
  record->family = tcpip_family;
  record->socktype = SOCK_STREAM;
  if (tcpip_family == AF_INET) {
    auto* four = reinterpret_cast<sockaddr_in*>(record->addr);
    four->sin_family = AF_INET;
    four->sin_port = htons(static_cast<uint16_t>(port));
    record->addrlen = sizeof(sockaddr_in);
  } else {
    auto* six = reinterpret_cast<sockaddr_in6*>(record->addr);
    six->sin6_family = AF_INET6;
    six->sin6_port = htons(static_cast<uint16_t>(port));
    record->addrlen = sizeof(sockaddr_in6);
  }

  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  if (host == nullptr) {
    hints.ai_flags = AI_NUMERICHOST;
  } else {
    unsigned char probe[sizeof(in6_addr)];
    if (::inet_pton(AF_INET, host, probe) == 1) {
      hints.ai_flags = AI_NUMERICHOST;
      hints.ai_family = AF_INET;
      record->family = AF_INET;
    } else if (::inet_pton(AF_INET6, host, probe) == 1) {
      hints.ai_flags = AI_NUMERICHOST;
      hints.ai_family = AF_INET6;
    }
  }

  char port_text[16];
  if (service == nullptr) {
    if (host == nullptr) return 0;
    if (port != 0) {
      std::snprintf(port_text, sizeof port_text, "%d", port);
      service = port_text;
    }
  }

  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(host, service, &hints, &list);
  if (rc == EAI_FAMILY || rc == EAI_ADDRFAMILY) {
    record->family = AF_INET;
    hints.ai_family = AF_INET;
    rc = ::getaddrinfo(host, service, &hints, &list);
  }
  if (rc != 0) {
    CSTprintf("getaddrinfo: Host not found --> %s\n", TCPIPerror_text(rc));
    return 0;
  }
  // A name may resolve to both families; the entry of the layer's own family
  // is taken when there is one, so that an IPv4-only agent probes IPv4.
  const addrinfo* chosen = list;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == tcpip_family) {
      chosen = entry;
      break;
    }
  }
  std::memcpy(record->addr, chosen->ai_addr, chosen->ai_addrlen);
  record->addrlen = static_cast<int>(chosen->ai_addrlen);
  record->family = chosen->ai_family;
  record->socktype = chosen->ai_socktype;
  record->protocol = chosen->ai_protocol;
  ::freeaddrinfo(list);
  return 0;
}

int TCPIPlisten(agt_context* context, const char* host, const char* service, int* port) {
  if (CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP) == nullptr || port == nullptr) return -1;
  tcpip_addr record;
  TCPIPset_addr_in(&record, host, service, *port);
  int s = create_socket(record.family);
  if (s < 0) return -1;
  if (sys_bind(s, record.addr, record.addrlen) != 0) {
    CSTprintf("ERROR:bind  returns -1\n");
    sys_close(s);
    return -1;
  }
  // Accepts happen when the socket is ready; a connection that went away in
  // between must not leave the accept blocking.
  TCPIPset_nonblocking(s);
  if (sys_listen(s) != 0) {
    CSTprintf("ERROR:listen  returns -1\n");
    sys_close(s);
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (sys_getsockname(s, &bound, &length) == 0)
    *port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return s;
}

int TCPIPconnect(agt_context* context, const char* host, const char* service, int port) {
  if (CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP) == nullptr) return -1;
  tcpip_addr record;
  TCPIPset_addr_in(&record, host, service, port);
  int s = create_socket(record.family);
  if (s < 0) return -1;
  int rc;
  do {
    rc = sys_connect(s, record.addr, record.addrlen);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    sys_close(s);
    return -1;
  }
  return s;
}

namespace {

// The accepted socket's own peer and local addresses.
void addresses_of(int socket, sockaddr_storage* peer, sockaddr_storage* local) {
  socklen_t length = sizeof *peer;
  if (sys_getpeername(socket, peer, &length) != 0) *peer = sockaddr_storage{};
  length = sizeof *local;
  if (sys_getsockname(socket, local, &length) != 0) *local = sockaddr_storage{};
}

// Applies a side port's rule to a new connection; a refused one is closed
// and logged with its address.
// `peer` is the address accept gave: a connection already reset has no
// other.
bool admit(tcpip_state* state, int listen_socket, int socket, const sockaddr_storage& peer, tcpip_accept_rule rule) {
  if (rule == tcpip_accept_rule::machine_or_studio && state->testers_any_host) return true;
  sockaddr_storage ignored{}, local{};
  addresses_of(socket, &ignored, &local);
  if (TCPIPpeer_allowed(rule, state->studio_known, state->studio_peer, state->studio_local, ip_of(peer), ip_of(local)))
    return true;
  sockaddr_storage own{};
  socklen_t length = sizeof own;
  int port = sys_getsockname(listen_socket, &own, &length) == 0
                 ? ntohs(reinterpret_cast<sockaddr_in*>(&own)->sin_port)
                 : -1;
  CSTprintf("kvsagtd : connection from %s refused on port %d\n", numeric_address(peer).c_str(), port);
  sys_close(socket);
  return false;
}

// Waits until the listening socket has a connection (or the wait ends).
bool wait_listener(tcpip_state* state, int listen_socket) {
  if (state->guard_socket >= 0) return wait_guarded(state, listen_socket, POLLIN) == wait_result::ready;
  for (;;) {
    tcpip_poll fds[2] = {{listen_socket, POLLIN, 0}, {PLATstop_fd(), POLLIN, 0}};
    int n = sys_poll(fds, 2, 1000);
    if (PLATstop_requested()) return false;
    if (n < 0 && errno != EINTR) return false;
    if (n > 0 && fds[0].revents != 0) return true;
  }
}

}  // namespace

int TCPIPaccept_stream(agt_context* context, int listen_socket, int* accepted, std::string* host, int* peer_port) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr || accepted == nullptr) return -1;
  *accepted = -1;
  sockaddr_storage peer{};
  socklen_t length;
  int s;
  for (;;) {
    if (!wait_listener(state, listen_socket)) return -1;
    errno = 0;
    length = sizeof peer;
    s = sys_accept(listen_socket, &peer, &length, false);
    if (s < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)) {
      if (PLATstop_requested()) break;
      continue;
    }
    if (s < 0) break;
    // Side ports serve the studio only: a connection from another host is
    // not the one the command waits for.
    if (state->guard_socket >= 0 && !admit(state, listen_socket, s, peer, tcpip_accept_rule::studio_host)) continue;
    break;
  }
  *accepted = s;
  if (s < 0) {
    if (errno == EMFILE || errno == ENFILE) drop_one_connection(listen_socket);
    if (!PLATstop_requested()) CSTprintf("ERROR:accept  returns -1\n");
    return -1;
  }
  TCPIPno_delay(s);
  if (host != nullptr) {
    int rc = peer_name(peer, length, host);
    if (rc != 0) {
      CSTprintf("TCPIP getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc));
      length = sizeof peer;
      if (sys_getpeername(s, &peer, &length) != 0 ||
          (rc = peer_name(peer, length, host)) != 0)
        CSTprintf("TCPIP getpeername=>getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc));
    }
  }
  if (peer_port != nullptr) *peer_port = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
  return 0;
}

int TCPIPaccept_ready(agt_context* context, int listen_socket, int* accepted, tcpip_accept_rule rule) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr || accepted == nullptr) return -1;
  *accepted = -1;
  int s;
  sockaddr_storage peer{};
  do {
    socklen_t length = sizeof peer;
    s = sys_accept(listen_socket, &peer, &length, true);
  } while (s < 0 && errno == EINTR && !PLATstop_requested());
  if (s < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) return 1;
    if (errno == EMFILE || errno == ENFILE) drop_one_connection(listen_socket);
    CSTprintf("ERROR:accept  returns -1\n");
    return -1;
  }
  if (!admit(state, listen_socket, s, peer, rule)) return 1;
  TCPIPno_delay(s);
  // Testers get short lines: a small system buffer keeps what a tester that
  // does not read can hold in the kernel small, next to its output queue.
  set_int_option(s, SOL_SOCKET, SO_SNDBUF, TCPIP_TESTER_SNDBUF);
  *accepted = s;
  return 0;
}

int TCPIPget_port(agt_context* context, int socket) {
  if (CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP) == nullptr) return -1;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (sys_getsockname(socket, &local, &length) != 0) return -1;
  return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

namespace {

tcpip_entry* register_socket(tcpip_state* state, int socket, int owner) {
  if (socket < 0) return nullptr;
  tcpip_entry* entry = find_entry(state, socket);
  if (entry == nullptr) {
    if (static_cast<int>(state->entries.size()) >= TCPIP_WATCH_MAX) return nullptr;
    state->entries.push_back(tcpip_entry{});
    entry = &state->entries.back();
    entry->socket = socket;
    entry->owner = owner;
    entry->generation = state->next_generation++;
  }
  if (socket + 1 > state->highest) state->highest = socket + 1;
  return entry;
}

}  // namespace

int TCPIPwatch(agt_context* context, int socket) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  return register_socket(state, socket, TCPIP_OWNER_OTHER) != nullptr ? 0 : -1;
}

int TCPIPwatch_as(agt_context* context, int socket, int owner) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  tcpip_entry* entry = register_socket(state, socket, owner);
  if (entry == nullptr) return -1;
  TCPIPset_nonblocking(socket);
  return static_cast<int>(entry->generation & 0x7fffffff);
}

bool TCPIPready_for(agt_context* context, int socket, int owner) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return false;
  const tcpip_entry* entry = find_entry(state, socket);
  if (entry == nullptr || entry->owner != owner) return false;
  for (const auto& [reported, generation] : state->reported)
    if (reported == socket) return generation == entry->generation;
  return false;
}

int TCPIPset_read(agt_context* context, int socket, bool on) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  tcpip_entry* entry = state == nullptr ? nullptr : find_entry(state, socket);
  if (entry == nullptr) return -1;
  entry->read = on;
  return 0;
}

int TCPIPhold_input(agt_context* context, int owner, bool held) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  std::vector<int>& owners = state->held_owners;
  auto it = std::find(owners.begin(), owners.end(), owner);
  if (held && it == owners.end()) owners.push_back(owner);
  if (!held && it != owners.end()) owners.erase(it);
  return 0;
}

int TCPIPset_held(agt_context* context, int owner, std::size_t bytes) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  for (auto& [who, held] : state->kept)
    if (who == owner) {
      held = bytes;
      return 0;
    }
  state->kept.emplace_back(owner, bytes);
  return 0;
}

std::size_t TCPIProom(agt_context* context) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return 0;
  const tcpip_entry* studio = state->guard_socket >= 0 ? find_entry(state, state->guard_socket) : nullptr;
  std::size_t held = studio != nullptr ? studio->queued() : 0;
  for (const auto& [owner, bytes] : state->kept) held += bytes;
  return held >= TCPIP_HELD_MAX ? 0 : TCPIP_HELD_MAX - held;
}

std::size_t TCPIPqueued(agt_context* context, int socket) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  const tcpip_entry* entry = state == nullptr ? nullptr : find_entry(state, socket);
  return entry == nullptr ? 0 : entry->queued();
}

std::size_t TCPIPqueued_by(agt_context* context, int owner) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  std::size_t total = 0;
  if (state != nullptr)
    for (const tcpip_entry& entry : state->entries)
      if (entry.owner == owner) total += entry.queued();
  return total;
}

bool TCPIPsend_failed(agt_context* context, int socket) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  const tcpip_entry* entry = state == nullptr ? nullptr : find_entry(state, socket);
  return entry != nullptr && entry->failed;
}

int TCPIPflush(agt_context* context, int socket, int ms) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    tcpip_entry* entry = find_entry(state, socket);
    if (entry == nullptr) return 0;
    write_out(*entry);
    if (entry->failed) return -1;
    if (entry->queued() == 0) return 0;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || PLATstop_requested()) return -1;
    tcpip_poll fds[2] = {{socket, POLLOUT, 0}, {PLATstop_fd(), POLLIN, 0}};
    sys_poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
  }
}

int TCPIPunwatch(agt_context* context, int socket) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  auto it = std::find_if(state->entries.begin(), state->entries.end(),
                         [socket](const tcpip_entry& entry) { return entry.socket == socket; });
  if (it != state->entries.end()) {
    // What the socket can still take leaves; the rest is lost with the peer.
    write_out(*it);
    state->entries.erase(it);
  }
  return 0;
}

int TCPIPclose(agt_context* context, int socket) {
  if (TCPIPunwatch(context, socket) != 0 || socket < 0) return -1;
  return sys_close(socket);
}

int TCPIPdiscard(int socket) { return socket < 0 ? -1 : sys_close(socket); }

tcpip_held TCPIPheld_state(int socket) {
  if (socket < 0) return tcpip_held::gone;
  tcpip_poll entry{socket, POLLIN, 0};
  // A hang-up is both directions shut: the agent never shuts its side, so
  // the peer reset the connection. A peer that only closed its sending side
  // (its end of the programs' input) may still read.
  if (sys_poll(&entry, 1, 0) < 0 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return tcpip_held::gone;
#ifdef _WIN32
  // Winsock tells nothing of unacknowledged output; closesocket sends what is
  // left in the background.
  return tcpip_held::idle;
#elif defined(SIOCOUTQ)
  int unsent = 0;
  if (::ioctl(socket, SIOCOUTQ, &unsent) != 0) return tcpip_held::gone;
  return unsent > 0 ? tcpip_held::busy : tcpip_held::idle;
#else
  return tcpip_held::idle;
#endif
}

void TCPIPdrop_input(int socket, int limit) {
  char area[16384];
  for (int dropped = 0; socket >= 0 && dropped < limit;) {
#ifdef _WIN32
    // The socket may be blocking: only what is already there is read.
    u_long waiting = 0;
    if (::ioctlsocket(sock(socket), FIONREAD, &waiting) != 0 || waiting == 0) return;
#endif
    ssize_t n = sys_recv(socket, area, sizeof area, true);
    if (n <= 0) return;
    dropped += static_cast<int>(n);
  }
}

const char* TCPIPerror_text(int code) {
  static char area[1024];
  const char* text = code < 0 ? ::gai_strerror(code) : std::strerror(code);
  std::snprintf(area, sizeof area, "%s", text);
  return area;
}

int TCPIPrecv(agt_context* context, int socket, void* buffer, int size, int* end) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  // A registered socket is read when the wait found it ready, never waited on.
  const bool registered = queued_entry(state, socket) != nullptr;
  ssize_t n;
  for (;;) {
    if (!registered && wait_guarded(state, socket, POLLIN) != wait_result::ready) {
      n = -1;
      break;
    }
    errno = 0;
    n = sys_recv(socket, buffer, static_cast<std::size_t>(size), registered);
    if (n < 0 && errno == EINTR && !PLATstop_requested()) continue;
    if (n < 0 && !registered && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    break;
  }
  if (n <= 0 && end != nullptr) *end = 1;
  return n < 0 ? -1 : static_cast<int>(n);
}

int TCPIPrecv_append(agt_context* context, int socket, kvwstr& text, int* end) {
  char area[TCPIP_RECV_AREA];
  int n = TCPIPrecv(context, socket, area, TCPIP_RECV_CHUNK, end);
  if (n <= 0) return n;
  text.cat(std::string_view(area, static_cast<std::size_t>(n)));  // stops at a NUL
  if (end != nullptr) *end = 0;
  return n;
}

namespace {

// The send of TCPIPsend and TCPIPsend_more; `more` adds MSG_MORE. A
// registered socket gets the data queued: it leaves as the socket takes it,
// now and in later waits.
int send_all(agt_context* context, int socket, const void* data, int* length, bool more) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr || length == nullptr) return -1;
  int wanted = *length;
  *length = 0;
  if (socket == -1) return 0;
  const char* at = static_cast<const char*>(data);
  if (tcpip_entry* entry = queued_entry(state, socket)) {
    if (entry->failed) return -1;
    entry->out.append(at, static_cast<std::size_t>(wanted));
    if (!more) write_out(*entry);
    if (entry->failed) return -1;
    *length = wanted;
    return 0;
  }
  bool guarded = state->guard_socket >= 0 && state->guard_socket != socket;
  int sent = 0;
  while (sent < wanted) {
    if (guarded && wait_guarded(state, socket, POLLOUT) != wait_result::ready) return -1;
    errno = 0;
    ssize_t n = sys_send(socket, at + sent, static_cast<std::size_t>(wanted - sent),
                         (guarded ? SEND_DONTWAIT : 0) | (more ? SEND_MORE : 0));
    if (n < 0) {
      if ((errno == EINTR && !PLATstop_requested()) || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      std::perror("ERROR:send returns -1\n");
      *length = sent;
      return -1;
    }
    sent += static_cast<int>(n);
  }
  *length = sent;
  if (socket == state->guard_socket) state->guard_held = more ? 1 : 0;
  return 0;
}

}  // namespace

int TCPIPsend(agt_context* context, int socket, const void* data, int* length) {
  return send_all(context, socket, data, length, false);
}

int TCPIPsend_more(agt_context* context, int socket, const void* data, int* length) {
  return send_all(context, socket, data, length, true);
}

int TCPIPpush(agt_context* context, int socket) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  if (tcpip_entry* entry = queued_entry(state, socket)) {
    write_out(*entry);
    return entry->failed ? -1 : 0;
  }
  if (socket == state->guard_socket) state->guard_held = 0;
  // Setting TCP_NODELAY again sends what is pending at once.
  return TCPIPno_delay(socket);
}

int TCPIPsend_text(agt_context* context, int socket, const kvwstr& text) {
  int length = text.len();
  return TCPIPsend(context, socket, text.c_str(), &length);
}

int TCPIPwait(agt_context* context, std::vector<int>& ready, int ms) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr || !ready.empty()) return -1;
  state->reported.clear();
  // Rebuilt on every wait from the registry, in the storage of the last one:
  // input where it is wanted, output where some waits.
  std::vector<tcpip_poll>& fds = state->poll_set;
  fds.clear();
  bool failed_waiting = false;
  for (const tcpip_entry& entry : state->entries) {
    const bool held = std::find(state->held_owners.begin(), state->held_owners.end(), entry.owner) !=
                      state->held_owners.end();
    short events = entry.read && !held ? POLLIN : 0;
    if (entry.queued() > 0 && !entry.failed) events |= POLLOUT;
    fds.push_back({entry.socket, events, 0});
    failed_waiting = failed_waiting || entry.failed;
  }
  const std::size_t extra = fds.size();
  if (state->wake_fd >= 0) fds.push_back({state->wake_fd, POLLIN, 0});
  if (PLATstop_fd() >= 0) fds.push_back({PLATstop_fd(), POLLIN, 0});
  // A socket whose write failed is reported at once.
  int n = sys_poll(fds.data(), fds.size(), failed_waiting ? 0 : ms);
  if (n < 0) return -1;
  for (std::size_t i = extra; i < fds.size(); ++i) {
    if (fds[i].fd != state->wake_fd || fds[i].revents == 0) continue;
    // One read: a blocking descriptor must not stall the wait, and whatever
    // is left wakes the next wait at once.
    char drain[256];
    if (sys_drain(state->wake_fd, drain, sizeof drain) < 0) {
    }
  }
  for (std::size_t i = 0; i < extra; ++i) {
    tcpip_entry& entry = state->entries[i];
    if ((fds[i].revents & POLLOUT) != 0) write_out(entry);
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 || entry.failed) {
      ready.push_back(entry.socket);
      state->reported.emplace_back(entry.socket, entry.generation);
    }
  }
  std::sort(ready.begin(), ready.end());
  return static_cast<int>(ready.size());
}

int TCPIPset_wake(agt_context* context, int fd) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  state->wake_fd = fd;
  return 0;
}

int TCPIPset_guard(agt_context* context, int socket, kvwstr* pending) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  state->guard_socket = socket;
  state->guard_text = socket >= 0 ? pending : nullptr;
  state->guard_lost = 0;
  state->studio_known = false;
  if (socket >= 0) {
    sockaddr_storage peer{}, local{};
    addresses_of(socket, &peer, &local);
    state->studio_peer = ip_of(peer);
    state->studio_local = ip_of(local);
    state->studio_known = state->studio_peer.known;
  }
  return 0;
}

int TCPIPset_testers_any_host(agt_context* context, bool any) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr) return -1;
  state->testers_any_host = any;
  return 0;
}

int TCPIPguard_lost(agt_context* context) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  return state == nullptr ? 0 : state->guard_lost;
}

#ifdef _WIN32
// Windows has no limit on unacknowledged output: the keep-alive probes (ten
// of them, Windows' fixed count) notice a vanished peer in about two and a
// half minutes.
int TCPIPkeep_alive(int socket) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = 60000;
  values.keepaliveinterval = 10000;
  DWORD returned = 0;
  if (::WSAIoctl(sock(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) ==
      0)
    return 0;
  // Plain keep-alive, at the system's pace, when the values are refused.
  return set_int_option(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
}
#else
int TCPIPkeep_alive(int socket) {
  int one = 1, idle = 60, interval = 10, count = 6;
  unsigned user_timeout_ms = 120000;
  int rc = ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  rc |= ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  rc |= ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  rc |= ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  rc |= ::setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
  return rc == 0 ? 0 : -1;
}
#endif

int TCPIPset_nonblocking(int socket) { return sys_set_nonblocking(socket, true); }

namespace {

// The address of a socket address as 16 bytes of IPv6, IPv4 mapped; false
// for other families.
bool as_ipv6(const sockaddr_storage& address, in6_addr* out) {
  if (address.ss_family == AF_INET6) {
    *out = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
    return true;
  }
  if (address.ss_family == AF_INET) {
    *out = in6_addr{};
    out->s6_addr[10] = 0xff;
    out->s6_addr[11] = 0xff;
    std::memcpy(&out->s6_addr[12], &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, 4);
    return true;
  }
  return false;
}

tcpip_ip ip_of(const sockaddr_storage& address) {
  tcpip_ip ip;
  in6_addr six{};
  ip.known = as_ipv6(address, &six);
  if (ip.known) std::memcpy(ip.bytes, six.s6_addr, sizeof ip.bytes);
  return ip;
}

// ::1, or 127.0.0.0/8 in its mapped form.
bool is_loopback(const tcpip_ip& address) {
  static constexpr unsigned char one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static constexpr unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(address.bytes, one, sizeof one) == 0) return true;
  return std::memcmp(address.bytes, mapped, sizeof mapped) == 0 && address.bytes[12] == 127;
}

std::string numeric_address(const sockaddr_storage& address) {
  sockaddr_storage unmapped = address;
  socklen_t length = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  in6_addr six{};
  if (as_ipv6(address, &six) && IN6_IS_ADDR_V4MAPPED(&six)) {
    sockaddr_in four{};
    four.sin_family = AF_INET;
    std::memcpy(&four.sin_addr, &six.s6_addr[12], 4);
    unmapped = sockaddr_storage{};
    std::memcpy(&unmapped, &four, sizeof four);
    length = sizeof four;
  }
  char text[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&unmapped), length, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) != 0)
    return "?";
  return text;
}

}  // namespace

bool TCPIPparse_ip(const char* text, tcpip_ip* out) {
  start_winsock();
  sockaddr_storage address{};
  if (::inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr) == 1)
    address.ss_family = AF_INET;
  else if (::inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr) == 1)
    address.ss_family = AF_INET6;
  *out = ip_of(address);
  return out->known;
}

bool TCPIPis_this_machine(const tcpip_ip& peer, const tcpip_ip& local) {
  if (!peer.known) return false;
  if (is_loopback(peer)) return true;
  return local.known && std::memcmp(peer.bytes, local.bytes, sizeof peer.bytes) == 0;
}

bool TCPIPsame_host(const tcpip_ip& a_peer, const tcpip_ip& a_local, const tcpip_ip& b_peer, const tcpip_ip& b_local) {
  if (!a_peer.known || !b_peer.known) return false;
  if (std::memcmp(a_peer.bytes, b_peer.bytes, sizeof a_peer.bytes) == 0) return true;
  return TCPIPis_this_machine(a_peer, a_local) && TCPIPis_this_machine(b_peer, b_local);
}

bool TCPIPpeer_allowed(tcpip_accept_rule rule, bool studio_known, const tcpip_ip& studio_peer,
                       const tcpip_ip& studio_local, const tcpip_ip& peer, const tcpip_ip& local) {
  switch (rule) {
    case tcpip_accept_rule::any:
      return true;
    case tcpip_accept_rule::machine_or_studio:
      if (TCPIPis_this_machine(peer, local)) return true;
      [[fallthrough]];
    case tcpip_accept_rule::studio_host:
      // Without a known studio (a command connection that is no socket)
      // nothing can be compared: only this machine is taken.
      if (!studio_known) return TCPIPis_this_machine(peer, local);
      return TCPIPsame_host(studio_peer, studio_local, peer, local);
  }
  return false;
}

int TCPIPno_delay(int socket) { return set_int_option(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

int TCPIPofficial_name(const char* host, std::string* official) {
  start_winsock();
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (host == nullptr || ::getaddrinfo(host, nullptr, &hints, &list) != 0) return -1;
  *official = list->ai_canonname != nullptr ? list->ai_canonname : host;
  ::freeaddrinfo(list);
  return 0;
}

int TCPIPpeer_host(int socket, std::string* host) {
  if (host == nullptr) return -1;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  int rc = sys_getpeername(socket, &peer, &length) == 0 ? peer_name(peer, length, host) : EAI_SYSTEM;
  if (rc == 0) return 0;
  // The same two attempts, and messages, as TCPIPaccept_stream.
  CSTprintf("TCPIP getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc));
  length = sizeof peer;
  if (sys_getpeername(socket, &peer, &length) != 0 || (rc = peer_name(peer, length, host)) != 0) {
    CSTprintf("TCPIP getpeername=>getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc));
    return -1;
  }
  return 0;
}

int TCPIPguard_socket(agt_context* context) {
  tcpip_state* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  return state == nullptr ? -1 : state->guard_socket;
}
