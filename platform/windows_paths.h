// Windows path syntax as plain string logic, so that it is tested on every
// platform: how a path given to a command joins the agent's current
// directory, and the long form of a whole path that the wide file calls
// take at any length. The files part's Windows half uses them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest directory that can be a process's current directory: the
// system's 260 characters less the terminator and a closing backslash.
constexpr std::size_t PLATmax_process_dir = 258;

// What `path` names when the current directory is `dir` (a whole path in its
// plain form, "C:\a\b" or "\\server\share\a"), before "." and ".." are
// resolved: a whole path ("C:\x", "\\server\share", "\\?\...") as it is; one
// from the root ("\x") on the drive or share of `dir`; one relative to a
// drive ("D:x") below `dir` when `dir` is on that drive, and otherwise as it
// is, for the system to resolve; anything else below `dir`. '/' is taken as
// '\'.
std::wstring PLATjoin_windows_path(std::wstring_view dir, std::wstring_view path);

// The long form of a whole, resolved path: "C:\x" -> "\\?\C:\x",
// "\\server\share\x" -> "\\?\UNC\server\share\x"; a path already in a
// "\\?\" or "\\.\" form (a device: "\\.\NUL") as it is.
std::wstring PLATlong_windows_path(std::wstring_view full);

// The plain form of a long path ("\\?\C:\x" -> "C:\x", "\\?\UNC\s\x" ->
// "\\s\x"), without a closing backslash unless it names a drive's root
// ("C:\"). Any other path keeps its form.
std::wstring PLATplain_windows_path(std::wstring_view path);
