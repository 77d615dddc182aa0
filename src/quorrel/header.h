// Header lookup and filter matching on the header lines of one message (the
// lines of a TOP reply, without its status line and its "." line).
#pragma once

#include <string>
#include <vector>

namespace quorrel {

// The value of the last line that begins with Name (ASCII case ignored), two
// bytes after the name on; empty when there is none.
std::string HeaderValue(const std::vector<std::string>& Lines, const std::string& Name);
// True when some line contains some filter word, ASCII case ignored. The
// signature and body-hash values of signature fields are not searched.
bool MatchesAnyFilter(const std::vector<std::string>& Lines, const std::vector<std::string>& Filters);
// The header as a reader sees it: the named field unfolded, encoded words
// decoded to UTF-8 (looked up as HeaderValue does).
std::string DecodedHeaderValue(const std::vector<std::string>& Lines, const std::string& Name);
// True when a filter word occurs in a header field unfolded and decoded, with
// the case of every letter ignored. Signature values are spared here too.
bool MatchesDecodedFields(const std::vector<std::string>& Lines, const std::vector<std::string>& Filters);

}  // namespace quorrel
