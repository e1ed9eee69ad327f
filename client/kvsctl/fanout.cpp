// kvsctl -H: the same command or script on many agents at once. Each agent
// is served by a child process of its own (at most -P at a time) whose
// standard output and error come back through pipes: output lines are
// labelled with the agent (or grouped per agent at the end with -g), JSON
// and diagnostic lines pass whole. A summary line per agent ends on
// standard error; the exit status is the largest of the agents'.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "client/kvsctl/internal.h"

namespace kvsctl {

namespace {

struct job {
  std::string label;
  pid_t pid = -1;
  owned_fd out;
  owned_fd err;
  std::string out_part;  // a line not yet ended
  std::string err_part;
  std::string grouped;  // -g: the whole output
  int status = -1;
  clock::time_point start;
  double seconds = 0;
};

// What the child of one agent does: that agent's part, then its exit.
[[noreturn]] void serve_agent(const options& o, const std::string& label) {
  options one = o;
  one.hosts.clear();
  one.label = label;
  parse_target(label, one.host, one.port);
  int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) ::dup2(null, 0);
  int status = o.cmd == command::release || o.cmd == command::refuse ? answer_rendezvous(one) : run_script(one);
  ::_exit(status);
}

bool start(const options& o, job& j, std::vector<job>& all) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  j.out.reset(out[0]);
  owned_fd out_write(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) return false;
  j.err.reset(err[0]);
  owned_fd err_write(err[1]);
  j.start = clock::now();
  j.pid = ::fork();
  if (j.pid < 0) return false;
  if (j.pid == 0) {
    // The other agents' pipes stay with the parent, or their ends would
    // wait for this child too.
    for (job& other : all) {
      if (other.out.valid()) ::close(other.out.get());
      if (other.err.valid()) ::close(other.err.get());
    }
    ::dup2(out_write.get(), 1);
    ::dup2(err_write.get(), 2);
    serve_agent(o, j.label);
  }
  return true;
}

// Hands over the complete lines of `part`; at the end, the unended rest too.
template <class F>
void take_lines(std::string& part, bool end, F&& each) {
  std::size_t at = 0;
  for (std::size_t nl; (nl = part.find('\n', at)) != std::string::npos; at = nl + 1)
    each(std::string_view(part).substr(at, nl + 1 - at));
  part.erase(0, at);
  if (end && !part.empty()) {
    each(part + "\n");
    part.clear();
  }
}

// Reads one pipe of a job; false at its end.
bool read_pipe(const options& o, job& j, bool is_out) {
  char chunk[kChunk];
  owned_fd& fd = is_out ? j.out : j.err;
  ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  bool end = n <= 0;
  std::string& part = is_out ? j.out_part : j.err_part;
  if (n > 0) part.append(chunk, static_cast<std::size_t>(n));
  take_lines(part, end, [&](std::string_view line) {
    if (!is_out || o.json) write_all(is_out ? 1 : 2, line);  // whole lines that name their agent
    else if (o.group) j.grouped.append(line);
    else write_all(1, j.label + ": " + std::string(line));
  });
  if (end) fd.reset();
  return !end;
}

}  // namespace

int run_fanout(const options& o, const std::vector<std::string>& hosts) {
  std::vector<job> jobs(hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) jobs[i].label = hosts[i];
  std::size_t next = 0;
  std::size_t running = 0;
  std::size_t finished = 0;
  while (finished < jobs.size()) {
    while (running < static_cast<std::size_t>(o.parallel) && next < jobs.size()) {
      job& j = jobs[next++];
      if (!start(o, j, jobs)) {
        report(j.label + ": cannot start: " + std::strerror(errno));
        j.out.reset();
        j.err.reset();
        j.status = kExitAgent;
        ++finished;
        continue;
      }
      ++running;
    }
    std::vector<pollfd> fds;
    std::vector<std::pair<job*, bool>> owners;
    for (job& j : jobs) {
      if (j.out.valid()) {
        fds.push_back({j.out.get(), POLLIN, 0});
        owners.emplace_back(&j, true);
      }
      if (j.err.valid()) {
        fds.push_back({j.err.get(), POLLIN, 0});
        owners.emplace_back(&j, false);
      }
    }
    if (!fds.empty()) {
      int n = ::poll(fds.data(), fds.size(), -1);
      if (n < 0 && errno != EINTR) {
        report(std::string("poll: ") + std::strerror(errno));
        return kExitAgent;
      }
      for (std::size_t k = 0; n > 0 && k < fds.size(); ++k)
        if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0) read_pipe(o, *owners[k].first, owners[k].second);
    }
    // An agent is done when both of its pipes ended: its child is leaving.
    for (job& j : jobs) {
      if (j.pid <= 0 || j.status >= 0 || j.out.valid() || j.err.valid()) continue;
      int raw = 0;
      while (::waitpid(j.pid, &raw, 0) < 0 && errno == EINTR) {
      }
      j.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : kExitAgent;
      j.seconds = std::chrono::duration<double>(clock::now() - j.start).count();
      --running;
      ++finished;
    }
  }
  int status = kExitOk;
  for (const job& j : jobs) {
    if (o.group && !j.grouped.empty()) write_all(1, "----------------\n" + j.label + "\n----------------\n" + j.grouped);
    status = std::max(status, j.status);
  }
  for (const job& j : jobs) {
    char when[32];
    std::snprintf(when, sizeof when, "%.1f s", j.seconds);
    report(j.label + ": exit " + std::to_string(j.status) + " (" + when + ")");
  }
  return status;
}

}  // namespace kvsctl
