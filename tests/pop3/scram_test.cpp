// The SCRAM-SHA-256 client against the published example exchange, and the
// server messages it must refuse to answer or to believe.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "pop3/scram.h"
#include "tlsbind/tlsbind.h"

using namespace quorrel;

using ::testing::HasSubstr;

namespace {

// The example exchange of RFC 7677 (user "user", password "pencil").
const std::string ExampleNonce = "rOprNGfwEbeRWgbNEkqO";
const std::string ExampleServerFirst =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const std::string ExampleClientFinal =
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
const std::string ExampleServerFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";
const std::string ExampleSaltAndCount = ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const char* const MissingLibrary = " (OpenSSL must load: install the Debian package libssl3)";

TScramSha256Client ExampleClient() {
  TScramSha256Client Client;
  Client.Nonce = ExampleNonce;
  return Client;
}

TEST(ScramTest, TheExampleExchangeGivesTheExampleProofAndAcceptsTheServer) {
  TScramSha256Client Client = ExampleClient();
  EXPECT_EQ(Client.ClientFirst("user"), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
  std::string Final, Error;
  ASSERT_TRUE(Client.ClientFinal(ExampleServerFirst, "pencil", Final, Error)) << Error << MissingLibrary;
  EXPECT_EQ(Final, ExampleClientFinal);
  EXPECT_TRUE(Client.VerifyServerFinal(ExampleServerFinal, Error)) << Error;
  // The exchange is over: the same answer is not believed a second time.
  EXPECT_FALSE(Client.VerifyServerFinal(ExampleServerFinal, Error));
}

TEST(ScramTest, ServerMessagesThatAreRefused) {
  struct TCase {
    const char* What;
    std::string ServerFirst;
    std::string ServerFinal;  // empty when ClientFinal already refuses
    const char* Error;
  };
  const TCase Cases[] = {
      {"nonce not extended", "r=OtherNonce%hvYDpWUa2RaT" + ExampleSaltAndCount, "", "does not extend ours"},
      {"nonce equal to ours", "r=" + ExampleNonce + ExampleSaltAndCount, "", "does not extend ours"},
      {"nonce with a blank", "r=" + ExampleNonce + "x y,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "", "nonce holds"},
      {"too few iterations", "r=" + ExampleNonce + "x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4095", "",
       "iteration count 4095 out of bounds (4096-1000000)"},
      {"too many iterations", "r=" + ExampleNonce + "x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=1000001", "",
       "iteration count 1000001 out of bounds (4096-1000000)"},
      {"iteration count past any integer", "r=" + ExampleNonce + "x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=99999999999999999999",
       "", "out of bounds"},
      {"iteration count not a number", "r=" + ExampleNonce + "x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=abc", "",
       "iteration count abc is not a number"},
      {"empty salt", "r=" + ExampleNonce + "x,s=,i=4096", "", "the salt is empty"},
      {"salt not Base64", "r=" + ExampleNonce + "x,s=W22Z*J0SNY7s,i=4096", "", "not valid Base64"},
      {"attributes out of order", "r=" + ExampleNonce + "x,i=4096,s=W22ZaJ0SNY7soEsUEjb6gQ==", "",
       "is not \"r=...,s=...,i=...\""},
      {"attributes missing", "r=" + ExampleNonce + "x", "", "is not \"r=...,s=...,i=...\""},
      {"mandatory extension", "m=ext," + ExampleServerFirst, "", "extension"},
      {"signature of zeros", ExampleServerFirst, "v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=",
       "signature is wrong"},
      {"signature with its first byte changed", ExampleServerFirst, "v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=",
       "signature is wrong"},
      {"signature cut short", ExampleServerFirst, "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl9", "signature is wrong"},
      {"signature not Base64", ExampleServerFirst, "v=6rri*RBi", "signature is wrong"},
      {"server refusal", ExampleServerFirst, "e=invalid-proof", "the server refused the login: invalid-proof"},
      {"neither verifier nor refusal", ExampleServerFirst, "x=6rriTRBi23WpRR", "neither"},
  };
  for (const TCase& Case : Cases) {
    TScramSha256Client Client = ExampleClient();
    Client.ClientFirst("user");
    std::string Final = "stale", Error;
    const bool Answered = Client.ClientFinal(Case.ServerFirst, "pencil", Final, Error);
    if (Case.ServerFinal.empty()) {
      EXPECT_FALSE(Answered) << Case.What;
      EXPECT_TRUE(Final.empty()) << Case.What;
    } else {
      ASSERT_TRUE(Answered) << Case.What << ": " << Error << MissingLibrary;
      Error.clear();
      EXPECT_FALSE(Client.VerifyServerFinal(Case.ServerFinal, Error)) << Case.What;
    }
    EXPECT_THAT(Error, HasSubstr(Case.Error)) << Case.What;
  }
}

TEST(ScramTest, ServerFirstMessagesThatAreAnswered) {
  struct TCase {
    const char* What;
    std::string ServerFirst;
  };
  const TCase Cases[] = {
      {"the most iterations allowed", "r=" + ExampleNonce + "x,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=1000000"},
      {"an optional extension after the count", ExampleServerFirst + ",x=later"},
      {"a salt without its padding", "r=" + ExampleNonce + "x,s=W22ZaJ0SNY7soEsUEjb6gQ,i=4096"},
  };
  for (const TCase& Case : Cases) {
    TScramSha256Client Client = ExampleClient();
    Client.ClientFirst("user");
    std::string Final, Error;
    EXPECT_TRUE(Client.ClientFinal(Case.ServerFirst, "pencil", Final, Error)) << Case.What << ": " << Error;
    EXPECT_EQ(Final.rfind("c=biws,r=" + ExampleNonce, 0), 0u) << Case.What;
    EXPECT_THAT(Final, HasSubstr(",p=")) << Case.What;
  }
}

TEST(ScramTest, StepsOutOfOrderAreRefused) {
  std::string Final, Error;
  TScramSha256Client Fresh = ExampleClient();
  EXPECT_FALSE(Fresh.ClientFinal(ExampleServerFirst, "pencil", Final, Error));
  EXPECT_FALSE(Error.empty());
  EXPECT_FALSE(Fresh.VerifyServerFinal(ExampleServerFinal, Error));

  // A refused step ends the exchange: a good message afterwards is not answered.
  TScramSha256Client Refused = ExampleClient();
  Refused.ClientFirst("user");
  EXPECT_FALSE(Refused.ClientFinal("r=" + ExampleNonce + ExampleSaltAndCount, "pencil", Final, Error));
  EXPECT_FALSE(Refused.ClientFinal(ExampleServerFirst, "pencil", Final, Error));

  // A new ClientFirst starts over; the server's signature of the old exchange
  // proves nothing about the new one.
  TScramSha256Client Restarted = ExampleClient();
  Restarted.ClientFirst("user");
  ASSERT_TRUE(Restarted.ClientFinal(ExampleServerFirst, "pencil", Final, Error)) << Error << MissingLibrary;
  Restarted.ClientFirst("user");
  EXPECT_FALSE(Restarted.VerifyServerFinal(ExampleServerFinal, Error));
}

TEST(ScramTest, UserNamesAreEscaped) {
  struct TCase {
    std::string User;
    std::string Expected;  // empty when no message can be sent
  };
  const TCase Cases[] = {
      {"user", "n,,n=user,r=N"},
      {"a,b", "n,,n=a=2Cb,r=N"},
      {"a=b", "n,,n=a=3Db,r=N"},
      {"=,=2C", "n,,n==3D=2C=3D2C,r=N"},
      {"", "n,,n=,r=N"},
      {std::string("a\0b", 3), ""},
  };
  for (const TCase& Case : Cases) {
    TScramSha256Client Client;
    Client.Nonce = "N";
    EXPECT_EQ(Client.ClientFirst(Case.User), Case.Expected) << Case.User;
  }
}

TEST(ScramTest, EveryExchangeDrawsAFreshNonce) {
  TScramSha256Client Client;
  const std::string First = Client.ClientFirst("user");
  const std::string Second = Client.ClientFirst("user");
  const std::string Prefix = "n,,n=user,r=";
  ASSERT_EQ(First.substr(0, Prefix.size()), Prefix);
  ASSERT_EQ(Second.substr(0, Prefix.size()), Prefix);
  const std::string Nonce = Second.substr(Prefix.size());
  EXPECT_NE(First.substr(Prefix.size()), Nonce);
  EXPECT_EQ(Nonce.size(), 32u);  // 24 bytes in Base64
  EXPECT_EQ(Nonce.find(','), std::string::npos);
  EXPECT_TRUE(Client.Nonce.empty());
  // The nonce checked against the server's is the one just sent.
  std::string Final, Error;
  EXPECT_TRUE(Client.ClientFinal("r=" + Nonce + "srv" + ExampleSaltAndCount, "pencil", Final, Error))
      << Error << MissingLibrary;
}

TEST(ScramTest, WithoutTheCryptoLibraryTheErrorNamesThePackage) {
  const std::string Names[] = {TlsLibraryName, TlsLibraryAltName, CryptoLibraryName};
  UnloadTlsLibraries();
  TlsLibraryName = "/nonexistent/libssl.so.3";
  TlsLibraryAltName = "/nonexistent/libssl.so.1.1";
  CryptoLibraryName = "/nonexistent/libcrypto.so.3";
  TScramSha256Client Client = ExampleClient();
  Client.ClientFirst("user");
  std::string Final, Error;
  const bool Answered = Client.ClientFinal(ExampleServerFirst, "pencil", Final, Error);
  // The nonce does not need the library.
  TScramSha256Client Unset;
  const std::string First = Unset.ClientFirst("user");
  TlsLibraryName = Names[0];
  TlsLibraryAltName = Names[1];
  CryptoLibraryName = Names[2];
  EXPECT_FALSE(Answered);
  EXPECT_THAT(Error, HasSubstr("Debian package libssl3"));
  EXPECT_EQ(First.size(), std::string("n,,n=user,r=").size() + 32);
  EXPECT_TRUE(LoadTlsLibraries()) << MissingLibrary;
}

}  // namespace
