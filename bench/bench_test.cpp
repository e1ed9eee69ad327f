// The benchmark driver's own logic: the statistics it reports, how it reads
// the agent's lines, and the checks that decide whether a run did its work.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "bench/bench_lib.h"

namespace {

TEST(Percentile, NearestRankOverUnsortedSamples) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);
  EXPECT_EQ(bench::percentile(samples, 50), 50);
  EXPECT_EQ(bench::percentile(samples, 99), 99);
  EXPECT_EQ(bench::percentile(samples, 100), 100);
  EXPECT_EQ(bench::percentile({7}, 99), 7);
  EXPECT_EQ(bench::percentile({}, 50), 0);
  // A single slow outlier among few samples is the p99, not lost.
  EXPECT_EQ(bench::percentile({1, 1, 1, 1, 1, 1, 1, 1, 1, 50}, 99), 50);
}

TEST(ProcessLines, LaunchAndStopNumbers) {
  EXPECT_EQ(bench::launched_number("261 child process launched : %12"), 12);
  EXPECT_EQ(bench::launched_number("561 EXEC process failed"), -1);
  EXPECT_EQ(bench::launched_number("261 child process launched : 12"), -1);
  EXPECT_EQ(bench::stopped_numbers("661 process stopped : %1 => %7 (%0)"), std::vector<int>{7});
  EXPECT_EQ(bench::stopped_numbers("661 process stopped : %3 => %9 (%0), %8 (%1), %2 (%137)"),
            (std::vector<int>{9, 8, 2}));
  EXPECT_TRUE(bench::stopped_numbers("211 getenv result : X=%1 => %2 (%0)").empty());
  EXPECT_TRUE(bench::stopped_numbers("661 process stopped : garbage").empty());
}

TEST(RelayChecker, AcceptsEveryLineOnceInOrderPerTester) {
  bench::relay_checker checker(2, 2);
  EXPECT_TRUE(checker.feed("700 boot dynfollow : 9 BOOT 1"));
  EXPECT_TRUE(checker.feed("700 boot dynfollow : 7 BOOT 0"));
  // Testers interleave; each one's own lines stay in order.
  EXPECT_TRUE(checker.feed("703 tsf notify dynfollow : 9 " + bench::tester_line(1, 0)));
  EXPECT_TRUE(checker.feed("703 tsf notify dynfollow : 7 " + bench::tester_line(0, 0)));
  EXPECT_FALSE(checker.complete());
  EXPECT_TRUE(checker.feed("703 tsf notify dynfollow : 7 " + bench::tester_line(0, 1)));
  EXPECT_TRUE(checker.feed("703 tsf notify dynfollow : 9 " + bench::tester_line(1, 1)));
  EXPECT_TRUE(checker.complete());
  EXPECT_EQ(checker.error(), "");
}

TEST(RelayChecker, RejectsLostRepeatedMisattributedAndStrayLines) {
  auto booted = [] {
    auto c = std::make_unique<bench::relay_checker>(2, 3);
    c->feed("700 boot dynfollow : 5 BOOT 0");
    c->feed("700 boot dynfollow : 6 BOOT 1");
    c->feed("703 tsf notify dynfollow : 5 " + bench::tester_line(0, 0));
    return c;
  };
  auto c = booted();
  EXPECT_FALSE(c->feed("703 tsf notify dynfollow : 5 " + bench::tester_line(0, 0)));  // repeated
  c = booted();
  EXPECT_FALSE(c->feed("703 tsf notify dynfollow : 5 " + bench::tester_line(0, 2)));  // one skipped
  c = booted();
  EXPECT_FALSE(c->feed("703 tsf notify dynfollow : 6 " + bench::tester_line(0, 1)));  // wrong tester
  c = booted();
  EXPECT_FALSE(c->feed("703 tsf notify dynfollow : 4 " + bench::tester_line(0, 1)));  // never booted
  c = booted();
  EXPECT_FALSE(c->feed("710 tester disconnected dynfollow : 5 "));
  EXPECT_NE(c->error(), "");
  c = booted();
  EXPECT_FALSE(c->feed("700 boot dynfollow : 5 BOOT 1"));  // the same id twice
}

TEST(LineChannel, LinesCutAnywhereAndSeveralInOneSegment) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  bench::line_channel channel;
  channel.adopt(pair[0], 2000);
  auto put = [&](const char* bytes) { ASSERT_GT(::write(pair[1], bytes, std::strlen(bytes)), 0); };
  put("211 a\r\n211 b\r");
  EXPECT_EQ(channel.read_line(), "211 a");
  put("\n661 c\nd\r\n");
  EXPECT_EQ(channel.read_line(), "211 b");
  EXPECT_EQ(channel.read_line(), "661 c\nd");  // a lone LF is part of a line
  put("x\r\n310 ok\r\n");
  EXPECT_EQ(channel.read_until("310"), "310 ok");
  ::close(pair[1]);
  EXPECT_EQ(channel.read_line(), std::nullopt);
}

TEST(LineChannel, ReadIsBoundedWhenNothingComes) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  bench::line_channel channel;
  channel.adopt(pair[0], 200);
  EXPECT_EQ(channel.read_line(), std::nullopt);
  ::close(pair[1]);
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kvsbench-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(Files, MadeFilesHaveTheSizeAndKind) {
  std::string bin = dir_ + "/b", txt = dir_ + "/t";
  ASSERT_TRUE(bench::make_file(bin, 3 * 1048576 + 5, false));
  ASSERT_TRUE(bench::make_file(txt, 1048576 + 7, true));
  EXPECT_EQ(std::filesystem::file_size(bin), 3u * 1048576 + 5);
  EXPECT_EQ(std::filesystem::file_size(txt), 1048576u + 7);
  std::ifstream in(txt, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(all.find('\r'), std::string::npos);
  EXPECT_GT(std::count(all.begin(), all.end(), '\n'), 10000);
}

TEST_F(Files, SameContentTellsEveryDifference) {
  std::string a = dir_ + "/a", b = dir_ + "/b";
  ASSERT_TRUE(bench::make_file(a, 2 * 1048576, false));
  std::filesystem::copy_file(a, b);
  EXPECT_TRUE(bench::same_content(a, b));
  {
    std::fstream f(b, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(1048576 + 3);
    f.put('\x5a' ^ static_cast<char>(f.peek()));
  }
  EXPECT_FALSE(bench::same_content(a, b));
  std::filesystem::copy_file(a, b, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(b, 2 * 1048576 - 1);
  EXPECT_FALSE(bench::same_content(a, b));  // shorter
  EXPECT_FALSE(bench::same_content(b, a));  // longer
  EXPECT_FALSE(bench::same_content(a, dir_ + "/missing"));
  std::filesystem::resize_file(b, 0);
  std::filesystem::resize_file(a, 0);
  EXPECT_TRUE(bench::same_content(a, b));
}

TEST(Processes, ChildIsFoundReapedAndBounded) {
  auto sleeper = bench::child::start({"sleep", "30"});
  ASSERT_TRUE(sleeper);
  auto kids = bench::children_of(::getpid());
  EXPECT_NE(std::find(kids.begin(), kids.end(), sleeper->pid()), kids.end());
  // Memory is read once the child sleeps in sleep itself: not the copy of the
  // test that fork made, nor while the loader is still touching pages.
  const std::string stat = "/proc/" + std::to_string(sleeper->pid()) + "/stat";
  for (int i = 0; i < 300; ++i) {
    std::ifstream in(stat);
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    if (line.find("(sleep)") != std::string::npos && close != std::string::npos && close + 2 < line.size() &&
        line[close + 2] == 'S')
      break;
    ::usleep(10000);
  }
  const long rss = bench::rss_kib(sleeper->pid());
  const long own = bench::private_kib(sleeper->pid());
  EXPECT_GT(rss, 0);
  EXPECT_GT(own, 0);
  EXPECT_LE(own, rss);
  const long pss = bench::pss_kib(sleeper->pid());
  const long dirty = bench::private_dirty_kib(sleeper->pid());
  EXPECT_GT(pss, 0);
  EXPECT_LE(pss, rss);
  EXPECT_GT(dirty, 0);
  EXPECT_LE(dirty, own);
  EXPECT_GE(bench::wake_ups(sleeper->pid()), 0);
  EXPECT_GE(bench::cpu_ms(sleeper->pid()), 0);
  EXPECT_EQ(bench::wake_ups(-5), -1);
  EXPECT_EQ(sleeper->wait(50), std::nullopt);  // still running: the wait gives up
  sleeper->kill();
  auto quick = bench::child::start({"sh", "-c", "exit 3"});
  ASSERT_TRUE(quick);
  EXPECT_EQ(quick->wait(10000), 3);
}

}  // namespace
