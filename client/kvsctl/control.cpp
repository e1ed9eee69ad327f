// kvsctl: the master of a control connection (see control.h). One process,
// one thread, one poll loop over the agent's command connection, the control
// socket and the calls connected to it. Nothing waits on a call: what a call
// sends and what it has not read yet are bounded, and a call that passes a
// bound is dropped.
#include "client/kvsctl/control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "client/kvsctl/internal.h"
#include "support/protocol/numbers.h"
#include "support/protocol/replies.h"

namespace kvsctl {

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;          // a call's line without its CR LF
constexpr std::size_t kMaxQueued = 1024;             // lines of one call not yet served
constexpr std::size_t kMaxUnsent = 4 * 1024 * 1024;  // bytes a call has not read yet
constexpr std::string_view kHelloReply = protocol::reply_text(MSG_210_HELLO);

bool is_silent(std::string_view word) {
  for (std::string_view w : {"RVOK", "RVKO", "DFOK", "DFKO", "ISND", "TOUT", "AVAI"})
    if (word == w) return true;
  return false;
}

std::string word_of(std::string_view line) { return std::string(line.substr(0, line.find_first_of(" \t"))); }

// The argument as the agent's interpreter takes it: after the word and the
// blanks and tabs that follow it.
std::string argument_of(std::string_view line) {
  std::size_t at = line.find_first_of(" \t");
  if (at == std::string_view::npos) return "";
  at = line.find_first_not_of(" \t", at);
  return at == std::string_view::npos ? "" : std::string(line.substr(at));
}

// Sends bytes and, when fd >= 0, the descriptor with them.
long long send_with_fd(int socket, std::string_view bytes, int fd) {
  iovec io{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (fd >= 0) {
    std::memset(control, 0, sizeof control);
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  return ::sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
}

struct outgoing {
  std::string bytes;
  owned_fd fd;  // passed with the first byte
};

struct call {
  owned_fd fd;
  std::string in;
  std::deque<outgoing> out;
  std::size_t unsent = 0;
  std::deque<std::string> lines;
  bool queued = false;
  bool follower = false;
  bool closing = false;  // dropped once what it has to read is sent
};

// What the agent's next reply belongs to.
struct exchange {
  enum class kind { none, relay, save, quiet, trace } what = kind::none;
  int call = -1;
  std::string name;  // save: the variable
  std::string line;  // save: the line to forward once saved
  owned_fd side;     // trace: the connection made for the call
};

class master {
 public:
  master(agent_session& s, std::string path, std::string address, int trace_port, int data_port, std::string base)
      : s_(s), agent_(s.conn()), path_(std::move(path)), address_(std::move(address)), trace_port_(trace_port),
        data_port_(data_port), base_(std::move(base)) {}

  bool listen(std::string& error);
  // Serves until the agent goes, the idle time passes or +EXIT; the status.
  int serve();

 private:
  void accept_calls();
  void read_call(int id);
  void write_call(int id);
  void drop(int id);
  void send_to(int id, std::string line, owned_fd fd = owned_fd());
  void to_followers(const std::string& line);
  bool read_agent();
  void agent_line(const std::string& line);
  void finished();
  void pump();
  void start(int id, const std::string& line);
  void forward(int id, const std::string& line, exchange::kind what = exchange::kind::relay);
  void end_session();
  bool agent_send(const std::string& line);
  // The greeting's TLS part: empty over a plain connection.
  std::string tls_hello() const;

  agent_session& s_;
  studio::connection& agent_;
  std::string path_;
  std::string address_;
  int trace_port_;
  int data_port_;
  std::string base_;
  owned_fd listener_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  std::map<int, call> calls_;
  int next_id_ = 1;
  std::deque<int> queue_;  // calls with lines waiting, in turn
  int holder_ = -1;
  exchange current_;
  std::deque<std::string> internal_;  // the master's own lines, before any call's
  // What the session (a hold, or one exchange outside a hold) changed.
  std::map<std::string, std::optional<std::string>> saved_;
  bool cwd_changed_ = false;
  bool ascii_ = false;
  bool trace_off_ = false;
  std::map<int, int> owners_;                  // process number -> call
  std::map<std::string, int> waiting_;         // rendezvous name -> testers waiting
  bool exiting_ = false;
  bool agent_gone_ = false;
  clock::time_point idle_since_ = clock::now();
};

std::string master::tls_hello() const {
  const options& o = s_.opts();
  if (s_.tls() == nullptr) return "";
  // Whole paths: a call may run in another directory.
  auto whole = [](const std::string& file) {
    std::error_code failed;
    std::filesystem::path path = file.empty() ? std::filesystem::path() : std::filesystem::absolute(file, failed);
    return hello_field(failed ? file : path.string());
  };
  return " TLS " + hello_field(o.host) + " " + whole(o.tls_ca) + " " + whole(o.tls_cert) + " " + whole(o.tls_key);
}

bool master::listen(std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string temporary = path_ + ".new" + std::to_string(::getpid());
  if (temporary.size() >= sizeof address.sun_path) {
    error = "the control socket's path is too long: " + path_;
    return false;
  }
  std::memcpy(address.sun_path, temporary.c_str(), temporary.size() + 1);
  listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  ::unlink(temporary.c_str());
  mode_t mask = ::umask(0177);
  bool bound = listener_.valid() && ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::umask(mask);
  // Bound under a name of its own, then renamed: a call never finds a socket
  // that does not serve yet.
  if (!bound || ::chmod(temporary.c_str(), 0600) != 0 || ::listen(listener_.get(), 64) != 0 ||
      ::rename(temporary.c_str(), path_.c_str()) != 0) {
    error = "cannot create the control socket " + path_ + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) {
    dev_ = info.st_dev;
    ino_ = info.st_ino;
  }
  return true;
}

void master::send_to(int id, std::string line, owned_fd fd) {
  auto found = calls_.find(id);
  if (found == calls_.end()) return;
  call& c = found->second;
  line += "\r\n";
  c.unsent += line.size();
  c.out.push_back({std::move(line), std::move(fd)});
  if (c.unsent > kMaxUnsent) return drop(id);
  write_call(id);
}

void master::to_followers(const std::string& line) {
  std::vector<int> ids;
  for (auto& [id, c] : calls_)
    if (c.follower) ids.push_back(id);
  for (int id : ids) send_to(id, line);
}

void master::write_call(int id) {
  auto found = calls_.find(id);
  if (found == calls_.end()) return;
  call& c = found->second;
  while (!c.out.empty()) {
    outgoing& next = c.out.front();
    long long n = send_with_fd(c.fd.get(), next.bytes, next.fd.get());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(id);
    next.fd.reset();
    c.unsent -= static_cast<std::size_t>(n);
    next.bytes.erase(0, static_cast<std::size_t>(n));
    if (next.bytes.empty()) c.out.pop_front();
  }
  if (c.closing) drop(id);
}

void master::drop(int id) {
  if (calls_.erase(id) == 0) return;
  for (auto it = owners_.begin(); it != owners_.end();) it = it->second == id ? owners_.erase(it) : std::next(it);
  if (holder_ == id) {
    holder_ = -1;
    end_session();
  }
  if (calls_.empty()) idle_since_ = clock::now();
}

void master::accept_calls() {
  for (;;) {
    owned_fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.valid()) return;
    // The socket's mode keeps others out; its peer's identity is checked too.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) continue;
    int id = next_id_++;
    calls_[id].fd = std::move(fd);
    send_to(id, "+HELLO " + std::to_string(::getpid()) + " " + address_ + tls_hello());
  }
}

void master::read_call(int id) {
  char chunk[kChunk];
  long long n = ::recv(calls_[id].fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) return drop(id);
  call& c = calls_[id];
  c.in.append(chunk, static_cast<std::size_t>(n));
  for (std::size_t end; (end = c.in.find("\r\n")) != std::string::npos;) {
    c.lines.push_back(c.in.substr(0, end));
    c.in.erase(0, end + 2);
  }
  if (c.in.size() > kMaxLine || c.lines.size() > kMaxQueued) return drop(id);
  if (!c.lines.empty() && !c.queued) {
    c.queued = true;
    queue_.push_back(id);
  }
}

bool master::agent_send(const std::string& line) {
  if (agent_.send_line(line)) return true;
  agent_gone_ = true;
  return false;
}

void master::forward(int id, const std::string& line, exchange::kind what) {
  current_ = exchange();
  current_.what = what;
  current_.call = id;
  agent_send(line);
}

// The end of a session: what it changed goes back before anything else runs.
void master::end_session() {
  for (const auto& [name, value] : saved_) internal_.push_back(value ? "SENV " + name + "=" + *value : "DENV " + name);
  if (cwd_changed_) internal_.push_back("CWD " + base_);
  if (ascii_) internal_.push_back("FTPB");
  if (trace_off_) internal_.push_back("TRON");
  saved_.clear();
  cwd_changed_ = ascii_ = trace_off_ = false;
}

void master::finished() {
  current_ = exchange();
  if (holder_ < 0) end_session();
}

// One line of a call: a request of the master's own, or a command exchange.
void master::start(int id, const std::string& line) {
  std::string word = word_of(line);
  std::string argument = argument_of(line);
  auto refuse = [&](const std::string& why) { send_to(id, "+NO " + why); };
  if (word == "+HOLD") {
    holder_ = id;
    return send_to(id, "+HELD");
  }
  if (word == "+FREE") {
    if (holder_ == id) {
      holder_ = -1;
      end_session();
    }
    return;
  }
  if (word == "+FOLLOW") {
    calls_[id].follower = true;
    return;
  }
  if (word == "+RVOK" || word == "+RVKO") {
    // The name is the rest of the line, trailing blanks included, as RVOK takes it.
    std::string name = line.size() > word.size() + 1 ? line.substr(word.size() + 1) : "";
    auto found = waiting_.find(name);
    if (found == waiting_.end()) return send_to(id, "+NONE");
    waiting_.erase(found);
    agent_send(word.substr(1) + " " + name);
    return send_to(id, "+DONE");
  }
  if (word == "+EXIT") {
    exiting_ = true;
    return send_to(id, "+BYE");
  }
  if (word == "+TRACE") {
    std::string error;
    owned_fd side = studio::connect_tcp(address_, trace_port_, s_.opts().timeout_ms, &error);
    if (!side.valid()) return refuse(error);
    if (s_.tls() != nullptr) {
      // The call runs the handshake, which the agent answers once it has
      // TRWA: the connection goes to the call now, "+TRACE" with the reply.
      send_to(id, "+SIDE", std::move(side));
      return forward(id, "TRWA", exchange::kind::trace);
    }
    forward(id, "TRWA", exchange::kind::trace);
    current_.side = std::move(side);
    return;
  }
  if (word == "+PUTF" || word == "+GETF") {
    std::string error;
    // Made before the command: the agent takes it when it reads the command.
    owned_fd side = studio::connect_tcp(address_, data_port_, s_.opts().timeout_ms, &error);
    if (!side.valid()) return refuse(error);
    send_to(id, "+DATA", std::move(side));
    return forward(id, line.substr(1));
  }
  if (!word.empty() && word[0] == '+') return refuse("unknown request " + word);
  if (word == "QUIT") {
    calls_[id].closing = true;
    return send_to(id, std::string(protocol::reply_text(MSG_221_BYE)));
  }
  if (word == "Qim") return refuse("the control connection keeps its identification");
  // These wait in the agent for a side connection that only the master
  // makes (+TRACE, +PUTF, +GETF): sent as they are, they would stall every call.
  if (word == "TRWA" || word == "PUTF" || word == "GETF") return refuse(word + " goes through the master's side connections");
  // The agent's liveness is the master's to watch (keep-alive on its
  // connection); a call's HELO is answered here so that it never waits
  // behind another call's long transfer.
  if (word == "HELO") return send_to(id, std::string(kHelloReply));
  if (is_silent(word)) {
    if (word == "RVOK" || word == "RVKO") waiting_.erase(line.size() > 5 ? line.substr(5) : "");
    agent_send(line);
    if (holder_ < 0) end_session();
    return;
  }
  if (word == "SENV" || word == "DENV") {
    std::string name = word == "SENV" ? argument.substr(0, argument.find('=')) : argument;
    if (name.find('$') != std::string::npos) return refuse("a variable's name with '$' cannot be restored");
    if (saved_.count(name) == 0 && !name.empty()) {
      // Its value is read first, to be put back at the end of the session.
      forward(id, "GENV " + name, exchange::kind::save);
      current_.name = name;
      current_.line = line;
      return;
    }
  }
  if (word == "CWD") {
    if (base_.find('$') != std::string::npos) return refuse("the agent's directory holds '$' and cannot be restored");
    cwd_changed_ = true;
  }
  if (word == "FTPA") ascii_ = true;
  if (word == "FTPB") ascii_ = false;
  if (word == "TROF") trace_off_ = true;
  if (word == "TRON") trace_off_ = false;
  forward(id, line);
}

void master::pump() {
  while (current_.what == exchange::kind::none && !agent_gone_) {
    if (!internal_.empty()) {
      forward(-1, internal_.front(), exchange::kind::quiet);
      internal_.pop_front();
      continue;
    }
    int id = -1;
    if (holder_ >= 0) {
      call& h = calls_[holder_];
      if (h.lines.empty()) return;
      id = holder_;
    } else {
      while (!queue_.empty() && id < 0) {
        int next = queue_.front();
        queue_.pop_front();
        auto found = calls_.find(next);
        if (found == calls_.end()) continue;
        found->second.queued = false;
        if (!found->second.lines.empty()) id = next;
      }
      if (id < 0) return;
    }
    call& c = calls_[id];
    std::string line = std::move(c.lines.front());
    c.lines.pop_front();
    if (id != holder_ && !c.lines.empty() && !c.queued) {
      c.queued = true;
      queue_.push_back(id);
    }
    start(id, line);
  }
}

void master::agent_line(const std::string& raw) {
  // A line of the agent never passes for one of the master's.
  std::string line = !raw.empty() && raw[0] == '+' ? " " + raw : raw;
  if (studio::is_notification(line)) {
    std::vector<std::pair<int, int>> pairs;
    if (parse_stopped(line, pairs)) {
      std::map<int, std::vector<std::pair<int, int>>> by_call;
      for (const auto& pair : pairs) {
        auto owner = owners_.find(pair.first);
        if (owner == owners_.end()) continue;
        by_call[owner->second].push_back(pair);
        owners_.erase(owner);
      }
      for (const auto& [id, mine] : by_call) send_to(id, stopped_line(mine));
      return;
    }
    constexpr std::string_view kWait = protocol::reply_text(MSG_601_RDV_WAIT);
    constexpr std::string_view kQuit = protocol::reply_text(MSG_602_RDV_QUIT);
    if (starts_with(line, kWait)) ++waiting_[line.substr(kWait.size())];
    if (starts_with(line, kQuit)) {
      auto found = waiting_.find(line.substr(kQuit.size()));
      if (found != waiting_.end() && --found->second <= 0) waiting_.erase(found);
    }
    return to_followers(line);
  }
  exchange& x = current_;
  switch (x.what) {
    case exchange::kind::none:
      return;  // a reply to nothing
    case exchange::kind::quiet:
      if (line[0] != '1') finished();
      return;
    case exchange::kind::relay:
      if (protocol::has_reply_code(line, MSG_261_PROCESS_LAUNCHED) && calls_.count(x.call) != 0) owners_[studio::reply_number(line)] = x.call;
      send_to(x.call, line);
      // A reply of several lines has its information lines first.
      if (line[0] != '1') finished();
      return;
    case exchange::kind::save: {
      std::string prefix = std::string(protocol::reply_text(MSG_211_GETENV_RESULT)) + x.name + "=";
      std::optional<std::string> value;
      if (starts_with(line, prefix)) value = line.substr(prefix.size());
      if (value && value->find('$') != std::string::npos) {
        send_to(x.call, "+NO the value of " + x.name + " holds '$' and cannot be restored");
        return finished();
      }
      saved_[x.name] = value;
      std::string pending = std::move(x.line);
      int id = x.call;
      current_ = exchange();
      return forward(id, pending);
    }
    case exchange::kind::trace:
      if (line == protocol::reply_text(MSG_225_TRACE_ESTABLISHED)) send_to(x.call, "+TRACE", std::move(x.side));
      else send_to(x.call, "+NO TRWA answered: " + line);
      return finished();
  }
}

bool master::read_agent() {
  while (std::optional<std::string> line = agent_.read_line(0)) agent_line(*line);
  if (agent_.peer_closed()) agent_gone_ = true;
  return !agent_gone_;
}

int master::serve() {
  int persist = s_.opts().persist_ms;
  for (;;) {
    pump();
    if (agent_gone_) break;
    if (exiting_ && current_.what == exchange::kind::none) {
      bool flushed = true;
      for (auto& [id, c] : calls_) flushed = flushed && c.out.empty();
      if (flushed) break;
    }
    std::vector<pollfd> fds{{agent_.fd(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
    std::vector<int> ids;
    for (auto& [id, c] : calls_) {
      fds.push_back({c.fd.get(), static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
      ids.push_back(id);
    }
    int wait = -1;
    if (calls_.empty() && current_.what == exchange::kind::none) {
      wait = ms_until(idle_since_ + std::chrono::milliseconds(persist));
      if (wait == 0) break;
    }
    if (exiting_) wait = std::min(wait < 0 ? 1000 : wait, 1000);
    // What the TLS layer holds already shows in no poll.
    bool held = agent_.pending();
    if (held) wait = 0;
    int n = ::poll(fds.data(), fds.size(), wait);
    if (n < 0 && errno != EINTR) break;
    if (held) {
      fds[0].revents |= POLLIN;
      n = std::max(n, 1);
    }
    if (n <= 0) continue;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !read_agent()) break;
    if ((fds[1].revents & POLLIN) != 0) accept_calls();
    for (std::size_t i = 0; i < ids.size(); ++i) {
      short events = fds[i + 2].revents;
      if ((events & POLLOUT) != 0) write_call(ids[i]);
      if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && calls_.count(ids[i]) != 0) read_call(ids[i]);
    }
  }
  if (agent_gone_) {
    // The socket stays as a mark of the end: the next call says so once and
    // removes it. Calls still connected learn the end from their
    // connection's end.
    calls_.clear();
    listener_.reset();
    return kExitAgent;
  }
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0 && info.st_dev == dev_ && info.st_ino == ino_) ::unlink(path_.c_str());
  listener_.reset();
  calls_.clear();
  s_.quit();
  return kExitOk;
}

// The agent's ports and directory, read once: each stays the same for the
// connection's life.
bool learn_connection(agent_session& s, int& trace_port, int& data_port, std::string& base, step_result& r) {
  if (!s.expect("PORT", protocol::reply_code(MSG_222_TRACE_PORT), "no trace port", r)) return false;
  trace_port = studio::reply_number(r.reply);
  if (!s.expect("PFTP", protocol::reply_code(MSG_226_FTP_PORT), "no data port", r)) return false;
  data_port = studio::reply_number(r.reply);
  constexpr std::string_view kPwd = protocol::reply_text(MSG_253_CURRENT_DIR);
  if (!s.expect("PWD", protocol::reply_code(MSG_253_CURRENT_DIR), "no current directory", r)) return false;
  base = r.reply.substr(std::min(r.reply.size(), kPwd.size()));
  return true;
}

void to_parent(int fd, const std::string& text) { write_all(fd, text); }

}  // namespace

bool parse_stopped(const std::string& line, std::vector<std::pair<int, int>>& pairs) {
  if (!protocol::is_reply(line, MSG_661_PROCESS_STOPPED)) return false;
  std::size_t arrow = line.find(" => ");
  if (arrow == std::string::npos) return false;
  pairs.clear();
  // Pairs "%P (%E)" separated by ", ", each number within what an int holds.
  auto take = [](std::string_view& text, std::string_view before, int& value) {
    if (text.substr(0, before.size()) != before) return false;
    text.remove_prefix(before.size());
    std::optional<long long> number = protocol::take_integer(text, INT_MIN, INT_MAX);
    if (!number) return false;
    value = static_cast<int>(*number);
    return true;
  };
  std::string_view rest = std::string_view(line).substr(arrow + 4);
  while (!rest.empty()) {
    int number = 0;
    int code = 0;
    if (!take(rest, "%", number) || !take(rest, " (%", code) || rest.substr(0, 1) != ")") return false;
    rest.remove_prefix(1);
    pairs.emplace_back(number, code);
    if (rest.substr(0, 2) == ", ") rest.remove_prefix(2);
    else if (!rest.empty()) return false;
  }
  return !pairs.empty();
}

std::string stopped_line(const std::vector<std::pair<int, int>>& pairs) {
  std::string line = std::string(protocol::reply_text(MSG_661_PROCESS_STOPPED)) + "%" + std::to_string(pairs.size()) + " => ";
  for (std::size_t i = 0; i < pairs.size(); ++i)
    line += (i == 0 ? "%" : ", %") + std::to_string(pairs[i].first) + " (%" + std::to_string(pairs[i].second) + ")";
  return line;
}

int start_master(const options& o) {
  std::string path = control_path(o);
  std::string target = o.label.empty() ? format_target(o.host, o.port) : o.label;
  if (path.empty()) {
    report("-M needs a control socket (-S none names none)");
    return kExitUsage;
  }
  if (long pid = control_serves(path); pid > 0) {
    report(target + ": a control connection already serves " + path + " (pid " + std::to_string(pid) + ")");
    return kExitOk;
  }
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    report(std::string("pipe: ") + std::strerror(errno));
    return kExitFailed;
  }
  owned_fd from_child(ready[0]);
  owned_fd to_parent_fd(ready[1]);
  pid_t pid = ::fork();
  if (pid < 0) {
    report(std::string("fork: ") + std::strerror(errno));
    return kExitFailed;
  }
  if (pid == 0) {
    from_child.reset();
    ::setsid();
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    agent_session s(o);
    step_result r;
    int trace_port = -1;
    int data_port = -1;
    std::string base;
    if (!s.open(r, false) || !learn_connection(s, trace_port, data_port, base, r)) {
      to_parent(to_parent_fd.get(), std::to_string(r.status) + " " + target + ": " + r.error);
      ::_exit(r.status);
    }
    master m(s, path, studio::peer_address(s.conn().fd(), o.host), trace_port, data_port, base);
    std::string error;
    if (!m.listen(error)) {
      to_parent(to_parent_fd.get(), std::to_string(kExitFailed) + " " + error);
      ::_exit(kExitFailed);
    }
    to_parent(to_parent_fd.get(), "0");
    to_parent_fd.reset();
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    if (null > 2) ::close(null);
    ::_exit(m.serve());
  }
  to_parent_fd.reset();
  // The child answers once it serves or has failed (its end closes the pipe).
  std::string answer;
  char chunk[512];
  for (ssize_t n; (n = ::read(from_child.get(), chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    answer.append(chunk, static_cast<std::size_t>(n));
  }
  if (answer == "0") {
    if (o.verbose) report(target + ": control connection at " + path + " (pid " + std::to_string(pid) + ")");
    return kExitOk;
  }
  std::size_t blank = answer.find(' ');
  int status = blank == std::string::npos
                   ? kExitAgent
                   : static_cast<int>(protocol::parse_integer(answer.substr(0, blank), 0, 255).value_or(kExitAgent));
  report(blank == std::string::npos ? target + ": the control connection did not start" : answer.substr(blank + 1));
  return status == 0 ? kExitAgent : status;
}

}  // namespace kvsctl
