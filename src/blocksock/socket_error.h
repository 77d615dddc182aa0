// The exception of the socket layer.
#pragma once

#include <cstdint>
#include <string>

#include "netutil/exception.h"

namespace quorrel {

class ESocketError : public Exception {
 public:
  // Message formatted from "TCP/IP Socket error %d: %s".
  ESocketError(int32_t Number, const std::string& Text);
  // A message of its own (the socket interface's load failure).
  ESocketError(const std::string& Message, int32_t Number, const std::string& Text);
  const char* ClassName() const override { return "ESocketError"; }

  int32_t ErrorNumber;
  std::string ErrorText;
};

}  // namespace quorrel
