// The OpenSSL binding with the libraries of this machine.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tlsbind/tlsbind.h"

using namespace quorrel;

namespace {

TEST(TlsBindTest, LoadsOnceFromManyThreadsAndResolvesNewerEquivalents) {
  std::vector<std::thread> Threads;
  std::vector<int> Results(8, -1);
  for (int I = 0; I < 8; ++I) Threads.emplace_back([&Results, I] { Results[I] = LoadTlsLibraries() ? 1 : 0; });
  for (auto& T : Threads) T.join();
  for (int R : Results) EXPECT_EQ(R, 1);
  EXPECT_TRUE(TlsLibrariesLoaded());
  EXPECT_NE(TlsLibraryPath.find("libssl"), std::string::npos) << TlsLibraryPath;
  EXPECT_NE(CryptoLibraryPath.find("libcrypto"), std::string::npos) << CryptoLibraryPath;
  // Names that newer releases turned into macros or renamed still find an
  // entry point; the removed clean-up calls are simply absent.
  EXPECT_TRUE(TlsEntryPointResolved("SSLv23_method"));
  EXPECT_TRUE(TlsEntryPointResolved("SSL_set1_host"));
  EXPECT_TRUE(TlsEntryPointResolved("SSL_connect"));
  EXPECT_TRUE(TlsEntryPointResolved("ERR_get_error"));
  for (const char* Name : {"EVP_sha256", "EVP_Digest", "HMAC", "PKCS5_PBKDF2_HMAC"})
    EXPECT_TRUE(TlsEntryPointResolved(Name)) << Name;
  EXPECT_FALSE(TlsEntryPointResolved("No_such_entry_point"));
  // Only a whole name counts, not the start of one.
  EXPECT_FALSE(TlsEntryPointResolved("SSLv23"));
  EXPECT_FALSE(TlsEntryPointResolved("SSL_get_"));
  EXPECT_FALSE(TlsEntryPointResolved(""));
}

TEST(TlsBindTest, WrappersReachOpenSsl) {
  const void* Method = SslV23_method();
  ASSERT_NE(Method, nullptr);
  void* Context = Ssl_CTX_new(Method);
  ASSERT_NE(Context, nullptr);
  EXPECT_EQ(Ssl_CTX_set_cipher_list(Context, "DEFAULT"), 1);
  // An unknown cipher list is refused and leaves an error in the queue.
  Err_clear_error();
  EXPECT_EQ(Ssl_CTX_set_cipher_list(Context, "NO-SUCH-CIPHER"), 0);
  unsigned long Code = Err_get_error();
  EXPECT_NE(Code, 0u);
  char Text[256] = {};
  ASSERT_NE(Err_error_string(Code, Text), nullptr);
  EXPECT_NE(std::string(Text).find("cipher"), std::string::npos) << Text;
  Err_clear_error();
  EXPECT_EQ(Err_get_error(), 0u);

  void* Session = Ssl_new(Context);
  ASSERT_NE(Session, nullptr);
  EXPECT_EQ(Ssl_pending(Session), 0);
  EXPECT_EQ(Ssl_set_tlsext_host_name(Session, "mail.example"), 1);
  EXPECT_EQ(Ssl_set1_host(Session, "mail.example"), 1);
  EXPECT_EQ(Ssl_set1_host(Session, "127.0.0.1"), 1);
  Ssl_free(Session);
  Ssl_CTX_free(Context);
}

TEST(TlsBindTest, DigestsMatchKnownVectors) {
  ASSERT_TRUE(LoadTlsLibraries()) << "OpenSSL did not load: install the Debian package libssl3";
  const auto Hex = [](const std::string& Bytes) {
    std::string Out;
    for (unsigned char B : Bytes) Out += {"0123456789abcdef"[B >> 4], "0123456789abcdef"[B & 15]};
    return Out;
  };
  std::string Digest, Mac, Key;
  EXPECT_TRUE(CryptoSha256("abc", Digest));
  EXPECT_EQ(Hex(Digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_TRUE(CryptoHmacSha256("Jefe", "what do ya want for nothing?", Mac));  // RFC 4231, case 2
  EXPECT_EQ(Hex(Mac), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_TRUE(CryptoPbkdf2HmacSha256("password", "salt", 4096, Key));
  EXPECT_EQ(Hex(Key), "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
}

TEST(TlsBindTest, UnloadForgetsEntryPointsAndTheNextUseLoadsAgain) {
  ASSERT_TRUE(LoadTlsLibraries());
  EXPECT_TRUE(UnloadTlsLibraries());
  EXPECT_FALSE(TlsLibrariesLoaded());
  // The next wrapper call loads again, and OpenSSL still works.
  void* Context = Ssl_CTX_new(SslV23_method());
  EXPECT_TRUE(TlsLibrariesLoaded());
  ASSERT_NE(Context, nullptr);
  Ssl_CTX_free(Context);
}

}  // namespace
