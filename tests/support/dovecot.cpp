#include "support/dovecot.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "support/end_to_end.h"
#include "support/process.h"

namespace quorrel {

namespace {

std::string SourceDir() {
  if (const char* Env = std::getenv("QUORREL_SOURCE_DIR"); Env && *Env) return Env;
  std::string Here = __FILE__;  // <source>/tests/support/dovecot.cpp
  for (int I = 0; I < 3; ++I) Here = Here.substr(0, Here.find_last_of('/'));
  return Here;
}

std::string Script() { return SourceDir() + "/scripts/lib/dovecot.sh"; }

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Out;
  std::istringstream In(Text);
  for (std::string L; std::getline(In, L);)
    if (!L.empty()) Out.push_back(L);
  return Out;
}

}  // namespace

TDovecot::TDovecot() {
  Dir = MakeTempDir("quorrel-dovecot");
  Ready = !Dir.empty() && Run("init") == 0;
}

TDovecot::~TDovecot() {
  Stop();
  RemoveTree(Dir);
}

bool TDovecot::Available() { return HaveProgram("dovecot") && HaveProgram(Script()); }

int TDovecot::Run(const std::string& Arguments, std::string* Output) {
  const std::string Head = Arguments.substr(0, Arguments.find(' '));
  const std::string Tail = Arguments.size() > Head.size() ? Arguments.substr(Head.size()) : "";
  return RunCommand("bash " + Quote(Script()) + " " + Head + " " + Quote(Dir) + Tail + " 2>>" + Quote(Dir + "/fixture.log"),
                    Output);
}

bool TDovecot::AddUser(const std::string& User, const std::string& Password, bool Hashed) {
  return Ready && Run("adduser " + Quote(User) + " " + Quote(Password) + (Hashed ? " hashed" : "")) == 0;
}

bool TDovecot::Deliver(const std::string& User, const std::string& Message) {
  if (!Ready) return false;
  const std::string File = Dir + "/message-" + std::to_string(++Delivered) + ".eml";
  WriteFile(File, Message);
  return Run("deliver " + Quote(User) + " " + Quote(File)) == 0;
}

bool TDovecot::Start() {
  if (!Ready) return false;
  Port = FreeTcpPort();
  TlsPort = FreeTcpPort();
  while (TlsPort == Port) TlsPort = FreeTcpPort();
  Started = Run("start " + std::to_string(Port) + " " + std::to_string(TlsPort)) == 0;
  return Started && WaitForPort("127.0.0.1", TlsPort, 10000);
}

void TDovecot::Stop() {
  if (!Started) return;
  Run("stop");
  Started = false;
}

std::vector<std::string> TDovecot::List(const std::string& User) {
  std::string Out;
  Run("ls " + Quote(User), &Out);
  return SplitLines(Out);
}

std::vector<std::string> TDovecot::Subjects(const std::string& User) {
  const std::string Box = Dir + "/home/" + User + "/Maildir";
  std::string Names;
  RunCommand("cd " + Quote(Box) + " && ls -1 new/* cur/* 2>/dev/null", &Names);
  std::vector<std::string> Out;
  for (const auto& Name : SplitLines(Names)) {
    const std::string Text = "\n" + ReadFile(Box + "/" + Name);
    size_t Pos = Text.find("\nSubject:");
    std::string Subject;
    if (Pos != std::string::npos) {
      Pos += 9;
      Subject = Text.substr(Pos, Text.find('\n', Pos) - Pos);
      while (!Subject.empty() && Subject.front() == ' ') Subject.erase(0, 1);
      while (!Subject.empty() && (Subject.back() == '\r' || Subject.back() == ' ')) Subject.pop_back();
    }
    Out.push_back(Subject);
  }
  std::sort(Out.begin(), Out.end());
  return Out;
}

std::string TDovecot::Log() { return ReadFile(Dir + "/dovecot.log"); }

}  // namespace quorrel
