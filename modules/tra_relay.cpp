#include "modules/tra_relay.h"

#include <cerrno>
#include <cstring>

#include "platform/sockets.h"

char* tra_pipe::space() {
  if (area_.empty()) area_.resize(capacity_);
  // What waits moves to the front: the room is then all in one piece.
  if (begin_ > 0) {
    std::memmove(area_.data(), area_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  return area_.data() + end_;
}

void tra_pipe::filled(std::size_t n) {
  end_ += n;
  taken_ += static_cast<long long>(n);
}

void tra_pipe::drained(std::size_t n) {
  begin_ += n;
  passed_ += static_cast<long long>(n);
  if (begin_ == end_) begin_ = end_ = 0;
}

std::unique_ptr<tra_relay> tra_relay::accept(agt_context* context, const tcpip_conn_type& type, int socket) {
  std::unique_ptr<tra_relay> relay(new tra_relay());
  relay->context_ = context;
  relay->studio_ = TCPIPconn_new(context, type, socket, &relay->studio_owner_, relay.get());
  if (!relay->studio_) return nullptr;
  tcpip_conn* conn = relay->studio_.get();
  conn->type->accept(conn, studio_ready);
  return relay;
}

void tra_relay::studio_ready(tcpip_conn* conn) {
  auto* relay = static_cast<tra_relay*>(conn->data);
  if (relay->handshaken_ != nullptr) relay->handshaken_(relay->context_, relay);
}

int tra_relay::begin() {
  int pair[2] = {-1, -1};
  if (PLATsocket_pair(pair) != 0) return -1;
  program_end_ = unique_fd(pair[1]);
  programs_ = TCPIPconn_new(context_, TCPIPplain_type, pair[0], &programs_owner_, this);
  if (!programs_) {
    errno = EMFILE;
    return -1;
  }
  programs_->type->accept(programs_.get(), nullptr);
  TCPIPconn_on_read(studio_.get(), studio_readable);
  TCPIPconn_on_read(programs_.get(), programs_readable);
  arm();
  return 0;
}

tra_relay::~tra_relay() {
  TCPIPhold_input(context_, &studio_owner_, false);
  TCPIPhold_input(context_, &programs_owner_, false);
  if (studio_ && studio_->socket >= 0) TCPIPdrop_input(studio_->socket, TRA_DROP_MAX);
}

long long tra_relay::output_mark() const {
  long long unread = programs_ ? PLATsocket_unread(programs_->socket) : 0;
  return to_studio_.taken() + (unread > 0 ? unread : 0);
}

void tra_relay::studio_readable(tcpip_conn* conn) { static_cast<tra_relay*>(conn->data)->to_programs(); }
void tra_relay::programs_writable(tcpip_conn* conn) { static_cast<tra_relay*>(conn->data)->to_programs(); }
void tra_relay::programs_readable(tcpip_conn* conn) { static_cast<tra_relay*>(conn->data)->to_studio(); }
void tra_relay::studio_writable(tcpip_conn* conn) { static_cast<tra_relay*>(conn->data)->to_studio(); }

void tra_relay::to_programs() {
  if (gone_) return;
  move(studio_.get(), to_programs_, programs_closed_ ? nullptr : programs_.get());
  // The studio's end of sending is the programs' end of input, once what
  // came before it has reached them.
  if (!gone_ && to_programs_.done() && !programs_shut_ && !programs_closed_) {
    programs_shut_ = true;
    PLATsocket_shut_send(programs_->socket);
  }
  arm();
}

void tra_relay::to_studio() {
  if (gone_) return;
  move(programs_.get(), to_studio_, studio_.get());
  arm();
}

void tra_relay::move(tcpip_conn* from, tra_pipe& pipe, tcpip_conn* to) {
  std::size_t moved = 0;
  for (;;) {
    bool progress = false;
    while (!pipe.source_ended() && pipe.room() > 0 && moved < TRA_RELAY_TURN_BYTES) {
      long long n = TCPIPconn_read(from, pipe.space(), pipe.room());
      if (n > 0) {
        pipe.filled(static_cast<std::size_t>(n));
        moved += static_cast<std::size_t>(n);
        progress = true;
      } else if (n == 0) {
        // The studio's end of sending ends its own direction only: what the
        // programs write still goes to it.
        pipe.end_source();
      } else if (from->state == tcpip_conn_state::failed) {
        // The studio failed: the relay ends. The programs' end failing is
        // no news: they all closed it.
        if (from == studio_.get()) return fail_studio();
        pipe.end_source();
      } else {
        break;  // nothing more yet
      }
    }
    if (to == nullptr) {
      // Nobody reads: the studio's input is dropped as it comes.
      pipe.drained(pipe.held().size());
    }
    while (to != nullptr && !pipe.empty()) {
      std::string_view held = pipe.held();
      long long n = TCPIPconn_write(to, held.data(), held.size());
      if (n > 0) {
        pipe.drained(static_cast<std::size_t>(n));
        progress = true;
      } else if (to->state == tcpip_conn_state::failed) {
        if (to == studio_.get()) return fail_studio();
        // Every program has closed its end: what the studio sends from now
        // on is dropped.
        programs_closed_ = true;
        pipe.drained(pipe.held().size());
      } else {
        break;  // full: the wait says when it takes more
      }
    }
    if (!progress || moved >= TRA_RELAY_TURN_BYTES) return;
  }
}

void tra_relay::fail_studio() {
  gone_ = true;
  arm();
}

void tra_relay::arm() {
  // A side's input is read while its way has room and its source has not
  // ended; it is written while its way holds something. A side not read is
  // not watched at all (its input held back), so that a side at its end
  // does not wake every wait: the trace module notices a reset itself.
  const bool read_studio = !gone_ && !to_programs_.source_ended() && to_programs_.room() > 0;
  const bool read_programs = !gone_ && programs_ && !to_studio_.source_ended() && to_studio_.room() > 0;
  TCPIPhold_input(context_, &studio_owner_, !read_studio);
  TCPIPhold_input(context_, &programs_owner_, !read_programs);
  TCPIPconn_on_write(studio_.get(), !gone_ && !to_studio_.empty() ? studio_writable : nullptr);
  if (programs_)
    TCPIPconn_on_write(programs_.get(),
                       !gone_ && !programs_closed_ && !to_programs_.empty() ? programs_writable : nullptr);
}
