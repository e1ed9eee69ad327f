// handover: the daemon starts one connection process per accepted socket,
// and the connection process takes that socket back from its argument words.
// The connection process's arguments are three words: the peer's name, then
// two words that name the socket (their meaning belongs to this seam).
#pragma once

#include <functional>
#include <string>

#include "platform/unique_fd.h"

// The daemon's side of the hand-overs, which it owns: the connection process
// started ahead of its connection, while one waits (Windows starts none).
struct plat_hand_overs {
  unique_fd channel;  // the daemon's end of the waiting process's channel
  int pid = -1;
  unique_fd payload;  // what each connection process receives with its socket (POSIX: a sealed memory file)
};

// The bytes every connection process receives with its socket from now on
// (the TLS material; empty: none), replacing those before: a process
// already serving keeps what it got. With a payload every connection goes
// through a process started ahead of it. False when the system refused
// (the payload before stays), or where the platform has none (Windows).
bool PLATset_hand_over_payload(plat_hand_overs& spare, const std::string& bytes);

// Where the platform allows it, starts a connection process ahead of its
// connection (`program`: the daemon's own first argument word), which waits
// for the next accepted socket; nothing when one is already waiting. At most
// one waits at a time; it is no connection until PLAThand_over gives it one,
// and it ends by itself when the daemon ends. The daemon calls this at start
// and after each hand-over, when it has time to spare.
void PLATprepare_hand_over(plat_hand_overs& spare, const char* program);

// Starts a copy of the running executable (`program`: the daemon's own first
// argument word) to serve `accepted`, or gives `accepted` to the connection
// process PLATprepare_hand_over started. `look_up`, when given, may write the
// peer's name; the look-up runs in the new process, never in the daemon,
// either before the copy starts or (where it cannot) through
// PLATtake_over's `name_pending`. The daemon still closes its own copy of
// the socket afterwards. The serving process's id, or -1 (with a payload,
// when no process started ahead of the connection took it: the connection
// is then not served).
int PLAThand_over(plat_hand_overs& spare, const char* program, int accepted, int listen_socket,
                  const std::function<void(std::string&)>& look_up = {});

// In the daemon, when it stops: the connection process waiting for a socket
// (if any) ends.
void PLATend_hand_overs(plat_hand_overs& spare);

// In the connection process: the command socket that the second and third
// argument words name (anything else the daemon handed over is closed), or
// -1 when they name none. A process started ahead of its connection waits
// here for its socket, holding nothing else. *name_pending is set when the
// peer's name (the first word) is still to be looked up from the socket.
// `payload`, when given, receives what the daemon sent with the socket.
int PLATtake_over(const char* second, const char* third, bool* name_pending, std::string* payload = nullptr);
