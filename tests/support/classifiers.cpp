#include "support/classifiers.h"

#include <sys/stat.h>

#include <cstdlib>

#include "support/end_to_end.h"
#include "support/requirement.h"

namespace quorrel {

namespace {

std::string SourceDir() {
  if (const char* Env = std::getenv("QUORREL_SOURCE_DIR"); Env && *Env) return Env;
  std::string Here = __FILE__;  // <source>/tests/support/classifiers.cpp
  for (int I = 0; I < 3; ++I) Here = Here.substr(0, Here.find_last_of('/'));
  return Here;
}

std::string Script(const std::string& Name) { return SourceDir() + "/scripts/lib/" + Name + ".sh"; }

// Runs "bash <script> COMMAND DIR REST" with its errors kept in DIR.
int RunScript(const std::string& Name, const std::string& Dir, const std::string& Arguments) {
  const std::string Head = Arguments.substr(0, Arguments.find(' '));
  const std::string Tail = Arguments.size() > Head.size() ? Arguments.substr(Head.size()) : "";
  return RunCommand("bash " + Quote(Script(Name)) + " " + Head + " " + Quote(Dir) + Tail + " >>" +
                    Quote(Dir + "/fixture.log") + " 2>&1");
}

std::string MissingScript(const std::string& Name) {
  struct stat Info;
  return stat(Script(Name).c_str(), &Info) == 0 ? "" : Script(Name) + " is missing";
}

}  // namespace

// ================= TSpamd =================

TSpamd::TSpamd() {
  Dir = MakeTempDir("quorrel-spamd");
  Ready = !Dir.empty() && Run("init") == 0;
}

TSpamd::~TSpamd() {
  Stop();
  RemoveTree(Dir);
}

std::string TSpamd::Missing() {
  if (std::string Why = MissingPrograms({"spamd", "python3"}); !Why.empty()) return Why;
  return MissingScript("spamd");
}

int TSpamd::Run(const std::string& Arguments) { return RunScript("spamd", Dir, Arguments); }

bool TSpamd::StartUnix(const std::string& Path) {
  if (!Ready) return false;
  SocketPath = Path.empty() ? Dir + "/spamd.sock" : Path;
  Started = Run("start " + Quote("unix:" + SocketPath)) == 0;
  return Started;
}

void TSpamd::Stop() {
  if (!Started) return;
  Run("stop");
  Started = false;
}

std::string TSpamd::Log() { return ReadFile(Dir + "/spamd.log") + ReadFile(Dir + "/fixture.log"); }

// ================= TRspamd =================

std::string TRspamd::Missing() {
  if (std::string Why = MissingPrograms({"rspamd", "redis-server", "python3"}); !Why.empty()) return Why;
  return MissingScript("rspamd");
}

// ================= TBogofilterDb =================

const std::vector<std::string>& TBogofilterDb::Spam() {
  static const std::vector<std::string> Messages = {
      Message({"From: Best Deals <deals@pharmacy.example>", "To: alice@example.org",
               "Subject: Cheap meds, best prices online"},
              "Buy cheap pills online now. Best prices, no prescription, discreet shipping. Order today and save."),
      Message({"From: Lottery Board <winner@lottery.example>", "To: alice@example.org",
               "Subject: You are a winner, claim your prize"},
              "Congratulations winner! Claim your lottery prize now, send your bank details to receive the money."),
      Message({"From: Casino Royale <bonus@casino.example>", "To: alice@example.org",
               "Subject: Free casino bonus, win money now"},
              "Free bonus credits at our online casino. Win money now, cheap deposits, claim your free prize today."),
  };
  return Messages;
}

const std::vector<std::string>& TBogofilterDb::Ham() {
  static const std::vector<std::string> Messages = {
      Message({"From: Bob Builder <bob@example.org>", "To: alice@example.org", "Subject: Minutes of the project meeting"},
              "Hi Alice, attached are the minutes of Tuesday's project meeting. The next review is on Friday."),
      Message({"From: Carol <carol@example.org>", "To: alice@example.org", "Subject: Lunch on Thursday?"},
              "Hi Alice, shall we have lunch on Thursday near the office? Let me know which time suits you."),
      Message({"From: Dave <dave@example.org>", "To: alice@example.org", "Subject: Quarterly report draft"},
              "Alice, here is the draft of the quarterly report. Please review the figures before the meeting."),
  };
  return Messages;
}

TBogofilterDb::TBogofilterDb(const std::string& Folder) {
  Owned = Folder.empty();
  Dir = Owned ? MakeTempDir("quorrel-bogofilter") : Folder;
  if (Dir.empty()) return;
  if (!Owned) mkdir(Dir.c_str(), 0755);
  Ready = Available() && Teach(Spam(), true) && Teach(Ham(), false);
}

TBogofilterDb::~TBogofilterDb() {
  if (Owned) RemoveTree(Dir);
}

std::string TBogofilterDb::Missing() { return MissingPrograms({"bogofilter"}); }

bool TBogofilterDb::Teach(const std::vector<std::string>& Messages, bool AsSpam) {
  std::string Files;
  for (const auto& M : Messages) {
    const std::string File = Dir + "/taught-" + std::to_string(++Taught) + ".eml";
    WriteFile(File, M);
    Files += " " + Quote(File);
  }
  // -B: each file is one message.
  return RunCommand("bogofilter -d " + Quote(Dir) + (AsSpam ? " -s" : " -n") + " -B" + Files + " >/dev/null 2>&1") == 0;
}

int TBogofilterDb::Classify(const std::string& Message) {
  const std::string File = Dir + "/classify.eml";
  WriteFile(File, Message);
  return RunCommand("bogofilter -d " + Quote(Dir) + " -I " + Quote(File) + " 2>/dev/null");
}

}  // namespace quorrel
