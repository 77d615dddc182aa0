// The rules as a judge: filter and keep words, fields, expressions and size.
#pragma once

#include <vector>

#include "quorrel/rules/rules.h"
#include "quorrel/sweep/judge.h"

namespace quorrel {

class TRulesJudge : public TImmediateJudge {
 public:
  // Sizes by message number (index 0 unused) for --larger-than; empty when not
  // known. Decode shows the subject decoded; Explain says why in each judgement.
  TRulesJudge(const TRules& Rules, bool Decode, std::vector<uint32_t> Sizes, bool Explain = false)
      : Rules(Rules), Decode(Decode), Explain(Explain), Sizes(std::move(Sizes)) {}

 protected:
  TJudgement Decide(int32_t N, const std::vector<std::string>& Header, bool Whole) override;

 private:
  const TRules& Rules;
  bool Decode;
  bool Explain;
  std::vector<uint32_t> Sizes;
};

}  // namespace quorrel
