// The recycle bin end to end where it can fail: a device that fills (a small
// tmpfs in the run's own mount namespace), a folder that cannot serve, old
// copies pruned, and what only a scripted server does: RETR refused, a
// connection cut in the middle of RETR, a message of 50 MB.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "quorrel/recycle/maildir.h"
#include "support/end_to_end.h"
#include "support/process.h"
#include "support/requirement.h"

using namespace quorrel;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// The program with its bin on a tmpfs of 64 KiB, mounted for it alone; the bin
// is copied out to "<bin>.after" once the program has ended.
const std::vector<std::string> OnSmallDevice = {
    "unshare", "-m", "sh", "-c",
    R"(for a; do [ "$p" = --recycle ] && b=$a; p=$a; done
mkdir -p "$b" && mount -t tmpfs -o size=64k quorrel-bin "$b" || exit 99
"$@"; s=$?; cp -a "$b" "$b.after"; exit $s)",
    "sh"};

std::string Lottery(int N) { return Message({"Subject: Lottery " + std::to_string(N)}, std::string(20000, 'x')); }

// The message as the bin keeps it, below its first line.
std::string Kept(std::string Message) {
  for (size_t At; (At = Message.find("\r\n")) != std::string::npos;) Message.erase(At, 1);
  return Message;
}

class Recycle : public ::testing::Test {
 protected:
  TEndToEnd E2E;
};

}  // namespace

// Once the device is full no message is deleted; every message deleted has
// its whole copy, and nothing partial is left.
TEST_F(Recycle, AFullDeviceDeletesNothingAfterItFilled) {
  QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
  std::vector<TScenario> S(2);
  for (size_t I = 0; I < S.size(); ++I) {
    S[I].Messages = {Lottery(1), Lottery(2), Lottery(3), Lottery(4), Lottery(5)};
    S[I].Runs = {{"alice", "secret", "127.0.0.1", "--sysexits", "--recycle", "{D}/bin", "lottery"}};
    if (I == 1) S[I].Runs[0].push_back("--no-pipelining");
    S[I].Wrapper = OnSmallDevice;
    S[I].StderrExpected = true;
  }
  for (const TOutcome& O : E2E.RunAll(S)) {
    ASSERT_EQ(O.Trouble, "");
    EXPECT_EQ(O.Statuses[0], 74) << O.Errors[0];
    EXPECT_THAT(O.Errors[0], HasSubstr("No space left on device"));
    EXPECT_THAT(O.Outputs[0], HasSubstr("1:Lottery 1 NOT DELETED\r\n"));
    // The messages deleted are the first ones swept (the highest numbers),
    // and exactly those whose copies stand in new/.
    std::vector<std::string> Gone;
    for (int N = 5; N >= 1 && std::find(O.Left.begin(), O.Left.end(), N) == O.Left.end(); --N)
      Gone.push_back(Kept(Lottery(N)));
    EXPECT_EQ(O.Left.size() + Gone.size(), 5u);
    std::vector<std::string> Copies;
    for (const std::string& Copy : FilesIn(O.Folder + "/bin.after/new")) {
      EXPECT_EQ(Copy.rfind("X-Quorrel-Deleted: ", 0), 0u);
      Copies.push_back(Copy.substr(Copy.find('\n') + 1));
    }
    std::sort(Copies.begin(), Copies.end());
    std::sort(Gone.begin(), Gone.end());
    // Sent ahead, copies made before the device filled may stand undeleted.
    EXPECT_TRUE(std::includes(Copies.begin(), Copies.end(), Gone.begin(), Gone.end()));
    for (const std::string& Copy : Copies) EXPECT_EQ(Copy.size(), Kept(Lottery(1)).size());
    EXPECT_THAT(FilesIn(O.Folder + "/bin.after/tmp"), IsEmpty());
  }
}

// A folder that cannot serve ends the run before anything is sent; copies
// older than --recycle-days go after a confirmed QUIT, and so do the files a
// broken-off run left in tmp/ a day before.
TEST_F(Recycle, ABadFolderSendsNothingAndOldCopiesGo) {
  QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
  const std::string Old = E2E.Dir + "/old", Docs = E2E.Dir + "/docs";
  for (const char* Part : {"", "/tmp", "/new", "/cur"}) ::mkdir((Old + Part).c_str(), 0700);
  ::mkdir(Docs.c_str(), 0700);
  WriteFile(Docs + "/notes.txt", "mine");
  const time_t Now = ::time(nullptr), Day = 86400;
  const std::string Aged = Old + "/cur/" + TMaildir::UniqueName(Now - 31 * Day, 0) + ".h:2,S";
  const std::string Recent = Old + "/new/" + TMaildir::UniqueName(Now - 29 * Day, 0) + ".h";
  const std::string Broken = Old + "/tmp/" + TMaildir::UniqueName(Now - 2 * Day, 0) + "R";
  for (const std::string& Path : {Aged, Recent, Broken}) WriteFile(Path, "Subject: x\n\nold\n");
  const timespec Then[2] = {{Now - 2 * Day, 0}, {Now - 2 * Day, 0}};
  ::utimensat(AT_FDCWD, Broken.c_str(), Then, 0);
  TScenario S{.Messages = {Lottery(1), Message({"Subject: Lunch 2"})},
              .Runs = {{"alice", "secret", "127.0.0.1", "--recycle", Docs, "lottery"},
                       {"alice", "secret", "127.0.0.1", "--recycle", Docs + "/notes.txt", "--sysexits", "lottery"},
                       {"alice", "secret", "127.0.0.1", "--recycle", Old, "lottery"}},
              .StderrExpected = true};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Statuses, (std::vector<int>{2, 73, 0}));
  EXPECT_THAT(O.Errors[0], HasSubstr(Docs + " cannot serve as the recycle bin: it holds files but is no Maildir"));
  EXPECT_EQ(O.Outputs[0], Banner);
  EXPECT_EQ(O.LeftAfter[1], (std::vector<int>{1, 2}));
  EXPECT_EQ(O.Left, (std::vector<int>{2}));
  EXPECT_NE(::access(Aged.c_str(), F_OK), 0);
  EXPECT_NE(::access(Broken.c_str(), F_OK), 0);
  EXPECT_EQ(FilesIn(Old + "/new").size(), 2u);  // the recent one and the new copy
}

namespace {

// A mailbox of two messages, message 2 holding "lottery", whose RETR 2 is
// answered by Retr (the rest of the dialogue as Rest says).
TScenario RetrAnswered(const std::string& Retr, bool Deleted) {
  return {.Runs = {{"u", "p", "127.0.0.1", "--sysexits", "--recycle", "{D}/bin", "lottery"}},
          .Peer = TPeer::Script,
          .Script =
              [=](TPop3ScriptServer& S) {
                S.Line("+OK ready").On("CAPA", "-ERR\r\n").On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n");
                S.On("STAT", "+OK 2 300\r\n").On("TOP 2 0", "+OK\r\nSubject: lottery win\r\n\r\n.\r\n");
                S.Expect("RETR 2").Send(Retr);
                if (Retr.rfind("+OK", 0) == 0 && Retr.find("\r\n.\r\n") == std::string::npos) {
                  S.Close();
                  return;
                }
                if (Deleted) S.On("DELE 2", "+OK\r\n");
                S.On("TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n").On("QUIT", "+OK\r\n");
              },
          .StderrExpected = true};
}

}  // namespace

TEST_F(Recycle, WhatTheServerDoesNotGiveWholeIsNotDeleted) {
  QUORREL_REQUIRE(E2E.Missing(TPeer::Script));
  std::string Large = "+OK\r\nSubject: lottery win\r\n\r\n";
  for (int I = 0; I < 500000; ++I) Large += std::string(98, 'a' + I % 26) + "\r\n";  // 50 MB
  const std::vector<TOutcome> O = E2E.RunAll({RetrAnswered("-ERR locked\r\n", false),
                                              RetrAnswered("+OK\r\nSubject: lottery win\r\n\r\npart", false),
                                              RetrAnswered(Large + ".\r\n", true)});
  const std::string Swept = Banner + "2 emails found, 300 bytes\r\n2:lottery win ";
  for (const TOutcome& Each : O) ASSERT_EQ(Each.Trouble, "");
  EXPECT_EQ(O[0].Outputs[0], Swept + "NOT DELETED\r\n1:one SKIPPED\r\n");
  EXPECT_THAT(O[0].Errors[0], HasSubstr("quorrel: RETR 2 failed: the server said -ERR locked"));
  EXPECT_EQ(O[1].Outputs[0], Swept + "NOT DELETED\r\nConnection lost: the sweep ends here\r\n");
  EXPECT_EQ(O[2].Outputs[0], Swept + "DELETED\r\n1:one SKIPPED\r\n");
  EXPECT_EQ((std::vector<int>{O[0].Statuses[0], O[1].Statuses[0], O[2].Statuses[0]}), (std::vector<int>{75, 75, 0}));
  for (int I : {0, 1}) {
    EXPECT_THAT(O[I].Commands, ::testing::Not(::testing::Contains("DELE 2")));
    EXPECT_THAT(FilesIn(O[I].Folder + "/bin/new"), IsEmpty());
    EXPECT_THAT(FilesIn(O[I].Folder + "/bin/tmp"), IsEmpty());
  }
  // The copy is streamed to its file: a 50 MB message costs no more memory
  // than a small one.
  const std::vector<std::string> Copies = FilesIn(O[2].Folder + "/bin/new");
  ASSERT_EQ(Copies.size(), 1u);
  EXPECT_EQ(Copies[0].size() - Copies[0].find('\n') - 1, Large.size() - 5 - 500002);
  // A sanitizer's quarantine holds on to what is freed, so the bound holds
  // only in a plain build.
  if (!std::getenv("QUORREL_SANITIZED")) {
    EXPECT_LT(O[2].PeakKiB[0], 16 * 1024);
  }
}
