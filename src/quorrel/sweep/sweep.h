// The sweep over a mailbox, from the last message to the first: each header is
// read with TOP, handed to the judge, and a match deleted with DELE; every
// message's outcome is shown in that order.
//
// How far ahead the sweep sends is its policy:
// - one at a time: a command, its reply, the next command; a message's TOP goes
//   only once the message before it has been shown.
// - ahead, for servers that allow it (the PIPELINING capability): commands are
//   sent ahead of the replies, within budgets, and the output is the same line
//   for line. Every header is proven to be its own message's before it is
//   judged: each "TOP n 0" is followed by "LIST n", whose reply must name n,
//   and the reply before each TOP is such a LIST reply too (after DELE replies,
//   an extra "LIST n" stands in front of the next TOP). The number is the proof;
//   the size is not, because some servers answer LIST n after TOP with the size
//   of what TOP sent. A reply out of step, or any reply that cannot be read,
//   drops the connection: no QUIT, so the server deletes nothing of the session.
//   The commands not yet answered stay within a budget that the socket's send
//   buffer holds, so a send never waits on the server, and the reply bytes
//   expected for them (taken from the message sizes) within a second budget. A
//   refill waits until a quarter of either budget is free again.
//
// Between a message's judgement and its DELE stand the stages that must be done
// first; the DELE goes out when they are.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "quorrel/sweep/judge.h"
#include "quorrel/sweep/verdict.h"

namespace quorrel {

// How a sweep ended.
enum class TSweepEnd {
  Completed,       // every message has its outcome
  ConnectionLost,  // dropped; the first message without an outcome was reported last
  Stopped,         // the report failed (the output is lost); no QUIT may follow
  NotStarted,      // commands could not be sent ahead: nothing was sent, the session is in step
};

struct TSweepPolicy {
  bool Ahead = false;  // false: one command at a time
  int64_t CommandBudget = 64 * 1024;
  int64_t ReplyBudget = 8 * 1024 * 1024;  // 160 MB/s kept in flight across a 50 ms round trip
  // Set only where no message can be deleted (a dry run, a listing): a QUIT
  // sent ahead of verdicts not yet shown may carry out nothing.
  bool QuitWithLastCommand = false;

  static TSweepPolicy OneAtATime() { return {}; }
  static TSweepPolicy SentAhead() { return {true}; }
};

// What must be done with a message before its DELE: a copy kept of it. The
// sweep reads the message with RETR and hands it on a line at a time; the
// DELE goes only once the copy is whole, kept and committed.
class TKeeper {
 public:
  virtual ~TKeeper() = default;
  // False after a copy could not be kept: no message is deleted after that.
  virtual bool Working() const = 0;
  // Starts the copy of message N, deleted for Why; false when it cannot start.
  virtual bool Begin(int32_t N, const std::string& Why) = 0;
  // One line of the message; false when it could not be taken.
  virtual bool Take(std::string_view Line) = 0;
  // Keeps the copy begun last; false when it could not be kept.
  virtual bool Finish() = 0;
  // Makes every copy kept since the last commit durable; false when it failed.
  virtual bool Commit() = 0;
  // Why the last Begin, Take, Finish or Commit failed, for standard error.
  virtual std::string Failure() const = 0;
};

class TSweep {
 public:
  TSweep(TPOP3Send& Session, TJudge& Judge) : Session(Session), Judge(Judge) {}

  TSweepPolicy Policy;
  // Shows message N's outcome, in the order of the sweep. False ends the sweep.
  std::function<bool(int32_t N, const TJudgement& Judgement, TVerdict Verdict)> Report;
  // One line for standard error: a command that failed, a judge's note (each
  // just before its message is shown), why the sweep ended.
  std::function<void(const std::string& Text)> Complain;
  // False for a dry run: no DELE is sent, matches come out as WouldDelete.
  bool MarkDeletions = true;
  // Messages not to read again, by number (empty: none): no TOP goes out for
  // them, and nothing is shown.
  std::vector<bool> Skip;
  // Where given, a copy of each message is kept before its DELE.
  TKeeper* Keeper = nullptr;
  // Sent ahead: the sizes of messages 1..n (index 0 unused) when the caller
  // listed them in this session already; otherwise the sweep asks LIST itself.
  std::vector<uint32_t> KnownSizes;
  // Body lines read with each header ("TOP n BodyLines"), handed to the judge
  // behind the header's empty line.
  int32_t BodyLines = 0;

  // Sweeps messages MessageCount down to 1 on a logged-in session; says on
  // Complain why the connection was lost or the replies were out of step, and
  // notes once a LIST size that differed from the opening listing.
  TSweepEnd Run(int32_t MessageCount);

  // Filled by Run:
  int32_t Marked = 0;  // DELEs the server confirmed
  std::vector<int32_t> Confirmed;  // their messages' numbers
  // The messages shown whose header was read whole (TOP answered, no line
  // cut), in the order of the sweep. A list of numbers, not a table by number:
  // the server chose the count.
  std::vector<int32_t> ReadWhole;
  // Why the replies were found out of step (the command, what its reply had to
  // be, what came); empty when they were not.
  std::string OutOfStep;
  // The first LIST n whose size differs from the opening listing's, as
  // "message n: listed s, then t"; empty when none did.
  std::string SizeChanged;
  // Messages whose commands went into the first send: the point at which the
  // budgets first held a command back and the sweep turned to reading.
  int32_t FirstWindow = 0;
  // Messages left undeleted because the server did not give them whole for
  // their copy (RETR refused, a line cut).
  int32_t NotCopied = 0;

  // Reply bytes expected for "TOP n 0" on a message of Size bytes.
  static int64_t TopReplyEstimate(uint32_t Size) { return int64_t(Size) + 64; }

 private:
  enum class TKind { Top, List, Guard, Retr, RetrList, Dele };
  struct TOwed {
    TKind Kind;
    int32_t Number;
    int64_t CommandBytes;
    int64_t ReplyBytes;
  };
  // Where a message stands between its header and its line. The stages from
  // RetrDue to Copied stand before a DELE.
  enum class TStage { Judging, RetrDue, RetrSent, Copied, DeleDue, DeleSent, Known };
  struct TOutcome {
    int32_t Number;
    TStage Stage = TStage::Judging;
    bool Whole = false;
    TJudgement Judgement;
    TVerdict Verdict = TVerdict::Skipped;
    std::vector<std::string> Notes;  // written just before it is shown
  };

  TSweepEnd Walk(int32_t MessageCount);  // Run without the closing words
  bool Refill();
  bool Room(int64_t Commands, int64_t Replies) const;
  bool MayAsk();
  bool ReplyArrived();  // bytes of the next reply are there to be read
  static constexpr int JudgeLookMs = 2;
  // Reads the next reply owed. False when the sweep has ended, with End set.
  bool ReadNext(TSweepEnd& End);
  bool Names(const TOwed& Asked);
  void Begin(int32_t N, bool Whole, std::vector<std::string> Header);
  void Settle(TOutcome& Outcome, TJudgement Judgement);
  void Prepare(TOutcome& Outcome);  // the stages before the DELE
  bool Sendable();                  // something is due to go out
  void Commit();                    // the copies kept become due for their DELEs
  void Refuse(TOutcome& Outcome, std::string Why);
  TOutcome* Find(int32_t N, TStage Stage);
  void ReadCopy(const TOwed& Retr);
  void TakeAnswers();
  // Shows the outcomes known, in order. False when a report failed.
  bool Flush();
  bool Show(TOutcome& Outcome);
  TSweepEnd Lost(const std::string& FailedCommand);
  TSweepEnd Stop();
  bool Skipped(int32_t N) const { return N >= 0 && size_t(N) < Skip.size() && Skip[size_t(N)]; }
  void Say(const std::string& Text) const {
    if (Complain) Complain(Text);
  }

  TPOP3Send& Session;
  TJudge& Judge;
  std::vector<uint32_t> Sizes;  // by message number, sent ahead
  int32_t NextToAsk = 0;        // next message whose TOP is to be sent
  int32_t NextToJudge = 0;      // next message whose header is to be judged
  bool GuardDue = false;        // DELEs went out since the last TOP
  std::deque<TOwed> Owed;       // replies in the order the server sends them
  std::deque<int32_t> DelesDue;
  std::deque<int32_t> RetrsDue;
  int32_t Copied = 0;           // outcomes whose copy waits for a commit
  int32_t RetrsOwed = 0;        // RETRs sent whose replies are still to come
  static constexpr int32_t CommitBatch = 1024;
  int32_t CopyRead = 0;         // sent ahead: the message whose RETR was read, its LIST still to come
  std::deque<TOutcome> Outcomes;    // not yet shown
  std::vector<std::string> Header;  // of the TOP whose LIST is still to come
  bool HeaderWhole = false;         // that TOP was answered and no line was cut
  std::string HeaderNote;           // that TOP's refusal
  int32_t LastShown = 0;        // for the words on a lost connection
  int32_t Judging = 0;          // outcomes still waiting for their judgement
  int64_t CommandsInFlight = 0;
  int64_t RepliesInFlight = 0;
};

}  // namespace quorrel
