// tcpip: the network layer of the agent. Socket values are plain ints (-1:
// no socket); every operation finds its state in the context. Three parts:
// sockets and addresses (address.cpp), the registry of watched descriptors
// with the one readiness wait and its dispatch (registry.cpp), and the
// output queues with the receives (queue.cpp). Connections as their owners
// see them are in net/connection.h. The layer knows none of its callers: an
// owner is an opaque tag it compares, nothing more.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tls.h"
#include "support/ctxagt.h"
#include "support/kvwstr.h"

constexpr int TCPIP_WATCH_MAX = 1024;      // bound of the watched set
constexpr int TCPIP_RECV_AREA = 2200;      // receive area of TCPIPrecv_append
constexpr int TCPIP_RECV_CHUNK = TCPIP_RECV_AREA - 1;
// Everything a connection holds on its studio's behalf, counted together:
// the session socket's output queue and what owners keep for it
// (TCPIPset_held). TCPIProom tells what is left.
constexpr std::size_t TCPIP_HELD_MAX = 4u << 20;

// Who registered a descriptor: any address its owner has (a module's
// record, say), compared and never followed. A ready descriptor goes only to
// the owner that registered it, in the generation it was registered in.
using tcpip_owner = const void*;
// A registered descriptor's handler: readable, writable or past its deadline.
using tcpip_handler = void (*)(agt_context* context, int socket, void* data);

// A resolved address: the system's socket address in `addr`, `addrlen`
// bytes of it (the room of the system's sockaddr_storage).
struct tcpip_addr {
  int family;
  int socktype;
  int protocol;
  int addrlen;
  alignas(8) unsigned char addr[128];
};

// An IP address as 16 bytes of IPv6, an IPv4 address in its mapped form;
// `known` is false for an address of another family (or none).
struct tcpip_ip {
  bool known = false;
  unsigned char bytes[16] = {};
};

// Sockets and addresses.
// mode 1: IPv4 only; 0: IPv6 dual-stack when available; any other value is a
// connected socket whose peer's family is adopted. The family decides
// wildcard addresses and new address records of this context.
int TCPIPinit(agt_context* context, int mode);
int TCPIPterm(agt_context* context);
int TCPIPlisten(agt_context* context, const char* host, const char* service, int* port);
// An address the daemon listens on (KVS_LISTEN): the socket address with
// the port, and its numeric text for messages.
struct tcpip_listen_addr {
  tcpip_addr addr{};
  std::string text;
};
// The entries of a comma list of addresses or host names, blanks around
// each removed and an IPv6 address's brackets ("[::1]") too. False when an
// entry is empty.
bool TCPIPsplit_addresses(std::string_view list, std::vector<std::string>* entries);
// Every address the entries of `list` name at `port`, in their order and
// each once: a numeric address is itself, a host name every address it
// resolves to in the layer's family (IPv4 only in the IPv4 mode). -1 after a
// message naming the entry when one is empty or does not resolve.
int TCPIPlisten_addresses(agt_context* context, const char* list, int port, std::vector<tcpip_listen_addr>* out);
// A listening socket on exactly `address` (an IPv6 one takes no IPv4
// connection); -1 with errno set when it cannot be bound.
int TCPIPlisten_at(agt_context* context, const tcpip_listen_addr& address);
// A blocking connect (the daemon's probe of its own port; no connection
// process connects to a peer).
int TCPIPconnect(agt_context* context, const char* host, const char* service, int port);
// Takes one connection waiting on a listening socket the wait found ready,
// without waiting. With `host`, the peer's host name (numeric when no name
// is known; IPv4-mapped peers unmapped first) is written there.
int TCPIPaccept_stream(agt_context* context, int listen_socket, int* accepted, std::string* host, int* peer_port);
// Accepts one connection that is already waiting, non-blocking, without
// waiting. 0: *accepted holds it, with its peer's and its own address when
// asked; 1: nothing to take; -1: failure (logged).
int TCPIPaccept_ready(agt_context* context, int listen_socket, int* accepted, tcpip_ip* peer = nullptr,
                      tcpip_ip* local = nullptr);
int TCPIPget_port(agt_context* context, int socket);
int TCPIPset_addr_in(agt_context* context, tcpip_addr* record, const char* host, const char* service, int port);
std::string TCPIPerror_text(int code);
int TCPIPkeep_alive(int socket);
int TCPIPset_nonblocking(int socket);
// Disables Nagle's algorithm on a connected socket.
int TCPIPno_delay(int socket);
// The system send buffer of a connected socket, in bytes.
int TCPIPset_send_buffer(int socket, int bytes);
// The official (canonical) name of a host as the resolver knows it; -1 when
// the name does not resolve.
int TCPIPofficial_name(const char* host, std::string* official);
// The host name of a connected socket's peer, as TCPIPaccept_stream writes
// it (with the same messages when the look-up fails). 0, or -1 (`host` then
// unchanged).
int TCPIPpeer_host(int socket, std::string* host);
// The peer's and the local address of a connected socket.
void TCPIPaddresses(int socket, tcpip_ip* peer, tcpip_ip* local);
// Numeric text of an address ("10.0.0.7", "::1"), "?" for none.
std::string TCPIPip_text(const tcpip_ip& address);
// The address of numeric text; false when it is none.
bool TCPIPparse_ip(const char* text, tcpip_ip* out);
// A peer is this machine when its address is a loopback one (127.0.0.0/8,
// ::1, their IPv4-mapped forms) or equals the local address of its own
// connection. Two peers are the same host when both are this machine or
// their addresses (unmapped) are equal.
bool TCPIPis_this_machine(const tcpip_ip& peer, const tcpip_ip& local);
bool TCPIPsame_host(const tcpip_ip& a_peer, const tcpip_ip& a_local, const tcpip_ip& b_peer, const tcpip_ip& b_local);

// The session: the connection the process serves (the studio's command
// connection). Its queue counts in TCPIProom, and its addresses are what
// side ports compare their peers with. -1 ends it.
int TCPIPset_session(agt_context* context, int socket);
int TCPIPsession_socket(agt_context* context);
// The session's peer and local addresses; false when there is no session or
// its addresses are unknown (a session that is no socket).
bool TCPIPsession_addresses(agt_context* context, tcpip_ip* peer, tcpip_ip* local);

// TLS. The context's server, which TCPIPtls_type connections are accepted
// on (none: the agent is plain), set once before the session starts.
void TCPIPset_tls(agt_context* context, plat_tls_server_ptr server);
bool TCPIPtls(agt_context* context);
// The session's TLS: set once its handshake has ended, with the studio's
// certificate (`mutual`: the server verified it) as TCPIPconn_peer gives it;
// ended with the session (TCPIPset_session).
void TCPIPset_session_tls(agt_context* context, bool mutual, std::optional<std::string> identity, std::string key);
// Whether the session is over mutual TLS.
bool TCPIPsession_mutual(agt_context* context);
// The identity of the studio's certificate (none: no certificate, or one
// that names none); its public key (empty: none).
std::optional<std::string> TCPIPsession_identity(agt_context* context);
std::string TCPIPsession_key(agt_context* context);

// The registry and the wait.
// Adds a socket to the watched set, as it is (a listening socket of the
// daemon); -1 when the set is full.
int TCPIPwatch(agt_context* context, int socket);
// Registers a socket for `owner`: watched, made non-blocking, with an output
// queue. Returns its generation, or -1 when the set is full.
int TCPIPwatch_as(agt_context* context, int socket, tcpip_owner owner);
// The handlers of a registered socket, ae-style: `on_read` runs when the
// wait finds it readable (or failed), `on_write` when it is writable (it is
// watched for writing only while it has one), both with `data`, from
// TCPIPdispatch. A handler may unwatch or close its own socket.
int TCPIPset_handlers(agt_context* context, int socket, tcpip_handler on_read, tcpip_handler on_write, void* data);
// A deadline `ms` from now (-1: none) for a registered socket: no wait
// sleeps past it, and once it has passed without the socket being ready,
// TCPIPdispatch runs `on_expired`. Set again to push it back.
int TCPIPset_deadline(agt_context* context, int socket, int ms, tcpip_handler on_expired);
// Runs the handlers of the sockets that the last wait found ready (or past
// their deadline), in ascending order of socket, each only while it is still
// the registration the wait reported. Returns how many ran. Sockets without
// handlers are their owners' to serve from the ready list (TCPIPready_for).
int TCPIPdispatch(agt_context* context);
// Whether `socket`, found in the last wait's ready list, is still the one
// `owner` registered when the wait reported it (not closed and reused since).
bool TCPIPready_for(agt_context* context, int socket, tcpip_owner owner);
// Turns the watching of a registered socket's input on or off.
int TCPIPset_read(agt_context* context, int socket, bool on);
// A connection type that cannot go on before the peer's next record (a TLS
// write that waits for input): the socket's input is watched and reported
// whatever TCPIPset_read and held input say, until turned off again.
int TCPIPneed_input(agt_context* context, int socket, bool on);
// Holds back (or lets again) the input of every socket of `owner`, whatever
// TCPIPset_read says for each: the wait does not watch it while held.
int TCPIPhold_input(agt_context* context, tcpip_owner owner, bool held);
// Holds back the input of every socket: the waits then only send what is
// queued (the last replies before a connection closes).
int TCPIPhold_all_input(agt_context* context, bool held);
int TCPIPunwatch(agt_context* context, int socket);
int TCPIPclose(agt_context* context, int socket);
int TCPIPdiscard(int socket);
// Waits at most `ms` (-1: no limit, but never past a deadline) for readable
// watched sockets, sending queued output as sockets take it; fills `ready`
// (which must be empty) with the readable ones in ascending order and
// returns their number. A stop signal or the wake descriptor ends it early.
int TCPIPwait(agt_context* context, std::vector<int>& ready, int ms);
// A descriptor the wait also watches; when readable it is drained and the wait
// returns, without reporting it, so that the caller's turn starts at once.
int TCPIPset_wake(agt_context* context, int fd);

// Queues and receives.
// Bytes `owner` keeps on the studio's behalf outside any queue (replaces
// what it said before).
int TCPIPset_held(agt_context* context, tcpip_owner owner, std::size_t bytes);
// Room left in TCPIP_HELD_MAX after the session socket's queue and what
// every owner keeps; 0 when none is left.
std::size_t TCPIProom(agt_context* context);
// Output queued on a registered socket; the total over `owner`'s sockets.
std::size_t TCPIPqueued(agt_context* context, int socket);
std::size_t TCPIPqueued_by(agt_context* context, tcpip_owner owner);
// True once a write to the registered socket failed.
bool TCPIPsend_failed(agt_context* context, int socket);
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
// One receive, without waiting, of at most `size` bytes from a socket the
// wait found ready. 0 when the peer closed, -1 on failure, nothing there
// included (all set *end to 1).
int TCPIPrecv(agt_context* context, int socket, void* buffer, int size, int* end);
// Whether a receive that returned `received` found nothing there yet, no
// end: a readable TLS socket may bring part of a record, or a record
// without data. The caller waits for the next readiness.
bool TCPIPnothing_yet(int received);
// One receive of at most 2199 bytes appended to `text` as text: a NUL byte
// ends what is appended from the chunk. Returns the bytes received.
int TCPIPrecv_append(agt_context* context, int socket, kvwstr& text, int* end);
// Queues the whole buffer on a registered socket; it leaves as the socket
// takes it, now and in later waits. *length in: bytes to send, out: bytes
// queued. An unregistered socket gets one send of what it takes now.
int TCPIPsend(agt_context* context, int socket, const void* data, int* length);
int TCPIPsend_text(agt_context* context, int socket, const kvwstr& text);
// Queues on a registered socket without sending yet: what more follows at
// once (a burst of replies) leaves with it, in as few segments as it fills.
// It leaves with the next TCPIPsend or TCPIPwrite_queued, or the next wait.
int TCPIPqueue(agt_context* context, int socket, std::string_view data);
// Sends what the socket's queue holds, as far as it takes it now.
int TCPIPwrite_queued(agt_context* context, int socket);
