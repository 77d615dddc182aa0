// The HTTP tunnel's reply reader against a loopback "proxy" that answers with the
// fuzz input and hangs up: only a 2xx status line may establish the tunnel, and
// a reply head beyond the bounds is refused and its connection closed.
//
// No run may leave anything to the next. The listener lives as long as the
// process (a new one for each run would cost as much as the run), so each run
// first closes whatever waits in its queue; every earlier client is closed by
// then, so the one connection the proxy can take is the run's own. The proxy
// thread is joined before the run ends. libFuzzer's timer signal may interrupt
// any blocking call; the proxy repeats an interrupted call, as the socket layer
// does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "blocksock/tcp_socket.h"
#include "support.h"

using namespace quorrel;

namespace {

int ListenFd = -1;
int ListenPort = 0;

// Non-blocking, so that a run can empty the queue without waiting.
void StartListener() {
  ListenFd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t L = sizeof A;
  if (bind(ListenFd, reinterpret_cast<sockaddr*>(&A), L) != 0 || listen(ListenFd, 16) != 0 ||
      getsockname(ListenFd, reinterpret_cast<sockaddr*>(&A), &L) != 0 ||
      fcntl(ListenFd, F_SETFL, fcntl(ListenFd, F_GETFL) | O_NONBLOCK) != 0)
    std::abort();
  ListenPort = ntohs(A.sin_port);
}

// Closes the connections that earlier runs left in the queue (one whose proxy
// gave up before taking it, say).
void CloseQueuedConnections() {
  for (;;) {
    const int Fd = accept(ListenFd, nullptr, nullptr);
    if (Fd >= 0)
      close(Fd);
    else if (errno != EINTR)
      return;
  }
}

// Repeats a call that a signal interrupted.
template <class TCall>
auto Uninterrupted(TCall Call) {
  decltype(Call()) Result;
  do Result = Call();
  while (Result < 0 && errno == EINTR);
  return Result;
}

// The proxy: takes the run's connection (unless the client is done without
// one), reads the request up to its empty line, then answers with Reply and
// hangs up.
void Serve(const std::string& Reply, const std::atomic<bool>& ClientDone) {
  int Fd = -1;
  while (Fd < 0 && !ClientDone) {
    pollfd P{ListenFd, POLLIN, 0};
    if (poll(&P, 1, 10) > 0) Fd = accept(ListenFd, nullptr, nullptr);
  }
  if (Fd < 0) return;
  char Buf[1024];
  std::string Request;
  while (Request.find("\r\n\r\n") == std::string::npos) {
    const ssize_t N = Uninterrupted([&] { return recv(Fd, Buf, sizeof Buf, 0); });
    if (N <= 0) break;
    Request.append(Buf, size_t(N));
  }
  for (size_t Sent = 0; Sent < Reply.size();) {
    const ssize_t N =
        Uninterrupted([&] { return send(Fd, Reply.data() + Sent, Reply.size() - Sent, MSG_NOSIGNAL); });
    if (N <= 0) break;
    Sent += size_t(N);
  }
  close(Fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzModulesStart();
  StartListener();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 3 * size_t(TunnelReplyMaxBytes)) return 0;
  std::string Reply(reinterpret_cast<const char*>(Data), Size);
  CloseQueuedConnections();
  std::atomic<bool> ClientDone{false};
  std::thread Proxy(Serve, std::cref(Reply), std::cref(ClientDone));
  {
    TTCPBlockSocket Socket;
    Socket.TunnelProxyHost = "127.0.0.1";
    Socket.TunnelProxyPort = std::to_string(ListenPort);
    Socket.TunnelTimeoutMs = 2000;
    Socket.Connect("mail.example.org", "110");
    // What the reply should come to, line by line as the reader takes it: the
    // head ends at an empty line, breaks a bound (10091, connection closed) or
    // is cut off by the hang-up. Only a status line that starts "HTTP/", is
    // longer than 11 bytes and carries a 2 at byte 10 establishes the tunnel;
    // a later one overrides an earlier one.
    enum { Ends, Overrun, Cut } Outcome = Cut;
    bool Status2xx = false;
    int64_t Held = 0;
    size_t Start = 0;
    for (int Lines = 1;; ++Lines) {
      size_t End = Reply.find('\n', Start);
      if (End == std::string::npos) {
        Outcome = Reply.size() - Start > size_t(TunnelReplyMaxLineBytes) ? Overrun : Cut;
        break;
      }
      std::string Line = Reply.substr(Start, End - Start);
      if (Line.size() + 1 > size_t(TunnelReplyMaxLineBytes)) {
        Outcome = Overrun;
        break;
      }
      if (Line.rfind("HTTP/", 0) == 0 && Line.size() > 11) Status2xx = Line[9] == '2';
      if (Line.empty() || Line == "\r") {
        Outcome = Ends;
        break;
      }
      Held += int64_t(Line.size()) + 1;
      if (Held > TunnelReplyMaxBytes || Lines >= TunnelReplyMaxLines) {
        Outcome = Overrun;
        break;
      }
      Start = End + 1;
    }
    switch (Outcome) {
      case Ends:
        if (Socket.TunnelEstablished != Status2xx) std::abort();
        if (Socket.LastErrorCode != (Status2xx ? 0 : 10091)) std::abort();
        if (!Socket.HasSocket()) std::abort();
        break;
      case Overrun:
        if (Socket.TunnelEstablished || Socket.LastErrorCode != 10091 || Socket.HasSocket()) std::abort();
        if (!Socket.ReadBuffer.empty()) std::abort();
        break;
      case Cut:
        if (Socket.TunnelEstablished || Socket.LastErrorCode == 0) std::abort();
        break;
    }
    if (Socket.ProxyNegotiating) std::abort();
  }
  ClientDone = true;
  Proxy.join();
  return 0;
}
