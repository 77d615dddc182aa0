// Header text as a reader sees it: folded lines joined into fields (RFC 5322),
// encoded words decoded to UTF-8 (RFC 2047), and a caseless form for matching.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorrel {

// Joins every continuation line (one that starts with a blank or a tab) to the
// field it continues, as RFC 5322 unfolds; the tab of a fold becomes a blank. The
// header ends at the first empty line; what follows it is not a field. A
// continuation line with no field before it stands as a field of its own.
std::vector<std::string> UnfoldHeader(std::span<const std::string> Lines);

// Replaces every well-formed encoded word ("=?charset?B?...?=" or "...?Q?...?=")
// by its text in UTF-8; the charset is anything iconv knows. Blanks between two
// adjacent encoded words are dropped, and adjacent words in one charset are
// decoded together, so a character split between them comes out whole. A word
// that is malformed (bad Base64 or Q text, unknown charset, bytes the charset
// does not have) stays exactly as it was. Other text is kept byte for byte.
// Decoded CR and LF become blanks: a field holds no line breaks. The result is
// never longer than 4 times the input plus a few bytes, and the time taken is
// linear in the input, whatever the input holds.
std::string DecodeEncodedWords(std::string_view Text);

// The caseless form of UTF-8 text for substring matching: full Unicode case
// folding (so "STRASSE" and "straße", "ΟΔΟΣ" and "οδος" meet) and canonical
// composition (a letter with a combining accent equals the precomposed one).
// Pure ASCII text is lower-cased A to Z only, exactly as the raw matching does.
// Bytes that are not valid UTF-8 pass through unchanged.
std::string FoldCase(std::string_view Utf8);

}  // namespace quorrel
