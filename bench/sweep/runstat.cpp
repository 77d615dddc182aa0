// Runs a command and writes its wall time, user and system CPU time (seconds, to
// the microsecond) and peak RSS (KiB) to a file:  runstat OUTFILE COMMAND [ARG...]
// Exits with the command's status.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  auto T0 = std::chrono::steady_clock::now();
  pid_t Pid = fork();
  if (Pid == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int Status = 0;
  rusage Usage{};
  if (Pid < 0 || wait4(Pid, &Status, 0, &Usage) != Pid) return 2;
  double Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  FILE* F = std::fopen(argv[1], "w");
  if (!F) return 2;
  std::fprintf(F, "%.6f %ld.%06ld %ld.%06ld %ld\n", Wall, long(Usage.ru_utime.tv_sec), long(Usage.ru_utime.tv_usec),
               long(Usage.ru_stime.tv_sec), long(Usage.ru_stime.tv_usec), Usage.ru_maxrss);
  std::fclose(F);
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : 1;
}
