// Text, time and address helpers shared by the socket layer and the POP3 client.
// All texts are byte strings; positions are 1-based; nothing here throws but
// std::bad_alloc. Results are new strings the caller owns; no call keeps a
// reference to its arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorrel {

// Milliseconds of a monotonic clock, truncated to 32 bits (wraps after ~49.7 days).
uint32_t CurrentTick();
// Elapsed milliseconds from OldTick to NewTick, with the wrap rule of the tick
// counter: a reading that went down counts as a wrap only from the upper half of
// the range into the lower; otherwise the plain distance.
uint32_t TickDifference(uint32_t OldTick, uint32_t NewTick);

// The one text-to-integer conversion: leading spaces, optional sign, decimal or
// "$"/"x"/"X"/"0x"/"0X" hexadecimal, nothing after the digits; else Default.
int32_t IntegerOrDefault(std::string_view Text, int32_t Default);

// Fixed-width integers in wire order, at a place that holds enough bytes.
inline uint16_t LoadBe16(const void* At) {
  const auto* P = static_cast<const unsigned char*>(At);
  return static_cast<uint16_t>(P[0] << 8 | P[1]);
}
inline void StoreBe16(void* At, uint16_t Value) {
  auto* P = static_cast<unsigned char*>(At);
  P[0] = static_cast<unsigned char>(Value >> 8);
  P[1] = static_cast<unsigned char>(Value);
}
inline uint32_t LoadLe32(const void* At) {
  const auto* P = static_cast<const unsigned char*>(At);
  return uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24;
}
inline void StoreLe32(void* At, uint32_t Value) {
  auto* P = static_cast<unsigned char*>(At);
  for (int I = 0; I < 4; ++I) P[I] = static_cast<unsigned char>(Value >> (8 * I));
}

// A port as it travels: 2 bytes, high byte first. BytesToWord reads them at the
// 1-based Index, and gives 0 when Text holds no two bytes there.
std::string WordToBytes(uint16_t Value);
uint16_t BytesToWord(std::string_view Text, int Index);

// Decimal digits only, 0 to 255.
bool IsOctetText(std::string_view Text);
// Four octet texts separated by dots.
bool IsIPv4Text(std::string_view Text);
// Up to eight hexadecimal groups of at most 16 bits separated by colons, one
// "::" at most, ending in a group ("1::" is not taken); the last group may carry
// "%" and a hexadecimal scope.
bool IsIPv6Text(std::string_view Text);
// The four bytes of a dotted IPv4 text, high first; a missing or unreadable
// part gives 0, parts past the fourth are ignored. Validate with IsIPv4Text.
std::string IPv4TextToBytes(std::string_view Text);

// Trims every byte 0..32 at both ends.
std::string Trim(std::string_view Text);
// The text before (after) the first Delimiter, trimmed; the whole text, trimmed,
// when Delimiter is empty or not found.
std::string TextBefore(std::string_view Text, std::string_view Delimiter);
std::string TextAfter(std::string_view Text, std::string_view Delimiter);
// Returns TextBefore and leaves TextAfter in Text; Text is emptied when it holds
// no Delimiter (or nothing would change).
std::string CutToken(std::string& Text, std::string_view Delimiter);

// First line break (CR LF, LF CR, CR or LF) in Text: its 1-based position, or 0.
// Terminator receives the break's bytes. Cost depends on where the break is,
// not on the length of Text.
int FindLineBreak(std::string_view Text, std::string& Terminator);

// Two lower-case hexadecimal digits per byte.
std::string BytesToHex(std::string_view Text);

// ASCII-only case folding (A-Z / a-z); other bytes are left alone.
std::string AsciiLower(std::string_view Text);
std::string AsciiUpper(std::string_view Text);

}  // namespace quorrel
