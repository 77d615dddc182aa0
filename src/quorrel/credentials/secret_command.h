// The password (or access token) printed by a command, for unattended runs that
// must not put it on the command line: a password manager, a token refresher.
#pragma once

#include <string>

#include "quorrel/status/status.h"

namespace quorrel {

// Runs Command with /bin/sh -c, standard input from /dev/null and standard error
// shared with this program; the secret is the first line of its standard
// output without the line end. The command must end with status 0 within
// TimeoutMs and print at most 64 KiB; when time runs out, it is killed together
// with every process it started in its process group.
// The secret in Secret, or a TryLater failure that says why there is none.
TStatus RunSecretCommand(const std::string& Command, std::string& Secret, int TimeoutMs = 30000);

}  // namespace quorrel
