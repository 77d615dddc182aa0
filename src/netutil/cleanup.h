// TCleanup: runs an action when the scope that holds it ends, on every way out
// (return, break, exception), unless it was cancelled first. SetForScope builds
// the common case on it: a setting changed for one scope and put back after.
#pragma once

#include <utility>

namespace quorrel {

template <class TAction>
class [[nodiscard]] TCleanup {
 public:
  explicit TCleanup(TAction Action) : Action(std::move(Action)) {}
  ~TCleanup() {
    if (Armed) Action();
  }
  TCleanup(const TCleanup&) = delete;
  TCleanup& operator=(const TCleanup&) = delete;

  // The action will not run: the scope ended the way it was meant to.
  void Cancel() { Armed = false; }

 private:
  TAction Action;
  bool Armed = true;
};

// Gives Setting the value Value until the returned guard goes out of scope, then
// puts the value it had before back. Guards of one setting nest.
template <class T, class TValue>
[[nodiscard]] auto SetForScope(T& Setting, TValue&& Value) {
  T Saved = std::move(Setting);
  Setting = std::forward<TValue>(Value);
  return TCleanup([&Setting, Saved = std::move(Saved)]() mutable { Setting = std::move(Saved); });
}

}  // namespace quorrel
