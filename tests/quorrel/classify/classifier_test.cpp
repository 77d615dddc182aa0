#include "quorrel/classify/classifier.h"

#include <gtest/gtest.h>

namespace quorrel {
namespace {

constexpr auto Spam = TClassification::Spam, Ham = TClassification::Ham, Failed = TClassification::Failed;

// What each classifier's answer means, with and without --spam-score.
TEST(ClassifierReplies, ReadAsVerdicts) {
  const std::optional<double> Own, Ten = 10.0, Half = 0.5;
  struct TRow {
    const char* Who;
    std::string Reply;
    std::optional<double> Score;
    TClassification::TKind Kind;
    std::string Why;  // Failed: a part of the reason
  };
  const TRow Rows[] = {
      {"spamd", "SPAMD/1.1 0 EX_OK\nSpam: True ; 20.3 / 5.0\n", Own, Spam, "spamassassin 20.3/5.0"},
      {"spamd", "SPAMD/1.1 0 EX_OK\nContent-length: 0\nSpam: False ; 1.2 / 5.0\n", Own, Ham, "spamassassin 1.2/5.0"},
      {"spamd", "SPAMD/1.1 0 EX_OK\nSpam: True ; 7.0 / 5.0\n", Ten, Ham, "spamassassin 7.0/10.0"},
      {"spamd", "SPAMD/1.0 76 Bad header line: x\n", Own, Failed, "76 Bad header"},
      {"spamd", "SPAMD/1.1 0 EX_OK\n", Own, Failed, "no Spam line"},
      {"spamd", "SPAMD/1.1 0 EX_OK\nSpam: Maybe ; x / 5\n", Own, Failed, "cannot be read"},
      {"spamd", "HTTP/1.1 200 OK\n", Own, Failed, "not SPAMD"},
      {"rspamd", R"({"action":"reject","score":15.12,"required_score":15})", Own, Spam, "rspamd reject 15.1"},
      {"rspamd", R"({"action":"add header","score":7.5})", Own, Ham, "rspamd add header 7.5"},
      {"rspamd", R"({"action":"add header","score":7.5})", Half, Spam, "rspamd add header 7.5"},
      {"rspamd", R"({"error":"bad request"})", Own, Failed, "bad request"},
      {"rspamd", R"({"action":"reject"})", Own, Failed, "no action and score"},
      {"rspamd", "not json", Own, Failed, "no JSON"},
      {"bogofilter", "/tmp/q.x/message S 0.999803", Own, Spam, "bogofilter 0.9998"},
      {"bogofilter", "/tmp/q.x/message U 0.52", Own, Ham, "bogofilter 0.5200"},
      {"bogofilter", "/tmp/q.x/message U 0.52", Half, Spam, "bogofilter 0.5200"},
      {"bogofilter", "/tmp/q x/message H 4.47e-05", Own, Ham, "bogofilter 0.0000"},
      {"bogofilter", "message X 0.9", Own, Failed, "cannot be read"},
      {"bogofilter", "garbage", Own, Failed, "cannot be read"},
  };
  for (const TRow& Row : Rows) {
    const std::string Who = Row.Who;
    const TClassification Got = Who == "spamd"    ? ReadSpamdReply(Row.Reply, Row.Score)
                                : Who == "rspamd" ? ReadRspamdReply(Row.Reply, Row.Score)
                                                  : ReadBogofilterLine(Row.Reply, Row.Score);
    EXPECT_EQ(Got.Kind, Row.Kind) << Row.Reply;
    if (Row.Kind == Failed)
      EXPECT_NE(Got.Why.find(Row.Why), std::string::npos) << Row.Reply << " -> " << Got.Why;
    else
      EXPECT_EQ(Got.Why, Row.Why) << Row.Reply;
  }
}

// A copy from the bin is taught without the line the bin added.
TEST(ClassifierReplies, TaughtWithoutTheBinsLine) {
  EXPECT_EQ(AsTaught("X-Quorrel-Deleted: Mon, 1 Jan 2026; a@b:110;\r\n filter \"x\"\r\nSubject: s\r\n\r\nbody\r\n"),
            "Subject: s\n\nbody\n");
  EXPECT_EQ(AsTaught("Subject: s\nX-Quorrel-Deleted: stays\n"), "Subject: s\nX-Quorrel-Deleted: stays\n");
}

}  // namespace
}  // namespace quorrel

namespace quorrel {
namespace {

// Without a classifier the --only-new state stays as it was; with one, its
// name and threshold make another state.
TEST(ClassifierSettings, Fingerprint) {
  TClassifierSettings S;
  EXPECT_TRUE(S.Fingerprint().empty());
  S.Kind = TClassifierKind::SpamAssassin;
  const std::vector<std::string> Own = S.Fingerprint();
  S.SpamScore = 8;
  EXPECT_NE(S.Fingerprint(), Own);
  S.Kind = TClassifierKind::Rspamd;
  EXPECT_NE(S.Fingerprint()[0], Own[0]);
}

}  // namespace
}  // namespace quorrel
