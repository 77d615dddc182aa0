// Header lookup, and filter words matched in raw header lines and in the
// header decoded as a reader sees it, through the rules the program judges by.
#include "quorrel/rules/header.h"

#include <gtest/gtest.h>

#include "quorrel/rules/rules.h"

using namespace quorrel;

namespace {

using Lines = std::vector<std::string>;

// Whether the rules of the filter words Words delete a message with Header.
bool Deletes(const Lines& Header, const Lines& Words, bool Decode) {
  TRuleSettings Settings;
  Settings.FilterWords = Words;
  Settings.Decode = Decode;
  TRules Rules;
  EXPECT_TRUE(Rules.Take(Settings));
  return Rules.Judge(Header, true, std::nullopt).Delete;
}
bool Matches(const Lines& Header, const Lines& Words) { return Deletes(Header, Words, false); }
bool MatchesDecoded(const Lines& Header, const Lines& Words) { return Deletes(Header, Words, true); }

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

TEST(FilterWords, CaseInsensitiveSubstringOfAnyLine) {
  Lines Header = {"From: Deals <promo@shop.example>", "Subject: Special OFFER", "X-Spam-Flag: YES", ""};
  EXPECT_TRUE(Matches(Header, {"offer"}));
  EXPECT_TRUE(Matches(Header, {"Offer"}));
  EXPECT_TRUE(Matches(Header, {"PROMO@"}));
  EXPECT_TRUE(Matches(Header, {"spam"}));
  EXPECT_TRUE(Matches(Header, {"nothing", "flag: yes"}));
  EXPECT_FALSE(Matches(Header, {"invoice", "minutes"}));
}

TEST(FilterWords, EmptyListsAndWordsMatchNothing) {
  EXPECT_FALSE(Matches({}, {"offer"}));
  EXPECT_FALSE(Matches({"Subject: offer"}, {}));
  EXPECT_FALSE(Matches({"Subject: offer", ""}, {""}));
  EXPECT_TRUE(Matches({"Subject: offer"}, {"", "OFF"}));
}

TEST(FilterWords, FoldsOnlyAsciiLetters) {
  // \xc4 and \xe4 are not case variants of each other in a byte string.
  EXPECT_FALSE(Matches({"Subject: \xc4rger"}, {"\xe4rger"}));
  EXPECT_TRUE(Matches({"Subject: \xc4RGER"}, {"\xc4rger"}));
  // '@' and '`' differ from 'A'/'a' by the same bit but are not letters.
  EXPECT_FALSE(Matches({"Subject: @"}, {"`"}));
}

TEST(FilterWords, SignatureValuesAreNotSearched) {
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
  EXPECT_FALSE(Matches(Signed, {"offer"}));
  // Everything else of those fields is searched: names, tag names, other tags.
  EXPECT_TRUE(Matches(Signed, {"mail.example"}));
  EXPECT_TRUE(Matches(Signed, {"arc.example"}));
  EXPECT_TRUE(Matches(Signed, {"h=from:to"}));
  EXPECT_TRUE(Matches(Signed, {"bh="}));
  EXPECT_TRUE(Matches(Signed, {"dkim-sig"}));
  EXPECT_TRUE(Matches(Signed, {"sel;"}));
  EXPECT_TRUE(Matches(Signed, {"minutes"}));
  // A word cannot be pieced together across a hidden value.
  EXPECT_TRUE(Matches({"DKIM-Signature: d=x; b=abc; s=y"}, {"; s=y"}));
  EXPECT_FALSE(Matches({"DKIM-Signature: d=x; b=abc; s=y"}, {"b=; s"}));
}

TEST(FilterWords, OnlySignatureFieldsAndOnlyTheirBTagsAreSpared) {
  // The same tags in other fields, and other tags that end in b, are searched.
  EXPECT_TRUE(Matches({"X-Note: b=offer"}, {"offer"}));
  EXPECT_TRUE(Matches({"Authentication-Results: mx; dkim=pass header.b=offer"}, {"offer"}));
  EXPECT_TRUE(Matches({"DKIM-Signature: v=1; xb=offer; b=zz"}, {"offer"}));
  EXPECT_TRUE(Matches({"DKIM-Signature: v=1; b=zz; s=offer"}, {"offer"}));
  // A new field ends the signature, even one that follows a folded b= value.
  EXPECT_TRUE(Matches({"DKIM-Signature: b=zz", "\tzz", "Subject: offer"}, {"offer"}));
  EXPECT_TRUE(Matches({"DKIM-Signature: b=zz", "", " offer"}, {"offer"}));
  EXPECT_TRUE(Matches({"DKIM-Signatures: b=offer"}, {"offer"}));
}

TEST(DecodedFilterWords, EncodedFoldedAndInAnyCase) {
  EXPECT_TRUE(MatchesDecoded({"Subject: =?UTF-8?B?VmlhZ3Jh?=", ""}, {"viagra"}));
  EXPECT_TRUE(MatchesDecoded({"From: =?ISO-8859-1?Q?J=FCrgen?= <j@x.example>"}, {"JÜRGEN"}));
  EXPECT_TRUE(MatchesDecoded({"Subject: =?windows-1251?B?wujg4/Dg?="}, {"ВИАГРА"}));
  EXPECT_TRUE(MatchesDecoded({"Subject: \xce\x9f\xce\x94\xce\x9f\xce\xa3"}, {"\xce\xbf\xce\xb4\xce\xbf\xcf\x82"}));
  EXPECT_TRUE(MatchesDecoded({"Subject: cheap", "\tpills"}, {"cheap pills"}));
  EXPECT_TRUE(MatchesDecoded({"Subject: =?UTF-8?B?dmlh?=", " =?UTF-8?B?Z3Jh?="}, {"viagra"}));
  EXPECT_FALSE(MatchesDecoded({"Subject: =?UTF-8?B?VmlhZ3Jh?="}, {"vi\xc3\xa4gra", "", "subject:  "}));
  EXPECT_FALSE(MatchesDecoded({"Subject: =?UTF-8?B?VmlhZ3Jh?="}, {}));
  // Fields of every kind in one header, each found where it stands.
  const Lines Mixed = {"Received: from a", "\tby b", "X-Plain: cheap", "Subject: =?UTF-8?B?VmlhZ3Jh?=",
                       "X-Folded: cheap", " pills", "To: \xc3\x89LODIE"};
  for (const char* Word : {"a by b", "viagra", "cheap pills", "\xc3\xa9lodie"})
    EXPECT_TRUE(MatchesDecoded(Mixed, {Word})) << Word;
  EXPECT_FALSE(MatchesDecoded(Mixed, {"cheap viagra"}));
  // Only the header is searched: nothing after its empty line.
  EXPECT_FALSE(MatchesDecoded({"Subject: x", "", "=?UTF-8?B?VmlhZ3Jh?="}, {"viagra"}));
}

TEST(DecodedFilterWords, SignatureValuesAreNotSearchedDecodedEither) {
  const Lines Signed = {"DKIM-Signature: v=1; d=mail.example; b==?UTF-8?B?b2ZmZXI=?=",
                        "\t=?UTF-8?Q?OFFER?=; bh=", " =?UTF-8?Q?offer?=", "Subject: Minutes"};
  EXPECT_FALSE(MatchesDecoded(Signed, {"offer"}));
  EXPECT_TRUE(MatchesDecoded(Signed, {"MAIL.EXAMPLE"}));
  EXPECT_TRUE(MatchesDecoded({"DKIM-Signature: b=x; s==?UTF-8?Q?offer?="}, {"offer"}));
}

TEST(DecodedHeaderValue, UnfoldedAndDecoded) {
  EXPECT_EQ(DecodedHeaderValue({"Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= aus", " =?UTF-8?B?TcO8bmNoZW4=?=", "To: x"},
                               "Subject"),
            "Grüße aus München");
  EXPECT_EQ(DecodedHeaderValue({"Subject: first", "subject: =?UTF-8?Q?second?="}, "Subject"), "second");
  EXPECT_EQ(DecodedHeaderValue({"Subject: =?UTF-8?B?!!?="}, "Subject"), "=?UTF-8?B?!!?=");
  EXPECT_EQ(DecodedHeaderValue({"To: x"}, "Subject"), "");
}

}  // namespace
