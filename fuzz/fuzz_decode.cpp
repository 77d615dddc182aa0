// Header decoding fed with arbitrary header text (bounded growth, no crash), and
// a round trip: text written as encoded words by a small encoder here, cut at any
// byte, spread over folded lines in three charsets, must decode to the text.
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/header_text.h"
#include "support.h"

using namespace quorrel;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

std::string Latin1ToUtf8(const std::string& Latin1) {
  std::string Out;
  for (unsigned char C : Latin1) {
    if (C < 0x80) {
      Out += static_cast<char>(C);
    } else {
      Out += static_cast<char>(0xC0 | C >> 6);
      Out += static_cast<char>(0x80 | (C & 0x3F));
    }
  }
  return Out;
}

std::string Latin1ToUtf16Be(const std::string& Latin1) {
  std::string Out;
  for (char C : Latin1) {
    Out += '\0';
    Out += C;
  }
  return Out;
}

std::string EncodeQ(const std::string& Bytes) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Out;
  for (unsigned char C : Bytes) {
    if ((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9')) {
      Out += static_cast<char>(C);
    } else if (C == ' ') {
      Out += '_';
    } else {
      Out += '=';
      Out += Hex[C >> 4];
      Out += Hex[C & 15];
    }
  }
  return Out;
}

std::string EncodedWord(const std::string& Charset, const std::string& Bytes, bool B) {
  return "=?" + Charset + (B ? "?B?" + ToBase64(Bytes) : "?Q?" + EncodeQ(Bytes)) + "?=";
}

void RoundTrip(TFuzzInput& In) {
  std::vector<std::string> Lines = {"Subject: "};
  std::string Expected;
  bool First = true;
  for (int Chunks = 0; Chunks < 64; ++Chunks) {
    const uint8_t Control = In.Byte();
    std::string Latin1;
    for (int I = 0, N = 1 + Control % 16; I < N; ++I) Latin1 += static_cast<char>(In.Byte());
    if (Control == 0 && Latin1 == std::string(Latin1.size(), '\0')) break;  // input used up
    for (char C : Latin1) Expected += (C == '\r' || C == '\n') ? ' ' : C;

    std::string Charset, Bytes;
    switch ((Control >> 4) % 3) {
      case 0: Charset = "ISO-8859-1", Bytes = Latin1; break;
      case 1: Charset = "utf-8", Bytes = Latin1ToUtf8(Latin1); break;
      default: Charset = "UTF-16BE", Bytes = Latin1ToUtf16Be(Latin1); break;
    }
    // Cut anywhere, even inside a character: the two halves are adjacent words.
    const size_t Cut = In.Byte() % (Bytes.size() + 1);
    for (const std::string& Piece : {Bytes.substr(0, Cut), Bytes.substr(Cut)}) {
      if (Piece.empty() && Cut != 0) continue;
      const std::string Word = EncodedWord(Charset, Piece, Control & 0x40);
      const uint8_t Gap = In.Byte() % 4;
      if (First)
        Lines.back() += Word;
      else if (Gap == 0)
        Lines.back() += " " + Word;
      else if (Gap == 1)
        Lines.back() += " \t " + Word;
      else
        Lines.push_back((Gap == 2 ? " " : "\t") + Word);  // a fold
      First = false;
    }
  }
  const std::vector<std::string> Fields = UnfoldHeader(Lines);
  Check(Fields.size() == 1);
  Check(DecodeEncodedWords(Fields[0]) == "Subject: " + Latin1ToUtf8(Expected));
}

void AnyText(TFuzzInput& In) {
  const std::string Text = In.Rest();
  std::vector<std::string> Lines;
  size_t From = 0;
  for (size_t At; (At = Text.find('\n', From)) != std::string::npos; From = At + 1)
    Lines.push_back(Text.substr(From, At - From));
  Lines.push_back(Text.substr(From));
  for (const std::string& Field : UnfoldHeader(Lines)) {
    const std::string Decoded = DecodeEncodedWords(Field);
    Check(Decoded.size() <= 4 * Field.size());
    if (Field.find("=?") == std::string::npos) Check(Decoded == Field);
    Check(FoldCase(Decoded).size() <= 16 * Decoded.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TFuzzInput In(Data, Size);
  if (In.Flag())
    RoundTrip(In);
  else
    AnyText(In);
  return 0;
}
