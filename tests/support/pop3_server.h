// POP3 peers for tests that no real server plays:
// - TPop3ScriptServer: a scripted POP3 server on 127.0.0.1, one thread, one
//   connection at a time. Each connection follows its own script of expected
//   command lines and canned bytes; every line the client sends is recorded.
// - TPop3MailboxServer: a POP3 server on 127.0.0.1 that answers from a mailbox
//   of its own, one command at a time, with a hook that can bend any reply
//   (add to it, drop it, stall, close); it records DELEs and what QUIT expunged.
// - TPop3Relay: a TCP relay in front of a real server that records the command
//   lines passing in clear and can add bytes behind the server's "+OK" to STLS.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorrel {

// A loopback listener and the one thread that serves it; Done is set when
// the thread's body returns.
class TServerThread {
 public:
  ~TServerThread() { Stop(); }
  // Listens on 127.0.0.1:Port (0 = any free port), lets Prepare adjust the
  // listening socket, then runs Body on the thread. False when it cannot listen.
  bool Start(int Port, const std::function<void(int ListenFd)>& Prepare, std::function<void()> Body);
  void Stop();  // safe to call twice
  bool WaitDone(int TimeoutMs);

  int ListenFd = -1;
  int ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::atomic<bool> Done{false};

 private:
  std::thread Worker;
};

class TPop3ScriptServer {
 public:
  struct TStep {
    enum TKind { Expect, Send, Stall, Close } Kind;
    std::string Text;  // Expect: the command line; Send: the bytes
    int Ms = 0;        // Stall
  };

  TPop3ScriptServer();
  ~TPop3ScriptServer();
  TPop3ScriptServer(const TPop3ScriptServer&) = delete;
  TPop3ScriptServer& operator=(const TPop3ScriptServer&) = delete;

  // ---- the script, written before Start ----
  // Steps go to the connection being described; NextConnection starts the
  // script of the next connection the server accepts.
  // Expect: the next line from the client (without its line end) must equal
  // Command; a Command ending in "*" only has to begin with what precedes it.
  // On a mismatch the deviation is recorded, "-ERR unexpected command" is
  // sent, and the rest of that connection's script is skipped.
  TPop3ScriptServer& Expect(const std::string& Command);
  TPop3ScriptServer& Send(const std::string& Bytes);  // raw bytes, as they are
  TPop3ScriptServer& Line(const std::string& Text);   // Text + CR LF
  // Expect(Command), then send Reply as it is (the caller writes its line ends).
  TPop3ScriptServer& On(const std::string& Command, const std::string& Reply);
  TPop3ScriptServer& Stall(int Ms);
  TPop3ScriptServer& Close();  // closes the connection; its script ends here
  TPop3ScriptServer& NextConnection();

  // When a connection's script has run out, each further line gets this reply
  // (empty = no reply at all), until the client closes.
  std::string AfterScriptReply = "-ERR unexpected command\r\n";
  // Longest a step waits for the client's next line.
  int ReadTimeoutMs = 30000;

  // Listens on 127.0.0.1:Port (0 = any free port). False when it cannot listen.
  bool Start(int Port = 0);
  int Port() const { return Thread.ListenPort; }
  std::string PortText() const { return std::to_string(Thread.ListenPort); }
  // Ends the thread and closes every socket; safe to call twice.
  void Stop() { Thread.Stop(); }
  // Waits until every scripted connection has ended (client closed, or Close).
  bool WaitDone(int TimeoutMs = 10000);

  // ---- what happened (readable at any time) ----
  std::vector<std::string> Commands() const;  // every line received, all connections
  std::vector<std::string> Commands(int Connection) const;  // of one (0-based)
  // The same lines, each that had come before the server's reply to the
  // line in front of it went out marked "> ": the commands sent ahead.
  std::vector<std::string> Dialogue(int Connection = -1) const;
  int Connections() const;
  std::vector<std::string> Deviations() const;

 private:
  void Run();
  void Serve(int Fd, int Index, const std::vector<TStep>& Script);
  bool ReadLine(int Fd, std::string& Pending, std::string& Line, int TimeoutMs);
  bool WriteAll(int Fd, const std::string& Bytes);
  void Record(int Index, const std::string& Line, bool Ahead = false);
  void Deviate(const std::string& Text);

  std::vector<std::vector<TStep>> Scripts{1};
  TServerThread Thread;
  mutable std::mutex Lock;
  std::vector<std::pair<int, std::string>> Received;
  std::vector<std::pair<int, std::string>> Marked;  // Received with the marks of Dialogue
  std::vector<std::string> Trouble;
  int Accepted = 0;
};

class TPop3Relay {
 public:
  TPop3Relay() = default;
  ~TPop3Relay();
  TPop3Relay(const TPop3Relay&) = delete;
  TPop3Relay& operator=(const TPop3Relay&) = delete;

  // Bytes sent to the client in clear right behind the server's "+OK" to STLS.
  std::string InjectAfterStls;
  // Called on the relay's thread with each command line in clear, before the
  // bytes that hold it go on to the server. Set before Start.
  std::function<void(const std::string& Line)> OnCommand;

  // Listens on 127.0.0.1:Port (0 = any free port) and relays each connection,
  // one at a time, to 127.0.0.1:TargetPort.
  bool Start(int TargetPort, int Port = 0);
  int Port() const { return ListenPort; }
  std::string PortText() const { return std::to_string(ListenPort); }
  void Stop();

  // Command lines the client sent in clear (those inside TLS are not readable).
  std::vector<std::string> Commands() const;
  std::vector<std::string> Commands(int Connection) const;
  int Connections() const;

 private:
  void Run();
  void Relay(int Client, int Index);

  int ListenFd = -1;
  int ListenPort = 0;
  int Target = 0;
  std::atomic<bool> Stopping{false};
  std::thread Worker;
  mutable std::mutex Lock;
  std::vector<std::pair<int, std::string>> Received;
  int Accepted = 0;
};

class TPop3MailboxServer {
 public:
  struct TMessage {
    std::string Header;  // header lines, each ending in CR LF
    std::string Body;
  };
  // What is done instead of the normal reply to one command.
  struct TReply {
    std::string Bytes;  // sent as they are; empty = no reply at all
    int StallMs = 0;    // waited before the bytes
    bool Close = false;  // the connection is closed instead of replying
  };

  TPop3MailboxServer() = default;
  ~TPop3MailboxServer() { Stop(); }
  TPop3MailboxServer(const TPop3MailboxServer&) = delete;
  TPop3MailboxServer& operator=(const TPop3MailboxServer&) = delete;

  // ---- set before Start ----
  std::vector<TMessage> Messages;  // message n is Messages[n - 1]
  std::vector<std::string> Capabilities{"USER", "TOP", "PIPELINING"};
  // Called with each command line after login and the reply it would get.
  std::function<TReply(const std::string& Command, TReply Normal)> Bend;
  // Above 0: the socket buffers of each connection in bytes, and commands are
  // taken from the socket one byte at a time, each answered in full before
  // the next byte is read.
  int SmallBuffers = 0;

  bool Start();
  int Port() const { return Thread.ListenPort; }
  std::string PortText() const { return std::to_string(Thread.ListenPort); }
  void Stop() { Thread.Stop(); }
  // Waits until the first connection has ended.
  bool WaitDone(int TimeoutMs = 20000) { return Thread.WaitDone(TimeoutMs); }

  // The size LIST gives for message N (1-based).
  size_t Size(int N) const;
  std::vector<std::string> Commands() const;
  std::vector<int> DeleteRequests() const;  // every DELE number received
  std::vector<int> Expunged() const;        // removed by QUIT
  bool QuitReceived() const;

 private:
  void Run();
  void Serve(int Fd);
  std::string Answer(const std::string& Command);

  TServerThread Thread;
  mutable std::mutex Lock;
  std::vector<std::string> Received;
  std::vector<int> Deles;
  std::vector<int> Removed;
  std::vector<bool> Marked;
  bool Quit = false;
};

}  // namespace quorrel
