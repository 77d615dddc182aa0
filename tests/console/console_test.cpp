#include "console/console.h"

#include <gtest/gtest.h>

#include "console/terminal_capture.h"

using namespace quorrel;

namespace {

// Puts the module's word back to the start value without checking the bytes.
void ResetWord() {
  CaptureOnTerminal([] { SetTextAttributes(0x07); });
}

TEST(ConsoleOffTerminal, ReadsZeroAndWritesNothing) {
  uint16_t Read = 1;
  std::string Bytes = CaptureOnPipe([&] {
    Read = CurrentTextAttributes();
    SetTextAttributes(0x1E);
    SetTextColours(4, 14);
    SetForegroundColour(2);
  });
  EXPECT_EQ(Read, 0);
  EXPECT_EQ(Bytes, "");
}

TEST(ConsoleOnTerminal, StartWordIsTheTerminalsOwnColours) {
  ResetWord();
  uint16_t Read = 0;
  std::string Bytes = CaptureOnTerminal([&] {
    Read = CurrentTextAttributes();
    SetTextAttributes(Read);
  });
  EXPECT_EQ(Read, 0x07);
  EXPECT_EQ(Bytes, "\x1b[0m");
}

TEST(ConsoleOnTerminal, VerdictColours) {
  ResetWord();
  uint16_t Yellow = 0, Green = 0;
  std::string Bytes = CaptureOnTerminal([&] {
    SetForegroundColour(14);
    Yellow = CurrentTextAttributes();
    SetForegroundColour(2);
    Green = CurrentTextAttributes();
  });
  EXPECT_EQ(Yellow, 0x0E);
  EXPECT_EQ(Green, 0x02);
  EXPECT_EQ(Bytes, "\x1b[0;93m\x1b[0;32m");
}

TEST(ConsoleOnTerminal, ForegroundKeepsBackgroundAndClearsHighBits) {
  ResetWord();
  uint16_t After = 0;
  std::string Bytes = CaptureOnTerminal([&] {
    SetTextAttributes(0xAB1F);  // white on blue, with bits above the colours
    SetForegroundColour(14);
    After = CurrentTextAttributes();
  });
  EXPECT_EQ(After, 0x1E);
  EXPECT_EQ(Bytes, "\x1b[0;97;44m\x1b[0;93;44m");
  ResetWord();
}

TEST(ConsoleOnTerminal, TextColoursComposeTheWord) {
  ResetWord();
  uint16_t Word = 0;
  std::string Bytes = CaptureOnTerminal([&] {
    SetTextColours(3, 12);  // light red on cyan
    Word = CurrentTextAttributes();
  });
  EXPECT_EQ(Word, 0x3C);
  EXPECT_EQ(Bytes, "\x1b[0;91;46m");
  // A foreground above 15 spills into the background nibble, as the formula says.
  Bytes = CaptureOnTerminal([&] {
    SetTextColours(0, 0x1E);
    Word = CurrentTextAttributes();
  });
  EXPECT_EQ(Word, 0x1E);
  EXPECT_EQ(Bytes, "\x1b[0;93;44m");
  ResetWord();
}

TEST(ConsoleOnTerminal, EveryColourNumberMapsToItsAnsiColour) {
  // Attribute colour bits: 0 blue, 1 green, 2 red, 3 intensity.
  const char* Foreground[16] = {"30", "34", "32", "36", "31", "35", "33", "",
                                "90", "94", "92", "96", "91", "95", "93", "97"};
  for (int C = 0; C < 16; ++C) {
    std::string Bytes = CaptureOnTerminal([&] { SetTextAttributes(static_cast<uint16_t>(C)); });
    std::string Expected = C == 7 ? "\x1b[0m" : std::string("\x1b[0;") + Foreground[C] + "m";
    EXPECT_EQ(Bytes, Expected) << "foreground " << C;
  }
  const char* Background[16] = {"",    "44",  "42",  "46",  "41",  "45",  "43",  "47",
                                "100", "104", "102", "106", "101", "105", "103", "107"};
  for (int C = 1; C < 16; ++C) {
    std::string Bytes = CaptureOnTerminal([&] { SetTextAttributes(static_cast<uint16_t>(C << 4 | 7)); });
    EXPECT_EQ(Bytes, std::string("\x1b[0;") + Background[C] + "m") << "background " << C;
  }
  ResetWord();
}

}  // namespace
