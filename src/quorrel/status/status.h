// What failed in the program, said one way: a result that carries the kind of
// failure and a message for the user, or nothing for success. The kind is what
// the program's exit status is chosen by (program/exit_status.h); the message
// is written as it stands.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace quorrel {

// Kinds of failure, by what the user or a scheduler can do about them.
enum class TFailureKind {
  None,          // success
  Usage,         // the command line or the rules cannot be used
  NoInput,       // an input the run needs could not be read (the password)
  NoHost,        // the server's name does not resolve
  Unavailable,   // the server, the proxy or TLS refused service
  TryLater,      // a time-out, a lost connection, a lock held by another run, an unconfirmed QUIT
  Protocol,      // a reply that makes no sense, or replies out of step
  Refused,       // the login was refused
  OutputLost,    // standard output could not be written
  LocalIo,       // a local file could not be read or written
  CantCreate,    // a folder the run is to write in cannot be made or used
  Software,      // an internal failure
};

class [[nodiscard]] TStatus {
 public:
  TStatus() = default;
  static TStatus Ok() { return TStatus(); }
  static TStatus Fail(TFailureKind Kind, std::string Message) { return TStatus(Kind, std::move(Message)); }

  bool Good() const { return Kind_ == TFailureKind::None; }
  explicit operator bool() const { return Good(); }
  TFailureKind Kind() const { return Kind_; }
  const std::string& Message() const { return Message_; }
  // The same failure with Context put in front of its message ("--regex: ...").
  TStatus Within(const std::string& Context) const {
    return Good() ? *this : TStatus(Kind_, Context + Message_);
  }

 private:
  TStatus(TFailureKind Kind, std::string Message) : Kind_(Kind), Message_(std::move(Message)) {}
  TFailureKind Kind_ = TFailureKind::None;
  std::string Message_;
};

// A value or the failure that stands in its place.
template <class T>
class [[nodiscard]] TResult {
 public:
  TResult(T Value) : Value_(std::move(Value)) {}
  TResult(TStatus Failure) : Status_(std::move(Failure)) {}
  bool Good() const { return Value_.has_value(); }
  explicit operator bool() const { return Good(); }
  const TStatus& Status() const { return Status_; }
  T& operator*() { return *Value_; }
  const T& operator*() const { return *Value_; }
  T* operator->() { return &*Value_; }
  const T* operator->() const { return &*Value_; }

 private:
  std::optional<T> Value_;
  TStatus Status_;
};

}  // namespace quorrel
