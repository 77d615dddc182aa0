// Bulk transfer through TLS over loopback with TTCPBlockSocket, against an
// `openssl s_server` that bench/tls.sh starts. Not a test: it prints MB/s.
//   tls_bench send PORT BYTES     - SendBytes in 64 KiB blocks, then close
//   tls_bench receive PORT BYTES  - asks s_server -WWW for the file "/bulk" and
//                                   reads its body with ReceiveExact in 1 MiB blocks
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "blocksock/tcp_socket.h"
#include "tlsbind/tlsbind.h"

using namespace quorrel;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s send|receive PORT BYTES\n", argv[0]);
    return 2;
  }
  std::string Mode = argv[1];
  std::string Port = argv[2];
  long long Total = std::atoll(argv[3]);
  BlockSockModuleStart();
  TlsBindModuleStart();
  int Status = 0;
  {
    TTCPBlockSocket Socket;
    auto Start = std::chrono::steady_clock::now();
    Socket.SetTlsActive(true);
    Socket.Connect("127.0.0.1", Port);
    if (Socket.LastErrorCode != 0) {
      std::fprintf(stderr, "connect: %d %s %s\n", Socket.LastErrorCode, Socket.LastErrorText.c_str(),
                   Socket.TlsLastErrorText.c_str());
      return 1;
    }
    long long Done = 0;
    if (Mode == "send") {
      std::vector<char> Block(65536, 'q');
      while (Done < Total) {
        int Count = static_cast<int>(std::min<long long>(Block.size(), Total - Done));
        int Sent = Socket.SendBytes(Block.data(), Count);
        if (Sent <= 0 || Socket.LastErrorCode != 0) break;
        Done += Sent;
      }
    } else {
      Socket.SendText("GET /bulk HTTP/1.0\r\n\r\n");
      Socket.AnyLineBreak = true;
      for (int I = 0; I < 20 && !Socket.ReceiveLine(10000).empty() && Socket.LastErrorCode == 0; ++I) {
      }
      std::vector<char> Block(1 << 20);
      while (Done < Total) {
        int Count = static_cast<int>(std::min<long long>(Block.size(), Total - Done));
        int Got = Socket.ReceiveExact(Block.data(), Count, 10000);
        Done += Got;
        if (Socket.LastErrorCode != 0) break;
      }
    }
    Socket.CloseSocket();
    double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    if (Done != Total) {
      std::fprintf(stderr, "%s: moved %lld of %lld bytes (error %d)\n", Mode.c_str(), Done, Total,
                   Socket.LastErrorCode);
      Status = 1;
    }
    std::printf("%.1f\n", Done / Seconds / 1e6);
  }
  TlsBindModuleEnd();
  BlockSockModuleEnd();
  return Status;
}
