// The per-mailbox state of runs from a timer: what is saved loads back the same,
// nothing else loads at all, a failed save keeps the old state, and two runs on
// one mailbox never hold it at once.
#include "quorrel/state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

using namespace quorrel;

namespace {

// Runs Body in a forked child and returns its exit status; -1 when it did not
// end within 10 s (it is then killed by its id) or did not end normally.
int RunInChild(const std::function<int()>& Body) {
  const pid_t Pid = fork();
  if (Pid == 0) _exit(Body());
  if (Pid < 0) return -1;
  int Status = 0;
  for (int Step = 0; Step < 1000; ++Step) {
    if (waitpid(Pid, &Status, WNOHANG) == Pid) return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(Pid, SIGKILL);
  waitpid(Pid, &Status, 0);
  return -1;
}

// Sets an environment variable (nullptr: unsets it) until the scope ends.
class TEnvironment {
 public:
  TEnvironment(const char* Name, const char* Value) : Name(Name) {
    if (const char* Old = std::getenv(Name)) Saved = Old;
    Set(Value);
  }
  ~TEnvironment() { Set(Saved ? Saved->c_str() : nullptr); }

 private:
  void Set(const char* Value) {
    if (Value)
      setenv(Name, Value, 1);
    else
      unsetenv(Name);
  }
  const char* Name;
  std::optional<std::string> Saved;
};

std::set<std::string> Names(const std::string& Folder) {
  std::set<std::string> Found;
  for (const auto& Entry : std::filesystem::directory_iterator(Folder)) Found.insert(Entry.path().filename());
  return Found;
}

unsigned Mode(const std::string& Path) {
  struct stat Info {};
  return stat(Path.c_str(), &Info) == 0 ? Info.st_mode & 07777 : 0xFFFF;
}

std::vector<TStateEntry> Numbered(size_t Count, size_t UidlLength) {
  std::vector<TStateEntry> Entries;
  for (size_t I = 0; I < Count; ++I) {
    std::string Uidl = std::to_string(I) + "-";
    Uidl.resize(UidlLength, 'u');
    Entries.push_back({Uidl, static_cast<uint32_t>(I * 7919)});
  }
  return Entries;
}

class State : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = MakeTempDir("quorrel-state");
    ASSERT_FALSE(Dir.empty());
    Path = Dir + "/box/alice@pop_110";
  }
  void TearDown() override { RemoveTree(Dir); }

  std::string Dir, Path;
};

struct TRoundTrip {
  const char* Name;
  std::string Fingerprint;
  std::vector<TStateEntry> Entries;
};

TEST_F(State, WhatIsSavedLoadsBackAndNothingElseIsLeftInTheFolder) {
  std::string Printable;
  for (char C = 0x21; C <= 0x7E && Printable.size() < 70; ++C) Printable += C;
  const TRoundTrip Cases[] = {
      {"NoEntries", "0123456789abcdef0123456789abcdef", {}},
      {"Extremes", std::string(128, '~'), {{Printable, 0}, {std::string(70, 'z'), 4294967295u}, {"!", 1}}},
      // Larger than one read, so that lines cross its ends.
      {"Many", "f", Numbered(20000, 60)},
      {"ReplacesTheOneBefore", "g", {{"last", 5}}},
  };
  TMailboxState S;
  bool Busy = true;
  ASSERT_EQ(S.Lock(Path, Busy), "");
  for (const TRoundTrip& C : Cases) {
    SCOPED_TRACE(C.Name);
    ASSERT_EQ(S.Save(C.Fingerprint, C.Entries), "");
    std::string Fingerprint = "stale";
    std::vector<TStateEntry> Entries = {{"stale", 1}};
    ASSERT_EQ(S.Load(Fingerprint, Entries), "");
    EXPECT_EQ(Fingerprint, C.Fingerprint);
    EXPECT_EQ(Entries, C.Entries);
    EXPECT_EQ(Names(Dir + "/box"), (std::set<std::string>{"alice@pop_110", "alice@pop_110.lock"}));
  }
}

TEST_F(State, FoldersAndFilesArePrivateWhateverTheUmask) {
  for (const mode_t Mask : {0000, 0022, 0277}) {
    SCOPED_TRACE(Mask);
    const std::string Base = Dir + "/m" + std::to_string(Mask);
    const std::string File = Base + "/made/quorrel/x";
    const mode_t Old = umask(Mask);
    {
      TMailboxState S;
      bool Busy = false;
      EXPECT_EQ(S.Lock(File, Busy), "");
      EXPECT_EQ(S.Save("f", {{"a", 1}}), "");
    }
    umask(Old);
    EXPECT_EQ(Mode(Base + "/made"), 0700u);
    EXPECT_EQ(Mode(Base + "/made/quorrel"), 0700u);
    EXPECT_EQ(Mode(File), 0600u);
    EXPECT_EQ(Mode(File + ".lock"), 0600u);
  }
}

struct TPathCase {
  const char* StateHome;  // nullptr: unset
  const char* Home;
  std::string User, Server, Port, Expected;
};

TEST(StatePath, UnderTheStateHomeWithOneEscapedName) {
  const TPathCase Cases[] = {
      {"/x/state", "/home/a", "alice", "Mail.Example.ORG", "995", "/x/state/quorrel/alice@mail.example.org_995"},
      {"/x/state/", "/home/a", "bob", "pop", "110", "/x/state/quorrel/bob@pop_110"},
      {nullptr, "/home/a", "alice", "pop", "110", "/home/a/.local/state/quorrel/alice@pop_110"},
      {"", "/home/a/", "alice", "pop", "110", "/home/a/.local/state/quorrel/alice@pop_110"},
      // The base folders must be absolute; a relative one is not used.
      {"state", "/home/a", "alice", "pop", "110", "/home/a/.local/state/quorrel/alice@pop_110"},
      {"/s", "/h", "a/b c@d_e%", "[::1]", "1_1", "/s/quorrel/a%2Fb%20c%40d%5Fe%25@%5B%3A%3A1%5D_1%5F1"},
      {"/s", "/h", "..", "\xC3\xA9.de", "pop3s", "/s/quorrel/..@%C3%A9.de_pop3s"},
      {"/s", "/h", "", "", "", "/s/quorrel/@_"},
  };
  for (const TPathCase& C : Cases) {
    SCOPED_TRACE(C.Expected);
    TEnvironment StateHome("XDG_STATE_HOME", C.StateHome);
    TEnvironment Home("HOME", C.Home);
    EXPECT_EQ(TMailboxState::DefaultPath(C.User, C.Server, C.Port), C.Expected);
  }
}

TEST(StatePath, DifferentMailboxesNeverShareAName) {
  TEnvironment StateHome("XDG_STATE_HOME", "/s");
  const std::string Long(300, 'x');
  const std::vector<std::vector<std::string>> Mailboxes = {
      {"a_b", "c", "1"}, {"a", "b_c", "1"}, {"a", "b", "c_1"}, {"a@b", "c", "1"}, {"a", "b@c", "1"},
      {"a%40b", "c", "1"}, {Long, "c", "1"}, {Long + "y", "c", "1"}, {Long, "c", "2"}, {"a", Long, "1"},
  };
  std::set<std::string> Seen;
  for (const auto& M : Mailboxes) {
    const std::string Path = TMailboxState::DefaultPath(M[0], M[1], M[2]);
    const std::string Name = Path.substr(std::string("/s/quorrel/").size());
    SCOPED_TRACE(Name);
    EXPECT_TRUE(Seen.insert(Name).second);
    EXPECT_LE(Name.size(), 200u);
    EXPECT_EQ(Name.find('/'), std::string::npos);
  }
}

struct TLockCase {
  const char* Name;
  bool FromChild;
  bool FirstStillThere;
  bool ProgramLeftRunning = false;  // started by the first run, still running after it
};

TEST_F(State, OnlyOneRunHoldsTheMailboxUntilItEnds) {
  const TLockCase Cases[] = {
      {"SameProcessWhileHeld", false, true},
      {"SameProcessAfterwards", false, false},
      {"ChildWhileHeld", true, true},
      {"ChildAfterwards", true, false},
      {"AfterwardsWithAProgramItStartedStillRunning", false, false, true},
  };
  for (const TLockCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::optional<TMailboxState> First(std::in_place);
    bool Busy = true;
    ASSERT_EQ(First->Lock(Path, Busy), "");
    EXPECT_FALSE(Busy);
    pid_t Program = -1;
    if (C.ProgramLeftRunning) {
      // Between fork and exec the child holds every descriptor; the end of
      // the close-on-exec pipe tells that the exec has happened.
      int Execed[2];
      ASSERT_EQ(pipe2(Execed, O_CLOEXEC), 0);
      Program = fork();
      if (Program == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
      }
      close(Execed[1]);
      char Byte;
      while (Program > 0 && read(Execed[0], &Byte, 1) < 0 && errno == EINTR) continue;
      close(Execed[0]);
      ASSERT_GT(Program, 0);
    }
    if (!C.FirstStillThere) First.reset();
    // 0: locked, 1: busy, 2: failed for another reason.
    const auto Second = [&] {
      TMailboxState S;
      bool SecondBusy = false;
      const std::string Trouble = S.Lock(Path, SecondBusy);
      return Trouble.empty() ? 0 : SecondBusy ? 1 : 2;
    };
    EXPECT_EQ(C.FromChild ? RunInChild(Second) : Second(), C.FirstStillThere ? 1 : 0);
    if (Program > 0) {
      kill(Program, SIGKILL);
      waitpid(Program, nullptr, 0);
    }
  }
}

enum class TFile { Content, Missing, Folder };

struct TDamageCase {
  const char* Name;
  std::string Content;
  std::string Reason;
  TFile Kind = TFile::Content;
};

TEST_F(State, AnythingButAWholeStateLoadsNothing) {
  const std::string Head = "quorrel-state 1 abc\n";
  std::string ManyGood;
  for (int I = 0; I < 5000; ++I) ManyGood += std::to_string(I) + " uidl-" + std::to_string(I) + "\n";
  const TDamageCase Cases[] = {
      {"NoFile", "", "there is no state yet", TFile::Missing},
      {"AFolder", "", "cannot read " + Path + ": Is a directory", TFile::Folder},
      {"Empty", "", "the state file is damaged (line 1)"},
      {"OtherMagic", "quorrel-stat 1 abc\n", "the state file is damaged (line 1)"},
      {"LaterVersion", "quorrel-state 2 abc\n1 a\n", "the state file has version 2, which this program cannot read"},
      {"NoVersion", "quorrel-state x abc\n", "the state file is damaged (line 1)"},
      {"NoFingerprint", "quorrel-state 1\n", "the state file is damaged (line 1)"},
      {"FingerprintWithBlank", "quorrel-state 1 a b\n", "the state file is damaged (line 1)"},
      {"FingerprintTooLong", "quorrel-state 1 " + std::string(129, 'f') + "\n", "the state file is damaged (line 1)"},
      {"HeaderWithCrLf", "quorrel-state 1 abc\r\n", "the state file is damaged (line 1)"},
      {"HeaderWithoutLf", "quorrel-state 1 abc", "the state file is damaged (line 1)"},
      {"SizeNotDecimal", Head + "1x a\n", "the state file is damaged (line 2)"},
      {"SizeLeadingZero", Head + "01 a\n", "the state file is damaged (line 2)"},
      {"SizeTooLarge", Head + "4294967296 a\n", "the state file is damaged (line 2)"},
      // 2^64 + 1: would wrap round to 1 without the bound on digits.
      {"SizeBeyond64Bits", Head + "18446744073709551617 a\n", "the state file is damaged (line 2)"},
      {"NoUidl", Head + "12\n", "the state file is damaged (line 2)"},
      {"EmptyUidl", Head + "12 \n", "the state file is damaged (line 2)"},
      {"UidlWithBlank", Head + "12 a b\n", "the state file is damaged (line 2)"},
      {"UidlWithTab", Head + "12 a\tb\n", "the state file is damaged (line 2)"},
      {"UidlWithEightBitByte", Head + "12 \xC3\xA9\n", "the state file is damaged (line 2)"},
      {"UidlWithCr", Head + "12 a\r\n", "the state file is damaged (line 2)"},
      {"Uidl71Bytes", Head + "12 " + std::string(71, 'u') + "\n", "the state file is damaged (line 2)"},
      {"EmptyLine", Head + "1 a\n\n2 b\n", "the state file is damaged (line 3)"},
      {"DuplicateUidl", Head + "1 a\n2 b\n3 c\n4 b\n5 c\n", "the state file is damaged (line 5)"},
      // Save ends every line with LF, so a last line without one is a file cut short.
      {"LastLineWithoutLf", Head + "1 a\n2 b", "the state file is damaged (line 3)"},
      {"DamageAfterManyGoodLines", Head + ManyGood + "1 a b\n", "the state file is damaged (line 5002)"},
      {"HugeLine", Head + "1 " + std::string(10'000'000, 'u') + "\n", "the state file is damaged (line 2)"},
  };
  TMailboxState S;
  bool Busy = false;
  ASSERT_EQ(S.Lock(Path, Busy), "");
  for (const TDamageCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::filesystem::remove_all(Path);
    if (C.Kind == TFile::Content) WriteFile(Path, C.Content);
    if (C.Kind == TFile::Folder) std::filesystem::create_directory(Path);
    std::string Fingerprint = "stale";
    std::vector<TStateEntry> Entries = {{"stale", 1}};
    EXPECT_EQ(S.Load(Fingerprint, Entries), C.Reason);
    EXPECT_EQ(Fingerprint, "");
    EXPECT_TRUE(Entries.empty());
  }
}

struct TFailedSave {
  const char* Name;
  // Makes the save fail; true when it did.
  std::function<bool(TMailboxState&, const std::string& Folder)> Fail;
};

TEST_F(State, AFailedSaveKeepsTheOldStateAndLeavesNoTemporaryFile) {
  const std::vector<TStateEntry> Old = {{"old-1", 10}, {"old-2", 20}};
  const std::vector<TStateEntry> New = Numbered(20000, 40);
  const auto Refused = [](std::string Fingerprint, std::vector<TStateEntry> Entries) {
    return [=](TMailboxState& S, const std::string&) { return !S.Save(Fingerprint, Entries).empty(); };
  };
  const TFailedSave Cases[] = {
      {"DiskLimitReachedWhileWriting",
       [&](TMailboxState& S, const std::string&) {
         // In a child, so that the limit binds nothing else; it inherits the lock.
         return RunInChild([&] {
                  signal(SIGXFSZ, SIG_IGN);
                  const rlimit Limit{4096, 4096};
                  setrlimit(RLIMIT_FSIZE, &Limit);
                  return S.Save("new", New).empty() ? 1 : 0;
                }) == 0;
       }},
      {"FolderReplacedByAFile",
       [&](TMailboxState& S, const std::string& Folder) {
         std::filesystem::rename(Folder, Folder + ".away");
         WriteFile(Folder, "");
         const bool Failed = !S.Save("new", New).empty();
         std::filesystem::remove(Folder);
         std::filesystem::rename(Folder + ".away", Folder);
         return Failed;
       }},
      // What the file cannot hold is refused before anything is written.
      {"DuplicateUidl", Refused("new", {{"a", 1}, {"a", 2}})},
      {"UidlWithBlank", Refused("new", {{"a b", 1}})},
      {"FingerprintWithBlank", Refused("a b", New)},
      {"NoFingerprint", Refused("", New)},
  };
  const std::string Folder = Dir + "/box";
  TMailboxState S;
  bool Busy = false;
  ASSERT_EQ(S.Lock(Path, Busy), "");
  ASSERT_EQ(S.Save("old", Old), "");
  const std::string Saved = ReadFile(Path);
  for (const TFailedSave& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_TRUE(C.Fail(S, Folder));
    EXPECT_EQ(ReadFile(Path), Saved);
    EXPECT_EQ(Names(Folder), (std::set<std::string>{"alice@pop_110", "alice@pop_110.lock"}));
  }
}

TEST(StateFingerprint, StableAndDifferentForDifferentParts) {
  // Known value: a changed digest would make every stored state useless.
  EXPECT_EQ(StateFingerprint({"ab", "c"}), "56881f02774bf192b185174ec9fa299c");
  const std::vector<std::vector<std::string>> Lists = {
      {}, {""}, {"", ""}, {"ab", "c"}, {"a", "bc"}, {"abc"}, {"1:a"}, {"a", ""}, {"", "a"}, {std::string("a\0b", 3)},
  };
  std::set<std::string> Seen;
  for (const auto& Parts : Lists) {
    const std::string Print = StateFingerprint(Parts);
    EXPECT_EQ(Print.size(), 32u);
    EXPECT_EQ(Print.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_TRUE(Seen.insert(Print).second) << Print;
  }
}

}  // namespace
