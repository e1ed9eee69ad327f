// Process-level calls of this platform, kept behind one thin layer.
#pragma once

#include <string>
#include <vector>

// Makes sure descriptors 0 to 2 are open (on /dev/null when they were closed),
// so that no socket of the agent ever takes one of their numbers.
void PLATensure_std_fds();
// A send to a closed peer must come back as an error, never end the agent.
void PLATignore_sigpipe();
// SIGTERM and SIGINT ask the process to wind down instead of ending it on
// the spot: they set a flag that PLATstop_requested reads. Every wait of the
// agent is a poll, which a signal always interrupts; other interrupted calls
// are restarted, so that no read or write fails because of the signal. The
// daemon then stops accepting, a connection process ends as when its studio
// leaves.
void PLATcatch_stop_signals();
bool PLATstop_requested();
// A descriptor that becomes readable (and stays so) once a stop signal has
// come; -1 before PLATcatch_stop_signals.
int PLATstop_fd();
// Reaps ended child processes as they end, without ever blocking on them.
void PLATreap_children();
// Starts a copy of the running executable with `argv` (argv[0] included);
// only the descriptors in `keep` survive into it. The pid, or -1.
int PLATspawn_self(const std::vector<std::string>& argv, const std::vector<int>& keep);
void PLATsleep_ms(int ms);
