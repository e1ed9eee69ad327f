#include "net/tcpip_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "support/cstsyst.h"

int tcpip_family = AF_INET6;

namespace {

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
    ssize_t n = ::send(entry.socket, entry.out.data() + entry.out_at, entry.queued(), MSG_DONTWAIT | MSG_NOSIGNAL);
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
void add_writers(tcpip_state* state, std::vector<pollfd>& fds) {
  for (const tcpip_entry& entry : state->entries)
    if (entry.queued() > 0 && !entry.failed) fds.push_back({entry.socket, POLLOUT, 0});
}

// Sends to the writers the poll found writable.
void serve_writers(tcpip_state* state, const std::vector<pollfd>& fds, std::size_t from) {
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
    ssize_t n = ::recv(state->guard_socket, area, TCPIP_RECV_CHUNK, MSG_DONTWAIT);
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
  std::vector<pollfd> fds;
  for (;;) {
    if (PLATstop_requested()) {
      state->guard_lost = 1;
      return wait_result::guard_lost;
    }
    fds.clear();
    fds.push_back({socket, events, 0});
    short guard_events = state->guard_text != nullptr ? POLLIN : POLLRDHUP;
    fds.push_back({state->guard_socket, state->guard_lost != 0 ? short(0) : guard_events, 0});
    fds.push_back({PLATstop_fd(), POLLIN, 0});
    add_writers(state, fds);
    // Once the studio has gone, only an operation that cannot block goes on.
    int n = ::poll(fds.data(), fds.size(), state->guard_lost != 0 ? 0 : 1000);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return wait_result::failed;
    serve_writers(state, fds, 3);
    if (state->guard_lost == 0) {
      if (state->guard_text != nullptr) {
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) gather_guard(state);
      } else if ((fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) {
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
  if (CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP) == nullptr || port == nullptr) return -1;
  tcpip_addr record;
  TCPIPset_addr_in(&record, host, service, *port);
  int s = create_socket(record.family);
  if (s < 0) return -1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&record.addr), record.addrlen) != 0) {
    CSTprintf("ERROR:bind  returns -1\n");
    ::close(s);
    return -1;
  }
  // Accepts happen when the socket is ready; a connection that went away in
  // between must not leave the accept blocking.
  TCPIPset_nonblocking(s);
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
  if (CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP) == nullptr) return -1;
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

namespace {

// The accepted socket's own peer and local addresses.
void addresses_of(int socket, sockaddr_storage* peer, sockaddr_storage* local) {
  socklen_t length = sizeof *peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(peer), &length) != 0) *peer = sockaddr_storage{};
  length = sizeof *local;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(local), &length) != 0) *local = sockaddr_storage{};
}

// Applies a side port's rule to a new connection; a refused one is closed
// and logged with its address.
// `peer` is the address accept gave: a connection already reset has no
// other.
bool admit(tcpip_state* state, int listen_socket, int socket, const sockaddr_storage& peer, tcpip_accept_rule rule) {
  if (rule == tcpip_accept_rule::machine_or_studio && state->testers_any_host) return true;
  sockaddr_storage ignored{}, local{};
  addresses_of(socket, &ignored, &local);
  if (TCPIPpeer_allowed(rule, state->studio_known, state->studio_peer, state->studio_local, peer, local))
    return true;
  sockaddr_storage own{};
  socklen_t length = sizeof own;
  int port = ::getsockname(listen_socket, reinterpret_cast<sockaddr*>(&own), &length) == 0
                 ? ntohs(reinterpret_cast<sockaddr_in*>(&own)->sin_port)
                 : -1;
  CSTprintf("kvsagtd : connection from %s refused on port %d\n", numeric_address(peer).c_str(), port);
  ::close(socket);
  return false;
}

// Waits until the listening socket has a connection (or the wait ends).
bool wait_listener(tcpip_state* state, int listen_socket) {
  if (state->guard_socket >= 0) return wait_guarded(state, listen_socket, POLLIN) == wait_result::ready;
  for (;;) {
    pollfd fds[2] = {{listen_socket, POLLIN, 0}, {PLATstop_fd(), POLLIN, 0}};
    int n = ::poll(fds, 2, 1000);
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
    s = ::accept4(listen_socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
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
      if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
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
    s = ::accept4(listen_socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
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
  int buffer = TCPIP_TESTER_SNDBUF;
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  *accepted = s;
  return 0;
}

int TCPIPget_port(agt_context* context, int socket) {
  if (CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP) == nullptr) return -1;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
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
    pollfd fds[2] = {{socket, POLLOUT, 0}, {PLATstop_fd(), POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
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
    n = ::recv(socket, buffer, static_cast<std::size_t>(size), registered ? MSG_DONTWAIT : 0);
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
  std::vector<pollfd>& fds = state->poll_set;
  fds.clear();
  bool failed_waiting = false;
  for (const tcpip_entry& entry : state->entries) {
    short events = entry.read ? POLLIN : 0;
    if (entry.queued() > 0 && !entry.failed) events |= POLLOUT;
    fds.push_back({entry.socket, events, 0});
    failed_waiting = failed_waiting || entry.failed;
  }
  const std::size_t extra = fds.size();
  if (state->wake_fd >= 0) fds.push_back({state->wake_fd, POLLIN, 0});
  if (PLATstop_fd() >= 0) fds.push_back({PLATstop_fd(), POLLIN, 0});
  // A socket whose write failed is reported at once.
  int n = ::poll(fds.data(), fds.size(), failed_waiting ? 0 : ms);
  if (n < 0) return -1;
  for (std::size_t i = extra; i < fds.size(); ++i) {
    if (fds[i].fd != state->wake_fd || fds[i].revents == 0) continue;
    // One read: a blocking descriptor must not stall the wait, and whatever
    // is left wakes the next wait at once.
    char drain[256];
    if (::read(state->wake_fd, drain, sizeof drain) < 0) {
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
    addresses_of(socket, &state->studio_peer, &state->studio_local);
    state->studio_known = state->studio_peer.ss_family == AF_INET || state->studio_peer.ss_family == AF_INET6;
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

int TCPIPset_nonblocking(int socket) {
  int flags = ::fcntl(socket, F_GETFL);
  if (flags < 0) return -1;
  return ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

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

bool is_loopback(const in6_addr& address) {
  if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
  return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
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

bool TCPIPis_this_machine(const sockaddr_storage& peer, const sockaddr_storage& local) {
  in6_addr p{}, l{};
  if (!as_ipv6(peer, &p)) return false;
  if (is_loopback(p)) return true;
  return as_ipv6(local, &l) && std::memcmp(&p, &l, sizeof p) == 0;
}

bool TCPIPsame_host(const sockaddr_storage& a_peer, const sockaddr_storage& a_local, const sockaddr_storage& b_peer,
                    const sockaddr_storage& b_local) {
  in6_addr a{}, b{};
  if (!as_ipv6(a_peer, &a) || !as_ipv6(b_peer, &b)) return false;
  if (std::memcmp(&a, &b, sizeof a) == 0) return true;
  return TCPIPis_this_machine(a_peer, a_local) && TCPIPis_this_machine(b_peer, b_local);
}

bool TCPIPpeer_allowed(tcpip_accept_rule rule, bool studio_known, const sockaddr_storage& studio_peer,
                       const sockaddr_storage& studio_local, const sockaddr_storage& peer,
                       const sockaddr_storage& local) {
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
