// The registry of watched descriptors and the one readiness wait: each
// registered socket maps to its owner, its handlers and their data, its
// deadline and its output queue. A wait polls them all; TCPIPdispatch then
// runs, owner by owner in the order the caller chooses, the handlers of what
// the wait found.
#include <algorithm>
#include <cerrno>

#include "net/connection.h"
#include "net/tcpip_internal.h"
#include "platform/process.h"
#include "platform/sockets.h"

using clock_type = std::chrono::steady_clock;

tcpip_entry* TCPIPfind(tcpip_state* state, int socket) {
  for (tcpip_entry& entry : state->entries)
    if (entry.socket == socket) return &entry;
  return nullptr;
}

namespace {

tcpip_entry* register_socket(tcpip_state* state, int socket, tcpip_owner owner, bool queued) {
  if (socket < 0) return nullptr;
  tcpip_entry* entry = TCPIPfind(state, socket);
  if (entry == nullptr) {
    if (static_cast<int>(state->entries.size()) >= TCPIP_WATCH_MAX) return nullptr;
    state->entries.push_back(tcpip_entry{});
    entry = &state->entries.back();
    entry->socket = socket;
    entry->owner = owner;
    entry->queued_output = queued;
    entry->generation = state->next_generation++;
  }
  return entry;
}

// All input held (the last replies leaving) is held whatever a connection
// type needs; an owner's held input is not when the type needs it.
bool input_held(const tcpip_state* state, const tcpip_entry& entry) {
  if (state->all_held) return true;
  if (entry.needs_input) return false;
  return std::find(state->held_owners.begin(), state->held_owners.end(), entry.owner) != state->held_owners.end();
}

// The event of the last wait for `socket`, while it is still that registration.
const tcpip_event* event_of(tcpip_state* state, int socket, const tcpip_entry* entry) {
  for (const tcpip_event& event : state->events)
    if (event.socket == socket) return entry != nullptr && event.generation == entry->generation ? &event : nullptr;
  return nullptr;
}

}  // namespace

int TCPIPwatch(agt_context* context, int socket) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  return register_socket(state, socket, nullptr, false) != nullptr ? 0 : -1;
}

int TCPIPwatch_as(agt_context* context, int socket, tcpip_owner owner) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  tcpip_entry* entry = register_socket(state, socket, owner, true);
  if (entry == nullptr) return -1;
  PLATsocket_set_nonblocking(socket, true);
  return static_cast<int>(entry->generation & 0x7fffffff);
}

int TCPIPset_handlers(agt_context* context, int socket, tcpip_handler on_read, tcpip_handler on_write, void* data) {
  tcpip_entry* entry = TCPIPentry(context, socket);
  if (entry == nullptr) return -1;
  entry->on_read = on_read;
  entry->on_write = on_write;
  entry->data = data;
  return 0;
}

int TCPIPset_deadline(agt_context* context, int socket, int ms, tcpip_handler on_expired) {
  tcpip_entry* entry = TCPIPentry(context, socket);
  if (entry == nullptr) return -1;
  entry->has_deadline = ms >= 0;
  entry->on_expired = on_expired;
  if (ms >= 0) entry->deadline = clock_type::now() + std::chrono::milliseconds(ms);
  return 0;
}

tcpip_entry* TCPIPentry(agt_context* context, int socket) {
  tcpip_state* state = TCPIPstate(context);
  return state == nullptr ? nullptr : TCPIPfind(state, socket);
}

int TCPIPset_conn(agt_context* context, int socket, tcpip_conn* conn) {
  tcpip_entry* entry = TCPIPentry(context, socket);
  if (entry == nullptr) return -1;
  entry->conn = conn;
  return 0;
}

bool TCPIPready_for(agt_context* context, int socket, tcpip_owner owner) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return false;
  const tcpip_entry* entry = TCPIPfind(state, socket);
  if (entry == nullptr || entry->owner != owner) return false;
  const tcpip_event* event = event_of(state, socket, entry);
  return event != nullptr && event->readable;
}

int TCPIPdispatch(agt_context* context) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return 0;
  int ran = 0;
  // By index: a handler may register or unwatch sockets, which the events of
  // this wait never are (each is checked against the registration again).
  for (std::size_t i = 0; i < state->events.size(); ++i) {
    const tcpip_event event = state->events[i];
    auto current = [&]() -> tcpip_entry* {
      tcpip_entry* entry = TCPIPfind(state, event.socket);
      return entry != nullptr && entry->generation == event.generation ? entry : nullptr;
    };
    tcpip_entry* entry = current();
    if (entry == nullptr) continue;
    if (event.readable && entry->on_read != nullptr) {
      entry->on_read(context, event.socket, entry->data);
      ++ran;
    }
    if (event.writable && (entry = current()) != nullptr && entry->on_write != nullptr) {
      entry->on_write(context, event.socket, entry->data);
      ++ran;
    }
    if (event.expired && (entry = current()) != nullptr && entry->has_deadline && entry->on_expired != nullptr &&
        clock_type::now() >= entry->deadline) {
      entry->has_deadline = false;
      entry->on_expired(context, event.socket, entry->data);
      ++ran;
    }
  }
  return ran;
}

int TCPIPset_read(agt_context* context, int socket, bool on) {
  tcpip_entry* entry = TCPIPentry(context, socket);
  if (entry == nullptr) return -1;
  entry->read = on;
  return 0;
}

int TCPIPneed_input(agt_context* context, int socket, bool on) {
  tcpip_entry* entry = TCPIPentry(context, socket);
  if (entry == nullptr) return -1;
  entry->needs_input = on;
  return 0;
}

int TCPIPhold_input(agt_context* context, tcpip_owner owner, bool held) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  std::vector<tcpip_owner>& owners = state->held_owners;
  auto it = std::find(owners.begin(), owners.end(), owner);
  if (held && it == owners.end()) owners.push_back(owner);
  if (!held && it != owners.end()) owners.erase(it);
  return 0;
}

int TCPIPhold_all_input(agt_context* context, bool held) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  state->all_held = held;
  return 0;
}

int TCPIPunwatch(agt_context* context, int socket) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  auto it = std::find_if(state->entries.begin(), state->entries.end(),
                         [socket](const tcpip_entry& entry) { return entry.socket == socket; });
  if (it != state->entries.end()) {
    // What the socket can still take leaves; the rest is lost with the peer.
    TCPIPwrite_out(*it);
    state->entries.erase(it);
  }
  return 0;
}

int TCPIPclose(agt_context* context, int socket) {
  if (TCPIPunwatch(context, socket) != 0 || socket < 0) return -1;
  return PLATsocket_close(socket);
}

int TCPIPdiscard(int socket) { return socket < 0 ? -1 : PLATsocket_close(socket); }

int TCPIPwait(agt_context* context, std::vector<int>& ready, int ms) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr || !ready.empty()) return -1;
  state->events.clear();
  // Rebuilt on every wait from the registry, in the storage of the last one:
  // input where it is wanted, output where some waits or a handler wants it.
  std::vector<plat_poll>& fds = state->poll_set;
  fds.clear();
  bool at_once = false;
  const auto now = clock_type::now();
  for (const tcpip_entry& entry : state->entries) {
    const bool held = input_held(state, entry);
    short events = (entry.read || entry.needs_input) && !held ? POLLIN : 0;
    // With all input held only queued output is sent: no handler runs.
    if ((entry.queued() > 0 && !entry.failed) || (entry.on_write != nullptr && !state->all_held)) events |= POLLOUT;
    // A socket whose input is turned off is still watched for its peer's
    // hang-up; one held back is not watched at all (a hang-up would end
    // every wait at once), unless it has output to send.
    fds.push_back({held && events == 0 ? -1 : entry.socket, events, 0});
    // A socket whose write failed is reported at once, and so is input a
    // connection type holds itself.
    if (!held && (entry.failed || (entry.read && entry.conn != nullptr && entry.conn->type->pending(entry.conn))))
      at_once = true;
    if (entry.has_deadline && !state->all_held) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(entry.deadline - now).count() + 1;
      int until = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
      ms = ms < 0 ? until : std::min(ms, until);
    }
  }
  const std::size_t extra = fds.size();
  if (state->wake_fd >= 0) fds.push_back({state->wake_fd, POLLIN, 0});
  if (PLATstop_fd() >= 0) fds.push_back({PLATstop_fd(), POLLIN, 0});
  int n = PLATsocket_poll(fds.data(), fds.size(), at_once ? 0 : ms);
  if (n < 0) return -1;
  for (std::size_t i = extra; i < fds.size(); ++i)
    if (fds[i].fd == state->wake_fd && fds[i].revents != 0) PLATsocket_drain_wake(state->wake_fd);
  const auto after = clock_type::now();
  for (std::size_t i = 0; i < extra; ++i) {
    tcpip_entry& entry = state->entries[i];
    const short got = fds[i].revents;
    if ((got & POLLOUT) != 0 && entry.queued() > 0) TCPIPwrite_out(entry);
    const bool held = input_held(state, entry);
    const bool pending = entry.read && entry.conn != nullptr && entry.conn->type->pending(entry.conn);
    tcpip_event event{entry.socket, entry.generation, false, false, false};
    event.readable = !held && ((got & (POLLIN | POLLHUP | POLLERR)) != 0 || entry.failed || pending);
    event.writable = entry.on_write != nullptr && !state->all_held && (got & (POLLOUT | POLLHUP | POLLERR)) != 0;
    event.expired = entry.has_deadline && !state->all_held && after >= entry.deadline;
    if (event.readable) ready.push_back(entry.socket);
    if (event.readable || event.writable || event.expired) state->events.push_back(event);
  }
  std::sort(ready.begin(), ready.end());
  std::sort(state->events.begin(), state->events.end(),
            [](const tcpip_event& a, const tcpip_event& b) { return a.socket < b.socket; });
  return static_cast<int>(ready.size());
}

int TCPIPset_wake(agt_context* context, int fd) {
  tcpip_state* state = TCPIPstate(context);
  if (state == nullptr) return -1;
  state->wake_fd = fd;
  return 0;
}
