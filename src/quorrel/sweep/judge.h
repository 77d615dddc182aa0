// What decides a message's fate from its header. The sweep hands each header to
// the judge as it arrives and asks for the judgement until there is one, so a
// judge may answer at once or later (one that asks another process, say);
// judgements are still shown in the sweep's order. A judge writes nothing:
// what it has to say about a message comes back as its note.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorrel {

struct TJudgement {
  bool Delete = false;
  std::string Subject;  // as it is to be shown
  bool Kept = false;    // not to be deleted whatever else matched: shown as KEPT
  std::string Note;     // one line for standard error, written before the message is shown; empty: none
  std::string Why;      // why it is deleted or kept, in the user's words; empty: no reason to give
  bool Unjudged = false;  // kept because no verdict could be made: to be judged again by a later run
};

class TJudge {
 public:
  virtual ~TJudge() = default;
  // Message N's header lines (empty when the server refused TOP or the header
  // could not be read); Whole when TOP was answered and no line was cut.
  // Called once per message, from the highest number down.
  virtual void Consider(int32_t N, std::vector<std::string> Header, bool Whole) = 0;
  // N's judgement, once there is one; each is taken once.
  virtual std::optional<TJudgement> Answer(int32_t N) = 0;
  // Returns when the first message considered and not yet answered has its
  // judgement, or none will come.
  virtual void WaitForFirst() = 0;
  // How many judgements wait to be taken: the sweep looks for them only while
  // there are some, so that many messages waiting cost nothing.
  virtual size_t Waiting() = 0;
};

// A judge that decides as soon as it is shown the header.
class TImmediateJudge : public TJudge {
 public:
  void Consider(int32_t N, std::vector<std::string> Header, bool Whole) final {
    Ready.emplace_back(N, Decide(N, Header, Whole));
  }
  std::optional<TJudgement> Answer(int32_t N) final {
    for (auto It = Ready.begin(); It != Ready.end(); ++It) {
      if (It->first != N) continue;
      TJudgement Out = std::move(It->second);
      Ready.erase(It);
      return Out;
    }
    return std::nullopt;
  }
  void WaitForFirst() final {}
  size_t Waiting() final { return Ready.size(); }

 protected:
  virtual TJudgement Decide(int32_t N, const std::vector<std::string>& Header, bool Whole) = 0;

 private:
  std::deque<std::pair<int32_t, TJudgement>> Ready;  // in the order considered
};

}  // namespace quorrel
