#include "codec/header_text.h"

#include <iconv.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/normalizer2.h>
#include <unicode/stringoptions.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "codec/codec.h"
#include "netutil/netutil.h"

namespace quorrel {

namespace {

// A decoded word may take at most this many times the bytes of its encoded form
// (B text gives 3 bytes for 4, and a single-byte charset at most 3 UTF-8 bytes
// for each); a word that would grow more stays as it is.
constexpr size_t GrowthLimit = 4;
// IANA charset names are at most 40 characters; a longer one is not a charset.
constexpr size_t MaxCharsetLength = 64;

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

// Charset names are MIME tokens; "*" introduces an RFC 2231 language suffix.
// Whatever could make iconv look beyond its own list of names ("/" above all)
// is refused here.
bool IsCharsetChar(char C) {
  const unsigned char B = static_cast<unsigned char>(C);
  if (B <= 0x20 || B >= 0x7F) return false;
  return std::string_view("()<>@,;\"/[]?=\\").find(C) == std::string_view::npos;
}

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  return -1;
}

// Q: "_" is a blank, "=XX" a byte in hexadecimal, every other byte itself.
std::optional<std::string> DecodeQ(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    if (C == '_') {
      Out += ' ';
    } else if (C == '=') {
      if (I + 2 >= Text.size()) return std::nullopt;
      const int High = HexValue(Text[I + 1]), Low = HexValue(Text[I + 2]);
      if (High < 0 || Low < 0) return std::nullopt;
      Out += static_cast<char>(High << 4 | Low);
      I += 2;
    } else {
      Out += C;
    }
  }
  return Out;
}

struct TEncodedWord {
  size_t GapBegin = 0;  // where the blanks before the word start (== Begin when none)
  size_t Begin = 0;     // the "=" of "=?"
  size_t End = 0;       // one past the closing "?="
  std::string Charset;  // without a language suffix
  std::string Bytes;    // the decoded bytes, still in Charset
  std::string Text;     // in UTF-8, once converted
  bool Converted = false;
};

// Parses the encoded word whose "=?" stands at Begin. Every scan stops at the
// first "?" or blank, so a failed attempt never reads past the word's third
// "?": trying every "=?" of a line costs time linear in the line.
bool ParseWord(std::string_view Text, size_t Begin, TEncodedWord& Word) {
  size_t I = Begin + 2;
  const size_t CharsetBegin = I;
  while (I < Text.size() && IsCharsetChar(Text[I]) && I - CharsetBegin <= MaxCharsetLength) ++I;
  if (I == CharsetBegin || I - CharsetBegin > MaxCharsetLength || I >= Text.size() || Text[I] != '?') return false;
  std::string_view Charset = Text.substr(CharsetBegin, I - CharsetBegin);
  Charset = Charset.substr(0, Charset.find('*'));
  if (Charset.empty()) return false;
  if (I + 2 >= Text.size() || Text[I + 2] != '?') return false;
  const char Encoding = Text[I + 1];
  const size_t EncodedBegin = I + 3;
  I = EncodedBegin;
  while (I < Text.size() && Text[I] != '?' && static_cast<unsigned char>(Text[I]) > 0x20 &&
         static_cast<unsigned char>(Text[I]) < 0x7F)
    ++I;
  if (I + 1 >= Text.size() || Text[I] != '?' || Text[I + 1] != '=') return false;
  const std::string_view Encoded = Text.substr(EncodedBegin, I - EncodedBegin);
  std::optional<std::string> Bytes;
  if (Encoding == 'B' || Encoding == 'b')
    Bytes = FromBase64(Encoded);
  else if (Encoding == 'Q' || Encoding == 'q')
    Bytes = DecodeQ(Encoded);
  if (!Bytes) return false;
  Word.Begin = Begin;
  Word.End = I + 2;
  Word.Charset = AsciiLower(Charset);
  Word.Bytes = std::move(*Bytes);
  return true;
}

// iconv descriptors to UTF-8 by charset name, kept for the thread's life (names
// iconv does not know are remembered as such). Opening is the costly part of a
// conversion, and a mailbox rarely uses more than a few charsets.
class TConverters {
 public:
  TConverters() = default;
  TConverters(const TConverters&) = delete;
  TConverters& operator=(const TConverters&) = delete;
  ~TConverters() {
    for (const auto& Entry : Entries)
      if (Entry.Handle != Unknown) iconv_close(Entry.Handle);
  }

  // The bytes in UTF-8, or nothing when the charset is unknown, the bytes are
  // not valid in it, or the text would grow beyond Limit bytes.
  std::optional<std::string> Convert(const std::string& Charset, std::string_view Bytes, size_t Limit) {
    iconv_t Handle = Find(Charset);
    if (Handle == Unknown) return std::nullopt;
    iconv(Handle, nullptr, nullptr, nullptr, nullptr);
    std::string Out(Limit, '\0');
    char* In = const_cast<char*>(Bytes.data());
    size_t InLeft = Bytes.size();
    char* OutAt = Out.data();
    size_t OutLeft = Out.size();
    if (iconv(Handle, &In, &InLeft, &OutAt, &OutLeft) == static_cast<size_t>(-1)) return std::nullopt;
    // A stateful charset may still owe its return to the initial state.
    if (iconv(Handle, nullptr, nullptr, &OutAt, &OutLeft) == static_cast<size_t>(-1)) return std::nullopt;
    Out.resize(Out.size() - OutLeft);
    return Out;
  }

 private:
  static inline const iconv_t Unknown = reinterpret_cast<iconv_t>(-1);
  static constexpr size_t Capacity = 8;
  struct TEntry {
    std::string Charset;
    iconv_t Handle;
  };
  std::vector<TEntry> Entries;
  size_t Oldest = 0;

  iconv_t Find(const std::string& Charset) {
    for (const auto& Entry : Entries)
      if (Entry.Charset == Charset) return Entry.Handle;
    TEntry Entry{Charset, iconv_open("UTF-8", Charset.c_str())};
    if (Entries.size() < Capacity) {
      Entries.push_back(std::move(Entry));
      return Entries.back().Handle;
    }
    // Full: reuse the slot opened longest ago.
    TEntry& Slot = Entries[Oldest];
    Oldest = (Oldest + 1) % Capacity;
    if (Slot.Handle != Unknown) iconv_close(Slot.Handle);
    Slot = std::move(Entry);
    return Slot.Handle;
  }
};

size_t ConversionLimit(size_t EncodedSize) { return GrowthLimit * EncodedSize; }

// Converts a run of adjacent encoded words. Consecutive words in one charset are
// converted as one piece, so that a multi-byte character cut between two words
// survives; when the piece as a whole is refused, each word gets its own try.
void ConvertRun(std::vector<TEncodedWord>& Run, TConverters& Converters) {
  for (size_t First = 0; First < Run.size();) {
    size_t Last = First + 1;
    while (Last < Run.size() && Run[Last].Charset == Run[First].Charset) ++Last;
    std::string Joined;
    size_t Encoded = 0;
    for (size_t I = First; I < Last; ++I) {
      Joined += Run[I].Bytes;
      Encoded += Run[I].End - Run[I].Begin;
    }
    if (auto Text = Converters.Convert(Run[First].Charset, Joined, ConversionLimit(Encoded))) {
      Run[First].Text = std::move(*Text);
      Run[First].Converted = true;
      for (size_t I = First + 1; I < Last; ++I) Run[I].Converted = true;  // their text is in the first
    } else if (Last - First > 1) {
      for (size_t I = First; I < Last; ++I) {
        if (auto One = Converters.Convert(Run[I].Charset, Run[I].Bytes, ConversionLimit(Run[I].End - Run[I].Begin))) {
          Run[I].Text = std::move(*One);
          Run[I].Converted = true;
        }
      }
    }
    First = Last;
  }
}

// Writes a converted run: a word that could not be converted stands as it was
// written, and keeps the blanks on both of its sides; blanks between two
// decoded words are dropped.
void AppendRun(std::string& Out, std::string_view Source, const std::vector<TEncodedWord>& Run) {
  for (size_t I = 0; I < Run.size(); ++I) {
    const TEncodedWord& Word = Run[I];
    if (I > 0 && (!Word.Converted || !Run[I - 1].Converted))
      Out.append(Source.substr(Word.GapBegin, Word.Begin - Word.GapBegin));
    if (!Word.Converted) {
      Out.append(Source.substr(Word.Begin, Word.End - Word.Begin));
      continue;
    }
    for (char C : Word.Text) Out += (C == '\r' || C == '\n') ? ' ' : C;
  }
}

}  // namespace

std::vector<std::string> UnfoldHeader(std::span<const std::string> Lines) {
  std::vector<std::string> Fields;
  for (const std::string& Line : Lines) {
    if (Line.empty()) break;
    if (IsBlank(Line[0]) && !Fields.empty()) {
      // A reader sees the fold as one blank, whether it was written with a
      // blank or a tab, so a phrase folded either way reads the same.
      Fields.back() += ' ';
      Fields.back().append(Line, 1);
    } else {
      Fields.push_back(Line);
    }
  }
  return Fields;
}

std::string DecodeEncodedWords(std::string_view Text) {
  std::string Out;
  if (Text.find("=?") == std::string_view::npos) return std::string(Text);
  Out.reserve(Text.size());
  thread_local TConverters Converters;
  std::vector<TEncodedWord> Run;
  size_t Copied = 0;  // Text before this is in Out or in Run
  size_t Scan = 0;
  for (size_t At; (At = Text.find("=?", Scan)) != std::string_view::npos;) {
    TEncodedWord Word;
    if (!ParseWord(Text, At, Word)) {
      Scan = At + 1;
      continue;
    }
    const bool OnlyBlanksBetween =
        std::all_of(Text.begin() + Copied, Text.begin() + At, [](char C) { return IsBlank(C); });
    if (Run.empty() || !OnlyBlanksBetween) {
      ConvertRun(Run, Converters);
      AppendRun(Out, Text, Run);
      Run.clear();
      Out.append(Text.substr(Copied, At - Copied));
      Word.GapBegin = At;
    } else {
      Word.GapBegin = Copied;
    }
    Copied = Scan = Word.End;
    Run.push_back(std::move(Word));
  }
  ConvertRun(Run, Converters);
  AppendRun(Out, Text, Run);
  Out.append(Text.substr(Copied));
  return Out;
}

std::string FoldCase(std::string_view Utf8) {
  if (std::all_of(Utf8.begin(), Utf8.end(), [](char C) { return static_cast<unsigned char>(C) < 0x80; }))
    return AsciiLower(Utf8);
  UErrorCode Status = U_ZERO_ERROR;
  std::string Folded;
  icu::StringByteSink<std::string> FoldSink(&Folded, static_cast<int32_t>(Utf8.size()));
  icu::CaseMap::utf8Fold(U_FOLD_CASE_DEFAULT, icu::StringPiece(Utf8.data(), static_cast<int32_t>(Utf8.size())),
                         FoldSink, nullptr, Status);
  const icu::Normalizer2* Composer = icu::Normalizer2::getNFCInstance(Status);
  std::string Composed;
  icu::StringByteSink<std::string> ComposeSink(&Composed, static_cast<int32_t>(Folded.size()));
  if (U_SUCCESS(Status)) Composer->normalizeUTF8(0, Folded, ComposeSink, nullptr, Status);
  // Without its data ICU can do nothing; ASCII folding is still better than none.
  if (U_FAILURE(Status)) return AsciiLower(Utf8);
  return Composed;
}

}  // namespace quorrel
