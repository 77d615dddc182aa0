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
  void Reset(int NewFd) {
    Close();
    Fd = NewFd;
  }
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
// on Out, its standard input on In (-1: /dev/null). 0 or an errno value.
int Spawn(const std::string& Command, int In, int Out, pid_t& Pid) {
  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attributes;
  if (int Error = posix_spawn_file_actions_init(&Actions)) return Error;
  TCleanup FreeActions([&] { posix_spawn_file_actions_destroy(&Actions); });
  if (int Error = posix_spawnattr_init(&Attributes)) return Error;
  TCleanup FreeAttributes([&] { posix_spawnattr_destroy(&Attributes); });

  int Error = In < 0 ? posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0)
                     : posix_spawn_file_actions_adddup2(&Actions, In, STDIN_FILENO);
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

namespace {

// Two ends of a pipe, both above the standard descriptors; false with errno set.
bool MakePipe(TDescriptor& Read, TDescriptor& Write) {
  int Ends[2];
  if (pipe2(Ends, O_CLOEXEC) != 0) return false;
  Read.Reset(AboveStandard(Ends[0]));
  Write.Reset(AboveStandard(Ends[1]));
  return Read.Get() >= 0 && Write.Get() >= 0;
}

// Writes what the command is ready to take of Input from Done on, without
// waiting; closes Feed once all is written or the command will take no more.
void FeedSome(TDescriptor& Feed, std::string_view Input, size_t& Done) {
  while (Feed.Get() >= 0 && Done < Input.size()) {
    const ssize_t N = write(Feed.Get(), Input.data() + Done, Input.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0 && errno == EAGAIN) return;
    if (N <= 0) break;  // EPIPE: it ended without reading everything, which is its right
    Done += size_t(N);
  }
  Feed.Close();
}

TResult<TCommandOutput> Run(const std::string& Command, const std::string_view* Input, int TimeoutMs,
                            size_t MostOutput) {
  const auto Failed = [](std::string Why) { return TStatus::Fail(TFailureKind::TryLater, std::move(Why)); };
  const auto Deadline = TClock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));

  TDescriptor Read, Write, InRead, Feed;
  if (!MakePipe(Read, Write)) return Failed(Unstartable(errno));
  if (Input && (!MakePipe(InRead, Feed) || fcntl(Feed.Get(), F_SETFL, O_NONBLOCK) != 0))
    return Failed(Unstartable(errno));

  pid_t Pid = -1;
  if (int Error = Spawn(Command, Input ? InRead.Get() : -1, Write.Get(), Pid)) return Failed(Unstartable(Error));
  // Only the command holds the write end now, so its end is the end of the output.
  Write.Close();
  InRead.Close();
  TChild Child(Pid);
  size_t Fed = 0;
  if (Input) FeedSome(Feed, *Input, Fed);

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
    if (Read.Get() >= 0 || Feed.Get() >= 0) {
      // A closed descriptor (-1) is left out by poll.
      pollfd Wait[2] = {{Read.Get(), POLLIN, 0}, {Feed.Get(), POLLOUT, 0}};
      const int Ready = poll(Wait, 2, std::min(Left, ReadStepMs));
      if (Ready < 0 && errno != EINTR) {
        Child.Kill();
        return Failed(std::string("cannot wait for the command's output: ") + std::strerror(errno));
      }
      if (Ready > 0 && Wait[1].revents) FeedSome(Feed, *Input, Fed);
      if (Ready > 0 && Wait[0].revents && ReadSome() && Size > MostOutput) {
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

}  // namespace

TResult<TCommandOutput> RunShellCommand(const std::string& Command, int TimeoutMs, size_t MostOutput) {
  return Run(Command, nullptr, TimeoutMs, MostOutput);
}

TResult<TCommandOutput> RunShellFilter(const std::string& Command, std::string_view Input, int TimeoutMs,
                                       size_t MostOutput) {
  return Run(Command, &Input, TimeoutMs, MostOutput);
}

struct TCoprocess::TState {
  std::unique_ptr<TChild> Child;
  TDescriptor In, Out;   // its standard input's write end, its standard output's read end
  std::string Received;  // read, not yet handed out
};

TCoprocess::TCoprocess() : State(std::make_unique<TState>()) {}
TCoprocess::~TCoprocess() { Stop(); }

bool TCoprocess::Running() const { return State->Child != nullptr; }

TStatus TCoprocess::Start(const std::string& Command) {
  Stop();
  TDescriptor InRead, OutWrite;
  if (!MakePipe(InRead, State->In) || !MakePipe(State->Out, OutWrite))
    return TStatus::Fail(TFailureKind::TryLater, Unstartable(errno));
  pid_t Pid = -1;
  if (int Error = Spawn(Command, InRead.Get(), OutWrite.Get(), Pid))
    return TStatus::Fail(TFailureKind::TryLater, Unstartable(Error));
  State->Child = std::make_unique<TChild>(Pid);
  return TStatus::Ok();
}

void TCoprocess::Stop() {
  State->In.Close();
  State->Out.Close();
  State->Child.reset();  // killed and reaped
  State->Received.clear();
}

TResult<std::string> TCoprocess::Ask(const std::string& Line, int TimeoutMs) {
  const auto Failed = [this](std::string Why) {
    Stop();
    return TStatus::Fail(TFailureKind::TryLater, std::move(Why));
  };
  if (!Running()) return Failed("the command is not running");
  const std::string Sent = Line + "\n";
  for (size_t Done = 0; Done < Sent.size();) {
    const ssize_t N = write(State->In.Get(), Sent.data() + Done, Sent.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      State->Child->Look();
      const std::string Why = State->Child->Failure();
      return Failed(Why.empty() ? "the command ended" : Why);
    }
    Done += size_t(N);
  }
  return Next(TimeoutMs);
}

TResult<std::string> TCoprocess::Next(int TimeoutMs) {
  const auto Failed = [this](std::string Why) {
    Stop();
    return TStatus::Fail(TFailureKind::TryLater, std::move(Why));
  };
  if (!Running()) return Failed("the command is not running");
  const auto Deadline = TClock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));
  for (;;) {
    if (const size_t End = State->Received.find('\n'); End != std::string::npos) {
      std::string Answer = State->Received.substr(0, End);
      State->Received.erase(0, End + 1);
      return Answer;
    }
    const int Left = MsUntil(Deadline);
    if (Left == 0) return Failed("the command gave no answer within " + Duration(TimeoutMs));
    pollfd Wait{State->Out.Get(), POLLIN, 0};
    const int Ready = poll(&Wait, 1, Left);
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready < 0) return Failed(std::string("cannot wait for the command's output: ") + std::strerror(errno));
    if (Ready == 0) continue;
    char Buffer[4096];
    const ssize_t N = read(State->Out.Get(), Buffer, sizeof Buffer);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      // Its output ended: it is ending, and says how.
      for (int Tries = 0; Tries < 100 && !State->Child->Ended(); ++Tries) {
        State->Child->Look();
        if (!State->Child->Ended()) poll(nullptr, 0, EndStepMs);
      }
      const std::string Why = State->Child->Ended() ? State->Child->Failure() : "";
      return Failed(!Why.empty() ? Why
                    : State->Child->Ended() ? "the command ended with status " + std::to_string(State->Child->ExitStatus())
                                            : "the command closed its output");
    }
    State->Received.append(Buffer, size_t(N));
    if (State->Received.size() > 1024 * 1024) return Failed("the command's answer exceeds 1024 KiB");
  }
}

}  // namespace quorrel
