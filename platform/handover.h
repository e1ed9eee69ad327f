// handover: the daemon starts one connection process per accepted socket,
// and the connection process takes that socket back from its argument words.
// The connection process's arguments are three words: the peer's name, then
// two words that name the socket (their meaning belongs to this seam).
#pragma once

#include <functional>
#include <string>

// Starts a copy of the running executable (`program`: the daemon's own first
// argument word) to serve `accepted`. `look_up`, when given, may write the
// peer's name; the look-up runs in the new process, never in the daemon,
// either before the copy starts or (where it cannot) through
// PLATtake_over's `name_pending`. The daemon still closes its own copy of
// the socket afterwards. The new process's id, or -1.
int PLAThand_over(const char* program, int accepted, int listen_socket,
                  const std::function<void(std::string&)>& look_up = {});

// In the connection process: the command socket that the second and third
// argument words name (anything else the daemon handed over is closed), or
// -1 when they name none. *name_pending is set when the peer's name (the
// first word) is still to be looked up from the socket.
int PLATtake_over(const char* second, const char* third, bool* name_pending);
