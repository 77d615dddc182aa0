// The sweep over a mailbox, from the last message to the first, in either of
// its two forms: one command at a time, or with commands sent ahead
// (pipelined_sweep.h). Both judge and show every message through the same
// hooks, in the same order, so that the output does not tell them apart.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "quorrel/sweep/verdict.h"

namespace quorrel {

// How a sweep ended.
enum class TSweepEnd {
  Completed,       // every message has its outcome
  ConnectionLost,  // dropped; the first message without an outcome was reported last
  Stopped,         // the report failed (the output is lost); no QUIT may follow
  NotStarted,      // commands could not be sent ahead: nothing was sent, the session is in step
};

struct TSweepJudgement {
  bool Delete = false;
  std::string Subject;  // as it is to be shown
  bool Kept = false;    // not to be deleted whatever else matched: shown as KEPT
};

// What both sweeps share: the hooks, the choice of a dry run, the count of
// deletions the server confirmed.
class TSweep {
 public:
  explicit TSweep(TPOP3Send& Session) : Session(Session) {}
  virtual ~TSweep() = default;

  // Judges message N by its header lines (empty when the server refused TOP,
  // or when the header could not be read); Whole when TOP was answered and no
  // line was cut. Called once per message, from the highest number down; it
  // must not write.
  std::function<TSweepJudgement(int32_t N, const std::vector<std::string>& Header, bool Whole)> Judge;
  // Shows message N's outcome, in the same order. False ends the sweep.
  std::function<bool(int32_t N, const std::string& Subject, TVerdict Verdict)> Report;
  // One line for standard error: a command that failed, why the sweep ended.
  std::function<void(const std::string& Text)> Complain;
  // False for a dry run: no DELE is sent, matches come out as WouldDelete.
  bool MarkDeletions = true;
  // Messages not to read again, by number (empty: none): no TOP goes out for
  // them, and nothing is shown.
  std::vector<bool> Skip;
  // Filled by Run: the messages whose header was read whole (TOP answered, no
  // line cut) and judged, in the order of the sweep. A list of numbers, not a
  // table by number: the server chose the count.
  std::vector<int32_t> ReadWhole;

  // Sweeps messages MessageCount down to 1 on a logged-in session.
  virtual TSweepEnd Run(int32_t MessageCount) = 0;

  int32_t Marked = 0;  // DELEs the server confirmed

 protected:
  bool Skipped(int32_t N) const { return N >= 0 && size_t(N) < Skip.size() && Skip[size_t(N)]; }
  TSweepJudgement JudgeHeader(int32_t N, const std::vector<std::string>& Header, bool Whole) const {
    return Judge ? Judge(N, Header, Whole) : TSweepJudgement();
  }
  // What is shown for a message that is not to be deleted.
  static TVerdict Spared(const TSweepJudgement& Judgement) {
    return Judgement.Kept ? TVerdict::Kept : TVerdict::Skipped;
  }
  bool Show(int32_t N, const std::string& Subject, TVerdict Verdict) const {
    return !Report || Report(N, Subject, Verdict);
  }
  void Say(const std::string& Text) const {
    if (Complain) Complain(Text);
  }

  TPOP3Send& Session;
};

// One command at a time: TOP, then DELE for a match, then the next message.
class TOneAtATimeSweep : public TSweep {
 public:
  using TSweep::TSweep;
  TSweepEnd Run(int32_t MessageCount) override;
};

}  // namespace quorrel
