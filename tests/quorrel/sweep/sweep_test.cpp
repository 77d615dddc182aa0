// The sweep against a mailbox server of the tests' own that breaks the reply
// stream in the ways a real server would not, under both policies (one command
// at a time, and commands sent ahead): every header must be judged as its own
// message's, no DELE may reach the server for a message whose own header did
// not match, and both show the same lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "quorrel/rules/header.h"
#include "quorrel/rules/rules.h"
#include "quorrel/sweep/rules_judge.h"
#include "quorrel/sweep/sweep.h"
#include "support/dovecot.h"
#include "support/pop3_server.h"

using namespace quorrel;

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Strings = std::vector<std::string>;
using TReply = TPop3MailboxServer::TReply;

namespace {

const Strings Filter{"lottery"};

// The rules with Filter, and keep words when given.
TRules FilterRules(const Strings& Keep = {}) {
  TRuleSettings Settings;
  Settings.FilterWords = Filter;
  Settings.KeepWords = Keep;
  TRules Rules;
  EXPECT_TRUE(Rules.Take(Settings));
  return Rules;
}

// A judge that answers message N only once Delay more headers have come, or
// when the sweep waits for it: a judgement that comes later than its header.
class TLateJudge : public TJudge {
 public:
  TLateJudge(TJudge& Inner, int Delay) : Inner(Inner), Delay(Delay) {}
  void Consider(int32_t N, Strings Header, bool Whole) override {
    Inner.Consider(N, std::move(Header), Whole);
    Held.push_back({N, *Inner.Answer(N)});
    while (int(Held.size()) > Delay) Release();
  }
  std::optional<TJudgement> Answer(int32_t N) override {
    auto It = Ready.find(N);
    if (It == Ready.end()) return std::nullopt;
    TJudgement Out = It->second;
    Ready.erase(It);
    return Out;
  }
  void WaitForFirst() override {
    ++Waits;
    if (!Held.empty()) Release();
  }
  size_t Waiting() override { return Ready.size(); }
  int Waits = 0;

 private:
  void Release() {
    Ready[Held.front().first] = Held.front().second;
    Held.erase(Held.begin());
  }
  TJudge& Inner;
  int Delay;
  std::vector<std::pair<int32_t, TJudgement>> Held;
  std::map<int32_t, TJudgement> Ready;
};

// A bend of the test server's replies that changes the reply to Command alone.
std::function<TReply(const std::string&, TReply)> On(const std::string& Command, std::function<void(TReply&)> Change) {
  return [Command, Change](const std::string& C, TReply R) {
    if (C == Command) Change(R);
    return R;
  };
}

const TSweepPolicy Policies[] = {TSweepPolicy::SentAhead(), TSweepPolicy::OneAtATime()};

std::string PolicyName(const TSweepPolicy& Policy) { return Policy.Ahead ? "sent ahead" : "one at a time"; }

// The filter words as the program judges by them, recording the order judged.
class TFilterJudge : public TImmediateJudge {
 public:
  explicit TFilterJudge(const Strings& Keep = {}) : Rules(FilterRules(Keep)), Inner(Rules, false, {}, true) {}
  std::vector<int> Judged;

 protected:
  TJudgement Decide(int32_t N, const Strings& Header, bool Whole) override {
    Judged.push_back(N);
    Inner.Consider(N, Header, Whole);
    return *Inner.Answer(N);
  }

 private:
  TRules Rules;
  TRulesJudge Inner;
};

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
// "n:subject VERDICT" lines, and what the sweep says for standard error.
struct TRun {
  TPOP3Send Session;
  TFilterJudge Rules;
  TSweep Sweep{Session, Rules};
  Strings Shown;
  Strings Said;

  explicit TRun(const TPop3MailboxServer& Server, const TSweepPolicy& Policy = TSweepPolicy::SentAhead(),
                int TimeoutMs = 10000, const Strings& Keep = {})
      : Rules(Keep) {
    Session.Port = Server.PortText();
    Session.UserName = "u";
    Session.Password = "p";
    Session.TimeoutMs = TimeoutMs;
    Sweep.Policy = Policy;
    Sweep.Report = [this](int32_t N, const TJudgement& J, TVerdict V) {
      Shown.push_back(std::to_string(N) + ":" + J.Subject + " " + Name(V));
      return true;
    };
    Sweep.Complain = [this](const std::string& Text) { Said.push_back(Text); };
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

// Sent ahead: where "TOP n 0" stands in the command stream, the command before
// it is the opening LIST or a LIST answered just before, and "LIST n" follows
// it. One at a time: no LIST, and a DELE only right behind its own TOP.
void ExpectDialogue(const TSweepPolicy& Policy, const Strings& Commands) {
  int Tops = 0;
  for (size_t I = 0; I < Commands.size(); ++I) {
    if (!Policy.Ahead) {
      EXPECT_NE(Commands[I].rfind("LIST", 0), 0u) << Commands[I];
      if (Commands[I].rfind("DELE ", 0) == 0) {
        EXPECT_EQ(Commands[I - 1], "TOP " + Commands[I].substr(5) + " 0");
      }
    }
    if (Commands[I].rfind("TOP ", 0) != 0) continue;
    ++Tops;
    if (!Policy.Ahead) continue;
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

TEST(Sweep, SweepsInOrderAndDeletesWhatMatches) {
  const std::set<int> Spam{2, 4};
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(5, Spam);
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy);
    EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
    EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(5, Spam)));
    EXPECT_THAT(Run.Rules.Judged, ElementsAre(5, 4, 3, 2, 1));
    EXPECT_THAT(Run.Said, IsEmpty());
    EXPECT_EQ(Run.Sweep.Marked, 2);
    EXPECT_EQ(Run.Sweep.FirstWindow, Policy.Ahead ? 5 : 0);
    EXPECT_EQ(Run.Session.RepliesOutstanding(), 0);
    Run.Session.Logout();
    EXPECT_EQ(Run.Session.ReplyStatus, 1);
    EXPECT_THAT(Server.DeleteRequests(), ElementsAre(4, 2));
    EXPECT_THAT(Server.Expunged(), ElementsAre(2, 4));
    ExpectDialogue(Policy, Server.Commands());
  }
}

// A judgement may come later than its header: sent ahead, later TOPs go out
// meanwhile; one at a time, the sweep waits. The lines and the DELEs are the
// same.
TEST(Sweep, AJudgementThatComesLaterKeepsTheOrder) {
  std::set<int> Spam;
  for (int N = 1; N <= 30; N += 4) Spam.insert(N);
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(30, Spam);
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy);
    TLateJudge Late(Run.Rules, 3);
    TSweep Sweep(Run.Session, Late);
    Sweep.Policy = Policy;
    Sweep.Policy.CommandBudget = 150;
    Sweep.Report = Run.Sweep.Report;
    ASSERT_TRUE(Run.Session.Login() && Run.Session.Stat());
    EXPECT_EQ(Sweep.Run(30), TSweepEnd::Completed);
    EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(30, Spam)));
    EXPECT_EQ(Sweep.Marked, int(Spam.size()));
    // One at a time waits for every judgement; sent ahead, only for the last.
    EXPECT_EQ(Late.Waits, Policy.Ahead ? 3 : 30);
    Run.Session.Logout();
    ExpectDialogue(Policy, Server.Commands());
    std::vector<int> Gone = Server.Expunged();
    EXPECT_EQ(std::set<int>(Gone.begin(), Gone.end()), Spam);
  }
}

// Messages judged before are skipped: no TOP, no line shown, and the others
// keep their order and verdicts.
TEST(Sweep, SkippedMessagesAreNeitherReadNorShown) {
  const std::set<int> Spam{2, 5};
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(6, Spam);
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy);
    Run.Sweep.Skip = {false, true, false, false, true, false, true};  // 1, 4 and 6
    EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
    EXPECT_THAT(Run.Shown, ElementsAre("5:Lottery win 5 DELETED", "3:Minutes 3 SKIPPED", "2:Lottery win 2 DELETED"));
    EXPECT_EQ(Run.Sweep.ReadWhole, (std::vector<int32_t>{5, 3, 2}));
    Run.Session.Logout();
    for (const std::string& C : Server.Commands()) EXPECT_TRUE(C != "TOP 1 0" && C != "TOP 4 0" && C != "TOP 6 0") << C;
    EXPECT_THAT(Server.Expunged(), ElementsAre(2, 5));
  }
}

TEST(Sweep, SmallBudgetsRefillAndPutAListBeforeTheTopAfterDeles) {
  TPop3MailboxServer Server;
  std::set<int> Spam;
  for (int N = 1; N <= 60; N += 3) Spam.insert(N);
  Server.Messages = Mailbox(60, Spam, 300);
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  Run.Sweep.Policy.CommandBudget = 120;  // six messages of commands
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(60, Spam)));
  EXPECT_EQ(Run.Sweep.FirstWindow, 6);
  Run.Session.Logout();
  ExpectDialogue(Run.Sweep.Policy, Server.Commands());
  std::vector<int> Deles = Server.DeleteRequests();
  EXPECT_EQ(std::set<int>(Deles.begin(), Deles.end()), Spam);
  EXPECT_TRUE(std::is_sorted(Deles.rbegin(), Deles.rend()));
}

TEST(Sweep, ReplyBudgetBoundsTheWindowByMessageSize) {
  TPop3MailboxServer Server;
  Server.Messages = Mailbox(40, {}, 1000);
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  const int64_t PerMessage = TSweep::TopReplyEstimate(uint32_t(Server.Size(40))) + 64;
  Run.Sweep.Policy.ReplyBudget = 10 * PerMessage;
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_EQ(Run.Sweep.FirstWindow, 10);
  EXPECT_EQ(Run.Shown.size(), 40u);
}

TEST(Sweep, DryRunSendsNoDele) {
  const std::set<int> Spam{1, 3};
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(3, Spam);
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy);
    Run.Sweep.MarkDeletions = false;
    EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
    EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(3, Spam, TVerdict::WouldDelete)));
    Run.Session.Logout();
    EXPECT_THAT(Server.DeleteRequests(), IsEmpty());
    EXPECT_TRUE(Server.QuitReceived());
  }
}

// A refused TOP and a refused DELE: shown, named on standard error in the same
// words and order by both policies, and the sweep goes on.
TEST(Sweep, RefusedTopAndDeleAreShownNamedAndTheSweepGoesOn) {
  const std::set<int> Spam{2, 4};
  Strings Want = Expected(5, Spam);
  Want[1] = "4:Lottery win 4 NOT DELETED";
  Want[2] = "3: SKIPPED";
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(5, Spam);
    Server.Bend = [](const std::string& C, TReply R) {
      if (C == "DELE 4") R.Bytes = "-ERR locked\r\n";
      if (C == "TOP 3 0") R.Bytes = "-ERR no such header\r\n";
      return R;
    };
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy);
    EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
    EXPECT_THAT(Run.Shown, ElementsAreArray(Want));
    EXPECT_THAT(Run.Said, ElementsAre("DELE 4 failed: the server said -ERR locked",
                                      "TOP 3 failed: the server said -ERR no such header"));
    EXPECT_EQ(Run.Sweep.Marked, 1);
    Run.Session.Logout();
    EXPECT_THAT(Server.DeleteRequests(), ElementsAre(4, 2));
  }
}

// Each break of the stream drops the connection without QUIT. Sent ahead, what
// is shown is what one at a time shows when the connection is lost at the first
// message without an outcome, and nothing after it. Breaks in the replies to
// LIST do not touch the one-at-a-time dialogue.
struct TBreak {
  const char* Name;
  std::function<TReply(const std::string&, TReply)> Bend;
  Strings Shown;            // sent ahead
  Strings ShownOneAtATime;  // empty: the break is in a reply one at a time does not ask for
  bool Named;               // sent ahead, a reply came that does not fit and is named
};

class SweepBreaks : public ::testing::TestWithParam<TBreak> {};

TEST_P(SweepBreaks, DropWithoutQuitAndNoWrongDele) {
  // 5 matches, 4 does not: DELE 5 is under way when the stream breaks at 4 or 3.
  const std::set<int> Spam{5, 3, 2};
  for (const TSweepPolicy& Policy : Policies) {
    const Strings& Want = Policy.Ahead ? GetParam().Shown : GetParam().ShownOneAtATime;
    if (Want.empty()) continue;
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(5, Spam);
    Server.Bend = GetParam().Bend;
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy, 1500);
    EXPECT_EQ(Run.Go(), TSweepEnd::ConnectionLost);
    EXPECT_THAT(Run.Shown, ElementsAreArray(Want));
    EXPECT_EQ(!Run.Sweep.OutOfStep.empty(), Policy.Ahead && GetParam().Named) << Run.Sweep.OutOfStep;
    ASSERT_FALSE(Run.Said.empty());
    EXPECT_EQ(Run.Said.back().rfind(Policy.Ahead ? (GetParam().Named ? "the server's replies are out of step: LIST "
                                                                     : "connection lost during the sweep: ")
                                                 : "connection lost after message ",
                                    0),
              0u)
        << Run.Said.back();
    EXPECT_FALSE(Run.Session.Socket.HasSocket());
    EXPECT_EQ(Run.Session.RepliesOutstanding(), 0);
    Run.Session.Logout();
    EXPECT_TRUE(Server.WaitDone());
    EXPECT_FALSE(Server.QuitReceived());
    EXPECT_THAT(Server.Expunged(), IsEmpty());
    ExpectOnlySpamDeleted(Server, Spam);
  }
}

const Strings FiveNotDeleted{"5:Lottery win 5 NOT DELETED"};

INSTANTIATE_TEST_SUITE_P(
    Stream, SweepBreaks,
    ::testing::Values(
        // An extra "+OK" behind TOP 4's reply is read where LIST 4's belongs;
        // one at a time, it is waiting when TOP 3 is to go.
        TBreak{"OneReplyTooMany",
               On("TOP 4 0", [](TReply& R) { R.Bytes += "+OK\r\n"; }),
               FiveNotDeleted,
               {"5:Lottery win 5 DELETED", "4:Minutes 4 SKIPPED", "3: SKIPPED"},
               true},
        // Without TOP 4's reply, LIST 4's is taken for it and TOP 3's lines
        // for its header; LIST 3's answer then names the wrong message.
        TBreak{"SkippedTopReply",
               On("TOP 4 0", [](TReply& R) { R.Bytes.clear(); }),
               FiveNotDeleted,
               {"5:Lottery win 5 DELETED", "4: SKIPPED"},
               true},
        TBreak{"SkippedListReply",
               On("LIST 4", [](TReply& R) { R.Bytes.clear(); }),
               FiveNotDeleted, {}, true},
        // Message 3 matches, but its LIST names 2: its header is not proven.
        TBreak{"ListNamesAnotherMessage",
               On("LIST 3", [](TReply& R) { R.Bytes = "+OK 2 75\r\n"; }),
               FiveNotDeleted, {}, true},
        // Messages 3 and 2 are of one size: only the number tells them apart.
        TBreak{"ListNamesAnotherMessageOfTheSameSize",
               On("LIST 3", [](TReply& R) { R.Bytes = "+OK 2" + R.Bytes.substr(5); }),
               FiveNotDeleted, {}, true},
        TBreak{"ListAnswersAnError",
               On("LIST 4", [](TReply& R) { R.Bytes = "-ERR no such message\r\n"; }),
               FiveNotDeleted, {}, true},
        TBreak{"StallInsideTheWindow",
               On("TOP 3 0", [](TReply& R) { R.StallMs = 4000; }),
               FiveNotDeleted,
               {"5:Lottery win 5 DELETED", "4:Minutes 4 SKIPPED", "3: SKIPPED"},
               false},
        TBreak{"CloseInsideTheWindow",
               On("LIST 3", [](TReply& R) { R.Close = true; }),
               FiveNotDeleted, {}, false},
        // The break comes before any message has an outcome: the first one is
        // shown as a failed TOP shows it, with no subject.
        TBreak{"CloseAtTheFirstTop",
               On("TOP 5 0", [](TReply& R) { R.Close = true; }),
               {"5: SKIPPED"}, {"5: SKIPPED"}, false},
        TBreak{"DeleAnswerCloses",
               On("DELE 5", [](TReply& R) { R.Close = true; }),
               FiveNotDeleted, FiveNotDeleted, false}),
    [](const ::testing::TestParamInfo<TBreak>& I) { return std::string(I.param.Name); });

// Some servers answer LIST n after TOP n 0 with the size of what TOP sent:
// the number proves the reply in step, the size is only noted.
TEST(Sweep, AnotherSizeInListIsNotedAndTheSweepGoesOn) {
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

TEST(Sweep, ExtraReplyAmongDeleAnswersMeetsTheListBeforeTheNextTop) {
  // With a window of three messages, DELE 10 goes out before later TOPs; the
  // surplus behind its answer is read where the LIST in front of the next TOP
  // must answer.
  TPop3MailboxServer Server;
  const std::set<int> Spam{10};
  Server.Messages = Mailbox(10, Spam);
  Server.Bend = On("DELE 10", [](TReply& R) { R.Bytes += "+OK surplus\r\n"; });
  ASSERT_TRUE(Server.Start());
  TRun Run(Server);
  Run.Sweep.Policy.CommandBudget = 60;
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

TEST(Sweep, ExtraReplyAtTheEndStopsTheQuit) {
  // The sweep has read every reply it asked for; the surplus is still waiting
  // when QUIT is to go, so QUIT does not go and nothing is deleted.
  const std::set<int> Spam{1};
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(2, Spam);
    Server.Bend = On("DELE 1", [](TReply& R) { R.Bytes += "+OK surplus\r\n"; });
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy);
    EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
    Run.Session.Logout();
    EXPECT_NE(Run.Session.ReplyStatus, 1);
    EXPECT_TRUE(Server.WaitDone());
    EXPECT_FALSE(Server.QuitReceived());
    EXPECT_THAT(Server.Expunged(), IsEmpty());
  }
}

TEST(Sweep, AListingThatDoesNotFitTheCountSendsNothingAhead) {
  TPop3MailboxServer Server;
  Server.Messages = Mailbox(3, {});
  Server.Bend = On("LIST", [](TReply& R) { R.Bytes = "+OK\r\n1 70\r\n2 70\r\n.\r\n"; });
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

TEST(Sweep, AFailedReportStopsTheSweepWithoutQuit) {
  const std::set<int> Spam{3, 2};
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(4, Spam);
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy);
    Run.Sweep.Report = [&](int32_t N, const TJudgement&, TVerdict) {
      Run.Shown.push_back(std::to_string(N));
      return N != 3;
    };
    EXPECT_EQ(Run.Go(), TSweepEnd::Stopped);
    EXPECT_THAT(Run.Shown, ElementsAre("4", "3"));
    Run.Session.Logout();
    EXPECT_FALSE(Server.QuitReceived());
    EXPECT_THAT(Server.Expunged(), IsEmpty());
  }
}

TEST(Sweep, ServerThatReadsOneCommandAtATimeWithSmallBuffers) {
  // It answers each command in full before it reads the next byte; with every
  // command sent up front and nothing read, both sides would wait for ever.
  TPop3MailboxServer Server;
  std::set<int> Spam;
  for (int N = 1; N <= 1500; N += 10) Spam.insert(N);
  Server.Messages = Mailbox(1500, Spam, 2000);
  Server.SmallBuffers = 2048;
  ASSERT_TRUE(Server.Start());
  TRun Run(Server, TSweepPolicy::SentAhead(), 20000);
  EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
  EXPECT_THAT(Run.Shown, ElementsAreArray(Expected(1500, Spam)));
  EXPECT_GT(Run.Sweep.FirstWindow, 100);
  Run.Session.Logout();
  std::vector<int> Gone = Server.Expunged();
  EXPECT_EQ(std::set<int>(Gone.begin(), Gone.end()), Spam);
}

// A real server: it offers PIPELINING, its listings fit the checks, and with a
// window of a few messages the DELEs and the LISTs in front of later TOPs go
// through it as they do through the test server, in clear and inside TLS; one
// at a time too.
TEST(Sweep, AgainstDovecot) {
  ASSERT_TRUE(TDovecot::Available()) << "Dovecot is missing: install the Debian packages dovecot-core and dovecot-pop3d";
  TDovecot Dovecot;
  const Strings Users{"narrow", "wide", "tls", "single"};
  for (const std::string& User : Users) ASSERT_TRUE(Dovecot.AddUser(User, "secret"));
  std::set<int> Spam;
  for (int N = 1; N <= 24; ++N) {
    const bool Match = N % 3 == 0;
    if (Match) Spam.insert(N);
    const std::string Subject = (Match ? "Lottery win " : "Minutes ") + std::to_string(N);
    for (const std::string& User : Users)
      ASSERT_TRUE(Dovecot.Deliver(User, "From: a@example.org\r\nSubject: " + Subject + "\r\n\r\nBody\r\n.dot\r\n"));
  }
  ASSERT_TRUE(Dovecot.Start());
  for (const std::string& User : Users) {
    SCOPED_TRACE(User);
    TPOP3Send Session;
    Session.Port = std::to_string(User == "tls" ? Dovecot.TlsPort : Dovecot.Port);
    Session.ImplicitTls = User == "tls";
    Session.UserName = User;
    Session.Password = "secret";
    ASSERT_TRUE(Session.Login());
    EXPECT_TRUE(Session.HasCapability("PIPELINING"));
    ASSERT_TRUE(Session.Stat());
    ASSERT_EQ(Session.MessageCount, 24);
    TFilterJudge Judge;
    TSweep Sweep(Session, Judge);
    Sweep.Policy = User == "single" ? TSweepPolicy::OneAtATime() : TSweepPolicy::SentAhead();
    if (User != "wide") Sweep.Policy.CommandBudget = 70;
    Strings Shown;
    Sweep.Report = [&](int32_t N, const TJudgement& J, TVerdict V) {
      Shown.push_back(std::to_string(N) + ":" + J.Subject + " " + Name(V));
      return true;
    };
    EXPECT_EQ(Sweep.Run(24), TSweepEnd::Completed);
    EXPECT_THAT(Shown, ElementsAreArray(Expected(24, Spam)));
    EXPECT_EQ(Sweep.Marked, 8);
    Session.Logout();
    EXPECT_EQ(Session.ReplyStatus, 1);
    EXPECT_EQ(Dovecot.List(User).size(), 16u);
    EXPECT_EQ(Dovecot.Subjects(User).front(), "Minutes 1");
  }
}

// A header with a line cut at the bound is not read whole: where keep words
// are to be checked, that message is not deleted, and the judge's note says so
// just before it is shown.
TEST(Sweep, ACutHeaderIsNotReadWhole) {
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(3, {1, 2, 3});
    Server.Messages[1].Header += "X-Long: " + std::string(70000, 'x') + "\r\n";
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy, 10000, {"boss@"});
    EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
    EXPECT_THAT(Run.Shown, ElementsAre("3:Lottery win 3 DELETED", "2:Lottery win 2 SKIPPED", "1:Lottery win 1 DELETED"));
    EXPECT_THAT(Run.Said, ElementsAre("message 2: its header was not read whole, so the keep words could not be "
                                      "checked; it is not deleted"));
    EXPECT_THAT(Run.Sweep.ReadWhole, ElementsAre(3, 1));
    EXPECT_THAT(Server.DeleteRequests(), ElementsAre(3, 1));
  }
}

namespace {

// A keeper that holds its copies in memory, told where to fail.
class TMemoryKeeper : public TKeeper {
 public:
  bool Working() const override { return !Broken; }
  bool Begin(int32_t N, const std::string& Why) override {
    Broken = Broken || N == FailAt;
    Current = {N, Why + "\n"};
    return !Broken;
  }
  bool Take(std::string_view Line) override {
    Current.second.append(Line).append("\r\n");
    return true;
  }
  bool Finish() override {
    Finished.push_back(Current);
    return true;
  }
  bool Commit() override {
    ++Commits;
    Broken = Broken || FailCommit;
    for (const auto& [N, Text] : Finished)
      if (!Broken) Kept[N] = Text;
    Finished.clear();
    return !Broken;
  }
  std::string Failure() const override { return "disk full"; }

  int FailAt = 0;
  bool FailCommit = false;
  bool Broken = false;
  int Commits = 0;
  std::map<int, std::string> Kept;  // committed copies: the reason, then the message

 private:
  std::pair<int, std::string> Current;
  std::vector<std::pair<int, std::string>> Finished;
};

}  // namespace

// Before each DELE a copy is read with RETR and kept; a copy that cannot be
// had keeps its message, and after a local failure no message is deleted.
TEST(Sweep, ACopyIsKeptBeforeEachDele) {
  const std::set<int> Spam{2, 4};
  const struct {
    const char* Name;
    std::function<TReply(const std::string&, TReply)> Bend;
    int FailAt;
    bool FailCommit;
    Strings Shown;  // "" for a line as Expected gives it
    Strings Said;   // the first lines said
    std::vector<int> Kept;
  } Cases[] = {
      {"kept, then deleted", {}, 0, false, {"", "", "", "", ""}, {}, {2, 4}},
      {"RETR refused", On("RETR 4", [](TReply& R) { R.Bytes = "-ERR locked\r\n"; }), 0, false,
       {"", "4:Lottery win 4 NOT DELETED", "", "", ""}, {"RETR 4 failed: the server said -ERR locked"}, {2}},
      {"a line too long for a whole copy",
       On("RETR 4", [](TReply& R) { R.Bytes.insert(R.Bytes.find("Body"), std::string(300, 'x') + "\r\n"); }), 0,
       false, {"", "4:Lottery win 4 NOT DELETED", "", "", ""},
       {"message 4: a line of it is longer than 200 bytes, so no whole copy can be kept; it is not deleted"}, {2}},
      {"a copy that cannot start", {}, 4, false,
       {"", "4:Lottery win 4 NOT DELETED", "", "2:Lottery win 2 NOT DELETED", ""},
       {"message 4: its copy could not be kept (disk full); it is not deleted",
        "message 2: no copy can be kept since an earlier one failed; it is not deleted"},
       {}},
      {"copies that cannot be made durable", {}, 0, true,
       {"", "4:Lottery win 4 NOT DELETED", "", "2:Lottery win 2 NOT DELETED", ""},
       {"message 4: its copy could not be made durable (disk full); it is not deleted"}, {}},
  };
  for (const auto& C : Cases) {
    for (const TSweepPolicy& Policy : Policies) {
      SCOPED_TRACE(std::string(C.Name) + ", " + PolicyName(Policy));
      TPop3MailboxServer Server;
      Server.Messages = Mailbox(5, Spam);
      Server.Bend = C.Bend;
      ASSERT_TRUE(Server.Start());
      TRun Run(Server, Policy);
      Run.Session.MaxLineBytes = 200;
      TMemoryKeeper Keeper;
      Keeper.FailAt = C.FailAt;
      Keeper.FailCommit = C.FailCommit;
      Run.Sweep.Keeper = &Keeper;
      EXPECT_EQ(Run.Go(), TSweepEnd::Completed);
      Strings Want = Expected(5, Spam);
      for (size_t I = 0; I < Want.size(); ++I)
        if (!C.Shown[I].empty()) Want[I] = C.Shown[I];
      EXPECT_THAT(Run.Shown, ElementsAreArray(Want));
      ASSERT_GE(Run.Said.size(), C.Said.size());
      EXPECT_EQ(Strings(Run.Said.begin(), Run.Said.begin() + long(C.Said.size())), C.Said);
      std::vector<int> Kept;
      for (const auto& [N, Text] : Keeper.Kept) {
        Kept.push_back(N);
        const auto& M = Server.Messages[size_t(N - 1)];
        EXPECT_EQ(Text, "filter \"lottery\" in Subject\n" + M.Header + "\r\n" + M.Body);
      }
      EXPECT_EQ(Kept, C.Kept);
      Run.Session.Logout();
      // Each DELE that reached the server came after its message's RETR;
      // one at a time, right after it.
      const Strings Commands = Server.Commands();
      for (size_t I = 0; I < Commands.size(); ++I) {
        if (Commands[I].rfind("DELE ", 0) != 0) continue;
        const std::string Retr = "RETR " + Commands[I].substr(5);
        EXPECT_NE(std::find(Commands.begin(), Commands.begin() + long(I), Retr), Commands.begin() + long(I));
        if (!Policy.Ahead) {
          EXPECT_EQ(Commands[I - 1], Retr);
        }
      }
      std::vector<int> Gone = Server.Expunged();
      EXPECT_EQ(std::set<int>(Gone.begin(), Gone.end()), std::set<int>(C.Kept.begin(), C.Kept.end()));
    }
  }
}

// A connection lost during RETR leaves the message where it was.
TEST(Sweep, AConnectionLostDuringRetrDeletesNothing) {
  for (const TSweepPolicy& Policy : Policies) {
    SCOPED_TRACE(PolicyName(Policy));
    TPop3MailboxServer Server;
    Server.Messages = Mailbox(5, {2, 4});
    Server.Bend = On("RETR 4", [](TReply& R) { R.Close = true; });
    ASSERT_TRUE(Server.Start());
    TRun Run(Server, Policy, 1500);
    TMemoryKeeper Keeper;
    Run.Sweep.Keeper = &Keeper;
    EXPECT_EQ(Run.Go(), TSweepEnd::ConnectionLost);
    EXPECT_THAT(Run.Shown, ElementsAre("5:Minutes 5 SKIPPED", "4:Lottery win 4 NOT DELETED"));
    EXPECT_TRUE(Keeper.Kept.empty());
    Run.Session.Logout();
    EXPECT_TRUE(Server.WaitDone());
    EXPECT_THAT(Server.DeleteRequests(), IsEmpty());
  }
}
