#include "platform/handover.h"

#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/protocol/numbers.h"

// Two argument forms:
// - a connection process started ahead of its connection (the spare): the
//   peer's name is empty, the second word is the descriptor of its end of a
//   Unix socket pair with the daemon (the channel), the third word is "0".
//   It waits on the channel for the accepted socket (SCM_RIGHTS) and looks
//   the peer's name up itself;
// - a connection process started for an accepted socket (when no spare
//   waited, or it died): it inherits the socket through fork and exec; its
//   words are the peer's name (looked up in the child before the exec), the
//   accepted socket's descriptor and the listening socket's descriptor,
//   which it closes.
//
// The daemon's end of the channel is close-on-exec, so the daemon alone holds
// it: when the daemon ends, even killed, the spare reads the end of the
// channel and ends too. The spare answers one byte once it holds the socket:
// a spare that dies before (the socket then dies with it in the channel) is
// seen by the daemon, which still holds its own copy and starts a process
// for it as without spare.
//
// A payload (the TLS material) goes with the socket as a second descriptor:
// a sealed memory file the spare reads whole. The daemon makes a new one
// when the payload changes, so a spare reads the payload of the moment its
// connection was handed over, never a later one.

namespace {

// A descriptor number of the argument words.
int parse_fd(const char* text) {
  if (text == nullptr) return -1;
  return static_cast<int>(protocol::parse_digits(text, 0, 1 << 24).value_or(-1));
}

// The socket, and the payload's memory file when there is one.
bool send_socket(int channel, int socket, int payload = -1) {
  char byte = 0;
  iovec io{&byte, 1};
  const int fds[2] = {socket, payload};
  const std::size_t count = payload >= 0 ? 2 : 1;
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))]{};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = CMSG_SPACE(count * sizeof(int));
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(count * sizeof(int));
  std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
  ssize_t sent;
  do sent = ::sendmsg(channel, &message, MSG_NOSIGNAL);
  while (sent < 0 && errno == EINTR);
  return sent == 1;
}

// How long the daemon waits for the spare to take the socket before it
// ends the spare and starts a process for the connection instead.
constexpr int TAKE_WAIT_MS = 2000;

// One byte from the channel: 1 (the spare's answer), 0 (the channel ended,
// the spare died without it) or -1 (nothing within `timeout_ms`).
int read_answer(int channel, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd p{channel, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready == 0) return -1;
    if (ready < 0) {
      if (errno != EINTR) return -1;
      continue;
    }
    char byte;
    ssize_t got = ::recv(channel, &byte, 1, MSG_DONTWAIT);
    if (got >= 0) return got == 1 ? 1 : 0;
    if (errno != EINTR && errno != EAGAIN) return 0;
  }
}

// Whether the spare took `accepted` (sent on `channel`). One that does not
// answer in time is ended; the socket is then its only if it answered first.
bool spare_took(int channel, int pid) {
  int answer = read_answer(channel, TAKE_WAIT_MS);
  if (answer >= 0) return answer == 1;
  ::kill(pid, SIGKILL);
  return read_answer(channel, TAKE_WAIT_MS) == 1;
}

bool is_stream_socket(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

// No payload of the agent comes near this size (three files of at most
// 1 MiB each).
constexpr off_t PAYLOAD_MAX = 16 << 20;

bool is_regular_file(int fd) {
  struct stat st{};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// The whole of the payload's memory file, read from its start (its offset
// is shared with the daemon's copy); false when it cannot be.
bool read_payload(int fd, std::string* payload) {
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 || st.st_size > PAYLOAD_MAX) return false;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t at = 0;
  while (at < bytes.size()) {
    ssize_t got = ::pread(fd, bytes.data() + at, bytes.size() - at, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += static_cast<std::size_t>(got);
  }
  if (payload != nullptr) *payload = std::move(bytes);
  return true;
}

// Waits for the one socket the daemon sends on `channel`, with its payload
// when one comes; -1 when the channel ends first or anything else came
// (which is closed).
int receive_socket(int channel, std::string* payload) {
  char byte;
  iovec io{&byte, 1};
  // Room for a few descriptors, so that unexpected extra ones are received
  // and closed here rather than left to the kernel's truncation.
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do got = ::recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
  while (got < 0 && errno == EINTR);
  if (got <= 0) return -1;
  std::vector<unique_fd> received;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      received.emplace_back(fd);
    }
  }
  if (received.empty() || received.size() > 2 || (message.msg_flags & MSG_CTRUNC) != 0 ||
      !is_stream_socket(received[0].get()))
    return -1;
  if (payload != nullptr) payload->clear();
  if (received.size() == 2 && (!is_regular_file(received[1].get()) || !read_payload(received[1].get(), payload)))
    return -1;
  return received[0].release();
}

}  // namespace

void PLATprepare_hand_over(plat_hand_overs& spare, const char* program) {
  if (spare.channel.valid()) return;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
  unique_fd ours(pair[0]), theirs(pair[1]);
  int pid = PLATspawn_self({program, "", std::to_string(theirs.get()), "0"}, {theirs.get()});
  if (pid < 0) return;
  spare.channel = std::move(ours);
  spare.pid = pid;
}

bool PLATset_hand_over_payload(plat_hand_overs& spare, const std::string& bytes) {
  if (bytes.empty()) {
    spare.payload.reset();
    return true;
  }
  unique_fd file(::memfd_create("kvsagtd-payload", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file.valid()) return false;
  std::size_t at = 0;
  while (at < bytes.size()) {
    ssize_t put = ::write(file.get(), bytes.data() + at, bytes.size() - at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    at += static_cast<std::size_t>(put);
  }
  // Nobody changes it any more, the spares that read it included.
  if (::fcntl(file.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) return false;
  spare.payload = std::move(file);
  return true;
}

int PLAThand_over(plat_hand_overs& spare, const char* program, int accepted, int listen_socket,
                  const std::function<void(std::string&)>& look_up) {
  // A spare that died refuses the socket (its end is closed): the
  // connection is then started as below; with a payload, through one more
  // spare started for it, since a copy started for the socket has no way
  // to the payload.
  for (int attempt = 0; attempt < (spare.payload.valid() ? 2 : 1); ++attempt) {
    if (attempt > 0) PLATprepare_hand_over(spare, program);
    if (!spare.channel.valid()) continue;
    unique_fd channel = std::move(spare.channel);
    if (send_socket(channel.get(), accepted, spare.payload.get()) && spare_took(channel.get(), spare.pid))
      return spare.pid;
  }
  if (spare.payload.valid()) return -1;
  std::function<void(std::vector<std::string>&)> complete;
  if (look_up) complete = [&look_up](std::vector<std::string>& argv) { look_up(argv[1]); };
  return PLATspawn_self({program, "", std::to_string(accepted), std::to_string(listen_socket)},
                        {accepted, listen_socket}, complete);
}

void PLATend_hand_overs(plat_hand_overs& spare) {
  spare.channel.reset();
  spare.pid = -1;
  spare.payload.reset();
}

int PLATtake_over(const char* second, const char* third, bool* name_pending, std::string* payload) {
  if (name_pending != nullptr) *name_pending = false;
  if (payload != nullptr) payload->clear();
  if (third != nullptr && std::strcmp(third, "0") == 0) {
    int channel = parse_fd(second);
    if (channel <= 2) return -1;
    unique_fd owned(channel);
    int socket = receive_socket(channel, payload);
    if (socket < 0) return -1;
    // The daemon waits for this answer (a daemon already gone does not).
    char taken = 1;
    ::send(channel, &taken, 1, MSG_NOSIGNAL);
    if (name_pending != nullptr) *name_pending = true;
    return socket;
  }
  // The daemon's port is held by the daemon alone.
  int listen_socket = parse_fd(third);
  if (listen_socket >= 0) ::close(listen_socket);
  return parse_fd(second);
}
