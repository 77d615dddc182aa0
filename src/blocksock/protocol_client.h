// What every protocol client needs to reach a server.
#pragma once

#include <cstdint>
#include <string>

namespace quorrel {

class TProtocolClient {
 public:
  TProtocolClient() = default;
  virtual ~TProtocolClient() = default;

  std::string Host = "127.0.0.1";
  std::string Port = "0";
  std::string BindAddress = "0.0.0.0";
  int32_t TimeoutMs = 5000;
};

}  // namespace quorrel
