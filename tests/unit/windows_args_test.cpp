// The command line that hands words to a Windows program: what the C
// runtime's parser (and CommandLineToArgvW) reads back as the same words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/spawn.h"

namespace {

TEST(WindowsArgs, QuotesOnlyWhatTheParserWouldSplitOrStrip) {
  struct {
    std::vector<std::string> words;
    std::string line;
  } cases[] = {
      {{"cmd.exe", "/c", "echo"}, R"(cmd.exe /c echo)"},
      {{"a b", "c\td"}, R"("a b" "c	d")"},
      {{"", "x"}, R"("" x)"},
      {{R"(C:\dir\)"}, R"(C:\dir\)"},                    // no quotes: backslashes stay single
      {{R"(C:\my dir\)"}, R"("C:\my dir\\")"},           // doubled before the closing quote
      {{R"(say "hi")"}, R"("say \"hi\"")"},
      {{R"(a\"b)"}, R"("a\\\"b")"},                       // a backslash before a quote
      {{R"(a\\b c)"}, R"("a\\b c")"},                     // backslashes not before a quote stay
      {{}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PLATquote_windows_args(c.words), c.line);
}

// The environment store orders and matches names through this comparison:
// byte by byte on POSIX, so that PATH and Path stay two variables; without
// regard to case on Windows, in the order of upper case ("_" after letters).
TEST(WindowsArgs, EnvironmentNamesCompareAsThePlatformTellsThemApart) {
  const bool windows = PLATdir_separator() == '\\';
  EXPECT_LT(PLATcompare_env_names("A", "B"), 0);
  EXPECT_EQ(PLATcompare_env_names("PATH", "PATH"), 0);
  EXPECT_LT(PLATcompare_env_names("PAT", "PATH"), 0);
  EXPECT_EQ(PLATcompare_env_names("PATH", "Path") == 0, windows);
  EXPECT_EQ(PLATcompare_env_names("path", "PATH_X") < 0, windows);
  EXPECT_EQ(PLATcompare_env_names("a_b", "abc") > 0, windows);
}

}  // namespace
