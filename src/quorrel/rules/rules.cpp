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

std::string TWordMatcher::MatchingEmptyText() const {
  for (const auto& Expression : Expressions)
    if (RE2::PartialMatch("", *Expression)) return Expression->pattern();
  return "";
}

namespace {

bool InHeader(const TWordMatcher& Words, const std::vector<std::string>& Lines) {
  return !Words.Empty() && AnyHeaderText(Lines, [&Words](std::string_view Text) { return Words.InRaw(Text); });
}

bool InDecodedHeader(const TWordMatcher& Words, const std::vector<std::string>& Lines) {
  return !Words.Empty() &&
         AnyDecodedHeaderText(Lines, [&Words](std::string_view Text) { return Words.InDecoded(Text); });
}

}  // namespace

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

bool TRules::Holds(const TWordMatcher& Words, const std::vector<std::string>& Header, bool Scoped) const {
  if (!Scoped) return InHeader(Words, Header) || (Decode && InDecodedHeader(Words, Header));
  if (Words.Empty()) return false;
  const auto Raw = [&Words](std::string_view Text) { return Words.InRaw(Text); };
  const auto Decoded = [&Words](std::string_view Text) { return Words.InDecoded(Text); };
  return AnyFieldValue(Header, Fields, Raw, Decode ? TTextTest(Decoded) : TTextTest());
}

TRuling TRules::Judge(const std::vector<std::string>& Header, bool Whole, std::optional<uint64_t> Size) const {
  if (Holds(Keeps, Header, false)) return {false, true, false};
  const bool Selected = Holds(Filters, Header, !Fields.empty()) || (LargerThan && Size && *Size > *LargerThan);
  if (!Selected) return {};
  // A keep word may stand in the part of the header that was not read.
  if (!Keeps.Empty() && !Whole) return {false, false, true};
  return {true, false, false};
}

}  // namespace quorrel
