// The plain-socket connection type: data moves as soon as the socket is
// accepted or connected, and every operation is the socket's own.
#include <cerrno>
#include <memory>

#include "net/connection.h"
#include "net/tcpip_internal.h"
#include "platform/sockets.h"

namespace {

void on_readable(agt_context*, int, void* data) {
  auto* conn = static_cast<tcpip_conn*>(data);
  if (conn->on_read != nullptr) conn->on_read(conn);
}

void on_writable(agt_context*, int, void* data) {
  auto* conn = static_cast<tcpip_conn*>(data);
  if (conn->state == tcpip_conn_state::connecting) {
    // A non-blocking connect has ended: its outcome is the socket's error.
    const int error = PLATsocket_pending_error(conn->socket);
    conn->last_error = error;
    conn->state = error == 0 ? tcpip_conn_state::connected : tcpip_conn_state::failed;
    TCPIPconn_on_write(conn, conn->on_write);
    if (conn->on_ready != nullptr) conn->on_ready(conn);
    return;
  }
  if (conn->on_write != nullptr) conn->on_write(conn);
}

// The registry's handlers follow the connection's: each side is watched
// only while the connection has a handler for it.
void arm(tcpip_conn* conn) {
  const bool writing = conn->on_write != nullptr || conn->state == tcpip_conn_state::connecting;
  TCPIPset_handlers(conn->context, conn->socket, on_readable, writing ? on_writable : nullptr, conn);
  TCPIPset_read(conn->context, conn->socket, conn->on_read != nullptr);
}

int plain_accept(tcpip_conn* conn, tcpip_conn_handler ready) {
  conn->state = tcpip_conn_state::connected;
  conn->on_ready = ready;
  arm(conn);
  if (ready != nullptr) ready(conn);
  return 0;
}

int plain_connect(tcpip_conn* conn, const tcpip_addr& address, tcpip_conn_handler ready) {
  conn->on_ready = ready;
  int rc;
  do {
    rc = PLATsocket_connect(conn->socket, address.addr, address.addrlen);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    conn->state = tcpip_conn_state::connected;
    arm(conn);
    if (ready != nullptr) ready(conn);
    return 0;
  }
  if (errno != EINPROGRESS && errno != EWOULDBLOCK && errno != EAGAIN) {
    conn->last_error = errno;
    conn->state = tcpip_conn_state::failed;
    return -1;
  }
  conn->state = tcpip_conn_state::connecting;
  arm(conn);
  return 0;
}

// One socket call, again after a signal; any failure but "no room or no
// data yet" fails the connection.
template <class Call>
long long plain_io(tcpip_conn* conn, Call call) {
  long long n;
  do {
    n = call();
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    conn->last_error = errno;
    conn->state = tcpip_conn_state::failed;
  }
  return n;
}

long long plain_read(tcpip_conn* conn, void* buffer, std::size_t size) {
  return plain_io(conn, [&] { return PLATsocket_recv(conn->socket, buffer, size); });
}

long long plain_write(tcpip_conn* conn, const void* data, std::size_t size) {
  return plain_io(conn, [&] { return PLATsocket_send(conn->socket, data, size); });
}

int plain_set_read(tcpip_conn* conn, tcpip_conn_handler handler) {
  conn->on_read = handler;
  arm(conn);
  return 0;
}

int plain_set_write(tcpip_conn* conn, tcpip_conn_handler handler) {
  conn->on_write = handler;
  arm(conn);
  return 0;
}

bool plain_pending(const tcpip_conn*) { return false; }

void plain_close(tcpip_conn* conn) {
  if (conn->socket < 0) return;
  TCPIPclose(conn->context, conn->socket);
  conn->socket = -1;
  conn->state = tcpip_conn_state::closed;
}

void plain_addresses(const tcpip_conn* conn, tcpip_ip* peer, tcpip_ip* local) {
  TCPIPaddresses(conn->socket, peer, local);
}

}  // namespace

const tcpip_conn_type TCPIPplain_type = {"plain",        plain_accept,   plain_connect,  plain_read,     plain_write,
                                         plain_set_read, plain_set_write, plain_pending, plain_close, plain_addresses};

void tcpip_conn_closer::operator()(tcpip_conn* conn) const {
  std::unique_ptr<tcpip_conn> owned(conn);
  if (owned && owned->socket >= 0) owned->type->close(owned.get());
}

tcpip_conn_ptr TCPIPconn_new(agt_context* context, const tcpip_conn_type& type, int socket, tcpip_owner owner,
                             void* data) {
  if (TCPIPwatch_as(context, socket, owner) < 0) {
    TCPIPdiscard(socket);
    return nullptr;
  }
  tcpip_conn_ptr conn(std::make_unique<tcpip_conn>().release());
  conn->type = &type;
  conn->context = context;
  conn->socket = socket;
  conn->owner = owner;
  conn->data = data;
  TCPIPset_conn(context, socket, conn.get());
  // Nothing is watched until the owner sets its handlers.
  TCPIPset_read(context, socket, false);
  return conn;
}
