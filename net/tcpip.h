// tcpip: the only place where the agent touches sockets. Socket values are
// plain ints (-1: no socket); every operation finds its state in the context.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "agent/ctxagt.h"
#include "support/kvwstr.h"

constexpr int TCPIP_WATCH_MAX = 1024;      // bound of the watched set
constexpr int TCPIP_RECV_AREA = 2200;      // receive area of TCPIPrecv_append
constexpr int TCPIP_RECV_CHUNK = TCPIP_RECV_AREA - 1;

struct tcpip_state {
  int failed = 0;
  std::vector<int> watched;  // insertion order, no duplicates
  int highest = 0;           // largest socket ever watched, plus one
  int wake_fd = -1;          // also waited on; wakes the wait without being reported
  int guard_socket = -1;     // blocking operations give up when its peer has gone
  int guard_lost = 0;
  int guard_held = 0;        // the guard socket holds data sent by TCPIPsend_more
  std::vector<pollfd> poll_set;  // the wait's own list, kept between waits
};

// Address family of wildcard addresses and of new address records, set by
// every TCPIPinit (the last call decides).
extern int tcpip_family;

struct tcpip_addr {
  int family;
  int socktype;
  int protocol;
  socklen_t addrlen;
  sockaddr_storage addr;
};

// mode 1: IPv4 only; 0: IPv6 dual-stack when available; any other value is a
// connected socket whose peer's family is adopted.
int TCPIPinit(agt_context* context, int mode);
int TCPIPterm(agt_context* context);
int TCPIPlisten(agt_context* context, const char* host, const char* service, int* port);
int TCPIPconnect(agt_context* context, const char* host, const char* service, int port);
// Accepts one connection. With `host`, the peer's host name (numeric when no
// name is known; IPv4-mapped peers unmapped first) is written there.
int TCPIPaccept_stream(agt_context* context, int listen_socket, int* accepted, std::string* host, int* peer_port);
int TCPIPget_port(agt_context* context, int socket);
// Adds a socket to the watched set; -1 when the set is full.
int TCPIPwatch(agt_context* context, int socket);
int TCPIPunwatch(agt_context* context, int socket);
int TCPIPclose(agt_context* context, int socket);
int TCPIPdiscard(int socket);
int TCPIPset_addr_in(tcpip_addr* record, const char* host, const char* service, int port);
const char* TCPIPerror_text(int code);

// One receive of at most `size` bytes. 0 when the peer closed, -1 on failure
// (both set *end to 1).
int TCPIPrecv(agt_context* context, int socket, void* buffer, int size, int* end);
// One receive of at most 2199 bytes appended to `text` as text: a NUL byte
// ends what is appended from the chunk. Returns the bytes received.
int TCPIPrecv_append(agt_context* context, int socket, kvwstr& text, int* end);
// Sends the whole buffer; *length in: bytes to send, out: bytes sent.
int TCPIPsend(agt_context* context, int socket, const void* data, int* length);
int TCPIPsend_text(agt_context* context, int socket, const kvwstr& text);
// As TCPIPsend, for data that more data follows at once: the system may hold
// it back to leave in one segment with what follows (MSG_MORE). Held data
// leaves with the next TCPIPsend or TCPIPpush on the socket and, on the guard
// socket, before a blocking operation starts waiting on another socket.
int TCPIPsend_more(agt_context* context, int socket, const void* data, int* length);
// Sends at once whatever TCPIPsend_more held back on the socket.
int TCPIPpush(agt_context* context, int socket);
// Waits at most `ms` for readable watched sockets; fills `ready` (which must
// be empty) with them in ascending order and returns their number.
int TCPIPwait(agt_context* context, std::vector<int>& ready, int ms);

// Extensions of this platform.
// A descriptor the wait also watches; when readable it is drained and the wait
// returns, without reporting it, so that the caller's turn starts at once.
int TCPIPset_wake(agt_context* context, int fd);
// The command connection: while a blocking accept, receive or send waits on
// another socket, the layer also watches this socket for its peer going away;
// the operation then fails and TCPIPguard_lost reports it.
int TCPIPset_guard(agt_context* context, int socket);
int TCPIPguard_lost(agt_context* context);
// Disables Nagle's algorithm on a connected socket.
int TCPIPno_delay(int socket);
// The official (canonical) name of a host as the resolver knows it; -1 when
// the name does not resolve.
int TCPIPofficial_name(const char* host, std::string* official);
// The host name of a connected socket's peer, as TCPIPaccept_stream writes
// it (with the same messages when the look-up fails). 0, or -1 (`host` then
// unchanged).
int TCPIPpeer_host(int socket, std::string* host);
