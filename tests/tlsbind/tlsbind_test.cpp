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

std::string Hex(const std::string& Bytes) {
  static const char Digits[] = "0123456789abcdef";
  std::string Out;
  for (unsigned char B : Bytes) {
    Out += Digits[B >> 4];
    Out += Digits[B & 15];
  }
  return Out;
}

const char* const MissingLibrary = "OpenSSL did not load: install the Debian package libssl3";

TEST(TlsBindTest, DigestsMatchKnownVectors) {
  ASSERT_TRUE(LoadTlsLibraries()) << MissingLibrary;
  for (const char* Name : {"EVP_sha256", "EVP_Digest", "HMAC", "PKCS5_PBKDF2_HMAC"})
    EXPECT_TRUE(TlsEntryPointResolved(Name)) << Name;

  struct TCase {
    const char* What;
    std::string Key;   // empty for SHA-256
    std::string Data;  // the message, or the PBKDF2 password
    int Iterations;    // 0 for SHA-256 and HMAC; PBKDF2 takes Key as its salt
    const char* Expected;
  };
  const std::string Long = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const TCase Cases[] = {
      {"SHA-256 of nothing", "", "", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"SHA-256 abc", "", "abc", 0, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"SHA-256 two blocks", "", Long, 0, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"HMAC case 1", std::string(20, '\x0b'), "Hi There", 0,
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"HMAC case 2", "Jefe", "what do ya want for nothing?", 0,
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"HMAC case 3", std::string(20, '\xaa'), std::string(50, '\xdd'), 0,
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"HMAC key beyond a block", std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       0, "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"PBKDF2 1 round", "salt", "passwd", 1, "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"},
      {"PBKDF2 2 rounds", "salt", "password", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
      {"PBKDF2 4096 rounds", "salt", "password", 4096,
       "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
      {"PBKDF2 empty password", "salt", "", 1, "f135c27993baf98773c5cdb40a5706ce6a345cde61b000a67858650cd6a324d7"},
  };
  for (const TCase& Case : Cases) {
    std::string Result = "stale";
    bool Done = Case.Iterations > 0 ? CryptoPbkdf2HmacSha256(Case.Data, Case.Key, Case.Iterations, Result)
                : Case.Key.empty()  ? CryptoSha256(Case.Data, Result)
                                    : CryptoHmacSha256(Case.Key, Case.Data, Result);
    EXPECT_TRUE(Done) << Case.What;
    EXPECT_EQ(Hex(Result), Case.Expected) << Case.What;
  }

  // No rounds is no key, and no stale result is left behind.
  std::string Key = "stale";
  EXPECT_FALSE(CryptoPbkdf2HmacSha256("password", "salt", 0, Key));
  EXPECT_TRUE(Key.empty());
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
