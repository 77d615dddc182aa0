// The sweep with its commands sent ahead of the replies, for servers that
// allow it (the PIPELINING capability). It visits the same messages in the same
// order as the one-at-a-time sweep and hands each one's outcome to the caller
// in that order, so the caller's output is what the one-at-a-time sweep shows.
//
// Every header is proven to be its own message's before it is judged: each
// "TOP n 0" is followed by "LIST n", whose reply must name n, and the reply
// before each TOP is such a LIST reply too (after DELE replies, an extra
// "LIST n" stands in front of the next TOP). The number is the proof; the size
// is not, because some servers answer LIST n after TOP with the size of what
// TOP sent. A reply out of step, or any reply that cannot be read, drops the
// connection: no QUIT, so the server deletes nothing of the session.
//
// What is in flight is bounded in bytes: the commands not yet answered stay
// within a budget that the socket's send buffer holds, so a send never waits
// on the server, and the reply bytes expected for them (taken from the message
// sizes) stay within a second budget. A refill waits until a quarter of either
// budget is free again.
//
// A sweep that is to delete nothing (QuitWithLastCommand) sends the QUIT with
// its last TOP n 0 and LIST n; every reply before it is still read and judged.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "quorrel/sweep/sweep.h"

namespace quorrel {

class TPipelinedSweep : public TSweep {
 public:
  using TSweep::TSweep;

  // The sizes of messages 1..n (index 0 unused) when the caller listed them in
  // this session already; otherwise the sweep asks LIST itself.
  std::vector<uint32_t> KnownSizes;
  int64_t CommandBudget = 64 * 1024;
  int64_t ReplyBudget = 8 * 1024 * 1024;  // 160 MB/s kept in flight across a 50 ms round trip
  // Set only where no message can be deleted (a dry run, a listing): a QUIT
  // sent ahead of verdicts not yet shown may carry out nothing.
  bool QuitWithLastCommand = false;

  // Sweeps messages MessageCount down to 1 on a logged-in session; says on
  // Complain why the replies were out of step or the connection was lost, and
  // notes once a LIST size that differed from the opening listing.
  TSweepEnd Run(int32_t MessageCount) override;

  // Why the sweep found the replies out of step (the command, what its reply
  // had to be, what came); empty when it did not.
  std::string OutOfStep;
  // The first LIST n whose size differs from the opening listing's, as
  // "message n: listed s, then t"; empty when none did.
  std::string SizeChanged;
  // Messages whose commands went into the first send: the point at which the
  // budgets first held a command back and the sweep turned to reading.
  int32_t FirstWindow = 0;

  // Reply bytes expected for "TOP n 0" on a message of Size bytes.
  static int64_t TopReplyEstimate(uint32_t Size) { return int64_t(Size) + 64; }

 private:
  enum class TKind { Top, List, Guard, Dele };
  struct TOwed {
    TKind Kind;
    int32_t Number;
    int64_t CommandBytes;
    int64_t ReplyBytes;
  };
  struct TOutcome {
    int32_t Number;
    std::string Subject;
    TVerdict Verdict;
    bool Known;  // false while its DELE is unanswered
  };

  TSweepEnd Walk(int32_t MessageCount);  // Run without the words on Complain
  bool ReadSizes(int32_t MessageCount);
  bool Refill();
  bool Room(int64_t Commands, int64_t Replies) const;
  // Reads the next reply owed. False when the sweep has ended, with End set.
  bool ReadNext(TSweepEnd& End);
  bool Names(const TOwed& Asked);
  // Shows the outcomes known, in order. False (End Stopped) when a report failed.
  bool Flush(TSweepEnd& End);
  TSweepEnd Lost();
  TSweepEnd Stop();

  std::vector<uint32_t> Sizes;  // by message number
  int32_t NextToAsk = 0;        // next message whose TOP is to be sent
  int32_t NextToJudge = 0;      // next message whose header is to be judged
  bool GuardDue = false;        // DELEs went out since the last TOP
  std::deque<TOwed> Owed;       // replies in the order the server sends them
  std::deque<int32_t> DelesDue;
  std::deque<TOutcome> Outcomes;  // judged, not yet reported
  std::vector<std::string> Header;  // of the TOP whose LIST is still to come
  bool HeaderWhole = false;         // that TOP was answered and no line was cut
  int64_t CommandsInFlight = 0;
  int64_t RepliesInFlight = 0;
};

}  // namespace quorrel
