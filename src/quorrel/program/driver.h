// The command-line tool: one POP3 session that sweeps the mailbox from the last
// message to the first and deletes what the filter words select.
#pragma once

#include <string>
#include <vector>

namespace quorrel {

// The main sequence; Args are the parameters after the program name. Returns the
// exit status (0 whenever the sequence runs to its end).
int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args);

}  // namespace quorrel
