#include "support/pop3_server.h"

#include "support/process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace quorrel {

namespace {

using TClock = std::chrono::steady_clock;

constexpr int SliceMs = 20;                 // how often waits look at the stop flag
constexpr size_t RecordedLineMax = 1 << 20;  // longer client lines are recorded cut

// Waits for Events on Fd in short slices until they come, Stop is set or
// TimeoutMs passes (-1: no limit but Stop). True when the events came.
bool WaitFor(int Fd, short Events, const std::atomic<bool>& Stop, int TimeoutMs) {
  const auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Stop) {
    pollfd P{Fd, Events, 0};
    int R = poll(&P, 1, SliceMs);
    if (R > 0) return true;
    if (R < 0 && errno != EINTR) return false;
    if (TimeoutMs >= 0 && TClock::now() >= Deadline) return false;
  }
  return false;
}

int AcceptOne(int ListenFd, const std::atomic<bool>& Stop) {
  if (!WaitFor(ListenFd, POLLIN, Stop, -1)) return -1;
  return accept(ListenFd, nullptr, nullptr);
}

void SleepUnlessStopped(int Ms, const std::atomic<bool>& Stop) {
  const auto Deadline = TClock::now() + std::chrono::milliseconds(Ms);
  while (!Stop && TClock::now() < Deadline) {
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    usleep(useconds_t(std::min<long long>(Left, SliceMs) * 1000 + 1));
  }
}

bool SendAll(int Fd, const std::string& Bytes, const std::atomic<bool>& Stop) {
  size_t Done = 0;
  while (Done < Bytes.size()) {
    if (!WaitFor(Fd, POLLOUT, Stop, 30000)) return false;
    ssize_t N = send(Fd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Done += size_t(N);
  }
  return true;
}

// Takes the first line off Buffer (without its LF and a CR before it).
bool TakeLine(std::string& Buffer, std::string& Line) {
  size_t Lf = Buffer.find('\n');
  if (Lf == std::string::npos) return false;
  Line = Buffer.substr(0, Lf);
  if (!Line.empty() && Line.back() == '\r') Line.pop_back();
  Buffer.erase(0, Lf + 1);
  return true;
}

bool Matches(const std::string& Pattern, const std::string& Line) {
  if (!Pattern.empty() && Pattern.back() == '*') return Line.compare(0, Pattern.size() - 1, Pattern, 0, Pattern.size() - 1) == 0;
  return Line == Pattern;
}

std::vector<std::string> Select(const std::vector<std::pair<int, std::string>>& All, int Connection) {
  std::vector<std::string> Out;
  for (const auto& [C, L] : All)
    if (Connection < 0 || C == Connection) Out.push_back(L);
  return Out;
}

}  // namespace

// ================= TServerThread =================

bool TServerThread::Start(int Port, const std::function<void(int)>& Prepare, std::function<void()> Body) {
  if (Worker.joinable()) return false;
  ListenFd = ListenOnLoopback(Port, ListenPort);
  if (ListenFd < 0) return false;
  Prepare(ListenFd);
  Stopping = false;
  Done = false;
  Worker = std::thread([this, Body = std::move(Body)] {
    Body();
    Done = true;
  });
  return true;
}

void TServerThread::Stop() {
  Stopping = true;
  if (Worker.joinable()) Worker.join();
  if (ListenFd >= 0) close(ListenFd);
  ListenFd = -1;
}

bool TServerThread::WaitDone(int TimeoutMs) {
  const auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done && TClock::now() < Deadline) usleep(SliceMs * 1000);
  return Done;
}

// ================= TPop3ScriptServer =================

TPop3ScriptServer::TPop3ScriptServer() = default;
TPop3ScriptServer::~TPop3ScriptServer() { Stop(); }

TPop3ScriptServer& TPop3ScriptServer::Expect(const std::string& Command) {
  Scripts.back().push_back({TStep::Expect, Command, 0});
  return *this;
}
TPop3ScriptServer& TPop3ScriptServer::Send(const std::string& Bytes) {
  Scripts.back().push_back({TStep::Send, Bytes, 0});
  return *this;
}
TPop3ScriptServer& TPop3ScriptServer::Line(const std::string& Text) { return Send(Text + "\r\n"); }
TPop3ScriptServer& TPop3ScriptServer::On(const std::string& Command, const std::string& Reply) {
  return Expect(Command).Send(Reply);
}
TPop3ScriptServer& TPop3ScriptServer::Stall(int Ms) {
  Scripts.back().push_back({TStep::Stall, "", Ms});
  return *this;
}
TPop3ScriptServer& TPop3ScriptServer::Close() {
  Scripts.back().push_back({TStep::Close, "", 0});
  return *this;
}
TPop3ScriptServer& TPop3ScriptServer::NextConnection() {
  Scripts.emplace_back();
  return *this;
}

bool TPop3ScriptServer::Start(int Port) {
  return Thread.Start(Port, [](int) {}, [this] { Run(); });
}

bool TPop3ScriptServer::WaitDone(int TimeoutMs) { return Thread.WaitDone(TimeoutMs); }

std::vector<std::string> TPop3ScriptServer::Commands() const {
  std::lock_guard<std::mutex> G(Lock);
  return Select(Received, -1);
}
std::vector<std::string> TPop3ScriptServer::Commands(int Connection) const {
  std::lock_guard<std::mutex> G(Lock);
  return Select(Received, Connection);
}
std::vector<std::string> TPop3ScriptServer::Dialogue(int Connection) const {
  std::lock_guard<std::mutex> G(Lock);
  return Select(Marked, Connection);
}
int TPop3ScriptServer::Connections() const {
  std::lock_guard<std::mutex> G(Lock);
  return Accepted;
}
std::vector<std::string> TPop3ScriptServer::Deviations() const {
  std::lock_guard<std::mutex> G(Lock);
  return Trouble;
}

void TPop3ScriptServer::Record(int Index, const std::string& Line, bool Ahead) {
  std::lock_guard<std::mutex> G(Lock);
  Received.emplace_back(Index, Line.substr(0, RecordedLineMax));
  Marked.emplace_back(Index, (Ahead ? "> " : "") + Received.back().second);
}

void TPop3ScriptServer::Deviate(const std::string& Text) {
  std::lock_guard<std::mutex> G(Lock);
  Trouble.push_back(Text);
}

bool TPop3ScriptServer::WriteAll(int Fd, const std::string& Bytes) { return SendAll(Fd, Bytes, Thread.Stopping); }

bool TPop3ScriptServer::ReadLine(int Fd, std::string& Pending, std::string& Line, int TimeoutMs) {
  const auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!TakeLine(Pending, Line)) {
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    if (Left <= 0 || !WaitFor(Fd, POLLIN, Thread.Stopping, int(Left))) return false;
    char Buf[65536];
    ssize_t N = recv(Fd, Buf, sizeof Buf, 0);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    // A client that never ends its line is kept to a bounded buffer.
    if (Pending.size() < 2 * RecordedLineMax) Pending.append(Buf, size_t(N));
  }
  return true;
}

void TPop3ScriptServer::Serve(int Fd, int Index, const std::vector<TStep>& Script) {
  const std::string Tag = "connection " + std::to_string(Index) + ": ";
  std::string Pending, Got;
  size_t Ahead = 0;  // lines that had come in full before the last reply went out
  size_t Step = 0;
  for (; Step < Script.size() && !Thread.Stopping; ++Step) {
    const TStep& S = Script[Step];
    if (S.Kind == TStep::Send) {
      // Whatever has arrived by now was sent without waiting for this reply.
      char Buf[65536];
      for (ssize_t N; (N = recv(Fd, Buf, sizeof Buf, MSG_DONTWAIT)) > 0;) Pending.append(Buf, size_t(N));
      Ahead = size_t(std::count(Pending.begin(), Pending.end(), '\n'));
      if (!WriteAll(Fd, S.Text)) {
        Deviate(Tag + "could not send the reply of step " + std::to_string(Step));
        return;
      }
    } else if (S.Kind == TStep::Stall) {
      SleepUnlessStopped(S.Ms, Thread.Stopping);
    } else if (S.Kind == TStep::Close) {
      return;
    } else {
      if (!ReadLine(Fd, Pending, Got, ReadTimeoutMs)) {
        Deviate(Tag + "no \"" + S.Text + "\" (closed or silent)");
        return;
      }
      Record(Index, Got, Ahead > 0);
      if (Ahead > 0) --Ahead;
      if (!Matches(S.Text, Got)) {
        Deviate(Tag + "expected \"" + S.Text + "\", got \"" + Got.substr(0, 200) + "\"");
        WriteAll(Fd, "-ERR unexpected command\r\n");
        break;
      }
    }
  }
  // Script over: record whatever else comes until the client closes.
  while (!Thread.Stopping && ReadLine(Fd, Pending, Got, ReadTimeoutMs)) {
    Record(Index, Got);
    if (!AfterScriptReply.empty() && !WriteAll(Fd, AfterScriptReply)) return;
  }
}

void TPop3ScriptServer::Run() {
  for (size_t Index = 0; Index < Scripts.size() && !Thread.Stopping; ++Index) {
    int Fd = AcceptOne(Thread.ListenFd, Thread.Stopping);
    if (Fd < 0) break;
    {
      std::lock_guard<std::mutex> G(Lock);
      ++Accepted;
    }
    Serve(Fd, int(Index), Scripts[Index]);
    close(Fd);
  }
  Thread.Done = true;
  // Connections beyond the script are recorded as such and closed at once.
  while (!Thread.Stopping) {
    int Fd = AcceptOne(Thread.ListenFd, Thread.Stopping);
    if (Fd < 0) break;
    {
      std::lock_guard<std::mutex> G(Lock);
      ++Accepted;
    }
    Deviate("unexpected connection");
    close(Fd);
  }
}

// ================= TPop3Relay =================

TPop3Relay::~TPop3Relay() { Stop(); }

bool TPop3Relay::Start(int TargetPort, int Port) {
  if (Worker.joinable()) return false;
  Target = TargetPort;
  ListenFd = ListenOnLoopback(Port, ListenPort);
  if (ListenFd < 0) return false;
  Stopping = false;
  Worker = std::thread([this] { Run(); });
  return true;
}

void TPop3Relay::Stop() {
  Stopping = true;
  if (Worker.joinable()) Worker.join();
  if (ListenFd >= 0) close(ListenFd);
  ListenFd = -1;
}

std::vector<std::string> TPop3Relay::Commands() const {
  std::lock_guard<std::mutex> G(Lock);
  return Select(Received, -1);
}
std::vector<std::string> TPop3Relay::Commands(int Connection) const {
  std::lock_guard<std::mutex> G(Lock);
  return Select(Received, Connection);
}
int TPop3Relay::Connections() const {
  std::lock_guard<std::mutex> G(Lock);
  return Accepted;
}

void TPop3Relay::Run() {
  while (!Stopping) {
    int Client = AcceptOne(ListenFd, Stopping);
    if (Client < 0) break;
    int Index;
    {
      std::lock_guard<std::mutex> G(Lock);
      Index = Accepted++;
    }
    Relay(Client, Index);
    close(Client);
  }
}

void TPop3Relay::Relay(int Client, int Index) {
  int Server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(uint16_t(Target));
  if (Server < 0 || connect(Server, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
    if (Server >= 0) close(Server);
    return;
  }
  bool Clear = true;         // still POP3 in clear: lines can be read
  bool StlsAsked = false;    // the client's last line was STLS
  std::string FromClient;    // client bytes not yet split into lines
  std::string FromServer;    // server bytes held back while the STLS reply is awaited
  char Buf[65536];
  while (!Stopping) {
    pollfd P[2] = {{Client, POLLIN, 0}, {Server, POLLIN, 0}};
    int R = poll(P, 2, SliceMs);
    if (R < 0 && errno != EINTR) break;
    if (R <= 0) continue;
    if (P[0].revents) {
      ssize_t N = recv(Client, Buf, sizeof Buf, 0);
      if (N <= 0) break;
      if (Clear) {
        FromClient.append(Buf, size_t(N));
        std::string Line;
        while (TakeLine(FromClient, Line)) {
          {
            std::lock_guard<std::mutex> G(Lock);
            Received.emplace_back(Index, Line);
          }
          if (OnCommand) OnCommand(Line);
          StlsAsked = Line == "STLS" || Line == "stls";
        }
      }
      if (!SendAll(Server, std::string(Buf, size_t(N)), Stopping)) break;
    }
    if (P[1].revents) {
      ssize_t N = recv(Server, Buf, sizeof Buf, 0);
      if (N <= 0) break;
      std::string Out(Buf, size_t(N));
      if (Clear && StlsAsked) {
        // Hold the server's bytes until its reply line to STLS is complete.
        FromServer += Out;
        Out.clear();
        size_t Lf = FromServer.find('\n');
        if (Lf != std::string::npos) {
          const bool Agreed = FromServer.compare(0, 3, "+OK") == 0;
          Out = FromServer.substr(0, Lf + 1);
          if (Agreed) {
            Out += InjectAfterStls;
            Clear = false;
          }
          Out += FromServer.substr(Lf + 1);
          FromServer.clear();
          StlsAsked = false;
        }
      }
      if (!Out.empty() && !SendAll(Client, Out, Stopping)) break;
    }
  }
  close(Server);
}

// ================= TPop3MailboxServer =================

bool TPop3MailboxServer::Start() {
  Marked.assign(Messages.size() + 1, false);
  return Thread.Start(
      0,
      [this](int ListenFd) {
        if (SmallBuffers <= 0) return;
        // Accepted sockets take their buffer sizes from the listener.
        setsockopt(ListenFd, SOL_SOCKET, SO_RCVBUF, &SmallBuffers, sizeof SmallBuffers);
        setsockopt(ListenFd, SOL_SOCKET, SO_SNDBUF, &SmallBuffers, sizeof SmallBuffers);
      },
      [this] { Run(); });
}

size_t TPop3MailboxServer::Size(int N) const {
  const TMessage& M = Messages[size_t(N - 1)];
  return M.Header.size() + 2 + M.Body.size();
}

std::vector<std::string> TPop3MailboxServer::Commands() const {
  std::lock_guard<std::mutex> G(Lock);
  return Received;
}
std::vector<int> TPop3MailboxServer::DeleteRequests() const {
  std::lock_guard<std::mutex> G(Lock);
  return Deles;
}
std::vector<int> TPop3MailboxServer::Expunged() const {
  std::lock_guard<std::mutex> G(Lock);
  return Removed;
}
bool TPop3MailboxServer::QuitReceived() const {
  std::lock_guard<std::mutex> G(Lock);
  return Quit;
}

void TPop3MailboxServer::Run() {
  int Fd = AcceptOne(Thread.ListenFd, Thread.Stopping);
  if (Fd >= 0) {
    Serve(Fd);
    close(Fd);
  }
}

namespace {

// The number of "VERB n ..." when it names one of Count messages, else 0.
int MessageNumber(const std::string& Command, size_t At, size_t Count) {
  if (Command.size() <= At) return 0;
  const long N = std::strtol(Command.c_str() + At, nullptr, 10);
  return N >= 1 && size_t(N) <= Count ? int(N) : 0;
}

}  // namespace

std::string TPop3MailboxServer::Answer(const std::string& Command) {
  const size_t Count = Messages.size();
  auto Alive = [&](int N) { return N > 0 && !Marked[size_t(N)]; };
  if (Command == "STAT") {
    size_t Total = 0;
    int Left = 0;
    for (size_t N = 1; N <= Count; ++N)
      if (!Marked[N]) Total += Size(int(N)), ++Left;
    return "+OK " + std::to_string(Left) + " " + std::to_string(Total) + "\r\n";
  }
  if (Command == "LIST") {
    std::string Out = "+OK scan listing follows\r\n";
    for (size_t N = 1; N <= Count; ++N)
      if (!Marked[N]) Out += std::to_string(N) + " " + std::to_string(Size(int(N))) + "\r\n";
    return Out + ".\r\n";
  }
  if (Command.rfind("LIST ", 0) == 0) {
    const int N = MessageNumber(Command, 5, Count);
    if (!Alive(N)) return "-ERR no such message\r\n";
    return "+OK " + std::to_string(N) + " " + std::to_string(Size(N)) + "\r\n";
  }
  // Lines of Text, each with a dot put in front where it begins with one.
  const auto Stuffed = [](const std::string& Text) {
    std::string Out;
    for (size_t Start = 0; Start < Text.size();) {
      size_t End = Text.find("\r\n", Start);
      if (End == std::string::npos) End = Text.size();
      if (Text[Start] == '.') Out += '.';
      Out.append(Text, Start, End - Start);
      Out += "\r\n";
      Start = End + 2;
    }
    return Out;
  };
  if (Command.rfind("TOP ", 0) == 0) {
    const int N = MessageNumber(Command, 4, Count);
    if (!Alive(N)) return "-ERR no such message\r\n";
    return "+OK\r\n" + Stuffed(Messages[size_t(N - 1)].Header) + "\r\n.\r\n";
  }
  if (Command.rfind("RETR ", 0) == 0) {
    const int N = MessageNumber(Command, 5, Count);
    if (!Alive(N)) return "-ERR no such message\r\n";
    const TMessage& M = Messages[size_t(N - 1)];
    return "+OK " + std::to_string(Size(N)) + " octets\r\n" + Stuffed(M.Header) + "\r\n" + Stuffed(M.Body) + ".\r\n";
  }
  if (Command.rfind("DELE ", 0) == 0) {
    const int N = MessageNumber(Command, 5, Count);
    {
      std::lock_guard<std::mutex> G(Lock);
      Deles.push_back(N ? N : -1);
    }
    if (!Alive(N)) return "-ERR no such message\r\n";
    Marked[size_t(N)] = true;
    return "+OK marked\r\n";
  }
  if (Command == "QUIT") {
    std::lock_guard<std::mutex> G(Lock);
    Quit = true;
    for (size_t N = 1; N <= Count; ++N)
      if (Marked[N]) Removed.push_back(int(N));
    return "+OK bye\r\n";
  }
  return "-ERR unknown command\r\n";
}

void TPop3MailboxServer::Serve(int Fd) {
  if (!SendAll(Fd, "+OK mailbox ready\r\n", Thread.Stopping)) return;
  bool LoggedIn = false;
  std::string Pending, Command;
  char Buf[65536];
  const size_t ReadSize = SmallBuffers > 0 ? 1 : sizeof Buf;
  while (!Thread.Stopping) {
    while (!TakeLine(Pending, Command)) {
      if (!WaitFor(Fd, POLLIN, Thread.Stopping, 30000)) return;
      ssize_t N = recv(Fd, Buf, ReadSize, 0);
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) return;
      Pending.append(Buf, size_t(N));
    }
    {
      std::lock_guard<std::mutex> G(Lock);
      Received.push_back(Command);
    }
    TReply Reply;
    if (Command == "CAPA") {
      Reply.Bytes = "+OK\r\n";
      for (const std::string& C : Capabilities) Reply.Bytes += C + "\r\n";
      Reply.Bytes += ".\r\n";
    } else if (!LoggedIn) {
      Reply.Bytes = "+OK\r\n";
      LoggedIn = Command.rfind("PASS ", 0) == 0;
    } else {
      Reply.Bytes = Answer(Command);
      if (Bend) Reply = Bend(Command, Reply);
    }
    if (Reply.StallMs > 0) SleepUnlessStopped(Reply.StallMs, Thread.Stopping);
    if (Reply.Close) return;
    if (!Reply.Bytes.empty() && !SendAll(Fd, Reply.Bytes, Thread.Stopping)) return;
    if (Command == "QUIT") return;
  }
}

}  // namespace quorrel
