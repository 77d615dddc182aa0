// The program against a real Dovecot, which offers PIPELINING: the sweep with
// commands sent ahead must print what the one-at-a-time sweep (--no-pipelining)
// prints, byte for byte, and leave the same messages, on mailboxes around the
// size at which the window first fills and on a large one; with --dry-run too.
// The pipelined runs go through the harness's relay on port 1110, which records
// the commands, to show they were sent ahead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "quorrel/sweep/sweep.h"
#include "support/end_to_end.h"
#include "support/requirement.h"

using namespace quorrel;

namespace {

// Header bytes of every message below; bodies are lines of 80 bytes.
constexpr size_t HeaderBytes = 53;

std::vector<std::string> Mailbox(int Messages, size_t BodyLines) {
  std::vector<std::string> Box;
  for (int N = 1; N <= Messages; ++N) {
    char Subject[32];
    std::snprintf(Subject, sizeof Subject, "%s %06d", N % 3 == 0 ? "Lottery" : "Minutes", N);
    std::string Body;
    for (size_t I = 0; I < BodyLines; ++I) Body += (I ? "\r\n" : "") + std::string(78, char('a' + I % 26));
    Box.push_back(Message({"From: sender@example.org", "Subject: " + std::string(Subject)}, Body));
  }
  return Box;
}

// The number of messages whose commands go into the first send, for a mailbox
// of messages of Size bytes each: the reply budget binds long before the
// command budget does.
int FirstWindow(size_t Size) {
  return int(TSweepPolicy::SentAhead().ReplyBudget / (TSweep::TopReplyEstimate(uint32_t(Size)) + 64));
}

size_t Count(const std::vector<std::string>& Lines, const std::string& Prefix) {
  return size_t(std::count_if(Lines.begin(), Lines.end(), [&](const auto& L) { return L.rfind(Prefix, 0) == 0; }));
}

size_t Count(const std::string& Text, const std::string& Prefix) {
  std::vector<std::string> Lines;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);) Lines.push_back(Line);
  return Count(Lines, Prefix);
}

}  // namespace

TEST(PipelinedSession, SameOutputAndSameMailboxAsOneAtATime) {
  TEndToEnd E2E;
  QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
  const size_t BigLines = 2060;  // 164,853 bytes a message: a window of 50
  const int Window = FirstWindow(HeaderBytes + 80 * BigLines);
  ASSERT_EQ(Window, 50);
  // The large mailbox spans several windows, with DELEs between them.
  const std::vector<std::pair<int, size_t>> Cases = {{1, BigLines},      {2, BigLines},          {Window - 1, BigLines},
                                                     {Window, BigLines}, {Window + 1, BigLines}, {300, 1050}};

  // For each mailbox: the dry runs one at a time and sent ahead, then the real
  // one at a time; and the real one sent ahead on a full mailbox of its own.
  const std::vector<std::string> Direct = {"alice", "secret", "127.0.0.1", "lottery", "--no-pipelining"};
  const std::vector<std::string> Ahead = {"alice", "secret", "127.0.0.1", "lottery", "--port", "1110"};
  std::vector<TScenario> Scenarios;
  for (const auto& [Messages, BodyLines] : Cases) {
    TScenario S{.Messages = Mailbox(Messages, BodyLines),
                .Runs = {With(Direct, {"--dry-run"}), With(Ahead, {"--dry-run"}), Direct},
                .Relay = true,
                .TimeoutSeconds = 300};
    Scenarios.push_back(S);
    S.Runs = {Ahead};
    Scenarios.push_back(S);
  }
  const std::vector<TOutcome> Outcomes = E2E.RunAll(Scenarios);
  for (size_t I = 0; I < Cases.size(); ++I) {
    const int Messages = Cases[I].first, Kept = Messages - Messages / 3;
    const TOutcome &Dry = Outcomes[2 * I], &Real = Outcomes[2 * I + 1];
    SCOPED_TRACE("mailbox of " + std::to_string(Messages));
    ASSERT_EQ(Dry.Trouble + Real.Trouble, "");
    const std::string DryOne = Dry.Outputs[0], One = Dry.Outputs[2];
    EXPECT_EQ(Dry.Outputs[1], DryOne);
    EXPECT_EQ(Real.Outputs[0], One);
    EXPECT_EQ(Count(DryOne, std::to_string(Messages) + ":"), 1u) << DryOne.substr(0, 300);
    EXPECT_EQ(size_t(std::count(DryOne.begin(), DryOne.end(), '\n')), size_t(Messages) + 2);
    EXPECT_EQ(One.find("WOULD DELETE"), std::string::npos);
    EXPECT_EQ(Dry.LeftAfter[1].size(), size_t(Messages));
    EXPECT_EQ(Dry.Left.size(), size_t(Kept));
    EXPECT_EQ(Real.Left.size(), size_t(Kept));
    if (Messages >= 3) {
      EXPECT_NE(DryOne.find("3:Lottery 000003 WOULD DELETE\r\n"), std::string::npos);
      EXPECT_NE(One.find("3:Lottery 000003 DELETED\r\n"), std::string::npos);
    }
    // Only the runs through the relay are recorded: each sent a LIST n with
    // every TOP n 0.
    const size_t Tops = Count(Dry.Commands, "TOP ") + Count(Real.Commands, "TOP ");
    EXPECT_EQ(Tops, 2 * size_t(Messages));
    EXPECT_GE(Count(Dry.Commands, "LIST ") + Count(Real.Commands, "LIST "), Tops);
  }
}
