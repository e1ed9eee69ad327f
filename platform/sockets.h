// sockets: the system's socket calls in one form for both systems. Sockets
// are ints (-1: none; on Windows a Winsock SOCKET, whose value keeps 32
// significant bits); a failure returns -1 with errno set, Winsock's codes
// mapped to their errno names by one table (PLATsocket_error).
//
// The socket types and functions of the system (sockaddr_storage,
// getaddrinfo, inet_pton, ...) come with this header, so that the network
// layer needs no system header of its own.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#ifndef EAI_ADDRFAMILY
#define EAI_ADDRFAMILY EAI_FAMILY
#endif
#ifndef EAI_SYSTEM
#define EAI_SYSTEM EAI_FAIL
#endif
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstddef>

// One entry of a readiness wait's list; the events are the system's POLL*
// values.
struct plat_poll {
  int fd;
  short events;
  short revents;
};
// The peer closed its sending side, where the system tells it apart from a
// hang-up (a readable socket may still hold data); 0 elsewhere.
extern const short PLAT_POLL_PEER_GONE;

// Starts the socket library once per process (Winsock); nothing elsewhere.
void PLATsocket_start();
// Sets errno from the system's last socket failure (Winsock's code) and
// returns -1. On POSIX errno already holds it.
int PLATsocket_error();
// A TCP stream socket that programs started later do not inherit.
int PLATsocket_open(int family);
int PLATsocket_close(int s);
int PLATsocket_set_nonblocking(int s, bool on);
// Exclusive use of a port that can be bound again at once after a close.
int PLATsocket_reuse_address(int s);
int PLATsocket_set_int(int s, int level, int name, int value);
int PLATsocket_bind(int s, const void* address, int length);
int PLATsocket_listen(int s);
int PLATsocket_connect(int s, const void* address, int length);
int PLATsocket_peer(int s, sockaddr_storage* address, socklen_t* length);
int PLATsocket_local(int s, sockaddr_storage* address, socklen_t* length);
// The error a non-blocking connect ended with (SO_ERROR): 0 when connected.
int PLATsocket_pending_error(int s);
// Takes one waiting connection, never waiting for one: the listening socket
// is non-blocking. The accepted socket is not inherited and is non-blocking
// when `nonblocking` is set.
int PLATsocket_accept(int listen_socket, sockaddr_storage* peer, socklen_t* length, bool nonblocking);
// One send of what the socket can take now; never waits and never raises
// SIGPIPE. The bytes sent, or -1 (EAGAIN/EWOULDBLOCK when it has no room).
long long PLATsocket_send(int s, const void* data, std::size_t size);
// One receive of what is there now, on a non-blocking socket: the bytes
// received, 0 at the peer's end, or -1 (EAGAIN when nothing is there).
long long PLATsocket_recv(int s, void* buffer, std::size_t size);
// Reads and drops at most `limit` bytes of input already there, without
// waiting, also on a socket left blocking (a trace connection).
void PLATsocket_discard_input(int s, int limit);
// Waits at most `ms` (-1: without a limit) for the events of the list.
int PLATsocket_poll(plat_poll* fds, std::size_t count, int ms);
// Empties a wake descriptor (a pipe here, a loopback socket on Windows)
// with one read, without waiting.
void PLATsocket_drain_wake(int fd);
// Bytes written to the socket that the peer has not acknowledged: 0 or more,
// or -1 when the system cannot tell (then taken as none).
int PLATsocket_unsent(int s);
// A connected pair of local stream sockets, neither inherited by programs
// started later nor non-blocking: fds[0] and fds[1]. 0, or -1 (the Windows
// build has none: nothing there carries a program's streams itself).
int PLATsocket_pair(int fds[2]);
// Ends the sending side of a connected socket: its peer reads the end of
// the stream, and may still send.
int PLATsocket_shut_send(int s);
// Bytes that have arrived on the socket and are not read yet: 0 or more, or
// -1 when the system cannot tell.
long long PLATsocket_unread(int s);
// TCP keep-alive (idle 60 s, every 10 s, 6 probes) and a 120 s limit on
// unacknowledged output where the system has one.
int PLATsocket_keep_alive(int s);
// A descriptor kept in reserve. When the process has no descriptor left, a
// connection waiting in a listening socket's backlog cannot be accepted and
// keeps the socket readable: every wait would return at once and fail again.
// PLATsocket_drop_one gives the reserve back for one accept and closes what
// it takes (nothing to do where descriptors do not run out this way).
void PLATsocket_hold_reserve();
void PLATsocket_drop_one(int listen_socket);
