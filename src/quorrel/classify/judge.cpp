#include "quorrel/classify/judge.h"

#include <algorithm>

namespace quorrel {

std::vector<std::string> HeaderOf(const std::vector<std::string>& Lines) {
  const auto End = std::find(Lines.begin(), Lines.end(), std::string());
  return {Lines.begin(), End};
}

TClassifyingJudge::TClassifyingJudge(TJudge& Rules, TMake Make, int Jobs, std::string Name)
    : Rules(Rules), Name(std::move(Name)) {
  for (int I = 0; I < std::max(Jobs, 1); ++I) Classifiers.push_back(Make());
  for (auto& Classifier : Classifiers) Workers.emplace_back([this, C = Classifier.get()] { Work(C); });
}

TClassifyingJudge::~TClassifyingJudge() {
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Ending = true;
    Tasks.clear();
  }
  Queued.notify_all();
  for (std::thread& Worker : Workers) Worker.join();
}

void TClassifyingJudge::Consider(int32_t N, std::vector<std::string> Lines, bool Whole) {
  std::vector<std::string> Header = HeaderOf(Lines);
  Rules.Consider(N, Header, Whole);
  std::optional<TJudgement> Ruled = Rules.Answer(N);
  std::lock_guard<std::mutex> Guard(Lock);
  Open.push_back(N);
  // A keep word wins without asking; a header not read whole is not judged.
  if (!Ruled || Ruled->Delete || Ruled->Kept || !Whole) {
    Ready[N] = Ruled ? std::move(*Ruled) : TJudgement();
    ReadyCount = Ready.size();
    return;
  }
  std::string Message;
  for (const std::string& Line : Lines) Message += Line + "\n";
  if (Lines.size() == Header.size()) Message += "\n";
  Tasks.push_back({N, std::move(Message), std::move(*Ruled)});
  Queued.notify_one();
}

std::optional<TJudgement> TClassifyingJudge::Answer(int32_t N) {
  std::lock_guard<std::mutex> Guard(Lock);
  const auto Found = Ready.find(N);
  if (Found == Ready.end()) return std::nullopt;
  TJudgement Out = std::move(Found->second);
  Ready.erase(Found);
  ReadyCount = Ready.size();
  Open.erase(std::find(Open.begin(), Open.end(), N));
  return Out;
}

void TClassifyingJudge::WaitForFirst() {
  std::unique_lock<std::mutex> Guard(Lock);
  Answered.wait(Guard, [this] { return Open.empty() || Ready.count(Open.front()) > 0; });
}

TJudgement TClassifyingJudge::Settled(TTask& Task, const TClassification& Verdict) {
  TJudgement J = std::move(Task.Ruled);
  switch (Verdict.Kind) {
    case TClassification::Spam:
      J.Delete = true;
      J.Why = Verdict.Why;
      break;
    case TClassification::Ham: J.Why = Verdict.Why; break;
    case TClassification::Failed:
      ++FailureCount;
      J.Unjudged = true;
      J.Note = "message " + std::to_string(Task.Number) + ": " + Verdict.Why + "; it is not deleted";
      J.Why = Name + " gave no verdict";
      break;
  }
  return J;
}

void TClassifyingJudge::Work(TClassifier* Classifier) {
  Classifier->Prepare();
  for (;;) {
    // A worker takes its share of what waits, so that a burst of headers is
    // classified in few round trips, and every worker has some.
    std::vector<TTask> Taken;
    {
      std::unique_lock<std::mutex> Guard(Lock);
      Queued.wait(Guard, [this] { return Ending || !Tasks.empty(); });
      if (Ending) return;
      const size_t Share = std::clamp<size_t>(Tasks.size() / Workers.size(), 1, MostAtOnce);
      for (size_t I = 0; I < Share; ++I) {
        Taken.push_back(std::move(Tasks.front()));
        Tasks.pop_front();
      }
    }
    std::vector<const std::string*> Messages;
    for (const TTask& Task : Taken) Messages.push_back(&Task.Message);
    bool Gone;
    {
      std::lock_guard<std::mutex> Guard(Lock);
      Gone = FailedInARow >= GiveUpAfter;
    }
    const std::vector<TClassification> Verdicts =
        Gone ? std::vector<TClassification>(Taken.size(), {TClassification::Failed,
                                                           Name + " is not asked again: it failed for " +
                                                               std::to_string(GiveUpAfter) + " messages in a row"})
             : Classifier->ClassifyAll(Messages);
    {
      std::lock_guard<std::mutex> Guard(Lock);
      for (size_t I = 0; I < Taken.size(); ++I) {
        if (!Gone) FailedInARow = Verdicts[I].Kind == TClassification::Failed ? FailedInARow + 1 : 0;
        Ready[Taken[I].Number] = Settled(Taken[I], Verdicts[I]);
      }
      ReadyCount = Ready.size();
    }
    Answered.notify_all();
  }
}

}  // namespace quorrel
