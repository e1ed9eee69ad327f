// Windows only: a loopback socket pair that wakes the readiness wait for
// things that are not sockets (a program's end, a console control event).
// Winsock has no socketpair: a listener on 127.0.0.1 port 0 is connected to
// and closed once its one connection is accepted.
#pragma once

// Fills fds[0] (the read end, watched by the wait) and fds[1] (the write
// end). Both are non-blocking and not inheritable. 0 or -1.
int PLATopen_wake_pair(int fds[2]);
// Writes one byte to the write end; a full pair already holds a wake-up.
// Safe from any thread.
void PLATwake(int write_fd);
void PLATclose_wake_socket(int fd);
