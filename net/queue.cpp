// Output queues and receives: what is sent to a registered socket waits in
// its queue and leaves as the socket takes it; receives take what has
// arrived, never waiting.
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "net/connection.h"
#include "net/tcpip_internal.h"
#include "platform/sockets.h"

namespace {

long long raw_send(const tcpip_entry& entry, const char* data, std::size_t size) {
  if (entry.conn != nullptr) return entry.conn->type->write(entry.conn, data, size);
  return PLATsocket_send(entry.socket, data, size);
}

long long raw_recv(tcpip_state* state, int socket, void* buffer, std::size_t size) {
  const tcpip_entry* entry = state == nullptr ? nullptr : TCPIPfind(state, socket);
  if (entry != nullptr && entry->conn != nullptr) return entry->conn->type->read(entry->conn, buffer, size);
  return PLATsocket_recv(socket, buffer, size);
}

}  // namespace

void TCPIPwrite_out(tcpip_entry& entry) {
  while (entry.queued() > 0 && !entry.failed) {
    long long n = raw_send(entry, entry.out.data() + entry.out_at, entry.queued());
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

int TCPIPset_held(agt_context* context, tcpip_owner owner, std::size_t bytes) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  for (auto& [who, held] : state->kept)
    if (who == owner) {
      held = bytes;
      return 0;
    }
  state->kept.emplace_back(owner, bytes);
  return 0;
}

std::size_t TCPIProom(agt_context* context) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return 0;
  const tcpip_entry* studio = state->session_socket >= 0 ? TCPIPfind(state, state->session_socket) : nullptr;
  std::size_t held = studio != nullptr ? studio->queued() : 0;
  for (const auto& [owner, bytes] : state->kept) held += bytes;
  return held >= TCPIP_HELD_MAX ? 0 : TCPIP_HELD_MAX - held;
}

std::size_t TCPIPqueued(agt_context* context, int socket) {
  const tcpip_entry* entry = TCPIPentry(context, socket);
  return entry == nullptr ? 0 : entry->queued();
}

std::size_t TCPIPqueued_by(agt_context* context, tcpip_owner owner) {
  tcpip_state* state = TCPIPstate(context);
  std::size_t total = 0;
  if (state != nullptr)
    for (const tcpip_entry& entry : state->entries)
      if (entry.owner == owner) total += entry.queued();
  return total;
}

bool TCPIPsend_failed(agt_context* context, int socket) {
  const tcpip_entry* entry = TCPIPentry(context, socket);
  return entry != nullptr && entry->failed;
}

tcpip_held TCPIPheld_state(int socket) {
  if (socket < 0) return tcpip_held::gone;
  plat_poll entry{socket, POLLIN, 0};
  // A look without waiting. A hang-up is both directions shut: the agent
  // never shuts its side, so the peer reset the connection. A peer that only
  // closed its sending side (its end of the programs' input) may still read.
  if (PLATsocket_poll(&entry, 1, 0) < 0 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
    return tcpip_held::gone;
  return PLATsocket_unsent(socket) > 0 ? tcpip_held::busy : tcpip_held::idle;
}

void TCPIPdrop_input(int socket, int limit) { PLATsocket_discard_input(socket, limit); }

int TCPIPrecv(agt_context* context, int socket, void* buffer, int size, int* end) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  long long n;
  do {
    errno = 0;
    n = raw_recv(state, socket, buffer, static_cast<std::size_t>(size));
  } while (n < 0 && errno == EINTR);
  if (n <= 0 && end != nullptr) *end = 1;
  return n < 0 ? -1 : static_cast<int>(n);
}

bool TCPIPnothing_yet(int received) { return received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK); }

int TCPIPrecv_append(agt_context* context, int socket, kvwstr& text, int* end) {
  char area[TCPIP_RECV_AREA];
  int n = TCPIPrecv(context, socket, area, TCPIP_RECV_CHUNK, end);
  if (n <= 0) return n;
  text.cat(std::string_view(area, static_cast<std::size_t>(n)));  // stops at a NUL
  if (end != nullptr) *end = 0;
  return n;
}

int TCPIPsend(agt_context* context, int socket, const void* data, int* length) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr || length == nullptr) return -1;
  int wanted = *length;
  *length = 0;
  if (socket == -1) return 0;
  const char* at = static_cast<const char*>(data);
  tcpip_entry* entry = TCPIPfind(state, socket);
  if (entry != nullptr && entry->queued_output) {
    if (entry->failed) return -1;
    entry->out.append(at, static_cast<std::size_t>(wanted));
    TCPIPwrite_out(*entry);
    if (entry->failed) return -1;
    *length = wanted;
    return 0;
  }
  long long n;
  do {
    n = PLATsocket_send(socket, at, static_cast<std::size_t>(wanted));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    std::perror("ERROR:send returns -1\n");
    return -1;
  }
  *length = static_cast<int>(n);
  return 0;
}

int TCPIPsend_text(agt_context* context, int socket, const kvwstr& text) {
  int length = text.len();
  return TCPIPsend(context, socket, text.c_str(), &length);
}

int TCPIPqueue(agt_context* context, int socket, std::string_view data) {
  tcpip_entry* entry = TCPIPentry(context, socket);
  if (entry == nullptr || !entry->queued_output || entry->failed) return -1;
  entry->out.append(data);
  return 0;
}

int TCPIPwrite_queued(agt_context* context, int socket) {
  tcpip_entry* entry = TCPIPentry(context, socket);
  if (entry == nullptr || !entry->queued_output) return -1;
  TCPIPwrite_out(*entry);
  return entry->failed ? -1 : 0;
}
