// The system's base exception class: every exception the system raises derives
// from it and carries its message text.
#pragma once

#include <stdexcept>
#include <string>

namespace quorrel {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& Message) : std::runtime_error(Message) {}
  const std::string Message() const { return what(); }
  // Name of the most derived class, for the report of an escaped exception.
  virtual const char* ClassName() const { return "Exception"; }
};

}  // namespace quorrel
