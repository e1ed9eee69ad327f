// kvsctl: a call's side of the control connection: where its socket is,
// attaching to it, holding the command stream, receiving the side
// connections the master makes, and -O check|exit.
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "client/kvsctl/control.h"
#include "client/kvsctl/internal.h"
#include "support/protocol/numbers.h"
#include "support/protocol/replies.h"

namespace kvsctl {

namespace {

constexpr std::string_view kHello = "+HELLO ";
constexpr std::size_t kMaxPath = sizeof(sockaddr_un::sun_path) - 1;

std::string home_dir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') return home;
  passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

// A directory of this user's only: created 0700 when missing; false when it
// is someone else's or others may enter it.
bool private_dir(const std::string& dir) {
  ::mkdir(dir.c_str(), 0700);
  struct stat info {};
  return ::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & 077) == 0;
}

enum class reach { served, none, ended, refused };

// Connects to the control socket at `path`.
reach connect_control(const std::string& path, owned_fd& fd) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() > kMaxPath) return reach::none;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return reach::none;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return reach::served;
  int error = errno;
  fd.reset();
  if (error == ECONNREFUSED) return reach::ended;
  if (error == EACCES || error == EPERM) return reach::refused;
  return reach::none;
}

// Reads one line, and the descriptor passed with it, byte by byte: a
// descriptor arrives with the first byte of its line, and a read past it
// would lose it.
std::optional<std::string> read_with_fd(int fd, std::string& pending, owned_fd* passed, int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::size_t end = pending.find("\r\n");
    if (end != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 2);
      return line;
    }
    if (studio::socket_poll(fd, false, ms_until(deadline)) <= 0) return std::nullopt;
    char byte;
    iovec io{&byte, 1};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    long long n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
      int got = -1;
      std::memcpy(&got, CMSG_DATA(header), sizeof got);
      owned_fd taken(got);
      if (passed != nullptr && !passed->valid()) *passed = std::move(taken);
    }
    pending += byte;
  }
}

}  // namespace

std::string hello_field(std::string_view bytes) {
  if (bytes.empty()) return "-";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::optional<std::string> hello_value(std::string_view field) {
  if (field == "-") return std::string();
  if (field.empty() || field.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  std::string out;
  for (std::size_t i = 0; i < field.size(); i += 2) {
    int high = digit(field[i]);
    int low = digit(field[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
  }
  return out;
}

std::string agent_user(const options& o) {
  if (!o.user.empty()) return o.user;
  passwd* entry = ::getpwuid(::geteuid());
  if (entry != nullptr && entry->pw_name != nullptr) return entry->pw_name;
  const char* user = std::getenv("USER");
  return user != nullptr ? user : "";
}

std::string control_name(const std::string& user, const std::string& host, int port) {
  std::string name = user + "@" + host + ":" + std::to_string(port);
  for (char& c : name) {
    bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
                c == '_' || c == '@' || c == ':';
    if (!kept) c = '_';
  }
  if (name.size() > 60) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>{}(user + '\n' + host + '\n' + std::to_string(port)));
    name = name.substr(0, 40) + "-" + hash;
  }
  return name;
}

std::string control_path(const options& o) {
  if (o.control_path == "none") return "";
  if (!o.control_path.empty()) return o.control_path;
  std::string dir;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') {
    dir = std::string(runtime) + "/kvsctl";
  } else {
    std::string home = home_dir();
    if (home.empty()) return "";
    ::mkdir((home + "/.cache").c_str(), 0700);
    dir = home + "/.cache/kvsctl";
  }
  if (!private_dir(dir)) return "";
  return dir + "/" + control_name(agent_user(o), o.host, o.port);
}

int agent_session::attach(step_result& r) {
  std::string path = control_path(o_);
  if (path.empty()) return 0;
  owned_fd fd;
  switch (connect_control(path, fd)) {
    case reach::none:
      return 0;
    case reach::ended:
      // A master that lost its agent leaves its socket behind: the first call
      // after says so, and the ones after it are silent.
      report(target_ + ": the control connection at " + path + " has ended; connecting on its own");
      ::unlink(path.c_str());
      return 0;
    case reach::refused:
      note("cannot use the control socket " + path + ": " + std::strerror(EACCES));
      return 0;
    case reach::served:
      break;
  }
  conn_ = studio::connection(std::move(fd));
  std::optional<std::string> hello = conn_.read_line(o_.timeout_ms);
  if (!hello || !starts_with(*hello, kHello)) {
    conn_.close();
    r.fail(kExitAgent, "the control connection at " + path + " did not take this call");
    return -1;
  }
  std::string rest = hello->substr(kHello.size());
  std::vector<std::string> words;
  for (std::size_t at = 0; at <= rest.size();) {
    std::size_t end = std::min(rest.find(' ', at), rest.size());
    words.push_back(rest.substr(at, end - at));
    at = end + 1;
  }
  side_host_ = words.size() > 1 ? words[1] : "";
  if (o_.tls && words.size() <= 2) {
    // A call that asks for TLS never goes over a connection in clear.
    conn_.close();
    r.fail(kExitAgent, "the control connection at " + path + " is not over TLS, which this call asks for "
                       "(-S none connects on its own)");
    return -1;
  }
  via_control_ = true;
  if (words.size() > 2) {
    std::optional<std::string> fields[4];
    bool usable = words.size() == 7 && words[2] == "TLS";
    for (std::size_t i = 0; usable && i < 4; ++i) usable = (fields[i] = hello_value(words[3 + i])).has_value();
    if (!usable) {
      conn_.close();
      r.fail(kExitAgent, "the control connection at " + path + " sent a greeting this call does not know");
      return -1;
    }
    use_tls(studio::tls_files{*fields[1], *fields[2], *fields[3]}, *fields[0]);
    if (!tls_ready(r)) {
      conn_.close();
      return -1;
    }
  }
  note("through the control connection at " + path + " (pid " + words[0] + ")" + (tls_ ? ", over TLS" : ""));
  return 1;
}

std::optional<std::string> agent_session::request(const std::string& line, owned_fd* fd) {
  if (!send(line)) return std::nullopt;
  return master_reply(fd);
}

std::optional<std::string> agent_session::master_reply(owned_fd* fd) {
  std::string pending = conn_.take_buffered();
  for (;;) {
    std::optional<std::string> reply = read_with_fd(conn_.fd(), pending, fd, o_.greeting_ms);
    if (!reply || (*reply)[0] == '+') {
      // What came after the reply stays for the next read.
      if (!pending.empty()) conn_.put_back(std::move(pending));
      return reply;
    }
    conn_.keep(std::move(*reply));
  }
}

bool agent_session::hold(step_result& r) {
  if (!via_control_ || held_) return true;
  // The stream may be held by another call's long transfer: the wait has
  // the greeting's limit, not a reply's.
  std::optional<std::string> granted = request("+HOLD", nullptr);
  if (!granted || *granted != "+HELD") {
    r.fail(kExitAgent, "the control connection ended");
    return false;
  }
  held_ = true;
  for (const std::string& line : context_) {
    std::string word = line.substr(0, line.find(' '));
    if (!expect(line, word == "CWD" ? protocol::reply_code(MSG_251_DIR_CHANGED) : protocol::reply_code(MSG_212_SETENV_OK), "cannot set the call's " + word, r)) return false;
  }
  return true;
}

void agent_session::unhold() {
  if (!held_) return;
  held_ = false;
  send("+FREE");
}

void agent_session::follow() {
  if (!via_control_ || following_) return;
  following_ = true;
  send("+FOLLOW");
}

studio::stream agent_session::secure_side(owned_fd fd, std::string* error) {
  if (!tls_) return studio::stream(std::move(fd));
  std::string why;
  studio::stream side = studio::stream::tls(std::move(fd), *tls_, tls_name_, o_.timeout_ms, &why);
  if (!side.valid()) {
    if (error != nullptr) *error = "TLS: " + why;
    // The master's reply to the side connection's command would come to
    // this call's next request: nothing more goes over this connection.
    conn_.close();
  }
  return side;
}

studio::trace_connection agent_session::open_trace(std::string* error) {
  if (!via_control_) return studio::establish_trace(conn_, o_.host, o_.timeout_ms, error, tls_.get(), o_.host);
  owned_fd fd;
  std::optional<std::string> reply = request("+TRACE", &fd);
  studio::stream side;
  if (tls_ && reply && *reply == "+SIDE" && fd.valid()) {
    side = secure_side(std::move(fd), error);
    if (!side.valid()) return studio::trace_connection();
    reply = master_reply(nullptr);
  } else if (reply && *reply == "+TRACE" && fd.valid()) {
    side = studio::stream(std::move(fd));
  }
  if (!reply || *reply != "+TRACE" || !side.valid()) {
    if (error != nullptr) *error = reply ? reply->substr(std::min<std::size_t>(reply->size(), 4)) : "the control connection ended";
    return studio::trace_connection();
  }
  return studio::trace_connection(std::move(side));
}

void agent_session::prepare(studio::file_transfer& transfer) {
  if (!via_control_) {
    transfer.set_tls(tls_.get(), o_.host);
    return;
  }
  transfer.set_data_opener([this](const std::string& command, std::string* error) {
    owned_fd fd;
    std::optional<std::string> reply = request("+" + command, &fd);
    if (!reply || *reply != "+DATA" || !fd.valid()) {
      *error = reply ? reply->substr(std::min<std::size_t>(reply->size(), 4)) : "the control connection ended";
      return studio::stream();
    }
    return secure_side(std::move(fd), error);
  });
}

long control_serves(const std::string& path) {
  owned_fd fd;
  reach got = connect_control(path, fd);
  if (got == reach::ended) ::unlink(path.c_str());
  if (got != reach::served) return 0;
  studio::connection conn(std::move(fd));
  std::optional<std::string> hello = conn.read_line(kDefaultTimeoutMs);
  if (!hello || !starts_with(*hello, kHello)) return 0;
  // "+HELLO <pid> <address>": the process that serves it.
  std::string_view rest = std::string_view(*hello).substr(kHello.size());
  return static_cast<long>(protocol::take_integer(rest, 1, INT_MAX, false).value_or(0));
}

int control_operation(const options& o) {
  std::string path = control_path(o);
  std::string target = o.label.empty() ? format_target(o.host, o.port) : o.label;
  owned_fd fd;
  if (path.empty() || connect_control(path, fd) != reach::served) {
    report(target + ": no control connection" + (path.empty() ? std::string() : " at " + path));
    return kExitAgent;
  }
  studio::connection conn(std::move(fd));
  std::optional<std::string> hello = conn.read_line(o.timeout_ms);
  if (!hello || !starts_with(*hello, kHello)) {
    report(target + ": the control connection at " + path + " did not answer");
    return kExitAgent;
  }
  std::string pid = hello->substr(kHello.size());
  pid = pid.substr(0, pid.find(' '));
  if (o.control_op == "check") {
    report(target + ": control connection running (pid " + pid + ")");
    return kExitOk;
  }
  std::optional<std::string> bye = conn.command("+EXIT", o.timeout_ms);
  if (!bye || *bye != "+BYE") {
    report(target + ": the control connection did not take the exit request");
    return kExitAgent;
  }
  // Its end is its socket's end.
  conn.wait_closed(o.timeout_ms);
  report(target + ": exit request sent");
  return kExitOk;
}

}  // namespace kvsctl
