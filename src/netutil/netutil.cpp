#include "netutil/netutil.h"

#include <time.h>

#include <cstring>

namespace quorrel {

namespace {

bool IsBlank(unsigned char C) { return C <= 32; }

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

}  // namespace

uint32_t CurrentTick() {
  timespec Now{};
  clock_gettime(CLOCK_MONOTONIC, &Now);
  uint64_t Ms = static_cast<uint64_t>(Now.tv_sec) * 1000u + static_cast<uint64_t>(Now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(Ms);
}

uint32_t TickDifference(uint32_t OldTick, uint32_t NewTick) {
  if (NewTick == OldTick) return 0;
  if (NewTick > OldTick) return NewTick - OldTick;
  // The reading went down: a wrap only when the old one was in the upper half and
  // the new one in the lower; otherwise the plain distance.
  if ((OldTick & 0x80000000u) != 0 && (NewTick & 0x80000000u) == 0) return NewTick - OldTick;
  return OldTick - NewTick;
}

int32_t IntegerOrDefault(std::string_view Text, int32_t Default) {
  size_t I = 0;
  const size_t N = Text.size();
  while (I < N && Text[I] == ' ') ++I;
  bool Negative = false;
  if (I < N && (Text[I] == '+' || Text[I] == '-')) {
    Negative = Text[I] == '-';
    ++I;
  }
  if (I >= N) return Default;

  bool Hex = false;
  if (Text[I] == '$' || Text[I] == 'x' || Text[I] == 'X') {
    Hex = true;
    ++I;
  } else if (Text[I] == '0' && I + 1 < N && (Text[I + 1] == 'x' || Text[I + 1] == 'X')) {
    Hex = true;
    I += 2;
  }
  if (I >= N) return Default;

  if (Hex) {
    uint32_t Value = 0;
    int Significant = 0;
    for (; I < N; ++I) {
      int D = HexValue(Text[I]);
      if (D < 0) return Default;
      if (Significant > 0 || D != 0) ++Significant;
      if (Significant > 8) return Default;
      Value = (Value << 4) | static_cast<uint32_t>(D);
    }
    if (Negative) Value = 0u - Value;
    return static_cast<int32_t>(Value);
  }

  int64_t Value = 0;
  for (; I < N; ++I) {
    if (!IsDigit(Text[I])) return Default;
    Value = Value * 10 + (Text[I] - '0');
    if (Value > 2147483648LL) return Default;
  }
  if (Negative) Value = -Value;
  if (Value > 2147483647LL) return Default;
  return static_cast<int32_t>(Value);
}

std::string WordToBytes(uint16_t Value) {
  std::string Result(2, '\0');
  StoreBe16(Result.data(), Value);
  return Result;
}

uint16_t BytesToWord(std::string_view Text, int Index) {
  if (Index < 1 || static_cast<size_t>(Index) + 1 > Text.size()) return 0;
  return LoadBe16(Text.data() + Index - 1);
}

bool IsOctetText(std::string_view Text) {
  int32_t Value = IntegerOrDefault(Text, -1);
  if (Value < 0 || Value > 255) return false;
  for (char C : Text)
    if (!IsDigit(C)) return false;
  return true;
}

bool IsIPv4Text(std::string_view Text) {
  std::string Copy(Text);
  for (int I = 0; I < 3; ++I)
    if (!IsOctetText(CutToken(Copy, "."))) return false;
  return IsOctetText(Copy);
}

bool IsIPv6Text(std::string_view Text) {
  std::string Copy(Text);
  bool Result = false;
  int Parts = 0;
  int EmptyParts = 0;
  bool First = true;
  while (!Copy.empty()) {
    std::string Part = CutToken(Copy, ":");
    if (!First && Part.empty()) ++EmptyParts;
    First = false;
    if (EmptyParts > 1) return false;
    ++Parts;
    if (Part.empty()) continue;
    if (Parts > 8) return false;
    if (Copy.empty()) {
      // Last group: it may carry a numeric scope after "%".
      std::string Scope = TextAfter(Part, "%");
      Part = TextBefore(Part, "%");
      int32_t ScopeValue = IntegerOrDefault("$" + Scope, -1);
      if (ScopeValue < 0 || ScopeValue > 65535) return false;
    }
    int32_t Value = IntegerOrDefault("$" + Part, -1);
    if (Value < 0 || Value > 65535) return false;
    if (Copy.empty()) Result = true;
  }
  return Result;
}

std::string IPv4TextToBytes(std::string_view Text) {
  std::string Result(4, '\0');
  std::string_view Rest = Text;
  for (int I = 0; I < 4; ++I) {
    std::string_view Part = Rest;
    if (I < 3) {
      size_t Dot = Rest.find('.');
      if (Dot == std::string_view::npos) {
        Part = Rest;
        Rest = std::string_view();
      } else {
        Part = Rest.substr(0, Dot);
        Rest = Rest.substr(Dot + 1);
      }
    }
    Result[I] = static_cast<char>(IntegerOrDefault(Part, 0) & 0xFF);
  }
  return Result;
}

std::string Trim(std::string_view Text) {
  size_t Begin = 0;
  size_t End = Text.size();
  while (Begin < End && IsBlank(static_cast<unsigned char>(Text[Begin]))) ++Begin;
  while (End > Begin && IsBlank(static_cast<unsigned char>(Text[End - 1]))) --End;
  return std::string(Text.substr(Begin, End - Begin));
}

std::string TextBefore(std::string_view Text, std::string_view Delimiter) {
  size_t At = Delimiter.empty() ? std::string_view::npos : Text.find(Delimiter);
  if (At == std::string_view::npos) return Trim(Text);
  return Trim(Text.substr(0, At));
}

std::string TextAfter(std::string_view Text, std::string_view Delimiter) {
  size_t At = Delimiter.empty() ? std::string_view::npos : Text.find(Delimiter);
  if (At == std::string_view::npos) return Trim(Text);
  return Trim(Text.substr(At + Delimiter.size()));
}

std::string CutToken(std::string& Text, std::string_view Delimiter) {
  std::string Token = TextBefore(Text, Delimiter);
  std::string Rest = TextAfter(Text, Delimiter);
  if (Rest == Text)
    Text.clear();
  else
    Text = std::move(Rest);
  return Token;
}

int FindLineBreak(std::string_view Text, std::string& Terminator) {
  // The earliest CR or LF decides; a two-byte break starting there wins over the
  // single byte, so only the byte after it needs a look. The text is searched in
  // short windows so that a long text with an early break costs only the bytes
  // up to that break.
  constexpr size_t Window = 256;
  const char* Begin = Text.data();
  const size_t N = Text.size();
  const char* Hit = nullptr;
  for (size_t From = 0; From < N && !Hit; From += Window) {
    size_t Count = N - From < Window ? N - From : Window;
    const char* Cr = static_cast<const char*>(std::memchr(Begin + From, '\r', Count));
    size_t LfCount = Cr ? static_cast<size_t>(Cr - (Begin + From)) : Count;
    const char* Lf = LfCount ? static_cast<const char*>(std::memchr(Begin + From, '\n', LfCount)) : nullptr;
    Hit = Lf ? Lf : Cr;
  }
  if (!Hit) {
    Terminator.clear();
    return 0;
  }
  size_t At = static_cast<size_t>(Hit - Begin);
  char Other = *Hit == '\r' ? '\n' : '\r';
  if (At + 1 < N && Text[At + 1] == Other)
    Terminator.assign({*Hit, Other});
  else
    Terminator.assign(1, *Hit);
  return static_cast<int>(At + 1);
}

std::string BytesToHex(std::string_view Text) {
  static const char Digits[] = "0123456789abcdef";
  std::string Result(Text.size() * 2, '\0');
  for (size_t I = 0; I < Text.size(); ++I) {
    unsigned char B = static_cast<unsigned char>(Text[I]);
    Result[2 * I] = Digits[B >> 4];
    Result[2 * I + 1] = Digits[B & 15];
  }
  return Result;
}

// Every header line of a mailbox passes through here, so eight bytes are
// folded at a time: in each byte below 0x80, adding 0x3F sets the top bit from
// 'A' up and adding 0x25 sets it above 'Z'; neither carries into the next byte.
std::string AsciiLower(std::string_view Text) {
  constexpr uint64_t Ones = 0x0101010101010101ULL;
  std::string Result(Text);
  char* Data = Result.data();
  size_t I = 0;
  for (; I + 8 <= Result.size(); I += 8) {
    uint64_t Word;
    std::memcpy(&Word, Data + I, 8);
    const uint64_t Low = Word & (0x7F * Ones);
    const uint64_t Upper = (Low + 0x3F * Ones) & ~(Low + 0x25 * Ones) & ~Word & (0x80 * Ones);
    Word |= Upper >> 2;
    std::memcpy(Data + I, &Word, 8);
  }
  for (; I < Result.size(); ++I)
    if (Data[I] >= 'A' && Data[I] <= 'Z') Data[I] = static_cast<char>(Data[I] - 'A' + 'a');
  return Result;
}

std::string AsciiUpper(std::string_view Text) {
  std::string Result(Text);
  for (char& C : Result)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  return Result;
}

}  // namespace quorrel
