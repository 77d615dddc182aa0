// The password given as "-" and typed at a real pseudo-terminal: prompt on
// standard error, no echo while it is typed and echo again after the program
// has ended, and no password in the running program's command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/requirement.h"

using namespace quorrel;

namespace {

struct TTypedCase {
  const char* Name;
  const char* Typed;
  std::vector<std::string> Shown;  // each somewhere on the terminal
  std::vector<int> Left;
};

class Password : public ::testing::TestWithParam<TTypedCase> {
 protected:
  void SetUp() override { QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot)); }
  TEndToEnd E2E;
};

TEST_P(Password, TypedAtATerminalWithoutEchoAndNeverOnTheCommandLine) {
  const TTypedCase& C = GetParam();
  TScenario S;
  S.Messages = {Message({"Subject: Special offer"}, "Buy.")};
  S.Runs = {{"alice", "-", "127.0.0.1", "offer"}};
  S.Output = TOutputTo::Terminal;
  S.TypeAfter = "Password: ";
  S.Typed = std::string(C.Typed) + "\n";
  S.TimeoutSeconds = 60;
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  const std::string& Transcript = O.Outputs[0];
  EXPECT_EQ(O.Statuses[0], 0) << Transcript;
  for (const std::string& Text : C.Shown) EXPECT_NE(Transcript.find(Text), std::string::npos) << Transcript;
  EXPECT_EQ(Transcript.find(C.Typed), std::string::npos) << Transcript;
  EXPECT_TRUE(O.EchoOn[0]) << "the terminal was left without echo";
  EXPECT_EQ(O.Left, C.Left);
  EXPECT_EQ(O.CommandLines[0].find(C.Typed), std::string::npos) << O.CommandLines[0];
  EXPECT_NE(O.CommandLines[0].find(std::string("\0-\0", 3)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Typed, Password,
                         ::testing::Values(TTypedCase{"Right", "secret", {"1:Special offer", " DELETED"}, {}},
                                           TTypedCase{"WrongOneIsALoginError", "wrong", {"Login Error"}, {1}}),
                         [](const ::testing::TestParamInfo<TTypedCase>& I) { return std::string(I.param.Name); });

}  // namespace
