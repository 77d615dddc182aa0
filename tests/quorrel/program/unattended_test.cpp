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

#include "quorrel/state/state.h"
#include "support/end_to_end.h"
#include "support/process.h"
#include "support/requirement.h"

using namespace quorrel;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// The TOPs of each session, as Dovecot's logout lines count them.
std::vector<int> TopsPerSession(const std::string& Log) {
  std::vector<int> Tops;
  static const std::regex Logout("top=([0-9]+)/");
  for (std::sregex_iterator I(Log.begin(), Log.end(), Logout), End; I != End; ++I) Tops.push_back(std::stoi((*I)[1]));
  return Tops;
}

// Every run here may say on standard error why it reads all or nothing.
TScenario Talking(const std::vector<std::string>& Messages, const std::vector<std::vector<std::string>>& Runs) {
  TScenario S;
  S.Messages = Messages;
  S.Runs = Runs;
  S.StderrExpected = true;
  return S;
}

class Unattended : public ::testing::Test {
 protected:
  void SetUp() override { QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot)); }
  TEndToEnd E2E;
};

const std::vector<std::string> OnlyNew = {"--only-new", "--state-file", "{D}/state", "alice", "secret", "127.0.0.1"};

}  // namespace

TEST_F(Unattended, OnlyNewReadsOnlyWhatCameSinceTheLastRun) {
  TScenario S = Talking({Message({"Subject: Minutes 1"}), Message({"Subject: Lottery 2"}),
                         Message({"Subject: Minutes 3"})},
                        {With(OnlyNew, {"lottery"}), With(OnlyNew, {"lottery"}),
                         With(OnlyNew, {"lottery", "minutes", "--dry-run"}),  // other words: all read, nothing kept
                         With(OnlyNew, {"lottery", "--quiet", "--sysexits"})});
  S.DeliverBefore = {{}, {Message({"Subject: Minutes 4"}), Message({"Subject: Lottery 5"})}};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 0, 0}));
  EXPECT_THAT(TopsPerSession(O.Log), ElementsAre(3, 2, 3, 0));
  EXPECT_THAT(O.Outputs[0],
              HasSubstr(" bytes\r\n3 new, 0 judged before\r\n3:Minutes 3 SKIPPED\r\n2:Lottery 2 DELETED\r\n"));
  EXPECT_THAT(O.Errors[0], HasSubstr("there is no state yet: every message is read"));
  EXPECT_THAT(O.Outputs[1],
              HasSubstr(" bytes\r\n2 new, 2 judged before\r\n4:Lottery 5 DELETED\r\n3:Minutes 4 SKIPPED\r\n"));
  EXPECT_EQ(O.Errors[1], "");
  EXPECT_THAT(O.Errors[2], HasSubstr("differ from the last run's: every message is read again"));
  EXPECT_EQ(O.Outputs[3], "3 messages: 0 deleted, 0 kept, 3 not read again\r\n");
  EXPECT_EQ(O.Left, (std::vector<int>{1, 3, 4}));  // 2 and 5 held the lottery
}

// The state is never taken on trust, and a run that cannot have it changes
// nothing.
TEST_F(Unattended, DamagedHeldOrAbsentState) {
  const std::string Damaged = E2E.Dir + "/damaged", Held = E2E.Dir + "/held";
  WriteFile(Damaged, "quorrel-state 1 x\n12 \n");
  TMailboxState Holder;  // another run, holding the state
  ASSERT_TRUE(Holder.Lock(Held));
  const TOutcome O =
      E2E.Run(Talking({Message({"Subject: Lottery"})},
                      {{"--only-new", "--state-file", Damaged, "--dry-run", "alice", "secret", "127.0.0.1", "lottery"},
                       {"--only-new", "--state-file", Damaged, "alice", "secret", "127.0.0.1", "minutes"},
                       {"--only-new", "--state-file", Held, "--sysexits", "alice", "secret", "127.0.0.1", "lottery"}}));
  ASSERT_EQ(O.Trouble, "");
  EXPECT_THAT(O.Errors[0], HasSubstr("damaged (line 2): every message is read"));
  EXPECT_THAT(O.Outputs[0], HasSubstr("1:Lottery WOULD DELETE"));
  // A dry run writes nothing; a real one writes a fresh state.
  const std::string Fresh = ReadFile(Damaged);
  EXPECT_EQ(Fresh.rfind("quorrel-state 1 ", 0), 0u);
  EXPECT_EQ(std::count(Fresh.begin(), Fresh.end(), '\n'), 2) << Fresh;
  EXPECT_EQ(O.Statuses[2], 75);
  EXPECT_THAT(O.Errors[2], HasSubstr("another run holds the state"));
  EXPECT_EQ(O.Outputs[2], Banner);
  EXPECT_THAT(TopsPerSession(O.Log), ElementsAre(1, 1));  // the third run never connected
}

// Killed in the middle of its second sweep, a run leaves the first one's state
// whole; a server without UIDL gets a full sweep and no state.
TEST_F(Unattended, KilledRunAndServerWithoutUidl) {
  const std::string KilledState = E2E.Dir + "/killed", NoUidlState = E2E.Dir + "/no-uidl";
  const std::vector<std::string> Run = {"--only-new", "--state-file", KilledState, "u", "p", "127.0.0.1", "lottery"};
  TScenario Killed = Talking({}, {Run, Run});
  Killed.Peer = TPeer::Script;
  Killed.TimeoutSeconds = 4;
  Killed.Script = [](TPop3ScriptServer& Server) {
    const std::string Capa = "+OK\r\nUSER\r\nUIDL\r\n.\r\n";
    auto Listed = [&](const std::string& Count, const std::string& Uids,
                      const std::string& Sizes) -> TPop3ScriptServer& {
      return Server.Line("+OK ready").On("CAPA", Capa).On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n").On("CAPA", Capa)
          .On("STAT", "+OK " + Count + " 40\r\n").On("UIDL", "+OK\r\n" + Uids + ".\r\n")
          .On("LIST", "+OK\r\n" + Sizes + ".\r\n");
    };
    Listed("1", "1 one\r\n", "1 40\r\n").On("TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n").On("QUIT", "+OK\r\n")
        .NextConnection();
    Listed("2", "1 one\r\n2 two\r\n", "1 40\r\n2 40\r\n").Expect("TOP 2 0").Stall(100000);
  };
  TScenario NoUidl = Talking({}, {{"--only-new", "--state-file", NoUidlState, "u", "p", "127.0.0.1", "lottery"}});
  NoUidl.Peer = TPeer::Script;
  NoUidl.Script = [](TPop3ScriptServer& Server) {
    Server.Line("+OK ready").On("CAPA", "-ERR\r\n").On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n")
        .On("STAT", "+OK 1 40\r\n").On("UIDL", "-ERR no such command\r\n")
        .On("TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n").On("QUIT", "+OK\r\n");
  };
  const std::vector<TOutcome> O = E2E.RunAll({Killed, NoUidl});
  ASSERT_EQ(O[0].Trouble, "");
  EXPECT_EQ(O[0].Statuses, (std::vector<int>{0, -1}));  // the second killed at the harness's time-out
  const std::string Kept = ReadFile(KilledState);
  EXPECT_EQ(Kept.substr(Kept.find('\n') + 1), "40 one\n");
  ASSERT_EQ(O[1].Trouble, "");
  EXPECT_EQ(O[1].Outputs[0], Banner + "1 emails found, 40 bytes\r\n1 new, 0 judged before\r\n1:one SKIPPED\r\n");
  EXPECT_THAT(O[1].Errors[0], HasSubstr("the server gives no unique ids (UIDL): every message is read"));
  EXPECT_NE(access(NoUidlState.c_str(), F_OK), 0) << "a state without ids was written";
}

TEST_F(Unattended, SysExitsStatusesThatRealPeersProduce) {
  const std::vector<std::string> Login = {"--sysexits", "alice", "secret", "127.0.0.1", "x"};
  const TScenario S = Talking({Message({"Subject: Minutes"})},
                              {Login, {"--sysexits", "alice", "wrong", "127.0.0.1", "x"}, With(Login, {"--port", "1"}),
                               {"--sysexits", "alice", "secret", "no-such-host.invalid", "x"},
                               {"--sysexits", "--bogus", "alice", "secret", "127.0.0.1"},
                               {"--sysexits", "alice", "secret"}});
  TScenario Full = S;
  Full.Output = TOutputTo::FullDevice;
  Full.Runs = {S.Runs[0]};
  const std::vector<TOutcome> O = E2E.RunAll({S, Full});
  ASSERT_EQ(O[0].Trouble, "");
  EXPECT_EQ(O[0].Statuses, (std::vector<int>{0, 77, 69, 68, 64, 64}));
  ASSERT_EQ(O[1].Trouble, "");
  EXPECT_EQ(O[1].Statuses, std::vector<int>{74});
}

// A message whose DELE was refused is still on the server: it is not recorded,
// so the next run reads it again; a run whose QUIT is refused leaves the state
// byte for byte as it was.
TEST_F(Unattended, RefusedDeleAndRefusedQuitRecordNothing) {
  const std::string State = E2E.Dir + "/refused";
  const auto Session = [](bool First) {
    return [=](TPop3ScriptServer& Server) {
      const std::string Capa = "+OK\r\nUSER\r\nUIDL\r\n.\r\n";
      Server.Line("+OK ready").On("CAPA", Capa).On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n").On("CAPA", Capa)
          .On("STAT", "+OK 2 80\r\n").On("UIDL", "+OK\r\n1 one\r\n2 two\r\n.\r\n").On("LIST", "+OK\r\n1 40\r\n2 40\r\n.\r\n")
          .On("TOP 2 0", "+OK\r\nSubject: lottery\r\n\r\n.\r\n").On("DELE 2", First ? "-ERR locked\r\n" : "+OK\r\n");
      if (First) Server.On("TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n");  // then judged before
      Server.On("QUIT", First ? "+OK\r\n" : "-ERR cannot\r\n");
    };
  };
  TScenario S = Talking({}, {{"--only-new", "--state-file", State, "u", "p", "127.0.0.1", "lottery"}});
  S.Peer = TPeer::Script;
  S.Script = Session(true);
  const TOutcome First = E2E.Run(S);
  ASSERT_EQ(First.Trouble, "");
  EXPECT_THAT(First.Outputs[0], HasSubstr("2:lottery NOT DELETED\r\n1:one SKIPPED\r\n"));
  const std::string Kept = ReadFile(State);
  EXPECT_EQ(Kept.substr(Kept.find('\n') + 1), "40 one\n");
  S.Script = Session(false);
  const TOutcome Second = E2E.Run(S);
  ASSERT_EQ(Second.Trouble, "");
  EXPECT_THAT(Second.Outputs[0], HasSubstr("1 new, 1 judged before\r\n2:lottery DELETED\r\n"));
  EXPECT_EQ(ReadFile(State), Kept);
}
