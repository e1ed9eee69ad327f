// A small Windows program for the end-to-end tests of the Windows agent: the
// tests EXEC it (a Linux program started from a Wine program cannot be
// followed). It runs its arguments as a list of steps, left to right:
//
//   out TEXT        writes TEXT and a line feed to standard output
//   err TEXT        writes TEXT and a line feed to standard error
//   args ...        writes every remaining argument as <arg>, blank-separated,
//                   and a line feed to standard output (how the command line
//                   was split); ends the list
//   env NAME        writes NAME=value, or NAME unset, to standard output
//   cwd             writes the current directory to standard output
//   line            reads one line of standard input, writes got:LINE
//   cat             copies standard input to standard output until its end
//   sleep MS        sleeps MS milliseconds
//   wait FILE       waits until FILE exists (at most a minute)
//   tree DEPTH FILE appends its process id to FILE and, when DEPTH > 0,
//                   starts itself as "tree DEPTH-1 FILE sleep 60000"
//   alive FILE      exits with the number of processes named in FILE that
//                   still run (and writes "alive: N")
//   exit CODE       exits with CODE
//   qim PORT USER   connects to the agent on 127.0.0.1:PORT as a studio,
//                   sends "Qim USER" after the greeting and writes
//                   qim: REPLY (a studio that is a Windows process)
//
// With no step left it exits with 0. A wrong list exits with 99. Output goes
// through WriteFile, never through the C runtime's text mode, so a test reads
// exactly the bytes written (line feeds, no CR).
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kUsage = 99;

void write_handle(DWORD which, const std::string& text) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD wrote = 0;
    if (!WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &wrote, nullptr) || wrote == 0)
      return;
    done += wrote;
  }
}

void out(const std::string& text) { write_handle(STD_OUTPUT_HANDLE, text); }

// One byte of standard input; false at its end.
bool read_byte(char& c) {
  DWORD got = 0;
  return ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1;
}

bool file_exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void append_line(const std::string& path, const std::string& line) {
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD wrote = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr);
  CloseHandle(h);
}

std::string read_whole(const std::string& path) {
  std::string text;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(h);
  return text;
}

// Starts this program again with `arguments`; no handle is inherited.
bool start_self(const std::string& arguments) {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  std::string line = "\"" + std::string(self) + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

int count_alive(const std::string& path) {
  std::string text = read_whole(path);
  int alive = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    DWORD pid = std::strtoul(text.substr(at, end - at).c_str(), nullptr, 10);
    at = end + 1;
    if (pid == 0) continue;
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == nullptr) continue;
    if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) ++alive;
    CloseHandle(h);
  }
  return alive;
}

// One line ended by CR LF from the socket (without it); false at its end.
bool read_reply(SOCKET s, std::string& line) {
  line.clear();
  char c;
  while (recv(s, &c, 1, 0) == 1) {
    if (c == '\n' && !line.empty() && line.back() == '\r') {
      line.pop_back();
      return true;
    }
    line += c;
  }
  return false;
}

std::string identify(unsigned short port, const std::string& user) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return "no winsock";
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  DWORD limit = 10000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(port);
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply = "no connection";
  if (connect(s, reinterpret_cast<sockaddr*>(&agent), sizeof agent) == 0) {
    std::string line = "Qim " + user + "\r\n";
    if (!read_reply(s, reply) || send(s, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size()) ||
        !read_reply(s, reply))
      reply = "no reply";
  }
  closesocket(s);
  return reply;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> steps(argv + 1, argv + argc);
  std::size_t i = 0;
  // The argument of the current step; false when it is missing.
  auto take = [&](std::string& value) {
    if (i >= steps.size()) return false;
    value = steps[i++];
    return true;
  };
  while (i < steps.size()) {
    const std::string step = steps[i++];
    std::string a, b;
    if (step == "out" && take(a)) {
      out(a + "\n");
    } else if (step == "err" && take(a)) {
      write_handle(STD_ERROR_HANDLE, a + "\n");
    } else if (step == "args") {
      std::string text;
      for (; i < steps.size(); ++i) text += (text.empty() ? "<" : " <") + steps[i] + ">";
      out(text + "\n");
    } else if (step == "env" && take(a)) {
      char value[32768];
      DWORD n = GetEnvironmentVariableA(a.c_str(), value, sizeof value);
      out(n > 0 && n < sizeof value ? a + "=" + value + "\n" : a + " unset\n");
    } else if (step == "cwd") {
      char dir[32768];
      DWORD n = GetCurrentDirectoryA(sizeof dir, dir);
      out(std::string(dir, n < sizeof dir ? n : 0) + "\n");
    } else if (step == "line") {
      std::string line;
      char c;
      while (read_byte(c) && c != '\n') line += c;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out("got:" + line + "\n");
    } else if (step == "cat") {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0)
        out(std::string(buffer, got));
    } else if (step == "sleep" && take(a)) {
      Sleep(std::strtoul(a.c_str(), nullptr, 10));
    } else if (step == "wait" && take(a)) {
      for (int waited = 0; waited < 60000 && !file_exists(a); waited += 20) Sleep(20);
    } else if (step == "tree" && take(a) && take(b)) {
      int depth = std::atoi(a.c_str());
      append_line(b, std::to_string(GetCurrentProcessId()));
      if (depth > 0 && !start_self("tree " + std::to_string(depth - 1) + " \"" + b + "\" sleep 60000")) return kUsage;
    } else if (step == "alive" && take(a)) {
      int alive = count_alive(a);
      out("alive: " + std::to_string(alive) + "\n");
      return alive;
    } else if (step == "qim" && take(a) && take(b)) {
      out("qim: " + identify(static_cast<unsigned short>(std::strtoul(a.c_str(), nullptr, 10)), b) + "\n");
    } else if (step == "exit" && take(a)) {
      ExitProcess(static_cast<UINT>(std::strtoul(a.c_str(), nullptr, 10)));
    } else {
      write_handle(STD_ERROR_HANDLE, "kvstesthelper: bad step " + step + "\n");
      return kUsage;
    }
  }
  return 0;
}
