#include "quorrel/driver.h"

#include <gtest/gtest.h>

#include "console/console.h"
#include "console/terminal_capture.h"

namespace {

using Lines = std::vector<std::string>;

TEST(HeaderValue, FindsTheNamedHeaderInAnyCase) {
  EXPECT_EQ(HeaderValue({"From: a@b.example", "Subject: Hello", ""}, "Subject"), "Hello");
  EXPECT_EQ(HeaderValue({"subject: Hello"}, "Subject"), "Hello");
  EXPECT_EQ(HeaderValue({"SUBJECT: Hello"}, "subject"), "Hello");
}

TEST(HeaderValue, MissingHeaderGivesEmptyText) {
  EXPECT_EQ(HeaderValue({"From: a@b.example", "To: c@d.example", ""}, "Subject"), "");
  EXPECT_EQ(HeaderValue({}, "Subject"), "");
}

TEST(HeaderValue, LastMatchWins) {
  EXPECT_EQ(HeaderValue({"Subject: first", "X: y", "Subject: second"}, "Subject"), "second");
  // A later bare header empties the value found before it.
  EXPECT_EQ(HeaderValue({"Subject: first", "Subject:"}, "Subject"), "");
}

TEST(HeaderValue, AlwaysSkipsTwoBytesAfterTheName) {
  EXPECT_EQ(HeaderValue({"SUBJECT:Hi"}, "Subject"), "i");
  EXPECT_EQ(HeaderValue({"Subject: "}, "Subject"), "");
  EXPECT_EQ(HeaderValue({"Subject:  x"}, "Subject"), " x");
  EXPECT_EQ(HeaderValue({"Subject: a  "}, "Subject"), "a  ");  // no trimming
  // A prefix test on the raw line: a longer header name matches too.
  EXPECT_EQ(HeaderValue({"Subjects: many"}, "Subject"), " many");
  EXPECT_EQ(HeaderValue({" Subject: folded"}, "Subject"), "");
}

TEST(HeaderValue, LeavesNonAsciiAndEncodedWordsAlone) {
  EXPECT_EQ(HeaderValue({"Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?="}, "Subject"), "=?UTF-8?Q?Gr=C3=BC=C3=9Fe?=");
  EXPECT_EQ(HeaderValue({"Subject: Gr\xc3\xbc\xc3\x9f" "e"}, "Subject"), "Gr\xc3\xbc\xc3\x9f" "e");
}

TEST(MatchesAnyFilter, CaseInsensitiveSubstringOfAnyLine) {
  Lines Header = {"From: Deals <promo@shop.example>", "Subject: Special OFFER", "X-Spam-Flag: YES", ""};
  EXPECT_TRUE(MatchesAnyFilter(Header, {"offer"}));
  EXPECT_TRUE(MatchesAnyFilter(Header, {"Offer"}));
  EXPECT_TRUE(MatchesAnyFilter(Header, {"PROMO@"}));
  EXPECT_TRUE(MatchesAnyFilter(Header, {"spam"}));
  EXPECT_TRUE(MatchesAnyFilter(Header, {"nothing", "flag: yes"}));
  EXPECT_FALSE(MatchesAnyFilter(Header, {"invoice", "minutes"}));
}

TEST(MatchesAnyFilter, EmptyListsAndWordsMatchNothing) {
  EXPECT_FALSE(MatchesAnyFilter({}, {"offer"}));
  EXPECT_FALSE(MatchesAnyFilter({"Subject: offer"}, {}));
  EXPECT_FALSE(MatchesAnyFilter({"Subject: offer", ""}, {""}));
  EXPECT_TRUE(MatchesAnyFilter({"Subject: offer"}, {"", "OFF"}));
}

TEST(MatchesAnyFilter, FoldsOnlyAsciiLetters) {
  // \xc4 and \xe4 are not case variants of each other in a byte string.
  EXPECT_FALSE(MatchesAnyFilter({"Subject: \xc4rger"}, {"\xe4rger"}));
  EXPECT_TRUE(MatchesAnyFilter({"Subject: \xc4RGER"}, {"\xc4rger"}));
  // '@' and '`' differ from 'A'/'a' by the same bit but are not letters.
  EXPECT_FALSE(MatchesAnyFilter({"Subject: @"}, {"`"}));
}

TEST(WriteColoured, OnATerminalColoursTheTextAndRestoresTheWord) {
  uint16_t After = 0;
  std::string Bytes = CaptureOnTerminal([&] {
    SetTextAttributes(0x07);
    WriteColoured(" DELETED\r\n", 14);
    WriteColoured(" SKIPPED\r\n", 2);
    After = CurrentTextAttributes();
  });
  EXPECT_EQ(Bytes,
            "\x1b[0m"
            "\x1b[0;93m DELETED\r\n\x1b[0m"
            "\x1b[0;32m SKIPPED\r\n\x1b[0m");
  EXPECT_EQ(After, 0x07);
}

TEST(WriteColoured, RestoresBothColourNibbles) {
  uint16_t After = 0;
  std::string Bytes = CaptureOnTerminal([&] {
    SetTextAttributes(0x1F);
    WriteColoured("x", 2);
    After = CurrentTextAttributes();
    SetTextAttributes(0x07);
  });
  EXPECT_EQ(Bytes, "\x1b[0;97;44m\x1b[0;32;44mx\x1b[0;97;44m\x1b[0m");
  EXPECT_EQ(After, 0x1F);
}

TEST(WriteColoured, OffATerminalWritesOnlyTheText) {
  EXPECT_EQ(CaptureOnPipe([] { WriteColoured(" DELETED\r\n", 14); }), " DELETED\r\n");
}

}  // namespace
