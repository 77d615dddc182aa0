#include "codec/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "netutil/netutil.h"
#include "support/process.h"

using namespace quorrel;

namespace {

std::string Hex(const std::string& Digest) { return BytesToHex(Digest); }

// Deterministic bytes of every value, different for every length.
std::string Sample(size_t Length) {
  std::string S(Length, '\0');
  uint32_t X = 2463534242u ^ static_cast<uint32_t>(Length);
  for (auto& C : S) {
    X ^= X << 13;
    X ^= X >> 17;
    X ^= X << 5;
    C = static_cast<char>(X >> 24);
  }
  return S;
}

bool AllZero(const Md5Context& Context) {
  Md5Context Zero;
  std::memset(&Zero, 0, sizeof Zero);
  return std::memcmp(&Context, &Zero, sizeof Zero) == 0;
}

TEST(Md5, Rfc1321Suite) {
  const std::pair<const char*, const char*> Suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [Text, Expected] : Suite) {
    std::string Digest = Md5Digest(Text);
    EXPECT_EQ(Digest.size(), 16u);
    EXPECT_EQ(Hex(Digest), Expected) << Text;
  }
  // The APOP example of RFC 1939.
  EXPECT_EQ(Hex(Md5Digest("<1896.697170952@dbc.mtview.ca.us>tanstaaf")), "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(Md5, EveryLengthUpTo300MatchesAnIndependentDigest) {
  ASSERT_TRUE(HaveProgram("md5sum"));
  std::string Dir = MakeTempDir("quorrel-md5");
  ASSERT_FALSE(Dir.empty());
  for (size_t Length = 0; Length <= 300; ++Length) WriteFile(Dir + "/" + std::to_string(Length), Sample(Length));
  std::string Output;
  ASSERT_EQ(RunCommand("cd '" + Dir + "' && md5sum *", &Output), 0);
  RemoveTree(Dir);

  std::map<size_t, std::string> Reference;
  std::istringstream Lines(Output);
  std::string Digest, Name;
  while (Lines >> Digest >> Name) Reference[std::stoul(Name)] = Digest;
  ASSERT_EQ(Reference.size(), 301u);
  for (size_t Length = 0; Length <= 300; ++Length)
    EXPECT_EQ(Hex(Md5Digest(Sample(Length))), Reference[Length]) << Length;
}

TEST(Md5, PiecesOfAnySizeGiveTheSameDigest) {
  std::mt19937 Random(12345);
  for (int Round = 0; Round < 200; ++Round) {
    std::string Message = Sample(Random() % 700);
    Md5Context Context;
    Md5Begin(Context);
    size_t At = 0;
    while (At < Message.size()) {
      // Empty pieces are frequent; some span several blocks.
      size_t Piece = Random() % 4 == 0 ? 0 : Random() % (Random() % 2 ? 9 : 150);
      Piece = std::min(Piece, Message.size() - At);
      Md5Add(Context, std::string_view(Message).substr(At, Piece));
      At += Piece;
    }
    Md5Add(Context, "");
    Md5Add(Context, nullptr, 0);
    EXPECT_EQ(Md5End(Context), Md5Digest(Message)) << Message.size();
    EXPECT_TRUE(AllZero(Context));
  }
}

TEST(Md5, ContextLayoutAndBitCount) {
  Md5Context Context;
  std::memset(&Context, 0xAB, sizeof Context);
  Md5Begin(Context);
  EXPECT_EQ(Context.State[0], 0x67452301u);
  EXPECT_EQ(Context.State[3], 0x10325476u);
  EXPECT_EQ(Context.BitCount[0], 0u);
  EXPECT_EQ(Context.Block[63], 0);

  Md5Add(Context, "abcdefghij");
  EXPECT_EQ(Context.BitCount[0], 80u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Context.Block), 10), "abcdefghij");
  Md5Add(Context, std::string(64, 'z'));
  EXPECT_EQ(Context.BitCount[0], 592u);
  EXPECT_EQ(Context.Block[9], 'z');  // 74 bytes fed: 10 wait in the block

  // The low word carries into the high one.
  Context.BitCount[0] = 0xFFFFFFF0u;
  Context.BitCount[1] = 7;
  Md5Add(Context, "xy");
  EXPECT_EQ(Context.BitCount[0], 0u);
  EXPECT_EQ(Context.BitCount[1], 8u);
  Md5End(Context);
  EXPECT_TRUE(AllZero(Context));
}

TEST(Base64, Rfc4648Vectors) {
  const std::pair<const char*, const char*> Vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [Text, Expected] : Vectors) {
    EXPECT_EQ(ToBase64(Text), Expected) << Text;
    EXPECT_EQ(FromBase64(Expected), Text) << Expected;
  }
  // Padding may be left out; a byte outside the alphabet or a length no
  // encoding has is refused.
  EXPECT_EQ(FromBase64("Zm8"), "fo");
  for (const char* Bad : {"Z", "Zm9vY", "Zm9v\r\n", "Zm 9v", "Zm9v====", "Zg=a"})
    EXPECT_EQ(FromBase64(Bad), std::nullopt) << Bad;
  EXPECT_EQ(ToBase64("user:secret"), "dXNlcjpzZWNyZXQ=");
  EXPECT_EQ(ToBase64(std::string("\xFF\xFE\x00\xFB\xEF\xBE", 6)), "//4A++++");
  EXPECT_EQ(ToBase64(std::string(1, '\0')), "AA==");
}

TEST(Base64, SextetsFollowTheGivenTable) {
  std::string Table;
  for (int I = 0; I < 64; ++I) Table += static_cast<char>('!' + I);
  Table += '~';
  // 00 10 83 -> sextets 0, 1, 2, 3; one leftover byte FF -> 63, 48, pad, pad.
  EXPECT_EQ(EncodeSextets(std::string("\x00\x10\x83\xFF", 4), Table), "!\"#$`Q~~");
  for (size_t N = 0; N < 20; ++N) EXPECT_EQ(ToBase64(Sample(N)).size(), (N + 2) / 3 * 4);
}

}  // namespace
