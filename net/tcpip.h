// tcpip: the only place where the agent touches sockets. Socket values are
// plain ints (-1: no socket; on Windows a Winsock SOCKET, whose value keeps 32
// significant bits); every operation finds its state in the context. No
// system type appears here: the layer builds on POSIX sockets and on Winsock.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "support/ctxagt.h"
#include "support/kvwstr.h"

constexpr int TCPIP_WATCH_MAX = 1024;      // bound of the watched set
constexpr int TCPIP_RECV_AREA = 2200;      // receive area of TCPIPrecv_append
constexpr int TCPIP_RECV_CHUNK = TCPIP_RECV_AREA - 1;
// Text the studio may send ahead while a command holds the command stream
// (GETF, PUTF, TRWA): beyond it the connection ends as after an over-long line.
constexpr int TCPIP_GUARD_PENDING_MAX = 1 << 20;
// System send buffer of the tester connections (rendezvous, dynamic follow).
constexpr int TCPIP_TESTER_SNDBUF = 64 * 1024;
// Everything a connection holds on its studio's behalf, counted together:
// the studio's output queue (replies, relayed lines, notifications) and what
// the channels keep for it (the unfinished lines of every tester). A tester
// is read only while the room left is at least TCPIP_RELAY_MAX, the most one
// receive of TCPIP_RECV_CHUNK bytes can add (empty lines, each relayed as a
// line of its own); otherwise its input waits in the system, and the tester's
// sending stalls until the studio reads.
constexpr std::size_t TCPIP_HELD_MAX = 4u << 20;
constexpr std::size_t TCPIP_RELAY_MAX = 64u << 10;

// Who registered a watched descriptor. A ready descriptor goes only to the
// owner that registered it, in the generation it was registered in.
enum tcpip_owner {
  TCPIP_OWNER_OTHER = 0,  // daemon listener, tests
  TCPIP_OWNER_COMMAND = 1,
  TCPIP_OWNER_RDV = 2,
  TCPIP_OWNER_DYNF = 3,
};

// Which peers a side port takes (the others are closed and logged).
enum class tcpip_accept_rule {
  any,
  studio_host,          // the studio's host only (data and trace ports)
  machine_or_studio,    // this machine or the studio's host (tester ports)
};

// Address family of wildcard addresses and of new address records, set by
// every TCPIPinit (the last call decides).
extern int tcpip_family;

// A resolved address: the system's socket address in `addr`, `addrlen`
// bytes of it (the room of the system's sockaddr_storage).
struct tcpip_addr {
  int family;
  int socktype;
  int protocol;
  int addrlen;
  alignas(8) unsigned char addr[128];
};

// mode 1: IPv4 only; 0: IPv6 dual-stack when available; any other value is a
// connected socket whose peer's family is adopted.
int TCPIPinit(agt_context* context, int mode);
int TCPIPterm(agt_context* context);
int TCPIPlisten(agt_context* context, const char* host, const char* service, int* port);
int TCPIPconnect(agt_context* context, const char* host, const char* service, int port);
// Accepts one connection, waiting for it. With `host`, the peer's host name
// (numeric when no name is known; IPv4-mapped peers unmapped first) is
// written there. While a guard (the command connection) is set, only peers
// of the studio's host are taken: others are closed and logged, and the
// accept goes on.
int TCPIPaccept_stream(agt_context* context, int listen_socket, int* accepted, std::string* host, int* peer_port);
int TCPIPget_port(agt_context* context, int socket);
// Adds a socket to the watched set; -1 when the set is full.
int TCPIPwatch(agt_context* context, int socket);
// Registers a socket for `owner`: watched, made non-blocking, with an output
// queue. Returns its generation, or -1 when the set is full.
int TCPIPwatch_as(agt_context* context, int socket, int owner);
// Whether `socket`, found in the last wait's ready list, is still the one
// `owner` registered when the wait reported it (not closed and reused since).
bool TCPIPready_for(agt_context* context, int socket, int owner);
// Turns the watching of a registered socket's input on or off.
int TCPIPset_read(agt_context* context, int socket, bool on);
// Holds back (or lets again) the input of every socket of `owner`, whatever
// TCPIPset_read says for each: the wait does not watch it while held.
int TCPIPhold_input(agt_context* context, int owner, bool held);
// Bytes `owner` keeps on the studio's behalf outside any queue (replaces
// what it said before).
int TCPIPset_held(agt_context* context, int owner, std::size_t bytes);
// Room left in TCPIP_HELD_MAX after the guard socket's (the studio's) queue
// and what every owner keeps; 0 when none is left.
std::size_t TCPIProom(agt_context* context);
// Output queued on a registered socket; the total over `owner`'s sockets.
std::size_t TCPIPqueued(agt_context* context, int socket);
std::size_t TCPIPqueued_by(agt_context* context, int owner);
// True once a write to the registered socket failed.
bool TCPIPsend_failed(agt_context* context, int socket);
// Waits at most ms (0: do not wait) for the socket's queue to empty, serving
// the other queues meanwhile; 0 when it emptied.
int TCPIPflush(agt_context* context, int socket, int ms);
// Accepts one connection that is already waiting, without blocking, by the
// rule, for a tester port (its system send buffer is TCPIP_TESTER_SNDBUF). 0: *accepted holds it; 1: nothing to take, or a peer refused by the
// rule (closed and logged); -1: failure.
int TCPIPaccept_ready(agt_context* context, int listen_socket, int* accepted, tcpip_accept_rule rule);
int TCPIPunwatch(agt_context* context, int socket);
int TCPIPclose(agt_context* context, int socket);
int TCPIPdiscard(int socket);
// A connection the agent holds for its programs and never reads or writes
// itself (a trace connection). busy: the system still holds output that the
// peer has not acknowledged; idle: everything written has reached the peer;
// gone: the connection was reset or failed, and nothing more can reach it.
enum class tcpip_held { busy, idle, gone };
tcpip_held TCPIPheld_state(int socket);
// Reads and drops, without waiting, at most `limit` bytes of input that
// nobody is left to read: a socket closed with unread input ends its
// connection with a reset, which may cost the peer output it has not read.
void TCPIPdrop_input(int socket, int limit);
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
// another socket, the layer serves it: its queued output is sent and what the
// studio sends is appended to `pending` (when given). The studio leaving,
// more than TCPIP_GUARD_PENDING_MAX bytes pending, or a stop signal make the
// operation fail, and TCPIPguard_lost reports it. The command connection's
// addresses decide which peers the side ports take.
int TCPIPset_guard(agt_context* context, int socket, kvwstr* pending = nullptr);
// Lets the tester ports take any address (KVS_TESTERS_ANY_HOST=1).
int TCPIPset_testers_any_host(agt_context* context, bool any);
int TCPIPguard_lost(agt_context* context);
// TCP keep-alive (idle 60 s, every 10 s, 6 probes) and a 120 s limit on
// unacknowledged output: a peer that vanished is noticed in about two minutes.
int TCPIPkeep_alive(int socket);
int TCPIPset_nonblocking(int socket);
// Disables Nagle's algorithm on a connected socket.
int TCPIPno_delay(int socket);
// The official (canonical) name of a host as the resolver knows it; -1 when
// the name does not resolve.
int TCPIPofficial_name(const char* host, std::string* official);
// The host name of a connected socket's peer, as TCPIPaccept_stream writes
// it (with the same messages when the look-up fails). 0, or -1 (`host` then
// unchanged).
int TCPIPpeer_host(int socket, std::string* host);
// The command connection set by TCPIPset_guard, or -1 (access control asks
// the system who owns the studio's end of it).
int TCPIPguard_socket(agt_context* context);
