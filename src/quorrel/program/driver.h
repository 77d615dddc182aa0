// The command-line tool: one POP3 session that sweeps the mailbox from the last
// message to the first and deletes what the filter words select.
#pragma once

#include <string>
#include <vector>

#include "quorrel/session/mailbox.h"
#include "quorrel/status/status.h"

namespace quorrel {

// The program's first line, shown by every form of run unless --quiet.
inline const std::string Banner = "Quorrel version 1.0 https://quorrel.example.org\r\n";

// The password given as "-": from the password command, the terminal or
// standard input.
TStatus ReadSecret(TMailbox& Mailbox);

// The main sequence; Args are the parameters after the program name. Returns the
// exit status (0 whenever the sequence runs to its end).
int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args);

}  // namespace quorrel
