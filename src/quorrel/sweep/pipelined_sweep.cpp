#include "quorrel/sweep/pipelined_sweep.h"

#include <string_view>
#include <utility>

#include "quorrel/session/diagnosis.h"

namespace quorrel {

namespace {

// Reply bytes held for a status line of LIST or DELE.
constexpr int64_t StatusReplyBytes = 64;

int64_t LineBytes(const std::string& Command) { return int64_t(Command.size()) + 2; }

}  // namespace

TSweepEnd TPipelinedSweep::Run(int32_t MessageCount) {
  const TSweepEnd End = Walk(MessageCount);
  if (!SizeChanged.empty())
    Say("note: the server answers LIST n after TOP n 0 with another size than its opening listing (" + SizeChanged +
        "); the message number alone keeps the replies in step");
  if (End == TSweepEnd::ConnectionLost && !OutOfStep.empty())
    Say("the server's replies are out of step: " + OutOfStep + "; the session ends without QUIT, nothing is deleted");
  else if (End == TSweepEnd::ConnectionLost)
    Say("connection lost during the sweep: " + ReplyFailure(Session));
  return End;
}

TSweepEnd TPipelinedSweep::Walk(int32_t MessageCount) {
  Marked = 0;
  FirstWindow = 0;
  OutOfStep.clear();
  SizeChanged.clear();
  Owed.clear();
  DelesDue.clear();
  Outcomes.clear();
  Header.clear();
  GuardDue = false;
  CommandsInFlight = RepliesInFlight = 0;
  NextToAsk = NextToJudge = MessageCount;
  ReadWhole.clear();
  if (MessageCount <= 0) return TSweepEnd::Completed;
  // Sizes listed by the caller in this session save the opening LIST.
  if (KnownSizes.size() == size_t(MessageCount) + 1) {
    Sizes = KnownSizes;
  } else if (!ReadSizes(MessageCount)) {
    if (!Session.Socket.HasSocket()) return Lost();
    return TSweepEnd::NotStarted;
  }
  // Everything sent ahead must fit in the send buffer, whatever the server
  // does meanwhile: then a send never waits for the server to read.
  Session.Socket.SetSendBufferSize(int32_t(CommandBudget * 2));

  for (;;) {
    const bool Free = CommandBudget - CommandsInFlight >= CommandBudget / 4 &&
                      ReplyBudget - RepliesInFlight >= ReplyBudget / 4;
    if ((Owed.empty() || Free) && (!DelesDue.empty() || NextToAsk >= 1) && !Refill()) return Lost();
    if (Owed.empty()) return TSweepEnd::Completed;
    TSweepEnd End;
    if (!ReadNext(End)) return End;
  }
}

bool TPipelinedSweep::ReadSizes(int32_t MessageCount) {
  return Session.ListSizes(Sizes) && Sizes.size() == size_t(MessageCount) + 1;
}

bool TPipelinedSweep::Room(int64_t Commands, int64_t Replies) const {
  // One command always goes, however large its reply may be.
  if (Owed.empty()) return true;
  return CommandsInFlight + Commands <= CommandBudget && RepliesInFlight + Replies <= ReplyBudget;
}

bool TPipelinedSweep::Refill() {
  std::vector<std::string> Lines;
  const auto Add = [&](TKind Kind, int32_t Number, std::string Command, int64_t Replies) {
    const int64_t Bytes = LineBytes(Command);
    Lines.push_back(std::move(Command));
    Owed.push_back({Kind, Number, Bytes, Replies});
    CommandsInFlight += Bytes;
    RepliesInFlight += Replies;
  };
  const bool First = FirstWindow == 0;
  for (;;) {
    if (!DelesDue.empty()) {
      const int32_t N = DelesDue.front();
      std::string Command = "DELE " + std::to_string(N);
      if (!Room(LineBytes(Command), StatusReplyBytes)) break;
      Add(TKind::Dele, N, std::move(Command), StatusReplyBytes);
      DelesDue.pop_front();
      GuardDue = true;
      continue;
    }
    while (NextToAsk >= 1 && Skipped(NextToAsk)) --NextToAsk;
    if (NextToAsk < 1) break;
    const int32_t N = NextToAsk;
    std::string Top = "TOP " + std::to_string(N) + " 0";
    std::string List = "LIST " + std::to_string(N);
    const int64_t Commands = LineBytes(Top) + LineBytes(List) * (GuardDue ? 2 : 1);
    const int64_t Replies = TopReplyEstimate(Sizes[size_t(N)]) + StatusReplyBytes * (GuardDue ? 2 : 1);
    if (!Room(Commands, Replies)) break;
    if (GuardDue) Add(TKind::Guard, N, List, StatusReplyBytes);
    GuardDue = false;
    Add(TKind::Top, N, std::move(Top), TopReplyEstimate(Sizes[size_t(N)]));
    Add(TKind::List, N, std::move(List), StatusReplyBytes);
    --NextToAsk;
    if (First) ++FirstWindow;
  }
  if (QuitWithLastCommand && NextToAsk < 1 && DelesDue.empty() && !Session.QuitSentAhead())
    return Session.SendAheadThenQuit(Lines);
  return Session.SendAhead(Lines);
}

bool TPipelinedSweep::Names(const TOwed& Asked) {
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

bool TPipelinedSweep::ReadNext(TSweepEnd& End) {
  const TOwed Next = Owed.front();
  Owed.pop_front();
  CommandsInFlight -= Next.CommandBytes;
  RepliesInFlight -= Next.ReplyBytes;
  const bool Positive = Session.ReadReply(Next.Kind == TKind::Top) == 1;
  if (!Session.Socket.HasSocket() || ((Next.Kind == TKind::List || Next.Kind == TKind::Guard) && !Names(Next))) {
    End = Lost();
    return false;
  }

  switch (Next.Kind) {
    case TKind::Top:
      // A refused TOP leaves the header empty, as the one-at-a-time sweep has it,
      // and is named in the same words.
      Header.clear();
      if (Positive) Header.swap(Session.ReplyLines);
      if (!Positive) Say("TOP " + std::to_string(Next.Number) + " failed: " + ReplyFailure(Session));
      HeaderWhole = Positive && !Session.ReplyCut;
      return true;
    case TKind::Guard:
      return true;
    case TKind::List: {
      TSweepJudgement Judgement = JudgeHeader(Next.Number, Header, HeaderWhole);
      if (HeaderWhole) ReadWhole.push_back(Next.Number);
      Header.clear();
      NextToJudge = Next.Number - 1;
      if (Judgement.Delete && MarkDeletions) {
        Outcomes.push_back({Next.Number, std::move(Judgement.Subject), TVerdict::NotDeleted, false});
        DelesDue.push_back(Next.Number);
      } else {
        const TVerdict Shown = Judgement.Delete ? TVerdict::WouldDelete : Spared(Judgement);
        Outcomes.push_back({Next.Number, std::move(Judgement.Subject), Shown, true});
      }
      return Flush(End);
    }
    case TKind::Dele:
      // DELEs go out in the order their messages were judged, so the answer
      // belongs to the first outcome still waiting.
      for (TOutcome& Waiting : Outcomes) {
        if (Waiting.Known || Waiting.Number != Next.Number) continue;
        Waiting.Known = true;
        Waiting.Verdict = Positive ? TVerdict::Deleted : TVerdict::NotDeleted;
        if (Positive) ++Marked;
        // A refused DELE leaves the message on the server: say so, as one at a time.
        if (!Positive) Say("DELE " + std::to_string(Next.Number) + " failed: " + ReplyFailure(Session));
        break;
      }
      return Flush(End);
  }
  return true;
}

bool TPipelinedSweep::Flush(TSweepEnd& End) {
  while (!Outcomes.empty() && Outcomes.front().Known) {
    const TOutcome& Front = Outcomes.front();
    if (!Show(Front.Number, Front.Subject, Front.Verdict)) {
      End = Stop();
      return false;
    }
    Outcomes.pop_front();
  }
  return true;
}

// The one-at-a-time sweep would have met the failure at the first message
// without an outcome: its DELE unanswered, or its header not read. That message
// is reported as it would have been there; nothing after it is.
TSweepEnd TPipelinedSweep::Lost() {
  Session.DropConnection();
  while (NextToJudge >= 1 && Skipped(NextToJudge)) --NextToJudge;
  bool Shown = true;
  if (!Outcomes.empty()) {
    Shown = Show(Outcomes.front().Number, Outcomes.front().Subject, TVerdict::NotDeleted);
  } else if (NextToJudge >= 1) {
    Shown = Show(NextToJudge, JudgeHeader(NextToJudge, {}, false).Subject, TVerdict::Skipped);
  }
  Outcomes.clear();
  return Shown ? TSweepEnd::ConnectionLost : TSweepEnd::Stopped;
}

TSweepEnd TPipelinedSweep::Stop() {
  Session.DropConnection();
  Outcomes.clear();
  return TSweepEnd::Stopped;
}

}  // namespace quorrel
