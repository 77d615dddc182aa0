#include "quorrel/sweep/sweep.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "quorrel/session/diagnosis.h"

namespace quorrel {

namespace {

// Reply bytes held for a status line of LIST or DELE.
constexpr int64_t StatusReplyBytes = 64;

int64_t LineBytes(const std::string& Command) { return int64_t(Command.size()) + 2; }

std::string Numbered(const char* Verb, int32_t N) { return Verb + std::to_string(N); }

}  // namespace

TSweepEnd TSweep::Run(int32_t MessageCount) {
  const TSweepEnd End = Walk(MessageCount);
  if (!SizeChanged.empty())
    Say("note: the server answers LIST n after TOP n 0 with another size than its opening listing (" + SizeChanged +
        "); the message number alone keeps the replies in step");
  if (End != TSweepEnd::ConnectionLost) return End;
  if (!Policy.Ahead)
    Say("connection lost after message " + std::to_string(LastShown) + ": " +
        DescribeSocketError(Session.Socket.LastErrorCode));
  else if (!OutOfStep.empty())
    Say("the server's replies are out of step: " + OutOfStep + "; the session ends without QUIT, nothing is deleted");
  else
    Say("connection lost during the sweep: " + ReplyFailure(Session));
  return End;
}

TSweepEnd TSweep::Walk(int32_t MessageCount) {
  Marked = Judging = LastShown = FirstWindow = 0;
  OutOfStep.clear();
  SizeChanged.clear();
  Owed.clear();
  DelesDue.clear();
  RetrsDue.clear();
  Copied = CopyRead = NotCopied = RetrsOwed = 0;
  Outcomes.clear();
  Header.clear();
  HeaderNote.clear();
  ReadWhole.clear();
  Confirmed.clear();
  GuardDue = false;
  CommandsInFlight = RepliesInFlight = 0;
  NextToAsk = NextToJudge = MessageCount;
  if (MessageCount <= 0) return TSweepEnd::Completed;
  if (Policy.Ahead) {
    // Sizes listed by the caller in this session save the opening LIST.
    if (KnownSizes.size() == size_t(MessageCount) + 1) {
      Sizes = KnownSizes;
    } else if (!Session.ListSizes(Sizes) || Sizes.size() != size_t(MessageCount) + 1) {
      if (!Session.Socket.HasSocket()) return Lost("");
      return TSweepEnd::NotStarted;
    }
    // Everything sent ahead must fit in the send buffer, whatever the server
    // does meanwhile: then a send never waits for the server to read.
    Session.Socket.SetSendBufferSize(int32_t(Policy.CommandBudget * 2));
  }

  for (;;) {
    TakeAnswers();
    if (!Flush()) return Stop();
    const bool Free = Policy.CommandBudget - CommandsInFlight >= Policy.CommandBudget / 4 &&
                      Policy.ReplyBudget - RepliesInFlight >= Policy.ReplyBudget / 4;
    if ((Owed.empty() || (Policy.Ahead && Free)) && Sendable() && !Refill()) {
      if (Owed.empty()) return Lost("");
      const TKind Kind = Owed.back().Kind;
      return Lost(Numbered(Kind == TKind::Dele ? "DELE " : Kind == TKind::Retr ? "RETR " : "TOP ", Owed.back().Number));
    }
    if (!Owed.empty()) {
      // Judgements still to come are looked for while the next reply is on
      // its way, so that a DELE they make goes out now rather than a round
      // trip later.
      if (Policy.Ahead && MarkDeletions && Judging > 0 && Session.Socket.HasSocket() && !ReplyArrived()) {
        if (Judge.Waiting() == 0) Session.Socket.WaitReadable(JudgeLookMs);
        if (Judge.Waiting() > 0 && !ReplyArrived()) continue;
      }
      TSweepEnd End;
      if (!ReadNext(End)) return End;
      continue;
    }
    if (Outcomes.empty()) return TSweepEnd::Completed;
    // A refill may have settled outcomes (a copy refused): show them first.
    if (Outcomes.front().Stage == TStage::Known) continue;
    // Nothing is owed and nothing can be sent: the first outcome waits for its
    // judgement. One that does not come keeps the message.
    auto First = std::find_if(Outcomes.begin(), Outcomes.end(),
                              [](const TOutcome& Outcome) { return Outcome.Stage == TStage::Judging; });
    if (First == Outcomes.end()) return Stop();  // cannot be: the front would have been sent or shown
    Judge.WaitForFirst();
    TakeAnswers();
    if (First->Stage == TStage::Judging)
      Settle(*First, {false, "", false, "message " + std::to_string(First->Number) + ": no judgement came; it is not deleted",
                      ""});
  }
}

bool TSweep::ReplyArrived() {
  TBlockSocket& Socket = Session.Socket;
  return !Socket.ReadBuffer.empty() || Socket.PendingBytes() > 0 || Socket.WaitReadable(0);
}

bool TSweep::MayAsk() {
  while (NextToAsk >= 1 && Skipped(NextToAsk)) --NextToAsk;
  // One at a time, a message's TOP waits until the one before it is shown.
  return NextToAsk >= 1 && (Policy.Ahead || Outcomes.empty());
}

bool TSweep::Sendable() { return Copied > 0 || !DelesDue.empty() || !RetrsDue.empty() || MayAsk(); }

bool TSweep::Room(int64_t Commands, int64_t Replies) const {
  // One command always goes, however large its reply may be.
  if (Owed.empty()) return true;
  return Policy.Ahead && CommandsInFlight + Commands <= Policy.CommandBudget &&
         RepliesInFlight + Replies <= Policy.ReplyBudget;
}

bool TSweep::Refill() {
  std::vector<std::string> Lines;
  const auto Add = [&](TKind Kind, int32_t Number, std::string Command, int64_t Replies) {
    const int64_t Bytes = LineBytes(Command);
    Lines.push_back(std::move(Command));
    Owed.push_back({Kind, Number, Bytes, Replies});
    CommandsInFlight += Bytes;
    RepliesInFlight += Replies;
  };
  // A command that reads message N (TOP or RETR): one at a time alone; sent
  // ahead, with "LIST n" behind it as its proof and, after DELEs, in front.
  const auto AddReading = [&](TKind Kind, TKind ProofKind, int32_t N, std::string Command) {
    if (!Policy.Ahead) {
      if (!Room(LineBytes(Command), 0)) return false;
      Add(Kind, N, std::move(Command), 0);
      return true;
    }
    std::string List = Numbered("LIST ", N);
    const int64_t Commands = LineBytes(Command) + LineBytes(List) * (GuardDue ? 2 : 1);
    const int64_t Replies = TopReplyEstimate(Sizes[size_t(N)]) + StatusReplyBytes * (GuardDue ? 2 : 1);
    if (!Room(Commands, Replies)) return false;
    if (GuardDue) Add(TKind::Guard, N, List, StatusReplyBytes);
    GuardDue = false;
    Add(Kind, N, std::move(Command), TopReplyEstimate(Sizes[size_t(N)]));
    Add(ProofKind, N, std::move(List), StatusReplyBytes);
    return true;
  };
  const bool First = Policy.Ahead && FirstWindow == 0;
  // The copies kept are made durable together, and only then may their DELEs
  // go: a batch at a time while headers are still asked for, else once no copy
  // is on its way, or when nothing else is owed.
  if (Copied > 0 && (Copied >= CommitBatch || Owed.empty() || (RetrsOwed == 0 && !MayAsk()))) Commit();
  for (;;) {
    if (!DelesDue.empty()) {
      const int32_t N = DelesDue.front();
      std::string Command = "DELE " + std::to_string(N);
      if (!Room(LineBytes(Command), StatusReplyBytes)) break;
      Add(TKind::Dele, N, std::move(Command), StatusReplyBytes);
      DelesDue.pop_front();
      for (TOutcome& Outcome : Outcomes) {
        if (Outcome.Number != N) continue;
        Outcome.Stage = TStage::DeleSent;
        break;
      }
      GuardDue = Policy.Ahead;
      continue;
    }
    if (!RetrsDue.empty()) {
      const int32_t N = RetrsDue.front();
      TOutcome* Outcome = Find(N, TStage::RetrDue);
      if (Outcome && !Keeper->Working()) {
        RetrsDue.pop_front();
        Refuse(*Outcome, Numbered("message ", N) + ": no copy can be kept since an earlier one failed; it is not deleted");
        continue;
      }
      // As a header, the message is proven its own by the LIST behind it.
      if (!AddReading(TKind::Retr, TKind::RetrList, N, Numbered("RETR ", N))) break;
      ++RetrsOwed;
      RetrsDue.pop_front();
      if (Outcome) Outcome->Stage = TStage::RetrSent;
      continue;
    }
    if (!MayAsk()) break;
    const int32_t N = NextToAsk;
    if (!AddReading(TKind::Top, TKind::List, N, "TOP " + std::to_string(N) + " " + std::to_string(BodyLines))) break;
    --NextToAsk;
    if (First) ++FirstWindow;
  }
  if (Policy.QuitWithLastCommand && Policy.Ahead && NextToAsk < 1 && DelesDue.empty() && RetrsDue.empty() &&
      Copied == 0 && !Session.QuitSentAhead())
    return Session.SendAheadThenQuit(Lines);
  return Session.SendAhead(Lines);
}

bool TSweep::Names(const TOwed& Asked) {
  const std::string& StatusLine = Session.StatusLine;
  const uint32_t Opening = Sizes[size_t(Asked.Number)];
  uint64_t Listed = 0, Size = 0;
  if (StatusLine.compare(0, 4, "+OK ") == 0 && ParseScanListing(std::string_view(StatusLine).substr(4), Listed, Size) &&
      Listed == uint64_t(Asked.Number)) {
    if (Size != Opening && SizeChanged.empty())
      SizeChanged = "message " + std::to_string(Asked.Number) + ": listed " + std::to_string(Opening) + ", then " +
                    std::to_string(Size);
    return true;
  }
  OutOfStep = "LIST " + std::to_string(Asked.Number) + " was to be answered \"+OK " + std::to_string(Asked.Number) +
              " <size>\", the server said \"" + StatusLine.substr(0, 200) + "\"";
  return false;
}

bool TSweep::ReadNext(TSweepEnd& End) {
  const TOwed Next = Owed.front();
  Owed.pop_front();
  CommandsInFlight -= Next.CommandBytes;
  RepliesInFlight -= Next.ReplyBytes;
  if (Next.Kind == TKind::Retr) {
    --RetrsOwed;
    ReadCopy(Next);
    if (Session.Socket.HasSocket()) return true;
    End = Lost(Numbered("RETR ", Next.Number));
    return false;
  }
  const bool Positive = Session.ReadReply(Next.Kind == TKind::Top) == 1;
  const std::string Command = Numbered(Next.Kind == TKind::Dele ? "DELE " : "TOP ", Next.Number);
  const bool Proof = Next.Kind == TKind::List || Next.Kind == TKind::Guard || Next.Kind == TKind::RetrList;
  if (!Session.Socket.HasSocket() || (Proof && !Names(Next))) {
    End = Lost(Command);
    return false;
  }

  switch (Next.Kind) {
    case TKind::Top:
      // A refused TOP leaves the header empty, and is named.
      Header.clear();
      if (Positive) Header.swap(Session.ReplyLines);
      HeaderWhole = Positive && !Session.ReplyCut;
      HeaderNote = Positive ? "" : Command + " failed: " + ReplyFailure(Session);
      // Sent ahead, the header waits for the LIST that proves it.
      if (!Policy.Ahead) Begin(Next.Number, HeaderWhole, std::move(Header));
      return true;
    case TKind::Guard:
    case TKind::Retr:
      return true;
    case TKind::RetrList:
      if (TOutcome* Outcome = Find(Next.Number, TStage::RetrSent); Outcome && CopyRead == Next.Number) {
        if (Keeper->Finish()) {
          Outcome->Stage = TStage::Copied;
          ++Copied;
        } else {
          Refuse(*Outcome, Numbered("message ", Next.Number) + ": its copy could not be kept (" + Keeper->Failure() +
                               "); it is not deleted");
        }
      }
      CopyRead = 0;
      return true;
    case TKind::List:
      Begin(Next.Number, HeaderWhole, std::move(Header));
      Header.clear();
      return true;
    case TKind::Dele:
      // DELEs go out in the order their messages were judged, so the answer
      // belongs to the first outcome still waiting for one.
      for (TOutcome& Waiting : Outcomes) {
        if (Waiting.Stage != TStage::DeleSent || Waiting.Number != Next.Number) continue;
        Waiting.Stage = TStage::Known;
        Waiting.Verdict = Positive ? TVerdict::Deleted : TVerdict::NotDeleted;
        if (Positive) ++Marked, Confirmed.push_back(Next.Number);
        // A refused DELE leaves the message on the server: say so rather than
        // report a deletion that will not happen.
        if (!Positive) Waiting.Notes.push_back(Command + " failed: " + ReplyFailure(Session));
        break;
      }
      return true;
  }
  return true;
}

void TSweep::Begin(int32_t N, bool Whole, std::vector<std::string> Lines) {
  TOutcome& Outcome = Outcomes.emplace_back();
  Outcome.Number = N;
  Outcome.Whole = Whole;
  if (!HeaderNote.empty()) Outcome.Notes.push_back(std::move(HeaderNote));
  HeaderNote.clear();
  NextToJudge = N - 1;
  ++Judging;
  Judge.Consider(N, std::move(Lines), Whole);
  if (std::optional<TJudgement> Answer = Judge.Answer(N)) Settle(Outcome, std::move(*Answer));
}

void TSweep::Settle(TOutcome& Outcome, TJudgement Judgement) {
  --Judging;
  if (!Judgement.Note.empty()) Outcome.Notes.push_back(Judgement.Note);
  Outcome.Judgement = std::move(Judgement);
  const TJudgement& J = Outcome.Judgement;
  if (J.Delete && MarkDeletions) {
    Outcome.Verdict = TVerdict::NotDeleted;  // until the server confirms the DELE
    Prepare(Outcome);
  } else {
    Outcome.Stage = TStage::Known;
    Outcome.Verdict = J.Delete ? TVerdict::WouldDelete : J.Kept ? TVerdict::Kept : TVerdict::Skipped;
  }
}

// The stages that must be done before a message's DELE start here: with a
// keeper, its RETR; with none, the DELE is due at once.
void TSweep::Prepare(TOutcome& Outcome) {
  if (!Keeper) {
    Outcome.Stage = TStage::DeleDue;
    DelesDue.push_back(Outcome.Number);
  } else if (!Keeper->Working()) {
    Refuse(Outcome, Numbered("message ", Outcome.Number) +
                        ": no copy can be kept since an earlier one failed; it is not deleted");
  } else {
    Outcome.Stage = TStage::RetrDue;
    RetrsDue.push_back(Outcome.Number);
  }
}

void TSweep::Refuse(TOutcome& Outcome, std::string Why) {
  Outcome.Notes.push_back(std::move(Why));
  Outcome.Stage = TStage::Known;
  Outcome.Verdict = TVerdict::NotDeleted;
}

TSweep::TOutcome* TSweep::Find(int32_t N, TStage Stage) {
  for (TOutcome& Outcome : Outcomes)
    if (Outcome.Number == N && Outcome.Stage == Stage) return &Outcome;
  return nullptr;
}

// Reads a RETR's reply into the keeper. One at a time the copy is kept at
// once; sent ahead, only once the LIST behind it has proven it the message's.
void TSweep::ReadCopy(const TOwed& Retr) {
  const int32_t N = Retr.Number;
  TOutcome* Outcome = Find(N, TStage::RetrSent);
  // Sent ahead, a RETR may have gone out before an earlier copy failed.
  const bool Working = Outcome && Keeper->Working();
  bool Taking = Working && Keeper->Begin(N, Outcome->Judgement.Why);
  const bool Began = Taking;
  const bool Positive =
      Session.ReadReplyTo([this, &Taking](std::string_view Line) { return Taking = Taking && Keeper->Take(Line); }) == 1;
  CopyRead = 0;
  if (!Session.Socket.HasSocket() || !Outcome) return;  // a lost connection is shown NOT DELETED
  if (Working && (!Positive || Session.ReplyCut)) ++NotCopied;
  if (!Working)
    Refuse(*Outcome, Numbered("message ", N) + ": no copy can be kept since an earlier one failed; it is not deleted");
  else if (!Positive)
    Refuse(*Outcome, Numbered("RETR ", N) + " failed: " + ReplyFailure(Session));
  else if (!Began || !Taking)
    Refuse(*Outcome, Numbered("message ", N) + ": its copy could not be kept (" + Keeper->Failure() +
                         "); it is not deleted");
  else if (Session.ReplyCut)
    Refuse(*Outcome, Numbered("message ", N) + ": a line of it is longer than " +
                         std::to_string(Session.MaxLineBytes) + " bytes, so no whole copy can be kept; it is not deleted");
  else if (Policy.Ahead)
    CopyRead = N;
  else if (Keeper->Finish()) {
    Outcome->Stage = TStage::Copied;
    ++Copied;
  } else
    Refuse(*Outcome, Numbered("message ", N) + ": its copy could not be kept (" + Keeper->Failure() +
                         "); it is not deleted");
}

void TSweep::Commit() {
  const bool Durable = Keeper->Working() && Keeper->Commit();
  const std::string Why = Durable ? "" : Keeper->Failure();
  for (TOutcome& Outcome : Outcomes) {
    if (Outcome.Stage != TStage::Copied) continue;
    if (Durable) {
      Outcome.Stage = TStage::DeleDue;
      DelesDue.push_back(Outcome.Number);
    } else {
      Refuse(Outcome, Numbered("message ", Outcome.Number) + ": its copy could not be made durable (" + Why +
                          "); it is not deleted");
    }
  }
  Copied = 0;
}

void TSweep::TakeAnswers() {
  size_t Left = Judge.Waiting();
  for (auto It = Outcomes.begin(); Judging > 0 && Left > 0 && It != Outcomes.end(); ++It)
    if (It->Stage == TStage::Judging)
      if (std::optional<TJudgement> Answer = Judge.Answer(It->Number)) {
        Settle(*It, std::move(*Answer));
        --Left;
      }
}

bool TSweep::Show(TOutcome& Outcome) {
  for (const std::string& Note : Outcome.Notes) Say(Note);
  if (Outcome.Whole) ReadWhole.push_back(Outcome.Number);
  LastShown = Outcome.Number;
  return !Report || Report(Outcome.Number, Outcome.Judgement, Outcome.Verdict);
}

bool TSweep::Flush() {
  while (!Outcomes.empty() && Outcomes.front().Stage == TStage::Known) {
    if (!Show(Outcomes.front())) return false;
    Outcomes.pop_front();
  }
  return true;
}

// One at a time, a lost connection is met at the first message without an
// outcome: its DELE unanswered, or its header not read. Sent ahead, that
// message is reported as it would have been there; nothing after it is.
TSweepEnd TSweep::Lost(const std::string& FailedCommand) {
  // One at a time names the command that failed, as a refused one is named.
  if (!Policy.Ahead && !FailedCommand.empty()) {
    const std::string Why = FailedCommand + " failed: " + ReplyFailure(Session);
    if (Outcomes.empty())
      HeaderNote = Why;
    else
      Outcomes.front().Notes.push_back(Why);
  }
  Session.DropConnection();
  Owed.clear();
  while (NextToJudge >= 1 && Skipped(NextToJudge)) --NextToJudge;
  if (Outcomes.empty() && NextToJudge >= 1) Begin(NextToJudge, false, {});
  bool Shown = true;
  if (!Outcomes.empty()) {
    TOutcome& First = Outcomes.front();
    if (First.Stage == TStage::Judging) {
      std::optional<TJudgement> Answer = Judge.Answer(First.Number);
      Settle(First, Answer ? std::move(*Answer) : TJudgement());
    }
    if (First.Stage != TStage::Known) First.Verdict = TVerdict::NotDeleted;
    Shown = Show(First);
  }
  Outcomes.clear();
  DelesDue.clear();
  RetrsDue.clear();
  Copied = 0;
  return Shown ? TSweepEnd::ConnectionLost : TSweepEnd::Stopped;
}

TSweepEnd TSweep::Stop() {
  Session.DropConnection();
  Outcomes.clear();
  return TSweepEnd::Stopped;
}

}  // namespace quorrel
