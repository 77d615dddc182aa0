// Everything the tool writes to standard output goes through one TOutput, which
// notices the first write that fails (a closed pipe, a full disk) so that the
// sweep can stop before the server deletes anything nobody was told about.
#pragma once

#include <cstdint>
#include <string>

#include "quorrel/sweep/verdict.h"

namespace quorrel {

class TOutput {
 public:
  void Write(const std::string& Text);
  void WriteColoured(const std::string& Text, uint8_t Colour);
  // A terminal gets each piece at once (the user watches the sweep, and the
  // text must be out before a colour changes); files and pipes stay buffered.
  void FlushToTerminal();
  // Pushes out whatever is buffered; false when any output so far was lost.
  bool Flush();
  bool Failed() const { return Broken; }
  // The system's reason for the first failed write ("Broken pipe", ...).
  std::string FailureReason() const;

 private:
  void Check();
  bool Broken = false;
  int FailureErrno = 0;
};

// "n:" and the subject, masked for a terminal; with NoFilter also
// " NO FILTER" and a line end.
void ShowSubject(TOutput& Out, int32_t Number, const std::string& Subject, bool NoFilter);
// The coloured verdict that ends the message's line; Why, when not empty,
// follows it in parentheses.
void ShowVerdict(TOutput& Out, TVerdict Verdict, const std::string& Why = "");

// Writes Text to standard output in the foreground colour Colour (a console
// colour number) and leaves the console's colours as they were.
void WriteColoured(const std::string& Text, uint8_t Colour);

// A subject as it may be shown: on a terminal, control characters are masked
// (C0 and DEL in caret notation, C1 as "M-" and caret notation); files and
// pipes get the bytes unchanged.
std::string Displayable(const std::string& Text);
// The masking itself, whatever standard output is.
std::string MaskControls(const std::string& Text);

}  // namespace quorrel
