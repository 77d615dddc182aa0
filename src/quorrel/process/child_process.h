// Commands run as child processes: /bin/sh -c COMMAND in a process group of
// its own, standard input from /dev/null, standard output read by this program
// within a time and a size bound, standard error shared. When time runs out
// the command is killed together with every process it started in its group,
// so that nothing it started outlives the run.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "quorrel/status/status.h"

namespace quorrel {

// What a command that ended by itself left: its standard output (as far as
// read when its shell ended) and its exit status.
struct TCommandOutput {
  std::string Output;
  int ExitStatus = 0;
};

// Runs Command with /bin/sh -c. A TryLater failure when it cannot be started,
// gives no answer within TimeoutMs, prints more than MostOutput bytes, is
// killed by a signal or stopped; an exit status other than 0 is no failure
// here, the caller decides what it means. Output's buffer is reserved once,
// so that a caller holding a secret in it can wipe the one copy.
TResult<TCommandOutput> RunShellCommand(const std::string& Command, int TimeoutMs, size_t MostOutput);

// As RunShellCommand, with Input on the command's standard input, then the end
// of it; a command that ends without reading all of it is no failure.
TResult<TCommandOutput> RunShellFilter(const std::string& Command, std::string_view Input, int TimeoutMs,
                                       size_t MostOutput);

// A command that runs beside the program for many questions: each is a line on
// its standard input, each answer a line on its standard output. Stopping it,
// or a question that fails, kills it with every process of its group.
class TCoprocess {
 public:
  TCoprocess();
  ~TCoprocess();
  TCoprocess(const TCoprocess&) = delete;
  TCoprocess& operator=(const TCoprocess&) = delete;

  TStatus Start(const std::string& Command);
  bool Running() const;
  // Writes Line and a line end, and returns the next line the command prints
  // (without its end); a TryLater failure when it ends or stays silent for
  // TimeoutMs, and then it is stopped.
  TResult<std::string> Ask(const std::string& Line, int TimeoutMs);
  // The next line it prints, for a question answered with several.
  TResult<std::string> Next(int TimeoutMs);
  void Stop();

 private:
  struct TState;
  std::unique_ptr<TState> State;
};

// "30 s" or "250 ms", as a time-out is named in messages.
std::string Duration(int Ms);

}  // namespace quorrel
