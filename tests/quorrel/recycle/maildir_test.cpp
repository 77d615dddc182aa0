// The recycle bin's folder: made only where it may be, whole copies in new/,
// what a broken-off run left in tmp/ cleaned, old copies pruned by their names.
#include "quorrel/recycle/maildir.h"

#include "quorrel/recycle/copy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include "support/process.h"

using namespace quorrel;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

class Maildir : public ::testing::Test {
 protected:
  void SetUp() override { Dir = MakeTempDir("quorrel-maildir"); }
  void TearDown() override { RemoveTree(Dir); }
  std::string Dir;
};

int Mode(const std::string& Path) {
  struct stat Info {};
  return ::stat(Path.c_str(), &Info) == 0 ? int(Info.st_mode & 0777) : -1;
}

// A copy placed in new/ at a given time.
std::string Stored(const std::string& Bin, time_t At) {
  const std::string Path = Bin + "/new/" + TMaildir::UniqueName(At, 0) + ".host";
  WriteFile(Path, "Subject: x\n\nbody\n");
  return Path;
}

}  // namespace

// Where the bin may and may not be: "" when it opens, else part of why not.
TEST_F(Maildir, OpensOnlyWhatCanServe) {
  const struct {
    const char* Name;
    std::string Folder;
    std::function<void(const std::string&)> Before;
    const char* Refusal;
  } Cases[] = {
      {"missing, with a missing parent", Dir + "/a/bin", {}, ""},
      {"empty", Dir + "/empty", [](const std::string& F) { ::mkdir(F.c_str(), 0755); }, ""},
      {"a Maildir with other files beside", Dir + "/box",
       [](const std::string& F) {
         for (const char* P : {"", "/tmp", "/new", "/cur"}) ::mkdir((F + P).c_str(), 0700);
         WriteFile(F + "/dovecot-uidlist", "");
       },
       ""},
      {"a folder of other files", Dir + "/docs", [](const std::string& F) {
         ::mkdir(F.c_str(), 0700);
         WriteFile(F + "/notes.txt", "mine");
       },
       "holds files but is no Maildir"},
      {"half a Maildir", Dir + "/half", [](const std::string& F) {
         ::mkdir(F.c_str(), 0700);
         ::mkdir((F + "/new").c_str(), 0700);
       },
       "holds files but is no Maildir"},
      {"a file", Dir + "/file", [](const std::string& F) { WriteFile(F, "x"); }, "it is not a folder"},
      {"below a file", Dir + "/plain/bin", [this](const std::string&) { WriteFile(Dir + "/plain", "x"); }, "plain"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    if (C.Before) C.Before(C.Folder);
    TMaildir Bin;
    const TStatus Opened = Bin.Open(C.Folder);
    if (std::string(C.Refusal).empty()) {
      EXPECT_TRUE(Opened) << Opened.Message();
      for (const char* Part : {"/tmp", "/new", "/cur"}) EXPECT_EQ(Mode(C.Folder + Part), 0700);
      EXPECT_THAT(Bin.List(), IsEmpty());  // the probe is gone
      EXPECT_EQ(RunCommand("ls -A " + C.Folder + "/tmp | grep -q ."), 1);
    } else {
      EXPECT_EQ(Opened.Kind(), TFailureKind::CantCreate);
      EXPECT_THAT(Opened.Message(), HasSubstr(C.Folder + " cannot serve as the recycle bin: "));
      EXPECT_THAT(Opened.Message(), HasSubstr(C.Refusal));
      EXPECT_EQ(ReadFile(C.Folder + "/notes.txt"), std::string(C.Name) == "a folder of other files" ? "mine" : "");
    }
  }
}

TEST_F(Maildir, ACopyIsInNewOnlyWhenPlacedWhole) {
  TMaildir Bin;
  ASSERT_TRUE(Bin.Open(Dir + "/bin"));
  std::string First;
  {
    TDurableFile Copy;
    ASSERT_TRUE(Bin.Begin(Copy));
    ASSERT_TRUE(Copy.Write("Subject: one\n\nbody\n"));
    ASSERT_TRUE(Bin.Place(Copy, First));
  }
  {
    // A copy given up before it was placed (a RETR cut off): nothing stays.
    TDurableFile Broken;
    ASSERT_TRUE(Bin.Begin(Broken));
    ASSERT_TRUE(Broken.Write("Subject: two\n"));
  }
  ASSERT_TRUE(Bin.SyncNew());
  ASSERT_EQ(Bin.List().size(), 1u);
  EXPECT_EQ(Bin.List()[0].Path, First);
  EXPECT_EQ(First.rfind(Dir + "/bin/new/", 0), 0u);
  EXPECT_EQ(ReadFile(First), "Subject: one\n\nbody\n");
  EXPECT_EQ(RunCommand("ls -A " + Dir + "/bin/tmp | grep -q ."), 1);
  EXPECT_LE(std::abs(Bin.List()[0].Stored - ::time(nullptr)), 5);
}

TEST_F(Maildir, TmpIsCleanedAfterADayAndOldCopiesArePruned) {
  TMaildir Bin;
  ASSERT_TRUE(Bin.Open(Dir + "/bin"));
  const time_t Now = 2000000000;
  WriteFile(Dir + "/bin/tmp/left", "x");
  WriteFile(Dir + "/bin/tmp/fresh", "x");
  const utimbuf DayOld{Now - 86400, Now - 86400};
  ASSERT_EQ(::utime((Dir + "/bin/tmp/left").c_str(), &DayOld), 0);
  const utimbuf Recent{Now - 3600, Now - 3600};
  ASSERT_EQ(::utime((Dir + "/bin/tmp/fresh").c_str(), &Recent), 0);
  EXPECT_EQ(Bin.CleanTmp(Now), 1);
  EXPECT_EQ(ReadFile(Dir + "/bin/tmp/fresh"), "x");

  const std::string Old = Stored(Dir + "/bin", Now - 31 * 86400);
  const std::string Edge = Stored(Dir + "/bin", Now - 30 * 86400 + 1);
  const std::string New = Stored(Dir + "/bin", Now - 60);
  const std::string Read = Dir + "/bin/cur/" + TMaildir::UniqueName(Now - 40 * 86400, 0) + ".host:2,S";
  WriteFile(Read, "x");  // a reader moved it to cur/: it still goes
  EXPECT_EQ(Bin.Prune(0, Now), 0);  // 0 keeps for ever
  ASSERT_EQ(Bin.List().size(), 4u);
  EXPECT_EQ(Bin.List()[0].Path, New);  // newest first
  EXPECT_EQ(Bin.List()[3].Path, Read);
  EXPECT_EQ(Bin.Prune(30, Now), 2);
  ASSERT_EQ(Bin.List().size(), 2u);
  EXPECT_EQ(Bin.List()[0].Path, New);
  EXPECT_EQ(Bin.List()[1].Path, Edge);
}

TEST(DeletedField, SaysWhenFromWhereAndWhyOnOneLine) {
  ::setenv("TZ", "UTC-1", 1);  // one hour east of UTC
  ::tzset();
  EXPECT_EQ(DeletedField(1796000000, "alice@pop.example:995", "filter \"casino\" in Subject"),
            "X-Quorrel-Deleted: Mon, 30 Nov 2026 01:53:20 +0100; alice@pop.example:995; filter \"casino\" in Subject\n");
  ::setenv("TZ", "XXX+5:30", 1);  // five and a half hours west
  ::tzset();
  EXPECT_EQ(DeletedField(0, "a@b:110", "keep \"x\r\nBcc: y\""), "X-Quorrel-Deleted: Wed, 31 Dec 1969 18:30:00 -0530; "
                                                                  "a@b:110; keep \"x  Bcc: y\"\n");
  ::unsetenv("TZ");
  ::tzset();
}

TEST_F(Maildir, ACopyIsTheFieldThenTheMessageWithLfLineEnds) {
  TMaildir Bin;
  ASSERT_TRUE(Bin.Open(Dir + "/bin"));
  TRecycledCopy Copy;
  ASSERT_TRUE(Copy.Begin(Bin, "u@h:110", "larger than 5M", 0));
  // Lines beyond the write buffer, so that it is written in pieces.
  std::string Want = DeletedField(0, "u@h:110", "larger than 5M") + "Subject: big\n\n";
  for (const std::string_view Line : {"Subject: big", ""}) ASSERT_TRUE(Copy.Take(Line));
  const std::string Body(1000, 'b');
  for (int I = 0; I < 600; ++I) {
    ASSERT_TRUE(Copy.Take(Body));
    Want += Body + "\n";
  }
  std::string Placed;
  ASSERT_TRUE(Copy.Place(Bin, Placed));
  EXPECT_EQ(ReadFile(Placed), Want);
}
