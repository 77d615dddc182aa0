// Classifiers as a second opinion, end to end against the real ones: bogofilter
// taught from the recycle bin, spamd and rspamd with rules of the tests' own,
// and commands of the user's that hang, crash or answer nonsense.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/classifiers.h"
#include "support/end_to_end.h"
#include "support/requirement.h"

using namespace quorrel;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Headers as mail carries them, so that a classifier's stock rules find
// nothing amiss in the ham.
std::string Mail(const std::string& Subject, const std::string& Body) {
  static int Count = 0;
  return Message({"From: Sam Sender <sender@example.net>", "To: alice@example.org",
                  "Date: Tue, 08 Dec 2026 10:00:00 +0000",
                  "Message-ID: <" + std::to_string(++Count) + ".quorrel@example.net>", "Subject: " + Subject},
                 Body);
}
std::string Pills(int N) { return Mail("Cheap pills offer " + std::to_string(N), "viagra casino pills discount"); }
std::string Meeting(int N) { return Mail("Project meeting " + std::to_string(N), "agenda minutes budget review"); }

// A dozen messages: spam (1, 3, 5, 9), ham (2, 4, 6, 7, 8, 10, 11) and spam
// that the keep word holds (12).
std::vector<std::string> Dozen(const std::string& Spam) {
  std::vector<std::string> Out;
  for (int N = 1; N <= 12; ++N) {
    const bool IsSpam = N == 1 || N == 3 || N == 5 || N == 9 || N == 12;
    Out.push_back(N == 12 ? Mail(Spam + " from VIP", "x") : IsSpam ? Mail(Spam + " " + std::to_string(N), "x")
                                                                     : Meeting(N));
  }
  return Out;
}

const std::vector<int> HamLeft = {2, 4, 6, 7, 8, 10, 11, 12};

class Classify : public ::testing::Test {
 protected:
  TEndToEnd E2E;
};

}  // namespace

// Taught from two bins, bogofilter's verdict changes: before, it cannot
// classify (status 2, nothing deleted); after, the spam goes to the bin and
// the ham stays, and the keep word wins without asking.
TEST_F(Classify, BogofilterTaughtFromTheBin) {
  QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
  QUORREL_REQUIRE_PROGRAMS("bogofilter");
  const std::vector<std::string> Bogofilter = {"--classifier", "bogofilter", "--classifier-db", "{D}/db", "--why"};
  TScenario S{.Messages = {Pills(1), Pills(2), Meeting(1), Meeting(2)}, .StderrExpected = true};
  S.Runs = {{"alice", "secret", "127.0.0.1", "--recycle", "{D}/spam", "pills"},
            {"alice", "secret", "127.0.0.1", "--recycle", "{D}/ham", "meeting"},
            With(Bogofilter, {"alice", "secret", "127.0.0.1"}),
            With(Bogofilter, {"--learn-spam", "{D}/spam", "--learn-ham", "{D}/ham"}),
            With(Bogofilter, {"--keep", "VIP", "--recycle", "{D}/bin", "alice", "secret", "127.0.0.1"})};
  S.DeliverBefore = {{}, {}, {Pills(3), Meeting(3)}, {}, {}};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Statuses[2], 2);
  EXPECT_THAT(O.Errors[2], HasSubstr("teach it first with --learn-spam and --learn-ham"));
  EXPECT_EQ(O.LeftAfter[2], (std::vector<int>{5, 6}));
  EXPECT_EQ(O.Statuses[3], 0) << O.Errors[3];
  EXPECT_EQ(O.Outputs[3], "bogofilter: 2 messages taught as spam, 2 messages as ham\r\n");
  EXPECT_EQ(O.Statuses[4], 0) << O.Errors[4];
  EXPECT_THAT(O.Outputs[4], HasSubstr("2:Project meeting 3 SKIPPED (bogofilter 0.0"));
  EXPECT_THAT(O.Outputs[4], HasSubstr("1:Cheap pills offer 3 DELETED (bogofilter "));
  EXPECT_EQ(O.Left, std::vector<int>{6});
  const std::vector<std::string> Bin = FilesIn(O.Folder + "/bin/new");
  ASSERT_EQ(Bin.size(), 1u);
  EXPECT_THAT(Bin[0], HasSubstr("; bogofilter "));
  EXPECT_THAT(Bin[0], HasSubstr("Subject: Cheap pills offer 3"));
}

// A command's exit status decides: 1 deletes, 0 and 2 keep, a keep word wins
// without asking it (the command would delete everything). With a command
// that hangs, crashes or answers nonsense nothing is deleted, standard error
// names the message and why, and --sysexits ends with 75.
TEST_F(Classify, CommandsAndTheirFailures) {
  QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
  // It notes each subject it is asked about, and would delete the VIP's too.
  const std::string Decides =
      "m=$(cat); echo \"$m\" | grep '^Subject' >> {D}/asked; case \"$m\" in *'Subject: Cheap'*) exit 1;; esac; exit 2";
  std::vector<TScenario> S(4);
  for (TScenario& One : S) One.Messages = Dozen("Cheap");
  S[0].Runs = {{"--classify-command", Decides, "--keep", "VIP", "--why", "alice", "secret", "127.0.0.1"}};
  const char* const Bad[] = {"sleep 20", "kill -SEGV $$", "echo nonsense; exit 7"};
  for (int I = 0; I < 3; ++I) {
    S[size_t(I) + 1].Runs = {{"--classify-command", Bad[I], "--classify-timeout", "300ms", "--sysexits",
                              "--no-pipelining", "alice", "secret", "127.0.0.1", "nomatch"}};
    // The one that hangs is given up after three messages: the rest wait for nothing.
    if (I > 0) S[size_t(I) + 1].Messages.resize(3);
    S[size_t(I) + 1].StderrExpected = true;
  }
  const std::vector<TOutcome> O = E2E.RunAll(S);
  for (const TOutcome& One : O) ASSERT_EQ(One.Trouble, "");
  EXPECT_EQ(O[0].Statuses[0], 0) << O[0].Errors[0];
  EXPECT_EQ(O[0].Left, HamLeft);
  EXPECT_THAT(O[0].Outputs[0], HasSubstr("12:Cheap from VIP KEPT (keep \"VIP\" in Subject)"));
  const std::string Asked = ReadFile(O[0].Folder + "/asked");
  EXPECT_EQ(std::count(Asked.begin(), Asked.end(), '\n'), 11) << Asked;
  EXPECT_THAT(Asked, Not(HasSubstr("VIP")));
  EXPECT_THAT(O[0].Outputs[0], HasSubstr("9:Cheap 9 DELETED (classify-command exit 1)"));
  EXPECT_THAT(O[0].Outputs[0], HasSubstr("8:Project meeting 8 SKIPPED (classify-command exit 2)"));
  const char* const Why[] = {"gave no answer within 300 ms", "was killed by signal 11", "ended with status 7"};
  for (int I = 0; I < 3; ++I) {
    const TOutcome& One = O[size_t(I) + 1];
    EXPECT_EQ(One.Statuses[0], 75) << Bad[I];
    EXPECT_EQ(One.Left.size(), I == 0 ? 12u : 3u) << Bad[I];
    EXPECT_THAT(One.Errors[0], HasSubstr(std::string(I == 0 ? "message 10" : "message 3") + ": classify-command: " +
                                         "the command " + Why[I]));
    if (I == 0) {
      EXPECT_THAT(One.Errors[0],
                  HasSubstr("message 9: classify-command is not asked again: it failed for 3 messages in a row"));
    }
    EXPECT_THAT(One.Outputs[0], HasSubstr("2:Project meeting 2 SKIPPED"));
  }
}

// spamd in its own protocol: the spam (a rule of the tests' own) goes to the
// bin, which then teaches spamd with TELL. Stopped before a run, spamd ends
// it with 69 before the mail server is contacted; killed during one, nothing
// is deleted after and the run ends with 75.
TEST_F(Classify, Spamd) {
  std::vector<TScenario> S(2);
  S[0] = {.Messages = Dozen(SpamMark), .Classifier = TClassifierPeer::Spamd, .StderrExpected = true};
  S[0].Runs = {{"--classifier", "spamassassin", "--keep", "VIP", "--why", "--recycle", "{D}/bin", "alice", "secret",
                "127.0.0.1"},
               {"--classifier", "spamassassin", "--learn-spam", "{D}/bin"},
               {"--classifier", "spamassassin", "--sysexits", "alice", "secret", "127.0.0.1"}};
  S[0].ClassifierDownBefore = {false, false, true};
  S[1] = {.Messages = Dozen(SpamMark), .Relay = true, .Classifier = TClassifierPeer::Spamd,
          .KillClassifierAfterTops = 6, .StderrExpected = true};
  S[1].Runs = {{"--classifier", "spamassassin", "--keep", "VIP", "--sysexits", "--no-pipelining", "--port", "1110",
                "alice", "secret", "127.0.0.1"}};
  for (const TScenario& One : S) QUORREL_REQUIRE(E2E.Missing(One));
  const std::vector<TOutcome> O = E2E.RunAll(S);
  for (const TOutcome& One : O) ASSERT_EQ(One.Trouble, "");
  EXPECT_EQ(O[0].Statuses[0], 0) << O[0].Errors[0];
  EXPECT_EQ(O[0].LeftAfter[0], HamLeft);
  EXPECT_THAT(O[0].Outputs[0], HasSubstr("9:" + SpamMark + " 9 DELETED (spamassassin 2"));
  EXPECT_THAT(O[0].Outputs[0], HasSubstr("/5.0)\r\n"));
  EXPECT_THAT(O[0].Outputs[0], HasSubstr("12:" + SpamMark + " from VIP KEPT"));
  size_t Checked = 0;  // the keep word's message was not sent
  for (size_t At = 0; (At = O[0].ClassifierLog.find("spamd: result: ", At)) != std::string::npos; ++At) ++Checked;
  EXPECT_EQ(Checked, 11u);
  EXPECT_EQ(FilesIn(O[0].Folder + "/bin/new").size(), 4u);
  EXPECT_EQ(O[0].Outputs[1], "spamassassin: 4 messages taught as spam, 0 messages as ham\r\n") << O[0].Errors[1];
  EXPECT_EQ(O[0].Statuses[2], 69);
  EXPECT_THAT(O[0].Errors[2], HasSubstr("spamassassin: spamd at 127.0.0.1:783 does not answer"));
  EXPECT_EQ(O[0].Left, HamLeft);
  // Dovecot saw the first run's login, not the last's.
  size_t Logins = 0;
  for (size_t At = 0; (At = O[0].Log.find("Login: user=<alice>", At)) != std::string::npos; ++At) ++Logins;
  EXPECT_EQ(Logins, 1u) << O[0].Log;

  EXPECT_EQ(O[1].ClassifierKills, 1);
  EXPECT_EQ(O[1].Statuses[0], 75) << O[1].Errors[0];
  // 9 was judged before spamd went; 5, 3 and 1 are kept, each named.
  EXPECT_EQ(O[1].Left, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12}));
  EXPECT_THAT(O[1].Errors[0], HasSubstr("message 5: "));
  EXPECT_THAT(O[1].Outputs[0], HasSubstr("1:" + SpamMark + " 1 SKIPPED"));
}

// rspamd over HTTP: its action "reject" deletes, the keep word wins without
// asking; the bin then teaches it through the controller.
TEST_F(Classify, Rspamd) {
  TScenario S{.Messages = Dozen(SpamMark), .Classifier = TClassifierPeer::Rspamd};
  QUORREL_REQUIRE(E2E.Missing(S));
  S.Runs = {{"--classifier", "rspamd", "--keep", "VIP", "--why", "--recycle", "{D}/bin", "alice", "secret", "127.0.0.1"},
            {"--classifier", "rspamd", "--learn-spam", "{D}/bin"}};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Statuses[0], 0) << O.Errors[0];
  EXPECT_EQ(O.Left, HamLeft);
  EXPECT_THAT(O.Outputs[0], HasSubstr("3:" + SpamMark + " 3 DELETED (rspamd reject "));
  EXPECT_THAT(O.Outputs[0], HasSubstr("2:Project meeting 2 SKIPPED (rspamd no action "));
  EXPECT_THAT(FilesIn(O.Folder + "/bin/new"), Each(HasSubstr("; rspamd reject ")));
  EXPECT_EQ(O.Statuses[1], 0) << O.Errors[1];
  EXPECT_EQ(O.Outputs[1], "rspamd: 4 messages taught as spam, 0 messages as ham\r\n");
}

// What the classifier sees: the header alone, or with --classify-lines the
// body lines too, where this message's spam is.
TEST_F(Classify, BodyLinesWithTheHeader) {
  const auto Body = [](const std::string& M) { return M.substr(M.find("\r\n\r\n") + 4); };
  const std::string Hidden = Message({"From: Carol <carol@example.org>", "To: alice@example.org", "Subject: Hello"},
                                     Body(TBogofilterDb::Spam()[0]) + Body(TBogofilterDb::Spam()[2]));
  const std::vector<std::string> Asked = {"--classifier", "bogofilter", "--classifier-db", "{D}/bogofilter",
                                          "--dry-run",    "--why",      "alice", "secret", "127.0.0.1"};
  TScenario S{.Messages = {Hidden}, .Runs = {Asked, With(Asked, {"--classify-lines", "3"})}, .BogofilterDb = true};
  QUORREL_REQUIRE(E2E.Missing(S));
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_THAT(O.Outputs[0], HasSubstr("1:Hello SKIPPED (bogofilter 0.0"));
  EXPECT_THAT(O.Outputs[1], HasSubstr("1:Hello WOULD DELETE (bogofilter 0.9"));
}

// spamd reached through a Unix socket, a path the run inside its network
// namespace still sees.
TEST_F(Classify, SpamdOnAUnixSocket) {
  QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
  QUORREL_REQUIRE(TSpamd::Missing());
  TSpamd Spamd;
  QUORREL_REQUIRE_STARTED(Spamd.StartUnix(), "spamd", Spamd.Log());
  const TOutcome O = E2E.Run({.Messages = {Mail(SpamMark + " 1", "x"), Meeting(2)},
                              .Runs = {{"--classifier", "spamassassin", "--classifier-address", Spamd.SocketPath,
                                        "alice", "secret", "127.0.0.1"}}});
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Statuses[0], 0) << O.Errors[0];
  EXPECT_EQ(O.Left, std::vector<int>{2});
}
