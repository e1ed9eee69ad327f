// side_port: the connections the side ports take. The data and trace ports
// serve the studio's host only; the tester ports (rendezvous, dynamic
// follow) this machine or the studio's host, or any host when the daemon
// allows it (KVS_TESTERS_ANY_HOST=1). A refused peer is closed and logged.
#pragma once

#include <cstddef>

#include "net/connection.h"
#include "net/tcpip.h"

enum class side_rule {
  studio_host,        // the studio's host only (data and trace ports)
  machine_or_studio,  // this machine or the studio's host (tester ports)
};

// A side connection of a command (GETF's and PUTF's data connection, the
// connection TRWA waits for) on which nothing moves for this long ends the
// command with its failure reply: the studio neither connected, nor read,
// nor sent. Long beyond the pauses of a working network (TCP's own
// retransmissions included), short enough that a stalled studio does not
// hold the connection for good.
constexpr int SIDE_IDLE_MS = 30000;
// System send buffer of the tester connections (rendezvous, dynamic follow):
// testers get short lines, and a tester that does not read holds little in
// the kernel next to its output queue.
constexpr int SIDE_TESTER_SNDBUF = 64 * 1024;
// A tester is read only while the room left for the studio (TCPIProom) is
// at least this much, the most one receive of TCPIP_RECV_CHUNK bytes can add
// (empty lines, each relayed as a line of its own); otherwise its input
// waits in the system, and the tester's sending stalls until the studio reads.
constexpr std::size_t SIDE_RELAY_MAX = 64u << 10;

// The rule on addresses: whether a peer (its address and the local address
// of its connection) may use a port of `rule`, given the studio's addresses
// when they are known. Without them only this machine is taken.
bool SIDEpeer_allowed(side_rule rule, bool studio_known, const tcpip_ip& studio_peer, const tcpip_ip& studio_local,
                      const tcpip_ip& peer, const tcpip_ip& local);
// Whether the daemon lets any host use the tester ports: its environment's
// KVS_TESTERS_ANY_HOST is 1. Read by a channel at its start, before any
// command could change the environment.
bool SIDEtesters_any_host();
// Takes one waiting connection on a side port by its rule, without waiting.
// 0: *accepted holds it (non-blocking unless `blocking`); 1: nothing to
// take, or a peer refused (closed and logged); -1: failure. A tester
// connection gets SIDE_TESTER_SNDBUF.
int SIDEaccept(agt_context* context, int listen_socket, side_rule rule, bool any_host, int* accepted,
               bool blocking = false);

// TLS on the side ports. In a TLS agent every side connection speaks TLS:
// this is the type they are made with (TCPIPconn_new, then its accept with
// a ready handler); in a plain agent, plain sockets.
const tcpip_conn_type& SIDEconn_type(agt_context* context);
// Run from a side connection's ready handler: whether it may serve the
// session. A plain connection may; a TLS one when its handshake succeeded
// and, over mutual TLS, its certificate's public key is the studio's (the
// command connection's). A refused one is logged with the peer, the port
// and why; the caller closes it and goes on waiting.
bool SIDEsession_conn(agt_context* context, tcpip_conn* conn, int port);
