// Sockets and addresses: the layer's start, listening, connecting,
// accepting, peer names and the address comparisons of the side ports.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/tcpip_internal.h"
#include "platform/sockets.h"
#include "support/cstsyst.h"

static_assert(sizeof(sockaddr_storage) <= sizeof(tcpip_addr::addr), "tcpip_addr holds a socket address");

tcpip_state* TCPIPstate(agt_context* context) { return CTXstate<tcpip_state>(context, CTX_SLOT_TCPIP); }

namespace {

// A stream socket that reuses its address; an IPv6 one takes IPv4 connections
// too, unless `v6_only`.
int create_socket(int family, bool v6_only = false) {
  int s = PLATsocket_open(family);
  if (s < 0) {
    CSTprintf("socket failed for family %d\n", family);
    return -1;
  }
  if (PLATsocket_reuse_address(s) != 0) {
    PLATsocket_close(s);
    return -1;
  }
  if (family == AF_INET6) {
    if (PLATsocket_set_int(s, IPPROTO_IPV6, IPV6_V6ONLY, v6_only ? 1 : 0) != 0)
      CSTprintf("ERROR:IPV6_V6ONLY=%d setsockopt failed\n", v6_only ? 1 : 0);
  }
  return s;
}

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

void addresses_of(int socket, sockaddr_storage* peer, sockaddr_storage* local) {
  socklen_t length = sizeof *peer;
  if (PLATsocket_peer(socket, peer, &length) != 0) *peer = sockaddr_storage{};
  length = sizeof *local;
  if (PLATsocket_local(socket, local, &length) != 0) *local = sockaddr_storage{};
}

}  // namespace

int TCPIPinit(agt_context* context, int mode) {
  if (context == nullptr) return -1;
  PLATsocket_start();
  auto state = std::make_unique<tcpip_state>();
  PLATsocket_hold_reserve();
  if (mode == 1) {
    state->family = AF_INET;
  } else if (mode == 0) {
    int probe = PLATsocket_open(AF_INET6);
    state->family = probe < 0 ? AF_INET : AF_INET6;
    if (probe >= 0) PLATsocket_close(probe);
  } else {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    state->family = AF_INET6;
    if (PLATsocket_peer(mode, &peer, &length) == 0 && (peer.ss_family == AF_INET || peer.ss_family == AF_INET6))
      state->family = peer.ss_family;
  }
  state->entries.reserve(16);
  CTXinstall(context, std::move(state), CTX_SLOT_TCPIP);
  return 0;
}

int TCPIPterm(agt_context* context) { return TCPIPstate(context) == nullptr ? -1 : 0; }

int TCPIPset_addr_in(agt_context* context, tcpip_addr* record, const char* host, const char* service, int port) {
  tcpip_state* state = TCPIPstate(context);
  if (record == nullptr) {
    CSTprintf("ERROR:TCPIPset_addr_in sockaddr_in is NULL\n");
    return -1;
  }
  if (state == nullptr) return -1;
  const int family = state->family;
  *record = tcpip_addr{};
  record->family = family;
  record->socktype = SOCK_STREAM;
  if (family == AF_INET) {
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
    CSTprintf("getaddrinfo: Host not found --> %s\n", TCPIPerror_text(rc).c_str());
    return 0;
  }
  // A name may resolve to both families; the entry of the layer's own family
  // is taken when there is one, so that an IPv4-only agent probes IPv4.
  const addrinfo* chosen = list;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == family) {
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
  if (TCPIPstate(context) == nullptr || port == nullptr) return -1;
  tcpip_addr record;
  TCPIPset_addr_in(context, &record, host, service, *port);
  int s = create_socket(record.family);
  if (s < 0) return -1;
  if (PLATsocket_bind(s, record.addr, record.addrlen) != 0) {
    CSTprintf("ERROR:bind  returns -1\n");
    PLATsocket_close(s);
    return -1;
  }
  // Accepts happen when the socket is ready; a connection that went away in
  // between must not leave the accept blocking.
  PLATsocket_set_nonblocking(s, true);
  if (PLATsocket_listen(s) != 0) {
    CSTprintf("ERROR:listen  returns -1\n");
    PLATsocket_close(s);
    return -1;
  }
  *port = TCPIPget_port(context, s);
  return s;
}

bool TCPIPsplit_addresses(std::string_view list, std::vector<std::string>* entries) {
  entries->clear();
  std::size_t at = 0;
  for (;;) {
    std::size_t comma = list.find(',', at);
    std::string_view entry = list.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) entry.remove_prefix(1);
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) entry.remove_suffix(1);
    if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
    // An empty entry is a mistake, never "every address": a list meant to
    // narrow the agent down must not widen it.
    if (entry.empty()) return false;
    entries->emplace_back(entry);
    if (comma == std::string_view::npos) return true;
    at = comma + 1;
  }
}

int TCPIPlisten_addresses(agt_context* context, const char* list, int port, std::vector<tcpip_listen_addr>* out) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr || list == nullptr || out == nullptr) return -1;
  out->clear();
  std::vector<std::string> entries;
  if (!TCPIPsplit_addresses(list, &entries)) {
    CSTprintf("kvsagtd : KVS_LISTEN \"%s\" holds an empty address\n", list);
    return -1;
  }
  const std::string service = std::to_string(port);
  for (const std::string& entry : entries) {
    unsigned char probe[sizeof(in6_addr)];
    const bool ipv6_text = ::inet_pton(AF_INET6, entry.c_str(), probe) == 1;
    if (ipv6_text && state->family == AF_INET) {
      CSTprintf("kvsagtd : cannot listen on %s: an IPv6 address, and the agent listens on IPv4 only\n",
                entry.c_str());
      return -1;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = state->family == AF_INET ? AF_INET : AF_UNSPEC;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    if (ipv6_text || ::inet_pton(AF_INET, entry.c_str(), probe) == 1) hints.ai_flags |= AI_NUMERICHOST;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(entry.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
      CSTprintf("kvsagtd : cannot listen on %s: %s\n", entry.c_str(), TCPIPerror_text(rc).c_str());
      return -1;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
      if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(tcpip_addr::addr)) continue;
      tcpip_listen_addr address;
      address.addr.family = a->ai_family;
      address.addr.socktype = SOCK_STREAM;
      address.addr.protocol = a->ai_protocol;
      address.addr.addrlen = static_cast<int>(a->ai_addrlen);
      std::memcpy(address.addr.addr, a->ai_addr, a->ai_addrlen);
      // A name and an address (or two names) may give the same one: it is
      // listened on once.
      bool seen = false;
      for (const tcpip_listen_addr& other : *out)
        seen = seen || (other.addr.addrlen == address.addr.addrlen &&
                        std::memcmp(other.addr.addr, address.addr.addr, a->ai_addrlen) == 0);
      if (seen) continue;
      char text[NI_MAXHOST];
      if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        std::snprintf(text, sizeof text, "%s", entry.c_str());
      address.text = text;
      out->push_back(std::move(address));
    }
  }
  // A wildcard address takes every address of its family: another one of
  // that family could only fail, as if another agent held it.
  for (const tcpip_listen_addr& wildcard : *out) {
    tcpip_ip ip = ip_of(*reinterpret_cast<const sockaddr_storage*>(wildcard.addr.addr));
    static constexpr unsigned char mapped_any[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
    static constexpr unsigned char any_six[16] = {};
    const bool any = std::memcmp(ip.bytes, wildcard.addr.family == AF_INET ? mapped_any : any_six, 16) == 0;
    if (!any) continue;
    for (const tcpip_listen_addr& other : *out) {
      if (&other == &wildcard || other.addr.family != wildcard.addr.family) continue;
      CSTprintf("kvsagtd : cannot listen on %s: %s already takes every %s address\n", other.text.c_str(),
                wildcard.text.c_str(), wildcard.addr.family == AF_INET ? "IPv4" : "IPv6");
      return -1;
    }
  }
  return 0;
}

int TCPIPlisten_at(agt_context* context, const tcpip_listen_addr& address) {
  if (TCPIPstate(context) == nullptr) return -1;
  int s = create_socket(address.addr.family, true);
  if (s < 0) return -1;
  if (PLATsocket_bind(s, address.addr.addr, address.addr.addrlen) != 0 || PLATsocket_set_nonblocking(s, true) != 0 ||
      PLATsocket_listen(s) != 0) {
    const int error = errno;
    PLATsocket_close(s);
    errno = error;
    return -1;
  }
  return s;
}

int TCPIPconnect(agt_context* context, const char* host, const char* service, int port) {
  if (TCPIPstate(context) == nullptr) return -1;
  tcpip_addr record;
  TCPIPset_addr_in(context, &record, host, service, port);
  int s = create_socket(record.family);
  if (s < 0) return -1;
  int rc;
  do {
    rc = PLATsocket_connect(s, record.addr, record.addrlen);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    PLATsocket_close(s);
    return -1;
  }
  return s;
}

namespace {

// One non-blocking accept; the accepted socket non-blocking too when asked.
// 0, 1 (nothing to take), or -1 (logged).
int accept_one(int listen_socket, bool nonblocking, int* accepted, sockaddr_storage* peer, socklen_t* length) {
  int s;
  do {
    *length = sizeof *peer;
    s = PLATsocket_accept(listen_socket, peer, length, nonblocking);
  } while (s < 0 && errno == EINTR);
  if (s < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) return 1;
    if (errno == EMFILE || errno == ENFILE) PLATsocket_drop_one(listen_socket);
    CSTprintf("ERROR:accept  returns -1\n");
    return -1;
  }
  *accepted = s;
  return 0;
}

}  // namespace

int TCPIPaccept_stream(agt_context* context, int listen_socket, int* accepted, std::string* host, int* peer_port) {
  if (TCPIPstate(context) == nullptr || accepted == nullptr) return -1;
  *accepted = -1;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  int s = -1;
  if (accept_one(listen_socket, false, &s, &peer, &length) != 0) return -1;
  *accepted = s;
  TCPIPno_delay(s);
  if (host != nullptr) {
    int rc = peer_name(peer, length, host);
    if (rc != 0) {
      CSTprintf("TCPIP getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc).c_str());
      length = sizeof peer;
      if (PLATsocket_peer(s, &peer, &length) != 0 || (rc = peer_name(peer, length, host)) != 0)
        CSTprintf("TCPIP getpeername=>getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc).c_str());
    }
  }
  if (peer_port != nullptr) *peer_port = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
  return 0;
}

int TCPIPaccept_ready(agt_context* context, int listen_socket, int* accepted, tcpip_ip* peer, tcpip_ip* local) {
  if (TCPIPstate(context) == nullptr || accepted == nullptr) return -1;
  *accepted = -1;
  sockaddr_storage from{};
  socklen_t length = sizeof from;
  int s = -1;
  int rc = accept_one(listen_socket, true, &s, &from, &length);
  if (rc != 0) return rc;
  TCPIPno_delay(s);
  // `from` is the address accept gave: a connection already reset has no other.
  if (peer != nullptr) *peer = ip_of(from);
  if (local != nullptr) {
    sockaddr_storage ignored{}, own{};
    addresses_of(s, &ignored, &own);
    *local = ip_of(own);
  }
  *accepted = s;
  return 0;
}

int TCPIPget_port(agt_context* context, int socket) {
  if (TCPIPstate(context) == nullptr) return -1;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (PLATsocket_local(socket, &local, &length) != 0) return -1;
  return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

std::string TCPIPerror_text(int code) { return code < 0 ? ::gai_strerror(code) : std::strerror(code); }

int TCPIPkeep_alive(int socket) { return PLATsocket_keep_alive(socket); }

int TCPIPset_nonblocking(int socket) { return PLATsocket_set_nonblocking(socket, true); }

int TCPIPno_delay(int socket) { return PLATsocket_set_int(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

int TCPIPset_send_buffer(int socket, int bytes) { return PLATsocket_set_int(socket, SOL_SOCKET, SO_SNDBUF, bytes); }

int TCPIPofficial_name(const char* host, std::string* official) {
  PLATsocket_start();
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
  int rc = PLATsocket_peer(socket, &peer, &length) == 0 ? peer_name(peer, length, host) : EAI_SYSTEM;
  if (rc == 0) return 0;
  // The same two attempts, and messages, as TCPIPaccept_stream.
  CSTprintf("TCPIP getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc).c_str());
  length = sizeof peer;
  if (PLATsocket_peer(socket, &peer, &length) != 0 || (rc = peer_name(peer, length, host)) != 0) {
    CSTprintf("TCPIP getpeername=>getnameinfo error (%d) %s\n", rc, TCPIPerror_text(rc).c_str());
    return -1;
  }
  return 0;
}

void TCPIPaddresses(int socket, tcpip_ip* peer, tcpip_ip* local) {
  sockaddr_storage p{}, l{};
  addresses_of(socket, &p, &l);
  if (peer != nullptr) *peer = ip_of(p);
  if (local != nullptr) *local = ip_of(l);
}

std::string TCPIPip_text(const tcpip_ip& address) {
  if (!address.known) return "?";
  sockaddr_storage storage{};
  socklen_t length = sizeof(sockaddr_in6);
  static constexpr unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(address.bytes, mapped, sizeof mapped) == 0) {
    auto* four = reinterpret_cast<sockaddr_in*>(&storage);
    four->sin_family = AF_INET;
    std::memcpy(&four->sin_addr, &address.bytes[12], 4);
    length = sizeof(sockaddr_in);
  } else {
    auto* six = reinterpret_cast<sockaddr_in6*>(&storage);
    six->sin6_family = AF_INET6;
    std::memcpy(&six->sin6_addr, address.bytes, 16);
  }
  char text[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) != 0)
    return "?";
  return text;
}

bool TCPIPparse_ip(const char* text, tcpip_ip* out) {
  PLATsocket_start();
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

int TCPIPset_session(agt_context* context, int socket) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  state->session_socket = socket;
  state->session_peer = tcpip_ip{};
  state->session_local = tcpip_ip{};
  state->session_mutual = false;
  state->session_identity.reset();
  state->session_key.clear();
  if (socket >= 0) TCPIPaddresses(socket, &state->session_peer, &state->session_local);
  return 0;
}

void TCPIPset_tls(agt_context* context, plat_tls_server_ptr server) {
  if (tcpip_state* state = TCPIPstate(context)) state->tls_server = std::move(server);
}

bool TCPIPtls(agt_context* context) {
  tcpip_state* state = TCPIPstate(context);
  return state != nullptr && state->tls_server != nullptr;
}

void TCPIPset_session_tls(agt_context* context, bool mutual, std::optional<std::string> identity, std::string key) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return;
  state->session_mutual = mutual;
  state->session_identity = std::move(identity);
  state->session_key = std::move(key);
}

bool TCPIPsession_mutual(agt_context* context) {
  tcpip_state* state = TCPIPstate(context);
  return state != nullptr && state->session_mutual;
}

std::optional<std::string> TCPIPsession_identity(agt_context* context) {
  tcpip_state* state = TCPIPstate(context);
  return state != nullptr ? state->session_identity : std::nullopt;
}

std::string TCPIPsession_key(agt_context* context) {
  tcpip_state* state = TCPIPstate(context);
  return state != nullptr ? state->session_key : std::string();
}

int TCPIPsession_socket(agt_context* context) {
  tcpip_state* state = TCPIPstate(context);
  return state == nullptr ? -1 : state->session_socket;
}

bool TCPIPsession_addresses(agt_context* context, tcpip_ip* peer, tcpip_ip* local) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr || state->session_socket < 0 || !state->session_peer.known) return false;
  *peer = state->session_peer;
  *local = state->session_local;
  return true;
}
