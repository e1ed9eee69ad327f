#include "modules/side_port.h"

#include <cstdlib>

#include "platform/sockets.h"
#include "support/cstsyst.h"

bool SIDEpeer_allowed(side_rule rule, bool studio_known, const tcpip_ip& studio_peer, const tcpip_ip& studio_local,
                      const tcpip_ip& peer, const tcpip_ip& local) {
  switch (rule) {
    case side_rule::machine_or_studio:
      if (TCPIPis_this_machine(peer, local)) return true;
      [[fallthrough]];
    case side_rule::studio_host:
      // Without a known studio (a command connection that is no socket)
      // nothing can be compared: only this machine is taken.
      if (!studio_known) return TCPIPis_this_machine(peer, local);
      return TCPIPsame_host(studio_peer, studio_local, peer, local);
  }
  return false;
}

bool SIDEtesters_any_host() {
  const char* text = std::getenv("KVS_TESTERS_ANY_HOST");
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return *end == '\0' && value == 1;
}

int SIDEaccept(agt_context* context, int listen_socket, side_rule rule, bool any_host, int* accepted, bool blocking) {
  tcpip_ip peer, local;
  int s = -1;
  int rc = TCPIPaccept_ready(context, listen_socket, &s, &peer, &local);
  if (rc != 0) return rc;
  tcpip_ip studio_peer, studio_local;
  const bool studio_known = TCPIPsession_addresses(context, &studio_peer, &studio_local);
  const bool tester = rule == side_rule::machine_or_studio;
  if (!(tester && any_host) && !SIDEpeer_allowed(rule, studio_known, studio_peer, studio_local, peer, local)) {
    CSTprintf("kvsagtd : connection from %s refused on port %d\n", TCPIPip_text(peer).c_str(),
              TCPIPget_port(context, listen_socket));
    TCPIPdiscard(s);
    return 1;
  }
  if (tester) TCPIPset_send_buffer(s, SIDE_TESTER_SNDBUF);
  if (blocking) PLATsocket_set_nonblocking(s, false);
  *accepted = s;
  return 0;
}

const tcpip_conn_type& SIDEconn_type(agt_context* context) {
  return TCPIPtls(context) ? TCPIPtls_type : TCPIPplain_type;
}

bool SIDEsession_conn(agt_context* context, tcpip_conn* conn, int port) {
  if (conn->type != &TCPIPtls_type) return conn->state == tcpip_conn_state::connected;
  std::string why;
  if (conn->state != tcpip_conn_state::connected) {
    why = "TLS handshake failed: " + TCPIPconn_error(conn);
  } else if (TCPIPsession_mutual(context)) {
    std::string key;
    TCPIPconn_peer(conn, nullptr, &key);
    if (key.empty())
      why = "no client certificate";
    else if (key != TCPIPsession_key(context))
      why = "not the studio's certificate";
  }
  if (why.empty()) return true;
  // Closed without the end of a TLS session: a refused peer must not take
  // the close for the end of a (empty) file.
  conn->state = tcpip_conn_state::failed;
  tcpip_ip peer, local;
  TCPIPaddresses(conn->socket, &peer, &local);
  CSTprintf("kvsagtd : connection from %s refused on port %d: %s\n", TCPIPip_text(peer).c_str(), port,
            kvwstr_one_line(why).c_str());
  return false;
}
