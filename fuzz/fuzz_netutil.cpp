// Text helpers fed with arbitrary caller text; FindLineBreak is checked against a
// plain four-search reference.
#include <cstdlib>
#include <string>

#include "netutil/netutil.h"
#include "support.h"

using namespace quorrel;

namespace {

int ReferenceLineBreak(const std::string& Text, std::string& Terminator) {
  int Result = 0;
  Terminator.clear();
  for (const char* Candidate : {"\r\n", "\n\r", "\r", "\n"}) {
    size_t P = Text.find(Candidate);
    if (P != std::string::npos && (Result == 0 || int(P) + 1 < Result)) {
      Result = int(P) + 1;
      Terminator = Candidate;
    }
  }
  return Result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TFuzzInput In(Data, Size);
  uint8_t Which = In.Byte();
  std::string Text = In.Rest();
  switch (Which % 6) {
    case 0: {
      int32_t V = IntegerOrDefault(Text, -7);
      // Plain decimal round trip: what parses back must be the same number.
      if (V != -7 && IntegerOrDefault(std::to_string(V), -7) != V) std::abort();
      break;
    }
    case 1:
      if (IsIPv4Text(Text) && IPv4TextToBytes(Text).size() != 4) std::abort();
      IsOctetText(Text);
      break;
    case 2:
      IsIPv6Text(Text);
      break;
    case 3: {
      size_t Cut = Text.empty() ? 0 : size_t(uint8_t(Text[0])) % Text.size();
      std::string Delimiter = Text.substr(0, Cut % 4);
      std::string Rest = Text.substr(Cut % 4);
      TextBefore(Rest, Delimiter);
      TextAfter(Rest, Delimiter);
      std::string Copy = Rest;
      for (int I = 0; I < 64 && !Copy.empty(); ++I) {
        size_t Before = Copy.size();
        CutToken(Copy, Delimiter);
        if (Copy.size() > Before) std::abort();
      }
      break;
    }
    case 4: {
      std::string T1, T2;
      int P1 = FindLineBreak(Text, T1);
      int P2 = ReferenceLineBreak(Text, T2);
      if (P1 != P2 || T1 != T2) std::abort();
      break;
    }
    default:
      if (BytesToHex(Text).size() != 2 * Text.size()) std::abort();
      if (Text.size() >= 2) BytesToWord(Text, 1 + int(uint8_t(Text[0]) % Text.size()));
      break;
  }
  return 0;
}
