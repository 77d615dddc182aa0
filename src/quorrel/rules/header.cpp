// Header lookup and filter matching on the header lines of one message.
#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "codec/header_text.h"
#include "netutil/netutil.h"
#include "quorrel/rules/header.h"

namespace quorrel {

namespace {

// Header fields whose b= and bh= tags hold a signature or a body hash in
// Base64. That text is random: a short filter word turns up in it by chance in
// a few per cent of all signed mail, so it is never matched. Everything else
// in these fields (the field name, d=, s=, h= and the other tags) is.
constexpr std::array<std::string_view, 4> SignatureFields = {"dkim-signature", "arc-seal", "arc-message-signature",
                                                             "x-google-dkim-signature"};

bool IsFoldedContinuation(const std::string& Line) { return !Line.empty() && (Line[0] == ' ' || Line[0] == '\t'); }

bool IsAscii(std::string_view Text) {
  return std::all_of(Text.begin(), Text.end(), [](char C) { return static_cast<unsigned char>(C) < 0x80; });
}

bool IsSignatureField(std::string_view Name) {
  while (!Name.empty() && (Name.back() == ' ' || Name.back() == '\t')) Name.remove_suffix(1);
  const std::string Lower = AsciiLower(Name);
  for (std::string_view Field : SignatureFields)
    if (Lower == Field) return true;
  return false;
}

// Walks the tag list ("tag=value; tag=value") of a signature field across its
// folded lines and tells which bytes belong to a b= or bh= value.
class TSignatureScan {
 public:
  // Lines of the header in order; fills Parts with the runs of Line that are matched.
  void Take(const std::string& Line, std::vector<std::string_view>& Parts) {
    Parts.clear();
    size_t From = 0;
    if (!IsFoldedContinuation(Line)) {
      *this = TSignatureScan();
      const size_t Colon = Line.find(':');
      if (Colon == std::string::npos || !IsSignatureField(std::string_view(Line).substr(0, Colon))) {
        Parts.emplace_back(Line);
        return;
      }
      InSignature = true;
      From = Colon + 1;
    } else if (!InSignature) {
      Parts.emplace_back(Line);
      return;
    }
    const std::string_view Text(Line);
    size_t RunStart = 0;
    for (size_t I = From; I < Text.size(); ++I) {
      const char C = Text[I];
      bool Shown = true;
      if (!InValue) {
        if (C == '=') {
          const std::string Tag = Trim(TagName);
          Hidden = Tag == "b" || Tag == "bh";
          InValue = true;
          TagName.clear();
        } else if (C == ';') {
          TagName.clear();
        } else {
          TagName += C;
        }
      } else if (C == ';') {
        InValue = false;
        Hidden = false;
      } else {
        Shown = !Hidden;
      }
      if (!Shown) {
        if (I > RunStart) Parts.push_back(Text.substr(RunStart, I - RunStart));
        RunStart = I + 1;
      }
    }
    if (Text.size() > RunStart) Parts.push_back(Text.substr(RunStart));
  }

 private:
  bool InSignature = false;
  bool InValue = false;  // behind the "=" of the current tag
  bool Hidden = false;   // and that tag is b= or bh=
  std::string TagName;
};

// The name of the field that Line begins, ASCII lower case, blanks before the
// colon dropped; empty for a line without a colon.
std::string FieldName(const std::string& Line) {
  const size_t Colon = Line.find(':');
  return Colon == std::string::npos ? std::string() : Trim(AsciiLower(std::string_view(Line).substr(0, Colon)));
}

std::string_view TrimBlanks(std::string_view Text) {
  while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t')) Text.remove_prefix(1);
  while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t')) Text.remove_suffix(1);
  return Text;
}

}  // namespace

std::string HeaderValue(const std::vector<std::string>& Lines, const std::string& Name) {
  const std::string LowerName = AsciiLower(Name);
  std::string Result;
  for (const std::string& Line : Lines) {
    if (Line.size() < Name.size() || AsciiLower(std::string_view(Line).substr(0, Name.size())) != LowerName) continue;
    // The name is normally followed by a colon and a blank: skip two bytes
    // whatever they are. The last matching line wins.
    const size_t Start = Name.size() + 2;
    Result = Line.size() > Start ? Line.substr(Start) : std::string();
  }
  return Result;
}

bool AnyHeaderText(const std::vector<std::string>& Lines, const TTextTest& Test, size_t* At) {
  TSignatureScan Scan;
  std::vector<std::string_view> Parts;
  size_t Field = 0;
  for (size_t I = 0; I < Lines.size(); ++I) {
    if (!IsFoldedContinuation(Lines[I])) Field = I;
    Scan.Take(Lines[I], Parts);
    for (std::string_view Part : Parts) {
      if (!Test(Part)) continue;
      if (At) *At = Field;
      return true;
    }
  }
  return false;
}

std::string WrittenFieldName(const std::string& Line) {
  const size_t Colon = Line.find(':');
  if (Colon == std::string::npos || IsFoldedContinuation(Line)) return "";
  return std::string(TrimBlanks(std::string_view(Line).substr(0, Colon)));
}

std::string DecodedHeaderValue(const std::vector<std::string>& Lines, const std::string& Name) {
  // Only the last field that HeaderValue would pick is unfolded and decoded.
  const std::string LowerName = AsciiLower(Name);
  size_t Found = Lines.size();
  for (size_t I = 0; I < Lines.size() && !Lines[I].empty(); ++I)
    if (Lines[I].size() >= Name.size() && AsciiLower(std::string_view(Lines[I]).substr(0, Name.size())) == LowerName)
      Found = I;
  if (Found == Lines.size()) return std::string();
  size_t End = Found + 1;
  while (End < Lines.size() && IsFoldedContinuation(Lines[End])) ++End;
  return DecodeEncodedWords(HeaderValue(UnfoldHeader(std::span(Lines).subspan(Found, End - Found)), Name));
}

bool AnyDecodedHeaderText(const std::vector<std::string>& Lines, const TTextTest& Test, size_t* At) {
  // A field of one plain ASCII line without encoded words reads as it is
  // written, and the raw matching has searched it already in the same way.
  std::vector<std::string> Fields;
  std::vector<size_t> Origins;  // where each field begins in Lines
  for (size_t First = 0, End; First < Lines.size() && !Lines[First].empty(); First = End) {
    for (End = First + 1; End < Lines.size() && IsFoldedContinuation(Lines[End]);) ++End;
    const std::string& Line = Lines[First];
    if (End - First > 1)
      Fields.push_back(UnfoldHeader(std::span(Lines).subspan(First, End - First)).front());
    else if (Line.find("=?") != std::string::npos || !IsAscii(Line))
      Fields.push_back(Line);
    else
      continue;
    Origins.push_back(First);
  }
  // The signature values are cut out of the field before it is decoded, so
  // that no encoded word inside them can be read either.
  size_t Found = 0;
  const bool Holds = AnyHeaderText(
      Fields,
      [&Test](std::string_view Part) {
        return Part.find("=?") == std::string_view::npos ? Test(Part) : Test(DecodeEncodedWords(Part));
      },
      &Found);
  if (Holds && At) *At = Origins[Found];
  return Holds;
}

bool AnyFieldValue(const std::vector<std::string>& Lines, const std::vector<std::string>& Names,
                   const TTextTest& Test, const TTextTest& DecodedTest, size_t* At) {
  std::vector<std::string_view> Parts;
  for (size_t First = 0, End; First < Lines.size() && !Lines[First].empty(); First = End) {
    for (End = First + 1; End < Lines.size() && IsFoldedContinuation(Lines[End]);) ++End;
    if (std::find(Names.begin(), Names.end(), FieldName(Lines[First])) == Names.end()) continue;
    // A folded field is one field: a word may run across its fold.
    const std::string Field = End - First > 1 ? UnfoldHeader(std::span(Lines).subspan(First, End - First)).front()
                                              : Lines[First];
    const char* const ValueStart = Field.data() + Field.find(':') + 1;
    TSignatureScan Scan;
    Scan.Take(Field, Parts);
    for (size_t I = 0; I < Parts.size(); ++I) {
      std::string_view Part = Parts[I];
      // Only the value is searched: the field's name and colon are cut off.
      if (Part.data() < ValueStart) Part.remove_prefix(std::min<size_t>(Part.size(), ValueStart - Part.data()));
      if (I == 0) Part = TrimBlanks(Part);
      if (I + 1 == Parts.size()) Part = TrimBlanks(Part);
      if (Part.empty()) continue;
      if (Test(Part) || (DecodedTest && (Part.find("=?") != std::string_view::npos || !IsAscii(Part)) &&
                         DecodedTest(DecodeEncodedWords(Part)))) {
        if (At) *At = First;
        return true;
      }
    }
  }
  return false;
}

}  // namespace quorrel
