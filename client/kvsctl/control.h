// kvsctl: the control connection. `kvsctl -M HOST` keeps one identified
// command connection to an agent in a background process (the master) and
// serves it to later calls over a Unix socket, so that calls in a row need
// neither a new connection nor the daemon's pause after each accept.
//
// Between a call and the master the lines are the agent's own (CR LF ended):
// a line the call sends is one command exchange, forwarded when the command
// stream is free, and the agent's reply comes back to that call alone.
// Unsolicited lines are routed: a program's end (661) to the call that
// launched it, rendezvous and dynamic-follow lines to the calls that follow
// them. Lines that begin with '+' are the master's own; the master never
// relays an agent line that begins with one.
//
//   +HOLD / +HELD    the call takes the command stream for a sequence of
//                    exchanges; +FREE gives it back. What the sequence changed
//                    (SENV, DENV, CWD, FTPA, TROF) is restored first.
//   +TRACE           a trace connection, made by the master (PORT, connect,
//                    TRWA) and passed with the reply line (+TRACE or +NO why).
//   +PUTF / +GETF N  a data connection passed with "+DATA", then PUTF or GETF
//                    N is forwarded; its reply comes as usual.
//   +FOLLOW          rendezvous and dynamic-follow lines come to this call.
//   +RVOK / +RVKO N  answers rendezvous N when a tester waits at it: +DONE,
//                    else +NONE.
//   +EXIT            ends the master (+BYE).
// The master greets each call with "+HELLO <pid> <agent address>", followed
// over TLS by " TLS <name> <ca> <cert> <key>": the name the agent's
// certificate is verified against and the master's files (each in hex, "-"
// when none). A call then runs the TLS handshake of each side connection
// itself, over the socket the master passes, with the same certificate;
// a trace connection comes with "+SIDE" at once, as the agent accepts it
// only once TRWA is sent, and "+TRACE" follows without a descriptor.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "client/kvsctl.h"

namespace kvsctl {

inline constexpr int kDefaultPersistMs = 600 * 1000;

// Where the control socket of o's user, host and port is: o.control_path
// when given, else a name made of them in $XDG_RUNTIME_DIR/kvsctl/ or
// ~/.cache/kvsctl/. Empty when -S none.
std::string control_path(const options& o);
// The file name of the control socket for a user, host and port: only
// letters, digits and ".-_@" kept (others become '_'), shortened with a hash
// when a Unix socket path could not hold it.
std::string control_name(const std::string& user, const std::string& host, int port);
// The user named in the socket's name and sent with Qim.
std::string agent_user(const options& o);

// Whether a master serves at `path`: its pid, 0 when none does (a socket
// left by one that ended is removed).
long control_serves(const std::string& path);

// kvsctl -M: starts the master and returns once it serves.
int start_master(const options& o);
// kvsctl -O check|exit.
int control_operation(const options& o);

// A field of the master's greeting: the bytes in hex, "-" for none; and
// back (none when the field is not such a thing).
std::string hello_field(std::string_view bytes);
std::optional<std::string> hello_value(std::string_view field);

// Splits a "661 process stopped : %N => ..." line into the pairs it names;
// false when the line is no such report.
bool parse_stopped(const std::string& line, std::vector<std::pair<int, int>>& pairs);
// The line for a subset of the pairs, in the agent's own form.
std::string stopped_line(const std::vector<std::pair<int, int>>& pairs);

}  // namespace kvsctl
