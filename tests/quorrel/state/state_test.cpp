#include "quorrel/state/state.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "quorrel/state/only_new.h"
#include "support/process.h"

using namespace quorrel;

namespace {

// Runs Body in a forked child and returns its exit status (-1: it did not exit).
template <class TBody>
int RunInChild(const TBody& Body) {
  const pid_t Pid = fork();
  if (Pid == 0) _exit(Body());
  int Status = 0;
  return Pid > 0 && waitpid(Pid, &Status, 0) == Pid && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

// Sets an environment variable (nullptr: unsets it) until the scope ends.
struct TEnvironment {
  TEnvironment(const char* Name, const char* Value) : Name(Name) {
    if (const char* Old = std::getenv(Name)) Saved = Old;
    Set(Name, Value);
  }
  ~TEnvironment() { Set(Name, Saved ? Saved->c_str() : nullptr); }
  static void Set(const char* Name, const char* Value) { Value ? setenv(Name, Value, 1) : unsetenv(Name); }
  const char* Name;
  std::optional<std::string> Saved;
};

class State : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = MakeTempDir("quorrel-state");
    ASSERT_FALSE(Dir.empty());
    Path = Dir + "/box/alice@pop_110";
  }
  void TearDown() override { RemoveTree(Dir); }

  void Lock(TMailboxState& S) {
    ASSERT_EQ(S.Lock(Path).Message(), "");
  }
  std::string Dir, Path;
};

TEST_F(State, WhatIsSavedLoadsBack) {
  // Many long lines, so that they span several reads, then the edge values.
  std::vector<TStateEntry> Entries;
  for (uint32_t I = 0; I < 20000; ++I) Entries.push_back({std::to_string(I) + std::string(60, 'u'), I});
  Entries.insert(Entries.end(), {{std::string(70, 'z'), 0}, {"!", 4294967295u}});
  TMailboxState S;
  Lock(S);
  // The mail deleted before: only the newest of too many are kept.
  for (size_t I = 0; I < TMailboxState::MostDeleted + 2; ++I) S.Deleted.push_back("d" + std::to_string(I));
  const std::vector<std::string> Deleted(S.Deleted.begin() + 2, S.Deleted.end());
  ASSERT_EQ(S.Save("0123abc", Entries).Message(), "");
  std::string Fingerprint;
  std::vector<TStateEntry> Loaded;
  ASSERT_EQ(S.Load(Fingerprint, Loaded).Message(), "");
  EXPECT_EQ(Fingerprint, "0123abc");
  EXPECT_EQ(Loaded, Entries);
  EXPECT_EQ(S.Deleted, Deleted);
}

TEST_F(State, FoldersAndFilesArePrivate) {
  Path = Dir + "/made/quorrel/x";
  const mode_t Old = umask(0);
  {
    TMailboxState S;
    Lock(S);
    EXPECT_EQ(S.Save("f", {{"a", 1}}).Message(), "");
  }
  umask(Old);
  const auto Mode = [](const std::string& Made) { return unsigned(std::filesystem::status(Made).permissions()); };
  for (const std::string& Folder : {Dir + "/made", Dir + "/made/quorrel"}) EXPECT_EQ(Mode(Folder), 0700u) << Folder;
  for (const std::string& Made : {Path, Path + ".lock"}) EXPECT_EQ(Mode(Made), 0600u) << Made;
}

TEST(StatePath, UnderTheStateHomeWithOneEscapedName) {
  struct {
    const char* StateHome;  // nullptr: unset
    std::string User, Server, Port, Expected;
  } const Cases[] = {
      {"/x/state", "alice", "Mail.Example.ORG", "995", "/x/state/quorrel/alice@mail.example.org_995"},
      {nullptr, "alice", "pop", "110", "/home/a/.local/state/quorrel/alice@pop_110"},
      {"/s", "a/b c@d_e%", "[::1]", "1_1", "/s/quorrel/a%2Fb%20c%40d%5Fe%25@%5B%3A%3A1%5D_1%5F1"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Expected);
    TEnvironment StateHome("XDG_STATE_HOME", C.StateHome);
    TEnvironment Home("HOME", "/home/a");
    EXPECT_EQ(TMailboxState::DefaultPath(C.User, C.Server, C.Port), C.Expected);
  }
}

TEST_F(State, ASecondRunIsBusyUntilTheFirstEnds) {
  for (const bool FirstStillThere : {true, false}) {
    SCOPED_TRACE(FirstStillThere);
    std::optional<TMailboxState> First(std::in_place);
    Lock(*First);
    if (!FirstStillThere) First.reset();
    // In a forked child; 0: locked, 1: busy, 2: failed for another reason.
    const int Second = RunInChild([&] {
      TMailboxState S;
      const TStatus Locked = S.Lock(Path);
      return Locked ? 0 : Locked.Kind() == TFailureKind::TryLater ? 1 : 2;
    });
    EXPECT_EQ(Second, FirstStillThere ? 1 : 0);
  }
}

TEST_F(State, AnythingButAWholeStateLoadsNothing) {
  const std::string Head = "quorrel-state 1 abc\n", Damaged = "the state file is damaged (line ";
  struct {
    const char* Name;
    std::optional<std::string> Content;  // nullopt: no file; "/": a folder
    std::string Reason;
  } const Cases[] = {
      {"NoFile", std::nullopt, "there is no state yet"},
      {"AFolder", "/", "cannot read " + Path + ": Is a directory"},
      {"Empty", "", Damaged + "1)"},
      {"LaterVersion", "quorrel-state 2 abc\n1 a\n", "the state file has version 2, which this program cannot read"},
      {"HeaderWithoutLf", "quorrel-state 1 abc", Damaged + "1)"},
      {"SizeTooLarge", Head + "4294967296 a\n", Damaged + "2)"},
      {"Uidl71Bytes", Head + "12 " + std::string(71, 'u') + "\n", Damaged + "2)"},
      {"DuplicateUidl", Head + "1 a\n2 b\n3 a\n", Damaged + "4)"},
      // Save ends every line with LF, so a last line without one is a file cut short.
      {"LastLineWithoutLf", Head + "1 a\n2 b", Damaged + "3)"},
  };
  TMailboxState S;
  Lock(S);
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::filesystem::remove_all(Path);
    if (C.Content == "/")
      std::filesystem::create_directory(Path);
    else if (C.Content)
      WriteFile(Path, *C.Content);
    std::string Fingerprint = "stale";
    std::vector<TStateEntry> Entries = {{"stale", 1}};
    EXPECT_EQ(S.Load(Fingerprint, Entries).Message(), C.Reason);
    EXPECT_EQ(Fingerprint, "");
    EXPECT_TRUE(Entries.empty());
  }
}

TEST_F(State, AFailedSaveKeepsTheOldStateAndLeavesNoTemporaryFile) {
  std::vector<TStateEntry> New;
  for (uint32_t I = 0; I < 20000; ++I) New.push_back({"new-" + std::to_string(I), I});
  TMailboxState S;
  Lock(S);
  ASSERT_EQ(S.Save("old", {{"old-1", 10}, {"old-2", 20}}).Message(), "");
  const std::string Saved = ReadFile(Path);
  // The disk limit is reached while writing, in a child (which inherits the lock).
  const auto SaveUnderALimit = [&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit Limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &Limit);
    return S.Save("new", New) ? 1 : 0;
  };
  EXPECT_EQ(RunInChild(SaveUnderALimit), 0);
  EXPECT_EQ(ReadFile(Path), Saved);
  std::set<std::string> Names;
  for (const auto& Entry : std::filesystem::directory_iterator(Dir + "/box")) Names.insert(Entry.path().filename());
  EXPECT_EQ(Names, (std::set<std::string>{"alice@pop_110", "alice@pop_110.lock"}));
}

TEST(StateFingerprint, StableAndDifferentForDifferentParts) {
  // Known value: a changed digest would make every stored state useless.
  EXPECT_EQ(StateFingerprint({"ab", "c"}), "56881f02774bf192b185174ec9fa299c");
  EXPECT_NE(StateFingerprint({"ab", "c"}), StateFingerprint({"a", "bc"}));
}

// Any change of a rule reads every message again; the same rules keep the
// state, and a state of filter words alone stays what older runs wrote.
TEST(RulesFingerprint, EveryRuleCounts) {
  TRuleSettings Base;
  Base.FilterWords = {"lottery"};
  EXPECT_EQ(RulesFingerprint(Base), StateFingerprint({"raw", "lottery"}));
  const struct {
    const char* Name;
    void (*Change)(TRuleSettings&);
  } Changes[] = {
      {"a keep word", [](TRuleSettings& S) { S.KeepWords = {"boss@"}; }},
      {"another filter word", [](TRuleSettings& S) { S.FilterWords.push_back("casino"); }},
      {"a field scope", [](TRuleSettings& S) { S.Fields = {"subject"}; }},
      {"expressions", [](TRuleSettings& S) { S.Regex = true; }},
      {"a size limit", [](TRuleSettings& S) { S.LargerThan = 5u << 20; }},
      {"decoding", [](TRuleSettings& S) { S.Decode = true; }},
      {"a filter word made a keep word", [](TRuleSettings& S) { S.FilterWords.clear(), S.KeepWords = {"lottery"}; }},
  };
  for (const auto& C : Changes) {
    TRuleSettings Changed = Base;
    C.Change(Changed);
    EXPECT_NE(RulesFingerprint(Changed), RulesFingerprint(Base)) << C.Name;
  }
  EXPECT_EQ(RulesFingerprint(TRuleSettings(Base)), RulesFingerprint(Base));
}

}  // namespace
