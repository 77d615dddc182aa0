// The program, and a TLS POP3 session of the library, under valgrind against a
// real Dovecot (on port 110, implicit TLS on 995, in the harness's namespace):
// each run must end as it would without the checker and leave no memory error
// and no lost block behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/process.h"
#include "support/requirement.h"

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

class Valgrind : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef QUORREL_BUILT_WITH_ASAN
    GTEST_SKIP() << "built with a sanitizer";
#endif
    const char* Sanitized = std::getenv("QUORREL_SANITIZED");
    if (Sanitized && std::string(Sanitized) == "1") GTEST_SKIP() << "built with a sanitizer";
    QUORREL_REQUIRE_PROGRAMS("valgrind");
    QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
  }

  // Runs Program (the program when empty) with Args under valgrind against
  // Dovecot holding three messages for alice/secret, into O: the run must have
  // ended as it would without the checker, which found nothing.
  void Run(const std::string& Program, const std::vector<std::string>& Args) {
    const std::string Ann = "From: Ann <ann@example.net>";
    O = E2E.Run({.Messages = {Message({Ann, "Subject: Minutes"}), Message({Ann, "Subject: Special offer"}),
                              Message({Ann, "Subject: Lunch?"})},
                 .Runs = {Args},
                 .Program = Program,
                 .Wrapper = {"valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
                             "--errors-for-leak-kinds=definite,indirect", "--log-file=" + E2E.Dir + "/valgrind.log"},
                 .StderrExpected = true,
                 .TimeoutSeconds = 300});
    const std::string ValgrindLog = ReadFile(E2E.Dir + "/valgrind.log");
    ASSERT_EQ(O.Trouble, "");
    EXPECT_EQ(O.Statuses[0], 0) << ValgrindLog << O.Errors[0];
    EXPECT_EQ(ValgrindLog, "");
  }

  TEndToEnd E2E;
  TOutcome O;
};

TEST_F(Valgrind, ProgramDeletingOneMessage) {
  ASSERT_NO_FATAL_FAILURE(Run("", {"alice", "secret", "127.0.0.1", "offer"}));
  EXPECT_NE(O.Outputs[0].find("2:Special offer DELETED\r\n"), std::string::npos) << O.Outputs[0];
  EXPECT_EQ(O.Left, (std::vector<int>{1, 3})) << O.Log;
}

class ValgrindTls : public Valgrind, public ::testing::WithParamInterface<const char*> {};

TEST_P(ValgrindTls, LibrarySessionOverTls) {
  const std::string Client = POP3_TLS_CLIENT;
  if (Client.empty()) QUORREL_REQUIRE(std::string("the TLS client was not built"));
  const std::string Mode = GetParam();
  ASSERT_NO_FATAL_FAILURE(Run(Client, {Mode, "127.0.0.1", Mode == "implicit" ? "995" : "110", "alice", "secret"}));
  EXPECT_EQ(O.Outputs[0], "3 messages, deleted 1\n") << O.Errors[0];
  EXPECT_EQ(O.Left, (std::vector<int>{2, 3})) << O.Log;
  // The session really ran inside TLS and ended with QUIT.
  EXPECT_NE(O.Log.find("TLS"), std::string::npos) << O.Log;
  EXPECT_NE(O.Log.find("Logged out top=1/"), std::string::npos) << O.Log;
}

INSTANTIATE_TEST_SUITE_P(Modes, ValgrindTls, ::testing::Values("stls", "implicit"));

}  // namespace
