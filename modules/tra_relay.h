// tra_relay: the standard streams of programs carried over a trace
// connection that programs cannot use themselves (one that speaks TLS).
// Programs get one end of a local socket pair as their standard input,
// output and error, as they would get a plain trace connection; the agent
// moves bytes between the other end and the trace connection, both ways,
// inside the loop's one wait, never waiting in a call. Each way has a
// bounded buffer: a full one stops the reading of the side that fills it,
// so that a studio that does not read holds its programs' writes, and
// programs that do not read hold the studio's sending, as a plain trace
// connection does.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "net/connection.h"
#include "platform/unique_fd.h"

// What each way of a relay holds at most.
constexpr std::size_t TRA_RELAY_BUFFER = 32u << 10;
// The most one handler moves one way before the loop's next turn: a side
// that always brings more must not keep the studio and the stop signal
// waiting.
constexpr std::size_t TRA_RELAY_TURN_BYTES = 8 * TRA_RELAY_BUFFER;

// One way of a relay: bytes read from its source and not yet written to its
// sink, at most `capacity`, with the counts of what it has taken and passed
// on since it began.
class tra_pipe {
 public:
  explicit tra_pipe(std::size_t capacity = TRA_RELAY_BUFFER) : capacity_(capacity) {}

  std::size_t room() const { return capacity_ - (end_ - begin_); }
  // Where room() bytes may be read to; filled() then counts what was.
  char* space();
  void filled(std::size_t n);
  // What waits for the sink; drained() drops what it took.
  std::string_view held() const { return {area_.data() + begin_, end_ - begin_}; }
  void drained(std::size_t n);
  bool empty() const { return begin_ == end_; }

  // The source has ended (its end of stream, or it failed).
  void end_source() { source_ended_ = true; }
  bool source_ended() const { return source_ended_; }
  // Ended, and all it took has been passed on.
  bool done() const { return source_ended_ && empty(); }

  long long taken() const { return taken_; }
  long long passed() const { return passed_; }

 private:
  std::size_t capacity_;
  std::vector<char> area_;  // made when first filled
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool source_ended_ = false;
  long long taken_ = 0;
  long long passed_ = 0;
};

// A relay between the trace connection (`studio`, of any connection type)
// and the agent's end of the programs' socket pair. It owns both sides and
// the programs' end until it is let go.
class tra_relay {
 public:
  // Runs once the studio's connection has ended its handshake (or failed
  // it: see the connection's state).
  using handshaken_handler = void (*)(agt_context* context, tra_relay* relay);
  // Takes an accepted trace connection of `type` over `socket`, its
  // handshake started; none when it cannot be watched (the socket is then
  // closed). A handshake that ends within the call runs no handler: the
  // caller finds the connection's state changed.
  static std::unique_ptr<tra_relay> accept(agt_context* context, const tcpip_conn_type& type, int socket);
  void set_handshaken(handshaken_handler handler) { handshaken_ = handler; }
  // Makes the programs' pair and starts moving bytes: 0, or -1 (errno).
  int begin();
  tcpip_conn* studio() const { return studio_.get(); }
  ~tra_relay();
  tra_relay(const tra_relay&) = delete;
  tra_relay& operator=(const tra_relay&) = delete;

  // The descriptor programs get as 0, 1 and 2 (blocking, not inherited
  // otherwise); -1 once let go.
  int program_end() const { return program_end_.get(); }
  // No later program is given it: once the programs that have it close it,
  // their output ends.
  void close_program_end() { program_end_.reset(); }
  int studio_socket() const { return studio_ ? studio_->socket : -1; }

  // The studio reset or failed its connection: nothing more moves.
  bool gone() const { return gone_; }
  // The programs' output has ended and all of it has been handed to the
  // studio's connection.
  bool delivered() const { return to_studio_.done(); }
  // How far the programs' output must be handed on before everything
  // written so far (into the pair included) has been.
  long long output_mark() const;
  bool output_passed(long long mark) const { return gone_ || to_studio_.passed() >= mark; }

 private:
  tra_relay() = default;
  static void studio_ready(tcpip_conn* conn);
  static void studio_readable(tcpip_conn* conn);
  static void studio_writable(tcpip_conn* conn);
  static void programs_readable(tcpip_conn* conn);
  static void programs_writable(tcpip_conn* conn);
  void to_programs();
  void to_studio();
  // Moves what `from` brings through `pipe` to `to`.
  void move(tcpip_conn* from, tra_pipe& pipe, tcpip_conn* to);
  // Which sides are watched for what, from the buffers and the ends.
  void arm();
  void fail_studio();

  agt_context* context_ = nullptr;
  handshaken_handler handshaken_ = nullptr;
  tcpip_conn_ptr studio_;
  tcpip_conn_ptr programs_;
  unique_fd program_end_;
  tra_pipe to_studio_;
  tra_pipe to_programs_;
  bool gone_ = false;
  bool programs_shut_ = false;   // the studio's end of input has reached the programs
  bool programs_closed_ = false;  // no program reads any more: the studio's input is dropped
  // The owners of the two sides in the registry, so that each side's input
  // can be held back on its own.
  char studio_owner_ = 0;
  char programs_owner_ = 0;
};
