// A studio that speaks TLS to the agent, for the end-to-end tests: the
// command connection and side connections (data, trace, testers) with a
// chosen certificate or none, and the test certificates of
// tests/tls/make-certs.sh, made once per test binary. Every wait is bounded.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "harness.h"

namespace e2e {

// The test certificates, made on first use into a temporary directory that
// lives as long as the test binary: ca, agent, agent2, alice, alice2, bob,
// carol, expired, stranger, other-ca (read the script's header).
class test_certs {
 public:
  static const test_certs& get();
  bool made() const { return made_; }
  const std::string& dir() const { return dir_.path(); }
  std::string pem(const std::string& name) const { return dir_.file(name + ".pem"); }
  std::string key(const std::string& name) const { return dir_.file(name + ".key"); }

 private:
  test_certs();
  temp_dir dir_;
  bool made_ = false;
};

// How a TLS studio connects: the CA it verifies the agent with and the
// name it expects (empty CA: the agent is not verified), and its own
// certificate (empty: none).
struct tls_options {
  std::string ca;
  std::string cert;
  std::string key;
  std::string host = "localhost";
};
// The options of a studio with test certificate `name` ("" for none),
// verifying the agent against the test CA.
tls_options studio_options(const std::string& name);

class tls_connection {
  struct opening {};

 public:
  // Made by open() only.
  explicit tls_connection(opening);
  ~tls_connection();
  tls_connection(const tls_connection&) = delete;
  tls_connection& operator=(const tls_connection&) = delete;

  // Connects to 127.0.0.1:port and runs the handshake, within timeout_ms;
  // none on failure, with OpenSSL's reason in *error.
  static std::unique_ptr<tls_connection> open(int port, const tls_options& options, std::string* error = nullptr,
                                              int timeout_ms = kReplyMs);

  bool send(std::string_view bytes);
  // The next line without its CR LF; none when nothing came within
  // timeout_ms or the connection ended.
  std::optional<std::string> read_line(int timeout_ms = kReplyMs);
  // Sends a command line and returns its reply line ("<none>" when none came).
  std::string command(const std::string& line);
  // Everything up to the end of the session (close_notify); false when the
  // connection failed or timeout_ms passed first.
  bool read_all(std::string* out, int timeout_ms = kReplyMs);
  // Whether the agent ends the connection within timeout_ms (at the TLS or
  // TCP level, without a line).
  bool ends_within(int timeout_ms);
  // Sends the end of the session, then closes.
  void finish();
  // The agent's certificate's public key (DER), to tell two certificates apart.
  std::string server_key() const;

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

// A TLS studio's command connection, greeted and identified as `user`;
// none (with the reason in *error) when any step failed.
std::unique_ptr<tls_connection> tls_admitted(int port, const tls_options& options, const std::string& user,
                                             std::string* error = nullptr);

// A TLS agent daemon on a free port: its certificate and key the test
// agent's, client certificates from the test CA (unless `mutual` is false),
// an authorization file of `rules`, KVS_ACCEPT_PAUSE_MS=0, and any further
// environment of `env`.
class tls_daemon {
 public:
  explicit tls_daemon(const std::string& rules = "+ +\n", bool mutual = true,
                      const std::map<std::string, std::string>& env = {});
  ~tls_daemon() { process_.kill_now(); }
  tls_daemon(const tls_daemon&) = delete;
  tls_daemon& operator=(const tls_daemon&) = delete;

  bool ready() const { return ready_; }
  int port() const { return port_; }
  pid_t pid() const { return process_.pid; }
  const temp_dir& dir() const { return dir_; }
  // The daemon's and its connection processes' standard output.
  std::string log() const { return process_.out(); }
  // Where the daemon's certificate and key are: copies the test may change
  // (and reload with SIGHUP).
  std::string cert_path() const { return dir_.file("agent.pem"); }
  std::string key_path() const { return dir_.file("agent.key"); }
  // Waits until the log holds `text`.
  bool log_has(const std::string& text, int timeout_ms = kReplyMs) const;

 private:
  temp_dir dir_;
  captured_process process_;
  int port_ = -1;
  bool ready_ = false;
};

}  // namespace e2e
