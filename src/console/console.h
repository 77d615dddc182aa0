// Text colours of the console that standard output is attached to, as a 16-bit
// attribute word: bits 0-3 foreground, bits 4-7 background; within a colour
// number bit 0 blue, 1 green, 2 red, 3 intensity. On a terminal the colours are
// realised with ANSI SGR sequences; when standard output is not a terminal
// nothing but the program's own text is ever written.
#pragma once

#include <cstdint>

namespace quorrel {

// Whether standard output is a terminal (asked of the OS once).
bool StandardOutputIsTerminal();
// Forget that answer, after standard output was redirected.
void StandardOutputChanged();

uint16_t CurrentTextAttributes();  // 0 when standard output is not a console
void SetTextAttributes(uint16_t Attributes);
void SetTextColours(uint8_t Background, uint8_t Foreground);
void SetForegroundColour(uint8_t Colour);

}  // namespace quorrel
