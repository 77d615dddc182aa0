// The program end to end against other server implementations than Dovecot:
// GNU Mailutils pop3d (APOP timestamp it cannot honour, PIPELINING, STLS, and
// LIST n after TOP answered with the size of what TOP sent) and mpopd (USER
// and UIDL only: no TOP, no TLS). Each server's store is read after the runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/process.h"
#include "support/requirement.h"

using namespace quorrel;
using ::testing::HasSubstr;

namespace {

struct TServerCase {
  const char* Name;
  TPeer Peer;
  bool Top;   // answers TOP
  bool Stls;  // offers STLS and implicit TLS on 995
};

const std::vector<std::string> Mailbox = {
    Message({"From: ann@example.net", "Subject: Minutes 1"}),
    Message({"From: promo@shop.example", "Subject: Lottery 2"}, "From the shop\r\n.dot"),
    Message({"From: bob@example.net", "Subject: Lunch 3"}),
    Message({"From: promo@shop.example", "Subject: Lottery 4"}),
    Message({"From: ann@example.net", "Subject: Minutes 5"}),
};

// Messages 5 down to 1 as a sweep with the filter "lottery" lists them.
std::string Listing(const std::string& Match, bool Top) {
  std::string Out;
  for (int N = 5; N >= 1; --N) {
    const bool Lottery = N % 2 == 0;
    const std::string Subject = !Top ? "" : (Lottery ? "Lottery " : N == 3 ? "Lunch " : "Minutes ") + std::to_string(N);
    Out += std::to_string(N) + ":" + Subject + (Top && Lottery ? Match : " SKIPPED") + "\r\n";
  }
  return Out;
}

// A dry run that deletes both minutes, the last messages left on a server that answers TOP.
const std::string BothMinutesWouldGo = "\r\n2:Minutes 5 WOULD DELETE\r\n1:Minutes 1 WOULD DELETE\r\n";

// The count line, whatever size the server gives, and what follows it.
std::string AfterCount(const std::string& Output) {
  const std::string Count = Banner + "5 emails found, ";
  if (Output.rfind(Count, 0) != 0) return "no count line in: " + Output;
  return Output.substr(Output.find("\r\n", Count.size()) + 2);
}

class Interop : public ::testing::TestWithParam<TServerCase> {
 protected:
  void SetUp() override { QUORREL_REQUIRE(E2E.Missing(GetParam().Peer)); }
  // Each run may name on standard error what the server lacks.
  TOutcome Run(const std::vector<std::vector<std::string>>& Runs) {
    TScenario S;
    S.Peer = GetParam().Peer;
    S.Messages = Mailbox;
    S.Runs = Runs;
    S.StderrExpected = true;
    return E2E.Run(S);
  }
  TEndToEnd E2E;
};

TEST_P(Interop, PipelinedAndOneAtATimeSweepsAgree) {
  const TServerCase& C = GetParam();
  const std::vector<std::string> Login = {"alice", "secret", "127.0.0.1", "lottery"};
  const TOutcome O = Run({With(Login, {"--dry-run", "--no-pipelining"}), With(Login, {"--dry-run"}), Login});
  ASSERT_EQ(O.Trouble, "") << O.Log;
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(AfterCount(O.Outputs[0]), Listing(" WOULD DELETE", C.Top)) << O.Errors[0];
  // GNU pop3d adds status fields to the messages at the end of a session, so
  // the mailbox grows between runs: the count line's size may differ.
  EXPECT_EQ(AfterCount(O.Outputs[1]), AfterCount(O.Outputs[0])) << O.Errors[1];
  EXPECT_EQ(AfterCount(O.Outputs[2]), Listing(" DELETED", C.Top)) << O.Errors[2] << O.Log;
  const std::vector<int> Kept = C.Top ? std::vector<int>{1, 3, 5} : std::vector<int>{1, 2, 3, 4, 5};
  EXPECT_EQ(O.Left, Kept);
  // GNU pop3d's LIST n after TOP gives the size of what TOP sent: noted once.
  const std::string Note = "quorrel: note: the server answers LIST n after TOP n 0 with another size";
  EXPECT_EQ(O.Errors[1].find(Note) != std::string::npos, C.Peer == TPeer::MailutilsPop3d) << O.Errors[1];
  for (const std::string& Err : O.Errors) {
    // A refused TOP is named on standard error, and the sweep goes on.
    EXPECT_EQ(Err.find("quorrel: TOP 5 failed: the server said -ERR") != std::string::npos, !C.Top) << Err;
    EXPECT_EQ(Err.find("out of step"), std::string::npos) << Err;
    EXPECT_EQ(Err.find("connection lost"), std::string::npos) << Err;
  }
}

TEST_P(Interop, OneAtATimeThenStlsAndImplicitTls) {
  const TServerCase& C = GetParam();
  std::vector<std::vector<std::string>> Runs = {{"alice", "secret", "127.0.0.1", "--no-pipelining", "lottery"}};
  if (C.Stls)
    Runs.insert(Runs.end(), {{"--starttls", "--ca-file", "{CA}", "alice", "secret", "localhost", "lunch"},
                             {"--tls", "--ca-file", "{CA}", "alice", "secret", "127.0.0.1", "--dry-run", "minutes"}});
  const TOutcome O = Run(Runs);
  ASSERT_EQ(O.Trouble, "") << O.Log;
  EXPECT_EQ(O.Statuses, std::vector<int>(Runs.size(), 0));
  EXPECT_EQ(AfterCount(O.Outputs[0]), Listing(" DELETED", C.Top)) << O.Errors[0];
  if (!C.Stls) {
    EXPECT_EQ(O.Left, (std::vector<int>{1, 2, 3, 4, 5}));
    return;
  }
  EXPECT_EQ(O.Outputs[1].substr(Banner.size()).rfind("3 emails found, ", 0), 0u) << O.Outputs[1] << O.Errors[1];
  EXPECT_THAT(O.Outputs[1], HasSubstr("\r\n2:Lunch 3 DELETED\r\n1:Minutes 1 SKIPPED\r\n"));
  EXPECT_THAT(O.Outputs[2], HasSubstr(BothMinutesWouldGo)) << O.Errors[2];
  EXPECT_EQ(O.Left, (std::vector<int>{1, 5}));
}

// A size limit needs no header, but keep words do: where TOP is refused, the
// keep words cannot be checked and nothing goes; without them the size decides.
TEST_P(Interop, SizeLimitWithAndWithoutKeepWords) {
  const TServerCase& C = GetParam();
  const std::vector<std::string> Login = {"alice", "secret", "127.0.0.1", "--larger-than", "0"};
  const TOutcome O = Run({With(Login, {"--keep", "ann@"}), With(Login, {"--dry-run"})});
  ASSERT_EQ(O.Trouble, "") << O.Log;
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0}));
  const std::string Unsure = "its header was not read whole, so the keep words could not be checked";
  EXPECT_EQ(O.Errors[0].find(Unsure) != std::string::npos, !C.Top) << O.Errors[0];
  if (C.Top) {
    EXPECT_EQ(AfterCount(O.Outputs[0]), "5:Minutes 5 KEPT\r\n4:Lottery 4 DELETED\r\n3:Lunch 3 DELETED\r\n"
                                        "2:Lottery 2 DELETED\r\n1:Minutes 1 KEPT\r\n");
    EXPECT_THAT(O.Outputs[1], HasSubstr(BothMinutesWouldGo));
    EXPECT_EQ(O.Left, (std::vector<int>{1, 5}));
  } else {
    EXPECT_EQ(AfterCount(O.Outputs[0]), "5: SKIPPED\r\n4: SKIPPED\r\n3: SKIPPED\r\n2: SKIPPED\r\n1: SKIPPED\r\n");
    EXPECT_EQ(AfterCount(O.Outputs[1]),
              "5: WOULD DELETE\r\n4: WOULD DELETE\r\n3: WOULD DELETE\r\n2: WOULD DELETE\r\n1: WOULD DELETE\r\n");
    EXPECT_EQ(O.Left, (std::vector<int>{1, 2, 3, 4, 5}));
  }
}

// The copies in a bin, each split into its first line and the rest, sorted.
std::vector<std::pair<std::string, std::string>> Copies(const std::string& Bin) {
  std::vector<std::pair<std::string, std::string>> Out;
  for (const std::string& Copy : FilesIn(Bin + "/new")) Out.push_back({Copy.substr(0, Copy.find('\n')), Copy.substr(Copy.find('\n') + 1)});
  std::sort(Out.begin(), Out.end(), [](const auto& A, const auto& B) { return A.second < B.second; });
  return Out;
}

std::string LfOnly(std::string Text) {
  for (size_t At; (At = Text.find("\r\n")) != std::string::npos;) Text.erase(At, 1);
  return Text;
}

// The bin holds exactly the messages deleted, each as the server stored it
// below the line that says why; a dry run writes nothing; the listing shows
// the newest first.
TEST_P(Interop, TheBinHoldsExactlyWhatWasDeleted) {
  const TServerCase& C = GetParam();
  const std::vector<std::string> Login = {"alice", "secret", "127.0.0.1", "--recycle", "{D}/bin"};
  const TOutcome O = Run({With(Login, {"--why", "lottery"}), With(Login, {"--no-pipelining", "lunch"}),
                          {"alice", "secret", "127.0.0.1", "--dry-run", "--recycle", "{D}/dry", "minutes"},
                          {"--list-recycled", "{D}/bin"}});
  ASSERT_EQ(O.Trouble, "") << O.Log;
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 0, 0}));
  if (C.Top) {
    EXPECT_THAT(O.Outputs[0], HasSubstr("\r\n4:Lottery 4 DELETED (filter \"lottery\" in Subject)\r\n"));
  }
  const std::vector<int> Gone = C.Top ? std::vector<int>{2, 3, 4} : std::vector<int>{};
  std::vector<int> Left = {1, 2, 3, 4, 5};
  for (int N : Gone) Left.erase(std::find(Left.begin(), Left.end(), N));
  EXPECT_EQ(O.Left, Left);
  std::vector<std::string> Wanted;
  for (int N : Gone) Wanted.push_back(LfOnly(Mailbox[size_t(N - 1)]));
  std::sort(Wanted.begin(), Wanted.end());
  const auto Kept = Copies(O.Folder + "/bin");
  ASSERT_EQ(Kept.size(), Wanted.size());
  const std::regex Line(R"re(X-Quorrel-Deleted: \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d [-+]\d{4}; )re"
                        R"re(alice@127\.0\.0\.1:110; filter "(lottery|lunch)" in Subject)re");
  for (size_t I = 0; I < Kept.size(); ++I) {
    EXPECT_TRUE(std::regex_match(Kept[I].first, Line)) << Kept[I].first;
    // GNU pop3d stores status fields of its own into messages read before.
    std::string Stored = Kept[I].second;
    if (C.Peer == TPeer::MailutilsPop3d) Stored = std::regex_replace(Stored, std::regex("\n(X-UID|Status): [^\n]*"), "");
    EXPECT_EQ(Stored, Wanted[I]);
  }
  EXPECT_NE(access((O.Folder + "/dry").c_str(), F_OK), 0) << "a dry run made its bin";
  if (C.Top) {
    EXPECT_THAT(O.Outputs[3], ::testing::MatchesRegex("[-0-9]{10} [:0-9]{8}\talice@127\\.0\\.0\\.1:110\tbob@example\\.net\t"
                                                     "Lunch 3\tfilter \"lunch\" in Subject\t[^\t]*/bin/new/[^\n]*\n.*"));
  }
  EXPECT_EQ(std::count(O.Outputs[3].begin(), O.Outputs[3].end(), '\n'), long(Gone.size()));
}

INSTANTIATE_TEST_SUITE_P(Servers, Interop,
                         ::testing::Values(TServerCase{"Dovecot", TPeer::Dovecot, true, true},
                                           TServerCase{"MailutilsPop3d", TPeer::MailutilsPop3d, true, true},
                                           TServerCase{"Mpopd", TPeer::Mpopd, false, false}),
                         [](const ::testing::TestParamInfo<TServerCase>& I) { return std::string(I.param.Name); });

}  // namespace
