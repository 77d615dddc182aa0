// The program, and a TLS POP3 session of the library, under valgrind against a
// real Dovecot: each run must end as it would without the checker and leave no
// memory error and no lost block behind. Dovecot runs in a private network
// namespace, so the program finds it on port 110 (implicit TLS on 995).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/requirement.h"
#include "support/process.h"

using namespace quorrel;

#ifndef POP3_TLS_CLIENT
#define POP3_TLS_CLIENT ""
#endif

#if defined(__SANITIZE_ADDRESS__)
#define QUORREL_BUILT_WITH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORREL_BUILT_WITH_ASAN 1
#endif
#endif

namespace {

std::string Quote(const std::string& Text) {
  std::string Quoted = "'";
  for (char C : Text) Quoted += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Quoted + "'";
}

std::string Message(const std::string& Subject) {
  return "From: Ann <ann@example.net>\r\nSubject: " + Subject + "\r\n\r\nHello.\r\n";
}

struct TOutcome {
  int Status = -1;
  std::string Out, Err, ValgrindLog, DovecotLog;
  std::vector<int> Left;  // numbers of the messages still in the mailbox
  std::string Trouble;
};

class Valgrind : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef QUORREL_BUILT_WITH_ASAN
    GTEST_SKIP() << "built with a sanitizer";
#endif
    const char* Sanitized = std::getenv("QUORREL_SANITIZED");
    if (Sanitized && std::string(Sanitized) == "1") GTEST_SKIP() << "built with a sanitizer";
    const char* Source = std::getenv("QUORREL_SOURCE_DIR");
    if (!Source) QUORREL_REQUIRE(std::string("QUORREL_SOURCE_DIR is not set (run through ctest)"));
    QUORREL_REQUIRE_PROGRAMS("valgrind");
    QUORREL_REQUIRE_ROOT();
    QUORREL_REQUIRE_PROGRAMS("unshare", "ip", "dovecot");
    SourceDir = Source;
    Dir = MakeTempDir("quorrel-valgrind");
    ASSERT_FALSE(Dir.empty());
  }
  void TearDown() override {
    if (!Dir.empty()) RemoveTree(Dir);
  }

  // Starts Dovecot with Messages for alice/secret, runs Command (argv words)
  // under valgrind, then lists what is left of the mailbox.
  TOutcome Run(const std::vector<std::string>& Messages, const std::vector<std::string>& Command) {
    RunCommand("mkdir -p " + Quote(Dir + "/mail"));
    std::ostringstream Script;
    Script << "set -u\n"
           << "ip link set lo up || exit 90\n"
           << "L=" << Quote(SourceDir + "/scripts/lib/dovecot.sh") << "\n"
           << "D=" << Quote(Dir) << "\n"
           << "trap 'bash \"$L\" stop \"$D/dc\" >/dev/null 2>&1' EXIT\n"
           << "bash \"$L\" init \"$D/dc\" && bash \"$L\" adduser \"$D/dc\" alice secret || exit 91\n";
    for (size_t I = 0; I < Messages.size(); ++I) {
      std::string File = Dir + "/mail/" + std::to_string(I + 1) + ".eml";
      WriteFile(File, Messages[I]);
      Script << "bash \"$L\" deliver \"$D/dc\" alice " << Quote(File) << " || exit 92\n";
    }
    Script << "bash \"$L\" start \"$D/dc\" 110 995 >\"$D/start.log\" 2>&1 || exit 93\n"
           << "timeout -k 5 300 valgrind -q --error-exitcode=99 --leak-check=full"
           << " --errors-for-leak-kinds=definite,indirect --log-file=\"$D/valgrind.log\"";
    for (const auto& W : Command) Script << " " << Quote(W);
    Script << " >\"$D/out\" 2>\"$D/err\" </dev/null\n"
           << "echo $? >\"$D/status\"\n"
           << "bash \"$L\" ls \"$D/dc\" alice >\"$D/left\"\n";
    WriteFile(Dir + "/run.sh", Script.str());

    TOutcome O;
    std::string Said;
    int Rc = RunCommand("unshare -n bash " + Quote(Dir + "/run.sh") + " 2>&1", &Said);
    if (Rc != 0)
      O.Trouble = "scenario script failed with " + std::to_string(Rc) + ": " + Said + ReadFile(Dir + "/start.log");
    std::string Status = ReadFile(Dir + "/status");
    O.Status = Status.empty() ? -1 : std::atoi(Status.c_str());
    O.Out = ReadFile(Dir + "/out");
    O.Err = ReadFile(Dir + "/err");
    O.ValgrindLog = ReadFile(Dir + "/valgrind.log");
    O.DovecotLog = ReadFile(Dir + "/dc/dovecot.log");
    std::istringstream Left(ReadFile(Dir + "/left"));
    std::string Name;
    static const std::regex Delivered(R"(\.M([0-9]+)P)");
    while (std::getline(Left, Name)) {
      std::smatch M;
      if (std::regex_search(Name, M, Delivered)) O.Left.push_back(std::stoi(M[1]));
    }
    return O;
  }

  std::string SourceDir, Dir;
};

const std::vector<std::string> Mailbox = {Message("Minutes"), Message("Special offer"), Message("Lunch?")};

TEST_F(Valgrind, ProgramDeletingOneMessage) {
  const char* Binary = std::getenv("QUORREL_BINARY");
  if (!Binary) QUORREL_REQUIRE(std::string("QUORREL_BINARY is not set (run through ctest)"));
  TOutcome O = Run(Mailbox, {Binary, "alice", "secret", "127.0.0.1", "offer"});
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Status, 0) << O.ValgrindLog << O.Err;
  EXPECT_EQ(O.ValgrindLog, "");
  EXPECT_NE(O.Out.find("2:Special offer DELETED\r\n"), std::string::npos) << O.Out;
  EXPECT_EQ(O.Left, (std::vector<int>{1, 3})) << O.DovecotLog;
}

class ValgrindTls : public Valgrind, public ::testing::WithParamInterface<const char*> {};

TEST_P(ValgrindTls, LibrarySessionOverTls) {
  const std::string Client = POP3_TLS_CLIENT;
  if (Client.empty()) QUORREL_REQUIRE(std::string("the TLS client was not built"));
  const std::string Mode = GetParam();
  TOutcome O = Run(Mailbox, {Client, Mode, "127.0.0.1", Mode == "implicit" ? "995" : "110", "alice", "secret"});
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Status, 0) << O.ValgrindLog << O.Err;
  EXPECT_EQ(O.ValgrindLog, "");
  EXPECT_EQ(O.Out, "3 messages, deleted 1\n") << O.Err;
  EXPECT_EQ(O.Left, (std::vector<int>{2, 3})) << O.DovecotLog;
  // The session really ran inside TLS and ended with QUIT.
  EXPECT_NE(O.DovecotLog.find("TLS"), std::string::npos) << O.DovecotLog;
  EXPECT_NE(O.DovecotLog.find("Logged out top=1/"), std::string::npos) << O.DovecotLog;
}

INSTANTIATE_TEST_SUITE_P(Modes, ValgrindTls, ::testing::Values("stls", "implicit"));

}  // namespace
