// Console colours on a Linux terminal. A terminal has no attribute word that can
// be read back, so the module keeps the word itself and realises each change
// with an ANSI SGR sequence written through stdout (so that it stays in order
// with the text around it). When standard output is not a terminal nothing is
// ever written and the word reads as 0.
#include "console/console.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace quorrel {

namespace {

// Light grey on black: the word a fresh console starts with. The module treats
// it as "the terminal's own colours" (see SgrFor).
const uint16_t DefaultAttributes = 0x07;
uint16_t Attributes = DefaultAttributes;

// Asked once: the answer cannot change while the program writes its output, and
// asking the OS for every verdict would cost several system calls a message.
int TerminalState = -1;  // -1 not asked yet, 0 no, 1 yes

bool IsTerminal() {
  if (TerminalState < 0) TerminalState = isatty(STDOUT_FILENO) == 1 ? 1 : 0;
  return TerminalState == 1;
}

// Attribute colour numbers carry blue in bit 0 and red in bit 2; ANSI colour
// indexes the other way round.
int AnsiIndex(unsigned Colour) { return ((Colour & 1) << 2) | (Colour & 2) | ((Colour & 4) >> 2); }

// Foreground 7 (light grey) and background 0 (black) map to the terminal's
// default colours, so that restoring the start word gives the user's own
// colour scheme back rather than forcing grey on black.
std::string SgrFor(uint16_t Word) {
  const unsigned Foreground = Word & 0x0F;
  const unsigned Background = (Word >> 4) & 0x0F;
  std::string Sgr = "\x1b[0";
  if (Foreground != 7) Sgr += ";" + std::to_string((Foreground & 8 ? 90 : 30) + AnsiIndex(Foreground));
  if (Background != 0) Sgr += ";" + std::to_string((Background & 8 ? 100 : 40) + AnsiIndex(Background));
  return Sgr + "m";
}

}  // namespace

bool StandardOutputIsTerminal() { return IsTerminal(); }

void StandardOutputChanged() { TerminalState = -1; }

uint16_t CurrentTextAttributes() { return IsTerminal() ? Attributes : 0; }

void SetTextAttributes(uint16_t NewAttributes) {
  if (!IsTerminal()) return;
  Attributes = NewAttributes;
  const std::string Sgr = SgrFor(NewAttributes);
  std::fwrite(Sgr.data(), 1, Sgr.size(), stdout);
  std::fflush(stdout);
}

void SetTextColours(uint8_t Background, uint8_t Foreground) {
  SetTextAttributes(static_cast<uint16_t>(((Background & 0xFF) << 4) | (Foreground & 0xFF)));
}

void SetForegroundColour(uint8_t Colour) {
  SetTextAttributes(static_cast<uint16_t>((CurrentTextAttributes() & 0xF0) | Colour));
}

}  // namespace quorrel
