// The HTTP tunnel's reply reader against a loopback "proxy" that answers with the
// fuzz input: only a 2xx status line may establish the tunnel.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "blocksock/tcp_socket.h"
#include "support.h"

namespace {

int ListenFd = -1;
int ListenPort = 0;

void StartListener() {
  ListenFd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(ListenFd, reinterpret_cast<sockaddr*>(&A), sizeof A);
  listen(ListenFd, 16);
  socklen_t L = sizeof A;
  getsockname(ListenFd, reinterpret_cast<sockaddr*>(&A), &L);
  ListenPort = ntohs(A.sin_port);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzModulesStart();
  StartListener();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 8192) return 0;
  std::string Reply(reinterpret_cast<const char*>(Data), Size);
  std::thread Proxy([&Reply] {
    int Fd = accept(ListenFd, nullptr, nullptr);
    if (Fd < 0) return;
    char Buf[1024];
    // Read the request up to its empty line, then answer and hang up.
    std::string Request;
    while (Request.find("\r\n\r\n") == std::string::npos) {
      ssize_t N = recv(Fd, Buf, sizeof Buf, 0);
      if (N <= 0) break;
      Request.append(Buf, size_t(N));
    }
    send(Fd, Reply.data(), Reply.size(), MSG_NOSIGNAL);
    close(Fd);
  });
  {
    TTCPBlockSocket Socket;
    Socket.TunnelProxyHost = "127.0.0.1";
    Socket.TunnelProxyPort = std::to_string(ListenPort);
    Socket.TunnelTimeoutMs = 2000;
    Socket.Connect("mail.example.org", "110");
    // Established only on a status line that starts "HTTP/", is longer than 11
    // bytes and carries a 2 at byte 10.
    bool Any2xx = false;
    size_t Start = 0;
    while (Start < Reply.size()) {
      size_t End = Reply.find('\n', Start);
      std::string Line = Reply.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
      if (Line.rfind("HTTP/", 0) == 0 && Line.size() > 11) Any2xx = Any2xx || Line[9] == '2';
      if (End == std::string::npos) break;
      Start = End + 1;
    }
    if (Socket.TunnelEstablished && !Any2xx) std::abort();
    if (Socket.LastErrorCode == 0 && !Socket.TunnelEstablished) std::abort();
    if (Socket.ProxyNegotiating) std::abort();
  }
  Proxy.join();
  return 0;
}
