// The program itself against a real Dovecot, run through the end-to-end
// harness: a private network namespace per scenario, the program's output to a
// file, a pseudo-terminal, a pipe or a full device.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/requirement.h"

using namespace quorrel;

namespace {

class Session : public ::testing::Test {
 protected:
  void SetUp() override { QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot)); }
  // Runs S into O; a scenario that could not run at all ends the test.
  void Run(const TScenario& S) {
    O = E2E.Run(S);
    ASSERT_EQ(O.Trouble, "");
  }

  TEndToEnd E2E;
  TOutcome O;
};

const std::vector<std::string> Login = {"alice", "secret", "127.0.0.1"};

// The banner and the count line a sweep of Messages begins with.
std::string Found(const std::vector<std::string>& Messages) {
  return Banner + std::to_string(Messages.size()) + " emails found, " + SizeOf(Messages) + " bytes\r\n";
}

// Removes the colour sequences the console module writes.
std::string WithoutColours(const std::string& Text) {
  static const std::regex Sgr("\x1b\\[0(;[0-9]+)*m");
  return std::regex_replace(Text, Sgr, "");
}

size_t Occurrences(const std::string& Text, const std::string& Part) {
  size_t Count = 0;
  for (size_t At = 0; (At = Text.find(Part, At)) != std::string::npos; At += Part.size()) ++Count;
  return Count;
}

size_t Lines(const std::string& Text) { return size_t(std::count(Text.begin(), Text.end(), '\n')); }

TEST_F(Session, FewerThanThreeParametersPrintUsageAndConnectNowhere) {
  ASSERT_NO_FATAL_FAILURE(Run({.Runs = {{}, {"alice"}, {"alice", "secret"}}, .Peer = TPeer::RecordingListener}));
  for (size_t I = 0; I < 3; ++I)
    EXPECT_EQ(O.Outputs[I], Banner + "quorrel UserName Passwod Server [Filter1] [...]\r\n") << I << " parameters";
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(O.Connections, 0);
}

TEST_F(Session, ThreeParametersListEverythingAndDeleteNothing) {
  const TScenario S{
      .Messages = {Message({"From: Ann <ann@example.net>", "Subject: Minutes"}),
                   Message({"From: Shop <promo@shop.example>", "Subject: Special offer", "X-Spam-Flag: YES"}),
                   Message({"From: Bob <bob@example.net>", "Subject: Lunch?"})},
      .Runs = {Login}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "3:Lunch? NO FILTER\r\n SKIPPED\r\n"
                                              "2:Special offer NO FILTER\r\n SKIPPED\r\n"
                                              "1:Minutes NO FILTER\r\n SKIPPED\r\n");
  EXPECT_EQ(O.Statuses[0], 0);
  EXPECT_EQ(O.Left, (std::vector<int>{1, 2, 3}));
  EXPECT_NE(O.Log.find("del=0/3"), std::string::npos) << O.Log;
}

TEST_F(Session, FiltersMatchAnyHeaderInAnyCaseFromTheLastMessageDown) {
  // "-v" and "-offer" are no filters; "offer" alone catches message 2, "promo" the
  // From line of 3, "spam" the X-Spam-Flag line of 5. Message 4 says "offer" and
  // "spam" only in its body, which is never fetched.
  const TScenario S{.Messages = {Message({"From: Ann <ann@example.net>", "Subject: Minutes of Monday"}),
                                 Message({"From: Shop <news@shop.example>", "Subject: Our Special OFFER for you"}),
                                 Message({"From: Deals <PROMO@deals.example>", "Subject: Last chance"}),
                                 Message({"From: Ann <ann@example.net>", "Subject: Re: Minutes"},
                                         "Did you see the offer? Spam or not?"),
                                 Message({"From: x@y.example", "Subject: Hello friend", "X-Spam-Flag: YES"})},
                    .Runs = {With(Login, {"-v", "Offer", "-minutes", "promo", "SPAM"})}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "5:Hello friend DELETED\r\n4:Re: Minutes SKIPPED\r\n"
                                              "3:Last chance DELETED\r\n2:Our Special OFFER for you DELETED\r\n"
                                              "1:Minutes of Monday SKIPPED\r\n");
  EXPECT_EQ(O.Statuses[0], 0);
  EXPECT_EQ(O.Left, (std::vector<int>{1, 4}));
  // The deletions took effect at QUIT.
  EXPECT_NE(O.Log.find("Logged out top=5/"), std::string::npos) << O.Log;
  EXPECT_NE(O.Log.find("del=3/5"), std::string::npos) << O.Log;
}

TEST_F(Session, ParametersBeginningWithADashAreNoFilters) {
  const TScenario S{.Messages = {Message({"Subject: -v offer"}), Message({"Subject: spam -x"})},
                    .Runs = {With(Login, {"-v", "-x", "-"})}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "2:spam -x SKIPPED\r\n1:-v offer SKIPPED\r\n");
  EXPECT_EQ(O.Left, (std::vector<int>{1, 2}));
}

TEST_F(Session, WrongPasswordSaysLoginErrorAndStillQuits) {
  ASSERT_NO_FATAL_FAILURE(Run({.Messages = {Message({"Subject: offer"})},
                               .Runs = {{"alice", "wrong", "127.0.0.1", "offer"}},
                               .StderrExpected = true}));
  EXPECT_EQ(O.Outputs[0], Banner + "Login Error\r\n");
  EXPECT_EQ(O.Statuses[0], 0);
  // Standard error says why, in the server's own words.
  EXPECT_EQ(O.Errors[0].rfind("quorrel: login refused by 127.0.0.1:110: the server said -ERR", 0), 0u) << O.Errors[0];
  EXPECT_EQ(Lines(O.Errors[0]), 1u) << O.Errors[0];
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
  EXPECT_NE(O.Log.find("Aborted login by logging out"), std::string::npos) << O.Log;
}

TEST_F(Session, NothingListeningSaysLoginError) {
  ASSERT_NO_FATAL_FAILURE(
      Run({.Runs = {With(Login, {"offer"}), {"alice", "secret", "no-such-host.invalid", "offer", "--port", "995"}},
           .Peer = TPeer::Nothing,
           .StderrExpected = true}));
  EXPECT_EQ(O.Outputs, (std::vector<std::string>(2, Banner + "Login Error\r\n")));
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0}));
  EXPECT_EQ(O.Errors[0], "quorrel: cannot connect to 127.0.0.1:110: Connection refused (10061)\n");
  EXPECT_EQ(O.Errors[1].rfind("quorrel: cannot connect to no-such-host.invalid:995: ", 0), 0u) << O.Errors[1];
  EXPECT_NE(O.Errors[1].find("(11001)"), std::string::npos) << O.Errors[1];
}

TEST_F(Session, EmptyMailboxPrintsTheCountOnly) {
  ASSERT_NO_FATAL_FAILURE(Run({.Runs = {With(Login, {"offer"}), Login}}));
  EXPECT_EQ(O.Outputs, (std::vector<std::string>(2, Banner + "0 emails found, 0 bytes\r\n")));
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0}));
}

TEST_F(Session, SubjectLookup) {
  const TScenario S{.Messages = {Message({"From: a@example.net", "To: b@example.net"}),
                                 Message({"Subject: first", "From: a@example.net", "subject: second"}),
                                 Message({"SUBJECT:Hi", "From: a@example.net"}),
                                 Message({"Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=", "X-Folded: a"}),
                                 Message({"Subject: Long", " folded on", "From: a@example.net"})},
                    .Runs = {With(Login, {"nomatch"})}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "5:Long SKIPPED\r\n4:=?UTF-8?Q?Gr=C3=BC=C3=9Fe?= SKIPPED\r\n"
                                              "3:i SKIPPED\r\n2:second SKIPPED\r\n1: SKIPPED\r\n");
}

TEST_F(Session, FileOutputCarriesSubjectsByteForByteAndNoColours) {
  const std::string Hostile = "Win \x1b]0;pwned\x07\x1b[2J\x1b[1A\x7f";
  const TScenario S{.Messages = {Message({"Subject: " + Hostile}), Message({"Subject: \xc3\xa9t\xc3\xa9 offer"})},
                    .Runs = {With(Login, {"offer"})}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "2:\xc3\xa9t\xc3\xa9 offer DELETED\r\n1:" + Hostile + " SKIPPED\r\n");
}

TEST_F(Session, TerminalShowsColouredVerdictsAndNoRawControlBytes) {
  const std::string Hostile = "Win \x1b]0;pwned\x07\x1b[2J\tx\x7f\x01";
  const TScenario S{.Messages = {Message({"Subject: " + Hostile}), Message({"Subject: Special offer"})},
                    .Runs = {With(Login, {"offer"}), Login},
                    .Output = TOutputTo::Terminal};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  const std::string Shown = "Win ^[]0;pwned^G^[[2J^Ix^?^A";
  const std::string Yellow = "\x1b[0;93m", Green = "\x1b[0;32m", Previous = "\x1b[0m";
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "2:Special offer" + Yellow + " DELETED\r\n" + Previous + "1:" + Shown +
                              Green + " SKIPPED\r\n" + Previous);
  EXPECT_EQ(O.Statuses[0], 0);
  // The second run finds the offer gone and lists what is left.
  EXPECT_EQ(O.Outputs[1], Found({S.Messages[0]}) + "1:" + Shown + " NO FILTER\r\n" + Green + " SKIPPED\r\n" + Previous);
  for (const auto& Output : O.Outputs) EXPECT_EQ(WithoutColours(Output).find('\x1b'), std::string::npos);
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
}

TEST_F(Session, HelpVersionAndBadOptionsConnectNowhere) {
  ASSERT_NO_FATAL_FAILURE(Run({.Runs = {{"--help"},
                                        With(Login, {"--version"}),
                                        With(Login, {"offer", "--dry-run=yes"}),
                                        With(Login, {"--port", "0"}),
                                        With(Login, {"--port=65536"}),
                                        With(Login, {"--tls", "--ca-file", "/nonexistent/ca.pem"}),
                                        With(Login, {"--tls", "--starttls"}),
                                        With(Login, {"--insecure"}),
                                        With(Login, {"--port"})},
                               .Peer = TPeer::RecordingListener,
                               .StderrExpected = true}));
  EXPECT_EQ(O.Outputs[0].rfind(Banner + "Usage: quorrel [options] UserName Password Server", 0), 0u) << O.Outputs[0];
  EXPECT_NE(O.Outputs[0].find("--dry-run"), std::string::npos);
  EXPECT_EQ(O.Outputs[1], Banner);
  EXPECT_EQ(O.Outputs[2], "");
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 2, 2, 2, 2, 2, 2, 2}));
  EXPECT_NE(O.Errors[2].find("--dry-run takes no value"), std::string::npos) << O.Errors[2];
  for (size_t I = 3; I < O.Outputs.size(); ++I) {
    EXPECT_EQ(O.Outputs[I], "") << "run " << I;
    EXPECT_EQ(Lines(O.Errors[I]), 1u) << O.Errors[I];
  }
  EXPECT_NE(O.Errors[3].find("'0' is not a port number"), std::string::npos) << O.Errors[3];
  EXPECT_NE(O.Errors[5].find("/nonexistent/ca.pem"), std::string::npos) << O.Errors[5];
  EXPECT_EQ(O.Errors[0] + O.Errors[1], "");
  EXPECT_EQ(O.Connections, 0);
}

TEST_F(Session, DryRunDeletesNothingWhereverTheOptionStands) {
  const TScenario S{.Messages = {Message({"Subject: Minutes"}), Message({"Subject: Special offer"})},
                    .Runs = {{"--dry-run", "alice", "secret", "127.0.0.1", "offer"},
                             {"alice", "--dry-run", "secret", "127.0.0.1", "offer"},
                             With(Login, {"offer", "--dry-run"})}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs, (std::vector<std::string>(3, Found(S.Messages) + "2:Special offer WOULD DELETE\r\n"
                                                                        "1:Minutes SKIPPED\r\n")));
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(O.Left, (std::vector<int>{1, 2}));
  // Every run ended with QUIT and marked nothing.
  EXPECT_EQ(Occurrences(O.Log, "Logged out top=2/"), 3u) << O.Log;
  EXPECT_EQ(O.Log.find("DELE"), std::string::npos);
  EXPECT_EQ(O.Log.find("del=1"), std::string::npos) << O.Log;
}

TEST_F(Session, DoubleDashLetsAPasswordBeginWithDashes) {
  // In the first run "--dry-run" is the password; behind "--" it is a parameter
  // (and, from the fourth on, one that is ignored), never the option.
  const TScenario S{.Messages = {Message({"Subject: Minutes"}), Message({"Subject: Special offer"})},
                    .Runs = {{"--dry-run", "alice", "--", "--dry-run", "127.0.0.1", "offer"},
                             {"alice", "--", "--dry-run", "127.0.0.1", "offer", "--dry-run"}},
                    .Password = "--dry-run"};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "2:Special offer WOULD DELETE\r\n1:Minutes SKIPPED\r\n");
  EXPECT_EQ(O.Outputs[1], Found(S.Messages) + "2:Special offer DELETED\r\n1:Minutes SKIPPED\r\n");
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
}

TEST_F(Session, OutputThatCannotBeWrittenEndsTheSessionWithoutQuit) {
  // Far more output than a pipe holds, so that writes go on after its reader is gone.
  TScenario S{.Runs = {With(Login, {"offer"})}, .Output = TOutputTo::FirstLineOnly, .StderrExpected = true};
  for (int I = 0; I < 40; ++I) S.Messages.push_back(Message({"Subject: offer " + std::string(3000, 'a' + I % 26)}));
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Banner);
  EXPECT_EQ(O.Statuses[0], 1) << "not killed by SIGPIPE, and not a success";
  EXPECT_NE(O.Errors[0].find("could not be written"), std::string::npos) << O.Errors[0];
  EXPECT_EQ(O.Left.size(), 40u);
  EXPECT_EQ(O.Log.find("Logged out"), std::string::npos) << O.Log;
}

TEST_F(Session, AFullDiskLosesNoMail) {
  ASSERT_NO_FATAL_FAILURE(Run({.Messages = {Message({"Subject: Minutes"}), Message({"Subject: Special offer"})},
                               .Runs = {With(Login, {"offer"})},
                               .Output = TOutputTo::FullDevice,
                               .StderrExpected = true}));
  EXPECT_EQ(O.Statuses[0], 1);
  EXPECT_NE(O.Errors[0].find("No space left on device"), std::string::npos) << O.Errors[0];
  EXPECT_EQ(O.Left, (std::vector<int>{1, 2}));
  EXPECT_EQ(O.Log.find("Logged out"), std::string::npos) << O.Log;
}

TEST_F(Session, TerminalMasksC1ControlsButNotUtf8Text) {
  const std::string Subject = "a\x9b" "2Jb \xc2\x9b" "31m c \xe2\x80\x94 \xe2\x80\x9c" "d\xe2\x80\x9d";
  const TScenario S{.Messages = {Message({"Subject: " + Subject}), Message({"Subject: lone \x9f" "byte"})},
                    .Runs = {With(Login, {"nomatch"})},
                    .Output = TOutputTo::Terminal};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(WithoutColours(O.Outputs[0]),
            Found(S.Messages) + "2:lone M-^_byte SKIPPED\r\n" +
                "1:aM-^[2Jb M-^[31m c \xe2\x80\x94 \xe2\x80\x9c" "d\xe2\x80\x9d SKIPPED\r\n");
}

TEST_F(Session, SignatureValuesHoldingAFilterWordDeleteNothing) {
  const TScenario S{
      .Messages = {Message({"DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=news.example; s=s1;",
                            "\th=from:to:subject:date; bh=2jUSOH9NhtVGCQWNr9BrIAPreKQjO6Sn7XIkfJVOzv8=;",
                            "\tb=kzXaoFFeRj1Yqd0R5wTz9bq3d8c0mZxQ1OrEL1C8wW5hIkB3b8OfferPzcA2y7T",
                            "\t Gm9sxN0r4e8q+u5fV7w==", "From: News <news@news.example>", "Subject: Monthly news"}),
                   Message({"DKIM-Signature: v=1; a=rsa-sha256; d=offer.example; s=s1; bh=abc=; b=xyz",
                            "From: Shop <shop@offer.example>", "Subject: Hello"})},
      .Runs = {With(Login, {"offer"})}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "2:Hello DELETED\r\n1:Monthly news SKIPPED\r\n");
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
}

TEST_F(Session, DecodeMatchesAndShowsWhatTheReaderSees) {
  // Subjects as senders encode and fold them, each matched only once decoded.
  const std::vector<std::string> Filters = {
      "viagra", "100 \xe2\x82\xac", "\xd0\xb2\xd0\xb8\xd0\xb0\xd0\xb3\xd1\x80\xd0\xb0", "free cruise", "lottery"};
  // Without --decode nothing changes; with it the encoded and folded spam goes.
  const TScenario S{
      .Messages = {Message({"From: a@spam.example", "Subject: =?UTF-8?B?VmlhZ3JhIGNoZWFw?="}),
                   Message({"From: Oma <oma@example.net>", "Subject: =?ISO-8859-1?Q?Gr=FC=DFe_von_Oma?="}),
                   Message({"Subject: =?ISO-8859-15?Q?Nur_100_=A4?="}),
                   Message({"Subject: =?windows-1251?B?wujg4/Dg?="}),
                   Message({"Subject: Win a free", "\tcruise today", "To: b@example.net"}),
                   Message({"Subject: =?UTF-8?B?TG90dGVy?=", " =?UTF-8?B?eSB3aW5uZXI=?="}),
                   Message({"Subject: =?X-UNKNOWN?B?VmlhZ3Jh?= =?UTF-8?B?!!?= =?UTF-8?Q?=FF?="}),
                   Message({"Subject: =?UTF-8?Q?Hello=0D=0A1:Fake?="}), Message({"Subject: Minutes"})},
      .Runs = {With(Login, Filters), With(With(Login, Filters), {"--decode"}), With({"--decode"}, Login)}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "9:Minutes SKIPPED\r\n"
                                              "8:=?UTF-8?Q?Hello=0D=0A1:Fake?= SKIPPED\r\n"
                                              "7:=?X-UNKNOWN?B?VmlhZ3Jh?= =?UTF-8?B?!!?= =?UTF-8?Q?=FF?= SKIPPED\r\n"
                                              "6:=?UTF-8?B?TG90dGVy?= SKIPPED\r\n"
                                              "5:Win a free SKIPPED\r\n"
                                              "4:=?windows-1251?B?wujg4/Dg?= SKIPPED\r\n"
                                              "3:=?ISO-8859-15?Q?Nur_100_=A4?= SKIPPED\r\n"
                                              "2:=?ISO-8859-1?Q?Gr=FC=DFe_von_Oma?= SKIPPED\r\n"
                                              "1:=?UTF-8?B?VmlhZ3JhIGNoZWFw?= SKIPPED\r\n");
  EXPECT_EQ(O.Outputs[1], Found(S.Messages) + "9:Minutes SKIPPED\r\n"
                                              "8:Hello  1:Fake SKIPPED\r\n"
                                              "7:=?X-UNKNOWN?B?VmlhZ3Jh?= =?UTF-8?B?!!?= =?UTF-8?Q?=FF?= SKIPPED\r\n"
                                              "6:Lottery winner DELETED\r\n"
                                              "5:Win a free cruise today DELETED\r\n"
                                              "4:\xd0\x92\xd0\xb8\xd0\xb0\xd0\xb3\xd1\x80\xd0\xb0 DELETED\r\n"
                                              "3:Nur 100 \xe2\x82\xac DELETED\r\n"
                                              "2:Gr\xc3\xbc\xc3\x9f" "e von Oma SKIPPED\r\n"
                                              "1:Viagra cheap DELETED\r\n");
  EXPECT_EQ(O.Outputs[2], Found({S.Messages[1], S.Messages[6], S.Messages[7], S.Messages[8]}) +
                              "4:Minutes NO FILTER\r\n SKIPPED\r\n"
                              "3:Hello  1:Fake NO FILTER\r\n SKIPPED\r\n"
                              "2:=?X-UNKNOWN?B?VmlhZ3Jh?= =?UTF-8?B?!!?= =?UTF-8?Q?=FF?= NO FILTER\r\n SKIPPED\r\n"
                              "1:Gr\xc3\xbc\xc3\x9f" "e von Oma NO FILTER\r\n SKIPPED\r\n");
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(O.Left, (std::vector<int>{2, 7, 8, 9}));
}

TEST_F(Session, DecodedSubjectsAreMaskedOnATerminal) {
  const TScenario S{.Messages = {Message({"Subject: =?UTF-8?Q?Hi=1B]0;pwned=07_=C2=9B2J_=E2=80=94_ok?="}),
                                 Message({"Subject: =?UTF-8?B?T2ZmZXI=?="})},
                    .Runs = {With(Login, {"OFFER", "--decode"})},
                    .Output = TOutputTo::Terminal};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(WithoutColours(O.Outputs[0]),
            Found(S.Messages) + "2:Offer DELETED\r\n1:Hi^[]0;pwned^G M-^[2J \xe2\x80\x94 ok SKIPPED\r\n");
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
}

TEST_F(Session, DecodedSignatureValuesDeleteNothing) {
  const TScenario S{.Messages = {Message({"DKIM-Signature: v=1; a=rsa-sha256; d=news.example; s=s1;",
                                          "\tbh==?UTF-8?Q?offer?=; b=Gm9sxN0r4e8q=?UTF-8?B?T0ZGRVI=?=",
                                          "\t =?UTF-8?Q?Offer?=", "Subject: =?UTF-8?Q?Monthly_news?="})},
                    .Runs = {With(Login, {"offer", "--decode"})}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "1:Monthly news SKIPPED\r\n");
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
}

TEST_F(Session, SweepsOverImplicitTlsAndStls) {
  const TScenario S{
      .Messages = {Message({"Subject: Minutes"}), Message({"Subject: Special offer"}), Message({"Subject: Lottery"})},
      .Runs = {{"--tls", "--ca-file", "{CA}", "alice", "secret", "127.0.0.1", "offer"},
               {"alice", "secret", "localhost", "lottery", "--starttls", "--ca-file={CA}"},
               {"--tls", "--port", "110", "--ca-file", "{CA}", "alice", "secret", "127.0.0.1"}}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "3:Lottery SKIPPED\r\n2:Special offer DELETED\r\n1:Minutes SKIPPED\r\n");
  EXPECT_EQ(O.Outputs[1], Found({S.Messages[0], S.Messages[2]}) + "2:Lottery DELETED\r\n1:Minutes SKIPPED\r\n");
  // Port 110 does not speak TLS from the first byte.
  EXPECT_EQ(O.Outputs[2].rfind(Banner + "TLS Error: ", 0), 0u) << O.Outputs[2];
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
  EXPECT_EQ(Occurrences(O.Log, "Login: user=<alice>"), 2u) << O.Log;
  EXPECT_EQ(Occurrences(O.Log, ", TLS, "), 2u) << O.Log;
}

TEST_F(Session, CertificatesThatDoNotProveTheServerStopTheLogin) {
  const TScenario S{.Messages = {Message({"Subject: Special offer"})},
                    .Runs = {With(Login, {"offer", "--tls"}),  // the system's store knows no test CA
                             With(Login, {"offer", "--tls", "--ca-file", "{CA}"}),  // the address does not match
                             {"alice", "secret", "localhost", "offer", "--starttls", "--ca-file", "{CA}"},  // nor name
                             With(Login, {"--dry-run", "--tls", "--insecure"})},
                    .CertNames = "DNS:mail.example",  // signed by the test's CA, but for another name
                    .StderrExpected = true};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  for (size_t I = 0; I < 3; ++I) {
    EXPECT_EQ(O.Outputs[I].rfind(Banner + "TLS Error: ", 0), 0u) << O.Outputs[I];
    EXPECT_NE(O.Outputs[I].find("certificate verify failed"), std::string::npos) << O.Outputs[I];
    EXPECT_EQ(O.Statuses[I], 0);
  }
  EXPECT_NE(O.Outputs[1].find("IP address mismatch"), std::string::npos) << O.Outputs[1];
  EXPECT_NE(O.Outputs[2].find("hostname mismatch"), std::string::npos) << O.Outputs[2];
  EXPECT_EQ(O.Outputs[3], Found(S.Messages) + "1:Special offer NO FILTER\r\n SKIPPED\r\n");
  EXPECT_NE(O.Errors[3].find("--insecure"), std::string::npos) << O.Errors[3];
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
  // Only the insecure run logged in.
  EXPECT_EQ(Occurrences(O.Log, "Login: user=<alice>"), 1u) << O.Log;
}

TEST_F(Session, StartTlsWithoutStlsSendsNoCredentials) {
  ASSERT_NO_FATAL_FAILURE(Run({.Messages = {Message({"Subject: Special offer"})},
                               .Runs = {With(Login, {"offer", "--starttls", "--insecure"})},
                               .NoTls = true,
                               .StderrExpected = true}));
  EXPECT_EQ(O.Outputs[0], Banner + "TLS Error: STLS not offered by the server\r\n");
  EXPECT_EQ(O.Statuses[0], 0);
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
  EXPECT_NE(O.Log.find("no auth attempts"), std::string::npos) << O.Log;
  EXPECT_EQ(O.Log.find("alice"), std::string::npos) << O.Log;
}

TEST_F(Session, PasswordFromTheFirstLineOfStandardInput) {
  // Run's check that nothing went to standard error shows there was no prompt,
  // as the input is no terminal.
  const TScenario S{.Messages = {Message({"Subject: Special offer"})},
                    .Runs = {{"alice", "-", "127.0.0.1", "--dry-run", "offer"},
                             {"alice", "--", "-", "127.0.0.1", "offer"}},
                    .Input = "secret\r\nsecond line\n"};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "1:Special offer WOULD DELETE\r\n");
  EXPECT_EQ(O.Outputs[1], Found(S.Messages) + "1:Special offer DELETED\r\n");
  EXPECT_EQ(O.Left, std::vector<int>{});
}

TEST_F(Session, NoPasswordOnStandardInputSendsNothing) {
  ASSERT_NO_FATAL_FAILURE(Run(
      {.Runs = {{"alice", "-", "127.0.0.1", "offer"}}, .Peer = TPeer::RecordingListener, .StderrExpected = true}));
  EXPECT_EQ(O.Statuses[0], 2);
  EXPECT_NE(O.Errors[0].find("no password could be read"), std::string::npos) << O.Errors[0];
  EXPECT_EQ(O.Connections, 0);
}

TEST_F(Session, AHeaderLineBeyond64KiBIsCutAndTheSweepGoesOn) {
  // "lottery" stands beyond the first 64 KiB of its line, where nothing is matched.
  const std::string Kib100(100 * 1024, 'a');
  const TScenario S{.Messages = {Message({"Subject: Minutes"}),
                                 Message({"X-Long: offer " + Kib100, "Subject: Big one"}),
                                 Message({"X-Long: " + Kib100 + " lottery", "Subject: Tail"})},
                    .Runs = {With(Login, {"offer", "lottery"}), Login}};
  ASSERT_NO_FATAL_FAILURE(Run(S));
  EXPECT_EQ(O.Outputs[0], Found(S.Messages) + "3:Tail SKIPPED\r\n2:Big one DELETED\r\n1:Minutes SKIPPED\r\n");
  EXPECT_EQ(O.Statuses[0], 0);
  EXPECT_EQ(O.Left, (std::vector<int>{1, 3}));
  EXPECT_NE(O.Log.find("del=1/3"), std::string::npos) << O.Log;
}

}  // namespace
