// Runs nobody watches, end to end: --only-new reads only the headers of new
// messages (Dovecot's log counts the TOPs), keeps its state through a changed
// filter, a dry run, a damaged file, a run killed in the middle and a second
// run at once; --sysexits statuses that real peers produce; --quiet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "quorrel/state.h"
#include "support/end_to_end.h"
#include "support/process.h"
#include "support/requirement.h"

using namespace quorrel;

namespace {

// The TOPs of each session, as Dovecot's logout lines count them.
std::vector<int> TopsPerSession(const std::string& Log) {
  std::vector<int> Tops;
  static const std::regex Logout("top=([0-9]+)/");
  for (std::sregex_iterator I(Log.begin(), Log.end(), Logout), End; I != End; ++I) Tops.push_back(std::stoi((*I)[1]));
  return Tops;
}

class Unattended : public ::testing::Test {
 protected:
  void SetUp() override { QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot)); }
  TEndToEnd E2E;
};

const std::vector<std::string> OnlyNew = {"--only-new", "--state-file", "{D}/state", "alice", "secret", "127.0.0.1"};

}  // namespace

TEST_F(Unattended, OnlyNewReadsOnlyWhatCameSinceTheLastRun) {
  TScenario S;
  S.StderrExpected = true;
  S.Messages = {Message({"Subject: Minutes 1"}), Message({"Subject: Lottery 2"}), Message({"Subject: Minutes 3"})};
  S.DeliverBefore = {{}, {Message({"Subject: Minutes 4"}), Message({"Subject: Lottery 5"})}};
  S.Runs = {With(OnlyNew, {"lottery"}), With(OnlyNew, {"lottery"}),
            With(OnlyNew, {"lottery", "minutes", "--dry-run"}),  // other words: all read, nothing kept
            With(OnlyNew, {"lottery", "--quiet", "--sysexits"})};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 0, 0}));
  EXPECT_THAT(TopsPerSession(O.Log), ::testing::ElementsAre(3, 2, 3, 0));
  EXPECT_NE(O.Outputs[0].find(" bytes\r\n3 new, 0 judged before\r\n3:Minutes 3 SKIPPED\r\n2:Lottery 2 DELETED\r\n"),
            std::string::npos) << O.Outputs[0];
  EXPECT_NE(O.Errors[0].find("there is no state yet: every message is read"), std::string::npos) << O.Errors[0];
  EXPECT_NE(O.Outputs[1].find(" bytes\r\n2 new, 2 judged before\r\n4:Lottery 5 DELETED\r\n3:Minutes 4 SKIPPED\r\n"),
            std::string::npos) << O.Outputs[1];
  EXPECT_EQ(O.Errors[1], "");
  EXPECT_NE(O.Errors[2].find("differ from the last run's: every message is read again"), std::string::npos);
  EXPECT_EQ(O.Outputs[3], "3 messages: 0 deleted, 0 kept, 3 not read again\r\n");
  EXPECT_EQ(O.Left, (std::vector<int>{1, 3, 4}));  // 2 and 5 held the lottery
}

// The state is never taken on trust, and a run that cannot have it changes
// nothing.
TEST_F(Unattended, DamagedHeldOrAbsentState) {
  const std::string Damaged = E2E.Dir + "/damaged", Held = E2E.Dir + "/held";
  WriteFile(Damaged, "quorrel-state 1 x\n12 \n");
  TMailboxState Holder;  // another run, holding the state
  bool Busy = false;
  ASSERT_EQ(Holder.Lock(Held, Busy), "");
  TScenario S;
  S.StderrExpected = true;
  S.Messages = {Message({"Subject: Lottery"})};
  S.Runs = {{"--only-new", "--state-file", Damaged, "--dry-run", "alice", "secret", "127.0.0.1", "lottery"},
            {"--only-new", "--state-file", Damaged, "alice", "secret", "127.0.0.1", "minutes"},
            {"--only-new", "--state-file", Held, "--sysexits", "alice", "secret", "127.0.0.1", "lottery"}};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_NE(O.Errors[0].find("damaged (line 2): every message is read"), std::string::npos) << O.Errors[0];
  EXPECT_NE(O.Outputs[0].find("1:Lottery WOULD DELETE"), std::string::npos);
  // A dry run writes nothing; a real one writes a fresh state.
  const std::string Fresh = ReadFile(Damaged);
  EXPECT_EQ(Fresh.rfind("quorrel-state 1 ", 0), 0u);
  EXPECT_EQ(std::count(Fresh.begin(), Fresh.end(), '\n'), 2) << Fresh;
  EXPECT_EQ(O.Statuses[2], 75);
  EXPECT_NE(O.Errors[2].find("another run holds the state"), std::string::npos) << O.Errors[2];
  EXPECT_EQ(O.Outputs[2], Banner);
  EXPECT_THAT(TopsPerSession(O.Log), ::testing::ElementsAre(1, 1));  // the third run never connected
}

// Killed in the middle of its second sweep, a run leaves the first one's state
// whole; a server without UIDL gets a full sweep and no state.
TEST_F(Unattended, KilledRunAndServerWithoutUidl) {
  TScenario Killed;
  Killed.Peer = TPeer::Script;
  Killed.StderrExpected = true;
  Killed.TimeoutSeconds = 4;
  Killed.Script = [](TPop3ScriptServer& Server) {
    for (const std::string Count : {"1", "2"}) {
      Server.Line("+OK ready")
          .On("CAPA", "+OK\r\nUSER\r\nUIDL\r\n.\r\n")
          .On("USER u", "+OK\r\n")
          .On("PASS p", "+OK\r\n")
          .On("CAPA", "+OK\r\nUSER\r\nUIDL\r\n.\r\n")
          .On("STAT", "+OK " + Count + " 40\r\n")
          .On("UIDL", Count == "1" ? "+OK\r\n1 one\r\n.\r\n" : "+OK\r\n1 one\r\n2 two\r\n.\r\n")
          .On("LIST", Count == "1" ? "+OK\r\n1 40\r\n.\r\n" : "+OK\r\n1 40\r\n2 40\r\n.\r\n");
      if (Count == "2") {
        Server.Expect("TOP 2 0").Stall(100000);
        break;
      }
      Server.On("TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n").On("QUIT", "+OK\r\n").NextConnection();
    }
  };
  const std::string KilledState = E2E.Dir + "/killed", NoUidlState = E2E.Dir + "/no-uidl";
  const std::vector<std::string> Run = {"--only-new", "--state-file", KilledState, "u", "p", "127.0.0.1", "lottery"};
  Killed.Runs = {Run, Run};
  TScenario NoUidl;
  NoUidl.Peer = TPeer::Script;
  NoUidl.StderrExpected = true;
  NoUidl.Script = [](TPop3ScriptServer& Server) {
    Server.Line("+OK ready")
        .On("CAPA", "-ERR\r\n")
        .On("USER u", "+OK\r\n")
        .On("PASS p", "+OK\r\n")
        .On("STAT", "+OK 1 40\r\n")
        .On("UIDL", "-ERR no such command\r\n")
        .On("TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n")
        .On("QUIT", "+OK\r\n");
  };
  NoUidl.Runs = {{"--only-new", "--state-file", NoUidlState, "u", "p", "127.0.0.1", "lottery"}};
  const std::vector<TOutcome> O = E2E.RunAll({Killed, NoUidl});
  ASSERT_EQ(O[0].Trouble, "");
  EXPECT_EQ(O[0].Statuses[0], 0);
  EXPECT_EQ(O[0].Statuses[1], -1);  // killed at the harness's time-out
  const std::string Kept = ReadFile(KilledState);
  EXPECT_EQ(Kept.substr(Kept.find('\n') + 1), "40 one\n");
  ASSERT_EQ(O[1].Trouble, "");
  EXPECT_EQ(O[1].Outputs[0], Banner + "1 emails found, 40 bytes\r\n1 new, 0 judged before\r\n1:one SKIPPED\r\n");
  EXPECT_NE(O[1].Errors[0].find("the server gives no unique ids (UIDL): every message is read"), std::string::npos)
      << O[1].Errors[0];
  EXPECT_NE(access(NoUidlState.c_str(), F_OK), 0) << "a state without ids was written";
}

TEST_F(Unattended, SysExitsStatusesThatRealPeersProduce) {
  TScenario S;
  S.StderrExpected = true;
  S.Messages = {Message({"Subject: Minutes"})};
  S.Runs = {{"--sysexits", "alice", "secret", "127.0.0.1", "x"},
            {"--sysexits", "alice", "wrong", "127.0.0.1", "x"},
            {"--sysexits", "alice", "secret", "127.0.0.1", "x", "--port", "1"},
            {"--sysexits", "alice", "secret", "no-such-host.invalid", "x"},
            {"--sysexits", "--bogus", "alice", "secret", "127.0.0.1"},
            {"--sysexits", "alice", "secret"}};
  TScenario Full = S;
  Full.Output = TOutputTo::FullDevice;
  Full.Runs = {S.Runs[0]};
  const std::vector<TOutcome> O = E2E.RunAll({S, Full});
  ASSERT_EQ(O[0].Trouble, "");
  EXPECT_EQ(O[0].Statuses, (std::vector<int>{0, 77, 69, 68, 64, 64}));
  ASSERT_EQ(O[1].Trouble, "");
  EXPECT_EQ(O[1].Statuses, std::vector<int>{74});
}
