// Rendezvous names as testers send them: each piece of the input (cut at
// 0xff bytes) is one tester on a socket pair whose first receive is read by
// RDVArecv_name and joined by RDVAjoin; an empty piece is a tester that
// closes before sending a name. A piece that begins with 0x01 is instead
// more data from the latest waiting tester (0x01 alone: that tester quits),
// read by RDVAwaiter_event. At the end RDVAclear answers everybody.
// Invariants, against a model of the groups:
// - the name is what one receive brings, up to a NUL, less one trailing
//   CR LF (only one, only at the end), every other CR and LF a blank; the
//   601 line carries exactly it and holds no CR or LF;
// - one group per distinct name, newest first, holding exactly the testers
//   that sent that name; a tester without a name gives 581 and is closed at
//   once (it hears the end of its connection and nothing else);
// - a waiter's later data gives 603, its departure 602, with its group name;
// - at the end every tester still connected hears exactly "Ko", then the
//   end of its connection; one that quit hears nothing.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "modules/rdvagt_internal.h"
#include "net/tcpip.h"

namespace {

constexpr std::size_t kMaxTesters = 48;  // bounds the descriptors one input uses

struct tester {
  int studio = -1;  // the tester's end of the pair
  std::string group;
  bool named = false;
  bool quit = false;
  bool nameless = false;  // closed before a name: closed by the agent at once
};

std::string read_all(int fd) {
  std::string out;
  char area[256];
  for (;;) {
    ssize_t n = ::recv(fd, area, sizeof area, MSG_DONTWAIT);
    if (n <= 0) return n == 0 ? out + "<end>" : out;
    out.append(area, static_cast<std::size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  agt_context_ptr owner = CTXnew(10);
  agt_context* context = owner.get();
  TCPIPinit(context, 0);
  rdv_state state;

  std::vector<tester> testers;
  std::vector<std::string> group_order;  // newest first
  std::map<std::string, std::size_t> members;
  int latest_waiter = -1;

  for (const std::string& piece : fuzz::pieces(data, size)) {
    if (!piece.empty() && piece[0] == '\x01') {
      if (latest_waiter < 0) continue;
      tester& t = testers[static_cast<std::size_t>(latest_waiter)];
      rdv_group* group = nullptr;
      rdv_waiter* waiter = nullptr;
      for (rdv_group& g : state.groups)
        for (rdv_waiter& w : g.waiters)
          if (w.socket >= 0 && waiter == nullptr) {
            // The latest waiter is the head of its group's list.
            if (g.name.view() == t.group && &w == &g.waiters.front()) group = &g, waiter = &w;
          }
      FUZZ_CHECK(waiter != nullptr, "the latest waiter is not at the head of its group");
      std::string reply;
      if (piece.size() == 1) {
        ::close(t.studio);
        t.studio = -1;
        t.quit = true;
        latest_waiter = -1;
        reply = std::string(RDVAwaiter_event(context, *group, *waiter).view());
        FUZZ_CHECK(reply == "602 quit rendezvous : " + t.group, "quit gave %s", fuzz::show(reply).c_str());
        FUZZ_CHECK(waiter->socket < 0, "a waiter that quit is still live");
      } else {
        FUZZ_CHECK(::send(t.studio, piece.data() + 1, piece.size() - 1, 0) > 0, "send");
        reply = std::string(RDVAwaiter_event(context, *group, *waiter).view());
        FUZZ_CHECK(reply == "603 error on rendezvous : " + t.group, "data gave %s", fuzz::show(reply).c_str());
        read_all(t.studio);  // nothing is expected back; keep the pair empty
      }
      continue;
    }
    if (testers.size() == kMaxTesters) break;
    int pair[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    testers.push_back({pair[1], "", false, false});
    state.pending.push_front(rdv_waiter{pair[0]});
    if (piece.empty()) {
      ::shutdown(pair[1], SHUT_WR);
    } else {
      FUZZ_CHECK(::send(pair[1], piece.data(), piece.size(), 0) == static_cast<ssize_t>(piece.size()), "send");
    }
    std::string reply(RDVArecv_name(context, &state, state.pending.begin()).view());
    if (piece.empty()) {
      testers.back().nameless = true;
      FUZZ_CHECK(reply == "581 INTERNAL ERROR : RDV recv failed!", "no name gave %s", fuzz::show(reply).c_str());
      continue;
    }
    std::string name = piece.substr(0, std::min<std::size_t>(TCPIP_RECV_CHUNK, piece.find('\0')));
    if (name.size() >= 2 && name.ends_with("\r\n")) name.resize(name.size() - 2);
    for (char& c : name)
      if (c == '\r' || c == '\n') c = ' ';
    FUZZ_CHECK(reply == "601 wait rendezvous : " + name, "name %s gave %s", fuzz::show(piece).c_str(),
               fuzz::show(reply).c_str());
    tester& t = testers.back();
    t.group = name;
    t.named = true;
    latest_waiter = static_cast<int>(testers.size() - 1);
    if (members[name]++ == 0) group_order.insert(group_order.begin(), name);
  }

  FUZZ_CHECK(state.pending.empty(), "%zu pending, expected none", state.pending.size());
  FUZZ_CHECK(state.groups.size() == group_order.size(), "%zu groups, expected %zu", state.groups.size(),
             group_order.size());
  std::size_t index = 0;
  for (const rdv_group& group : state.groups) {
    FUZZ_CHECK(group.name.view() == group_order[index], "group %zu is %s, expected %s", index,
               fuzz::show(group.name.view()).c_str(), fuzz::show(group_order[index]).c_str());
    FUZZ_CHECK(group.waiters.size() == members[group_order[index]], "group %s holds %zu, expected %zu",
               fuzz::show(group.name.view()).c_str(), group.waiters.size(), members[group_order[index]]);
    ++index;
  }

  RDVAclear(context, &state);
  FUZZ_CHECK(state.groups.empty() && state.pending.empty(), "records left after the end");
  for (tester& t : testers) {
    if (t.quit) continue;
    std::string heard = read_all(t.studio);
    const char* expected = t.nameless ? "<end>" : "Ko<end>";
    FUZZ_CHECK(heard == expected, "a tester heard %s, expected %s", fuzz::show(heard).c_str(), expected);
    ::close(t.studio);
  }
  CTXfree(owner);
  return 0;
}
