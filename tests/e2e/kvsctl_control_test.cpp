// kvsctl's control connection against a real agent daemon: calls in
// parallel through one connection, a rendezvous released from another
// process, -O check and exit, the idle end, the socket closed to other
// users, and the agent dying under it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "harness.h"
#include "kvsctl_process.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int kExitMs = 30000;

using e2e::daemon_agent;

using e2e::kvsctl;
using e2e::kvsctl_process;
using outcome = e2e::kvsctl_outcome;

// A control connection to a fresh daemon, its socket in a directory of the
// test's own (named with -S on every call).
class controlled : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent_.ready());
    socket_ = sockets_.file("control");
    outcome started = kvsctl(with({"-M"}));
    ASSERT_EQ(started.status, 0) << started.err;
    ASSERT_TRUE(e2e::file_exists(socket_));
  }
  void TearDown() override { kvsctl(with({"-O", "exit"})); }

  // The arguments of a call through the control connection.
  std::vector<std::string> with(std::vector<std::string> options, const std::vector<std::string>& rest = {}) {
    options.insert(options.end(), {"-S", socket_, agent_.target()});
    options.insert(options.end(), rest.begin(), rest.end());
    return options;
  }
  // The master's pid, as -O check tells it.
  pid_t master_pid() {
    outcome check = kvsctl(with({"-O", "check"}));
    std::size_t at = check.err.find("pid ");
    return at == std::string::npos ? -1 : std::atoi(check.err.c_str() + at + 4);
  }

  daemon_agent agent_;
  e2e::temp_dir sockets_;
  std::string socket_;
};

TEST_F(controlled, ParallelCallsEachGetTheirOwnOutputAndStatus) {
  ASSERT_EQ(::mkdir(agent_.dir().file("sub").c_str(), 0755), 0);
  e2e::write_file(agent_.dir().file("in.txt"), "file contents\n");
  struct call {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  // The ends come in another order than the launches.
  const std::vector<call> calls = {
      {{"run", "--", "sh", "-c", "sleep 0.4; echo slow; exit 4"}, "slow\n", 4},
      {{"run", "--", "sh", "-c", "echo fast >&2; exit 0"}, "fast\n", 0},
      {{"run", "-e", "MINE=one", "-C", "sub", "--", "sh", "-c", "sleep 0.2; echo $MINE; basename $(pwd); exit 2"},
       "one\nsub\n", 2},
      {{"run", "--", "sh", "-c", "head -c 200000 /dev/zero | tr '\\0' y; exit 7"}, std::string(200000, 'y'), 7},
      {{"get", "in.txt", "-"}, "file contents\n", 0},
      {{"run", "--", "no-such-program-here"}, "", 127},
  };
  std::vector<std::unique_ptr<kvsctl_process>> running;
  for (const call& c : calls) running.push_back(std::make_unique<kvsctl_process>(with({}, c.args)));
  for (std::size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(calls[i].args.back());
    EXPECT_EQ(running[i]->wait_exit(), calls[i].status) << running[i]->err();
    EXPECT_TRUE(running[i]->out() == calls[i].out) << running[i]->out().substr(0, 100);
  }
  // What one call set stays with it; the agent took one connection only.
  outcome after = kvsctl(with({}, {"run", "--", "sh", "-c", "echo \"[${MINE-unset}]\"; pwd"}));
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(after.out, "[unset]\n" + agent_.dir().path() + "\n");
  EXPECT_EQ(e2e::connection_processes_of(agent_.pid()).size(), 1u);
}

TEST_F(controlled, StepsOfAScriptKeepTheirDirectoryAndVariablesForThemselves) {
  ASSERT_EQ(::mkdir(agent_.dir().file("d").c_str(), 0755), 0);
  e2e::temp_dir local;
  e2e::write_file(local.file("up.txt"), "up\n");
  outcome script = kvsctl(with({}, {"do", "cd", "d", "---", "env", "V=x", "---", "put", local.file("up.txt"), "f.txt",
                                    "---", "run", "sh", "-c", "cat f.txt; echo $V"}));
  EXPECT_EQ(script.status, 0) << script.err;
  EXPECT_EQ(script.out, "up\nx\n");
  EXPECT_EQ(e2e::read_file(agent_.dir().file("d/f.txt")), "up\n");
  outcome after = kvsctl(with({}, {"run", "--", "sh", "-c", "echo \"${V-unset}\"; pwd"}));
  EXPECT_EQ(after.out, "unset\n" + agent_.dir().path() + "\n");
}

TEST_F(controlled, TheShellsLinesAreExchangesOfItsOwn) {
  e2e::temp_dir local;
  // A GETF typed without its data connection would hold the agent, and every
  // call behind it; QUIT ends the shell's part only.
  e2e::write_file(local.file("typed"), "HELP\nGETF x\nGENV KVS_AGT_BASEPWD\nQUIT\n");
  kvsctl_process shell(with({}, {"shell"}), local.file("typed"));
  EXPECT_EQ(shell.wait_exit(), 0) << shell.err();
  std::string out = shell.out();
  EXPECT_EQ(out.rfind("110 the known commands are :\n", 0), 0u) << out;
  EXPECT_NE(out.find("\n210\\tQim\n+NO GETF goes through"), std::string::npos) << out;
  EXPECT_NE(out.find("211 getenv result : KVS_AGT_BASEPWD=" + agent_.dir().path() + "\n221 bye.\n"), std::string::npos)
      << out;
  outcome after = kvsctl(with({}, {"run", "--", "echo", "still"}));
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(after.out, "still\n");
}

TEST_F(controlled, ReleaseFromASecondProcessLetsTheTesterGoOn) {
  kvsctl_process tester(with({}, {"run", "--", "sh", "-c", e2e::tool_path("kvsrdv") + " gate; echo status $?"}));
  // No tester waits at another name.
  outcome wrong = kvsctl(with({}, {"release", "other"}));
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("no tester waits"), std::string::npos) << wrong.err;
  outcome released;
  // The tester reaches the rendezvous in its own time.
  EXPECT_TRUE(e2e::eventually([&] {
    released = kvsctl(with({}, {"release", "gate"}));
    return released.status == 0;
  }, 10000)) << released.err;
  EXPECT_EQ(tester.wait_exit(), 0) << tester.err();
  EXPECT_EQ(tester.out(), "status 0\n");
  // Without a control connection nothing holds a rendezvous.
  outcome alone = kvsctl({"-S", "none", agent_.target(), "refuse", "gate"});
  EXPECT_EQ(alone.status, 2);
  EXPECT_NE(alone.err.find("no control connection"), std::string::npos) << alone.err;
}

TEST_F(controlled, CheckAndExitAnswerAsTheyShould) {
  outcome check = kvsctl(with({"-O", "check"}));
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.err.find("running (pid "), std::string::npos) << check.err;
  pid_t pid = master_pid();
  // A second -M finds it serving and starts nothing.
  outcome again = kvsctl(with({"-M"}));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(master_pid(), pid);
  outcome exited = kvsctl(with({"-O", "exit"}));
  EXPECT_EQ(exited.status, 0) << exited.err;
  EXPECT_FALSE(e2e::file_exists(socket_));
  EXPECT_TRUE(e2e::eventually([&] { return !e2e::process_alive(pid); }));
  EXPECT_EQ(kvsctl(with({"-O", "check"})).status, 255);
  // Calls now connect on their own, silently.
  outcome alone = kvsctl(with({}, {"run", "--", "echo", "alone"}));
  EXPECT_EQ(alone.status, 0) << alone.err;
  EXPECT_EQ(alone.out, "alone\n");
  EXPECT_EQ(alone.err, "");
}

TEST(KvsctlControl, EndsAfterItsIdleTime) {
  daemon_agent agent;
  ASSERT_TRUE(agent.ready());
  e2e::temp_dir sockets;
  std::string socket = sockets.file("control");
  outcome started = kvsctl({"-M", "--persist", "0.5", "-S", socket, agent.target()});
  ASSERT_EQ(started.status, 0) << started.err;
  // A call keeps it from being idle while it lasts.
  outcome busy = kvsctl({"-S", socket, agent.target(), "run", "--", "sleep", "1"});
  EXPECT_EQ(busy.status, 0) << busy.err;
  EXPECT_TRUE(e2e::file_exists(socket));
  EXPECT_TRUE(e2e::eventually([&] { return !e2e::file_exists(socket); }, 10000));
  // It ended its connection to the agent too.
  EXPECT_TRUE(e2e::eventually([&] { return e2e::connection_processes_of(agent.pid()).empty(); }, 10000));
}

TEST_F(controlled, AnotherLocalUserIsRefusedAtTheSocket) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  // Past the file's mode: the peer's credentials alone keep it out.
  ASSERT_EQ(::chmod(sockets_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(socket_.c_str(), 0666), 0);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    char verdict = 'x';
    if (::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
      verdict = 'c';  // could not even connect
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        // An admitted call is greeted; a refused one sees the end at once.
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char reply[64];
        long n = ::recv(fd, reply, sizeof reply, 0);
        verdict = n == 0 ? 'r' : n > 0 ? 'a' : 't';
      }
    }
    (void)!::write(pipe_fds[1], &verdict, 1);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  char verdict = 0;
  EXPECT_EQ(::read(pipe_fds[0], &verdict, 1), 1);
  ::close(pipe_fds[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(verdict, 'r');
  // The owner still gets in.
  EXPECT_EQ(kvsctl(with({}, {"run", "--", "true"})).status, 0);
}

TEST_F(controlled, TheAgentDyingFailsItsCallsAndALaterCallSaysSoOnce) {
  kvsctl_process waiting(with({}, {"run", "--", "sleep", "30"}));
  std::vector<pid_t> served;
  ASSERT_TRUE(e2e::eventually([&] {
    served = e2e::connection_processes_of(agent_.pid());
    return served.size() == 1 && e2e::children_of(served[0]).size() == 1;
  }));
  ASSERT_EQ(::kill(served[0], SIGKILL), 0);
  EXPECT_EQ(waiting.wait_exit(), 255);
  EXPECT_NE(waiting.err().find("control connection"), std::string::npos) << waiting.err();
  // The daemon pauses after each accept: the connection before this one was
  // more than a second ago.
  outcome first = kvsctl(with({}, {"run", "--", "echo", "first"}));
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, "first\n");
  EXPECT_NE(first.err.find("has ended; connecting on its own"), std::string::npos) << first.err;
  outcome second = kvsctl(with({}, {"run", "--", "echo", "second"}));
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.err, "");
}

}  // namespace
