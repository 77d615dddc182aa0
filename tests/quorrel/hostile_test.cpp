// The program against a hostile POP3 server: the connection dropped or stalled
// at every step of the dialogue, endless lines and lists, a trickle of single
// bytes, garbage, odd STAT counts and replies that come before their command.
// Each scenario runs in a child process with a network namespace of its own, so
// the program finds its server on port 110 and scenarios can run side by side
// (the stalls each take the program's full 60-second time-out).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/pop3_server.h"
#include "support/requirement.h"
#include "support/process.h"

using namespace quorrel;

namespace {

const std::string Head = "Quorrel version 1.0 https://quorrel.example.org\r\n";
const std::string Counted = Head + "3 emails found, 300 bytes\r\n";
const std::string Lost = "Connection lost: the sweep ends here\r\n";
const std::string Unconfirmed = "The server did not confirm QUIT: messages shown as DELETED may still be there\r\n";

struct TOutcome {
  int Status = -1;          // the program's exit status; -1 when it did not end by itself
  std::string Out;          // its standard output
  std::string Err;          // its standard error
  long PeakRssKiB = 0;
  std::vector<std::string> Commands;  // what the server received
  std::string Trouble;      // the scenario itself could not run
};

using TScript = std::function<void(TPop3ScriptServer&)>;

class TScenario {
 public:
  TScenario(TScript Script, std::vector<std::string> Args = {"u", "p", "127.0.0.1", "lottery"})
      : Script(std::move(Script)), Args(std::move(Args)) {}

  // Forks the child that owns the namespace, the server and the program.
  void Start() {
    Dir = MakeTempDir("quorrel-hostile");
    Child = fork();
    if (Child == 0) _exit(RunChild());
  }

  TOutcome Finish() {
    TOutcome O;
    int Status = 0;
    if (Child > 0) waitpid(Child, &Status, 0);
    std::istringstream Result(ReadFile(Dir + "/result"));
    if (!(Result >> O.Status >> O.PeakRssKiB)) O.Trouble = ReadFile(Dir + "/trouble");
    O.Out = ReadFile(Dir + "/out");
    O.Err = ReadFile(Dir + "/err");
    std::istringstream Commands(ReadFile(Dir + "/commands"));
    for (std::string Line; std::getline(Commands, Line);) O.Commands.push_back(Line);
    RemoveTree(Dir);
    return O;
  }

 private:
  int RunChild() {
    auto Fail = [this](const std::string& Why) {
      WriteFile(Dir + "/trouble", Why);
      return 0;
    };
    if (unshare(CLONE_NEWNET) != 0) return Fail("no network namespace (needs root)");
    if (std::system("ip link set lo up") != 0) return Fail("cannot bring loopback up");
    const char* Binary = std::getenv("QUORREL_BINARY");
    if (!Binary) return Fail("QUORREL_BINARY is not set");
    TPop3ScriptServer Server;
    Server.ReadTimeoutMs = 120000;
    Script(Server);
    if (!Server.Start(110)) return Fail("cannot listen on port 110");

    pid_t Tool = fork();
    if (Tool == 0) {
      freopen((Dir + "/out").c_str(), "w", stdout);
      freopen((Dir + "/err").c_str(), "w", stderr);
      std::vector<char*> Argv{const_cast<char*>(Binary)};
      for (auto& A : Args) Argv.push_back(A.data());
      Argv.push_back(nullptr);
      execv(Binary, Argv.data());
      _exit(127);
    }
    // The program's own time-outs end every scenario well within this.
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    int Status = 0;
    bool Ended = false;
    // The peak resident size of the program itself: the high-water mark of its
    // own image (a fork's count would include this process's pages).
    long PeakKiB = 0;
    const std::string StatusFile = "/proc/" + std::to_string(Tool) + "/status";
    while (std::chrono::steady_clock::now() < Deadline) {
      std::istringstream Lines(ReadFile(StatusFile));
      bool Exec = false;  // until the exec, the child is a copy of this process
      for (std::string L; std::getline(Lines, L);) {
        if (L.rfind("Name:", 0) == 0) Exec = L.find("quorrel") != std::string::npos;
        if (Exec && L.rfind("VmHWM:", 0) == 0) PeakKiB = std::max(PeakKiB, std::atol(L.c_str() + 6));
      }
      if (waitpid(Tool, &Status, WNOHANG) == Tool) {
        Ended = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!Ended) {
      kill(Tool, SIGKILL);
      waitpid(Tool, &Status, 0);
    }
    Server.Stop();
    std::string Commands;
    for (const auto& C : Server.Commands()) Commands += C + "\n";
    WriteFile(Dir + "/commands", Commands);
    int Exit = Ended && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    WriteFile(Dir + "/result", std::to_string(Exit) + " " + std::to_string(PeakKiB) + "\n");
    return 0;
  }

  TScript Script;
  std::vector<std::string> Args;
  std::string Dir;
  pid_t Child = -1;
};

// Runs the scenarios side by side and returns their outcomes in order.
std::vector<TOutcome> RunAll(std::vector<TScenario>& Scenarios) {
  for (auto& S : Scenarios) S.Start();
  std::vector<TOutcome> Outcomes;
  for (auto& S : Scenarios) Outcomes.push_back(S.Finish());
  return Outcomes;
}

// A mailbox of three messages; message 2 matches the filter word "lottery".
// The dialogue runs up to the step named by Cut; there Fault(Server) takes over
// instead of the server's reply.
enum TStep { AtGreeting, AtCapa, AtUser, AtPass, AtStat, AtTop3, InTop2List, AtDele2, AtTop1, AtQuit, Never };

TScript Mailbox(TStep Cut, std::function<void(TPop3ScriptServer&)> Fault) {
  return [Cut, Fault](TPop3ScriptServer& S) {
    auto Step = [&](TStep Here, const std::string& Command, const std::string& Reply) {
      if (Cut < Here) return;
      if (!Command.empty()) S.Expect(Command);
      if (Cut == Here) {
        Fault(S);
      } else {
        S.Send(Reply);
      }
    };
    Step(AtGreeting, "", "+OK ready\r\n");
    Step(AtCapa, "CAPA", "+OK\r\nUSER\r\nTOP\r\n.\r\n");
    Step(AtUser, "USER u", "+OK\r\n");
    Step(AtPass, "PASS p", "+OK\r\n");
    Step(AtStat, "STAT", "+OK 3 300\r\n");
    Step(AtTop3, "TOP 3 0", "+OK\r\nSubject: three\r\n\r\n.\r\n");
    if (Cut == InTop2List) {
      S.Expect("TOP 2 0").Send("+OK\r\nFrom: a@example.org\r\nSubject: lottery win\r\n");
      Fault(S);
      return;
    }
    Step(InTop2List, "TOP 2 0", "+OK\r\nFrom: a@example.org\r\nSubject: lottery win\r\n\r\n.\r\n");
    Step(AtDele2, "DELE 2", "+OK marked\r\n");
    Step(AtTop1, "TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n");
    Step(AtQuit, "QUIT", "+OK bye\r\n");
  };
}

const std::string Swept = Counted + "3:three SKIPPED\r\n2:lottery win DELETED\r\n1:one SKIPPED\r\n";

// What the program writes when the dialogue breaks off at each step.
std::string ExpectedAfterBreak(TStep Cut) {
  switch (Cut) {
    case AtGreeting:
    case AtCapa:
    case AtUser:
    case AtPass:
      return Head + "Login Error\r\n";
    case AtStat:
      return Head;
    case AtTop3:
      return Counted + "3: SKIPPED\r\n" + Lost;
    case InTop2List:
      return Counted + "3:three SKIPPED\r\n2: SKIPPED\r\n" + Lost;
    case AtDele2:
      return Counted + "3:three SKIPPED\r\n2:lottery win NOT DELETED\r\n" + Lost;
    case AtTop1:
      return Counted + "3:three SKIPPED\r\n2:lottery win DELETED\r\n1: SKIPPED\r\n" + Lost + Unconfirmed;
    case AtQuit:
      return Swept + Unconfirmed;
    default:
      return Swept;
  }
}

const std::vector<TStep> EveryStep = {AtGreeting, AtCapa, AtStat, AtUser, AtPass, AtTop3, InTop2List, AtDele2, AtTop1, AtQuit};

void ExpectOnlyTheMatchDeleted(const TOutcome& O, const std::string& Match = "DELE 2") {
  for (const auto& C : O.Commands)
    if (C.rfind("DELE ", 0) == 0) {
      EXPECT_EQ(C, Match);
    }
}

// A sanitizer's shadow memory and quarantine multiply what the program holds.
long MemoryScale() { return std::getenv("QUORREL_SANITIZED") ? 4 : 1; }

void ExpectClean(const TOutcome& O, const std::string& Name, const std::string& Match = "DELE 2") {
  ASSERT_EQ(O.Trouble, "") << Name;
  EXPECT_EQ(O.Status, 0) << Name << ": the program crashed or hung";
  EXPECT_LT(O.PeakRssKiB, 16 * 1024 * MemoryScale()) << Name;
  ExpectOnlyTheMatchDeleted(O, Match);
}

// The start of what standard error says when the dialogue breaks off at Cut.
std::string ReasonAfterBreak(TStep Cut) {
  switch (Cut) {
    case AtGreeting:
    case AtCapa:
      return "quorrel: no session with 127.0.0.1:110: ";
    case AtUser:
    case AtPass:
      return "quorrel: login at 127.0.0.1:110 failed: ";
    case AtStat:
      return "quorrel: STAT failed: ";
    case AtTop3:
      return "quorrel: TOP 3 failed: ";
    case InTop2List:
      return "quorrel: TOP 2 failed: ";
    case AtDele2:
      return "quorrel: DELE 2 failed: ";
    case AtTop1:
      return "quorrel: TOP 1 failed: ";
    case AtQuit:
      return "quorrel: QUIT failed: ";
    default:
      return "";
  }
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("QUORREL_BINARY")) QUORREL_REQUIRE(std::string("QUORREL_BINARY is not set (run through ctest)"));
    QUORREL_REQUIRE_ROOT();
  }
};

}  // namespace

TEST_F(Hostile, AnUntroubledSessionSweepsAsUsual) {
  std::vector<TScenario> S{TScenario(Mailbox(Never, nullptr))};
  auto O = RunAll(S)[0];
  ExpectClean(O, "untroubled");
  EXPECT_EQ(O.Out, Swept);
  EXPECT_THAT(O.Commands, ::testing::ElementsAre("CAPA", "USER u", "PASS p", "STAT", "TOP 3 0", "TOP 2 0", "DELE 2",
                                                 "TOP 1 0", "QUIT"));
}

TEST_F(Hostile, ConnectionDroppedAtEveryStep) {
  std::vector<TScenario> S;
  for (TStep Cut : EveryStep) S.emplace_back(Mailbox(Cut, [](TPop3ScriptServer& Server) { Server.Close(); }));
  auto Outcomes = RunAll(S);
  for (size_t I = 0; I < EveryStep.size(); ++I) {
    const auto& O = Outcomes[I];
    const std::string Name = "dropped at step " + std::to_string(EveryStep[I]);
    ExpectClean(O, Name);
    EXPECT_EQ(O.Out, ExpectedAfterBreak(EveryStep[I])) << Name;
    // Standard error names the failed step and the socket's reason.
    EXPECT_NE(O.Err.find(ReasonAfterBreak(EveryStep[I])), std::string::npos) << Name << ": " << O.Err;
    EXPECT_NE(O.Err.find("(10054)"), std::string::npos) << Name << ": " << O.Err;
    // A dropped session never says QUIT (unless QUIT itself was the last word).
    if (EveryStep[I] != AtQuit) {
      EXPECT_THAT(O.Commands, ::testing::Not(::testing::Contains("QUIT"))) << Name;
    }
  }
}

TEST_F(Hostile, StallAtEveryStepEndsAtTheTimeout) {
  std::vector<TScenario> S;
  for (TStep Cut : EveryStep) S.emplace_back(Mailbox(Cut, [](TPop3ScriptServer& Server) { Server.Stall(100000); }));
  auto Start = std::chrono::steady_clock::now();
  auto Outcomes = RunAll(S);
  auto Seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - Start).count();
  EXPECT_LT(Seconds, 140);
  for (size_t I = 0; I < EveryStep.size(); ++I) {
    const auto& O = Outcomes[I];
    const std::string Name = "stalled at step " + std::to_string(EveryStep[I]);
    ExpectClean(O, Name);
    EXPECT_EQ(O.Out, ExpectedAfterBreak(EveryStep[I])) << Name;
  }
}

TEST_F(Hostile, EndlessLinesAndListsStayBounded) {
  const std::string Junk(1 << 20, 'x');
  std::string Flood;
  for (int I = 0; I < 7 * 1024 * 1024; ++I) Flood += "X: y\r\n";  // ~42 MiB of short lines
  std::vector<TScenario> S{
      // A header line that never ends.
      TScenario(Mailbox(InTop2List, [Junk](TPop3ScriptServer& Server) {
        for (int I = 0; I < 8; ++I) Server.Send(Junk);
      })),
      // A greeting that never ends.
      TScenario(Mailbox(AtGreeting, [Junk](TPop3ScriptServer& Server) {
        Server.Send("+OK ");
        for (int I = 0; I < 8; ++I) Server.Send(Junk);
      })),
      // A list of short lines without its end, then silence: bounded, then timed out.
      TScenario(Mailbox(InTop2List, [Flood](TPop3ScriptServer& Server) { Server.Send(Flood).Close(); })),
  };
  auto Outcomes = RunAll(S);
  ExpectClean(Outcomes[0], "endless header line");
  EXPECT_EQ(Outcomes[0].Out, ExpectedAfterBreak(InTop2List));
  ExpectClean(Outcomes[1], "endless greeting");
  EXPECT_EQ(Outcomes[1].Out, Head + "Login Error\r\n");
  ASSERT_EQ(Outcomes[2].Trouble, "");
  EXPECT_EQ(Outcomes[2].Status, 0);
  EXPECT_LT(Outcomes[2].PeakRssKiB, 512 * 1024 * MemoryScale()) << "a flood of lines must not be held without bound";
  EXPECT_EQ(Outcomes[2].Out, ExpectedAfterBreak(InTop2List));
  ExpectOnlyTheMatchDeleted(Outcomes[2]);
}

TEST_F(Hostile, ATrickleOfSingleBytesStillWorks) {
  auto Trickle = [](TPop3ScriptServer& S, const std::string& Bytes) {
    for (char C : Bytes) S.Send(std::string(1, C)).Stall(2);
  };
  std::vector<TScenario> S{TScenario([Trickle](TPop3ScriptServer& Server) {
    Trickle(Server, "+OK ready\r\n");
    Server.Expect("CAPA");
    Trickle(Server, "-ERR no\r\n");
    Server.On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n").Expect("STAT");
    Trickle(Server, "+OK 1 50\r\n");
    Server.Expect("TOP 1 0");
    Trickle(Server, "+OK\r\nSubject: Lottery\r\nX: y\r\n\r\n.\r\n");
    Server.On("DELE 1", "+OK\r\n").Expect("QUIT");
    Trickle(Server, "+OK\r\n");
  })};
  auto O = RunAll(S)[0];
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Status, 0);
  EXPECT_EQ(O.Out, Head + "1 emails found, 50 bytes\r\n1:Lottery DELETED\r\n");
}

TEST_F(Hostile, GarbageNulsAndOddCounts) {
  auto Login = [](TPop3ScriptServer& S, const std::string& StatReply) {
    S.Line("+OK ready").On("CAPA", "-ERR\r\n").On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n").On("STAT", StatReply);
  };
  std::vector<TScenario> S{
      TScenario([](TPop3ScriptServer& Server) { Server.Send(std::string("\x00\xff\x1b[2J garbage\r\n", 16)); }),
      TScenario([Login](TPop3ScriptServer& Server) {
        Login(Server, "+OK 1 10\r\n");
        Server.On("TOP 1 0", std::string("+OK\r\nSubject: a\x00z lottery\r\n\x00\x01\r\n.\r\n", 33))
            .On("DELE 1", "+OK\r\n")
            .On("QUIT", "+OK\r\n");
      }),
      TScenario([Login](TPop3ScriptServer& Server) { Login(Server, "+OK 99999999999 7\r\n"); Server.On("QUIT", "+OK\r\n"); }),
      TScenario([Login](TPop3ScriptServer& Server) { Login(Server, "+OK -3 7\r\n"); Server.On("QUIT", "+OK\r\n"); }),
      TScenario([Login](TPop3ScriptServer& Server) { Login(Server, "+OK many lots\r\n"); Server.On("QUIT", "+OK\r\n"); }),
      // A count no mailbox has, then the server goes away: the sweep must not
      // walk two billion message numbers.
      TScenario([Login](TPop3ScriptServer& Server) {
        Login(Server, "+OK 2147483647 7\r\n");
        Server.On("TOP 2147483647 0", "-ERR no such message\r\n").Expect("TOP 2147483646 0").Close();
      }),
      // Text behind the size, as RFC 1939 allows.
      TScenario([Login](TPop3ScriptServer& Server) { Login(Server, "+OK 0 320 octets\r\n"); Server.On("QUIT", "+OK\r\n"); }),
  };
  auto O = RunAll(S);
  for (size_t I = 0; I < O.size(); ++I) ExpectClean(O[I], "garbage scenario " + std::to_string(I), "DELE 1");
  EXPECT_EQ(O[0].Out, Head + "Login Error\r\n");
  EXPECT_EQ(O[1].Out, Head + "1 emails found, 10 bytes\r\n" + std::string("1:a\x00z lottery DELETED\r\n", 23));
  EXPECT_EQ(O[2].Out, Head + "0 emails found, 7 bytes\r\n");
  EXPECT_EQ(O[3].Out, Head + "-3 emails found, 7 bytes\r\n");
  EXPECT_EQ(O[4].Out, Head + "0 emails found, 0 bytes\r\n");
  EXPECT_EQ(O[5].Out, Head + "2147483647 emails found, 7 bytes\r\n2147483647: SKIPPED\r\n2147483646: SKIPPED\r\n" + Lost);
  EXPECT_EQ(O[6].Out, Head + "0 emails found, 320 bytes\r\n");
}

TEST_F(Hostile, RepliesThatComeBeforeTheirCommand) {
  std::vector<TScenario> S{
      // Everything at once, before any command.
      TScenario([](TPop3ScriptServer& Server) {
        Server.Send("+OK ready\r\n+OK\r\n.\r\n+OK\r\n+OK\r\n+OK 1 5\r\n");
      }),
      // Behind message 3's header, the reply to a TOP 2 that was never sent,
      // carrying the filter word: it must never lead to a DELE.
      TScenario([](TPop3ScriptServer& Server) {
        Server.Line("+OK ready")
            .On("CAPA", "-ERR\r\n")
            .On("USER u", "+OK\r\n")
            .On("PASS p", "+OK\r\n")
            .On("STAT", "+OK 3 300\r\n")
            .On("TOP 3 0", "+OK\r\nSubject: three\r\n\r\n.\r\n+OK\r\nSubject: lottery\r\n\r\n.\r\n");
        Server.AfterScriptReply = "+OK\r\n";
      }),
  };
  auto O = RunAll(S);
  for (size_t I = 0; I < O.size(); ++I) ExpectClean(O[I], "early replies " + std::to_string(I));
  EXPECT_EQ(O[0].Out, Head + "Login Error\r\n");
  EXPECT_EQ(O[1].Out, Counted + "3:three SKIPPED\r\n2: SKIPPED\r\n" + Lost);
  for (const auto& C : O[1].Commands) EXPECT_EQ(C.rfind("DELE", 0), std::string::npos) << C;
}
