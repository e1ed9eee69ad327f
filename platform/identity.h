// Who and where the agent runs, for the access-control rule of the local account.
#pragma once

#include <optional>
#include <string>

// Name of the effective user; none when it cannot be read.
std::optional<std::string> PLATuser_name();
// Name of this host as the system reports it; none on failure.
std::optional<std::string> PLAThost_name();

// The account that owns the other end of a connected TCP socket, when that
// end is a socket of this machine: who created it, as the system records it
// (on Linux the uid in the kernel's socket table, on Windows the user of the
// process that owns the connection). A name given in a command is only a
// claim; this is what the system knows.
struct plat_socket_owner {
  bool agent_account = false;  // the account this process runs as (its effective user)
  std::string account;         // its name; its number when it has none
};
// None when the peer's end is not found on this machine (another machine,
// or the system's table cannot be read).
std::optional<plat_socket_owner> PLATpeer_socket_owner(int socket);
