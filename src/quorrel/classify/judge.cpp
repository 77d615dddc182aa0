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
    return;
  }
  std::string Message;
  for (const std::string& Line : Lines) Message += Line + "\n";
  if (Lines.size() == Header.size()) Message += "\n";
  ++AskedCount;
  Tasks.push_back({N, std::move(Message), std::move(*Ruled)});
  Queued.notify_one();
}

std::optional<TJudgement> TClassifyingJudge::Answer(int32_t N) {
  std::lock_guard<std::mutex> Guard(Lock);
  const auto Found = Ready.find(N);
  if (Found == Ready.end()) return std::nullopt;
  TJudgement Out = std::move(Found->second);
  Ready.erase(Found);
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
  for (;;) {
    TTask Task;
    {
      std::unique_lock<std::mutex> Guard(Lock);
      Queued.wait(Guard, [this] { return Ending || !Tasks.empty(); });
      if (Ending) return;
      Task = std::move(Tasks.front());
      Tasks.pop_front();
    }
    const TClassification Verdict = Classifier->Classify(Task.Message);
    TJudgement Judgement = Settled(Task, Verdict);
    {
      std::lock_guard<std::mutex> Guard(Lock);
      Ready[Task.Number] = std::move(Judgement);
    }
    Answered.notify_all();
  }
}

}  // namespace quorrel
