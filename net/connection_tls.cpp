// The TLS connection type, on the context's server (TCPIPset_tls): the
// handshake runs in `accepting` as the socket allows, re-arming the side it
// waits for; then reads and writes go through the session. A read may wait
// for the socket to be writable and a write for it to be readable: each
// side's readiness then runs the other side's handler, whatever the owner
// watches itself.
#include <cerrno>
#include <cstring>
#include <memory>

#include "net/connection.h"
#include "net/tcpip_internal.h"
#include "platform/sockets.h"
#include "platform/tls.h"

namespace {

struct tls_extra : tcpip_conn_extra {
  plat_tls_session_ptr session;
  bool handshake_wants_write = false;
  bool read_wants_write = false;  // the last read waits for the socket to be writable
  bool write_wants_read = false;  // the last write waits for it to be readable
  // The peer ended its sending (close_notify): reads give its end, and
  // writes go on, as on a socket shut one way.
  bool peer_ended = false;
  std::string reason;             // why it failed
};

tls_extra* extra_of(const tcpip_conn* conn) {
  return conn == nullptr ? nullptr : dynamic_cast<tls_extra*>(conn->extra.get());
}

void on_readable(agt_context*, int, void* data);
void on_writable(agt_context*, int, void* data);

// The registry watches what the session and the owner wait for.
void arm(tcpip_conn* conn) {
  tls_extra* x = extra_of(conn);
  if (x == nullptr || conn->socket < 0) return;
  bool reading, writing;
  if (conn->state == tcpip_conn_state::accepting) {
    writing = x->handshake_wants_write;
    reading = !writing;
  } else {
    reading = (conn->on_read != nullptr && !x->read_wants_write) || x->write_wants_read;
    writing = (conn->on_write != nullptr && !x->write_wants_read) || x->read_wants_write;
  }
  TCPIPset_handlers(conn->context, conn->socket, on_readable, writing ? on_writable : nullptr, conn);
  TCPIPset_read(conn->context, conn->socket, reading);
  // A write that waits for the peer's record is served even while its
  // owner holds input back.
  TCPIPneed_input(conn->context, conn->socket, x->write_wants_read);
}

void fail(tcpip_conn* conn, const std::string& reason) {
  tls_extra* x = extra_of(conn);
  if (x != nullptr) x->reason = reason;
  conn->state = tcpip_conn_state::failed;
}

// One step of the handshake; `ready` runs once it has ended either way.
void handshake(tcpip_conn* conn) {
  tls_extra* x = extra_of(conn);
  std::string why;
  switch (PLATtls_handshake(*x->session, &why)) {
    case plat_tls_result::done:
      conn->state = tcpip_conn_state::connected;
      break;
    case plat_tls_result::want_read:
      x->handshake_wants_write = false;
      arm(conn);
      return;
    case plat_tls_result::want_write:
      x->handshake_wants_write = true;
      arm(conn);
      return;
    case plat_tls_result::closed:
    case plat_tls_result::failed:
      fail(conn, why);
      break;
  }
  x->handshake_wants_write = false;
  arm(conn);
  if (conn->on_ready != nullptr) conn->on_ready(conn);
}

void on_readable(agt_context* context, int socket, void* data) {
  auto* conn = static_cast<tcpip_conn*>(data);
  if (conn->state == tcpip_conn_state::accepting) return handshake(conn);
  tls_extra* x = extra_of(conn);
  if (x != nullptr && x->write_wants_read) {
    x->write_wants_read = false;
    arm(conn);
    // The owner's write handler, or the queue the registry sends.
    if (conn->on_write != nullptr)
      conn->on_write(conn);
    else
      TCPIPwrite_queued(context, socket);
    if (TCPIPentry(context, socket) == nullptr || TCPIPentry(context, socket)->conn != conn) return;
  }
  if (conn->on_read != nullptr && !(x != nullptr && x->read_wants_write)) conn->on_read(conn);
}

void on_writable(agt_context* context, int socket, void* data) {
  auto* conn = static_cast<tcpip_conn*>(data);
  if (conn->state == tcpip_conn_state::accepting) return handshake(conn);
  tls_extra* x = extra_of(conn);
  if (x != nullptr && x->read_wants_write) {
    x->read_wants_write = false;
    arm(conn);
    if (conn->on_read != nullptr) conn->on_read(conn);
    if (TCPIPentry(context, socket) == nullptr || TCPIPentry(context, socket)->conn != conn) return;
  }
  if (conn->on_write != nullptr && !(x != nullptr && x->write_wants_read)) conn->on_write(conn);
}

int tls_accept(tcpip_conn* conn, tcpip_conn_handler ready) {
  conn->on_ready = ready;
  conn->state = tcpip_conn_state::accepting;
  tcpip_state* state = TCPIPstate(conn->context);
  auto x = std::make_unique<tls_extra>();
  std::string why = "no TLS server";
  if (state != nullptr && state->tls_server) x->session = PLATtls_accept(*state->tls_server, conn->socket, &why);
  const bool started = x->session != nullptr;
  conn->extra = std::move(x);
  if (!started) {
    fail(conn, why);
    if (ready != nullptr) ready(conn);
    return -1;
  }
  // The client speaks first; what it has sent already is taken at once.
  handshake(conn);
  return 0;
}

int tls_connect(tcpip_conn* conn, const tcpip_addr&, tcpip_conn_handler) {
  fail(conn, "no TLS client in the agent");
  conn->last_error = EPROTONOSUPPORT;
  errno = EPROTONOSUPPORT;
  return -1;
}

long long tls_read(tcpip_conn* conn, void* buffer, std::size_t size) {
  tls_extra* x = extra_of(conn);
  if (x == nullptr || conn->state != tcpip_conn_state::connected) {
    errno = conn->state == tcpip_conn_state::closed ? 0 : ENOTCONN;
    if (conn->state == tcpip_conn_state::closed) return 0;
    conn->last_error = errno;
    return -1;
  }
  if (x->peer_ended) return 0;
  std::size_t got = 0;
  std::string why;
  const bool was_waiting = x->read_wants_write;
  x->read_wants_write = false;
  switch (PLATtls_read(*x->session, buffer, size, &got, &why)) {
    case plat_tls_result::done:
      if (was_waiting) arm(conn);
      return static_cast<long long>(got);
    case plat_tls_result::closed:
      // The peer ended its side of the session: the end of its data.
      x->peer_ended = true;
      return 0;
    case plat_tls_result::want_write:
      x->read_wants_write = true;
      arm(conn);
      errno = EAGAIN;
      return -1;
    case plat_tls_result::want_read:
      if (was_waiting) arm(conn);
      errno = EAGAIN;
      return -1;
    case plat_tls_result::failed:
      break;
  }
  fail(conn, why);
  conn->last_error = errno != 0 ? errno : EPROTO;
  errno = conn->last_error;
  return -1;
}

long long tls_write(tcpip_conn* conn, const void* data, std::size_t size) {
  tls_extra* x = extra_of(conn);
  if (x == nullptr || conn->state != tcpip_conn_state::connected) {
    conn->last_error = EPIPE;
    errno = EPIPE;
    return -1;
  }
  std::size_t put = 0;
  std::string why;
  const bool was_waiting = x->write_wants_read;
  x->write_wants_read = false;
  switch (PLATtls_write(*x->session, data, size, &put, &why)) {
    case plat_tls_result::done:
      if (was_waiting) arm(conn);
      return static_cast<long long>(put);
    case plat_tls_result::want_read:
      x->write_wants_read = true;
      arm(conn);
      errno = EAGAIN;
      return -1;
    case plat_tls_result::want_write:
      if (was_waiting) arm(conn);
      errno = EAGAIN;
      return -1;
    case plat_tls_result::closed:
    case plat_tls_result::failed:
      break;
  }
  fail(conn, why);
  conn->last_error = errno != 0 ? errno : EPIPE;
  errno = conn->last_error;
  return -1;
}

int tls_set_read(tcpip_conn* conn, tcpip_conn_handler handler) {
  conn->on_read = handler;
  arm(conn);
  return 0;
}

int tls_set_write(tcpip_conn* conn, tcpip_conn_handler handler) {
  conn->on_write = handler;
  arm(conn);
  return 0;
}

bool tls_pending(const tcpip_conn* conn) {
  const tls_extra* x = extra_of(conn);
  return x != nullptr && x->session && conn->state == tcpip_conn_state::connected && PLATtls_pending(*x->session);
}

void tls_close(tcpip_conn* conn) {
  if (conn->socket < 0) return;
  if (tls_extra* x = extra_of(conn); x != nullptr && x->session && conn->state == tcpip_conn_state::connected) {
    // What is queued leaves first, as far as the socket takes it now (an
    // answer to a tester, say), then the end of the session; the rest is
    // lost with the peer, as on a plain socket, and never sent in clear.
    TCPIPwrite_queued(conn->context, conn->socket);
    if (tcpip_entry* entry = TCPIPentry(conn->context, conn->socket); entry != nullptr && entry->conn == conn) {
      entry->out.clear();
      entry->out_at = 0;
    }
    PLATtls_shutdown(*x->session);
  }
  TCPIPclose(conn->context, conn->socket);
  conn->socket = -1;
  conn->state = tcpip_conn_state::closed;
}

void tls_addresses(const tcpip_conn* conn, tcpip_ip* peer, tcpip_ip* local) {
  TCPIPaddresses(conn->socket, peer, local);
}

}  // namespace

const tcpip_conn_type TCPIPtls_type = {"tls",        tls_accept,   tls_connect,  tls_read,  tls_write,
                                       tls_set_read, tls_set_write, tls_pending, tls_close, tls_addresses};

void TCPIPconn_release(tcpip_conn_ptr& conn) {
  if (!conn) return;
  if (tls_extra* x = extra_of(conn.get()); x != nullptr && x->session && conn->state == tcpip_conn_state::connected)
    PLATtls_shutdown(*x->session);
  if (conn->socket >= 0) {
    if (tcpip_entry* entry = TCPIPentry(conn->context, conn->socket); entry != nullptr && entry->conn == conn.get()) {
      // What the session did not take cannot leave without it (never in
      // clear).
      entry->out.clear();
      entry->out_at = 0;
      entry->conn = nullptr;
      entry->on_read = entry->on_write = nullptr;
      entry->data = nullptr;
      entry->needs_input = false;
    }
  }
  conn->socket = -1;
  conn.reset();
}

std::string TCPIPconn_error(const tcpip_conn* conn) {
  if (const tls_extra* x = extra_of(conn); x != nullptr && !x->reason.empty()) return x->reason;
  return conn != nullptr && conn->last_error != 0 ? std::string(std::strerror(conn->last_error)) : std::string();
}

bool TCPIPconn_peer(const tcpip_conn* conn, std::optional<std::string>* identity, std::string* key) {
  const tls_extra* x = extra_of(conn);
  if (x == nullptr || !x->session) return false;
  if (identity != nullptr) *identity = PLATtls_peer_identity(*x->session);
  if (key != nullptr) *key = PLATtls_peer_key(*x->session);
  return true;
}
