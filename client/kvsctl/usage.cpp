// kvsctl: the usage texts.
#include "client/kvsctl.h"

namespace kvsctl {

namespace {

constexpr std::string_view kGlobalUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] COMMAND [ARGS]\n"
    "       kvsctl [OPTIONS] -H HOST[,HOST]...|@FILE COMMAND [ARGS]\n"
    "       kvsctl -M [-S PATH] [--persist SEC] [OPTIONS] HOST[:PORT]\n"
    "       kvsctl -O check|exit [-S PATH] HOST[:PORT]\n"
    "\n"
    "Drives a kvsagtd agent (default port 7011; an IPv6 address with a port is\n"
    "written [ADDRESS]:PORT), or many at once with -H.\n"
    "\n"
    "Commands:\n"
    "  run [-C DIR] [-e NAME=VALUE]... [-n] -- PROGRAM [ARG]...\n"
    "                       run a program, stream its output and input, exit with its status\n"
    "  put [-r] [--ascii] LOCAL REMOTE  send a file (-r: a directory tree) to the agent\n"
    "  get [--ascii] REMOTE LOCAL       fetch a file from the agent\n"
    "  do [-k] STEP [--- STEP]...       run steps (run, put, get, cd, env) over one connection\n"
    "  do [-k] -f FILE                  the steps of FILE, one per line\n"
    "  shell                command lines typed or from standard input, replies and notifications out\n"
    "  follow               show rendezvous and dynamic-follow notifications, answer them\n"
    "  release NAME         let the testers waiting at rendezvous NAME go on (RVOK)\n"
    "  refuse NAME          tell them to give up (RVKO)\n"
    "\n"
    "Options:\n"
    "  -u, --user USER      identify as USER (default: the local user name)\n"
    "  -t, --timeout SEC    limit for connecting and for each reply (default 10)\n"
    "      --greeting-timeout SEC\n"
    "                       limit for the agent's greeting, which waits while the agent\n"
    "                       serves earlier connections (default 60)\n"
    "  -v, --verbose        every line sent and received, and each step, on standard error\n"
    "  -q, --quiet          no progress line\n"
    "  -H, --hosts LIST     run on every agent of LIST (HOST[:PORT] separated by commas,\n"
    "                       or @FILE: one per line); output lines start with 'HOST: '\n"
    "  -P, --parallel N     at most N agents at a time (default 16)\n"
    "  -g, --group          with -H: each agent's output together once it has finished\n"
    "      --json           one JSON object per agent and step on standard output\n"
    "      --json-output    the same, with each program's output in it\n"
    "  -M, --master         keep one connection to the agent in the background; later\n"
    "                       calls for the same user, host and port go through it\n"
    "  -S, --control-path PATH\n"
    "                       the control connection's socket (none: connect on its own)\n"
    "      --persist SEC    with -M: end after SEC seconds without a call (default 600)\n"
    "  -O, --control check|exit\n"
    "                       whether a control connection serves, or end it\n"
    "      --tls            TLS 1.3 to the agent (also with any --tls-* option or KVSCTL_TLS_CA)\n"
    "      --tls-ca FILE    the CA the agent's certificate must chain to (KVSCTL_TLS_CA)\n"
    "      --tls-cert FILE, --tls-key FILE\n"
    "                       this studio's certificate and key (KVSCTL_TLS_CERT, KVSCTL_TLS_KEY)\n"
    "  -h, --help           this text; 'kvsctl HOST COMMAND --help' describes a command\n"
    "      --version        the version\n"
    "\n"
    "Exit status: run gives the program's exit status (128+N for a death by signal N);\n"
    "the other commands 0 on success; 1 when the agent refused a command or a transfer\n"
    "or a local file failed; 2 for a bad command line; 127 when the program cannot be\n"
    "launched; 255 for connection, TLS, identification and protocol failures. With -H, 0\n"
    "when every agent succeeded, else the largest status of any agent.\n";

constexpr std::string_view kRunUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] run [-C DIR] [-e NAME=VALUE]... [-n]\n"
    "              [--rendezvous ok|ko] [--dynfollow ok|ko] [--] PROGRAM [ARG]...\n"
    "\n"
    "Runs PROGRAM (found along the agent's PATH) with its arguments exactly as given,\n"
    "prints what it writes to its standard output and error as it comes, sends this\n"
    "standard input to it (its input ends when this one does) and exits with its exit\n"
    "status (128+N when a signal N ended it; 127 when it cannot be launched).\n"
    "\n"
    "  -C DIR               start the program in DIR (relative to the agent's directory)\n"
    "  -e NAME=VALUE        set a variable in the program's environment (repeatable)\n"
    "  -n                   give the program no input (its input ends at once)\n"
    "  --rendezvous ok|ko   answer every rendezvous the program's testers reach\n"
    "  --dynfollow ok|ko    answer every tester that ends its dynamic-follow report\n"
    "\n"
    "In VALUE and DIR, $NAME and ${NAME} are replaced by the agent's variable NAME when\n"
    "it is set there; program arguments are passed literally ('$HOME' stays $HOME).\n";

constexpr std::string_view kPutUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] put [-r] [--ascii] LOCAL REMOTE\n"
    "\n"
    "Sends the local file LOCAL ('-': standard input) to the agent as REMOTE (relative\n"
    "to the agent's directory). --ascii converts line ends for a text file; the default\n"
    "moves the bytes unchanged. A progress line appears on a terminal.\n"
    "\n"
    "  -r, --recursive      LOCAL is a directory: create REMOTE and copy the tree into it\n"
    "                       (MKD per directory, PUTF per file, one connection). Symbolic\n"
    "                       links are followed; a link that leads nowhere, a link to a\n"
    "                       directory already being copied, and what is neither a file nor\n"
    "                       a directory are skipped with a message.\n";

constexpr std::string_view kGetUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] get [--ascii] REMOTE LOCAL\n"
    "\n"
    "Fetches REMOTE from the agent into LOCAL ('-': standard output; an existing\n"
    "directory: the file keeps its name). LOCAL is replaced only when the whole file\n"
    "arrived. --ascii converts line ends for a text file. A progress line appears on a\n"
    "terminal.\n";

constexpr std::string_view kStepsUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] do [-k] STEP [--- STEP]...\n"
    "       kvsctl [OPTIONS] HOST[:PORT] do [-k] -f FILE\n"
    "\n"
    "Runs the steps in order over one connection. A step is one of\n"
    "  run [-C DIR] [-e NAME=VALUE]... [--rendezvous ok|ko] [--dynfollow ok|ko] [--] PROGRAM [ARG]...\n"
    "  put [-r] [--ascii] LOCAL REMOTE\n"
    "  get [--ascii] REMOTE LOCAL\n"
    "  cd DIR                          change the agent's directory for the later steps\n"
    "  env NAME=VALUE...               set variables for the programs of later steps\n"
    "Steps are separated by a '---' argument; in FILE ('-': standard input) there is\n"
    "one per line, words split as a shell does, '#' starting a comment line. Programs\n"
    "get no input. The script stops at the first step that fails and exits with its\n"
    "status.\n"
    "\n"
    "  -k, --keep-going     run the later steps anyway; the exit status is that of the\n"
    "                       first step that failed\n"
    "  -f, --file FILE      read the steps from FILE\n";

constexpr std::string_view kShellUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] shell\n"
    "\n"
    "Identifies, then sends each line typed (with a prompt, history and line editing\n"
    "on a terminal) or read from standard input as a command line and prints every\n"
    "line the agent sends: replies, and notifications (661 process stopped, 601 to\n"
    "603 rendezvous, 700 to 800 dynamic follow) as soon as they arrive. When the\n"
    "input ends, QUIT is sent and the agent's last lines are printed.\n";

constexpr std::string_view kFollowUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] follow [--rendezvous ok|ko] [--dynfollow ok|ko]\n"
    "\n"
    "Opens a connection, reports its rendezvous and dynamic-follow ports on standard\n"
    "error and prints every notification that arrives on it. Lines typed on standard\n"
    "input are sent as commands (DFOK ID, DFKO ID, ISND ID TEXT, RVOK NAME...), and\n"
    "the options answer automatically. Testers reach it only through these ports:\n"
    "programs launched on another connection report to that connection. Runs until\n"
    "interrupted or the agent closes the connection.\n";

constexpr std::string_view kReleaseUsage =
    "usage: kvsctl [OPTIONS] HOST[:PORT] release NAME\n"
    "       kvsctl [OPTIONS] HOST[:PORT] refuse NAME\n"
    "\n"
    "Sends RVOK NAME (release) or RVKO NAME (refuse) and ends the connection.\n"
    "A rendezvous belongs to the connection whose port the testers joined; for\n"
    "programs started with 'run', use its --rendezvous option.\n";

}  // namespace

std::string usage(command cmd) {
  switch (cmd) {
    case command::run:
      return std::string(kRunUsage);
    case command::put:
      return std::string(kPutUsage);
    case command::get:
      return std::string(kGetUsage);
    case command::steps:
      return std::string(kStepsUsage);
    case command::shell:
      return std::string(kShellUsage);
    case command::follow:
      return std::string(kFollowUsage);
    case command::release:
    case command::refuse:
      return std::string(kReleaseUsage);
    case command::none:
      break;
  }
  return std::string(kGlobalUsage);
}

}  // namespace kvsctl
