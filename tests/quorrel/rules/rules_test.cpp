#include "quorrel/rules/rules.h"

#include <gtest/gtest.h>

using namespace quorrel;

namespace {

using Lines = std::vector<std::string>;

// A header of a mailing list post: a folded subject, an encoded sender, a
// footer-like list field and a signature whose b= value holds "casino".
const Lines Header = {
    "From: =?UTF-8?Q?J=C3=BCrgen?= <juergen@lists.example>",
    "To: team@example.org",
    "Subject: [Offers] Cheap flights and",
    " casino nights",
    "List-Unsubscribe: <mailto:leave@lists.example>",
    "DKIM-Signature: v=1; d=lists.example; b=xcasinoX;",
    "",
};

TRuleSettings With(std::vector<std::string> Filters, std::vector<std::string> Keeps = {},
               std::vector<std::string> Fields = {}, bool Regex = false, bool Decode = false) {
  TRuleSettings S;
  S.FilterWords = std::move(Filters);
  S.KeepWords = std::move(Keeps);
  S.Fields = std::move(Fields);
  S.Regex = Regex;
  S.Decode = Decode;
  return S;
}

// What the rules make of Header, whole, of 2,000 bytes.
TEST(Rules, JudgeTheHeaderAndTheSize) {
  struct TCase {
    const char* Name;
    TRuleSettings Settings;
    const char* Expected;  // "delete", "kept", "unsure" or "" for none of them, then ": " and why
    bool Whole = true;
    Lines Read = Header;  // what TOP gave
    std::optional<uint64_t> Size = 2000;
  };
  const auto Over = [](TRuleSettings S, uint64_t Limit) { S.LargerThan = Limit; return S; };
  const TRuleSettings Big = Over(With({}), 1999), BigKept = Over(With({}, {"TEAM@"}), 1999);
  const TCase Cases[] = {
      // The reason names the word as given and the field of the line it is in.
      {"a second word on a continuation line", With({"absent", "NIGHTS"}), "delete: filter \"NIGHTS\" in Subject"},
      {"the expression found first in the header", With({"absent", "leave@", "cheap"}, {}, {}, true),
       "delete: filter \"cheap\" in Subject"},
      {"a plain word in any line, any case", With({"FLIGHTS"}), "delete: filter \"FLIGHTS\" in Subject"},
      {"a word only in a signature value", With({"xcasinox"}), ""},
      {"a keep word wins over a match", With({"flights"}, {"team@example"}), "kept: keep \"team@example\" in To"},
      {"a keep word alone keeps", With({}, {"team@"}), "kept: keep \"team@\" in To"},
      {"keep words are not scoped by fields", With({"flights"}, {"team@"}, {"subject"}), "kept: keep \"team@\" in To"},
      {"a field scope ignores the word elsewhere", With({"lists.example"}, {}, {"subject"}), ""},
      {"a field scope finds it in that field", With({"lists.example"}, {}, {"subject", "from"}), "delete: filter \"lists.example\" in From"},
      {"a folded field is one field", With({"and casino"}, {}, {"subject"}), "delete: filter \"and casino\" in Subject"},
      {"the field name is not its value", With({"subject"}, {}, {"subject"}), ""},
      {"no fold in raw lines", With({"and casino"}), ""},
      {"a decoded keep word keeps", With({"flights"}, {"jürgen"}, {}, false, true), "kept: keep \"jürgen\" in From"},
      {"not decoded without --decode", With({"flights"}, {"jürgen"}), "delete: filter \"flights\" in Subject"},
      {"a decoded word in a scoped field", With({"JÜRGEN"}, {}, {"from"}, false, true), "delete: filter \"JÜRGEN\" in From"},
      {"a decoded word outside the scope", With({"JÜRGEN"}, {}, {"subject"}, false, true), ""},
      {"an anchored class in a field", With({"^\\[(offers|ads)\\] [a-z]+"}, {}, {"subject"}, true), "delete: filter \"^\\[(offers|ads)\\] [a-z]+\" in Subject"},
      {"an anchor at the value's start", With({"^cheap"}, {}, {"subject"}, true), ""},
      {"an anchor across the fold", With({"and casino nights$"}, {}, {"subject"}, true), "delete: filter \"and casino nights$\" in Subject"},
      {"expressions in raw lines", With({"^list-unsubscribe:.*leave@"}, {}, {}, true), "delete: filter \"^list-unsubscribe:.*leave@\" in List-Unsubscribe"},
      {"expressions ignore case", With({"CHEAP\\s+FLIGHTS"}, {}, {}, true), "delete: filter \"CHEAP\\s+FLIGHTS\" in Subject"},
      {"regex keep words", With({"flights"}, {"^to: \\w+@example\\.org$"}, {}, true), "kept: keep \"^to: \\w+@example\\.org$\" in To"},
      {"a regex in a signature value", With({"xcasinox"}, {}, {}, true), ""},
      {"dots are no wildcards without --regex", With({"cheap.flights"}), ""},
      {"larger than the limit", Big, "delete: larger than 1999"},
      {"not larger than the limit", Over(With({}), 2000), ""},
      {"a keep word holds a large message", BigKept, "kept: keep \"TEAM@\" in To"},
      {"size unknown", Big, "", true, Header, std::nullopt},
      {"TOP refused, no keep words: the size decides", Over(With({}), 5 << 20), "delete: larger than 5M", false, {}, 6 << 20},
      {"TOP refused, keep words: not deleted", BigKept, "unsure", false, {}},
      {"a line cut, keep words: not deleted", With({"flights"}, {"absent"}), "unsure", false},
      {"a line cut, no keep words: judged on what was read", With({"flights"}), "delete: filter \"flights\" in Subject", false},
      // RE2 does not backtrack: this ends at once.
      {"a hostile line", With({"(a+)+b"}, {}, {}, true), "", true, {"Subject: " + std::string(200000, 'a'), ""}},
  };
  for (const TCase& C : Cases) {
    TRules Rules;
    ASSERT_EQ(Rules.Take(C.Settings).Message(), "") << C.Name;
    const TRuling Got = Rules.Judge(C.Read, C.Whole, C.Size, true);
    // Without asking why, the same ruling and no words.
    const TRuling Quiet = Rules.Judge(C.Read, C.Whole, C.Size);
    EXPECT_TRUE(Quiet.Why.empty() && Quiet.Delete == Got.Delete && Quiet.Kept == Got.Kept) << C.Name;
    // Every flag, so that two set at once show as both.
    const std::string Flags = std::string(Got.Delete ? "delete" : "") + (Got.Kept ? "kept" : "");
    EXPECT_EQ(Flags + (Got.Unsure ? "unsure" : "") + (Got.Why.empty() ? "" : ": " + Got.Why), C.Expected) << C.Name;
  }
}

TEST(Rules, ExpressionsThatCannotServeAreRefused) {
  const struct {
    TRuleSettings Settings;
    const char* Why;  // "" when taken
  } Cases[] = {
      {With({"ok"}, {"[z-a]"}, {}, true), "\"[z-a]\" is not a valid regular expression: invalid character class range: z-a"},
      {With({"spam|"}, {}, {}, true), "the filter expression \"spam|\" matches an empty text, so it would delete every message"},
      {With({"spam", "x|"}, {}, {}, true), "the filter expression \"x|\" matches an empty text, so it would delete every message"},
      {With({"(a"}), ""},                        // plain words are never compiled
      {With({"x"}, {".*"}, {}, true), ""},       // a keep expression that matches anything only keeps
      {With({"", "x"}, {}, {}, true), ""},       // an empty word matches nothing, as without --regex
  };
  for (const auto& C : Cases) {
    TRules Rules;
    EXPECT_EQ(Rules.Take(C.Settings).Message(), C.Why);
  }
}

}  // namespace
