// tcpip's internals: the registry's records, shared by the layer's files
// and its tests.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "net/tcpip.h"

struct tcpip_conn;

// One registered descriptor. Registered sockets are non-blocking: what is
// sent to them waits in `out` until the readiness wait finds them writable.
struct tcpip_entry {
  int socket = -1;
  tcpip_owner owner = nullptr;  // none: watched as it is, without a queue
  bool queued_output = false;   // registered with an output queue (TCPIPwatch_as)
  unsigned generation = 0;
  bool read = true;     // watched for input (off while the owner holds back)
  bool failed = false;  // a write failed: reported ready so the owner finds out
  bool needs_input = false;  // watched for input whatever `read` and holding say (TCPIPneed_input)
  std::string out;      // queued output, from out_at on
  std::size_t out_at = 0;
  // ae-style: what runs when the socket is readable, writable or late.
  tcpip_handler on_read = nullptr;
  tcpip_handler on_write = nullptr;
  tcpip_handler on_expired = nullptr;
  void* data = nullptr;
  bool has_deadline = false;
  std::chrono::steady_clock::time_point deadline{};
  // The connection carrying the socket, when it has one: its type reads and
  // writes the queued output.
  tcpip_conn* conn = nullptr;
  std::size_t queued() const { return out.size() - out_at; }
};

// What the last wait found of one registration: readable (or failed),
// writable, past its deadline.
struct tcpip_event {
  int socket;
  unsigned generation;
  bool readable;
  bool writable;
  bool expired;
};

struct tcpip_state {
  int family = 0;  // of wildcard addresses and new address records
  std::vector<tcpip_entry> entries;  // registration order, one per socket
  unsigned next_generation = 1;
  std::vector<tcpip_event> events;  // of the last wait, by ascending socket
  int wake_fd = -1;          // also waited on; wakes the wait without being reported
  int session_socket = -1;   // the connection the process serves
  tcpip_ip session_peer{};
  tcpip_ip session_local{};
  plat_tls_server_ptr tls_server;  // none: plain
  bool session_mutual = false;
  std::optional<std::string> session_identity;
  std::string session_key;
  bool all_held = false;
  // Owners whose input is held back, and what owners keep for the studio.
  std::vector<tcpip_owner> held_owners;
  std::vector<std::pair<tcpip_owner, std::size_t>> kept;
  std::vector<struct plat_poll> poll_set;  // the wait's own list, kept between waits
};

tcpip_state* TCPIPstate(agt_context* context);
tcpip_entry* TCPIPfind(tcpip_state* state, int socket);
// The entry of a registered socket in the context's registry; none when it is not registered.
tcpip_entry* TCPIPentry(agt_context* context, int socket);
// Sends what the socket can take now of its queue, without blocking. A
// failing socket loses its queue and is marked, for its owner to find out.
void TCPIPwrite_out(tcpip_entry& entry);
// Marks a registered socket as carried by `conn` (none: plain again).
int TCPIPset_conn(agt_context* context, int socket, tcpip_conn* conn);
