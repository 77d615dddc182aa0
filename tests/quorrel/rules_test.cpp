#include "quorrel/rules.h"

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

TSettings With(std::vector<std::string> Filters, std::vector<std::string> Keeps = {},
               std::vector<std::string> Fields = {}, bool Regex = false, bool Decode = false) {
  TSettings S;
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
    TSettings Settings;
    TRuling Expected;  // Delete, Kept, Unsure
    bool Whole = true;
    Lines Read = Header;  // what TOP gave
    std::optional<uint64_t> Size = 2000;
  };
  TSettings Big = With({}, {});
  Big.LargerThan = 1999;
  TSettings BigKept = With({}, {"TEAM@"});
  BigKept.LargerThan = 1999;
  TSettings NotBig = With({}, {});
  NotBig.LargerThan = 2000;
  const TCase Cases[] = {
      {"a plain word in any line, any case", With({"FLIGHTS"}), {true, false, false}},
      {"a word only in a signature value", With({"xcasinox"}), {}},
      {"a keep word wins over a match", With({"flights"}, {"team@example"}), {false, true, false}},
      {"a keep word alone keeps", With({}, {"team@"}), {false, true, false}},
      {"keep words are not scoped by fields", With({"flights"}, {"team@"}, {"subject"}), {false, true, false}},
      {"a field scope ignores the word elsewhere", With({"lists.example"}, {}, {"subject"}), {}},
      {"a field scope finds it in that field", With({"lists.example"}, {}, {"subject", "from"}), {true, false, false}},
      {"a folded field is one field", With({"and casino"}, {}, {"subject"}), {true, false, false}},
      {"the field name is not its value", With({"subject"}, {}, {"subject"}), {}},
      {"no fold in raw lines", With({"and casino"}), {}},
      {"a decoded keep word keeps", With({"flights"}, {"jürgen"}, {}, false, true), {false, true, false}},
      {"not decoded without --decode", With({"flights"}, {"jürgen"}), {true, false, false}},
      {"a decoded word in a scoped field", With({"JÜRGEN"}, {}, {"from"}, false, true), {true, false, false}},
      {"an anchored class in a field", With({"^\\[(offers|ads)\\] [a-z]+"}, {}, {"subject"}, true), {true, false, false}},
      {"an anchor at the value's start", With({"^cheap"}, {}, {"subject"}, true), {}},
      {"an anchor across the fold", With({"and casino nights$"}, {}, {"subject"}, true), {true, false, false}},
      {"expressions in raw lines", With({"^list-unsubscribe:.*leave@"}, {}, {}, true), {true, false, false}},
      {"expressions ignore case", With({"CHEAP\\s+FLIGHTS"}, {}, {}, true), {true, false, false}},
      {"regex keep words", With({"flights"}, {"^to: \\w+@example\\.org$"}, {}, true), {false, true, false}},
      {"a regex in a signature value", With({"xcasinox"}, {}, {}, true), {}},
      {"dots are no wildcards without --regex", With({"cheap.flights"}), {}},
      {"larger than the limit", Big, {true, false, false}},
      {"not larger than the limit", NotBig, {}},
      {"a keep word holds a large message", BigKept, {false, true, false}},
      {"size unknown", Big, {}, true, Header, std::nullopt},
      {"TOP refused, no keep words: the size decides", Big, {true, false, false}, false, {}},
      {"TOP refused, keep words: not deleted", BigKept, {false, false, true}, false, {}},
      {"a line cut, keep words: not deleted", With({"flights"}, {"absent"}), {false, false, true}, false},
      {"a line cut, no keep words: judged on what was read", With({"flights"}), {true, false, false}, false},
      // RE2 does not backtrack: this ends at once.
      {"a hostile line", With({"(a+)+b"}, {}, {}, true), {}, true, {"Subject: " + std::string(200000, 'a'), ""}},
  };
  for (const TCase& C : Cases) {
    TRules Rules;
    ASSERT_EQ(Rules.Take(C.Settings), "") << C.Name;
    const TRuling Got = Rules.Judge(C.Read, C.Whole, C.Size);
    EXPECT_EQ(Got.Delete, C.Expected.Delete) << C.Name;
    EXPECT_EQ(Got.Kept, C.Expected.Kept) << C.Name;
    EXPECT_EQ(Got.Unsure, C.Expected.Unsure) << C.Name;
  }
}

TEST(Rules, ExpressionsThatCannotServeAreRefused) {
  const struct {
    TSettings Settings;
    const char* Why;  // "" when taken
  } Cases[] = {
      {With({"ok"}, {"[z-a]"}, {}, true), "\"[z-a]\" is not a valid regular expression: invalid character class range: z-a"},
      {With({"spam|"}, {}, {}, true), "the filter expression \"spam|\" matches an empty text, so it would delete every message"},
      {With({"(a"}), ""},                        // plain words are never compiled
      {With({"x"}, {".*"}, {}, true), ""},       // a keep expression that matches anything only keeps
      {With({"", "x"}, {}, {}, true), ""},       // an empty word matches nothing, as without --regex
  };
  for (const auto& C : Cases) {
    TRules Rules;
    EXPECT_EQ(Rules.Take(C.Settings), C.Why);
  }
}

}  // namespace
