#include "quorrel/rules/rules.h"

#include <re2/re2.h>

#include "codec/header_text.h"
#include "netutil/netutil.h"
#include "quorrel/rules/header.h"

namespace quorrel {

TWordMatcher::TWordMatcher() = default;
TWordMatcher::~TWordMatcher() = default;
TWordMatcher::TWordMatcher(TWordMatcher&&) noexcept = default;
TWordMatcher& TWordMatcher::operator=(TWordMatcher&&) noexcept = default;

TStatus TWordMatcher::Take(const std::vector<std::string>& Words, bool Regex) {
  *this = TWordMatcher();
  RE2::Options Options;
  Options.set_case_sensitive(false);
  Options.set_log_errors(false);
  // Room for long alternations; past the automaton's budget RE2 falls back to
  // its other linear engines, never to backtracking.
  Options.set_max_mem(int64_t(64) << 20);
  for (const std::string& Word : Words) {
    if (Word.empty()) continue;
    ++Count;
    Given.push_back(Word);
    if (!Regex) {
      Lowered.push_back(AsciiLower(Word));
      Folded.push_back(FoldCase(Word));
      continue;
    }
    auto Expression = std::make_unique<RE2>(Word, Options);
    if (!Expression->ok())
      return TStatus::Fail(TFailureKind::Usage,
                           "\"" + Word + "\" is not a valid regular expression: " + Expression->error());
    Expressions.push_back(std::move(Expression));
  }
  if (Expressions.size() > 1) {
    std::string Alternation;
    for (const auto& Expression : Expressions)
      Alternation += (Alternation.empty() ? "(?:" : "|(?:") + Expression->pattern() + ")";
    Combined = std::make_unique<RE2>(Alternation, Options);
    if (!Combined->ok()) Combined.reset();
  }
  return TStatus::Ok();
}

bool TWordMatcher::InRaw(std::string_view Text) const {
  if (!Expressions.empty()) return InDecoded(Text);
  if (Lowered.empty()) return false;
  const std::string Lower = AsciiLower(Text);
  for (const std::string& Word : Lowered)
    if (Lower.find(Word) != std::string::npos) return true;
  return false;
}

bool TWordMatcher::InDecoded(std::string_view Text) const {
  if (Combined) return RE2::PartialMatch(Text, *Combined);
  for (const auto& Expression : Expressions)
    if (RE2::PartialMatch(Text, *Expression)) return true;
  if (Folded.empty()) return false;
  const std::string Caseless = FoldCase(Text);
  for (const std::string& Word : Folded)
    if (Caseless.find(Word) != std::string::npos) return true;
  return false;
}

int TWordMatcher::FindInRaw(std::string_view Text) const {
  if (!Expressions.empty()) return FindInDecoded(Text);
  if (Lowered.empty()) return -1;
  const std::string Lower = AsciiLower(Text);
  for (size_t I = 0; I < Lowered.size(); ++I)
    if (Lower.find(Lowered[I]) != std::string::npos) return int(I);
  return -1;
}

int TWordMatcher::FindInDecoded(std::string_view Text) const {
  // The alternation says whether any matches; only then is each one tried.
  if (Combined && !RE2::PartialMatch(Text, *Combined)) return -1;
  for (size_t I = 0; I < Expressions.size(); ++I)
    if (RE2::PartialMatch(Text, *Expressions[I])) return int(I);
  if (Folded.empty()) return -1;
  const std::string Caseless = FoldCase(Text);
  for (size_t I = 0; I < Folded.size(); ++I)
    if (Caseless.find(Folded[I]) != std::string::npos) return int(I);
  return -1;
}

std::string TWordMatcher::MatchingEmptyText() const {
  for (const auto& Expression : Expressions)
    if (RE2::PartialMatch("", *Expression)) return Expression->pattern();
  return "";
}

std::string SizeText(uint64_t Bytes) {
  static const struct {
    unsigned Shift;
    char Unit;
  } Units[] = {{30, 'G'}, {20, 'M'}, {10, 'k'}};
  for (const auto& U : Units)
    if (Bytes != 0 && Bytes % (uint64_t(1) << U.Shift) == 0) return std::to_string(Bytes >> U.Shift) + U.Unit;
  return std::to_string(Bytes);
}

bool ParseSize(const std::string& Text, uint64_t& Bytes) {
  size_t Digits = 0;
  while (Digits < Text.size() && Text[Digits] >= '0' && Text[Digits] <= '9') ++Digits;
  if (Digits == 0 || Digits > 20 || Text.size() > Digits + 1) return false;
  unsigned Shift = 0;
  if (Text.size() > Digits) {
    switch (Text[Digits]) {
      case 'k': case 'K': Shift = 10; break;
      case 'm': case 'M': Shift = 20; break;
      case 'g': case 'G': Shift = 30; break;
      default: return false;
    }
  }
  uint64_t Value = 0;
  for (size_t I = 0; I < Digits; ++I) {
    const uint64_t Digit = uint64_t(Text[I] - '0');
    if (Value > (UINT64_MAX - Digit) / 10) return false;
    Value = Value * 10 + Digit;
  }
  if (Shift > 0 && Value > (UINT64_MAX >> Shift)) return false;
  Bytes = Value << Shift;
  return true;
}


TStatus TRules::Take(const TRuleSettings& Settings) {
  Fields = Settings.Fields;
  Decode = Settings.Decode;
  LargerThan = Settings.LargerThan;
  if (TStatus Taken = Filters.Take(Settings.FilterWords, Settings.Regex); !Taken) return Taken;
  if (TStatus Taken = Keeps.Take(Settings.KeepWords, Settings.Regex); !Taken) return Taken;
  // Such a filter would select every message there is.
  if (const std::string Everything = Filters.MatchingEmptyText(); !Everything.empty())
    return TStatus::Fail(TFailureKind::Usage, "the filter expression \"" + Everything +
                                                  "\" matches an empty text, so it would delete every message");
  return TStatus::Ok();
}

bool TRules::Holds(const TWordMatcher& Words, const std::vector<std::string>& Header, bool Scoped, const char* Kind,
                   std::string* Why) const {
  if (Words.Empty()) return false;
  // Which word held is sought only where it is to be said. The tests capture
  // one reference, small enough for std::function to hold without allocating.
  struct {
    const TWordMatcher& Words;
    bool Explain;
    int Word = -1;
  } Seek{Words, Why != nullptr};
  size_t At = 0;
  const auto Raw = [&Seek](std::string_view Text) {
    return Seek.Explain ? (Seek.Word = Seek.Words.FindInRaw(Text)) >= 0 : Seek.Words.InRaw(Text);
  };
  const auto Decoded = [&Seek](std::string_view Text) {
    return Seek.Explain ? (Seek.Word = Seek.Words.FindInDecoded(Text)) >= 0 : Seek.Words.InDecoded(Text);
  };
  const bool Found = Scoped ? AnyFieldValue(Header, Fields, Raw, Decode ? TTextTest(Decoded) : TTextTest(), &At)
                            : AnyHeaderText(Header, Raw, &At) || (Decode && AnyDecodedHeaderText(Header, Decoded, &At));
  if (Found && Why) {
    const std::string Field = WrittenFieldName(Header[At]);
    *Why = std::string(Kind) + " \"" + Words.Words()[size_t(Seek.Word)] + "\"" + (Field.empty() ? "" : " in " + Field);
  }
  return Found;
}

TRuling TRules::Judge(const std::vector<std::string>& Header, bool Whole, std::optional<uint64_t> Size,
                      bool Explain) const {
  TRuling Ruling;
  std::string* Why = Explain ? &Ruling.Why : nullptr;
  if (Holds(Keeps, Header, false, "keep", Why)) {
    Ruling.Kept = true;
    return Ruling;
  }
  if (!Holds(Filters, Header, !Fields.empty(), "filter", Why)) {
    if (!LargerThan || !Size || *Size <= *LargerThan) return Ruling;
    if (Explain) Ruling.Why = "larger than " + SizeText(*LargerThan);
  }
  // A keep word may stand in the part of the header that was not read.
  if (!Keeps.Empty() && !Whole) return {false, false, true, ""};
  Ruling.Delete = true;
  return Ruling;
}

}  // namespace quorrel
