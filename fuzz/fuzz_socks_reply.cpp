// SOCKS replies from a hostile server: SocksReadReply over a socketpair, and
// DecodeSocksAddress on the raw bytes.
#include <cstdlib>
#include <string>

#include "blocksock/socks_socket.h"
#include "support.h"

using namespace quorrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzModulesStart();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 4096) return 0;
  TFuzzInput In(Data, Size);
  uint8_t Mode = In.Byte();
  std::string Raw(reinterpret_cast<const char*>(Data), Size);
  {
    TSocksBlockSocket Decoder;
    Decoder.SocksVersion = (Mode & 1) ? Socks4 : Socks5;
    int End = Decoder.DecodeSocksAddress(Raw);
    if (End < 0 || size_t(End) > Raw.size() + 1 + 2) std::abort();
  }
  TChunkFeeder Feeder(In.Chunks());
  TSocksBlockSocket Socket;
  Socket.SocksVersion = (Mode & 1) ? Socks4 : Socks5;
  Socket.SocksTimeoutMs = 2000;
  Socket.AdoptHandle(Feeder.ReleaseReader());
  bool Ok = (Mode & 2) ? Socket.SocksGreet() : Socket.SocksReadReply();
  if (Socket.ProxyNegotiating) std::abort();
  if (Ok && !(Mode & 2) && Socket.SocksReplyCode != 0 && Socket.SocksReplyCode != 90) std::abort();
  Socket.CloseSocket();
  return 0;
}
