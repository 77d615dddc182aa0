// Line reception throughput over loopback.
//
//   receive_bench serve LINES BURST   listens on 127.0.0.1, prints its port, sends
//                                     LINES lines of 80 bytes (78 + CR LF) to the
//                                     first connection in send calls of BURST bytes
//                                     (0 = the whole stream in one call), closes
//   receive_bench read PORT LINES     connects and receives LINES lines with
//                                     ReceiveLine (AnyLineBreak set); prints
//                                     "lines=N seconds=S"
//
// bench/receive.sh runs both, and the same sender against a Python reader.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "blocksock/block_socket.h"

using namespace quorrel;

namespace {

constexpr size_t LineLength = 80;

std::string MakeStream(long Lines) {
  std::string Stream;
  Stream.reserve(static_cast<size_t>(Lines) * LineLength);
  std::string Line(LineLength, 'x');
  Line[LineLength - 2] = '\r';
  Line[LineLength - 1] = '\n';
  for (long I = 0; I < Lines; ++I) {
    // Vary the leading digits so the content is not one repeated block.
    std::string Number = std::to_string(I);
    Line.replace(0, Number.size(), Number);
    Stream += Line;
  }
  return Stream;
}

int Serve(long Lines, size_t Burst) {
  std::string Stream = MakeStream(Lines);
  int Listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof(Address);
  if (bind(Listener, reinterpret_cast<sockaddr*>(&Address), Length) != 0 || listen(Listener, 1) != 0 ||
      getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
    std::perror("listen");
    return 1;
  }
  std::printf("%d\n", ntohs(Address.sin_port));
  std::fflush(stdout);
  int Peer = accept(Listener, nullptr, nullptr);
  close(Listener);
  if (Peer < 0) return 1;
  if (Burst == 0) Burst = Stream.size();
  for (size_t At = 0; At < Stream.size();) {
    size_t Want = std::min(Burst, Stream.size() - At);
    ssize_t Sent = send(Peer, Stream.data() + At, Want, MSG_NOSIGNAL);
    if (Sent <= 0) break;
    At += static_cast<size_t>(Sent);
  }
  shutdown(Peer, SHUT_WR);
  char Drain[4096];
  while (recv(Peer, Drain, sizeof(Drain), 0) > 0) {
  }
  close(Peer);
  return 0;
}

int Read(int Port, long Lines) {
  int Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address.sin_port = htons(static_cast<uint16_t>(Port));
  if (connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) != 0) {
    std::perror("connect");
    return 1;
  }
  TBlockSocket Socket;
  Socket.AdoptHandle(Fd);
  Socket.AnyLineBreak = true;
  auto Start = std::chrono::steady_clock::now();
  long Got = 0;
  size_t Bytes = 0;
  while (Got < Lines) {
    std::string Line = Socket.ReceiveLine(5000);
    if (Socket.LastErrorCode != 0) break;
    Bytes += Line.size();
    ++Got;
  }
  double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  if (Got != Lines || Bytes != static_cast<size_t>(Lines) * (LineLength - 2)) {
    std::fprintf(stderr, "received %ld lines, %zu bytes, error %d\n", Got, Bytes, Socket.LastErrorCode);
    return 1;
  }
  std::printf("lines=%ld seconds=%.6f\n", Got, Seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "serve") == 0) return Serve(std::atol(argv[2]), std::strtoul(argv[3], nullptr, 10));
  if (argc == 4 && std::strcmp(argv[1], "read") == 0) {
    BlockSockModuleStart();
    int Result = Read(std::atoi(argv[2]), std::atol(argv[3]));
    BlockSockModuleEnd();
    return Result;
  }
  std::fprintf(stderr, "usage: receive_bench serve LINES BURST | read PORT LINES\n");
  return 2;
}
