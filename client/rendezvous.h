// The tester side of a rendezvous: a program running on the agent's machine
// connects to the port the agent published in KVS_PORT_RDV, sends the name of
// the rendezvous and waits until the studio releases it with "Ok" or "Ko".
#pragma once

#include <string>
#include <string_view>

#include "client/studio.h"

namespace studio {

// The variable in which a connection process publishes its rendezvous port.
inline constexpr const char* kRendezvousPortVariable = "KVS_PORT_RDV";

// The agent takes what one receive returns as the whole name (at most 2199
// bytes); the name is sent followed by CR LF, which the agent removes.
inline constexpr std::size_t kRendezvousNameMax = 2197;

enum class rendezvous_answer { ok, ko, failed };

// The port written in `text` (decimal, 1 to 65535); -1 when it is not one.
int parse_rendezvous_port(const char* text);

// Connects to the rendezvous port on this machine and sends the name. The
// name may be empty; it must not hold a NUL byte nor exceed kRendezvousNameMax.
socket_fd join_rendezvous(int port, std::string_view name, std::string* error = nullptr);

// Waits for the answer on a joined connection: at most timeout_ms, or without
// limit when timeout_ms is negative. `failed` (with a reason in `error`) when
// the connection closed, failed or sent something else than "Ok" or "Ko".
rendezvous_answer await_rendezvous(int fd, int timeout_ms = -1, std::string* error = nullptr);

rendezvous_answer await_rendezvous(stream& s, int timeout_ms = -1, std::string* error = nullptr);
// Joins and waits, in one call.
rendezvous_answer wait_rendezvous(int port, std::string_view name, int timeout_ms = -1,
                                  std::string* error = nullptr);
// The same with the agent on `host`, over TLS with `tls` (a tester on
// another host: the agent's certificate verified against `host`).
stream join_rendezvous(const std::string& host, int port, std::string_view name, const tls_client* tls,
                       std::string* error = nullptr);
rendezvous_answer wait_rendezvous(const std::string& host, int port, std::string_view name, const tls_client* tls,
                                  int timeout_ms = -1, std::string* error = nullptr);

}  // namespace studio
