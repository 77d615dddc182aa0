// Every mailbox from the accounts file: each account chosen is swept by this
// program in a process of its own, a few side by side, and its output shown
// as one block under "== NAME", in the file's order.
#pragma once

#include <string>
#include <vector>

#include "quorrel/program/options.h"

namespace quorrel {

// --all, --account NAME or --list-accounts; Args are the program's parameters
// (what applies to every account is taken from them). Returns the exit status.
int RunAccountsFile(const std::string& ProgramName, const TSettings& Settings, const std::vector<std::string>& Args);

}  // namespace quorrel
