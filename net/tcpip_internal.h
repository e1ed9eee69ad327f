// tcpip's internals: the registry's records and the side ports' address
// rule, for its own file and tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "net/tcpip.h"

// An IP address as 16 bytes of IPv6, an IPv4 address in its mapped form;
// `known` is false for an address of another family (or none).
struct tcpip_ip {
  bool known = false;
  unsigned char bytes[16] = {};
};
// The address of numeric text ("10.0.0.7", "::1"); false when it is none.
bool TCPIPparse_ip(const char* text, tcpip_ip* out);

// One entry of a readiness wait's list (the events are the system's POLL*
// values).
struct tcpip_poll {
  int fd;
  short events;
  short revents;
};

// One registered descriptor. Registered sockets are non-blocking: what is
// sent to them waits in `out` until the readiness wait finds them writable.
struct tcpip_entry {
  int socket = -1;
  int owner = TCPIP_OWNER_OTHER;
  unsigned generation = 0;
  bool read = true;     // watched for input (off while the owner holds back)
  bool failed = false;  // a write failed: reported ready so the owner finds out
  std::string out;      // queued output, from out_at on
  std::size_t out_at = 0;
  std::size_t queued() const { return out.size() - out_at; }
};

struct tcpip_state {
  std::vector<tcpip_entry> entries;  // registration order, one per socket
  unsigned next_generation = 1;
  // Generation of each socket reported by the last wait, by socket.
  std::vector<std::pair<int, unsigned>> reported;
  int highest = 0;           // largest socket ever watched, plus one
  int wake_fd = -1;          // also waited on; wakes the wait without being reported
  int guard_socket = -1;     // the command connection: blocking operations serve it
  kvwstr* guard_text = nullptr;  // where text the studio sends meanwhile goes
  int guard_lost = 0;
  int guard_held = 0;        // the guard socket holds data sent by TCPIPsend_more
  // Addresses of the command connection, for the side ports' rule.
  tcpip_ip studio_peer{};
  tcpip_ip studio_local{};
  bool studio_known = false;
  bool testers_any_host = false;
  // Owners whose input is held back, and what owners keep for the studio.
  std::vector<int> held_owners;
  std::vector<std::pair<int, std::size_t>> kept;
  std::vector<tcpip_poll> poll_set;  // the wait's own list, kept between waits
};

// The side ports' rule on addresses. A peer is this machine when its address
// is a loopback one (127.0.0.0/8, ::1, their IPv4-mapped forms) or equals the
// local address of its own connection. Two peers are the same host when both
// are this machine or their addresses (unmapped) are equal.
bool TCPIPis_this_machine(const tcpip_ip& peer, const tcpip_ip& local);
bool TCPIPsame_host(const tcpip_ip& a_peer, const tcpip_ip& a_local, const tcpip_ip& b_peer, const tcpip_ip& b_local);
bool TCPIPpeer_allowed(tcpip_accept_rule rule, bool studio_known, const tcpip_ip& studio_peer,
                       const tcpip_ip& studio_local, const tcpip_ip& peer, const tcpip_ip& local);
