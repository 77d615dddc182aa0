// The rules that decide a message's fate from its header and its size: filter
// words (anywhere, or only in named fields), keep words that always win, and a
// size limit. Words are plain text or, with --regex, RE2 expressions, which
// match in time linear in the header whatever it holds.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/status/status.h"

namespace re2 {
class RE2;
}

namespace quorrel {

// Words as a matcher: plain words are found as substrings, ASCII case ignored
// in raw header text and every letter's case in decoded text; expressions
// match case-insensitively anywhere in the text. Empty words never match.
class TWordMatcher {
 public:
  TWordMatcher();
  ~TWordMatcher();
  TWordMatcher(TWordMatcher&&) noexcept;
  TWordMatcher& operator=(TWordMatcher&&) noexcept;

  // Takes Words; for an expression that does not compile, a Usage failure naming it.
  TStatus Take(const std::vector<std::string>& Words, bool Regex);
  bool Empty() const { return Count == 0; }
  bool InRaw(std::string_view Text) const;
  bool InDecoded(std::string_view Text) const;
  // The index in Words() of the first word found in Text; -1 for none. Dearer
  // than the tests above with many expressions: each is tried after a match.
  int FindInRaw(std::string_view Text) const;
  int FindInDecoded(std::string_view Text) const;
  // The words taken, as given (empty ones left out).
  const std::vector<std::string>& Words() const { return Given; }
  // With Regex: the first expression that matches an empty text, else "".
  std::string MatchingEmptyText() const;

 private:
  size_t Count = 0;
  std::vector<std::string> Given;
  std::vector<std::string> Lowered;  // for raw text
  std::vector<std::string> Folded;   // for decoded text
  std::vector<std::unique_ptr<re2::RE2>> Expressions;
  // All expressions as one alternation: one pass over the text instead of one
  // per expression. Empty when the alternation is beyond RE2's memory budget.
  std::unique_ptr<re2::RE2> Combined;
};

// Reads a size as bytes, or with k, M or G (powers of 1024); false for anything
// else, or a size beyond 2^64 - 1 bytes.
bool ParseSize(const std::string& Text, uint64_t& Bytes);
// A size written back in that form, in the largest unit that holds it whole
// (5M for 5 MiB).
std::string SizeText(uint64_t Bytes);

// The rules as the user gave them.
struct TRuleSettings {
  std::vector<std::string> FilterWords;  // a message holding one is deleted
  std::vector<std::string> KeepWords;    // a message holding one is never deleted
  std::vector<std::string> Fields;       // ASCII lower case; filter words match only in these; empty: anywhere
  bool Regex = false;                    // filter and keep words are regular expressions
  std::optional<uint64_t> LargerThan;    // bytes; a larger message is deleted like a match
  bool Decode = false;                   // also match (and show) headers decoded and unfolded
};

// What the rules made of one message.
struct TRuling {
  bool Delete = false;
  bool Kept = false;    // a keep word holds it
  bool Unsure = false;  // it would go, but the keep words could not be checked: its header was not read whole
  // With Explain: why it is deleted or kept, in the user's words: filter
  // "casino" in Subject, keep "boss" in From, larger than 5M; else empty.
  std::string Why;
};

class TRules {
 public:
  // Takes the rules; a Usage failure says why they cannot be used (an
  // expression that does not compile, a filter expression that matches any text).
  TStatus Take(const TRuleSettings& Settings);
  // Judges a message by its header lines (Whole when TOP was answered and no
  // line cut) and its size, when listed; with Explain, says why.
  TRuling Judge(const std::vector<std::string>& Header, bool Whole, std::optional<uint64_t> Size,
                bool Explain = false) const;
  // Whether Judge needs the messages' sizes.
  bool NeedsSizes() const { return LargerThan.has_value(); }

 private:
  // Whether a word of Words is in Header; Why, when given, gets the word and
  // the field as Kind "word" in Field.
  bool Holds(const TWordMatcher& Words, const std::vector<std::string>& Header, bool Scoped, const char* Kind,
             std::string* Why) const;

  TWordMatcher Filters;
  TWordMatcher Keeps;
  std::vector<std::string> Fields;
  bool Decode = false;
  std::optional<uint64_t> LargerThan;
};

}  // namespace quorrel
