// The command-line tool: one POP3 session that sweeps the mailbox from the last
// message to the first and deletes what the filter words select.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorrel {

std::string HeaderValue(const std::vector<std::string>& Lines, const std::string& Name);
bool MatchesAnyFilter(const std::vector<std::string>& Lines, const std::vector<std::string>& Filters);
// The header as a reader sees it: the named field unfolded, encoded words
// decoded to UTF-8 (looked up as HeaderValue does).
std::string DecodedHeaderValue(const std::vector<std::string>& Lines, const std::string& Name);
// True when a filter word occurs in a header field unfolded and decoded, with
// the case of every letter ignored. Signature values are spared here too.
bool MatchesDecodedFields(const std::vector<std::string>& Lines, const std::vector<std::string>& Filters);
void WriteColoured(const std::string& Text, uint8_t Colour);

class TOutput;

// What became of one message, and how it is shown.
enum class TVerdict { Skipped, Deleted, NotDeleted, WouldDelete };
// "n:" and the subject (decoded when Decode is set); " NO FILTER" and a line
// end when no filter was given.
void ShowMessage(TOutput& Out, int32_t Number, const std::vector<std::string>& Header, bool NoFilter,
                 bool Decode = false);
// The same for a subject already taken from the header.
void ShowSubject(TOutput& Out, int32_t Number, const std::string& Subject, bool NoFilter);
// The coloured verdict that ends the message's line.
void ShowVerdict(TOutput& Out, TVerdict Verdict);

// The main sequence; Args are the parameters after the program name. Returns the
// exit status (0 whenever the sequence runs to its end).
int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args);

// Module starts, RunDriver, module ends; an exception that escapes is reported on
// standard error ("Exception %s in module %s at %p. ...") with exit status 1.
int RunProgram(int argc, char** argv);

}  // namespace quorrel
