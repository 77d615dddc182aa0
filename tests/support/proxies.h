// Peers for the proxy tests: the real SOCKS and HTTP proxies (dante, microsocks,
// tinyproxy) started on loopback with their own files in a temp folder, a
// target server behind them, and a scripted one-connection server for replies
// that no real proxy sends.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace quorrel {

// One accepted connection as a scripted server sees it. Every byte read is also
// appended to the server's transcript.
class TPeerConnection {
 public:
  TPeerConnection(int Fd, std::string& Transcript, std::mutex& Lock) : Fd(Fd), Log(Transcript), LogLock(Lock) {}
  // Up to Count bytes; fewer when the client closes or TimeoutMs passes.
  std::string Read(size_t Count, int TimeoutMs = 5000);
  // Bytes up to and including Terminator (or what came before a close/time-out).
  std::string ReadUntil(const std::string& Terminator, int TimeoutMs = 5000);
  // Everything until the client closes (or TimeoutMs passes).
  std::string ReadToEnd(int TimeoutMs = 5000);
  void Write(const std::string& Bytes);
  // Half-close from this side, then wait for the client's close.
  void Shutdown();

 private:
  int Fd;
  std::string& Log;
  std::mutex& LogLock;
};

// Listens on 127.0.0.1 and runs Script on the first connection, then closes it.
class TScriptedServer {
 public:
  explicit TScriptedServer(std::function<void(TPeerConnection&)> Script);
  ~TScriptedServer();
  TScriptedServer(const TScriptedServer&) = delete;
  TScriptedServer& operator=(const TScriptedServer&) = delete;

  int Port() const { return ListenPort; }
  std::string PortText() const { return std::to_string(ListenPort); }
  // Waits for the script to end (at most ~10 s) and returns every byte it read.
  std::string Transcript();
  bool Accepted() const { return WasAccepted; }

 private:
  void Run(std::function<void(TPeerConnection&)> Script);
  int ListenFd = -1;
  int ListenPort = 0;
  std::atomic<bool> WasAccepted{false};
  std::mutex Lock;
  std::string Bytes;
  std::thread Worker;
};

// The target behind the proxies: each connection gets Banner, then every line
// it sends comes back with "echo:" in front. Records the peer address of each
// connection.
class TTargetServer {
 public:
  explicit TTargetServer(const std::string& Banner = "hello from target\r\n");
  ~TTargetServer();
  TTargetServer(const TTargetServer&) = delete;
  TTargetServer& operator=(const TTargetServer&) = delete;
  int Port() const { return ListenPort; }
  std::string PortText() const { return std::to_string(ListenPort); }
  int Connections() const { return Accepted; }

 private:
  void Run();
  int ListenFd = -1;
  int ListenPort = 0;
  std::string Banner;
  std::atomic<bool> Stopping{false};
  std::atomic<int> Accepted{0};
  std::thread Worker;
};

// A real proxy process with its files in a folder of its own.
class TProxyProcess : TNotCopyable {
 public:
  TProxyProcess();
  ~TProxyProcess();

  // dante: SOCKS5 and SOCKS4 without authentication, CONNECT and BIND.
  bool StartDante();
  // microsocks: SOCKS5, with user name and password when User is not empty.
  bool StartMicrosocks(const std::string& User = "", const std::string& Password = "");
  // tinyproxy: CONNECT only to ConnectPorts; BasicAuth when User is not empty.
  bool StartTinyproxy(const std::vector<int>& ConnectPorts, const std::string& User = "",
                      const std::string& Password = "");
  // openssl s_server with a fresh self-signed certificate for "localhost": it
  // sends every line back reversed, inside TLS.
  bool StartTlsReverser();
  void Stop();

  int Port() const { return ListenPort; }
  std::string PortText() const { return std::to_string(ListenPort); }
  std::string Log() const;  // the proxy's log, for failure messages

 private:
  bool Launch(const std::vector<std::string>& Argv);
  std::string Dir;
  std::string LogPath;
  int ListenPort = 0;
  TChildProcess Process;
};

}  // namespace quorrel
