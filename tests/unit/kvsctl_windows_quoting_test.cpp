// kvsctl: EXEC command lines for Windows agents. The lines go through the
// agent's own variable expansion, then are split back the way Windows does:
// the program name as CreateProcess reads it, the arguments by the C
// runtime's rules, in both of its versions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "agent/cmdagt.h"
#include "client/kvsctl/quoting.h"

namespace {

using kvsctl::agent_platform;

// How two quotes side by side inside quotes are read: the current runtimes
// give one quote and stay inside; CommandLineToArgvW and the older runtimes
// give one quote and leave the quotes.
enum class runtime { current, older };

// The words of a Windows command line.
std::vector<std::string> split_windows(const std::string& line, runtime rt) {
  std::vector<std::string> words;
  std::size_t i = 0;
  // The program name: quotes toggle, nothing escapes, a blank or tab
  // outside quotes ends it.
  std::string program;
  bool quoted = false;
  for (; i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')); ++i) {
    if (line[i] == '"') quoted = !quoted;
    else program += line[i];
  }
  words.push_back(program);
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        word.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          word += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          word += '"';
          ++i;
          if (rt == runtime::older) quoted = false;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        word.append(backslashes, '\\');
        if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) word += line[i++];
      }
    }
    words.push_back(word);
  }
  return words;
}

TEST(KvsctlWindowsQuoting, ArgumentsSurviveTheAgentsExpansionAndTheRuntimesSplitting) {
  ::setenv("HOME", "C:\\Users\\agent", 1);
  ::setenv("X", "expanded", 1);
  ::setenv("A B", "braced", 1);
  const std::vector<std::string> words = {
      "plain", "", " ", "a b", "tab\there", "\"", "\"\"", "a\"b", "say \"hi\"",
      "\\", "\\\\", "end\\", "end\\\\", "a b\\", "a b\\\\", "C:\\Program Files\\", "\\\"", "\\\\\"", "a\\\"b",
      "a\\\\\"b c", "a\\b", "\\\\server\\c$\\x", "$HOME", "${HOME}", "$", "$$", "$$X", "a$", "${", "${A B}",
      "$X$X", "\\$HOME", "\"$X\"", "$_", "$1", "$\"X", "50%", "^&|<>()", "new\nline", "cr\r\nlf", "\r",
      "\r\n", "\r\r\n", "\r\n\"", "\xc3\xbcml", "a\"b'c\\d$e{f}g h\\",
  };
  for (runtime rt : {runtime::current, runtime::older}) {
    SCOPED_TRACE(rt == runtime::current ? "current runtime" : "older runtime");
    std::vector<std::string> program_and_words = {"C:\\Program Files\\tool.exe"};
    program_and_words.insert(program_and_words.end(), words.begin(), words.end());
    std::optional<std::string> line = kvsctl::exec_line(agent_platform::windows, program_and_words);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->find("\r\n"), std::string::npos) << "a CR LF would end the command line";
    kvwstr expanded = CMDexpand(nullptr, line->c_str(), '$');
    EXPECT_EQ(split_windows(std::string(expanded.view()), rt), program_and_words) << *line;
    // Each word alone too, after a program name.
    for (const std::string& word : words) {
      std::string one = "p.exe " + kvsctl::quote_windows_argument(word);
      kvwstr x = CMDexpand(nullptr, one.c_str(), '$');
      EXPECT_EQ(split_windows(std::string(x.view()), rt), (std::vector<std::string>{"p.exe", word})) << one;
    }
  }
  ::unsetenv("X");
  ::unsetenv("A B");
}

TEST(KvsctlWindowsQuoting, WhatTheLinesLookLike) {
  const struct {
    const char* word;
    const char* quoted;
  } rows[] = {
      {"plain", "plain"},       {"C:\\dir\\", "C:\\dir\\"},     {"", "\"\""},
      {"a b", "\"a b\""},       {"a b\\", "\"a b\\\\\""},       {"a\"b", "\"a\\\"b\""},
      {"a\\\"b", "\"a\\\\\\\"b\""}, {"$HOME", "\"$\"H\"OME\""}, {"c$\\x", "c$\\x"},
  };
  for (const auto& row : rows) EXPECT_EQ(kvsctl::quote_windows_argument(row.word), row.quoted) << row.word;
  EXPECT_EQ(kvsctl::exec_line(agent_platform::windows, {"cmd.exe", "/c", "echo", "a b"}),
            "cmd.exe /c echo \"a b\"");
  // A POSIX agent gets the words as before.
  EXPECT_EQ(kvsctl::exec_line(agent_platform::posix, {"sh", "-c", "echo $HOME"}), "sh -c 'echo $''HOME'");
}

TEST(KvsctlWindowsQuoting, ProgramNames) {
  EXPECT_EQ(kvsctl::quote_windows_program("cmd.exe"), "cmd.exe");
  EXPECT_EQ(kvsctl::quote_windows_program("C:\\Program Files\\t.exe"), "\"C:\\Program Files\\t.exe\"");
  EXPECT_EQ(kvsctl::quote_windows_program("\\\\host\\c$\\t.exe"), "\\\\host\\c$\\t.exe");
  EXPECT_EQ(kvsctl::quote_windows_program(""), "\"\"");
  for (const char* bad : {"a\"b.exe", "C:\\$Recycle.Bin\\x.exe", "${X}.exe", "a\nb"}) {
    EXPECT_EQ(kvsctl::quote_windows_program(bad), std::nullopt) << bad;
    std::string error;
    EXPECT_EQ(kvsctl::exec_line(agent_platform::windows, {bad, "x"}, &error), std::nullopt);
    EXPECT_NE(error.find("program name"), std::string::npos);
  }
}

TEST(KvsctlWindowsQuoting, PlatformFromTheOsVariable) {
  EXPECT_EQ(kvsctl::platform_from_os("Windows_NT"), agent_platform::windows);
  for (std::optional<std::string_view> os : {std::optional<std::string_view>(), std::optional<std::string_view>("Linux"),
                                             std::optional<std::string_view>(""),
                                             std::optional<std::string_view>("windows_nt")})
    EXPECT_EQ(kvsctl::platform_from_os(os), agent_platform::posix);
}

}  // namespace
