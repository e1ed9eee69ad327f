// dynfagt: the dynamic-follow channel. Testers report their progress in
// lines relayed to the studio; the studio answers them. PDYN, DFOK, DFKO,
// ISND, TOUT, AVAI; lines 590 to 592, 700 to 722, 800.
//
// A tester is named by its `tester_id`, a number counted per connection and
// never reused, so that an answer meant for a tester that has gone cannot
// reach a newer one. Its connection goes through these phases:
//   booting   accepted and watched; its first data is its boot message
//   relaying  its CR LF lines become notifications for the studio
//   ended     it sent an "End_of" line: nothing more is relayed; its input is
//             drained so that its closing is noticed, and it can be answered
// A tester that closes, fails or is dropped is closed at once and forgotten,
// and so is an ended one that has had its final answer (DFOK, DFKO) once it
// closes.
// Answers wait in the tester's output queue; a tester that does not read them
// is dropped once its queue passes DYNF_QUEUE_MAX (or all testers' queues
// together pass DYNF_QUEUE_TOTAL_MAX), reported as a tester that left.
// The module owns every tester socket and closes them all at DYNFterm.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "modules/agt_module.h"

// An unfinished line longer than this ends the tester's connection.
constexpr int DYNF_PENDING_MAX = 1 << 20;
// The unfinished lines of all testers together, part of what the connection
// holds for its studio (TCPIP_HELD_MAX): the tester whose text takes them
// beyond is dropped as one that left.
constexpr std::size_t DYNF_PENDING_TOTAL_MAX = 2u << 20;
// Answers queued for testers that do not read: one tester, all together.
constexpr std::size_t DYNF_QUEUE_MAX = 1u << 20;
constexpr std::size_t DYNF_QUEUE_TOTAL_MAX = 16u << 20;

int DYNFinit(agt_context* context);
int DYNFterm(agt_context* context);
int DYNFget_port(agt_context* context);
// Serves the ready sockets of one turn; the notifications for the studio,
// joined with CR LF, without the final line end, or none. A tester is read
// only while what one receive may add fits in the room the connection has
// left for its studio (TCPIProom); otherwise it stays ready for a later turn.
std::optional<kvwstr> DYNFprocess(agt_context* context, const std::vector<int>& ready);

// The module's record (its start, end and commands).
extern const agt_module dynf_module;
