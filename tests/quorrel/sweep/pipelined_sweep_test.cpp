// The pipelined sweep against a mailbox server of the tests' own that breaks
// the reply stream in the ways a real server would not: every header must be
// judged as its own message's, and no DELE may reach the server for a message
// whose own header did not match.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "quorrel/rules/header.h"
#include "quorrel/sweep/pipelined_sweep.h"
#include "quorrel/rules/rules.h"
#include "quorrel/sweep/sweep.h"
#include "support/dovecot.h"
#include "support/pop3_server.h"

using namespace quorrel;

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using Strings = std::vector<std::string>;
using TReply = TPop3MailboxServer::TReply;

namespace {

// Whether filter words alone delete a message with Header.
bool MatchesAnyFilter(const Strings& Header, const Strings& Words) {
  TRuleSettings Settings;
  Settings.FilterWords = Words;
  TRules Rules;
  return Rules.Take(Settings) && Rules.Judge(Header, true, std::nullopt).Delete;
}

const Strings Filter{"lottery"};

// Messages 1..Count; those in Spam carry the filter word in their subject.
std::vector<TPop3MailboxServer::TMessage> Mailbox(int Count, const std::set<int>& Spam, size_t Padding = 0) {
  std::vector<TPop3MailboxServer::TMessage> Out;
  for (int N = 1; N <= Count; ++N) {
    std::string Subject = (Spam.count(N) ? "Lottery win " : "Minutes ") + std::to_string(N);
    Out.push_back({"From: a@example.org\r\nSubject: " + Subject + "\r\nX-Pad: " + std::string(Padding, 'p') + "\r\n",
                   "Body " + std::to_string(N) + "\r\n"});
  }
  return Out;
}

std::string Name(TVerdict V) {
  switch (V) {
    case TVerdict::Skipped:
      return "SKIPPED";
    case TVerdict::Deleted:
      return "DELETED";
    case TVerdict::NotDeleted:
      return "NOT DELETED";
    case TVerdict::WouldDelete:
      return "WOULD DELETE";
    case TVerdict::Kept:
      return "KEPT";
  }
  return "?";
}

// One logged-in session and one sweep over it; the outcomes are kept as
// "n:subject VERDICT" lines.
struct TRun {
  TPOP3Send Session;
  TPipelinedSweep Sweep{Session};
  Strings Shown;
  std::vector<int> Judged;

  explicit TRun(const TPop3MailboxServer& Server, int TimeoutMs = 10000) {
    Session.Port = Server.PortText();
    Session.UserName = "u";
    Session.Password = "p";
    Session.TimeoutMs = TimeoutMs;
    Sweep.Judge = [this](int32_t N, const Strings& Header, bool) {
      Judged.push_back(N);
      return TSweepJudgement{MatchesAnyFilter(Header, Filter), HeaderValue(Header, "Subject")};
    };
    Sweep.Report = [this](int32_t N, const std::string& Note, TVerdict V) {
      Shown.push_back(std::to_string(N) + ":" + Note + " " + Name(V));
      return true;
    };
  }
  TSweepEnd Go() {
    if (!Session.Login() || !Session.Stat()) return TSweepEnd::NotStarted;
    return Sweep.Run(Session.MessageCount);
  }
};

// The lines one-at-a-time judgement gives for messages Count..1.
Strings Expected(int Count, const std::set<int>& Spam, TVerdict Match = TVerdict::Deleted) {
  Strings Out;
  for (int N = Count; N >= 1; --N)
    Out.push_back(std::to_string(N) + ":" + (Spam.count(N) ? "Lottery win " : "Minutes ") + std::to_string(N) + " " +
                  Name(Spam.count(N) ? Match : TVerdict::Skipped));
  return Out;
}

// Every DELE that reached the server names a message whose own header matched.
void ExpectOnlySpamDeleted(const TPop3MailboxServer& Server, const std::set<int>& Spam) {
  for (int N : Server.DeleteRequests()) EXPECT_TRUE(Spam.count(N)) << "DELE " << N << " reached the server";
}

// Where "TOP n 0" stands in the command stream, the command before it is the
// opening LIST or a LIST answered just before, and "LIST n" follows it.
void ExpectEveryTopFramedByLists(const Strings& Commands) {
  int Tops = 0;
  for (size_t I = 0; I < Commands.size(); ++I) {
    if (Commands[I].rfind("TOP ", 0) != 0) continue;
    ++Tops;
    const int N = std::stoi(Commands[I].substr(4));
    ASSERT_GT(I, 0u);
    ASSERT_LT(I + 1, Commands.size());
    const std::string& Before = Commands[I - 1];
    EXPECT_TRUE(Before == "LIST" || Before == "LIST " + std::to_string(N) || Before == "LIST " + std::to_string(N + 1))
        << "before TOP " << N << ": " << Before;
    EXPECT_EQ(Commands[I + 1], "LIST " + std::to_string(N));
  }
  EXPECT_GT(Tops, 0);
}

}  // namespace

TEST(PipelinedSweep, SweepsInOrderAndDeletesWhatMatches) {
  TPop3MailboxServer Server;
  const std::set<int> Spam{2, 4};
  Server.Messages = Mailbox(5, Spam);
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(5, Spam)));
  EXPECT_THAT(Run.Judged, ElementsAre(5, 4, 3, 2, 1));
  EXPECT_EQ(Run.Sweep.Marked, 2);
  EXPECT_EQ(Run.Sweep.FirstWindow, 5);
  EXPECT_EQ(Run.Session.RepliesOutstanding(), 0);
  Run.Session.Logout();
  EXPECT_EQ(Run.Session.ReplyStatus, 1);
  EXPECT_THAT(Server.DeleteRequests(), ElementsAre(4, 2));
  EXPECT_THAT(Server.Expunged(), ElementsAre(2, 4));
  ExpectEveryTopFramedByLists(Server.Commands());
}

// Messages judged before are skipped by both sweeps: no TOP, no line shown,
// and the others keep their order and verdicts.
TEST(PipelinedSweep, SkippedMessagesAreNeitherReadNorShown) {
  const std::set<int> Spam{2, 5};
  for (const bool Ahead : {true, false}) {
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(6, Spam);
    ASSERT_TRUE(Server.Start());
    TRun Run(Server);
    TOneAtATimeSweep OneAtATime(Run.Session);
    TSweep& Sweep = Ahead ? static_cast<TSweep&>(Run.Sweep) : OneAtATime;
    Sweep.Judge = Run.Sweep.Judge;
    Sweep.Report = Run.Sweep.Report;
    Sweep.Skip = {false, true, false, false, true, false, true};  // 1, 4 and 6
    ASSERT_TRUE(Run.Session.Login() && Run.Session.Stat());
    EXPECT_EQ(Sweep.Run(6), TSweepEnd::Completed);
    EXPECT_THAT(Run.Shown, ElementsAre("5:Lottery win 5 DELETED", "3:Minutes 3 SKIPPED", "2:Lottery win 2 DELETED"));
    EXPECT_EQ(Sweep.ReadWhole, (std::vector<int32_t>{5, 3, 2}));
    Run.Session.Logout();
    for (const std::string& C : Server.Commands())
      EXPECT_TRUE(C != "TOP 1 0" && C != "TOP 4 0" && C != "TOP 6 0") << C << (Ahead ? " ahead" : "");
    EXPECT_THAT(Server.Expunged(), ElementsAre(2, 5));
  }
}

TEST(PipelinedSweep, SmallBudgetsRefillAndPutAListBeforeTheTopAfterDeles) {
  TPop3MailboxServer Server;
  std::set<int> Spam;
  for (int N = 1; N <= 60; N += 3) Spam.insert(N);
  Server.Messages = Mailbox(60, Spam, 300);
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  Run.Sweep.CommandBudget = 120;  // six messages of commands
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(60, Spam)));
  EXPECT_EQ(Run.Sweep.FirstWindow, 6);
  Run.Session.Logout();
  ExpectEveryTopFramedByLists(Server.Commands());
  std::vector<int> Deles = Server.DeleteRequests();
  EXPECT_EQ(std::set<int>(Deles.begin(), Deles.end()), Spam);
  EXPECT_TRUE(std::is_sorted(Deles.rbegin(), Deles.rend()));
}

TEST(PipelinedSweep, ReplyBudgetBoundsTheWindowByMessageSize) {
  TPop3MailboxServer Server;
  Server.Messages = Mailbox(40, {}, 1000);
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  const int64_t PerMessage = TPipelinedSweep::TopReplyEstimate(uint32_t(Server.Size(40))) + 64;
  Run.Sweep.ReplyBudget = 10 * PerMessage;
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_EQ(Run.Sweep.FirstWindow, 10);
  EXPECT_EQ(Run.Shown.size(), 40u);
}

TEST(PipelinedSweep, DryRunSendsNoDele) {
  TPop3MailboxServer Server;
  const std::set<int> Spam{1, 3};
  Server.Messages = Mailbox(3, Spam);
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  Run.Sweep.MarkDeletions = false;
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(3, Spam, TVerdict::WouldDelete)));
  Run.Session.Logout();
  EXPECT_THAT(Server.DeleteRequests(), IsEmpty());
  EXPECT_TRUE(Server.QuitReceived());
}

// A refused TOP and a refused DELE: shown, named on standard error in the
// same words by both sweeps, and the sweep goes on.
TEST(PipelinedSweep, RefusedTopAndDeleAreShownNamedAndTheSweepGoesOn) {
  const std::set<int> Spam{2, 4};
  Strings Want = Expected(5, Spam);
  Want[1] = "4:Lottery win 4 NOT DELETED";
  Want[2] = "3: SKIPPED";
  for (const bool Ahead : {true, false}) {
    SCOPED_TRACE(Ahead ? "commands sent ahead" : "one at a time");
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(5, Spam);
    Server.Bend = [](const std::string& C, TReply R) {
      if (C == "DELE 4") R.Bytes = "-ERR locked\r\n";
      if (C == "TOP 3 0") R.Bytes = "-ERR no such header\r\n";
      return R;
    };
    ASSERT_TRUE(Server.Start());
    TRun Run(Server);
    TOneAtATimeSweep OneAtATime(Run.Session);
    TSweep& Sweep = Ahead ? static_cast<TSweep&>(Run.Sweep) : OneAtATime;
    Sweep.Judge = Run.Sweep.Judge;
    Sweep.Report = Run.Sweep.Report;
    Strings Said;
    Sweep.Complain = [&Said](const std::string& Text) { Said.push_back(Text); };
    ASSERT_TRUE(Run.Session.Login() && Run.Session.Stat());
    EXPECT_EQ(Sweep.Run(Run.Session.MessageCount), TSweepEnd::Completed);
    EXPECT_THAT(Run.Shown, ElementsAreArray(Want));
    // Sent ahead, the DELE of message 4 is answered after the TOP of message 3.
    EXPECT_THAT(Said, UnorderedElementsAre("TOP 3 failed: the server said -ERR no such header",
                                           "DELE 4 failed: the server said -ERR locked"));
    EXPECT_EQ(Sweep.Marked, 1);
    Run.Session.Logout();
    EXPECT_THAT(Server.DeleteRequests(), ElementsAre(4, 2));
  }
}

// Each break of the stream drops the connection without QUIT. What is shown is
// what the one-at-a-time sweep shows when the connection is lost at the first
// message without an outcome, and nothing after it.
struct TBreak {
  const char* Name;
  std::function<TReply(const std::string&, TReply)> Bend;
  Strings Shown;
};

class PipelinedSweepBreaks : public ::testing::TestWithParam<TBreak> {};

TEST_P(PipelinedSweepBreaks, DropWithoutQuitAndNoWrongDele) {
  // 5 matches, 4 does not: DELE 5 is under way when the stream breaks at 4 or 3.
  const std::set<int> Spam{5, 3, 2};
  TPop3MailboxServer Server;
  Server.Messages = Mailbox(5, Spam);
  Server.Bend = GetParam().Bend;
  ASSERT_TRUE(Server.Start());
  TRun Run(Server, 1500);
  EXPECT_EQ(Run.Go(), TSweepEnd::ConnectionLost);
  EXPECT_THAT(Run.Shown, ElementsAreArray(GetParam().Shown));
  // A reply that came but does not fit is named; a stall or a close is not.
  const bool Lost = std::string(GetParam().Name).find("InsideTheWindow") != std::string::npos ||
                    std::string(GetParam().Name).find("Close") != std::string::npos;
  EXPECT_EQ(Run.Sweep.OutOfStep.empty(), Lost) << Run.Sweep.OutOfStep;
  EXPECT_FALSE(Run.Session.Socket.HasSocket());
  EXPECT_EQ(Run.Session.RepliesOutstanding(), 0);
  Run.Session.Logout();
  EXPECT_TRUE(Server.WaitDone());
  EXPECT_FALSE(Server.QuitReceived());
  EXPECT_THAT(Server.Expunged(), IsEmpty());
  ExpectOnlySpamDeleted(Server, Spam);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, PipelinedSweepBreaks,
    ::testing::Values(
        // An extra "+OK" behind TOP 4's reply is read where LIST 4's belongs.
        TBreak{"OneReplyTooMany",
               [](const std::string& C, TReply R) {
                 if (C == "TOP 4 0") R.Bytes += "+OK\r\n";
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}},
        // Without TOP 4's reply, LIST 4's is taken for it and TOP 3's lines
        // for its header; LIST 3's answer then names the wrong message.
        TBreak{"SkippedTopReply",
               [](const std::string& C, TReply R) {
                 if (C == "TOP 4 0") R.Bytes.clear();
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}},
        TBreak{"SkippedListReply",
               [](const std::string& C, TReply R) {
                 if (C == "LIST 4") R.Bytes.clear();
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}},
        // Message 3 matches, but its LIST names 2: its header is not proven.
        TBreak{"ListNamesAnotherMessage",
               [](const std::string& C, TReply R) {
                 if (C == "LIST 3") R.Bytes = "+OK 2 75\r\n";
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}},
        // Messages 3 and 2 are of one size: only the number tells them apart.
        TBreak{"ListNamesAnotherMessageOfTheSameSize",
               [](const std::string& C, TReply R) {
                 if (C == "LIST 3") R.Bytes = "+OK 2" + R.Bytes.substr(5);
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}},
        TBreak{"ListAnswersAnError",
               [](const std::string& C, TReply R) {
                 if (C == "LIST 4") R.Bytes = "-ERR no such message\r\n";
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}},
        TBreak{"StallInsideTheWindow",
               [](const std::string& C, TReply R) {
                 if (C == "TOP 3 0") R.StallMs = 4000;
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}},
        TBreak{"CloseInsideTheWindow",
               [](const std::string& C, TReply R) {
                 if (C == "LIST 3") R.Close = true;
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}},
        // The break comes before any message has an outcome: the first one is
        // shown as a failed TOP shows it, with no subject.
        TBreak{"CloseAtTheFirstTop",
               [](const std::string& C, TReply R) {
                 if (C == "TOP 5 0") R.Close = true;
                 return R;
               },
               {"5: SKIPPED"}},
        TBreak{"DeleAnswerCloses",
               [](const std::string& C, TReply R) {
                 if (C == "DELE 5") R.Close = true;
                 return R;
               },
               {"5:Lottery win 5 NOT DELETED"}}),
    [](const ::testing::TestParamInfo<TBreak>& I) { return std::string(I.param.Name); });

// Some servers answer LIST n after TOP n 0 with the size of what TOP sent:
// the number proves the reply in step, the size is only noted.
TEST(PipelinedSweep, AnotherSizeInListIsNotedAndTheSweepGoesOn) {
  TPop3MailboxServer Server;
  const std::set<int> Spam{2, 4};
  Server.Messages = Mailbox(5, Spam);
  Server.Bend = [](const std::string& C, TReply R) {
    if (C.rfind("LIST ", 0) == 0) R.Bytes = "+OK " + C.substr(5) + " 1\r\n";
    return R;
  };
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(5, Spam)));
  EXPECT_EQ(Run.Sweep.SizeChanged, "message 5: listed " + std::to_string(Server.Size(5)) + ", then 1");
  EXPECT_THAT(Run.Sweep.OutOfStep, IsEmpty());
  Run.Session.Logout();
  EXPECT_THAT(Server.Expunged(), ElementsAre(2, 4));
}

TEST(PipelinedSweep, ExtraReplyAmongDeleAnswersMeetsTheListBeforeTheNextTop) {
  // With a window of three messages, DELE 10 goes out before later TOPs; the
  // surplus behind its answer is read where the LIST in front of the next TOP
  // must answer.
  TPop3MailboxServer Server;
  const std::set<int> Spam{10};
  Server.Messages = Mailbox(10, Spam);
  Server.Bend = [](const std::string& C, TReply R) {
    if (C == "DELE 10") R.Bytes += "+OK surplus\r\n";
    return R;
  };
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  Run.Sweep.CommandBudget = 60;
  EXPECT_EQ(Run.Go(), TSweepEnd::ConnectionLost);
  ASSERT_GE(Run.Shown.size(), 2u);
  EXPECT_EQ(Run.Shown[0], "10:Lottery win 10 DELETED");
  const std::string& Last = Run.Shown.back();
  EXPECT_EQ(Last.substr(Last.find(':')), ": SKIPPED");
  Run.Session.Logout();
  EXPECT_TRUE(Server.WaitDone());
  EXPECT_FALSE(Server.QuitReceived());
  EXPECT_THAT(Server.DeleteRequests(), ElementsAre(10));
  const Strings Commands = Server.Commands();
  auto Dele = std::find(Commands.begin(), Commands.end(), "DELE 10");
  ASSERT_NE(Dele, Commands.end());
  ASSERT_LT(Dele + 2, Commands.end());
  const std::string Guard = *(Dele + 1);
  ASSERT_EQ(Guard.rfind("LIST ", 0), 0u);
  EXPECT_EQ(*(Dele + 2), "TOP " + Guard.substr(5) + " 0");
}

TEST(PipelinedSweep, ExtraReplyAtTheEndStopsTheQuit) {
  // The sweep has read every reply it asked for; the surplus is still waiting
  // when QUIT is to go, so QUIT does not go and nothing is deleted.
  TPop3MailboxServer Server;
  const std::set<int> Spam{1};
  Server.Messages = Mailbox(2, Spam);
  Server.Bend = [](const std::string& C, TReply R) {
    if (C == "DELE 1") R.Bytes += "+OK surplus\r\n";
    return R;
  };
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  Run.Session.Logout();
  EXPECT_NE(Run.Session.ReplyStatus, 1);
  EXPECT_TRUE(Server.WaitDone());
  EXPECT_FALSE(Server.QuitReceived());
  EXPECT_THAT(Server.Expunged(), IsEmpty());
}

TEST(PipelinedSweep, AListingThatDoesNotFitTheCountSendsNothingAhead) {
  TPop3MailboxServer Server;
  Server.Messages = Mailbox(3, {});
  Server.Bend = [](const std::string& C, TReply R) {
    if (C == "LIST") R.Bytes = "+OK\r\n1 70\r\n2 70\r\n.\r\n";
    return R;
  };
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  EXPECT_EQ(Run.Go(), TSweepEnd::NotStarted);
  EXPECT_TRUE(Run.Session.Socket.HasSocket());
  EXPECT_THAT(Run.Shown, IsEmpty());
  // The session is in step: the one-at-a-time dialogue goes on.
  EXPECT_TRUE(Run.Session.Top(3, 0));
  Run.Session.Logout();
  EXPECT_TRUE(Server.QuitReceived());
}

TEST(PipelinedSweep, AFailedReportStopsTheSweepWithoutQuit) {
  TPop3MailboxServer Server;
  const std::set<int> Spam{3, 2};
  Server.Messages = Mailbox(4, Spam);
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  Run.Sweep.Report = [&](int32_t N, const std::string&, TVerdict) {
    Run.Shown.push_back(std::to_string(N));
    return N != 3;
  };
  EXPECT_EQ(Run.Go(), TSweepEnd::Stopped);
  EXPECT_THAT(Run.Shown, ElementsAre("4", "3"));
  Run.Session.Logout();
  EXPECT_FALSE(Server.QuitReceived());
  EXPECT_THAT(Server.Expunged(), IsEmpty());
}

TEST(PipelinedSweep, ServerThatReadsOneCommandAtATimeWithSmallBuffers) {
  // It answers each command in full before it reads the next byte; with every
  // command sent up front and nothing read, both sides would wait for ever.
  TPop3MailboxServer Server;
  std::set<int> Spam;
  for (int N = 1; N <= 1500; N += 10) Spam.insert(N);
  Server.Messages = Mailbox(1500, Spam, 2000);
  Server.SmallBuffers = 2048;
  ASSERT_TRUE(Server.Start());
  TRun Run(Server, 20000);
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(1500, Spam)));
  EXPECT_GT(Run.Sweep.FirstWindow, 100);
  Run.Session.Logout();
  std::vector<int> Gone = Server.Expunged();
  EXPECT_EQ(std::set<int>(Gone.begin(), Gone.end()), Spam);
}

// A real server: it offers PIPELINING, its listings fit the checks, and with a
// window of a few messages the DELEs and the LISTs in front of later TOPs go
// through it as they do through the test server, in clear and inside TLS.
TEST(PipelinedSweep, AgainstDovecot) {
  ASSERT_TRUE(TDovecot::Available()) << "Dovecot is missing: install the Debian packages dovecot-core and dovecot-pop3d";
  TDovecot Dovecot;
  ASSERT_TRUE(Dovecot.AddUser("narrow", "secret") && Dovecot.AddUser("wide", "secret") &&
              Dovecot.AddUser("tls", "secret"));
  std::set<int> Spam;
  for (int N = 1; N <= 24; ++N) {
    const bool Match = N % 3 == 0;
    if (Match) Spam.insert(N);
    const std::string Subject = (Match ? "Lottery win " : "Minutes ") + std::to_string(N);
    const std::string Message = "From: a@example.org\r\nSubject: " + Subject + "\r\n\r\nBody\r\n.dot\r\n";
    ASSERT_TRUE(Dovecot.Deliver("narrow", Message) && Dovecot.Deliver("wide", Message) &&
                Dovecot.Deliver("tls", Message));
  }
  ASSERT_TRUE(Dovecot.Start());
  for (const std::string User : {"narrow", "wide", "tls"}) {
    TPOP3Send Session;
    Session.Port = std::to_string(User == "tls" ? Dovecot.TlsPort : Dovecot.Port);
    Session.ImplicitTls = User == "tls";
    Session.UserName = User;
    Session.Password = "secret";
    ASSERT_TRUE(Session.Login());
    EXPECT_TRUE(Session.HasCapability("PIPELINING"));
    ASSERT_TRUE(Session.Stat());
    ASSERT_EQ(Session.MessageCount, 24);
    TPipelinedSweep Sweep(Session);
    if (User != "wide") Sweep.CommandBudget = 70;
    Strings Shown;
    Sweep.Judge = [](int32_t, const Strings& Header, bool) {
      return TSweepJudgement{MatchesAnyFilter(Header, Filter), HeaderValue(Header, "Subject")};
    };
    Sweep.Report = [&](int32_t N, const std::string& Note, TVerdict V) {
      Shown.push_back(std::to_string(N) + ":" + Note + " " + Name(V));
      return true;
    };
    EXPECT_EQ(Sweep.Run(24), TSweepEnd::Completed) << User;
    EXPECT_THAT(Shown, ElementsAreArray(Expected(24, Spam))) << User;
    EXPECT_EQ(Sweep.Marked, 8);
    Session.Logout();
    EXPECT_EQ(Session.ReplyStatus, 1);
    EXPECT_EQ(Dovecot.List(User).size(), 16u) << User;
    EXPECT_EQ(Dovecot.Subjects(User).front(), "Minutes 1");
  }
}

// A header with a line cut at the bound is not read whole: where keep words
// are to be checked, that message is not deleted.
TEST(PipelinedSweep, ACutHeaderIsNotReadWhole) {
  TPop3MailboxServer Server;
  Server.Messages = Mailbox(3, {1, 2, 3});
  Server.Messages[1].Header += "X-Long: " + std::string(70000, 'x') + "\r\n";
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  TRuleSettings Settings;
  Settings.FilterWords = Filter;
  Settings.KeepWords = {"boss@"};
  TRules Rules;
  ASSERT_TRUE(Rules.Take(Settings));
  Run.Sweep.Judge = [&Rules](int32_t, const Strings& Header, bool Whole) {
    const TRuling Ruling = Rules.Judge(Header, Whole, std::nullopt);
    return TSweepJudgement{Ruling.Delete, HeaderValue(Header, "Subject"), Ruling.Kept};
  };
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_THAT(Run.Shown, ElementsAre("3:Lottery win 3 DELETED", "2:Lottery win 2 SKIPPED", "1:Lottery win 1 DELETED"));
  EXPECT_THAT(Run.Sweep.ReadWhole, ElementsAre(3, 1));
  EXPECT_THAT(Server.DeleteRequests(), ElementsAre(3, 1));
}
