// kvsagtd: start-up, the connection listener (daemon) and the connection
// loop of a connection process.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/tls.h"
#include "support/ctxagt.h"
#include "support/kvwstr.h"

constexpr const char* AGT_BANNER = "System testing Agent 8.0.1.2.343.015\n";
// With the executable's name as the system writes it (PLATagent_file_name).
constexpr const char* AGT_USAGE_FORMAT =
    "System testing Agent 8.0.1.2.343.015\nProvex-I-USAGE: %s <TCP port number> [-IPv4]\n";
// What --version prints: the package's version (project() in CMakeLists.txt),
// as the client tools print theirs.
constexpr const char* AGT_VERSION_LINE = "kvsagtd 8.0.1\n";
// Unfinished command text beyond this many bytes ends the connection.
constexpr int AGT_LINE_CAP = 1048576;
// Replies waiting for a studio that does not read them: beyond this many
// bytes no further line is dispatched and nothing more is received.
constexpr std::size_t AGT_HIGH_WATER = 4u << 20;
// Seconds a connection may take to identify a user (KVS_IDENT_TIMEOUT; 0: no limit).
constexpr int AGT_IDENT_TIMEOUT = 120;
// How far into the pause after an accept the daemon starts the connection
// process that waits for the next connection.
constexpr int AGT_PREPARE_AFTER_MS = 50;

int AGTmain(int argc, char** argv);
[[noreturn]] void AGTlisten(agt_context* context, const char* program, int port);
// Serves one connection; with `name_pending`, the peer's name is looked up
// from the socket once the greeting has gone. With `tls`, the connection
// and its side connections speak TLS on that server.
void AGTserve(const char* peer_name, int command_socket, bool name_pending = false, plat_tls_server_ptr tls = {});

void AGTcommand_ready(agt_context* context, const std::vector<int>& ready, int command_socket, kvwstr& buffer,
                      int* stop);
// Dispatches every complete line of the buffer and removes them from it.
void AGTsplit_lines(agt_context* context, kvwstr& buffer, int* stop, int command_socket);
// Starts the interpreter with its modules, then the channels, in the order
// of the module list: 0, or -1 when one of them fails.
int AGTstart_modules(agt_context* context, const char* peer_name);
// Ends the channels in order, then the interpreter with its modules.
void AGTend_modules(agt_context* context);
// Hands the ready descriptors of one turn to every channel and sends the
// studio what they report.
void AGTserve_channels(agt_context* context, const std::vector<int>& ready, int command_socket);
