// The SCRAM-SHA-256 client: the server messages it must refuse to answer or to
// believe. The example exchange itself runs whole in the POP3 session tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "pop3/scram.h"
#include "tlsbind/tlsbind.h"

using namespace quorrel;

using ::testing::HasSubstr;

namespace {

// The example exchange of RFC 7677 (user "user", password "pencil").
const std::string Nonce = "rOprNGfwEbeRWgbNEkqO";
const std::string Salt = ",s=W22ZaJ0SNY7soEsUEjb6gQ==";
const std::string ServerFirst = "r=" + Nonce + "%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0" + Salt + ",i=4096";
const char* const MissingLibrary = " (OpenSSL must load: install the Debian package libssl3)";

// A client that has sent its first message with the example nonce.
TScramSha256Client Started() {
  TScramSha256Client Client;
  Client.Nonce = Nonce;
  Client.ClientFirst("user");
  return Client;
}

TEST(ScramTest, RefusedServerMessages) {
  struct TCase {
    std::string ServerFirst;
    std::string ServerFinal;  // empty when ClientFinal already refuses
    const char* Error;
  };
  const std::string Ours = "r=" + Nonce + "x" + Salt;
  const TCase Cases[] = {
      {"r=Other%hvYDpWUa2RaT" + Salt + ",i=4096", "", "does not extend ours"},
      {"r=" + Nonce + Salt + ",i=4096", "", "does not extend ours"},
      {Ours + ",i=4095", "", "iteration count 4095 out of bounds (4096-1000000)"},
      {Ours + ",i=1000001", "", "iteration count 1000001 out of bounds"},
      {Ours + ",i=abc", "", "iteration count abc is not a number"},
      {"r=" + Nonce + "x,s=,i=4096", "", "the salt is empty"},
      {"r=" + Nonce + "x,s=W22Z*J0SNY7s,i=4096", "", "not valid Base64"},
      {"m=ext," + ServerFirst, "", "extension"},
      {ServerFirst, "v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=", "signature is wrong"},
      {ServerFirst, "e=invalid-proof", "the server refused the login: invalid-proof"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.ServerFirst + " / " + Case.ServerFinal);
    TScramSha256Client Client = Started();
    std::string Final = "stale", Error;
    const bool Answered = Client.ClientFinal(Case.ServerFirst, "pencil", Final, Error);
    if (Case.ServerFinal.empty()) {
      EXPECT_FALSE(Answered);
      EXPECT_TRUE(Final.empty());
    } else {
      ASSERT_TRUE(Answered) << Error << MissingLibrary;
      EXPECT_FALSE(Client.VerifyServerFinal(Case.ServerFinal, Error));
    }
    EXPECT_THAT(Error, HasSubstr(Case.Error));
  }
}

// The bounds themselves are taken (4096 in every other case here).
TEST(ScramTest, TheUpperIterationBoundIsTaken) {
  TScramSha256Client Client = Started();
  std::string Final, Error;
  EXPECT_TRUE(Client.ClientFinal("r=" + Nonce + "x" + Salt + ",i=1000000", "pencil", Final, Error)) << Error << MissingLibrary;
}

TEST(ScramTest, UserNamesAreEscaped) {
  TScramSha256Client Client;
  Client.Nonce = "N";
  EXPECT_EQ(Client.ClientFirst("=,=2C"), "n,,n==3D=2C=3D2C,r=N");
  EXPECT_EQ(Client.ClientFirst(std::string("a\0b", 3)), "");  // no message can carry a NUL
}

TEST(ScramTest, EveryExchangeDrawsAFreshNonce) {
  TScramSha256Client Client;
  const std::string Prefix = "n,,n=user,r=";
  const std::string First = Client.ClientFirst("user"), Second = Client.ClientFirst("user");
  ASSERT_EQ(Second.rfind(Prefix, 0), 0u);
  EXPECT_NE(First, Second);
  EXPECT_EQ(Second.size(), Prefix.size() + 32);  // 24 bytes in Base64
}

TEST(ScramTest, WithoutTheCryptoLibraryTheErrorNamesThePackage) {
  const std::string Names[] = {TlsLibraryName, TlsLibraryAltName, CryptoLibraryName};
  UnloadTlsLibraries();
  TlsLibraryName = "/nonexistent/libssl.so.3";
  TlsLibraryAltName = "/nonexistent/libssl.so.1.1";
  CryptoLibraryName = "/nonexistent/libcrypto.so.3";
  TScramSha256Client Client = Started();
  std::string Final, Error;
  const bool Answered = Client.ClientFinal(ServerFirst, "pencil", Final, Error);
  TlsLibraryName = Names[0];
  TlsLibraryAltName = Names[1];
  CryptoLibraryName = Names[2];
  EXPECT_FALSE(Answered);
  EXPECT_THAT(Error, HasSubstr("Debian package libssl3"));
  EXPECT_TRUE(LoadTlsLibraries()) << MissingLibrary;
}

}  // namespace
