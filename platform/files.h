// Files and directories as the transfer and directory commands use them.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

// Opens a file for a transfer without ever waiting: only a file that reading
// or writing cannot block on is taken (a regular file, or the null device:
// /dev/null on POSIX, "NUL" on Windows); a named pipe, a terminal or another
// device is refused (errno EINVAL; on POSIX a directory read gives EISDIR)
// and left as it was. For writing the file is created when missing and
// emptied once it is known to be such a file.
// The stream is in binary mode unless `text` is set; text mode differs only
// where the platform translates line ends (Windows). Programs launched later
// never inherit the file. nullptr on failure, with errno set.
std::FILE* PLATopen_transfer(const char* path, bool for_writing, bool text);
// Gives a file just received every permission the process's file-creation
// mask allows (POSIX); nothing to do on Windows. 0 or -1.
int PLATgive_default_permissions(std::FILE* file);

// The directory calls, each 0 or -1 with errno set.
int PLATchdir(const char* path);
int PLATmkdir(const char* path);
int PLATrmdir(const char* path);
int PLATunlink(const char* path);
// The current directory; none on failure (errno set).
std::optional<std::string> PLATgetcwd();

// Whether text files of this platform end their lines with CR LF (Windows),
// which an ASCII GETF reads as one line end, as the C runtime's text mode
// would, but without that mode's end of the file at the first Ctrl-Z byte.
bool PLATtext_ends_lines_with_crlf();

// The separator of directory names in a path: '/' on POSIX, '\\' on Windows.
char PLATdir_separator();
