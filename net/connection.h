// tcpip_conn: a connection as its owner sees it, whatever carries it. A
// connection type supplies accept, connect, read, write, the setting of its
// read and write handlers, close and the peer's address; the owner never
// touches the socket beneath. Plain sockets are the one type here
// (TCPIPplain_type). A type that must exchange data of its own before the
// owner's (a handshake) keeps the connection in `accepting` or `connecting`,
// arms the socket's read or write side as the exchange asks, and calls the
// ready handler once data can move; input it already holds beyond the socket
// (TCPIPconn_pending) makes the wait report the connection at once.
#pragma once

#include <cstddef>
#include <memory>

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
};

extern const tcpip_conn_type TCPIPplain_type;

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
// Shorthands for the type's operations.
inline long long TCPIPconn_read(tcpip_conn* c, void* b, std::size_t n) { return c->type->read(c, b, n); }
inline long long TCPIPconn_write(tcpip_conn* c, const void* d, std::size_t n) { return c->type->write(c, d, n); }
inline int TCPIPconn_on_read(tcpip_conn* c, tcpip_conn_handler h) { return c->type->set_read_handler(c, h); }
inline int TCPIPconn_on_write(tcpip_conn* c, tcpip_conn_handler h) { return c->type->set_write_handler(c, h); }
