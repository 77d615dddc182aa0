#include "quorrel/sweep/rules_judge.h"

#include "quorrel/rules/header.h"

namespace quorrel {

TJudgement TRulesJudge::Decide(int32_t N, const std::vector<std::string>& Header, bool Whole) {
  std::optional<uint64_t> Size;
  if (N >= 1 && size_t(N) < Sizes.size()) Size = Sizes[size_t(N)];
  const TRuling Ruling = Rules.Judge(Header, Whole, Size, Explain);
  TJudgement Out{Ruling.Delete, Decode ? DecodedHeaderValue(Header, "Subject") : HeaderValue(Header, "Subject"),
                 Ruling.Kept, "", Ruling.Why};
  if (Ruling.Unsure)
    Out.Note = "message " + std::to_string(N) +
               ": its header was not read whole, so the keep words could not be checked; it is not deleted";
  return Out;
}

}  // namespace quorrel
