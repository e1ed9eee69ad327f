// Winsock's error codes as errno names. Winsock reports its own numbers
// (WSAGetLastError), which both the agent's and the studio tools' socket
// calls turn into the errno names the rest of the code tests. The codes are
// Winsock's published numbers, so the map is pure logic and is tested on
// every system.
#pragma once

namespace protocol {

// The errno name of a Winsock code: EAGAIN for "would block" (the callers
// test EAGAIN; Windows' C runtime gives EWOULDBLOCK another number), EIO for
// a code the map does not know.
int errno_of_winsock(int code);

}  // namespace protocol
