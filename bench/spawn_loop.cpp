// Baseline for the launch figure: what it costs to start a program and learn
// that it has ended, without an agent in between. posix_spawn of the program,
// then waitpid, timed per launch.
//
//   kvsbench_spawn <launches> [program]   prints each launch's time in
//                                         microseconds, one a line
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_lib.h"

extern char** environ;

namespace {

bool launch_once(const char* program) {
  char* argv[] = {const_cast<char*>(program), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: kvsbench_spawn <launches> [program]\n");
    return 1;
  }
  int launches = std::atoi(argv[1]);
  const char* program = argc == 3 ? argv[2] : "/bin/true";
  for (int i = 0; i < 20; ++i)
    if (!launch_once(program)) {
      std::fprintf(stderr, "kvsbench_spawn: cannot run %s\n", program);
      return 1;
    }
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(launches));
  for (int i = 0; i < launches; ++i) {
    auto start = bench::clock::now();
    if (!launch_once(program)) return 1;
    samples.push_back(bench::micros_since(start));
  }
  for (double us : samples) std::printf("%.1f\n", us);
  return 0;
}
