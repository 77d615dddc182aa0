#include "netutil/netutil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace quorrel;

namespace {

TEST(Ticks, DifferenceFollowsTheWrapRule) {
  EXPECT_EQ(TickDifference(5000, 5000), 0u);
  EXPECT_EQ(TickDifference(100, 300), 200u);
  EXPECT_EQ(TickDifference(0xFFFFFF00u, 256), 512u);  // wrapped
  EXPECT_EQ(TickDifference(300, 100), 200u);          // went back, no wrap
  EXPECT_EQ(TickDifference(0x8000000Au, 10), 0x80000000u);
  EXPECT_EQ(TickDifference(0x7FFFFFFFu, 10), 0x7FFFFFF5u);  // top bit clear: plain distance
}

TEST(Ticks, CurrentTickAdvancesInMilliseconds) {
  uint32_t Before = CurrentTick();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint32_t Elapsed = TickDifference(Before, CurrentTick());
  EXPECT_GE(Elapsed, 49u);
  EXPECT_LT(Elapsed, 5000u);
}

TEST(IntegerOrDefault, Grammar) {
  struct {
    const char* Text;
    int32_t Expected;
  } Cases[] = {
      {"0", 0},          {"010", 10},       {"  42", 42},         {"42 ", -7},          {"\t42", -7},
      {"+5", 5},         {"-5", -5},        {"-0x10", -16},       {"x1F", 31},          {"X1f", 31},
      {"$ff", 255},      {"0XaB", 171},     {"2147483647", 2147483647},               {"2147483648", -7},
      {"-2147483648", INT32_MIN},           {"-2147483649", -7},  {"FFFFFFFF", -7},     {"$FFFFFFFF", -1},
      {"$000000001", 1}, {"$100000000", -7}, {"-$80000000", INT32_MIN},               {"", -7},
      {"   ", -7},       {"-", -7},         {"+", -7},            {"$", -7},            {"0x", -7},
      {"- 1", -7},       {"1-", -7},        {"1.5", -7},          {"00000000000000000012", 12},
      {"99999999999999999999", -7},         {"$-1", -7},          {"0x$1", -7},
  };
  for (const auto& C : Cases) EXPECT_EQ(IntegerOrDefault(C.Text, -7), C.Expected) << "'" << C.Text << "'";
}

TEST(Bytes, WordsAndIPv4Parts) {
  EXPECT_EQ(WordToBytes(0x1234), std::string("\x12\x34"));
  EXPECT_EQ(WordToBytes(0x00FF), std::string("\x00\xFF", 2));
  const std::string Three("\x01\x02\xFF", 3);
  EXPECT_EQ(BytesToWord(Three, 2), 0x02FF);
  EXPECT_EQ(BytesToWord(Three, 1), 0x0102);
  EXPECT_EQ(BytesToWord(Three, 3), 0);
  EXPECT_EQ(BytesToWord("", 1), 0);

  // High bytes must not carry a sign into the neighbours.
  char Four[4];
  StoreLe32(Four, 0x80FF0102u);
  EXPECT_EQ(std::string(Four, 4), std::string("\x02\x01\xFF\x80", 4));
  EXPECT_EQ(LoadLe32(Four), 0x80FF0102u);
  StoreBe16(Four, 0xFF80);
  EXPECT_EQ(LoadBe16(Four), 0xFF80);
  EXPECT_EQ(std::string(Four, 2), std::string("\xFF\x80", 2));

  EXPECT_EQ(IPv4TextToBytes("192.168.1.10"), std::string("\xC0\xA8\x01\x0A"));
  EXPECT_EQ(IPv4TextToBytes("10.1"), std::string("\x0A\x01\x00\x00", 4));
  EXPECT_EQ(IPv4TextToBytes("1.2.3.4.5"), std::string("\x01\x02\x03\x00", 4));
  EXPECT_EQ(IPv4TextToBytes("256.x.-1.$1FF"), std::string("\x00\x00\xFF\xFF", 4));
  EXPECT_EQ(IPv4TextToBytes(""), std::string(4, '\0'));
}

TEST(AddressText, OctetsAndIPv4) {
  for (const char* T : {"0", "007", "255"}) EXPECT_TRUE(IsOctetText(T)) << T;
  for (const char* T : {"256", "", " 1", "+1", "$FF", "1 ", "-0"}) EXPECT_FALSE(IsOctetText(T)) << T;

  for (const char* T : {"0.0.0.0", "255.255.255.255", " 1.2.3.4 ", "1 . 2 . 3 . 4", "127.000.0.1"})
    EXPECT_TRUE(IsIPv4Text(T)) << T;
  for (const char* T : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..3.4", "1.2.3.x", "", "localhost", "::1"})
    EXPECT_FALSE(IsIPv4Text(T)) << T;
}

TEST(AddressText, IPv6) {
  for (const char* T : {"::1", ":1", "1:2::3", "1:2:3:4:5:6:7:8", "fe80::1%12", "beef", "1", "ab", "cafe",
                        "0000:0:0:0:0:0:0:00001", "::ffff:7f00:1", "2001:DB8::a"})
    EXPECT_TRUE(IsIPv6Text(T)) << T;
  for (const char* T : {"1:2:3:4:5:6:7:8:9", "1::2::3", "localhost", "1::", "::", "fe80::1%eth0",
                        "::ffff:1.2.3.4", "10000::1", "", "g::1", "1:%1:2"})
    EXPECT_FALSE(IsIPv6Text(T)) << T;
}

TEST(TextCutting, BeforeAfterAndTrim) {
  EXPECT_EQ(Trim(std::string("\x01 \t a b \r\n\x20", 10)), "a b");
  EXPECT_EQ(Trim(" \t"), "");
  EXPECT_EQ(TextAfter("abc", ":"), "abc");
  EXPECT_EQ(TextBefore("abc", ":"), "abc");
  EXPECT_EQ(TextBefore(" a : b ", ":"), "a");
  EXPECT_EQ(TextAfter(" a : b ", ":"), "b");
  EXPECT_EQ(TextAfter("key=>value=>x", "=>"), "value=>x");
  EXPECT_EQ(TextBefore("key=>value", "=>"), "key");
  EXPECT_EQ(TextBefore(" abc ", ""), "abc");  // an empty delimiter is never found
  EXPECT_EQ(TextAfter("a:b", "B"), "a:b");     // case-sensitive
}

TEST(TextCutting, CutTokenQuirks) {
  std::string Text = " a , b ,c";
  EXPECT_EQ(CutToken(Text, ","), "a");
  EXPECT_EQ(Text, "b ,c");
  EXPECT_EQ(CutToken(Text, ","), "b");
  EXPECT_EQ(CutToken(Text, ","), "c");
  EXPECT_EQ(Text, "");

  // Without the delimiter and with outer blanks the trimmed text stays for one more call.
  Text = " last ";
  EXPECT_EQ(CutToken(Text, ","), "last");
  EXPECT_EQ(Text, "last");
  EXPECT_EQ(CutToken(Text, ","), "last");
  EXPECT_EQ(Text, "");

  Text = "a,";
  EXPECT_EQ(CutToken(Text, ","), "a");
  EXPECT_EQ(Text, "");
}

TEST(LineBreaks, FirstBreakAndItsKind) {
  struct {
    std::string Text;
    int Position;
    std::string Terminator;
  } Cases[] = {
      {"ab\r\ncd", 3, "\r\n"}, {"a\nb\rc", 2, "\n"},  {"abc", 0, ""},       {"", 0, ""},
      {"a\n\rb", 2, "\n\r"},   {"a\rb\nc", 2, "\r"},  {"\r", 1, "\r"},      {"x\n", 2, "\n"},
      {"\r\r\n", 1, "\r"},     {"\n\n\r", 1, "\n"},   {"ab\r\n\r", 3, "\r\n"},
  };
  for (const auto& C : Cases) {
    std::string Terminator = "junk";
    EXPECT_EQ(FindLineBreak(C.Text, Terminator), C.Position) << C.Text;
    EXPECT_EQ(Terminator, C.Terminator);
  }
  // A break that lies beyond the first search window.
  std::string Long(1000, 'x');
  Long += "\n\r";
  std::string Terminator;
  EXPECT_EQ(FindLineBreak(Long, Terminator), 1001);
  EXPECT_EQ(Terminator, "\n\r");
}

TEST(LineBreaks, SearchStopsAtTheFirstBreak) {
  // 32 MiB of text after an early break: a search over all of it per call would
  // need minutes for these 20000 calls, one that stops at the break milliseconds.
  // The generous stop only keeps a regression from hanging the suite; the cost
  // itself is measured in bench/netutil_bench.
  for (const char* Break : {"\n", "\r\n", "\r"}) {
    std::string Text = std::string("line") + Break + std::string(32u << 20, 'x');
    auto Start = std::chrono::steady_clock::now();
    std::string Terminator;
    int Position = 0;
    int Calls = 0;
    for (; Calls < 20000; ++Calls) {
      Position += FindLineBreak(Text, Terminator);
      if (Calls % 1000 == 999 && std::chrono::steady_clock::now() - Start > std::chrono::seconds(60)) break;
    }
    EXPECT_EQ(Calls, 20000) << Break;
    EXPECT_EQ(Position, 5 * Calls);
    EXPECT_EQ(Terminator, Break);
  }
}

TEST(Hex, LowerCaseWithoutSeparators) {
  EXPECT_EQ(BytesToHex(std::string("\x00\x7F\x80\xFF", 4)), "007f80ff");
  EXPECT_EQ(BytesToHex(""), "");
  EXPECT_EQ(AsciiLower("Hello WORLD \xC4"), "hello world \xC4");
  // Every byte value, at every position of an eight-byte group and in the tail.
  std::string All, Want;
  for (int Pass = 0; Pass < 2; ++Pass)
    for (int B = 0; B < 256; ++B) {
      All += char(B);
      Want += char(B >= 'A' && B <= 'Z' ? B + 32 : B);
    }
  for (size_t Cut = 0; Cut < 9; ++Cut) EXPECT_EQ(AsciiLower(All.substr(Cut)), Want.substr(Cut));
  EXPECT_EQ(AsciiUpper("Hello world @["), "HELLO WORLD @[");
}

}  // namespace
