#include "support/process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace quorrel {

bool TChildProcess::Start(const std::vector<std::string>& Argv, const std::string& LogFile) {
  Stop();
  std::vector<char*> Args;
  for (const auto& A : Argv) Args.push_back(const_cast<char*>(A.c_str()));
  Args.push_back(nullptr);
  pid_t Pid = fork();
  if (Pid < 0) return false;
  if (Pid == 0) {
    setpgid(0, 0);
    int Out = open(LogFile.empty() ? "/dev/null" : LogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (Out >= 0) {
      dup2(Out, 1);
      dup2(Out, 2);
      close(Out);
    }
    int In = open("/dev/null", O_RDONLY);
    if (In >= 0) dup2(In, 0);
    // Scenarios run side by side on threads: a socket of one must not live on
    // in a process of another.
    close_range(3, ~0U, 0);
    execvp(Args[0], Args.data());
    _exit(127);
  }
  ChildPid = Pid;
  return true;
}

bool TChildProcess::Running() {
  if (ChildPid <= 0) return false;
  int Status = 0;
  pid_t R = waitpid(ChildPid, &Status, WNOHANG);
  if (R == ChildPid) {
    ChildPid = -1;
    return false;
  }
  return true;
}

void TChildProcess::Stop() {
  if (ChildPid <= 0) return;
  kill(ChildPid, SIGTERM);
  for (int I = 0; I < 500; ++I) {
    int Status = 0;
    if (waitpid(ChildPid, &Status, WNOHANG) == ChildPid) {
      ChildPid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(ChildPid, SIGKILL);
  int Status = 0;
  waitpid(ChildPid, &Status, 0);
  ChildPid = -1;
}

int FreeTcpPort() {
  int Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = 0;
  bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
  socklen_t L = sizeof A;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
  int Port = ntohs(A.sin_port);
  close(Fd);
  return Port;
}

int ListenOnLoopback(int Port, int& BoundPort) {
  int Fd = socket(AF_INET, SOCK_STREAM, 0);
  if (Fd < 0) return -1;
  int One = 1;
  setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(uint16_t(Port));
  if (bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || listen(Fd, 64) != 0) {
    close(Fd);
    return -1;
  }
  socklen_t L = sizeof A;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
  BoundPort = ntohs(A.sin_port);
  return Fd;
}

bool WaitForPort(const std::string& Host, int Port, int TimeoutMs) {
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  bool V6 = Host.find(':') != std::string::npos;
  while (std::chrono::steady_clock::now() < Deadline) {
    int Fd = socket(V6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    int Rc = -1;
    if (V6) {
      sockaddr_in6 A{};
      A.sin6_family = AF_INET6;
      A.sin6_port = htons(Port);
      inet_pton(AF_INET6, Host.c_str(), &A.sin6_addr);
      Rc = connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    } else {
      sockaddr_in A{};
      A.sin_family = AF_INET;
      A.sin_port = htons(Port);
      inet_pton(AF_INET, Host.c_str(), &A.sin_addr);
      Rc = connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    }
    close(Fd);
    if (Rc == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string MakeTempDir(const std::string& Prefix) {
  std::string Template = "/tmp/" + Prefix + "-XXXXXX";
  char* Made = mkdtemp(Template.data());
  if (Made) chmod(Made, 0755);
  return Made ? std::string(Made) : std::string();
}

void RemoveTree(const std::string& Path) {
  if (Path.rfind("/tmp/", 0) != 0 || Path.size() < 6) return;  // never anything else
  RunCommand("rm -rf '" + Path + "'");
}

void WriteFile(const std::string& Path, const std::string& Content) {
  std::ofstream F(Path, std::ios::binary | std::ios::trunc);
  F << Content;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream F(Path, std::ios::binary);
  std::stringstream S;
  S << F.rdbuf();
  return S.str();
}

std::vector<std::string> FilesIn(const std::string& Folder) {
  std::vector<std::string> Names, Out;
  if (DIR* D = opendir(Folder.c_str())) {
    while (const dirent* E = readdir(D))
      if (E->d_name[0] != '.') Names.push_back(E->d_name);
    closedir(D);
  }
  std::sort(Names.begin(), Names.end());
  for (const std::string& Name : Names) Out.push_back(ReadFile(Folder + "/" + Name));
  return Out;
}

int RunCommand(const std::string& Command, std::string* Output) {
  FILE* P = popen(Command.c_str(), "r");
  if (!P) return -1;
  char Buf[4096];
  size_t N;
  while ((N = fread(Buf, 1, sizeof Buf, P)) > 0)
    if (Output) Output->append(Buf, N);
  int Status = pclose(P);
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

bool HaveProgram(const std::string& Name) {
  return RunCommand("command -v '" + Name + "' >/dev/null 2>&1") == 0;
}

}  // namespace quorrel
