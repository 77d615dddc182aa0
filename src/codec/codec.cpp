#include "codec/codec.h"

#include <array>
#include <cstring>

#include "netutil/netutil.h"

namespace quorrel {

namespace {

inline uint32_t RotateLeft(uint32_t X, int N) { return (X << N) | (X >> (32 - N)); }

// The four auxiliary functions, in forms that need fewer operations than the
// textbook ones but give the same bits.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define MD5_STEP(f, a, b, c, d, x, t, s) \
  do {                                   \
    (a) += f((b), (c), (d)) + (x) + (t); \
    (a) = RotateLeft((a), (s)) + (b);    \
  } while (0)

// Compresses Count consecutive 64-byte blocks into State.
void Compress(uint32_t State[4], const uint8_t* Data, size_t Count) {
  uint32_t A = State[0], B = State[1], C = State[2], D = State[3];
  for (; Count > 0; --Count, Data += 64) {
    uint32_t X[16];
    for (int I = 0; I < 16; ++I) X[I] = LoadLe32(Data + 4 * I);
    const uint32_t AA = A, BB = B, CC = C, DD = D;

    MD5_STEP(MD5_F, A, B, C, D, X[0], 0xd76aa478, 7);
    MD5_STEP(MD5_F, D, A, B, C, X[1], 0xe8c7b756, 12);
    MD5_STEP(MD5_F, C, D, A, B, X[2], 0x242070db, 17);
    MD5_STEP(MD5_F, B, C, D, A, X[3], 0xc1bdceee, 22);
    MD5_STEP(MD5_F, A, B, C, D, X[4], 0xf57c0faf, 7);
    MD5_STEP(MD5_F, D, A, B, C, X[5], 0x4787c62a, 12);
    MD5_STEP(MD5_F, C, D, A, B, X[6], 0xa8304613, 17);
    MD5_STEP(MD5_F, B, C, D, A, X[7], 0xfd469501, 22);
    MD5_STEP(MD5_F, A, B, C, D, X[8], 0x698098d8, 7);
    MD5_STEP(MD5_F, D, A, B, C, X[9], 0x8b44f7af, 12);
    MD5_STEP(MD5_F, C, D, A, B, X[10], 0xffff5bb1, 17);
    MD5_STEP(MD5_F, B, C, D, A, X[11], 0x895cd7be, 22);
    MD5_STEP(MD5_F, A, B, C, D, X[12], 0x6b901122, 7);
    MD5_STEP(MD5_F, D, A, B, C, X[13], 0xfd987193, 12);
    MD5_STEP(MD5_F, C, D, A, B, X[14], 0xa679438e, 17);
    MD5_STEP(MD5_F, B, C, D, A, X[15], 0x49b40821, 22);

    MD5_STEP(MD5_G, A, B, C, D, X[1], 0xf61e2562, 5);
    MD5_STEP(MD5_G, D, A, B, C, X[6], 0xc040b340, 9);
    MD5_STEP(MD5_G, C, D, A, B, X[11], 0x265e5a51, 14);
    MD5_STEP(MD5_G, B, C, D, A, X[0], 0xe9b6c7aa, 20);
    MD5_STEP(MD5_G, A, B, C, D, X[5], 0xd62f105d, 5);
    MD5_STEP(MD5_G, D, A, B, C, X[10], 0x02441453, 9);
    MD5_STEP(MD5_G, C, D, A, B, X[15], 0xd8a1e681, 14);
    MD5_STEP(MD5_G, B, C, D, A, X[4], 0xe7d3fbc8, 20);
    MD5_STEP(MD5_G, A, B, C, D, X[9], 0x21e1cde6, 5);
    MD5_STEP(MD5_G, D, A, B, C, X[14], 0xc33707d6, 9);
    MD5_STEP(MD5_G, C, D, A, B, X[3], 0xf4d50d87, 14);
    MD5_STEP(MD5_G, B, C, D, A, X[8], 0x455a14ed, 20);
    MD5_STEP(MD5_G, A, B, C, D, X[13], 0xa9e3e905, 5);
    MD5_STEP(MD5_G, D, A, B, C, X[2], 0xfcefa3f8, 9);
    MD5_STEP(MD5_G, C, D, A, B, X[7], 0x676f02d9, 14);
    MD5_STEP(MD5_G, B, C, D, A, X[12], 0x8d2a4c8a, 20);

    MD5_STEP(MD5_H, A, B, C, D, X[5], 0xfffa3942, 4);
    MD5_STEP(MD5_H, D, A, B, C, X[8], 0x8771f681, 11);
    MD5_STEP(MD5_H, C, D, A, B, X[11], 0x6d9d6122, 16);
    MD5_STEP(MD5_H, B, C, D, A, X[14], 0xfde5380c, 23);
    MD5_STEP(MD5_H, A, B, C, D, X[1], 0xa4beea44, 4);
    MD5_STEP(MD5_H, D, A, B, C, X[4], 0x4bdecfa9, 11);
    MD5_STEP(MD5_H, C, D, A, B, X[7], 0xf6bb4b60, 16);
    MD5_STEP(MD5_H, B, C, D, A, X[10], 0xbebfbc70, 23);
    MD5_STEP(MD5_H, A, B, C, D, X[13], 0x289b7ec6, 4);
    MD5_STEP(MD5_H, D, A, B, C, X[0], 0xeaa127fa, 11);
    MD5_STEP(MD5_H, C, D, A, B, X[3], 0xd4ef3085, 16);
    MD5_STEP(MD5_H, B, C, D, A, X[6], 0x04881d05, 23);
    MD5_STEP(MD5_H, A, B, C, D, X[9], 0xd9d4d039, 4);
    MD5_STEP(MD5_H, D, A, B, C, X[12], 0xe6db99e5, 11);
    MD5_STEP(MD5_H, C, D, A, B, X[15], 0x1fa27cf8, 16);
    MD5_STEP(MD5_H, B, C, D, A, X[2], 0xc4ac5665, 23);

    MD5_STEP(MD5_I, A, B, C, D, X[0], 0xf4292244, 6);
    MD5_STEP(MD5_I, D, A, B, C, X[7], 0x432aff97, 10);
    MD5_STEP(MD5_I, C, D, A, B, X[14], 0xab9423a7, 15);
    MD5_STEP(MD5_I, B, C, D, A, X[5], 0xfc93a039, 21);
    MD5_STEP(MD5_I, A, B, C, D, X[12], 0x655b59c3, 6);
    MD5_STEP(MD5_I, D, A, B, C, X[3], 0x8f0ccc92, 10);
    MD5_STEP(MD5_I, C, D, A, B, X[10], 0xffeff47d, 15);
    MD5_STEP(MD5_I, B, C, D, A, X[1], 0x85845dd1, 21);
    MD5_STEP(MD5_I, A, B, C, D, X[8], 0x6fa87e4f, 6);
    MD5_STEP(MD5_I, D, A, B, C, X[15], 0xfe2ce6e0, 10);
    MD5_STEP(MD5_I, C, D, A, B, X[6], 0xa3014314, 15);
    MD5_STEP(MD5_I, B, C, D, A, X[13], 0x4e0811a1, 21);
    MD5_STEP(MD5_I, A, B, C, D, X[4], 0xf7537e82, 6);
    MD5_STEP(MD5_I, D, A, B, C, X[11], 0xbd3af235, 10);
    MD5_STEP(MD5_I, C, D, A, B, X[2], 0x2ad7d2bb, 15);
    MD5_STEP(MD5_I, B, C, D, A, X[9], 0xeb86d391, 21);

    A += AA;
    B += BB;
    C += CC;
    D += DD;
  }
  State[0] = A;
  State[1] = B;
  State[2] = C;
  State[3] = D;
}

#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

}  // namespace

const char Base64Table[66] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

void Md5Begin(Md5Context& Context) {
  std::memset(&Context, 0, sizeof Context);
  Context.State[0] = 0x67452301;
  Context.State[1] = 0xefcdab89;
  Context.State[2] = 0x98badcfe;
  Context.State[3] = 0x10325476;
}

void Md5Add(Md5Context& Context, const void* Bytes, size_t Count) {
  const uint8_t* Data = static_cast<const uint8_t*>(Bytes);
  size_t Used = (Context.BitCount[0] >> 3) & 63;

  uint64_t Bits = (static_cast<uint64_t>(Context.BitCount[1]) << 32 | Context.BitCount[0]) +
                  (static_cast<uint64_t>(Count) << 3);
  Context.BitCount[0] = static_cast<uint32_t>(Bits);
  Context.BitCount[1] = static_cast<uint32_t>(Bits >> 32);

  if (Used > 0) {
    size_t Free = 64 - Used;
    if (Count < Free) {
      if (Count) std::memcpy(Context.Block + Used, Data, Count);
      return;
    }
    std::memcpy(Context.Block + Used, Data, Free);
    Compress(Context.State, Context.Block, 1);
    Data += Free;
    Count -= Free;
  }
  if (Count >= 64) {
    Compress(Context.State, Data, Count / 64);
    Data += Count & ~static_cast<size_t>(63);
    Count &= 63;
  }
  if (Count) std::memcpy(Context.Block, Data, Count);
}

void Md5Add(Md5Context& Context, std::string_view Bytes) { Md5Add(Context, Bytes.data(), Bytes.size()); }

std::string Md5End(Md5Context& Context) {
  const uint32_t Low = Context.BitCount[0];
  const uint32_t High = Context.BitCount[1];
  size_t Used = (Low >> 3) & 63;

  Context.Block[Used++] = 0x80;
  if (Used > 56) {
    std::memset(Context.Block + Used, 0, 64 - Used);
    Compress(Context.State, Context.Block, 1);
    Used = 0;
  }
  std::memset(Context.Block + Used, 0, 56 - Used);
  StoreLe32(Context.Block + 56, Low);
  StoreLe32(Context.Block + 60, High);
  Compress(Context.State, Context.Block, 1);

  std::string Digest(16, '\0');
  uint8_t* Out = reinterpret_cast<uint8_t*>(Digest.data());
  for (int I = 0; I < 4; ++I) StoreLe32(Out + 4 * I, Context.State[I]);
  std::memset(&Context, 0, sizeof Context);
  return Digest;
}

std::string Md5Digest(std::string_view Bytes) {
  Md5Context Context;
  Md5Begin(Context);
  Md5Add(Context, Bytes);
  return Md5End(Context);
}

std::string EncodeSextets(std::string_view Bytes, std::string_view Table) {
  const size_t N = Bytes.size();
  std::string Result((N + 2) / 3 * 4, '\0');
  const unsigned char* In = reinterpret_cast<const unsigned char*>(Bytes.data());
  char* Out = Result.data();
  size_t I = 0;
  for (; I + 3 <= N; I += 3) {
    unsigned B0 = In[I], B1 = In[I + 1], B2 = In[I + 2];
    *Out++ = Table[B0 >> 2];
    *Out++ = Table[((B0 & 3) << 4) | (B1 >> 4)];
    *Out++ = Table[((B1 & 15) << 2) | (B2 >> 6)];
    *Out++ = Table[B2 & 63];
  }
  if (N - I == 2) {
    unsigned B0 = In[I], B1 = In[I + 1];
    *Out++ = Table[B0 >> 2];
    *Out++ = Table[((B0 & 3) << 4) | (B1 >> 4)];
    *Out++ = Table[(B1 & 15) << 2];
    *Out++ = Table[64];
  } else if (N - I == 1) {
    unsigned B0 = In[I];
    *Out++ = Table[B0 >> 2];
    *Out++ = Table[(B0 & 3) << 4];
    *Out++ = Table[64];
    *Out++ = Table[64];
  }
  return Result;
}

std::string ToBase64(std::string_view Bytes) { return EncodeSextets(Bytes, std::string_view(Base64Table, 65)); }

namespace {

// The value of each Base64 character, -1 for the others; built from the
// encoder's own table.
const std::array<int8_t, 256>& Base64Values() {
  static const std::array<int8_t, 256> Values = [] {
    std::array<int8_t, 256> V;
    V.fill(-1);
    for (int I = 0; I < 64; ++I) V[static_cast<unsigned char>(Base64Table[I])] = static_cast<int8_t>(I);
    return V;
  }();
  return Values;
}

}  // namespace

// Padding is optional: encoded words and SASL peers both leave it out at times.
std::optional<std::string> FromBase64(std::string_view Text) {
  size_t Length = Text.size();
  if (Length % 4 == 0 && Length > 0 && Text[Length - 1] == '=') --Length;
  if (Length % 4 == 3 && Length > 0 && Text[Length - 1] == '=') --Length;
  if (Length % 4 == 1) return std::nullopt;
  std::string Out;
  Out.reserve(Length / 4 * 3 + 2);
  const auto& Values = Base64Values();
  uint32_t Bits = 0;
  int Count = 0;
  for (size_t I = 0; I < Length; ++I) {
    const int V = Values[static_cast<unsigned char>(Text[I])];
    if (V < 0) return std::nullopt;
    Bits = (Bits << 6) | static_cast<uint32_t>(V);
    Count += 6;
    if (Count >= 8) {
      Count -= 8;
      Out += static_cast<char>((Bits >> Count) & 0xFF);
    }
  }
  return Out;
}


}  // namespace quorrel
