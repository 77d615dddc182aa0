// Programs run side by side, each in a process of its own, a few at a time:
// what each writes on standard output and standard error is gathered apart,
// so that one's stall or crash touches no other and its output can be shown
// as one block.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorrel {

struct TJob {
  std::vector<std::string> Argv;  // Argv[0] is the program's path
  std::vector<std::string> Env;   // "NAME=value" added to this process's environment
  std::string Input;              // its standard input, then end of file
  // Filled as it runs:
  std::string Output, Errors;
  bool Started = false, Done = false;
  int Status = -1;  // the exit status, 128 + n after signal n, 127 when it could not start
};

// Runs every job, at most Most at once, starting them in order. Changed is
// called whenever a job wrote or ended, and once more at the end.
void RunSideBySide(std::vector<TJob>& Jobs, int Most, const std::function<void()>& Changed);

}  // namespace quorrel
