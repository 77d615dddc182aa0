// What a classifier answers, from a hostile or broken peer: spamd's reply head,
// rspamd's JSON, a line of bogofilter's. The first byte picks the reader and
// whether a threshold of the user's applies.
#include <cstdlib>
#include <optional>
#include <string>

#include "quorrel/classify/classifier.h"

using namespace quorrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1 || Size > 65536) return 0;
  const std::string Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  const std::optional<double> Score = (Data[0] & 4) ? std::optional<double>(5.0) : std::nullopt;
  TClassification Got;
  switch (Data[0] % 4) {
    case 0: Got = ReadSpamdReply(Text, Score); break;
    case 1: Got = ReadRspamdReply(Text, Score); break;
    case 2: Got = ReadBogofilterLine(Text, Score); break;
    default: {
      const std::string Taught = AsTaught(Text);
      if (Taught.size() > Text.size() || Taught.find('\r') != std::string::npos) std::abort();
      return 0;
    }
  }
  // Every answer is a verdict with its words, or a failure that says why.
  if (Got.Why.empty() || Got.Why.size() > 1024) std::abort();
  return 0;
}
