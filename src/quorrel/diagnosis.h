// Why a session failed, in words a user can act on: which address was tried
// and what the socket said, what the proxy answered, what the server said.
#pragma once

#include <cstdint>
#include <string>

#include "pop3/pop3.h"
#include "quorrel/options.h"

namespace quorrel {

// Watches a session's socket while it connects: the first connection it opens
// (to the server, or to the proxy when one is set) and the first line a proxy
// answers to CONNECT.
class TConnectTrace {
 public:
  explicit TConnectTrace(TPOP3Send& Session);
  ~TConnectTrace() { Finish(); }
  TConnectTrace(const TConnectTrace&) = delete;
  TConnectTrace& operator=(const TConnectTrace&) = delete;
  // Stops watching; the socket keeps no hook into this object.
  void Finish();

  bool Tried = false;  // a connection was attempted
  int32_t Code = 0;    // its socket error, 0 when it was made
  std::string ProxyStatusLine;

 private:
  TPOP3Send* Watched;
};

// Points the session's socket at the proxy.
void ConfigureProxy(TPOP3Send& Session, const TProxy& Proxy);

// "<description> (<code>)" for a socket error code.
std::string DescribeSocketError(int32_t Code);

// Why the last command failed: the server's own words, or the socket error.
std::string ReplyFailure(const TPOP3Send& Session);

// Why Login failed, for a failure other than TLS or the proxy: the address tried
// and the socket error, or what the server said.
std::string LoginFailure(const TPOP3Send& Session, const TConnectTrace& Trace);

// Why the connection through the proxy could not be made.
std::string ProxyFailure(const TPOP3Send& Session, const TProxy& Proxy, const TConnectTrace& Trace);

}  // namespace quorrel
