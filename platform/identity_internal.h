// identity's POSIX internals: the two ways of finding who owns a TCP socket
// of this machine, for its own file and its tests.
#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>

// The uid that owns the TCP socket whose own address is `self` and whose
// peer is `other`, by the kernel's socket-diagnostics netlink query. None
// when the kernel reports no such socket, or cannot be asked; `answered`
// (when given) tells whether the kernel answered, so that only a kernel
// without the query sends the caller to /proc. An IPv4 address, or its
// IPv4-mapped IPv6 form, matches a socket of either family.
std::optional<unsigned> PLATsocket_uid_netlink(const sockaddr_storage& self, const sockaddr_storage& other,
                                               bool* answered = nullptr);
// The same from the text of /proc/net/tcp (`v6` false) or /proc/net/tcp6.
std::optional<unsigned> PLATsocket_uid_in_table(const std::string& table, bool v6, const sockaddr_storage& self,
                                                const sockaddr_storage& other);
// The same from the files /proc/net/tcp and /proc/net/tcp6.
std::optional<unsigned> PLATsocket_uid_proc(const sockaddr_storage& self, const sockaddr_storage& other);
