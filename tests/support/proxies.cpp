#include "support/proxies.h"

#include "support/process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace quorrel {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until Fd is readable; false on time-out.
bool WaitIn(int Fd, int TimeoutMs) {
  pollfd P{Fd, POLLIN, 0};
  return poll(&P, 1, TimeoutMs) > 0;
}

int RemainingMs(Clock::time_point Deadline) {
  auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
  return Left > 0 ? static_cast<int>(Left) : 0;
}

}  // namespace

std::string TPeerConnection::Read(size_t Count, int TimeoutMs) {
  std::string Out;
  auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (Out.size() < Count) {
    if (!WaitIn(Fd, RemainingMs(Deadline))) break;
    char Buf[4096];
    size_t Want = Count - Out.size() < sizeof Buf ? Count - Out.size() : sizeof Buf;
    ssize_t N = recv(Fd, Buf, Want, 0);
    if (N <= 0) break;
    Out.append(Buf, static_cast<size_t>(N));
  }
  std::lock_guard<std::mutex> G(LogLock);
  Log += Out;
  return Out;
}

std::string TPeerConnection::ReadUntil(const std::string& Terminator, int TimeoutMs) {
  std::string Out;
  auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (Out.size() < Terminator.size() || Out.compare(Out.size() - Terminator.size(), std::string::npos, Terminator) != 0) {
    if (!WaitIn(Fd, RemainingMs(Deadline))) break;
    char C;
    if (recv(Fd, &C, 1, 0) != 1) break;
    Out += C;
  }
  std::lock_guard<std::mutex> G(LogLock);
  Log += Out;
  return Out;
}

std::string TPeerConnection::ReadToEnd(int TimeoutMs) {
  std::string Out;
  auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    if (!WaitIn(Fd, RemainingMs(Deadline))) break;
    char Buf[4096];
    ssize_t N = recv(Fd, Buf, sizeof Buf, 0);
    if (N <= 0) break;
    Out.append(Buf, static_cast<size_t>(N));
  }
  std::lock_guard<std::mutex> G(LogLock);
  Log += Out;
  return Out;
}

void TPeerConnection::Write(const std::string& Bytes) {
  size_t Done = 0;
  while (Done < Bytes.size()) {
    ssize_t N = send(Fd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
    if (N <= 0) return;
    Done += static_cast<size_t>(N);
  }
}

void TPeerConnection::Shutdown() { shutdown(Fd, SHUT_WR); }

TScriptedServer::TScriptedServer(std::function<void(TPeerConnection&)> Script) {
  ListenFd = ListenOnLoopback(0, ListenPort);
  Worker = std::thread([this, Script] { Run(Script); });
}

void TScriptedServer::Run(std::function<void(TPeerConnection&)> Script) {
  if (!WaitIn(ListenFd, 10000)) return;
  int Fd = accept(ListenFd, nullptr, nullptr);
  if (Fd < 0) return;
  WasAccepted = true;
  TPeerConnection Connection(Fd, Bytes, Lock);
  Script(Connection);
  close(Fd);
}

std::string TScriptedServer::Transcript() {
  if (Worker.joinable()) Worker.join();
  std::lock_guard<std::mutex> G(Lock);
  return Bytes;
}

TScriptedServer::~TScriptedServer() {
  // A connection that never came must not hold the test up: closing the
  // listening socket ends the wait in accept's poll at the latest after 10 s.
  if (Worker.joinable()) Worker.join();
  close(ListenFd);
}

TTargetServer::TTargetServer(const std::string& Banner) : Banner(Banner) {
  ListenFd = ListenOnLoopback(0, ListenPort);
  Worker = std::thread([this] { Run(); });
}

void TTargetServer::Run() {
  std::vector<std::thread> Sessions;
  while (!Stopping) {
    if (!WaitIn(ListenFd, 50)) continue;
    int Fd = accept(ListenFd, nullptr, nullptr);
    if (Fd < 0) continue;
    ++Accepted;
    Sessions.emplace_back([this, Fd] {
      std::string Unused;
      std::mutex UnusedLock;
      TPeerConnection C(Fd, Unused, UnusedLock);
      C.Write(Banner);
      std::string Pending;
      auto Deadline = Clock::now() + std::chrono::seconds(20);
      while (!Stopping && Clock::now() < Deadline) {
        std::string Got = C.ReadUntil("\n", 200);
        if (Got.empty()) {
          pollfd P{Fd, POLLIN, 0};
          if (poll(&P, 1, 0) > 0) {
            char B;
            if (recv(Fd, &B, 1, MSG_PEEK) <= 0) break;  // client gone
          }
          continue;
        }
        Pending += Got;
        if (Pending.back() == '\n') {
          C.Write("echo:" + Pending);
          Pending.clear();
        }
      }
      close(Fd);
    });
  }
  for (auto& S : Sessions) S.join();
}

TTargetServer::~TTargetServer() {
  Stopping = true;
  if (Worker.joinable()) Worker.join();
  close(ListenFd);
}

TProxyProcess::TProxyProcess() : Dir(MakeTempDir("quorrel-proxy")) { LogPath = Dir + "/proxy.log"; }

TProxyProcess::~TProxyProcess() {
  Stop();
  RemoveTree(Dir);
}

void TProxyProcess::Stop() { Process.Stop(); }

std::string TProxyProcess::Log() const { return ReadFile(LogPath); }

bool TProxyProcess::Launch(const std::vector<std::string>& Argv) {
  if (!HaveProgram(Argv[0])) return false;
  if (!Process.Start(Argv, Dir + "/output.log")) return false;
  if (!WaitForPort("127.0.0.1", ListenPort, 10000)) {
    Process.Stop();
    return false;
  }
  return true;
}

bool TProxyProcess::StartDante() {
  ListenPort = FreeTcpPort();
  const std::string Conf = Dir + "/danted.conf";
  WriteFile(Conf,
            "logoutput: " + LogPath + "\n"
            "internal: 127.0.0.1 port = " + std::to_string(ListenPort) + "\n"
            "external: 127.0.0.1\n"
            "socksmethod: none\n"
            "clientmethod: none\n"
            "user.privileged: root\n"
            "user.unprivileged: nobody\n"
            "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
            "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  command: bind connect bindreply\n  protocol: tcp\n}\n");
  return Launch({"danted", "-f", Conf, "-p", Dir + "/danted.pid"});
}

bool TProxyProcess::StartMicrosocks(const std::string& User, const std::string& Password) {
  ListenPort = FreeTcpPort();
  std::vector<std::string> Argv = {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(ListenPort)};
  if (!User.empty()) {
    Argv.insert(Argv.end(), {"-u", User, "-P", Password});
  }
  return Launch(Argv);
}

bool TProxyProcess::StartTinyproxy(const std::vector<int>& ConnectPorts, const std::string& User,
                                   const std::string& Password) {
  ListenPort = FreeTcpPort();
  std::string Text = "Port " + std::to_string(ListenPort) +
                     "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\n"
                     "LogLevel Info\nLogFile \"" + LogPath + "\"\nPidFile \"" + Dir + "/tinyproxy.pid\"\n";
  for (int P : ConnectPorts) Text += "ConnectPort " + std::to_string(P) + "\n";
  if (!User.empty()) Text += "BasicAuth " + User + " " + Password + "\n";
  const std::string Conf = Dir + "/tinyproxy.conf";
  WriteFile(Conf, Text);
  return Launch({"tinyproxy", "-d", "-c", Conf});
}

bool TProxyProcess::StartTlsReverser() {
  ListenPort = FreeTcpPort();
  const std::string Key = Dir + "/key.pem", Cert = Dir + "/cert.pem";
  if (RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout '" + Key +
                 "' -out '" + Cert + "' >/dev/null 2>&1") != 0)
    return false;
  return Launch({"openssl", "s_server", "-accept", std::to_string(ListenPort), "-cert", Cert, "-key", Key, "-rev"});
}

}  // namespace quorrel
