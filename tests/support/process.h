// Helpers for tests that run real peers: child processes stopped by their id,
// free loopback ports, temporary folders.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quorrel {

// What owns a test's process, port or folder is not copied: the copy would
// stop or remove them a second time.
class TNotCopyable {
 public:
  TNotCopyable(const TNotCopyable&) = delete;
  TNotCopyable& operator=(const TNotCopyable&) = delete;

 protected:
  TNotCopyable() = default;
  ~TNotCopyable() = default;
};

class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess() { Stop(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Starts Argv[0] (looked up on PATH) with its output appended to LogFile
  // ("" = /dev/null). Returns false when it could not be started.
  bool Start(const std::vector<std::string>& Argv, const std::string& LogFile = "");
  // Sends SIGTERM, waits up to 5 s, then SIGKILL. Safe to call twice.
  void Stop();
  bool Running();
  pid_t Pid() const { return ChildPid; }

 private:
  pid_t ChildPid = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();
// A listening TCP socket on 127.0.0.1:Port (0 = any free port); BoundPort gets
// the port it took. -1 when it cannot listen.
int ListenOnLoopback(int Port, int& BoundPort);
// Polls until something accepts connections on Host:Port, at most TimeoutMs.
bool WaitForPort(const std::string& Host, int Port, int TimeoutMs = 10000);
// A new folder under /tmp, removed with RemoveTree.
std::string MakeTempDir(const std::string& Prefix = "quorrel-test");
void RemoveTree(const std::string& Path);
void WriteFile(const std::string& Path, const std::string& Content);
std::string ReadFile(const std::string& Path);
// What the files in Folder hold, in the order of their names (none when it is
// missing).
std::vector<std::string> FilesIn(const std::string& Folder);
// Runs a shell command; returns its exit status and puts its stdout into Output.
int RunCommand(const std::string& Command, std::string* Output = nullptr);
// True when the program is found on PATH (or at an absolute path).
bool HaveProgram(const std::string& Name);

}  // namespace quorrel
