// Why a session failed, in words a user can act on: which address was tried
// and what the socket said, what the proxy answered, what the server said.
// Everything here only formats what the session recorded when it failed.
#pragma once

#include <cstdint>
#include <string>

#include "pop3/pop3.h"
#include "quorrel/session/mailbox.h"
#include "quorrel/status/status.h"

namespace quorrel {

// The response code of a refusal ("-ERR [IN-USE] ...") among those the
// program acts on (IN-USE, LOGIN-DELAY, SYS/TEMP, SYS/PERM, AUTH), in capitals;
// "" for none. A code below one of them (SYS/TEMP/DISK) counts as that one.
// Where a reply carries one, the words below say what it means, and the kinds
// of failure follow it: 75 with --sysexits for the first three, 69 for
// SYS/PERM, 77 for AUTH.
std::string ResponseCode(const std::string& Line);

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

// The kind of a failed login, from what the session recorded: NoHost for a
// name that does not resolve, Unavailable for a refused connection, a TLS
// failure or a greeting that refuses service, TryLater for a time-out or a
// connection lost, Protocol for a reply that makes no sense, Refused for a
// refused login.
TFailureKind LoginFailureKind(const TPOP3Send& Session);

// The kind of a command that failed after login, from the socket's error:
// TryLater for a time-out or a lost connection, Protocol for a reply that
// could not be read as one.
TFailureKind ReplyFailureKind(const TPOP3Send& Session);

}  // namespace quorrel
