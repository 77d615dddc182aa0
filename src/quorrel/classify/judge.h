// The rules first, then a classifier: a message that no keep word holds and no
// rule deletes is shown to the classifier, and its verdict decides. Several
// messages are classified at once, each on a thread with a classifier of its
// own, while the sweep reads on; judgements come back as they are made.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "quorrel/classify/classifier.h"
#include "quorrel/sweep/judge.h"

namespace quorrel {

class TClassifyingJudge : public TJudge {
 public:
  using TMake = std::function<std::unique_ptr<TClassifier>()>;
  // Rules must judge at once. Name is the classifier's, for the notes.
  TClassifyingJudge(TJudge& Rules, TMake Make, int Jobs, std::string Name);
  ~TClassifyingJudge() override;

  void Consider(int32_t N, std::vector<std::string> Lines, bool Whole) override;
  std::optional<TJudgement> Answer(int32_t N) override;
  void WaitForFirst() override;
  size_t Waiting() override { return ReadyCount; }

  // Messages kept because the classifier gave no verdict.
  int32_t Failures() const { return FailureCount; }

 private:
  struct TTask {
    int32_t Number;
    std::string Message;
    TJudgement Ruled;  // what the rules said
  };
  void Work(TClassifier* Classifier);
  TJudgement Settled(TTask& Task, const TClassification& Verdict);

  static constexpr size_t MostAtOnce = 16;
  // Failures in a row after which the classifier is taken for gone: a hung
  // one would otherwise hold every message for its whole time-out.
  static constexpr int32_t GiveUpAfter = 3;
  TJudge& Rules;
  std::string Name;
  std::mutex Lock;
  std::condition_variable Queued, Answered;
  std::deque<TTask> Tasks;
  std::map<int32_t, TJudgement> Ready;
  std::atomic<size_t> ReadyCount{0};  // Ready's size, read without the lock
  std::deque<int32_t> Open;  // considered, not yet taken, in order
  bool Ending = false;
  std::atomic<int32_t> FailureCount{0};
  int32_t FailedInARow = 0;
  std::vector<std::unique_ptr<TClassifier>> Classifiers;
  std::vector<std::thread> Workers;
};

// The header lines of a TOP reply, without the empty line and body lines that
// may follow them.
std::vector<std::string> HeaderOf(const std::vector<std::string>& Lines);

}  // namespace quorrel
