#include "codec/header_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "codec/codec.h"

using namespace quorrel;

namespace {

// One table row: header text and what decoding it must give.
struct TDecodeCase {
  std::string Text, Want;
};

void ExpectDecodedAs(const std::vector<TDecodeCase>& Cases) {
  for (const auto& C : Cases) EXPECT_EQ(DecodeEncodedWords(C.Text), C.Want) << C.Text;
}

std::string Decoded(const std::vector<std::string>& Lines) {
  std::string All;
  for (const std::string& Field : UnfoldHeader(Lines)) All += DecodeEncodedWords(Field) + "\n";
  return All;
}

TEST(UnfoldHeader, ContinuationLinesJoinTheirField) {
  const std::vector<std::string> Lines = {
      " orphan continuation", "Subject: cheap", " pills", "\tnow", "X-Spam: no", "", "Body: not a field", " nor this"};
  EXPECT_EQ(UnfoldHeader(Lines),
            (std::vector<std::string>{" orphan continuation", "Subject: cheap pills now", "X-Spam: no"}));
  // Blanks after the fold's own are kept: only the line break goes.
  EXPECT_EQ(UnfoldHeader(std::vector<std::string>{"To: a,", "    b"}), std::vector<std::string>{"To: a,    b"});
  EXPECT_TRUE(UnfoldHeader(std::vector<std::string>{}).empty());
  EXPECT_TRUE(UnfoldHeader(std::vector<std::string>{""}).empty());
}

TEST(DecodeEncodedWords, CharsetsAndEncodings) {
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?B?VmlhZ3Jh?="), "Viagra");
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?B?R3LDvMOfZQ==?="), "Grüße");
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?B?R3LDvMOfZQ?="), "Grüße");  // padding left out
  EXPECT_EQ(DecodeEncodedWords("=?utf-8?q?Gr=C3=BC=c3=9fe?="), "Grüße");
  EXPECT_EQ(DecodeEncodedWords("=?ISO-8859-1?Q?Gr=FC=DFe?="), "Grüße");
  // A4 is the euro sign in ISO-8859-15 and the currency sign in ISO-8859-1.
  EXPECT_EQ(DecodeEncodedWords("=?ISO-8859-15?B?UHJlaXM6IDEwMCCk?="), "Preis: 100 €");
  EXPECT_EQ(DecodeEncodedWords("=?ISO-8859-1?B?UHJlaXM6IDEwMCCk?="), "Preis: 100 ¤");
  EXPECT_EQ(DecodeEncodedWords("=?windows-1251?B?wujg4/Dg?="), "Виагра");
  EXPECT_EQ(DecodeEncodedWords("=?Windows-1251?Q?=C2=E8=E0=E3=F0=E0_=F1=EA=E8=E4=EA=E0?="), "Виагра скидка");
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8*en?Q?hello_world?="), "hello world");  // language suffix
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?B?" "?="), "");
}

TEST(DecodeEncodedWords, BlanksBetweenAdjacentWordsAreDropped) {
  ExpectDecodedAs({
      {"Subject: =?UTF-8?B?dmlh?= \t =?UTF-8?B?Z3Jh?= now", "Subject: viagra now"},
      // Blanks next to ordinary text stay, and so does text glued to a word.
      {"Re:  =?UTF-8?Q?W=C3=B6rld?=  again", "Re:  Wörld  again"},
      {"x=?UTF-8?Q?y?=z", "xyz"},
      {"=?UTF-8?Q?a?= b =?UTF-8?Q?c?=", "a b c"},
      // Different charsets in one run.
      {"=?ISO-8859-1?Q?=E9t=E9?= =?windows-1251?B?wujg4/Dg?=", "étéВиагра"},
  });
}

TEST(DecodeEncodedWords, CharacterCutBetweenTwoWordsComesOutWhole) {
  // C3 | BC C3 9F: both the first and the second character of the pair are cut.
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?Q?Gr=C3?= =?UTF-8?Q?=BC=C3?= =?utf-8?B?n2U=?="), "Grüße");
}

TEST(DecodeEncodedWords, WordAndPhraseSplitAcrossAFold) {
  EXPECT_EQ(Decoded({"Subject: =?UTF-8?B?0JLQuNCw?=", " =?UTF-8?B?0LPRgNCw?=", "From: a@b"}),
            "Subject: Виагра\nFrom: a@b\n");
  EXPECT_EQ(Decoded({"Subject: =?ISO-8859-1?Q?Gr=FC=DFe_aus?=", "\t=?ISO-8859-1?Q?_M=FCnchen?="}),
            "Subject: Grüße aus München\n");
  EXPECT_EQ(Decoded({"Subject: buy cheap", "\tpills today"}), "Subject: buy cheap pills today\n");
  // A word broken inside by the fold holds a blank once unfolded: not a word.
  EXPECT_EQ(Decoded({"Subject: =?UTF-8?Q?Via", " gra?="}), "Subject: =?UTF-8?Q?Via gra?=\n");
}

TEST(DecodeEncodedWords, MalformedWordsStayAsTheyAre) {
  const char* const Malformed[] = {
      "=?UTF-8?B?!!!!?=",         // not Base64
      "=?UTF-8?B?VmlhZ3JhZ?=",    // a length no encoder writes
      "=?UTF-8?B?Vm=lh?=",        // padding inside
      "=?UTF-8?Q?a=G0?=",         // not hexadecimal
      "=?UTF-8?Q?abc=?=",         // escape cut short
      "=?UTF-8?X?abc?=",          // no such encoding
      "=?UTF-8?QQ?abc?=",         //
      "=?X-NO-SUCH-CHARSET?Q?abc?=",
      "=??Q?abc?=",               // no charset
      "=?*en?Q?abc?=",            //
      "=?../../tmp/x?Q?abc?=",    // not a charset name
      "=?UTF-8?Q?abc",            // not ended
      "=?UTF-8?Q?a c?=",          // a blank inside
      "=?UTF-8?Q?=FF=FE?=",       // not UTF-8
      "=?US-ASCII?Q?=E9?=",       // not in the charset
      "=?UTF-8?B?",
      "=?",
  };
  for (const char* Word : Malformed) EXPECT_EQ(DecodeEncodedWords(Word), Word) << Word;
  ExpectDecodedAs({
      {"=?" + std::string(100, 'U') + "?Q?abc?=", "=?" + std::string(100, 'U') + "?Q?abc?="},
      // A malformed word keeps the blanks around it; its neighbours are decoded.
      {"=?UTF-8?Q?a?= =?UTF-8?B?@@?= =?UTF-8?Q?b?=", "a =?UTF-8?B?@@?= b"},
      {"=?UTF-8?Q?a?=  =?UTF-8?Q?=FF?= =?UTF-8?Q?b?=", "a  =?UTF-8?Q?=FF?= b"},
      // A failed start does not hide a word right after it.
      {"=?=?UTF-8?Q?ok?=", "=?ok"},
      {"=?UTF-8?Q?=?UTF-8?Q?ok?=", "=?UTF-8?Q?ok"},
      // Raw 8-bit text outside words passes unchanged.
      {"caf\xE9 =?UTF-8?Q?x?=", "caf\xE9 x"},
  });
}

TEST(DecodeEncodedWords, DecodedLineBreaksBecomeBlanks) {
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?Q?a=0D=0Ab?="), "a  b");
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?B?Mg0KMzpGYWtl?="), "2  3:Fake");
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?Q?a=00b?="), std::string("a\0b", 3));
}

TEST(DecodeEncodedWords, GrowthIsBounded) {
  // In TSCII the byte 82 is a syllable of four characters, 12 bytes of UTF-8.
  EXPECT_EQ(DecodeEncodedWords("=?TSCII?Q?=82?="), "\u0BB8\u0BCD\u0BB0\u0BC0");
  const std::string Greedy = "=?TSCII?B?" + ToBase64(std::string(60, '\x82')) + "?=";
  EXPECT_EQ(DecodeEncodedWords(Greedy), Greedy);
  // Adjacent words in one charset are converted as one piece; when each alone
  // grows past the bound, the pair and then each word are refused, and the
  // line stays as written, blank included.
  EXPECT_EQ(DecodeEncodedWords(Greedy + " " + Greedy), Greedy + " " + Greedy);
  // Many small words that each stay within the bound still do as a run.
  std::string Line;
  for (int I = 0; I < 200; ++I) Line += "=?TSCII?Q?=82?= ";
  EXPECT_LE(DecodeEncodedWords(Line).size(), 4 * Line.size());
}

// Linear in the input: at a quadratic cost each of these lines would take
// minutes; the bound allows for a slow, shared machine.
TEST(DecodeEncodedWords, HostileLinesCostLinearTime) {
  auto Repeat = [](const std::string& Piece, size_t Times) {
    std::string Line = "Subject: ";
    for (size_t I = 0; I < Times; ++I) Line += Piece;
    return Line;
  };
  const std::string Unknown = Repeat("=?X-UNKNOWN?B?VmlhZ3Jh?= ", 10000);
  const std::string Lines[] = {
      Repeat("=?UTF-8?B?VmlhZ3Jh?= ", 100000),
      Unknown,
      Repeat("=?UTF-8?B?!!!!!!!!?= ", 100000),
      Repeat("=?UTF-8?Q?=FF?= ", 100000),
      Repeat("=?ISO-8859-1?Q?a?==?ISO-8859-15?Q?b?==?UTF-8?Q?c?==?KOI8-R?Q?d?==?CP1252?Q?e?==?CP1251?Q?f?==?UTF-16?B?AGcAaA==?==?ISO-8859-2?Q?i?==?ISO-8859-5?Q?j?=",
             5000),
      Repeat("=?", 500000),
      Repeat("=?a?", 300000),
      Repeat("=?a?Q?", 200000),
      "=?UTF-8?Q?" + std::string(2000000, 'a'),
      "=?" + std::string(2000000, 'a'),
  };
  const auto Start = std::chrono::steady_clock::now();
  for (const std::string& Line : Lines) EXPECT_LE(DecodeEncodedWords(Line).size(), 4 * Line.size());
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(60));
  EXPECT_EQ(DecodeEncodedWords(Unknown), Unknown);
  EXPECT_EQ(DecodeEncodedWords(Repeat("=?UTF-8?B?VmlhZ3Jh?= ", 10000)), "Subject: " + Repeat("Viagra", 10000).substr(9) + " ");
}

TEST(FoldCase, LettersOfEveryScriptMeet) {
  EXPECT_EQ(FoldCase("ViAgRa 123 !?"), "viagra 123 !?");
  EXPECT_EQ(FoldCase("GRÜSSE"), FoldCase("grüsse"));
  EXPECT_EQ(FoldCase("STRASSE"), FoldCase("Straße"));
  EXPECT_EQ(FoldCase("ÉTÉ À ÇA ÑANDÚ Œuvre"), "été à ça ñandú œuvre");
  EXPECT_EQ(FoldCase("ΟΔΟΣ"), FoldCase("οδος"));
  EXPECT_EQ(FoldCase("ΟΔΟΣ"), FoldCase("οδος"));  // final sigma
  EXPECT_EQ(FoldCase("ΕΛΛΗΝΙΚΆ"), "ελληνικά");
  EXPECT_EQ(FoldCase("ВИАГРА Ёж"), "виагра ёж");
  EXPECT_EQ(FoldCase("ВІТАЮ ЇЖАК"), "вітаю їжак");
  // A combining accent meets the precomposed letter.
  EXPECT_EQ(FoldCase("E\u0301COLE"), FoldCase("école"));
  // Bytes that are not UTF-8 pass through; ASCII around them is still folded.
  EXPECT_EQ(FoldCase("A\xFF" "B\xC3"), "a\xFF" "b\xC3");
  EXPECT_EQ(FoldCase(""), "");
}

}  // namespace
