#include "quorrel/report/output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console/console.h"

namespace quorrel {

namespace {

const uint8_t DeletedColour = 14;  // bright yellow
const uint8_t SkippedColour = 2;   // green
const uint8_t FailedColour = 12;   // bright red

}  // namespace

void WriteColoured(const std::string& Text, uint8_t Colour) {
  const uint16_t Saved = CurrentTextAttributes();
  SetForegroundColour(Colour);
  std::fwrite(Text.data(), 1, Text.size(), stdout);
  if (StandardOutputIsTerminal()) std::fflush(stdout);
  SetTextAttributes(Saved);  // the whole word as it was, not rebuilt from its colours
}

void ShowSubject(TOutput& Out, int32_t Number, const std::string& Subject, bool NoFilter) {
  Out.Write(std::to_string(Number) + ":" + Displayable(Subject));
  Out.FlushToTerminal();
  if (NoFilter) Out.Write(" NO FILTER\r\n");
}

void ShowVerdict(TOutput& Out, TVerdict Verdict, const std::string& Why) {
  // In the order of TVerdict.
  static const struct {
    const char* Text;
    uint8_t Colour;
  } Shown[] = {{" SKIPPED", SkippedColour},
               {" DELETED", DeletedColour},
               {" NOT DELETED", FailedColour},
               {" WOULD DELETE", DeletedColour},
               {" KEPT", SkippedColour}};
  const auto& Line = Shown[static_cast<size_t>(Verdict)];
  if (Why.empty()) {
    Out.WriteColoured(std::string(Line.Text) + "\r\n", Line.Colour);
    return;
  }
  Out.WriteColoured(Line.Text, Line.Colour);
  Out.Write(" (" + Displayable(Why) + ")\r\n");
}

void TOutput::Check() {
  if (Broken || !std::ferror(stdout)) return;
  Broken = true;
  FailureErrno = errno;
}

void TOutput::Write(const std::string& Text) {
  std::fwrite(Text.data(), 1, Text.size(), stdout);
  Check();
}

void TOutput::WriteColoured(const std::string& Text, uint8_t Colour) {
  quorrel::WriteColoured(Text, Colour);
  Check();
}

void TOutput::FlushToTerminal() {
  if (StandardOutputIsTerminal()) std::fflush(stdout);
  Check();
}

bool TOutput::Flush() {
  std::fflush(stdout);
  Check();
  return !Broken;
}

std::string TOutput::FailureReason() const {
  return FailureErrno != 0 ? std::strerror(FailureErrno) : "write error";
}

namespace {

// Length of the well-formed UTF-8 sequence at Text[At], 0 when there is none.
size_t Utf8SequenceAt(const std::string& Text, size_t At) {
  const auto Byte = [&](size_t I) { return static_cast<unsigned char>(Text[I]); };
  const unsigned char Lead = Byte(At);
  size_t Length = 0;
  unsigned char Low = 0x80, High = 0xBF;  // bounds of the second byte
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    if (Lead == 0xE0) Low = 0xA0;   // no overlong forms
    if (Lead == 0xED) High = 0x9F;  // no surrogates
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    if (Lead == 0xF0) Low = 0x90;
    if (Lead == 0xF4) High = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (At + Length > Text.size()) return 0;
  if (Byte(At + 1) < Low || Byte(At + 1) > High) return 0;
  for (size_t I = At + 2; I < At + Length; ++I)
    if (Byte(I) < 0x80 || Byte(I) > 0xBF) return 0;
  return Length;
}

void AppendCaret(std::string& Shown, unsigned Control) {
  Shown += '^';
  Shown += static_cast<char>(Control ^ 0x40);
}

}  // namespace

// A terminal acts on C0 controls and DEL, on C1 controls written as UTF-8
// (U+0080-U+009F, C2 9B being CSI), and, in 8-bit mode, on the raw bytes
// 0x80-0x9F. Well-formed UTF-8 passes whole: the bytes 80-9F inside an em dash
// (E2 80 94) are no controls.
std::string MaskControls(const std::string& Text) {
  std::string Shown;
  Shown.reserve(Text.size());
  for (size_t I = 0; I < Text.size();) {
    const unsigned char B = static_cast<unsigned char>(Text[I]);
    if (B < 0x20 || B == 0x7F) {
      AppendCaret(Shown, B);
      ++I;
      continue;
    }
    if (B < 0x80) {
      Shown += Text[I++];
      continue;
    }
    const size_t Length = Utf8SequenceAt(Text, I);
    unsigned Control = 0x100;  // none
    if (Length == 2 && B == 0xC2 && static_cast<unsigned char>(Text[I + 1]) <= 0x9F)
      Control = static_cast<unsigned char>(Text[I + 1]);
    else if (Length == 0 && B <= 0x9F)
      Control = B;
    if (Control <= 0x9F) {
      Shown += "M-";
      AppendCaret(Shown, Control - 0x80);
      I += Length == 0 ? 1 : Length;
    } else {
      const size_t Take = Length == 0 ? 1 : Length;
      Shown.append(Text, I, Take);
      I += Take;
    }
  }
  return Shown;
}

std::string Displayable(const std::string& Text) {
  return StandardOutputIsTerminal() ? MaskControls(Text) : Text;
}

}  // namespace quorrel
