// The program against a hostile POP3 server: the connection dropped or stalled
// at every step of the dialogue, endless lines and lists, a trickle of single
// bytes, garbage, odd STAT counts and replies that come before their command.
// The scenarios of a test run side by side, each in a network namespace of its
// own with the scripted server on port 110 (the stalls each take the program's
// full 60-second time-out).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/process.h"
#include "support/requirement.h"

using namespace quorrel;

namespace {

const std::string Counted = Banner + "3 emails found, 300 bytes\r\n";
const std::string Lost = "Connection lost: the sweep ends here\r\n";
const std::string Unconfirmed = "The server did not confirm QUIT: messages shown as DELETED may still be there\r\n";

using TScript = std::function<void(TPop3ScriptServer&)>;

// The program once against Script, with the filter word "lottery" and More.
TScenario Against(TScript Script, const std::vector<std::string>& More = {}) {
  return {.Runs = {With({"u", "p", "127.0.0.1", "lottery"}, More)},
          .Peer = TPeer::Script,
          .Script = std::move(Script),
          .StderrExpected = true,
          .TimeoutSeconds = 150};  // the program's own time-outs end every scenario well within this
}

// A mailbox of three messages; message 2 matches the filter word "lottery".
// The dialogue runs up to the step named by Cut; there Fault(Server) takes over
// instead of the server's reply (or of the rest of it, after Partial).
enum TStep { AtGreeting, AtCapa, AtUser, AtPass, AtCapaAgain, AtStat, AtTop3, InTop2List, AtDele2, AtTop1, AtQuit, Never };

TScript Mailbox(TStep Cut, TScript Fault) {
  return [Cut, Fault](TPop3ScriptServer& S) {
    auto Step = [&](TStep Here, const std::string& Command, const std::string& Reply, const std::string& Partial = "") {
      if (Cut < Here) return;
      if (!Command.empty()) S.Expect(Command);
      if (Cut != Here) {
        S.Send(Reply);
        return;
      }
      if (!Partial.empty()) S.Send(Partial);
      Fault(S);
    };
    Step(AtGreeting, "", "+OK ready\r\n");
    Step(AtCapa, "CAPA", "+OK\r\nUSER\r\nTOP\r\n.\r\n");
    Step(AtUser, "USER u", "+OK\r\n");
    Step(AtPass, "PASS p", "+OK\r\n");
    // Asked again after login, as the first list did not name PIPELINING.
    Step(AtCapaAgain, "CAPA", "+OK\r\nUSER\r\nTOP\r\n.\r\n");
    Step(AtStat, "STAT", "+OK 3 300\r\n");
    Step(AtTop3, "TOP 3 0", "+OK\r\nSubject: three\r\n\r\n.\r\n");
    const std::string Top2 = "+OK\r\nFrom: a@example.org\r\nSubject: lottery win\r\n";
    Step(InTop2List, "TOP 2 0", Top2 + "\r\n.\r\n", Top2);
    Step(AtDele2, "DELE 2", "+OK marked\r\n");
    Step(AtTop1, "TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n");
    Step(AtQuit, "QUIT", "+OK bye\r\n");
  };
}

const std::string Swept = Counted + "3:three SKIPPED\r\n2:lottery win DELETED\r\n1:one SKIPPED\r\n";

const std::string LoginError = Banner + "Login Error\r\n";
const std::string BrokenInTop2 = Counted + "3:three SKIPPED\r\n2: SKIPPED\r\n" + Lost;

// Each step where the dialogue can break off, what the program then writes, and
// how standard error names the failed step.
struct TBreak {
  TStep Cut;
  std::string Output, Reason;
};
const std::vector<TBreak> EveryStep = {
    {AtGreeting, LoginError, "quorrel: no session with 127.0.0.1:110: "},
    {AtCapa, LoginError, "quorrel: no session with 127.0.0.1:110: "},
    {AtStat, Banner, "quorrel: STAT failed: "},
    {AtUser, LoginError, "quorrel: login at 127.0.0.1:110 failed: "},
    {AtPass, LoginError, "quorrel: login at 127.0.0.1:110 failed: "},
    {AtCapaAgain, Banner, "quorrel: STAT failed: "},
    {AtTop3, Counted + "3: SKIPPED\r\n" + Lost, "quorrel: TOP 3 failed: "},
    {InTop2List, BrokenInTop2, "quorrel: TOP 2 failed: "},
    {AtDele2, Counted + "3:three SKIPPED\r\n2:lottery win NOT DELETED\r\n" + Lost, "quorrel: DELE 2 failed: "},
    {AtTop1, Counted + "3:three SKIPPED\r\n2:lottery win DELETED\r\n1: SKIPPED\r\n" + Lost + Unconfirmed,
     "quorrel: TOP 1 failed: "},
    {AtQuit, Swept + Unconfirmed, "quorrel: QUIT failed: "},
};

// A login that CAPA does not help with, STAT answered by StatReply, then Rest.
TScript LoggedIn(const std::string& StatReply, const TScript& Rest) {
  return [=](TPop3ScriptServer& S) {
    S.Line("+OK ready").On("CAPA", "-ERR\r\n").On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n").On("STAT", StatReply);
    Rest(S);
  };
}

void ExpectOnlyTheMatchDeleted(const TOutcome& O, const std::string& Match = "DELE 2") {
  using namespace ::testing;
  EXPECT_THAT(O.Commands, Each(AnyOf(Not(StartsWith("DELE ")), Match)));
}

// A sanitizer's shadow memory and quarantine multiply what the program holds.
long MemoryScale() { return std::getenv("QUORREL_SANITIZED") ? 4 : 1; }

void ExpectClean(const TOutcome& O, const std::string& Name, const std::string& Match = "DELE 2", int Status = 0,
                 long PeakKiB = 16 * 1024) {
  ASSERT_EQ(O.Trouble, "") << Name;
  EXPECT_EQ(O.Statuses[0], Status) << Name << ": the program crashed or hung, or said the wrong thing";
  EXPECT_LT(O.PeakKiB[0], PeakKiB * MemoryScale()) << Name;
  ExpectOnlyTheMatchDeleted(O, Match);
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override { QUORREL_REQUIRE(E2E.Missing(TPeer::Script)); }

  // The mailbox broken off by Fault at every step, each run asking for the exit
  // status a scheduler reads (every such step is one to try again later): each
  // outcome is clean, says what EveryStep says and ends with status 75.
  std::vector<TOutcome> BreakAtEveryStep(const std::string& How, const TScript& Fault) {
    std::vector<TScenario> S;
    for (const TBreak& B : EveryStep) S.push_back(Against(Mailbox(B.Cut, Fault), {"--sysexits"}));
    std::vector<TOutcome> Outcomes = E2E.RunAll(S);
    for (size_t I = 0; I < EveryStep.size(); ++I) {
      const std::string Name = How + " at step " + std::to_string(EveryStep[I].Cut);
      ExpectClean(Outcomes[I], Name, "DELE 2", 75);
      EXPECT_EQ(Outcomes[I].Outputs[0], EveryStep[I].Output) << Name;
    }
    return Outcomes;
  }

  // Runs each script side by side: each outcome must be clean, with only Match
  // deleted, and say the script's output.
  std::vector<TOutcome> ExpectEach(const std::string& What, const std::vector<std::pair<TScript, std::string>>& Cases,
                                   const std::string& Match = "DELE 2") {
    std::vector<TScenario> S;
    for (const auto& C : Cases) S.push_back(Against(C.first));
    std::vector<TOutcome> Outcomes = E2E.RunAll(S);
    for (size_t I = 0; I < Cases.size(); ++I) {
      ExpectClean(Outcomes[I], What + " " + std::to_string(I), Match);
      EXPECT_EQ(Outcomes[I].Outputs[0], Cases[I].second) << What << " " << I;
    }
    return Outcomes;
  }

  TEndToEnd E2E;
};

}  // namespace

TEST_F(Hostile, AnUntroubledSessionSweepsAsUsual) {
  auto O = E2E.Run(Against(Mailbox(Never, nullptr)));
  ExpectClean(O, "untroubled");
  EXPECT_EQ(O.Outputs[0], Swept);
  EXPECT_THAT(O.Commands, ::testing::ElementsAre("CAPA", "USER u", "PASS p", "CAPA", "STAT", "TOP 3 0", "TOP 2 0",
                                                 "DELE 2", "TOP 1 0", "QUIT"));
}

TEST_F(Hostile, ConnectionDroppedAtEveryStep) {
  auto Outcomes = BreakAtEveryStep("dropped", [](TPop3ScriptServer& Server) { Server.Close(); });
  for (size_t I = 0; I < EveryStep.size(); ++I) {
    const auto& O = Outcomes[I];
    const std::string Name = "dropped at step " + std::to_string(EveryStep[I].Cut);
    // Standard error names the failed step and the socket's reason.
    EXPECT_NE(O.Errors[0].find(EveryStep[I].Reason), std::string::npos) << Name << ": " << O.Errors[0];
    EXPECT_NE(O.Errors[0].find("(10054)"), std::string::npos) << Name << ": " << O.Errors[0];
    // A dropped session never says QUIT (unless QUIT itself was the last word).
    if (EveryStep[I].Cut != AtQuit) {
      EXPECT_THAT(O.Commands, ::testing::Not(::testing::Contains("QUIT"))) << Name;
    }
  }
}

TEST_F(Hostile, StallAtEveryStepEndsAtTheTimeout) {
  const auto Start = std::chrono::steady_clock::now();
  BreakAtEveryStep("stalled", [](TPop3ScriptServer& Server) { Server.Stall(100000); });
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(140));
}

TEST_F(Hostile, EndlessLinesAndListsStayBounded) {
  const std::string Junk(1 << 20, 'x');
  std::string Flood;
  for (int I = 0; I < 7 * 1024 * 1024; ++I) Flood += "X: y\r\n";  // ~42 MiB of short lines
  std::vector<TScenario> S{
      // A header line that never ends.
      Against(Mailbox(InTop2List, [Junk](TPop3ScriptServer& Server) {
        for (int I = 0; I < 8; ++I) Server.Send(Junk);
      })),
      // A greeting that never ends.
      Against(Mailbox(AtGreeting, [Junk](TPop3ScriptServer& Server) {
        Server.Send("+OK ");
        for (int I = 0; I < 8; ++I) Server.Send(Junk);
      })),
      // A list of short lines without its end, then silence: bounded, then timed out.
      Against(Mailbox(InTop2List, [Flood](TPop3ScriptServer& Server) { Server.Send(Flood).Close(); })),
  };
  auto Outcomes = E2E.RunAll(S);
  ExpectClean(Outcomes[0], "endless header line");
  EXPECT_EQ(Outcomes[0].Outputs[0], BrokenInTop2);
  ExpectClean(Outcomes[1], "endless greeting");
  EXPECT_EQ(Outcomes[1].Outputs[0], LoginError);
  // A flood of lines must not be held without bound.
  ExpectClean(Outcomes[2], "flood of lines", "DELE 2", 0, 512 * 1024);
  EXPECT_EQ(Outcomes[2].Outputs[0], BrokenInTop2);
}

TEST_F(Hostile, ATrickleOfSingleBytesStillWorks) {
  auto Trickle = [](TPop3ScriptServer& S, const std::string& Bytes) {
    for (char C : Bytes) S.Send(std::string(1, C)).Stall(2);
  };
  auto O = E2E.Run(Against([Trickle](TPop3ScriptServer& Server) {
    Trickle(Server, "+OK ready\r\n");
    Server.Expect("CAPA");
    Trickle(Server, "-ERR no\r\n");
    Server.On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n").Expect("STAT");
    Trickle(Server, "+OK 1 50\r\n");
    Server.Expect("TOP 1 0");
    Trickle(Server, "+OK\r\nSubject: Lottery\r\nX: y\r\n\r\n.\r\n");
    Server.On("DELE 1", "+OK\r\n").Expect("QUIT");
    Trickle(Server, "+OK\r\n");
  }));
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Statuses[0], 0);
  EXPECT_EQ(O.Outputs[0], Banner + "1 emails found, 50 bytes\r\n1:Lottery DELETED\r\n");
}

TEST_F(Hostile, GarbageNulsAndOddCounts) {
  const TScript Quit = [](TPop3ScriptServer& S) { S.On("QUIT", "+OK\r\n"); };
  ExpectEach("garbage scenario", {
      {[](TPop3ScriptServer& S) { S.Send(std::string("\x00\xff\x1b[2J garbage\r\n", 16)); }, LoginError},
      {LoggedIn("+OK 1 10\r\n",
                [](TPop3ScriptServer& S) {
                  S.On("TOP 1 0", std::string("+OK\r\nSubject: a\x00z lottery\r\n\x00\x01\r\n.\r\n", 33))
                      .On("DELE 1", "+OK\r\n")
                      .On("QUIT", "+OK\r\n");
                }),
       Banner + "1 emails found, 10 bytes\r\n" + std::string("1:a\x00z lottery DELETED\r\n", 23)},
      {LoggedIn("+OK 99999999999 7\r\n", Quit), Banner + "0 emails found, 7 bytes\r\n"},
      {LoggedIn("+OK -3 7\r\n", Quit), Banner + "-3 emails found, 7 bytes\r\n"},
      {LoggedIn("+OK many lots\r\n", Quit), Banner + "0 emails found, 0 bytes\r\n"},
      // A count no mailbox has, then the server goes away: the sweep must not
      // walk two billion message numbers.
      {LoggedIn("+OK 2147483647 7\r\n",
                [](TPop3ScriptServer& S) {
                  S.On("TOP 2147483647 0", "-ERR no such message\r\n").Expect("TOP 2147483646 0").Close();
                }),
       Banner + "2147483647 emails found, 7 bytes\r\n2147483647: SKIPPED\r\n2147483646: SKIPPED\r\n" + Lost},
      // Text behind the size, as RFC 1939 allows.
      {LoggedIn("+OK 0 320 octets\r\n", Quit), Banner + "0 emails found, 320 bytes\r\n"},
  }, "DELE 1");
}

TEST_F(Hostile, RepliesThatComeBeforeTheirCommand) {
  const auto O = ExpectEach("early replies", {
      // Everything at once, before any command.
      {[](TPop3ScriptServer& S) { S.Send("+OK ready\r\n+OK\r\n.\r\n+OK\r\n+OK\r\n+OK 1 5\r\n"); }, LoginError},
      // Behind message 3's header, the reply to a TOP 2 that was never sent,
      // carrying the filter word: it must never lead to a DELE.
      {LoggedIn("+OK 3 300\r\n",
                [](TPop3ScriptServer& S) {
                  S.On("TOP 3 0", "+OK\r\nSubject: three\r\n\r\n.\r\n+OK\r\nSubject: lottery\r\n\r\n.\r\n");
                  S.AfterScriptReply = "+OK\r\n";
                }),
       BrokenInTop2},
  });
  EXPECT_THAT(O[1].Commands, ::testing::Each(::testing::Not(::testing::StartsWith("DELE"))));
}

// With PIPELINING before login, USER and PASS go with STAT and LIST in one
// flight. A refused PASS and a cut read as one command at a time; a STAT given
// another command's reply ends the session without QUIT. A dry run sends its
// QUIT with its last TOP and LIST; a run that deletes only once all is shown.
TEST_F(Hostile, CommandsInOneFlight) {
  const auto Flight = [](const TScript& AfterUser) {
    return TScript([AfterUser](TPop3ScriptServer& S) {
      S.Line("+OK ready").On("CAPA", "+OK\r\nUSER\r\nTOP\r\nPIPELINING\r\n.\r\n").On("USER u", "+OK\r\n");
      AfterUser(S);
    });
  };
  const auto Swept = [](bool Dele) {
    return TScript([Dele](TPop3ScriptServer& S) {
      S.On("PASS p", "+OK\r\n").On("STAT", "+OK 1 100\r\n").On("LIST", "+OK\r\n1 100\r\n.\r\n");
      S.On("TOP 1 0", "+OK\r\nSubject: lottery\r\n\r\n.\r\n").On("LIST 1", "+OK 1 100\r\n");
      if (Dele) S.On("DELE 1", "+OK\r\n");
      S.On("QUIT", "+OK bye\r\n");
    });
  };
  const auto O = E2E.RunAll({
      Against(Flight([](TPop3ScriptServer& S) {
        S.On("PASS p", "-ERR wrong password\r\n").On("STAT", "-ERR\r\n").On("LIST", "-ERR\r\n").On("QUIT", "+OK\r\n");
      })),
      Against(Flight([](TPop3ScriptServer& S) { S.Close(); })),
      Against(Flight([](TPop3ScriptServer& S) { S.On("PASS p", "+OK\r\n+OK logged in\r\n").Expect("STAT"); }),
              {"--sysexits"}),
      Against(Flight(Swept(false)), {"--dry-run"}),
      Against(Flight(Swept(true))),
  });
  const std::vector<std::string> Login = {"CAPA", "USER u", "> PASS p", "> STAT", "> LIST"};
  EXPECT_EQ(O[0].Outputs[0], LoginError);
  EXPECT_EQ(O[0].Errors[0], "quorrel: login refused by 127.0.0.1:110: the server said -ERR wrong password\n");
  EXPECT_EQ(O[0].Dialogue, With(Login, {"QUIT"}));
  EXPECT_EQ(O[1].Outputs[0], LoginError);
  EXPECT_EQ(O[1].Errors[0].rfind("quorrel: login at 127.0.0.1:110 failed: ", 0), 0u) << O[1].Errors[0];
  EXPECT_EQ(O[2].Statuses[0], 76);
  EXPECT_EQ(O[2].Outputs[0], Banner);
  EXPECT_EQ(O[2].Errors[0], "quorrel: the server's replies are out of step: STAT was to be answered \"+OK <count> "
                            "<size>\", the server said \"+OK logged in\"; the session ends without QUIT, nothing is deleted\n");
  EXPECT_THAT(O[2].Commands, ::testing::Not(::testing::Contains("QUIT")));
  const std::string Found = Banner + "1 emails found, 100 bytes\r\n";
  EXPECT_EQ(O[3].Outputs[0], Found + "1:lottery WOULD DELETE\r\n");
  EXPECT_EQ(O[3].Dialogue, With(Login, {"TOP 1 0", "> LIST 1", "> QUIT"}));
  EXPECT_EQ(O[4].Outputs[0], Found + "1:lottery DELETED\r\n");
  EXPECT_EQ(O[4].Dialogue, With(Login, {"TOP 1 0", "> LIST 1", "DELE 1", "QUIT"}));
  for (const TOutcome& Each : O) ExpectClean(Each, "in one flight", "DELE 1", Each.Statuses[0]);
}

// A greeting that refuses is the server's own "unavailable"; one that is no
// POP3 reply at all is a protocol error.
TEST_F(Hostile, GreetingStatusesUnderSysexits) {
  const auto Greeting = [](const std::string& Line) { return TScript([Line](TPop3ScriptServer& S) { S.Line(Line); }); };
  const auto O = E2E.RunAll({Against(Greeting("-ERR too busy"), {"--sysexits"}),
                             Against(Greeting("* OK not a POP3 server"), {"--sysexits"})});
  for (const TOutcome& Each : O) EXPECT_EQ(Each.Outputs[0], LoginError);
  EXPECT_EQ(O[0].Statuses[0], 69);
  EXPECT_EQ(O[1].Statuses[0], 76);
}

// A refusal's response code tells a scheduler whether to try again: each
// code's status, and its meaning on standard error.
TEST_F(Hostile, ResponseCodesDecideTheStatus) {
  const struct {
    const char* Refusal;
    bool AtStat;  // else at PASS
    int Status;
    const char* Words;
  } Cases[] = {
      {"-ERR [IN-USE] mailbox locked", false, 75, "(another session holds the mailbox)"},
      {"-ERR [LOGIN-DELAY] wait", false, 75, "(the server asks for a longer wait between logins)"},
      {"-ERR [sys/temp] disk busy", true, 75, "(the server has a passing trouble of its own)"},
      {"-ERR [SYS/PERM/QUOTA] closed", false, 69, "(the server has a lasting trouble of its own)"},
      {"-ERR [AUTH] bad password", false, 77, "(the user name or password was not taken)"},
      {"-ERR [UNKNOWN-CODE] no", false, 77, ""},  // as any refused login
  };
  std::vector<TScenario> S;
  for (const auto& C : Cases) {
    const std::string Refusal = std::string(C.Refusal) + "\r\n";
    const bool AtStat = C.AtStat;
    S.push_back(Against(
        [Refusal, AtStat](TPop3ScriptServer& Server) {
          Server.Line("+OK ready").On("CAPA", "-ERR\r\n").On("USER u", "+OK\r\n");
          if (AtStat)
            Server.On("PASS p", "+OK\r\n").On("STAT", Refusal);
          else
            Server.On("PASS p", Refusal);
        },
        {"--sysexits"}));
  }
  const std::vector<TOutcome> O = E2E.RunAll(S);
  for (size_t I = 0; I < O.size(); ++I) {
    SCOPED_TRACE(Cases[I].Refusal);
    ExpectClean(O[I], Cases[I].Refusal, "DELE 2", Cases[I].Status);
    const std::string Words = *Cases[I].Words ? std::string(" ") + Cases[I].Words : "";
    EXPECT_THAT(O[I].Errors[0], ::testing::HasSubstr(std::string(Cases[I].Refusal) + Words + "\n"));
  }
}

// With --only-new, a login refused for coming too soon says when the next one
// is taken: the announced delay after the last run recorded.
TEST_F(Hostile, ALoginDelaySaysWhenTheNextLoginIsTaken) {
  const std::string State = E2E.Dir + "/state";
  WriteFile(State, "");
  const time_t Last = ::time(nullptr) - 60;
  const timespec Times[2] = {{Last, 0}, {Last, 0}};
  ::utimensat(AT_FDCWD, State.c_str(), Times, 0);
  const time_t Next = Last + 900;
  char When[32];
  tm Local{};
  ::localtime_r(&Next, &Local);
  std::strftime(When, sizeof When, "%Y-%m-%d %H:%M:%S", &Local);
  const auto O = E2E.Run(Against(
      [](TPop3ScriptServer& Server) {
        Server.Line("+OK ready").On("CAPA", "+OK\r\nUSER\r\nLOGIN-DELAY 900\r\n.\r\n").On("USER u", "+OK\r\n");
        Server.On("PASS p", "-ERR [LOGIN-DELAY] too soon\r\n");
      },
      {"--only-new", "--state-file", State, "--sysexits"}));
  ExpectClean(O, "login delay", "DELE 2", 75);
  EXPECT_THAT(O.Errors[0], ::testing::HasSubstr("quorrel: the server takes a login at most every 900 s: the next one "
                                                "is taken from " + std::string(When) + "\n"));
}

// A server that takes DELE and QUIT and keeps the mail (as Gmail may): the
// next --only-new run says so once and does not show it as deleted again.
TEST_F(Hostile, MailADeleDidNotRemoveIsNotShownDeletedAgain) {
  const auto Session = [](TPop3ScriptServer& S, bool First) {
    S.Line("+OK Gpop ready for requests").On("CAPA", "-ERR\r\n").On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n");
    S.On("STAT", "+OK 2 200\r\n").On("UIDL", "+OK\r\n1 aaa\r\n2 bbb\r\n.\r\n").On("LIST", "+OK\r\n1 100\r\n2 100\r\n.\r\n");
    if (First) {
      S.On("TOP 2 0", "+OK\r\nSubject: lottery win\r\n\r\n.\r\n").On("DELE 2", "+OK\r\n");
      S.On("TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n");
    }
    S.On("QUIT", "+OK\r\n");
  };
  const std::vector<std::string> Args = {"u", "p", "127.0.0.1", "lottery", "--only-new", "--state-file",
                                         E2E.Dir + "/state", "--sysexits"};
  TScenario S = Against([&](TPop3ScriptServer& Server) {
    Session(Server, true);
    Server.NextConnection();
    Session(Server, false);
  });
  S.Runs = {Args, With(Args, {"--quiet"})};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0})) << O.Errors[1];
  EXPECT_THAT(O.Outputs[0], ::testing::HasSubstr("2:lottery win DELETED\r\n1:one SKIPPED\r\n"));
  EXPECT_EQ(O.Outputs[1], "2 messages: 0 deleted, 0 kept, 1 not read again, 1 still on the server after DELE\r\n");
  EXPECT_THAT(O.Errors[1], ::testing::HasSubstr(
                               "quorrel: 1 message whose deletion the server confirmed before is still listed: this "
                               "server keeps deleted mail (Gmail: Settings, Forwarding and POP/IMAP"));
  EXPECT_EQ(std::count(O.Commands.begin(), O.Commands.end(), "TOP 2 0"), 1);  // read in the first run only
}
