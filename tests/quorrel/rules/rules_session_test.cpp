// The rules beside the filter words, end to end against Dovecot: keep words
// that win, words scoped to fields (a folded one too), regular expressions,
// a size limit, and a dry run that shows what the real run does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/requirement.h"

using namespace quorrel;
using ::testing::HasSubstr;

namespace {

const std::string Photos(20000, 'p');  // a body that makes the message larger than 10k
const std::vector<std::string> Mailbox = {
    Message({"From: boss@example.org", "Subject: Lottery pool"}),
    Message({"From: lottery-news@promo.example", "Subject: Weekly digest"}),
    Message({"From: win@promo.example", "Subject: Your prize", " draw is ready"}),
    Message({"From: shop@promo.example", "Subject: [SPAM] cheap pills"}),
    Message({"From: cousin@family.example", "Subject: Holiday photos"}, Photos),
    Message({"From: boss@example.org", "Subject: Slides"}, Photos),
};

// What follows the count line.
std::string Listing(const std::string& Output) {
  const size_t Count = Output.find(" bytes\r\n");
  return Count == std::string::npos ? "no count line in: " + Output : Output.substr(Count + 8);
}

class Rules : public ::testing::Test {
 protected:
  void SetUp() override { QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot)); }
  TEndToEnd E2E;
};

TEST_F(Rules, KeepFieldAndSizeAgainstDovecot) {
  const std::vector<std::string> NoLimit = {"--field", "Subject", "--keep", "boss@",
                                            "alice", "secret", "127.0.0.1", "lottery", "prize draw"};
  const std::vector<std::string> Args = With(NoLimit, {"--larger-than", "10k"});
  const std::vector<std::string> OnlyNew = {"--only-new", "--state-file", "{D}/state"};
  TScenario Plain;
  Plain.Messages = Mailbox;
  Plain.StderrExpected = true;
  // The rules are part of what --only-new remembers: without the size limit
  // every message is judged again, once.
  Plain.Runs = {With(Args, {"--dry-run", "--no-pipelining"}), With(Args, {"--dry-run", "--quiet"}),
                With(Args, OnlyNew), With(NoLimit, OnlyNew), With(NoLimit, OnlyNew)};
  TScenario Regex;
  Regex.Messages = Mailbox;
  Regex.StderrExpected = true;
  const std::vector<std::string> Expressions = {"--regex", "--field", "subject", "--keep", "^from: boss@",
                                                "alice",   "secret",  "127.0.0.1", "^\\[spam\\] [a-z ]+$", "^pills"};
  // --why names the rule behind each verdict, in a dry run of the rules above.
  Regex.Runs = {With(Expressions, {"(unclosed"}), With(Args, {"--dry-run", "--why"}), Expressions};
  const std::vector<TOutcome> O = E2E.RunAll({Plain, Regex});
  ASSERT_EQ(O[0].Trouble, "");
  ASSERT_EQ(O[1].Trouble, "");

  const auto Shown = [](const std::string& Deleted) {
    return "6:Slides KEPT\r\n5:Holiday photos" + Deleted + "\r\n4:[SPAM] cheap pills SKIPPED\r\n3:Your prize" +
           Deleted + "\r\n2:Weekly digest SKIPPED\r\n1:Lottery pool KEPT\r\n";
  };
  EXPECT_EQ(O[0].Statuses, (std::vector<int>(5, 0)));
  EXPECT_EQ(Listing(O[0].Outputs[0]), Shown(" WOULD DELETE"));
  EXPECT_EQ(O[0].Outputs[1], "5:Holiday photos WOULD DELETE\r\n3:Your prize WOULD DELETE\r\n"
                             "6 messages: 0 deleted, 6 kept, 0 not read again\r\n");
  EXPECT_EQ(Listing(O[0].Outputs[2]), "6 new, 0 judged before\r\n" + Shown(" DELETED"));
  EXPECT_THAT(O[0].Errors[3], HasSubstr("differ from the last run's"));
  EXPECT_THAT(O[0].Outputs[3], HasSubstr("4 new, 0 judged before\r\n4:Slides KEPT\r\n3:[SPAM] cheap pills SKIPPED"));
  EXPECT_THAT(O[0].Outputs[4], HasSubstr("0 new, 4 judged before\r\n"));
  EXPECT_EQ(O[0].Left, (std::vector<int>{1, 2, 4, 6}));

  // The expression that does not compile: exit 2 before anything is sent.
  EXPECT_EQ(O[1].Statuses, (std::vector<int>{2, 0, 0}));
  EXPECT_EQ(O[1].Outputs[0], "");
  EXPECT_EQ(O[1].Errors[0], "quorrel: --regex: \"(unclosed\" is not a valid regular expression: missing ): (unclosed\n");
  EXPECT_EQ(Listing(O[1].Outputs[1]),
            "6:Slides KEPT (keep \"boss@\" in From)\r\n5:Holiday photos WOULD DELETE (larger than 10k)\r\n"
            "4:[SPAM] cheap pills SKIPPED\r\n3:Your prize WOULD DELETE (filter \"prize draw\" in Subject)\r\n"
            "2:Weekly digest SKIPPED\r\n1:Lottery pool KEPT (keep \"boss@\" in From)\r\n");
  EXPECT_EQ(Listing(O[1].Outputs[2]), "6:Slides KEPT\r\n5:Holiday photos SKIPPED\r\n4:[SPAM] cheap pills DELETED\r\n"
                                      "3:Your prize SKIPPED\r\n2:Weekly digest SKIPPED\r\n1:Lottery pool KEPT\r\n");
  EXPECT_EQ(O[1].Left, (std::vector<int>{1, 2, 3, 5, 6}));
  // Two sessions only: the run refused reached no server.
  size_t Sessions = 0;
  for (size_t At = O[1].Log.find("Logged out"); At != std::string::npos; At = O[1].Log.find("Logged out", At + 1))
    ++Sessions;
  EXPECT_EQ(Sessions, 2u) << O[1].Log;
}

}  // namespace
