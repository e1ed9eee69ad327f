// kvsctl: the put and get steps, and put -r for a directory tree.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "client/kvsctl/internal.h"
#include "client/kvsctl/progress.h"
#include "client/transfer.h"

namespace kvsctl {

namespace {

// A file written next to its final name and renamed over it only when
// complete, so that a failed transfer leaves an existing file as it was.
class staged_file {
 public:
  staged_file() = default;
  staged_file(const staged_file&) = delete;
  staged_file& operator=(const staged_file&) = delete;
  ~staged_file() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  bool create(const std::string& target) {
    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = dir + "/." + base + ".kvsctl-XXXXXX";
    fd_.reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd_.valid()) return false;
    path_ = pattern;
    return true;
  }

  int fd() const { return fd_.get(); }

  // Gives the file the mode of the file it replaces (or that of a new file)
  // and renames it; false with errno set when that fails.
  bool commit(const std::string& target) {
    struct stat existing {};
    mode_t mode;
    if (::stat(target.c_str(), &existing) == 0) {
      mode = existing.st_mode & 07777;
    } else {
      mode_t mask = ::umask(0);
      ::umask(mask);
      mode = 0666 & ~mask;
    }
    if (::fchmod(fd_.get(), mode) != 0) return false;
    if (::close(fd_.release()) != 0) return false;
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  owned_fd fd_;
  std::string path_;
};

// Fills `r` from a transfer: 0 done, 1 refused by the agent or a local
// failure, 255 when the connection failed.
void transfer_outcome(agent_session& s, const studio::transfer_result& result, const std::string& what,
                      const std::string& local_error, step_result& r) {
  if (!result.reply.empty()) r.reply = result.reply;
  if (!local_error.empty()) return r.fail(kExitFailed, what + ": " + local_error);
  if (result.ok) return;
  if (!result.reply.empty()) return r.fail(kExitFailed, s.failure(what, result.reply));
  if (s.conn().overlong()) return r.fail(kExitAgent, what + " failed: " + s.no_reply(what.substr(0, 3)));
  r.fail(kExitAgent, what + " failed: " + (result.error.empty() ? std::string("no reply") : result.error));
}

// The agent keeps the transfer mode for the whole connection: each step sets
// the one it wants.
bool choose_mode(agent_session& s, studio::file_transfer& transfer, bool ascii, step_result& r) {
  if (transfer.set_mode(ascii ? studio::transfer_mode::ascii : studio::transfer_mode::binary)) return true;
  r.fail(kExitAgent, s.no_reply(ascii ? "FTPA" : "FTPB"));
  return false;
}

// Sends what `fd` holds as `remote`.
void send_file(agent_session& s, studio::file_transfer& transfer, int fd, const std::string& local,
               const std::string& remote, bool ascii, progress_line& bar, step_result& r) {
  std::string local_error;
  std::string name;
  if (!s.literal(remote_argument(remote), name, r)) return;
  std::vector<char> text(kChunk / 2);
  studio::transfer_result result =
      transfer.put_stream(name, [&](char* buffer, std::size_t room) -> long {
        // In ASCII mode a local byte may become two on the wire.
        char* into = ascii ? text.data() : buffer;
        std::size_t want = ascii ? std::min(room / 2, text.size()) : room;
        ssize_t n;
        do {
          n = ::read(fd, into, want);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
          local_error = std::string("cannot read ") + local + ": " + std::strerror(errno);
          return -1;
        }
        bar.add(static_cast<std::size_t>(n));
        r.bytes += n;
        if (!ascii) return static_cast<long>(n);
        std::string wire = studio::ascii_to_wire(std::string_view(text.data(), static_cast<std::size_t>(n)));
        return static_cast<long>(wire.copy(buffer, wire.size()));
      });
  transfer_outcome(s, result, "put: " + remote, local_error, r);
}

// One entry of a tree to copy: a directory to create or a file to send.
struct tree_entry {
  bool directory;
  std::string local;
  std::string remote;
  long long size;
};

// Walks a local tree following symbolic links; what cannot be copied is
// skipped with a message. `path` holds the directories being walked, so a
// link back to one of them is not followed forever.
void plan_tree(const agent_session& s, const std::string& local, const std::string& remote,
               std::vector<std::pair<dev_t, ino_t>>& path, std::vector<tree_entry>& plan) {
  plan.push_back({true, local, remote, 0});
  DIR* dir = ::opendir(local.c_str());
  if (dir == nullptr) {
    report(s.target() + ": put -r: skipped " + local + ": " + std::strerror(errno));
    plan.pop_back();
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string from = local + "/" + name;
    std::string to = remote + "/" + name;
    struct stat info {};
    if (::stat(from.c_str(), &info) != 0) {
      report(s.target() + ": put -r: skipped " + from + " (" +
             (errno == ENOENT ? std::string("a symbolic link that leads nowhere") : std::strerror(errno)) + ")");
      continue;
    }
    if (name.find_first_of("\r\n") != std::string::npos) {
      report(s.target() + ": put -r: skipped " + from + " (a line end in its name)");
      continue;
    }
    if (S_ISDIR(info.st_mode)) {
      auto id = std::make_pair(info.st_dev, info.st_ino);
      if (std::find(path.begin(), path.end(), id) != path.end()) {
        report(s.target() + ": put -r: skipped " + from + " (a link to a directory being copied)");
        continue;
      }
      path.push_back(id);
      plan_tree(s, from, to, path, plan);
      path.pop_back();
    } else if (S_ISREG(info.st_mode)) {
      plan.push_back({false, from, to, static_cast<long long>(info.st_size)});
    } else {
      report(s.target() + ": put -r: skipped " + from + " (neither a file nor a directory)");
    }
  }
}

step_result put_tree(agent_session& s, const step_spec& st, studio::file_transfer& transfer) {
  step_result r;
  struct stat info {};
  if (::stat(st.local.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    r.fail(kExitFailed, "put -r: " + st.local + " is no directory");
    return r;
  }
  std::string local = st.local;
  while (local.size() > 1 && local.back() == '/') local.pop_back();
  std::string remote = st.remote;
  while (remote.size() > 1 && remote.back() == '/') remote.pop_back();
  std::vector<std::pair<dev_t, ino_t>> path{{info.st_dev, info.st_ino}};
  std::vector<tree_entry> plan;
  plan_tree(s, local, remote, path, plan);
  long long total = 0;
  for (const tree_entry& e : plan) total += e.size;
  progress_line bar(s.opts(), remote, total);
  for (const tree_entry& e : plan) {
    if (e.directory) {
      // A directory that is already there is fine: the files say the rest.
      std::string name;
      if (!s.literal(remote_argument(e.remote), name, r)) break;
      std::optional<std::string> reply = s.command("MKD " + name);
      if (!reply) {
        r.fail(kExitAgent, "MKD " + e.remote + ": " + s.no_reply("MKD"));
        break;
      }
      r.reply = *reply;
      continue;
    }
    owned_fd file(::open(e.local.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
      r.fail(kExitFailed, "cannot open " + e.local + ": " + std::strerror(errno));
      break;
    }
    bar.rename(e.remote);
    bar.count_file();
    send_file(s, transfer, file.get(), e.local, e.remote, st.ascii, bar, r);
    if (r.status != kExitOk) break;
  }
  bar.done(remote);
  return r;
}

}  // namespace

step_result put_step(agent_session& s, const step_spec& st) {
  step_result r;
  owned_fd file;
  int fd = 0;
  long long total = -1;
  if (!st.recursive && st.local != "-") {
    file.reset(::open(st.local.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
      r.fail(kExitFailed, "cannot open " + st.local + ": " + std::strerror(errno));
      return r;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) == 0) {
      if (S_ISDIR(info.st_mode)) {
        r.fail(kExitFailed, st.local + " is a directory (put -r copies a tree)");
        return r;
      }
      if (S_ISREG(info.st_mode)) total = info.st_size;
    }
    fd = file.get();
  }
  studio::file_transfer transfer(s.conn(), s.opts().host, s.opts().timeout_ms);
  s.prepare(transfer);
  held_stream held(s);
  if (!s.hold(r) || !choose_mode(s, transfer, st.ascii, r)) return r;
  if (st.recursive) return put_tree(s, st, transfer);
  progress_line bar(s.opts(), st.remote, total);
  bar.count_file();
  send_file(s, transfer, fd, st.local, st.remote, st.ascii, bar, r);
  bar.done(st.remote);
  return r;
}

step_result get_step(agent_session& s, const step_spec& st) {
  step_result r;
  r.captured = s.opts().json_output;
  // In JSON mode standard output holds only the JSON lines.
  bool to_stdout = st.local == "-";
  std::string target = st.local;
  struct stat info {};
  if (!to_stdout && ::stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::string base = st.remote.substr(st.remote.rfind('/') + 1);
    if (base.empty() || base == "." || base == "..") {
      r.fail(kExitFailed, "cannot tell a local name for " + st.remote + "; give LOCAL as a file name");
      return r;
    }
    target += (target.back() == '/' ? "" : "/") + base;
  }
  staged_file staged;
  if (!to_stdout && !staged.create(target)) {
    r.fail(kExitFailed, "cannot create " + target + ": " + std::strerror(errno));
    return r;
  }
  int fd = to_stdout ? 1 : staged.fd();
  studio::file_transfer transfer(s.conn(), s.opts().host, s.opts().timeout_ms);
  s.prepare(transfer);
  held_stream held(s);
  if (!s.hold(r) || !choose_mode(s, transfer, st.ascii, r)) return r;
  progress_line bar(s.opts(), st.remote, -1);
  bar.count_file();
  std::string local_error;
  studio::ascii_from_wire decoder;
  auto store = [&](std::string_view bytes) {
    if (to_stdout && s.opts().json) {
      if (s.opts().json_output) r.output.append(bytes);
      return true;
    }
    if (local_error.empty() && !write_all(fd, bytes))
      local_error = "cannot write " + (to_stdout ? std::string("standard output") : target) + ": " + std::strerror(errno);
    return local_error.empty();
  };
  std::string name;
  if (!s.literal(remote_argument(st.remote), name, r)) return r;
  studio::transfer_result result = transfer.get_stream(name, [&](std::string_view piece) {
    bar.add(piece.size());
    r.bytes += static_cast<long long>(piece.size());
    return st.ascii ? store(decoder.feed(piece)) : store(piece);
  });
  if (st.ascii) store(decoder.finish());
  bar.done(st.remote);
  if (result.ok && local_error.empty() && !to_stdout && !staged.commit(target))
    local_error = "cannot write " + target + ": " + std::strerror(errno);
  transfer_outcome(s, result, "get: " + st.remote, local_error, r);
  return r;
}

}  // namespace kvsctl
