// Why a session failed, in words a user can act on: which address was tried
// and what the socket said, what the proxy answered, what the server said.
// Everything here only formats what the session recorded when it failed.
#pragma once

#include <cstdint>
#include <string>

#include "pop3/pop3.h"
#include "quorrel/session/mailbox.h"

namespace quorrel {

// "<description> (<code>)" for a socket error code.
std::string DescribeSocketError(int32_t Code);

// Why the last command failed: the server's own words, or the socket error.
std::string ReplyFailure(const TPOP3Send& Session);

// Why Login failed, for a failure other than TLS or the proxy: the address tried
// and the socket error, or what the server said, as the session recorded it.
std::string LoginFailure(const TPOP3Send& Session);

// Why the connection through the proxy could not be made, as the session and
// its socket recorded it.
std::string ProxyFailure(const TPOP3Send& Session, const TProxy& Proxy);

}  // namespace quorrel
