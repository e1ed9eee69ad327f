// The studio side of file transfer: the agent's data port, PUTF and GETF.
//
// A transfer is one command and one data connection: the studio sends
// "PUTF name" (or "GETF name") on the command connection, connects to the
// data port it learnt with PFTP, streams the file (or reads it until the
// agent closes), closes, and takes the outcome from the command reply
// ("231 ..." / "230 ..."). The data stream has no header and no trailer.
//
// In ASCII mode lines travel with CR LF ends; this side's local line end is
// LF, so sending turns LF into CR LF and receiving turns CR LF into LF,
// nothing more. BINARY mode moves the bytes unchanged.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "client/studio.h"
#include "support/protocol/ascii_codec.h"
#include "support/protocol/replies.h"

namespace studio {

enum class transfer_mode { binary, ascii };

// ASCII mode conversions between local text (LF line ends) and the wire,
// the protocol library's: ascii_from_wire is stateful so that a CR LF pair
// cut between two pieces is still one line end.
using protocol::ascii_from_wire;
using protocol::ascii_to_wire;

// Connects to the agent's data port.
socket_fd connect_data(const std::string& host, int port, int timeout_ms, std::string* error = nullptr);
// Sends all bytes; false when the connection fails or the agent takes nothing
// for timeout_ms.
bool send_within(int fd, std::string_view bytes, int timeout_ms);
bool send_within(stream& s, std::string_view bytes, int timeout_ms);

struct transfer_result {
  bool ok = false;     // the agent reported the file sent or received
  std::string reply;   // the agent's reply line; empty when none came
  std::string data;    // get(): the file as received (converted in ASCII mode)
  std::string error;   // what went wrong on this side, when something did
};

// Transfers over an identified command connection. Every wait is bounded by
// timeout_ms: for a connection, for the next bytes of a stream, for a reply.
class file_transfer {
 public:
  file_transfer(connection& command, std::string host, int timeout_ms = 10000);

  // PFTP: the agent's data port, or -1 (remembered for later transfers).
  int data_port();
  // FTPA / FTPB; the mode holds on the agent for every later transfer.
  bool set_mode(transfer_mode mode);
  transfer_mode mode() const { return mode_; }
  // Makes the data connection of a transfer another way: given the command
  // (PUTF or GETF and the name), it sends it and returns the connection, or
  // an invalid one with the reason in its second argument.
  void set_data_opener(std::function<stream(const std::string&, std::string*)> opener) {
    opener_ = std::move(opener);
  }
  // Data connections speak TLS with `client`'s certificate, the agent's
  // verified against `verify_name` (the host given when empty).
  void set_tls(const tls_client* client, std::string verify_name = std::string()) {
    tls_ = client;
    verify_name_ = std::move(verify_name);
  }

  transfer_result put(const std::string& remote_name, std::string_view content);
  transfer_result get(const std::string& remote_name);
  // The same from and to local files, streamed in pieces.
  transfer_result put_file(const std::string& local_path, const std::string& remote_name);
  transfer_result get_file(const std::string& remote_name, const std::string& local_path);

  // Lower level: `source` fills its buffer and returns the byte count (0 at
  // the end, -1 on a local error); `sink` takes each piece as it arrives and
  // returns false on a local error. Pieces are raw wire bytes: no conversion.
  transfer_result put_stream(const std::string& remote_name, const std::function<long(char*, std::size_t)>& source);
  transfer_result get_stream(const std::string& remote_name, const std::function<bool(std::string_view)>& sink);

 private:
  bool start(const std::string& command, transfer_result& result, stream& data);
  void finish(transfer_result& result, cmd_msg_id success);

  connection& command_;
  std::string host_;
  int timeout_ms_;
  int port_ = -1;
  transfer_mode mode_ = transfer_mode::binary;
  std::function<stream(const std::string&, std::string*)> opener_;
  const tls_client* tls_ = nullptr;
  std::string verify_name_;
};

}  // namespace studio
