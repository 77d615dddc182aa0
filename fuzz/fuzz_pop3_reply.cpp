// The POP3 client's reply reader fed by a socketpair: whatever the server sends,
// no line holds a line break, the list stays bounded, and a reply that could not
// be read completely is never reported as a success.
#include <cstdlib>
#include <string>

#include "pop3/pop3.h"
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
  TChunkFeeder Feeder(In.Chunks());
  TPOP3Send Session;
  Session.TimeoutMs = 10000;
  Session.Socket.AdoptHandle(Feeder.ReleaseReader());
  for (int Reply = 0; Reply < 64; ++Reply) {
    int32_t Status = Session.ReadReply(((Mode >> (Reply % 8)) & 1) != 0);
    if (Status != Session.ReplyStatus) std::abort();
    if (Status == 1 && Session.StatusLine.compare(0, 3, "+OK") != 0) std::abort();
    for (const auto& Line : Session.ReplyLines)
      if (Line.find_first_of("\r\n") != std::string::npos) std::abort();
    if (Session.Socket.LastErrorCode != 0 || !Session.Socket.HasSocket()) break;
  }
  return 0;
}
