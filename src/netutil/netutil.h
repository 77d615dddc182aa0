// Text, time and address helpers shared by the socket layer and the POP3 client.
// All texts are byte strings; positions are 1-based; nothing here throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Milliseconds of a monotonic clock, truncated to 32 bits (wraps after ~49.7 days).
uint32_t CurrentTick();
// Elapsed milliseconds from OldTick to NewTick, with the wrap rule of the tick counter.
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

bool IsOctetText(std::string_view Text);
bool IsIPv4Text(std::string_view Text);
bool IsIPv6Text(std::string_view Text);
std::string IPv4TextToBytes(std::string_view Text);

// Trims every byte 0..32 at both ends.
std::string Trim(std::string_view Text);
std::string TextBefore(std::string_view Text, std::string_view Delimiter);
std::string TextAfter(std::string_view Text, std::string_view Delimiter);
std::string CutToken(std::string& Text, std::string_view Delimiter);

// First line break (CR LF, LF CR, CR or LF) in Text: its 1-based position, or 0.
// Terminator receives the break's bytes. Cost depends on where the break is,
// not on the length of Text.
int FindLineBreak(std::string_view Text, std::string& Terminator);

std::string BytesToHex(std::string_view Text);

// ASCII-only case folding (A-Z / a-z); other bytes are left alone.
std::string AsciiLower(std::string_view Text);
std::string AsciiUpper(std::string_view Text);
