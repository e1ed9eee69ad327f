#include "net/tcpip.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "support/cstsyst.h"

int tcpip_family = AF_INET6;

namespace {

tcpip_state* live_state(agt_context* context) {
  auto* state = CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP);
  if (state == nullptr || state->failed != 0) return nullptr;
  return state;
}

int create_socket(int family) {
  int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    CSTprintf("socket failed for family %d\n", family);
    return -1;
  }
  int one = 1;
  if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    ::close(s);
    return -1;
  }
  if (family == AF_INET6) {
    int zero = 0;
    if (::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) != 0)
      CSTprintf("ERROR:IPV6_V6ONLY=0 setsockopt failed\n");
  }
  return s;
}

// What a blocking operation on `socket` is waiting for, while the guard (the
// command connection) is also watched for its peer going away.
enum class wait_result { ready, guard_lost, failed };

wait_result wait_guarded(tcpip_state* state, int socket, short events) {
  if (state->guard_socket < 0 || state->guard_socket == socket) return wait_result::ready;
  // Replies held back for the ones that followed them go out before the
  // agent blocks: the studio may need them to go on.
  if (state->guard_held != 0) {
    state->guard_held = 0;
    TCPIPno_delay(state->guard_socket);
  }
  pollfd fds[2] = {{socket, events, 0}, {state->guard_socket, POLLRDHUP, 0}};
  for (;;) {
    // A stop signal counts as the studio leaving. The timeout bounds how long
    // a signal that came just before the poll goes unnoticed.
    // Once the studio has gone, only an operation that cannot block goes on.
    int n = ::poll(fds, 2, state->guard_lost != 0 ? 0 : 1000);
    if (PLATstop_requested()) {
      state->guard_lost = 1;
      return wait_result::guard_lost;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return wait_result::failed;
    if ((fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) state->guard_lost = 1;
    // A socket that is ready wins over a studio that has just left: a
    // tester's last words are still read, its last answer still sent.
    if (fds[0].revents != 0) return wait_result::ready;
    if (state->guard_lost != 0) return wait_result::guard_lost;
  }
}

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
  auto state = std::make_unique<tcpip_state>();
  hold_reserve();
  if (mode == 1) {
    tcpip_family = AF_INET;
  } else if (mode == 0) {
    int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
      tcpip_family = AF_INET;
    } else {
      tcpip_family = AF_INET6;
      ::close(probe);
    }
  } else {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    tcpip_family = AF_INET6;
    if (::getpeername(mode, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        (peer.ss_family == AF_INET || peer.ss_family == AF_INET6))
      tcpip_family = peer.ss_family;
  }
  state->watched.reserve(16);
  CTXinstall(context, std::move(state), CTX_SLOT_TCPIP);
  return 0;
}

int TCPIPterm(agt_context* context) { return live_state(context) == nullptr ? -1 : 0; }

int TCPIPset_addr_in(tcpip_addr* record, const char* host, const char* service, int port) {
  if (record == nullptr) {
    CSTprintf("ERROR:TCPIPset_addr_in sockaddr_in is NULL\n");
    return -1;
  }
  *record = tcpip_addr{};
  record->family = tcpip_family;
  record->socktype = SOCK_STREAM;
  if (tcpip_family == AF_INET) {
    auto* four = reinterpret_cast<sockaddr_in*>(&record->addr);
    four->sin_family = AF_INET;
    four->sin_port = htons(static_cast<uint16_t>(port));
    record->addrlen = sizeof(sockaddr_in);
  } else {
    auto* six = reinterpret_cast<sockaddr_in6*>(&record->addr);
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
  std::memcpy(&record->addr, chosen->ai_addr, chosen->ai_addrlen);
  record->addrlen = chosen->ai_addrlen;
  record->family = chosen->ai_family;
  record->socktype = chosen->ai_socktype;
  record->protocol = chosen->ai_protocol;
  ::freeaddrinfo(list);
  return 0;
}

int TCPIPlisten(agt_context* context, const char* host, const char* service, int* port) {
  if (live_state(context) == nullptr || port == nullptr) return -1;
  tcpip_addr record;
  TCPIPset_addr_in(&record, host, service, *port);
  int s = create_socket(record.family);
  if (s < 0) return -1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&record.addr), record.addrlen) != 0) {
    CSTprintf("ERROR:bind  returns -1\n");
    ::close(s);
    return -1;
  }
  if (::listen(s, SOMAXCONN) != 0) {
    CSTprintf("ERROR:listen  returns -1\n");
    ::close(s);
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
    *port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return s;
}

int TCPIPconnect(agt_context* context, const char* host, const char* service, int port) {
  if (live_state(context) == nullptr) return -1;
  tcpip_addr record;
  TCPIPset_addr_in(&record, host, service, port);
  int s = create_socket(record.family);
  if (s < 0) return -1;
  int rc;
  do {
    rc = ::connect(s, reinterpret_cast<sockaddr*>(&record.addr), record.addrlen);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

int TCPIPaccept_stream(agt_context* context, int listen_socket, int* accepted, std::string* host, int* peer_port) {
  tcpip_state* state = live_state(context);
  if (state == nullptr || accepted == nullptr) return -1;
  *accepted = -1;
  if (wait_guarded(state, listen_socket, POLLIN) != wait_result::ready) return -1;
  sockaddr_storage peer{};
  socklen_t length;
  int s;
  do {
    errno = 0;
    length = sizeof peer;
    s = ::accept4(listen_socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR && !PLATstop_requested());
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
      if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
          (rc = peer_name(peer, length, host)) != 0)
        CSTprintf("TCPIP getpeername=>getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc));
    }
  }
  if (peer_port != nullptr) *peer_port = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
  return 0;
}

int TCPIPget_port(agt_context* context, int socket) {
  if (live_state(context) == nullptr) return -1;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

int TCPIPwatch(agt_context* context, int socket) {
  tcpip_state* state = live_state(context);
  if (state == nullptr) return -1;
  if (std::find(state->watched.begin(), state->watched.end(), socket) == state->watched.end()) {
    if (static_cast<int>(state->watched.size()) >= TCPIP_WATCH_MAX) return -1;
    state->watched.push_back(socket);
  }
  if (socket + 1 > state->highest) state->highest = socket + 1;
  return 0;
}

int TCPIPunwatch(agt_context* context, int socket) {
  tcpip_state* state = live_state(context);
  if (state == nullptr) return -1;
  auto it = std::find(state->watched.begin(), state->watched.end(), socket);
  if (it != state->watched.end()) state->watched.erase(it);
  return 0;
}

int TCPIPclose(agt_context* context, int socket) {
  if (TCPIPunwatch(context, socket) != 0) return -1;
  return ::close(socket);
}

int TCPIPdiscard(int socket) { return ::close(socket); }

const char* TCPIPerror_text(int code) {
  static char area[1024];
  const char* text = code < 0 ? ::gai_strerror(code) : std::strerror(code);
  std::snprintf(area, sizeof area, "%s", text);
  return area;
}

int TCPIPrecv(agt_context* context, int socket, void* buffer, int size, int* end) {
  tcpip_state* state = live_state(context);
  if (state == nullptr) return -1;
  ssize_t n;
  if (wait_guarded(state, socket, POLLIN) != wait_result::ready) {
    n = -1;
  } else {
    do {
      errno = 0;
      n = ::recv(socket, buffer, static_cast<std::size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
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

// The send of TCPIPsend and TCPIPsend_more; `more` adds MSG_MORE.
int send_all(agt_context* context, int socket, const void* data, int* length, bool more) {
  tcpip_state* state = live_state(context);
  if (state == nullptr || length == nullptr) return -1;
  int wanted = *length;
  *length = 0;
  if (socket == -1) return 0;
  const char* at = static_cast<const char*>(data);
  bool guarded = state->guard_socket >= 0 && state->guard_socket != socket;
  int sent = 0;
  while (sent < wanted) {
    if (guarded && wait_guarded(state, socket, POLLOUT) != wait_result::ready) return -1;
    errno = 0;
    ssize_t n = ::send(socket, at + sent, static_cast<std::size_t>(wanted - sent),
                       MSG_NOSIGNAL | (guarded ? MSG_DONTWAIT : 0) | (more ? MSG_MORE : 0));
    if (n < 0) {
      if ((errno == EINTR && !PLATstop_requested()) || errno == EAGAIN) continue;
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
  tcpip_state* state = live_state(context);
  if (state == nullptr) return -1;
  if (socket == state->guard_socket) state->guard_held = 0;
  // Setting TCP_NODELAY again sends what is pending at once.
  return TCPIPno_delay(socket);
}

int TCPIPsend_text(agt_context* context, int socket, const kvwstr& text) {
  int length = text.len();
  return TCPIPsend(context, socket, text.c_str(), &length);
}

int TCPIPwait(agt_context* context, std::vector<int>& ready, int ms) {
  tcpip_state* state = live_state(context);
  if (state == nullptr || !ready.empty()) return -1;
  // Rebuilt on every wait from the watched set, in the storage of the last one.
  std::vector<pollfd>& fds = state->poll_set;
  fds.clear();
  for (int s : state->watched) fds.push_back({s, POLLIN, 0});
  if (state->wake_fd >= 0) fds.push_back({state->wake_fd, POLLIN, 0});
  int n = ::poll(fds.data(), fds.size(), ms);
  if (n <= 0) return n < 0 ? -1 : 0;
  if (state->wake_fd >= 0 && fds.back().revents != 0) {
    // One read: a blocking descriptor must not stall the wait, and whatever
    // is left wakes the next wait at once.
    char drain[256];
    if (::read(state->wake_fd, drain, sizeof drain) < 0) {
    }
    fds.pop_back();
  }
  for (const pollfd& p : fds)
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) ready.push_back(p.fd);
  std::sort(ready.begin(), ready.end());
  return static_cast<int>(ready.size());
}

int TCPIPset_wake(agt_context* context, int fd) {
  tcpip_state* state = live_state(context);
  if (state == nullptr) return -1;
  state->wake_fd = fd;
  return 0;
}

int TCPIPset_guard(agt_context* context, int socket) {
  tcpip_state* state = live_state(context);
  if (state == nullptr) return -1;
  state->guard_socket = socket;
  state->guard_lost = 0;
  return 0;
}

int TCPIPguard_lost(agt_context* context) {
  tcpip_state* state = live_state(context);
  return state == nullptr ? 0 : state->guard_lost;
}

int TCPIPno_delay(int socket) {
  int one = 1;
  return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int TCPIPofficial_name(const char* host, std::string* official) {
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
  int rc = ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? peer_name(peer, length, host)
                                                                                     : EAI_SYSTEM;
  if (rc == 0) return 0;
  // The same two attempts, and messages, as TCPIPaccept_stream.
  CSTprintf("TCPIP getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc));
  length = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      (rc = peer_name(peer, length, host)) != 0) {
    CSTprintf("TCPIP getpeername=>getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc));
    return -1;
  }
  return 0;
}
