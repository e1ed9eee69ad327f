// Windows path syntax: how a command's path joins the agent's current
// directory, and the long and plain forms of a whole path.
#include <gtest/gtest.h>

#include <string>

#include "platform/windows_paths.h"

namespace {

TEST(WindowsPaths, JoinsAPathToTheCurrentDirectory) {
  struct {
    const wchar_t* dir;
    const wchar_t* path;
    const wchar_t* joined;
  } cases[] = {
      {LR"(C:\a\b)", LR"(x)", LR"(C:\a\b\x)"},
      {LR"(C:\a\b)", LR"(x/y\..)", LR"(C:\a\b\x/y\..)"},          // resolved later, by the system
      {LR"(C:\)", LR"(x)", LR"(C:\x)"},                           // no second backslash after a root
      {LR"(C:\a)", LR"(D:\x)", LR"(D:\x)"},                       // whole paths as they are
      {LR"(C:\a)", LR"(d:/x)", LR"(d:/x)"},
      {LR"(C:\a)", LR"(\\srv\share\x)", LR"(\\srv\share\x)"},
      {LR"(C:\a)", LR"(//srv/share)", LR"(//srv/share)"},
      {LR"(C:\a)", LR"(\\?\C:\x\..)", LR"(\\?\C:\x\..)"},
      {LR"(C:\a)", LR"(\\.\NUL)", LR"(\\.\NUL)"},
      {LR"(C:\a\b)", LR"(\x)", LR"(C:\x)"},                       // from the root of the drive
      {LR"(C:\a\b)", LR"(/x)", LR"(C:/x)"},
      {LR"(\\srv\share\a)", LR"(\x)", LR"(\\srv\share\x)"},       // from the root of the share
      {LR"(\\srv\share)", LR"(\x)", LR"(\\srv\share\x)"},
      {LR"(\\srv\share\a)", LR"(x)", LR"(\\srv\share\a\x)"},
      {LR"(C:\a\b)", LR"(c:x)", LR"(C:\a\b\x)"},                  // relative to the same drive
      {LR"(C:\a\b)", LR"(D:x)", LR"(D:x)"},                       // another drive's: the system's
      {LR"(\\srv\share\a)", LR"(C:x)", LR"(C:x)"},
      {LR"(C:\a)", LR"(NUL)", LR"(C:\a\NUL)"},
      {LR"(C:\a)", LR"(1:x)", LR"(C:\a\1:x)"},                    // no drive: a name (a stream)
  };
  for (const auto& c : cases) EXPECT_EQ(PLATjoin_windows_path(c.dir, c.path), c.joined) << c.dir << L" + " << c.path;
}

TEST(WindowsPaths, LongAndPlainForms) {
  struct {
    const wchar_t* full;
    const wchar_t* long_form;
  } longs[] = {
      {LR"(C:\a\b)", LR"(\\?\C:\a\b)"},
      {LR"(C:\)", LR"(\\?\C:\)"},
      {LR"(\\srv\share\a)", LR"(\\?\UNC\srv\share\a)"},
      {LR"(\\?\C:\a)", LR"(\\?\C:\a)"},
      {LR"(\\.\NUL)", LR"(\\.\NUL)"},
  };
  for (const auto& c : longs) EXPECT_EQ(PLATlong_windows_path(c.full), c.long_form) << c.full;

  struct {
    const wchar_t* path;
    const wchar_t* plain;
  } plains[] = {
      {LR"(\\?\C:\a\b)", LR"(C:\a\b)"},
      {LR"(\\?\UNC\srv\share\a)", LR"(\\srv\share\a)"},
      {LR"(C:\a\b\)", LR"(C:\a\b)"},                 // as the system reports a directory
      {LR"(C:\a\b\\)", LR"(C:\a\b)"},
      {LR"(C:\)", LR"(C:\)"},                        // a root keeps its backslash
      {LR"(\\?\C:\)", LR"(C:\)"},
      {LR"(\\srv\share\)", LR"(\\srv\share)"},
      {LR"(\\?\Volume{1234}\)", LR"(\\?\Volume{1234}\)"},  // the volume's root, not the device
  };
  for (const auto& c : plains) EXPECT_EQ(PLATplain_windows_path(c.path), c.plain) << c.path;
}

}  // namespace
