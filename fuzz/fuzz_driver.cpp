// The driver's header lookup, filter match and subject masking on arbitrary
// header lines, the match checked against a plain reference; the rules, with
// and without a field scope, as plain words and as the same words quoted into
// expressions, which must agree on ASCII text.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <re2/re2.h>

#include "netutil/netutil.h"
#include "quorrel/rules/header.h"
#include "quorrel/report/output.h"
#include "quorrel/rules/rules.h"
#include "support.h"

using namespace quorrel;

namespace {

bool IsAscii(const std::vector<std::string>& Texts) {
  for (const std::string& Text : Texts)
    for (char C : Text)
      if (static_cast<unsigned char>(C) >= 0x80 || C == 0) return false;
  return true;
}

// Plain words and the same words as quoted expressions judge alike.
void RulesAgree(const std::vector<std::string>& Filters, const std::vector<std::string>& Lines, bool Scoped) {
  TRuleSettings S;
  S.FilterWords = Filters;
  if (Scoped) S.Fields = {"subject", "from"};
  TRules Plain;
  if (!Plain.Take(S)) std::abort();
  const bool ByWord = Plain.Judge(Lines, true, std::nullopt).Delete;
  S.Regex = true;
  for (std::string& Word : S.FilterWords) Word = RE2::QuoteMeta(Word);
  TRules Quoted;
  if (!Quoted.Take(S)) return;
  // RE2 folds a few non-ASCII letters onto ASCII ones (the Kelvin sign onto k).
  const bool Ascii = IsAscii(Filters) && IsAscii(Lines);
  if (Ascii && Quoted.Judge(Lines, true, std::nullopt).Delete != ByWord) std::abort();
  // A keep word that the header holds always wins, over the size limit too
  // (a line without "=" holds no signature value, which is never searched).
  if (Lines.empty() || Lines.front().empty() || Lines.front().find('=') != std::string::npos || !Ascii) return;
  S.KeepWords = {RE2::QuoteMeta(Lines.front())};
  S.LargerThan = 0;
  if (Quoted.Take(S) && Quoted.Judge(Lines, true, 1000).Delete) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TFuzzInput In(Data, Size);
  size_t FilterCount = In.Byte() % 4;
  std::string Text = In.Rest();
  std::vector<std::string> Parts;
  size_t Start = 0;
  for (;;) {
    size_t End = Text.find('\n', Start);
    Parts.push_back(Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start));
    if (End == std::string::npos) break;
    Start = End + 1;
  }
  std::vector<std::string> Filters(Parts.begin(), Parts.begin() + std::min(FilterCount, Parts.size()));
  std::vector<std::string> Lines(Parts.begin() + Filters.size(), Parts.end());
  std::string Subject = HeaderValue(Lines, "Subject");
  // A value is always the tail of some header line.
  bool Found = Subject.empty();
  for (const auto& L : Lines)
    if (L.size() >= Subject.size() && L.compare(L.size() - Subject.size(), Subject.size(), Subject) == 0) Found = true;
  if (!Found) std::abort();
  bool Expected = false;
  for (const auto& L : Lines)
    for (const auto& F : Filters)
      if (!F.empty() && AsciiLower(L).find(AsciiLower(F)) != std::string::npos) Expected = true;
  // Only signature fields may keep a match from counting.
  bool Signed = false;
  for (const auto& L : Lines) {
    const std::string Lower = AsciiLower(L);
    for (const char* Field : {"dkim-signature", "arc-seal", "arc-message-signature", "x-google-dkim-signature"})
      if (Lower.rfind(Field, 0) == 0) Signed = true;
  }
  TRuleSettings Plain;
  Plain.FilterWords = Filters;
  TRules Rules;
  if (!Rules.Take(Plain)) std::abort();
  const bool Matched = Rules.Judge(Lines, true, std::nullopt).Delete;
  if (Matched && !Expected) std::abort();
  if (!Signed && Matched != Expected) std::abort();
  // Asking why changes no ruling, and a deletion always has its reason.
  const TRuling Explained = Rules.Judge(Lines, true, std::nullopt, true);
  if (Explained.Delete != Matched || (Matched && Explained.Why.rfind("filter \"", 0) != 0)) std::abort();
  RulesAgree(Filters, Lines, false);
  RulesAgree(Filters, Lines, true);
  // What a terminal is shown holds nothing that could still be masked.
  const std::string Shown = MaskControls(Subject);
  if (MaskControls(Shown) != Shown) std::abort();
  for (char C : Shown)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) std::abort();
  return 0;
}
