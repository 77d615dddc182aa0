// ReceiveUntil / ReceiveLine over a socketpair, with the peer's bytes cut into
// chunks as the input says; AnyLineBreak and LineLimit chosen by the input.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "blocksock/block_socket.h"
#include "support.h"

using namespace quorrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzModulesStart();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 65536) return 0;
  TFuzzInput In(Data, Size);
  uint8_t Mode = In.Byte();
  bool AnyBreak = Mode & 1;
  bool UseLimit = Mode & 2;
  bool UseUntil = Mode & 4;
  int Limit = 1 + In.Byte() % 200;
  std::string Terminator = UseUntil ? std::string(1 + In.Byte() % 3, char(In.Byte())) : std::string("\r\n");
  auto Chunks = In.Chunks();
  std::string Sent;
  for (const auto& C : Chunks) Sent += C;

  TChunkFeeder Feeder(Chunks);
  TBlockSocket Socket;
  Socket.AdoptHandle(Feeder.ReleaseReader());
  Socket.AnyLineBreak = AnyBreak;
  if (UseLimit) Socket.LineLimit = Limit;

  std::string Rebuilt;
  for (int Round = 0; Round < 100000; ++Round) {
    std::string Line = UseUntil ? Socket.ReceiveUntil(10000, Terminator) : Socket.ReceiveLine(10000);
    // Memory stays bounded by the limit (plus the chunk that crossed it).
    if (UseLimit && Socket.ReadBuffer.size() > size_t(Limit) + 128) std::abort();
    if (Socket.LastErrorCode != 0) {
      if (Socket.LastErrorCode != ErrPeerClosed && Socket.LastErrorCode != ErrLineTooLong) {
        std::fprintf(stderr, "unexpected code %d in round %d\n", int(Socket.LastErrorCode), Round);
        std::abort();
      }
      break;
    }
    if (!AnyBreak && !UseUntil) {
      if (Line.find("\r\n") != std::string::npos) std::abort();
      Rebuilt += Line + "\r\n";
    } else if (AnyBreak && !UseUntil && Line.find_first_of("\r\n") != std::string::npos) {
      std::abort();
    }
  }
  // Without line-end folding, the lines and what is left are exactly what was sent.
  if (!AnyBreak && !UseUntil && Socket.LastErrorCode == ErrPeerClosed) {
    Rebuilt += Socket.ReadBuffer.Str();
    if (Rebuilt != Sent) std::abort();
  }
  Socket.CloseSocket();
  return 0;
}
