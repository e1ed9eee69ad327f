// tcpip_conn: a connection as its owner sees it, whatever carries it. A
// connection type supplies accept, connect, read, write, the setting of its
// read and write handlers, close and the peer's address; the owner never
// touches the socket beneath. Plain sockets are the one type here
// (TCPIPplain_type). A type that must exchange data of its own before the
// owner's (a handshake) keeps the connection in `accepting` or `connecting`,
// arms the socket's read or write side as the exchange asks, and calls the
// ready handler once data can move; input it already holds beyond the socket
// (TCPIPconn_pending) makes the wait report the connection at once.
// TCPIPtls_type carries TLS (connection_tls.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "net/tcpip.h"

enum class tcpip_conn_state { accepting, connecting, connected, closed, failed };

struct tcpip_conn;
// Runs when the connection is ready for data (accepted or connected, or
// failed: see `state`), readable or writable.
using tcpip_conn_handler = void (*)(tcpip_conn* conn);

struct tcpip_conn_type {
  const char* name;
  // Takes over `socket`, just accepted: `ready` runs once the connection can
  // carry data (for plain sockets, before accept returns).
  int (*accept)(tcpip_conn* conn, tcpip_conn_handler ready);
  // Starts a non-blocking connect to `address`; `ready` runs when it has
  // ended, connected or failed.
  int (*connect)(tcpip_conn* conn, const tcpip_addr& address, tcpip_conn_handler ready);
  // What has arrived, at most `size` bytes: >0, 0 at the peer's end, -1 with
  // errno EAGAIN when nothing is there yet, -1 on failure (last_error).
  long long (*read)(tcpip_conn* conn, void* buffer, std::size_t size);
  // What the connection takes now, at most `size` bytes: >=0, or -1 with
  // errno EAGAIN when it takes nothing, -1 on failure (last_error).
  long long (*write)(tcpip_conn* conn, const void* data, std::size_t size);
  // None stops the watching of that side.
  int (*set_read_handler)(tcpip_conn* conn, tcpip_conn_handler handler);
  int (*set_write_handler)(tcpip_conn* conn, tcpip_conn_handler handler);
  // Input held by the type itself, to be read without waiting.
  bool (*pending)(const tcpip_conn* conn);
  void (*close)(tcpip_conn* conn);
  // The peer's and the local address.
  void (*addresses)(const tcpip_conn* conn, tcpip_ip* peer, tcpip_ip* local);
};

// What a connection type keeps for one connection (a TLS session), owned
// by the connection.
struct tcpip_conn_extra {
  virtual ~tcpip_conn_extra() = default;
};

struct tcpip_conn {
  const tcpip_conn_type* type = nullptr;
  agt_context* context = nullptr;
  int socket = -1;
  tcpip_conn_state state = tcpip_conn_state::accepting;
  int last_error = 0;   // errno of the call that failed
  tcpip_owner owner = nullptr;
  void* data = nullptr;  // the owner's
  tcpip_conn_handler on_ready = nullptr;
  tcpip_conn_handler on_read = nullptr;
  tcpip_conn_handler on_write = nullptr;
  std::unique_ptr<tcpip_conn_extra> extra;  // the type's
};

extern const tcpip_conn_type TCPIPplain_type;
// TLS on the context's server (TCPIPset_tls): accept runs the handshake
// without waiting, in `accepting`, and calls `ready` once it has ended
// (`failed`: TCPIPconn_error says why). No connect: the agent connects to
// no TLS peer.
extern const tcpip_conn_type TCPIPtls_type;

// Closes the connection (and unregisters its socket) when its owner lets go.
struct tcpip_conn_closer {
  void operator()(tcpip_conn* conn) const;
};
using tcpip_conn_ptr = std::unique_ptr<tcpip_conn, tcpip_conn_closer>;

// A connection of `type` over `socket` (accepted or to be connected),
// registered for `owner`; none when the watched set is full (the socket is
// then closed).
tcpip_conn_ptr TCPIPconn_new(agt_context* context, const tcpip_conn_type& type, int socket, tcpip_owner owner,
                             void* data);
// Lets go of the connection without closing its socket, which its owner
// closes itself (the command connection); a TLS session sends its end first.
void TCPIPconn_release(tcpip_conn_ptr& conn);
// Why a connection failed, in a few words (empty: unknown).
std::string TCPIPconn_error(const tcpip_conn* conn);
// The certificate a handshaken TLS connection's peer presented: its
// identity (none when it names none by the identity rule) and its public
// key (DER; empty without a certificate). False for a connection of
// another type.
bool TCPIPconn_peer(const tcpip_conn* conn, std::optional<std::string>* identity, std::string* key);
// Shorthands for the type's operations.
inline long long TCPIPconn_read(tcpip_conn* c, void* b, std::size_t n) { return c->type->read(c, b, n); }
inline long long TCPIPconn_write(tcpip_conn* c, const void* d, std::size_t n) { return c->type->write(c, d, n); }
inline int TCPIPconn_on_read(tcpip_conn* c, tcpip_conn_handler h) { return c->type->set_read_handler(c, h); }
inline int TCPIPconn_on_write(tcpip_conn* c, tcpip_conn_handler h) { return c->type->set_write_handler(c, h); }
