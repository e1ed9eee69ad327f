#include "support/protocol/socket_errors.h"

#include <cerrno>

namespace protocol {

namespace {

struct socket_error_row {
  int winsock;  // WSAE... as Winsock numbers it
  int error;
};

constexpr socket_error_row socket_error_rows[] = {
    {10004, EINTR},         // WSAEINTR
    {10022, EINVAL},        // WSAEINVAL
    {10024, EMFILE},        // WSAEMFILE
    {10035, EAGAIN},        // WSAEWOULDBLOCK
    {10036, EINPROGRESS},   // WSAEINPROGRESS
    {10038, ENOTSOCK},      // WSAENOTSOCK
    {10048, EADDRINUSE},    // WSAEADDRINUSE
    {10051, ENETUNREACH},   // WSAENETUNREACH
    {10053, ECONNABORTED},  // WSAECONNABORTED
    {10054, ECONNRESET},    // WSAECONNRESET
    {10055, ENOBUFS},       // WSAENOBUFS
    {10060, ETIMEDOUT},     // WSAETIMEDOUT
    {10061, ECONNREFUSED},  // WSAECONNREFUSED
    {10065, EHOSTUNREACH},  // WSAEHOSTUNREACH
};

}  // namespace

int errno_of_winsock(int code) {
  for (const socket_error_row& row : socket_error_rows)
    if (row.winsock == code) return row.error;
  return EIO;
}

}  // namespace protocol
