#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

const std::string kPwd = "253 the current directory is :";

std::string real_path(const std::string& path) { return fs::canonical(path).string(); }

TEST(Directories, EmptyArgumentsAnswerEachCommandsOwnText) {
  auto s = e2e::admitted_session();
  EXPECT_EQ(s->command("CWD"), "451 CWK wait a directory name as parameter");
  EXPECT_EQ(s->command("MKD"), "452 MDK wait a directory name as parameter");
  EXPECT_EQ(s->command("RMD  "), "454 RMD wait a directory name as parameter");
  EXPECT_EQ(s->command("DELF"), "432 DELF wait filename as parameter");
  EXPECT_EQ(s->command("PWD ignored words"), kPwd + real_path(s->dir().path()));
}

TEST(Directories, CommandsSucceedAndFailAsTheFileSystemAllows) {
  auto s = e2e::admitted_session();
  const std::string root = real_path(s->dir().path());
  EXPECT_EQ(s->command("MKD sub"), "252 directory created");
  EXPECT_TRUE(fs::is_directory(root + "/sub"));
  EXPECT_EQ(s->command("MKD sub"), "552 MKD failed");
  EXPECT_EQ(s->command("MKD missing/child"), "552 MKD failed");
  EXPECT_FALSE(fs::exists(root + "/missing"));

  e2e::write_file(root + "/sub/f", "x");
  EXPECT_EQ(s->command("RMD sub"), "554 RMD failed");
  EXPECT_EQ(s->command("DELF sub"), "532 delete file failed");
  EXPECT_EQ(s->command("DELF sub/f"), "232 file deleted");
  EXPECT_FALSE(fs::exists(root + "/sub/f"));
  EXPECT_EQ(s->command("DELF sub/f"), "532 delete file failed");
  EXPECT_EQ(s->command("RMD sub"), "254 directory removed");
  EXPECT_FALSE(fs::exists(root + "/sub"));
  EXPECT_EQ(s->command("RMD sub"), "554 RMD failed");

  EXPECT_EQ(s->command("CWD nowhere"), "551 CWD failed");
  EXPECT_EQ(s->command("PWD"), kPwd + root);
}

TEST(Directories, RelativePathsFollowTheCurrentDirectory) {
  auto s = e2e::admitted_session();
  const std::string root = real_path(s->dir().path());
  EXPECT_EQ(s->command("MKD a"), "252 directory created");
  EXPECT_EQ(s->command("CWD a"), "251 directory changed");
  EXPECT_EQ(s->command("MKD b"), "252 directory created");
  EXPECT_EQ(s->command("CWD b"), "251 directory changed");
  EXPECT_EQ(s->command("PWD"), kPwd + root + "/a/b");
  EXPECT_TRUE(fs::is_directory(root + "/a/b"));
  EXPECT_EQ(s->command("CWD ../.."), "251 directory changed");
  EXPECT_EQ(s->command("PWD"), kPwd + root);
  EXPECT_EQ(s->command("CWD " + root + "/a"), "251 directory changed");
  EXPECT_EQ(s->command("PWD"), kPwd + root + "/a");
}

TEST(Directories, PwdReportsAPathOfAnyLengthWhole) {
  auto s = e2e::admitted_session();
  std::string expected = real_path(s->dir().path());
  const std::string name(200, 'n');
  const int depth = 25;  // well past both 260 and the kernel's 4096
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(s->command("MKD " + name), "252 directory created");
    ASSERT_EQ(s->command("CWD " + name), "251 directory changed");
    expected += "/" + name;
  }
  EXPECT_EQ(s->command("PWD"), kPwd + expected);
  // Removed through the agent: paths this long are beyond the usual tools.
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(s->command("CWD .."), "251 directory changed");
    ASSERT_EQ(s->command("RMD " + name), "254 directory removed");
  }
}

TEST(Directories, EachConnectionHasItsOwnCurrentDirectory) {
  e2e::temp_dir shared;
  fs::create_directory(shared.file("one"));
  e2e::agent_options options;
  options.cwd = shared.path();
  auto first = e2e::admitted_session(options);
  auto second = e2e::admitted_session(options);
  const std::string root = real_path(shared.path());
  EXPECT_EQ(first->command("CWD one"), "251 directory changed");
  EXPECT_EQ(first->command("PWD"), kPwd + root + "/one");
  EXPECT_EQ(second->command("PWD"), kPwd + root);
  EXPECT_EQ(second->command("CWD /"), "251 directory changed");
  EXPECT_EQ(first->command("PWD"), kPwd + root + "/one");
}

TEST(Directories, StartDirectoryIsPublishedAndStays) {
  auto s = e2e::admitted_session();
  const std::string root = real_path(s->dir().path());
  const std::string published = "211 getenv result : KVS_AGT_BASEPWD=" + root;
  EXPECT_EQ(s->command("GENV KVS_AGT_BASEPWD"), published);
  EXPECT_EQ(s->command("CWD /"), "251 directory changed");
  EXPECT_EQ(s->command("GENV KVS_AGT_BASEPWD"), published);
}

}  // namespace
