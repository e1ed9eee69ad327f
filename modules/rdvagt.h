// rdvagt: the rendezvous channel. Testers wait at a named rendezvous until
// the studio releases them. PRDV, RVOK, RVKO; lines 580, 581, 601 to 603.
//
// Each connection process listens on a port of its own, published in
// KVS_PORT_RDV for the programs it launches. A tester connects, sends the
// name it waits for (one receive is the whole name, one trailing CR LF is
// dropped) and is told "Ok" (RVOK) or "Ko" (RVKO, or the connection process
// ends), after which its connection is closed.
#pragma once

#include <list>
#include <optional>
#include <vector>

#include "modules/agt_module.h"
#include "net/tcpip.h"

// A rendezvous name is what one receive brings (one trailing CR LF dropped):
// at most this many bytes, in its 601 line and in every later 602 or 603.
constexpr int RDV_NAME_MAX = TCPIP_RECV_CHUNK;

int RDVAinit(agt_context* context);
int RDVAterm(agt_context* context);
int RDVAget_port(agt_context* context);
// Serves the ready sockets of one turn; the lines for the studio, joined with
// CR LF, without the final line end, or none. A tester is read only while
// what one receive may add fits in the room the connection has left for its
// studio (TCPIProom); otherwise it stays ready for a later turn.
std::optional<kvwstr> RDVAready(agt_context* context, const std::vector<int>& ready);

// The module's record (its start, end and commands).
extern const agt_module rdv_module;
