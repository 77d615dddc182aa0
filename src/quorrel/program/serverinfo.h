// --serverinfo: what a server offers, before blaming the tool. Connects as the
// options say, reports the greeting, the capabilities, the login methods and,
// for TLS, what the certificate says and whether it was verified; with
// credentials it also logs in, reports the capabilities after login and the
// message count. Then QUIT: nothing is read or deleted.
#pragma once

#include <string>

#include "quorrel/program/options.h"

namespace quorrel {

// Returns the exit status (as a sweep's: 0 unless the output failed, or the
// sysexits status of what failed).
int RunServerInfo(const std::string& ProgramName, TSettings Settings);

}  // namespace quorrel
