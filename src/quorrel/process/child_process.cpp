#include "quorrel/process/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "netutil/cleanup.h"

extern char** environ;

namespace quorrel {

namespace {

using TClock = std::chrono::steady_clock;

// Wakes to look for the command's end while its output is still open: a shell
// that has ended can leave a background process holding the pipe.
constexpr int ReadStepMs = 20;
// After the end of the output the command is about to end.
constexpr int EndStepMs = 5;

class TDescriptor {
 public:
  explicit TDescriptor(int Fd = -1) : Fd(Fd) {}
  ~TDescriptor() { Close(); }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return Fd; }
  // Not retried on EINTR: on Linux the descriptor is gone either way.
  void Close() {
    if (Fd >= 0) close(Fd);
    Fd = -1;
  }

 private:
  int Fd;
};

// A descriptor above 2, so that putting it, or /dev/null, on 0 to 2 in the
// command never lands on the other one.
int AboveStandard(int Fd) {
  if (Fd > 2) return Fd;
  const int Moved = fcntl(Fd, F_DUPFD_CLOEXEC, 3);
  close(Fd);
  return Moved;
}

// The command's shell, reaped exactly once: until then its process id is its
// process group's id and cannot be taken by another process.
class TChild {
 public:
  explicit TChild(pid_t Pid) : Pid(Pid) {}
  ~TChild() {
    if (!Reaped) Kill();
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  // Looks without waiting whether the shell has ended (then it is reaped) or
  // has been stopped.
  void Look() {
    if (Reaped || Stopped) return;
    int Status = 0;
    pid_t R;
    do R = waitpid(Pid, &Status, WNOHANG | WUNTRACED);
    while (R < 0 && errno == EINTR);
    if (R == Pid) {
      if (WIFSTOPPED(Status))
        Stopped = WSTOPSIG(Status);
      else
        Reap(Status);
    } else if (R < 0) {
      // Reaped by someone else (SIGCHLD ignored): the status is lost.
      Reaped = true;
      StatusLost = true;
    }
  }

  // Kills the shell and whatever it started in its group, and reaps it.
  void Kill() {
    if (Reaped) return;
    killpg(Pid, SIGKILL);
    kill(Pid, SIGKILL);
    int Status = 0;
    pid_t R;
    do R = waitpid(Pid, &Status, 0);
    while (R < 0 && errno == EINTR);
    Reap(Status);
    if (R < 0) StatusLost = true;
  }

  bool Ended() const { return Reaped || Stopped != 0; }
  // Why it did not end by itself with an exit status, "" when it did.
  std::string Failure() const {
    if (Stopped) return "the command was stopped by signal " + std::to_string(Stopped);
    if (StatusLost) return "the command's exit status was lost";
    if (WIFSIGNALED(Status)) return "the command was killed by signal " + std::to_string(WTERMSIG(Status));
    return "";
  }
  int ExitStatus() const { return WEXITSTATUS(Status); }

 private:
  void Reap(int Ended) {
    Reaped = true;
    Status = Ended;
  }

  pid_t Pid;
  bool Reaped = false, StatusLost = false;
  int Stopped = 0, Status = 0;
};

std::string Unstartable(int Error) { return std::string("the command could not be started: ") + std::strerror(Error); }

int MsUntil(TClock::time_point Deadline) {
  const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now()).count();
  return static_cast<int>(std::max<decltype(Left)>(Left, 0));
}

// Starts /bin/sh -c Command in a process group of its own, its standard output
// on Out. 0 or an errno value.
int Spawn(const std::string& Command, int Out, pid_t& Pid) {
  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attributes;
  if (int Error = posix_spawn_file_actions_init(&Actions)) return Error;
  TCleanup FreeActions([&] { posix_spawn_file_actions_destroy(&Actions); });
  if (int Error = posix_spawnattr_init(&Attributes)) return Error;
  TCleanup FreeAttributes([&] { posix_spawnattr_destroy(&Attributes); });

  int Error = posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (!Error) Error = posix_spawn_file_actions_adddup2(&Actions, Out, STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
  // The program's sockets are none of the command's business.
  if (!Error) Error = posix_spawn_file_actions_addclosefrom_np(&Actions, 3);
#endif
  // The program ignores SIGPIPE for its sockets; the command gets the usual
  // signal handling and mask back.
  sigset_t Default, Empty;
  sigfillset(&Default);
  sigdelset(&Default, SIGKILL);
  sigdelset(&Default, SIGSTOP);
  sigemptyset(&Empty);
  if (!Error) Error = posix_spawnattr_setsigdefault(&Attributes, &Default);
  if (!Error) Error = posix_spawnattr_setsigmask(&Attributes, &Empty);
  if (!Error) Error = posix_spawnattr_setpgroup(&Attributes, 0);
  if (!Error)
    Error = posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (Error) return Error;

  char Shell[] = "sh", Flag[] = "-c";
  char* Argv[] = {Shell, Flag, const_cast<char*>(Command.c_str()), nullptr};
  return posix_spawn(&Pid, "/bin/sh", &Actions, &Attributes, Argv, environ);
}

std::string Bytes(size_t Count) {
  if (Count > 0 && Count % 1024 == 0) return std::to_string(Count / 1024) + " KiB";
  return std::to_string(Count) + " bytes";
}

}  // namespace

std::string Duration(int Ms) {
  if (Ms > 0 && Ms % 1000 == 0) return std::to_string(Ms / 1000) + " s";
  return std::to_string(Ms) + " ms";
}

TResult<TCommandOutput> RunShellCommand(const std::string& Command, int TimeoutMs, size_t MostOutput) {
  const auto Failed = [](std::string Why) { return TStatus::Fail(TFailureKind::TryLater, std::move(Why)); };
  const auto Deadline = TClock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));

  int Ends[2];
  if (pipe2(Ends, O_CLOEXEC) != 0) return Failed(Unstartable(errno));
  TDescriptor Read(AboveStandard(Ends[0])), Write(AboveStandard(Ends[1]));
  if (Read.Get() < 0 || Write.Get() < 0) return Failed(Unstartable(errno));

  pid_t Pid = -1;
  if (int Error = Spawn(Command, Write.Get(), Pid)) return Failed(Unstartable(Error));
  // Only the command holds the write end now, so its end is the end of the output.
  Write.Close();
  TChild Child(Pid);

  // One byte more than allowed tells an output of exactly the limit from a
  // longer one. The buffer never grows, so no copy of the output is left
  // behind in freed memory; a failure wipes it.
  TCommandOutput Result;
  Result.Output.resize(MostOutput + 1);
  char* const Output = Result.Output.data();
  size_t Size = 0;
  TCleanup Wipe([&] { explicit_bzero(Output, Size); });
  // False at the end of the output or when reading fails.
  auto ReadSome = [&]() {
    ssize_t N;
    do N = read(Read.Get(), Output + Size, MostOutput + 1 - Size);
    while (N < 0 && errno == EINTR);
    if (N <= 0) {
      Read.Close();
      return false;
    }
    Size += static_cast<size_t>(N);
    return true;
  };
  const std::string TooLong = "the command's output exceeds " + Bytes(MostOutput);

  // The output is read all along, so that a command that prints much is not
  // left blocked on a full pipe.
  while (!Child.Ended()) {
    const int Left = MsUntil(Deadline);
    if (Left == 0) {
      Child.Kill();
      return Failed("the command gave no answer within " + Duration(TimeoutMs));
    }
    if (Read.Get() >= 0) {
      pollfd Wait{Read.Get(), POLLIN, 0};
      const int Ready = poll(&Wait, 1, std::min(Left, ReadStepMs));
      if (Ready < 0 && errno != EINTR) {
        Child.Kill();
        return Failed(std::string("cannot wait for the command's output: ") + std::strerror(errno));
      }
      if (Ready > 0 && ReadSome() && Size > MostOutput) {
        Child.Kill();
        return Failed(TooLong);
      }
    } else {
      poll(nullptr, 0, std::min(Left, EndStepMs));
    }
    Child.Look();
  }
  if (std::string Why = Child.Failure(); !Why.empty()) {
    // A stopped command (one that wanted the terminal) would never go on.
    Child.Kill();
    return Failed(Why);
  }

  // What the shell wrote before it ended is in the pipe by now; what comes later
  // is from a process it left behind, and not waited for.
  while (Read.Get() >= 0) {
    pollfd Wait{Read.Get(), POLLIN, 0};
    int Ready;
    do Ready = poll(&Wait, 1, 0);
    while (Ready < 0 && errno == EINTR);
    if (Ready <= 0 || !ReadSome()) break;
    if (Size > MostOutput) return Failed(TooLong);
  }
  Read.Close();

  Result.Output.resize(Size);
  Result.ExitStatus = Child.ExitStatus();
  Wipe.Cancel();
  return Result;
}

}  // namespace quorrel
