// Exit statuses from sysexits.h (--sysexits), so that a scheduler can tell a
// failure it should retry from one that needs the user: one table from the
// kinds of failure to the statuses.
#pragma once

#include <sysexits.h>

#include "quorrel/status/status.h"

namespace quorrel {

// The sysexits status of a failure of Kind; 0 for success.
int SysExitStatus(TFailureKind Kind);

}  // namespace quorrel
