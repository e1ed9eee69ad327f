#include "client/trace.h"
#include "support/protocol/replies.h"

#include <chrono>

namespace studio {

namespace {

using clock = std::chrono::steady_clock;

constexpr std::string_view kTracePortReply = protocol::reply_text(MSG_222_TRACE_PORT);
constexpr std::string_view kTraceEstablished = protocol::reply_text(MSG_225_TRACE_ESTABLISHED);

}  // namespace

bool trace_connection::open(const std::string& host, int port, int timeout_ms, std::string* error) {
  fd_ = stream(connect_tcp(host, port, timeout_ms, error));
  pending_.clear();
  eof_ = false;
  return fd_.valid();
}

bool trace_connection::write(std::string_view bytes) { return fd_.valid() && send_all(fd_, bytes); }

bool trace_connection::close_input() { return fd_.valid() && fd_.shutdown_write() == 0; }

std::string trace_connection::read_until(std::string_view text, int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::size_t at = pending_.find(text);
    if (at != std::string::npos) {
      std::string got = pending_.substr(0, at + text.size());
      pending_.erase(0, at + text.size());
      return got;
    }
    if (eof_ || !fd_.valid() || !receive_into(fd_, pending_, eof_, deadline)) break;
  }
  std::string got;
  got.swap(pending_);
  return got;
}

std::string trace_connection::read_available(int timeout_ms) {
  std::string got;
  got.swap(pending_);
  if (fd_.valid() && !eof_) {
    bool closed = false;
    got += read_until_closed(fd_, timeout_ms, &closed);
    eof_ = closed;
  }
  return got;
}

trace_connection establish_trace(connection& agent, const std::string& host, int timeout_ms, std::string* error,
                                 const tls_client* tls, const std::string& verify_name) {
  auto fail = [error](const std::string& why) {
    if (error != nullptr) *error = why;
    return trace_connection();
  };
  std::optional<std::string> reply = agent.request("PORT", timeout_ms);
  if (!reply) return fail("no reply to PORT");
  if (reply->rfind(kTracePortReply, 0) != 0) return fail("PORT answered: " + visible(*reply));
  int port = reply_number(*reply);
  if (port <= 0) return fail("PORT answered: " + visible(*reply));
  std::string why;
  socket_fd socket = connect_tcp(peer_address(agent.fd(), host), port, timeout_ms, &why);
  if (!socket.valid()) return fail(why);
  trace_connection trace;
  if (tls == nullptr) {
    trace = trace_connection(std::move(socket));
    reply = agent.request("TRWA", timeout_ms);
  } else {
    auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!agent.send_line("TRWA")) return fail("the command connection failed");
    trace = trace_connection(stream::tls(std::move(socket), *tls, verify_name.empty() ? host : verify_name, timeout_ms, &why));
    if (!trace.valid()) return fail("TLS: " + why);
    reply = agent.read_reply_by(deadline);
  }
  if (!reply) return fail("no reply to TRWA");
  if (*reply != kTraceEstablished) return fail("TRWA answered: " + visible(*reply));
  return trace;
}

}  // namespace studio
