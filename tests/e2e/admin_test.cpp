// What administrators see: the process name of the daemon and of connection
// processes, the pause setting between accepts, and kvsagtd-check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

using e2e::kReplyMs;

namespace {

std::string comm_of(pid_t pid) { return e2e::read_file("/proc/" + std::to_string(pid) + "/comm"); }

struct check_result {
  int status = -1;
  std::string out;
};

// Runs kvsagtd-check with KVS_DIR set to `dir` (none: unset) and `args`.
check_result run_check(const std::string& dir, const std::string& args) {
  // Bounded: a check that waits on the file must fail the test, not hang it.
  std::string command = "timeout 20 env -u KVS_DIR -u PROVEXDIR " + (dir.empty() ? "" : "KVS_DIR='" + dir + "' ") + "'" +
                        e2e::tool_path("kvsagtd-check") + "' " + args + " 2>&1";
  check_result r;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) r.out.append(chunk, n);
  int raw = ::pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

}  // namespace

TEST(Admin, DaemonAndConnectionProcessesAreNamedKvsagtd) {
  int port = e2e::free_port();
  e2e::captured_process daemon = e2e::start_agent({std::to_string(port)});
  studio::connection c(e2e::connect_local(port, kReplyMs));
  ASSERT_EQ(c.read_line(kReplyMs), "210 hello, please to meet you.");
  std::vector<pid_t> children = e2e::connection_processes_of(daemon.pid);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(comm_of(daemon.pid), "kvsagtd\n");
  EXPECT_EQ(comm_of(children[0]), "kvsagtd\n");
  daemon.kill_now();
}

TEST(Admin, PauseAfterAcceptComesFromTheEnvironment) {
  e2e::agent_options options;
  options.env["KVS_ACCEPT_PAUSE_MS"] = "60000";
  int port = e2e::free_port();
  e2e::captured_process daemon = e2e::start_agent({std::to_string(port)}, options);
  studio::connection first(e2e::connect_local(port, kReplyMs));
  ASSERT_EQ(first.read_line(kReplyMs), "210 hello, please to meet you.");
  // The second connection waits in the backlog for the whole pause.
  studio::connection second(e2e::connect_local(port, kReplyMs));
  EXPECT_EQ(second.read_line(1500), std::nullopt);
  daemon.kill_now();
}

TEST(Admin, CheckReportsRulesErrorsAndTheDecidingRule) {
  e2e::temp_dir dir;
  e2e::write_file(dir.file("kvsagtd.ini"),
                  "# rules\n"
                  "+ alice\n"
                  "localhost +bob\n"
                  "no-such-host.invalid carol\n"
                  "+ -guest\n");
  const std::string local = e2e::local_user();
  struct row {
    std::string args;
    int status;
    std::string expected;
  };
  for (const row& r : std::vector<row>{
           {"", 0, "line 4: no-such-host.invalid carol: the machine name \"no-such-host.invalid\" does not resolve"},
           {"--user alice --host localhost", 0, "user alice from localhost: admitted by line 2\n"},
           {"--user bob", 0, "user bob from localhost: admitted by line 3\n"},
           {"--user guest", 1, "user guest from localhost: refused by line 5\n"},
           {"--user carol", 1, "user carol from localhost: refused, no rule names this user or every user\n"},
           {"--user " + local, 0, "user " + local + " from localhost: admitted as the agent's own account\n"},
           {"--user " + local + " --account someone-else", 1, "refused, no rule names"},
           {"--user " + local + " --studio-account someone-else", 1,
            "refused, no rule names this user or every user; the agent's own account counts only when the\n"
            "studio's socket belongs to it, and it belongs to someone-else\n"},
           {"--user " + local + " --studio-account " + local, 0, "admitted as the agent's own account\n"},
           {"--bogus", 2, "usage: kvsagtd-check"},
       }) {
    check_result got = run_check(dir.path(), r.args);
    EXPECT_EQ(got.status, r.status) << r.args << "\n" << got.out;
    EXPECT_NE(got.out.find(r.expected), std::string::npos) << r.args << "\n" << got.out;
  }
  EXPECT_NE(run_check(dir.path(), "").out.find("authorization file: " + dir.file("kvsagtd.ini") + "\n"),
            std::string::npos);

  e2e::write_file(dir.file("kvsagtd.ini"), "+ alice\nlonely\n");
  check_result errors = run_check(dir.path(), "--user alice");
  EXPECT_EQ(errors.status, 2);
  EXPECT_NE(errors.out.find("line 2: format error"), std::string::npos) << errors.out;

  EXPECT_EQ(run_check(dir.file("missing"), "").status, 2);
  check_result unset = run_check("", "--user alice");
  EXPECT_EQ(unset.status, 2);
  EXPECT_NE(unset.out.find("neither KVS_DIR nor PROVEXDIR is set"), std::string::npos) << unset.out;
}

TEST(Admin, CheckSaysWhyAFileIsRefused) {
  struct refused_case {
    const char* name;
    std::string why;
  };
  const refused_case cases[] = {
      {"fifo", "refused: a named pipe; the agent reads only a regular file of at most 1048576 bytes"},
      {"zero", "refused: a character device;"},
      {"huge", "refused: larger than 1048576 bytes;"},
      {"absent", "cannot be read (No such file or directory)"},
  };
  for (const refused_case& c : cases) {
    e2e::temp_dir dir;
    const std::string ini = dir.file("kvsagtd.ini");
    ASSERT_EQ(e2e::make_refused_file(ini, c.name), 0) << c.name;
    check_result got = run_check(dir.path(), "--user alice");
    EXPECT_EQ(got.status, 2) << c.name << "\n" << got.out;
    EXPECT_NE(got.out.find(ini + ": " + c.why), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("admits only its own account"), std::string::npos) << got.out;
  }
}
