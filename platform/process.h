// Process-level calls of this platform, kept behind one thin layer.
#pragma once

#include <functional>
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
// SIGHUP asks the daemon to reload its settings' files: it sets a flag that
// PLATreload_requested reads and clears, and interrupts the wait as the
// stop signals do. Windows has no such signal: nothing is caught, and no
// reload is ever requested.
void PLATcatch_reload_signal();
bool PLATreload_requested();
// Whatever the starting process left behind (a blocked mask survives exec, so
// does an ignored SIGCHLD): unblocks every signal and gives SIGCHLD its default
// action, so that ends of children are seen and stop signals arrive. Called
// after the handlers the agent installs itself, so that a signal already
// pending finds them.
void PLATreset_signals();
// A descriptor that becomes readable (and stays so) once a stop signal has
// come; -1 before PLATcatch_stop_signals.
int PLATstop_fd();
// Reaps ended child processes as they end, without ever blocking on them.
void PLATreap_children();
// Starts a copy of the running executable with `argv` (argv[0] included);
// only the descriptors in `keep` survive into it. `complete`, when given, runs
// in the new process before the copy starts and may fill in its arguments:
// work there (a name look-up) holds up the new process only. The pid, or -1.
int PLATspawn_self(const std::vector<std::string>& argv, const std::vector<int>& keep,
                   const std::function<void(std::vector<std::string>&)>& complete = {});
void PLATsleep_ms(int ms);
// The process's own environment, as "name=value" entries.
std::vector<std::string> PLATenvironment();

// Makes this process the reaper of its descendants' orphans: a process whose
// parent ends while it still runs becomes a child of this process, which
// alone may then signal or reap it, so that its id cannot be given to
// another process meanwhile. On Windows a program's job object already holds
// every process it starts: nothing to do. 0, or -1 when refused.
int PLATadopt_orphans();
// Reaps one ended child, whichever it is, without waiting: 1 (then *pid, and
// *code and *signal as PLATpoll_exit gives them), 0 when no child has ended,
// -1 when there is no child at all. On Windows: -1 (programs are followed
// through their handles).
int PLATreap_any(int* pid, int* code, int* signal);
// Whether this process holds an unreaped child (running or ended) in process
// group `pgid`. Such a child keeps the group's id from being given to another
// process, so that signalling the group can only reach the group the id
// named when it was created. On Windows: whether the job of the program
// `pgid` still holds a process (PLATgroup_exists).
bool PLATholds_group(int pgid);
