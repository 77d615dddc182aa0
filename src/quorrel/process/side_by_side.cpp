#include "quorrel/process/side_by_side.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace quorrel {

namespace {

struct TRunning {
  size_t Index;
  pid_t Pid = -1;
  int In = -1, Out = -1, Err = -1;
  size_t Written = 0;  // of the job's input
};

void CloseFd(int& Fd) {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

// This process's environment with Added in it, each replacing its name's value.
std::vector<std::string> Environment(const std::vector<std::string>& Added) {
  std::vector<std::string> Out;
  for (char** Entry = environ; Entry && *Entry; ++Entry) {
    const std::string Line = *Entry;
    const std::string Name = Line.substr(0, Line.find('=') + 1);
    bool Replaced = false;
    for (const std::string& A : Added) Replaced = Replaced || A.rfind(Name, 0) == 0;
    if (!Replaced) Out.push_back(Line);
  }
  Out.insert(Out.end(), Added.begin(), Added.end());
  return Out;
}

std::vector<char*> Pointers(std::vector<std::string>& Texts) {
  std::vector<char*> Out;
  for (std::string& T : Texts) Out.push_back(T.data());
  Out.push_back(nullptr);
  return Out;
}

// Starts the job with pipes on its standard input, output and error; false
// (with the job done and why in its errors) when it cannot start.
bool Start(TJob& Job, TRunning& R) {
  Job.Started = true;
  int In[2], Out[2], Err[2];
  const bool Piped = ::pipe2(In, O_CLOEXEC) == 0;
  const bool OutPiped = Piped && ::pipe2(Out, O_CLOEXEC) == 0;
  const bool ErrPiped = OutPiped && ::pipe2(Err, O_CLOEXEC) == 0;
  int Error = errno;
  if (ErrPiped) {
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, In[0], 0);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
    posix_spawn_file_actions_adddup2(&Actions, Err[1], 2);
    std::vector<std::string> Args = Job.Argv, Env = Environment(Job.Env);
    std::vector<char*> ArgPointers = Pointers(Args), EnvPointers = Pointers(Env);
    Error = ::posix_spawn(&R.Pid, ArgPointers[0], &Actions, nullptr, ArgPointers.data(), EnvPointers.data());
    posix_spawn_file_actions_destroy(&Actions);
    ::close(In[0]);
    ::close(Out[1]);
    ::close(Err[1]);
    R.In = In[1];
    R.Out = Out[0];
    R.Err = Err[0];
    if (Error == 0) {
      ::fcntl(R.In, F_SETFL, O_NONBLOCK);
      if (Job.Input.empty()) CloseFd(R.In);
      return true;
    }
    CloseFd(R.In);
    CloseFd(R.Out);
    CloseFd(R.Err);
  } else {
    if (Piped) ::close(In[0]), ::close(In[1]);
    if (OutPiped) ::close(Out[0]), ::close(Out[1]);
  }
  Job.Errors = "cannot start " + Job.Argv[0] + ": " + std::strerror(Error) + "\n";
  Job.Status = 127;
  Job.Done = true;
  return false;
}

// Reads what waits on Fd into Into; closes Fd at its end.
void Drain(int& Fd, std::string& Into) {
  char Buffer[65536];
  const ssize_t Got = ::read(Fd, Buffer, sizeof Buffer);
  if (Got > 0)
    Into.append(Buffer, size_t(Got));
  else if (Got == 0 || (errno != EINTR && errno != EAGAIN))
    CloseFd(Fd);
}

}  // namespace

void RunSideBySide(std::vector<TJob>& Jobs, int Most, const std::function<void()>& Changed) {
  std::vector<TRunning> Running;
  size_t Next = 0;
  for (;;) {
    while (int(Running.size()) < std::max(Most, 1) && Next < Jobs.size()) {
      TRunning R{Next};
      if (Start(Jobs[Next], R)) Running.push_back(R);
      else if (Changed) Changed();
      ++Next;
    }
    if (Running.empty()) break;
    std::vector<pollfd> Polled;
    for (const TRunning& R : Running) {
      if (R.Out >= 0) Polled.push_back({R.Out, POLLIN, 0});
      if (R.Err >= 0) Polled.push_back({R.Err, POLLIN, 0});
      if (R.In >= 0) Polled.push_back({R.In, POLLOUT, 0});
    }
    if (::poll(Polled.data(), Polled.size(), -1) < 0 && errno != EINTR) break;
    bool Any = false;
    for (size_t I = 0; I < Running.size();) {
      TRunning& R = Running[I];
      TJob& Job = Jobs[R.Index];
      for (const pollfd& P : Polled) {
        if (P.revents == 0) continue;
        if (P.fd == R.Out && R.Out >= 0) Drain(R.Out, Job.Output), Any = true;
        else if (P.fd == R.Err && R.Err >= 0) Drain(R.Err, Job.Errors), Any = true;
        else if (P.fd == R.In && R.In >= 0) {
          const ssize_t Put = ::write(R.In, Job.Input.data() + R.Written, Job.Input.size() - R.Written);
          if (Put > 0) R.Written += size_t(Put);
          // Done, or the job does not read it (EPIPE): either way no more.
          if (R.Written == Job.Input.size() || (Put < 0 && errno != EAGAIN && errno != EINTR)) CloseFd(R.In);
        }
      }
      if (R.Out >= 0 || R.Err >= 0) {
        ++I;
        continue;
      }
      CloseFd(R.In);
      int Raw = 0;
      while (::waitpid(R.Pid, &Raw, 0) < 0 && errno == EINTR) {
      }
      Job.Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : WIFSIGNALED(Raw) ? 128 + WTERMSIG(Raw) : 1;
      Job.Done = true;
      Any = true;
      Running.erase(Running.begin() + long(I));
    }
    if (Any && Changed) Changed();
  }
  if (Changed) Changed();
}

}  // namespace quorrel
