// MD5 (RFC 1321) and Base64 (RFC 4648) over byte strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorrel {

struct Md5Context {
  uint32_t State[4];     // chaining value A, B, C, D
  uint32_t BitCount[2];  // bits fed so far, low word first
  uint8_t Block[64];     // bytes not yet compressed
};

void Md5Begin(Md5Context& Context);
void Md5Add(Md5Context& Context, std::string_view Bytes);
void Md5Add(Md5Context& Context, const void* Bytes, size_t Count);
std::string Md5End(Md5Context& Context);  // 16 raw bytes; the context is zeroed
std::string Md5Digest(std::string_view Bytes);

extern const char Base64Table[66];  // 64 alphabet characters, then the pad "="
std::string EncodeSextets(std::string_view Bytes, std::string_view Table);
std::string ToBase64(std::string_view Bytes);
// The bytes of Base64 text, with or without its padding; nothing for a byte
// outside the alphabet or a length no encoding has.
std::optional<std::string> FromBase64(std::string_view Text);

}  // namespace quorrel
