#include "quorrel/options.h"

#include <gtest/gtest.h>

namespace {

using Words = std::vector<std::string>;

TSettings Parsed(const Words& Args) {
  TSettings S;
  std::string Error;
  EXPECT_TRUE(ParseOptions(Args, S, Error)) << Error;
  return S;
}

std::string Refusal(const Words& Args) {
  TSettings S;
  std::string Error;
  EXPECT_FALSE(ParseOptions(Args, S, Error));
  return Error;
}

TEST(Options, StandAnywhereAndLeaveThePositionalOrderAlone) {
  for (const Words& Args : {Words{"--dry-run", "u", "p", "s", "offer"}, Words{"u", "p", "--dry-run", "s", "offer"},
                            Words{"u", "p", "s", "offer", "--dry-run"}}) {
    TSettings S = Parsed(Args);
    EXPECT_TRUE(S.DryRun);
    EXPECT_EQ(S.Positional, (Words{"u", "p", "s", "offer"}));
  }
  TSettings None = Parsed({"u", "p", "s"});
  EXPECT_FALSE(None.DryRun);
  EXPECT_FALSE(None.Help);
  EXPECT_FALSE(None.Version);
}

TEST(Options, OnlyExactSpellingsAreOptions) {
  // Everything else stays a parameter, to be ignored (or not) as it always was.
  TSettings S = Parsed({"u", "p", "s", "-v", "-x", "-", "--casino", "--dry", "--DRY-RUN", "-dry-run", "--dry-runs"});
  EXPECT_FALSE(S.DryRun);
  EXPECT_EQ(S.Positional, (Words{"u", "p", "s", "-v", "-x", "-", "--casino", "--dry", "--DRY-RUN", "-dry-run",
                                 "--dry-runs"}));
}

TEST(Options, DoubleDashEndsThemAndIsNotAParameter) {
  TSettings S = Parsed({"u", "--", "--dry-run", "s", "--help"});
  EXPECT_FALSE(S.DryRun);
  EXPECT_FALSE(S.Help);
  EXPECT_EQ(S.Positional, (Words{"u", "--dry-run", "s", "--help"}));
  // A second "--" after the first is a plain parameter.
  EXPECT_EQ(Parsed({"--", "--", "x"}).Positional, (Words{"--", "x"}));
}

TEST(Options, SwitchesTakeNoValue) {
  EXPECT_EQ(Refusal({"u", "p", "s", "--dry-run=yes"}), "--dry-run takes no value");
  EXPECT_NE(Refusal({"--help="}), "");
  EXPECT_TRUE(Parsed({"--help"}).Help);
  EXPECT_TRUE(Parsed({"--version"}).Version);
}

TEST(Options, HelpNamesEveryOption) {
  const std::string Help = HelpText("quorrel");
  EXPECT_EQ(Help.rfind("Usage: quorrel [options] UserName Password Server [Filter1] [...]\r\n", 0), 0u) << Help;
  for (const char* Name : {"--dry-run", "--decode", "--no-pipelining", "--help", "--version"})
    EXPECT_NE(Help.find(std::string("\r\n  ") + Name + " "), std::string::npos) << Name;
  EXPECT_EQ(Help.substr(Help.size() - 2), "\r\n");
}

}  // namespace
