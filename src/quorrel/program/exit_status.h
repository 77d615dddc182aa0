// Exit statuses from sysexits.h (--sysexits), so that a scheduler can tell a
// failure it should retry from one that needs the user.
#pragma once

#include <sysexits.h>

#include "pop3/pop3.h"

namespace quorrel {

// For a login that failed, from what the session recorded: EX_NOHOST for a
// name that does not resolve, EX_UNAVAILABLE for a refused connection, a TLS
// or proxy failure or a greeting that refuses service, EX_TEMPFAIL for a
// time-out or a connection lost, EX_PROTOCOL for a reply that makes no sense,
// EX_NOPERM for a refused login.
int LoginExitStatus(const TPOP3Send& Session);

// For a command that failed after login, from the socket's error:
// EX_TEMPFAIL for a time-out or a lost connection, EX_PROTOCOL for a reply
// that could not be read as one.
int ReplyExitStatus(const TPOP3Send& Session);

}  // namespace quorrel
