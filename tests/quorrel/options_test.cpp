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

TEST(Options, PortsAndTheirBounds) {
  EXPECT_EQ(Parsed({"--port", "995"}).Port, "995");
  EXPECT_EQ(Parsed({"--port=1"}).Port, "1");
  EXPECT_EQ(Parsed({"--port", "0995"}).Port, "995");
  EXPECT_EQ(Parsed({"--port", "65535"}).Port, "65535");
  EXPECT_EQ(Parsed({"u"}).Port, "");
  for (const char* Bad : {"0", "65536", "99999", "-1", "+5", "1e3", "", " 80", "80 ", "pop3", "0x50", "123456"})
    EXPECT_EQ(Refusal({"--port", Bad}), std::string("--port: '") + Bad + "' is not a port number (1-65535)");
  EXPECT_EQ(Refusal({"u", "p", "s", "--port"}), "--port needs a value (N)");
}

TEST(Options, TlsSettingsGoTogether) {
  TSettings S = Parsed({"--starttls", "--ca-file", "/etc/hostname", "--insecure"});
  EXPECT_TRUE(S.StartTls);
  EXPECT_FALSE(S.Tls);
  EXPECT_EQ(S.CaFile, "/etc/hostname");
  EXPECT_TRUE(S.Insecure);
  EXPECT_TRUE(Parsed({"--tls"}).Tls);
  EXPECT_EQ(Refusal({"--tls", "--starttls"}), "--tls and --starttls exclude each other");
  EXPECT_EQ(Refusal({"--ca-file=/etc/hostname"}), "--ca-file needs --tls or --starttls");
  EXPECT_EQ(Refusal({"--insecure"}), "--insecure needs --tls or --starttls");
  EXPECT_EQ(Refusal({"--tls", "--ca-file", "/nonexistent"}), "--ca-file: cannot read the file '/nonexistent'");
  EXPECT_EQ(Refusal({"--tls", "--ca-file", "/etc"}), "--ca-file: cannot read the file '/etc'");
  EXPECT_EQ(Refusal({"--tls", "--ca-file="}), "--ca-file: cannot read the file ''");
}

TEST(Options, HelpNamesEveryOption) {
  const std::string Help = HelpText("quorrel");
  EXPECT_EQ(Help.rfind("Usage: quorrel [options] UserName Password Server [Filter1] [...]\r\n", 0), 0u) << Help;
  for (const char* Name : {"--dry-run", "--decode", "--no-pipelining", "--port", "--tls", "--starttls", "--ca-file",
                           "--insecure", "--help", "--version"})
    EXPECT_NE(Help.find(std::string("\r\n  ") + Name + " "), std::string::npos) << Name;
  EXPECT_EQ(Help.substr(Help.size() - 2), "\r\n");
}

}  // namespace
