// Header lookup and filter matching on the header lines of one message (the
// lines of a TOP reply, without its status line and its "." line).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorrel {

// The value of the last line that begins with Name (ASCII case ignored), two
// bytes after the name on; empty when there is none.
std::string HeaderValue(const std::vector<std::string>& Lines, const std::string& Name);
// The header as a reader sees it: the named field unfolded, encoded words
// decoded to UTF-8 (looked up as HeaderValue does).
std::string DecodedHeaderValue(const std::vector<std::string>& Lines, const std::string& Name);

// A test of one run of header text, e.g. whether a word occurs in it.
using TTextTest = std::function<bool(std::string_view Text)>;
// True when Test holds for some run of a raw header line. Lines are searched
// whole, but for the signature and body-hash values of signature fields. At,
// when given, gets the index of the first line of the field where it held
// (in the functions below too).
bool AnyHeaderText(const std::vector<std::string>& Lines, const TTextTest& Test, size_t* At = nullptr);
// The same over the header as a reader sees it: Test gets each field that
// reads otherwise than it is written (folded, encoded words, 8-bit bytes),
// unfolded and decoded to UTF-8.
bool AnyDecodedHeaderText(const std::vector<std::string>& Lines, const TTextTest& Test, size_t* At = nullptr);
// True when Test holds for the value of some field named in Names (ASCII lower
// case): the field unfolded, its name, colon and outer blanks left out,
// signature values spared. DecodedTest, when given, also gets each value that
// reads otherwise than it is written, decoded to UTF-8.
bool AnyFieldValue(const std::vector<std::string>& Lines, const std::vector<std::string>& Names,
                   const TTextTest& Test, const TTextTest& DecodedTest = nullptr, size_t* At = nullptr);
// The name of the field that begins at Line, as it is written ("" when the
// line is no field).
std::string WrittenFieldName(const std::string& Line);

}  // namespace quorrel
