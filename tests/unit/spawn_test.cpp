#include "platform/spawn.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using words_t = std::vector<std::string>;

words_t split(std::string_view line) {
  words_t words;
  EXPECT_EQ(PLATsplit_words(line, words), 0) << line;
  return words;
}

// Closes the descriptors of a socketpair at the end of a test.
struct socket_pair {
  int fds[2] = {-1, -1};
  socket_pair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
  ~socket_pair() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
};

// Everything the peer writes until it closes or 5 s pass.
std::string read_all(int fd) {
  std::string text;
  char chunk[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

// The exit code of a program that must end within 5 s; -1000 when it did not.
int exit_code_of(int pid, int* signal = nullptr) {
  int code = -1000;
  int sig = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (PLATpoll_exit(pid, &code, &sig) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (signal != nullptr) *signal = sig;
  return code;
}

std::string read_text_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool alive(int pid) {
  std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

}  // namespace

TEST(SplitWords, BlanksAndTabsSeparateAndRunsCountOnce) {
  EXPECT_EQ(split("ls -l  /tmp"), (words_t{"ls", "-l", "/tmp"}));
  EXPECT_EQ(split("\t a\t\tb \t"), (words_t{"a", "b"}));
  EXPECT_TRUE(split("").empty());
  EXPECT_TRUE(split(" \t ").empty());
}

TEST(SplitWords, QuotesKeepBlanksAndJoinAdjacentText) {
  EXPECT_EQ(split("echo 'a  b' \"c\td\""), (words_t{"echo", "a  b", "c\td"}));
  EXPECT_EQ(split("x'y'\"z\"w"), (words_t{"xyzw"}));
  EXPECT_EQ(split("a '' \"\" b"), (words_t{"a", "", "", "b"}));
  EXPECT_EQ(split("'a\"b' \"c'd\""), (words_t{"a\"b", "c'd"}));
}

TEST(SplitWords, BackslashRules) {
  // Outside quotes: the next character is taken as it is.
  EXPECT_EQ(split(R"(a\ b c\\d \'e)"), (words_t{"a b", "c\\d", "'e"}));
  // Inside single quotes: nothing is special.
  EXPECT_EQ(split(R"('a\nb\')"), (words_t{"a\\nb\\"}));
  // Inside double quotes: only $ ` " \ are escaped.
  EXPECT_EQ(split(R"("\$\`\"\\\n\a")"), (words_t{"$`\"\\\\n\\a"}));
  // Backslash-newline disappears; a final backslash stays.
  EXPECT_EQ(split("ab\\\ncd \"e\\\nf\" g\\"), (words_t{"abcd", "ef", "g\\"}));
}

TEST(SplitWords, NoExpansionOrOperators) {
  EXPECT_EQ(split("echo $HOME *.c ~ a|b;c>d `x` #e"),
            (words_t{"echo", "$HOME", "*.c", "~", "a|b;c>d", "`x`", "#e"}));
}

TEST(SplitWords, UnclosedQuoteFails) {
  words_t words;
  EXPECT_EQ(PLATsplit_words("echo 'abc", words), -1);
  words.clear();
  EXPECT_EQ(PLATsplit_words("echo \"abc\\\"", words), -1);
}

TEST(Launch, StandardStreamsAreTheGivenDescriptor) {
  socket_pair pair;
  int pid = PLATlaunch({"sh", "-c", "read x; echo \"[$x]\"; echo err >&2"}, pair.fds[1]);
  ASSERT_GT(pid, 0);
  ::close(pair.fds[1]);
  pair.fds[1] = -1;
  ASSERT_EQ(::write(pair.fds[0], "hi\n", 3), 3);
  EXPECT_EQ(read_all(pair.fds[0]), "[hi]\nerr\n");
  EXPECT_EQ(exit_code_of(pid), 0);
}

TEST(Launch, ExitStatusAndDeathBySignal) {
  int pid = PLATlaunch({"sh", "-c", "exit 7"}, -1);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(exit_code_of(pid), 7);
  int signal = 0;
  pid = PLATlaunch({"sh", "-c", "kill -TERM $$"}, -1);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(exit_code_of(pid, &signal), 128 + SIGTERM);
  EXPECT_EQ(signal, SIGTERM);
}

TEST(Launch, AProgramThatCannotBeStartedIsALaunchFailure) {
  EXPECT_EQ(PLATlaunch({"/nonexistent/kvs-no-such-program"}, -1), -1);
  EXPECT_EQ(PLATlaunch({"kvs-no-such-program-along-path"}, -1), -1);
  EXPECT_EQ(PLATlaunch({"/etc/passwd"}, -1), -1);  // not executable
  EXPECT_EQ(PLATlaunch({}, -1), -1);
}

TEST(Launch, OnlyStandardDescriptorsOnDevNullSignalsAtDefault) {
  // The launcher's own state must not leak: an inheritable descriptor, a
  // blocked signal, an ignored SIGPIPE.
  int stray = ::dup(2);  // not close-on-exec
  sigset_t block, previous_mask;
  ::sigemptyset(&block);
  ::sigaddset(&block, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &block, &previous_mask);
  struct sigaction ignore {}, previous_pipe {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous_pipe);

  int pid = PLATlaunch({"sleep", "30"}, -1);

  ::sigaction(SIGPIPE, &previous_pipe, nullptr);
  ::sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
  ::close(stray);
  ASSERT_GT(pid, 0);

  std::string proc = "/proc/" + std::to_string(pid);
  // The program's loader holds a descriptor of its own for a moment while it
  // maps the libraries; a descriptor leaked by the launch stays for good.
  std::vector<std::string> fds;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do {
    fds.clear();
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) fds.push_back(entry.path().filename());
    std::sort(fds.begin(), fds.end());
    if (fds.size() == 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"}));
  for (const char* fd : {"0", "1", "2"})
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/" + fd).string(), "/dev/null");
  std::string status = read_text_file(proc + "/status");
  EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"), std::string::npos) << status;
  // Signals 1 to 31; the C library keeps its own internal ones above them.
  std::size_t ignored = status.find("SigIgn:\t");
  ASSERT_NE(ignored, std::string::npos);
  EXPECT_EQ(std::stoull(status.substr(ignored + 8, 16), nullptr, 16) & 0x7fffffffULL, 0U) << status;
  // A process group of its own.
  EXPECT_EQ(::getpgid(pid), pid);

  EXPECT_EQ(PLATkill_group(pid), 0);
  EXPECT_EQ(PLATreap(pid, 5000), 0);
}

TEST(Launch, GroupKillTakesTheProgramsChildrenToo) {
  socket_pair pair;
  int pid = PLATlaunch({"sh", "-c", "sleep 30 & echo $!; wait"}, pair.fds[1]);
  ASSERT_GT(pid, 0);
  std::string line;
  char c;
  while (::read(pair.fds[0], &c, 1) == 1 && c != '\n') line += c;
  int grandchild = std::atoi(line.c_str());
  ASSERT_GT(grandchild, 0);
  ASSERT_TRUE(alive(grandchild));

  EXPECT_EQ(PLATkill_group(pid), 0);
  int signal = 0;
  EXPECT_EQ(exit_code_of(pid, &signal), 128 + SIGKILL);
  EXPECT_EQ(signal, SIGKILL);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (alive(grandchild) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(alive(grandchild));
}

TEST(ChildWake, ReadableWhenAChildEndsWhichStaysToBeReaped) {
  child_wake wake;
  ASSERT_EQ(wake.open(), 0);
  EXPECT_EQ(child_wake().open(), -1);  // one at a time
  int pid = PLATlaunch({"true"}, -1);
  ASSERT_GT(pid, 0);
  pollfd p{wake.fd(), POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, 5000);
  } while (n < 0 && errno == EINTR);
  EXPECT_EQ(n, 1);
  // The handler did not reap: the status is still there.
  int code = -1, signal = -1;
  EXPECT_EQ(PLATpoll_exit(pid, &code, &signal), 1);
  EXPECT_EQ(code, 0);
  wake.close();
  EXPECT_EQ(wake.fd(), -1);
  EXPECT_EQ(wake.open(), 0);  // free again once closed
}
