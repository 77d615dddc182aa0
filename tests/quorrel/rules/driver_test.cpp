#include "quorrel/rules/header.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console/console.h"
#include "console/terminal_capture.h"
#include "quorrel/report/output.h"
#include "quorrel/rules/rules.h"

using namespace quorrel;

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

TEST(MatchesAnyFilter, SignatureValuesAreNotSearched) {
  // "offer" inside b= and bh= of every signature field, folded lines included.
  const Lines Signed = {
      "DKIM-Signature: v=1; a=rsa-sha256; d=mail.example; s=sel;",
      "\th=from:to:subject; bh=47DEQpj8HBSa+/OfFeRbodiZp5k=;",
      "\tb=dzdVyOfAKCdLXdJOc9G2q8LoXSlEniSbav+yuU4zGeeruD00lszZ",
      "\t VOfferBASE64ofFeR+x7pQ==",
      "ARC-Seal: i=1; a=rsa-sha256; t=1; cv=none; d=arc.example; s=a; b=xxOFFERyy",
      "ARC-Message-Signature: i=1; d=arc.example; bh=offer; b=OfFeR",
      "X-Google-DKIM-Signature: v=1; d=1e100.net; bh=aoffer=; b=",
      "\t offerzz==",
      "dkim-signature : v=1; b=offer",
      "Subject: Minutes",
      ""};
  EXPECT_FALSE(MatchesAnyFilter(Signed, {"offer"}));
  // Everything else of those fields is searched: names, tag names, other tags.
  EXPECT_TRUE(MatchesAnyFilter(Signed, {"mail.example"}));
  EXPECT_TRUE(MatchesAnyFilter(Signed, {"arc.example"}));
  EXPECT_TRUE(MatchesAnyFilter(Signed, {"h=from:to"}));
  EXPECT_TRUE(MatchesAnyFilter(Signed, {"bh="}));
  EXPECT_TRUE(MatchesAnyFilter(Signed, {"dkim-sig"}));
  EXPECT_TRUE(MatchesAnyFilter(Signed, {"sel;"}));
  EXPECT_TRUE(MatchesAnyFilter(Signed, {"minutes"}));
  // A word cannot be pieced together across a hidden value.
  EXPECT_TRUE(MatchesAnyFilter({"DKIM-Signature: d=x; b=abc; s=y"}, {"; s=y"}));
  EXPECT_FALSE(MatchesAnyFilter({"DKIM-Signature: d=x; b=abc; s=y"}, {"b=; s"}));
}

TEST(MatchesAnyFilter, OnlySignatureFieldsAndOnlyTheirBTagsAreSpared) {
  // The same tags in other fields, and other tags that end in b, are searched.
  EXPECT_TRUE(MatchesAnyFilter({"X-Note: b=offer"}, {"offer"}));
  EXPECT_TRUE(MatchesAnyFilter({"Authentication-Results: mx; dkim=pass header.b=offer"}, {"offer"}));
  EXPECT_TRUE(MatchesAnyFilter({"DKIM-Signature: v=1; xb=offer; b=zz"}, {"offer"}));
  EXPECT_TRUE(MatchesAnyFilter({"DKIM-Signature: v=1; b=zz; s=offer"}, {"offer"}));
  // A new field ends the signature, even one that follows a folded b= value.
  EXPECT_TRUE(MatchesAnyFilter({"DKIM-Signature: b=zz", "\tzz", "Subject: offer"}, {"offer"}));
  EXPECT_TRUE(MatchesAnyFilter({"DKIM-Signature: b=zz", "", " offer"}, {"offer"}));
  EXPECT_TRUE(MatchesAnyFilter({"DKIM-Signatures: b=offer"}, {"offer"}));
}

TEST(MatchesDecodedFields, EncodedFoldedAndInAnyCase) {
  EXPECT_TRUE(MatchesDecodedFields({"Subject: =?UTF-8?B?VmlhZ3Jh?=", ""}, {"viagra"}));
  EXPECT_TRUE(MatchesDecodedFields({"From: =?ISO-8859-1?Q?J=FCrgen?= <j@x.example>"}, {"JÜRGEN"}));
  EXPECT_TRUE(MatchesDecodedFields({"Subject: =?windows-1251?B?wujg4/Dg?="}, {"ВИАГРА"}));
  EXPECT_TRUE(MatchesDecodedFields({"Subject: \xce\x9f\xce\x94\xce\x9f\xce\xa3"}, {"\xce\xbf\xce\xb4\xce\xbf\xcf\x82"}));
  EXPECT_TRUE(MatchesDecodedFields({"Subject: cheap", "\tpills"}, {"cheap pills"}));
  EXPECT_TRUE(MatchesDecodedFields({"Subject: =?UTF-8?B?dmlh?=", " =?UTF-8?B?Z3Jh?="}, {"viagra"}));
  EXPECT_FALSE(MatchesDecodedFields({"Subject: =?UTF-8?B?VmlhZ3Jh?="}, {"vi\xc3\xa4gra", "", "subject:  "}));
  EXPECT_FALSE(MatchesDecodedFields({"Subject: =?UTF-8?B?VmlhZ3Jh?="}, {}));
  // Fields of every kind in one header, each found where it stands.
  const Lines Mixed = {"Received: from a", "\tby b", "X-Plain: cheap", "Subject: =?UTF-8?B?VmlhZ3Jh?=",
                       "X-Folded: cheap", " pills", "To: \xc3\x89LODIE"};
  for (const char* Word : {"a by b", "viagra", "cheap pills", "\xc3\xa9lodie"})
    EXPECT_TRUE(MatchesDecodedFields(Mixed, {Word})) << Word;
  EXPECT_FALSE(MatchesDecodedFields(Mixed, {"cheap viagra"}));
  // Only the header is searched: nothing after its empty line.
  EXPECT_FALSE(MatchesDecodedFields({"Subject: x", "", "=?UTF-8?B?VmlhZ3Jh?="}, {"viagra"}));
}

TEST(MatchesDecodedFields, SignatureValuesAreNotSearchedDecodedEither) {
  const Lines Signed = {"DKIM-Signature: v=1; d=mail.example; b==?UTF-8?B?b2ZmZXI=?=",
                        "\t=?UTF-8?Q?OFFER?=; bh=", " =?UTF-8?Q?offer?=", "Subject: Minutes"};
  EXPECT_FALSE(MatchesDecodedFields(Signed, {"offer"}));
  EXPECT_TRUE(MatchesDecodedFields(Signed, {"MAIL.EXAMPLE"}));
  EXPECT_TRUE(MatchesDecodedFields({"DKIM-Signature: b=x; s==?UTF-8?Q?offer?="}, {"offer"}));
}

TEST(DecodedHeaderValue, UnfoldedAndDecoded) {
  EXPECT_EQ(DecodedHeaderValue({"Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= aus", " =?UTF-8?B?TcO8bmNoZW4=?=", "To: x"},
                               "Subject"),
            "Grüße aus München");
  EXPECT_EQ(DecodedHeaderValue({"Subject: first", "subject: =?UTF-8?Q?second?="}, "Subject"), "second");
  EXPECT_EQ(DecodedHeaderValue({"Subject: =?UTF-8?B?!!?="}, "Subject"), "=?UTF-8?B?!!?=");
  EXPECT_EQ(DecodedHeaderValue({"To: x"}, "Subject"), "");
}

TEST(MaskControls, CaretNotationForC0AndDel) {
  EXPECT_EQ(MaskControls("a\x1b[2J\x07\x7f\t"), "a^[[2J^G^?^I");
  EXPECT_EQ(MaskControls(std::string("x\0y", 3)), "x^@y");
}

TEST(MaskControls, C1ControlsInUtf8AndAsLoneBytes) {
  EXPECT_EQ(MaskControls("a\xc2\x9b" "2Jb"), "aM-^[2Jb");  // U+009B, CSI
  EXPECT_EQ(MaskControls("a\x9b" "2Jb"), "aM-^[2Jb");      // 8-bit CSI
  EXPECT_EQ(MaskControls("\xc2\x80\xc2\x9f\x80\x9d"), "M-^@M-^_M-^@M-^]");
  EXPECT_EQ(MaskControls("a\x9f" "b"), "aM-^_b");  // the last C1 byte, alone
  // Bytes that begin a sequence but are cut short leave the C1 byte alone.
  EXPECT_EQ(MaskControls("\xe2\x9b"), "\xe2M-^[");
  EXPECT_EQ(MaskControls("\xc2"), "\xc2");
  // An overlong ESC is no UTF-8: its bytes stay as they are, neither is C1.
  EXPECT_EQ(MaskControls("\xc0\x9b"), "\xc0M-^[");
}

TEST(MaskControls, WellFormedTextPassesUnchanged) {
  const std::string Text =
      "\xe2\x80\x94 \xe2\x80\x9cquoted\xe2\x80\x9d \xc3\xa9t\xc3\xa9 \xc2\xa0 \xf0\x9f\x98\x80 \xed\x9f\xbf ~";
  EXPECT_EQ(MaskControls(Text), Text);
  // Latin-1 bytes at A0 and above are no controls either.
  EXPECT_EQ(MaskControls("caf\xe9 \xa0\xff"), "caf\xe9 \xa0\xff");
}

TEST(TOutput, WritesThroughWhenAllIsWell) {
  std::string Bytes = CaptureOnPipe([] {
    TOutput Out;
    Out.Write("1:x");
    Out.WriteColoured(" SKIPPED\r\n", 2);
    EXPECT_TRUE(Out.Flush());
    EXPECT_FALSE(Out.Failed());
  });
  EXPECT_EQ(Bytes, "1:x SKIPPED\r\n");
}

TEST(TOutput, NoticesAFullDeviceAtTheFlushAtTheLatest) {
  std::fflush(stdout);
  const int Saved = dup(STDOUT_FILENO);
  const int Full = open("/dev/full", O_WRONLY);
  ASSERT_GE(Full, 0);
  dup2(Full, STDOUT_FILENO);
  StandardOutputChanged();
  bool FlushedOk = true, FailedBefore = true, FailedAfter = false;
  std::string Reason;
  {
    TOutput Out;
    Out.Write("1:x");  // still in the buffer
    FailedBefore = Out.Failed();
    FlushedOk = Out.Flush();
    Out.Write("more");
    FailedAfter = Out.Failed();
    Reason = Out.FailureReason();
  }
  std::clearerr(stdout);
  std::fflush(stdout);  // the buffer is lost, not written to the real output
  dup2(Saved, STDOUT_FILENO);
  close(Saved);
  close(Full);
  std::clearerr(stdout);
  StandardOutputChanged();
  EXPECT_FALSE(FailedBefore);
  EXPECT_FALSE(FlushedOk);
  EXPECT_TRUE(FailedAfter);
  EXPECT_EQ(Reason, std::strerror(ENOSPC));
}

}  // namespace
