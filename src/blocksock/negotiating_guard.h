// Holds ProxyNegotiating true for the life of one proxy dialogue step, so that
// TLS stands aside, and clears it on every way out, exceptions included.
#pragma once

class TNegotiatingGuard {
 public:
  explicit TNegotiatingGuard(bool& Flag) : Flag(Flag) { Flag = true; }
  ~TNegotiatingGuard() { Flag = false; }
  TNegotiatingGuard(const TNegotiatingGuard&) = delete;
  TNegotiatingGuard& operator=(const TNegotiatingGuard&) = delete;

 private:
  bool& Flag;
};
