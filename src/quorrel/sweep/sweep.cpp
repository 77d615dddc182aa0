#include "quorrel/sweep/sweep.h"

#include "quorrel/session/diagnosis.h"

namespace quorrel {

TSweepEnd TOneAtATimeSweep::Run(int32_t MessageCount) {
  Marked = 0;
  ReadWhole.clear();
  for (int32_t N = MessageCount; N >= 1; --N) {
    if (Skipped(N)) continue;
    const bool Read = Session.Top(N, 0);
    if (!Read) Say("TOP " + std::to_string(N) + " failed: " + ReplyFailure(Session));
    const bool Whole = Read && !Session.ReplyCut;
    if (Whole) ReadWhole.push_back(N);
    const TSweepJudgement Judgement = JudgeHeader(N, Session.ReplyLines, Whole);
    TVerdict Verdict = Spared(Judgement);
    if (Judgement.Delete && !MarkDeletions) {
      Verdict = TVerdict::WouldDelete;
    } else if (Judgement.Delete && Session.Dele(N)) {
      ++Marked;
      Verdict = TVerdict::Deleted;
    } else if (Judgement.Delete) {
      // A refused DELE leaves the message on the server: say so rather than
      // report a deletion that will not happen.
      Say("DELE " + std::to_string(N) + " failed: " + ReplyFailure(Session));
      Verdict = TVerdict::NotDeleted;
    }
    if (!Show(N, Judgement.Subject, Verdict)) return TSweepEnd::Stopped;
    // Once the session has lost its connection every later command fails at
    // once; going on would only show a SKIPPED line for each of the messages
    // the server claimed, however many that was.
    if (!Session.Socket.HasSocket()) {
      Say("connection lost after message " + std::to_string(N) + ": " +
          DescribeSocketError(Session.Socket.LastErrorCode));
      return TSweepEnd::ConnectionLost;
    }
  }
  return TSweepEnd::Completed;
}

}  // namespace quorrel
