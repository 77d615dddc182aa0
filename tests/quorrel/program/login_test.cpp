// Logins that real providers demand, end to end against Dovecot offering SASL
// PLAIN, SCRAM-SHA-256, XOAUTH2 and OAUTHBEARER (tokens checked by a token
// service of the harness), and a scripted server that names PIPELINING only
// after login.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/process.h"
#include "support/requirement.h"

using namespace quorrel;
using ::testing::HasSubstr;

namespace {

class Login : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
    QUORREL_REQUIRE_PROGRAMS("python3");
  }
  TEndToEnd E2E;
};

}  // namespace

TEST_F(Login, EachMethodLogsInAndARefusalSaysWhy) {
  TScenario S;
  S.Sasl = true;
  S.StderrExpected = true;
  S.Messages = {Message({"Subject: Minutes"}), Message({"Subject: Lottery"})};
  const std::vector<std::string> Mailbox = {"127.0.0.1", "--dry-run", "lottery"};
  S.Runs = {With({"--auth", "plain", "alice", "secret"}, Mailbox),
            With({"--auth", "scram-sha-256", "alice", "secret"}, Mailbox),
            With({"--auth", "xoauth2", "alice", "good-token"}, Mailbox),
            With({"--auth", "oauthbearer", "--password-command", "printf 'good-token\\n'", "alice", "-"}, Mailbox),
            {"--auth", "xoauth2", "alice", "bad-token", "127.0.0.1", "lottery"},
            {"--auth", "scram-sha-256", "alice", "wrong", "127.0.0.1", "lottery"},
            {"--auth", "plain", "--password-command", "exit 3", "alice", "-", "127.0.0.1", "lottery"}};
  TScenario NoSasl;  // the usual Dovecot: USER, APOP, PLAIN and LOGIN
  NoSasl.StderrExpected = true;
  NoSasl.Runs = {{"--auth", "xoauth2", "alice", "secret-token", "127.0.0.1", "x"}};
  const std::vector<TOutcome> Both = E2E.RunAll({S, NoSasl});
  const TOutcome& O = Both[0];
  ASSERT_EQ(O.Trouble, "");
  ASSERT_EQ(Both[1].Trouble, "");
  const std::string Swept = Banner + "2 emails found, " + SizeOf(S.Messages) +
                            " bytes\r\n2:Lottery WOULD DELETE\r\n1:Minutes SKIPPED\r\n";
  for (size_t I = 0; I < 4; ++I) {
    EXPECT_EQ(O.Outputs[I], Swept) << S.Runs[I][1] << O.Errors[I];
    EXPECT_EQ(O.Statuses[I], 0);
  }
  // Each method logged in once, and no refused run logged in at all.
  static const std::regex Logins("Login: user=<alice>, method=([A-Z0-9-]+)");
  std::vector<std::string> Methods;
  for (std::sregex_iterator I(O.Log.begin(), O.Log.end(), Logins), End; I != End; ++I) Methods.push_back((*I)[1]);
  EXPECT_THAT(Methods, ::testing::UnorderedElementsAre("PLAIN", "SCRAM-SHA-256", "XOAUTH2", "OAUTHBEARER")) << O.Log;
  EXPECT_EQ(O.Outputs[4], Banner + "Login Error\r\n");
  EXPECT_THAT(O.Errors[4], ::testing::AllOf(HasSubstr("-ERR [AUTH]"), HasSubstr("the token was refused: {")));
  EXPECT_EQ(O.Outputs[5], Banner + "Login Error\r\n");
  EXPECT_THAT(O.Errors[5], HasSubstr("login refused by 127.0.0.1:110: the server said -ERR [AUTH]"));
  // A method the server lacks: refused before any secret is sent.
  EXPECT_EQ(Both[1].Outputs[0], Banner + "Login Error\r\n");
  EXPECT_EQ(Both[1].Errors[0], "quorrel: no login at 127.0.0.1:110: the server does not offer XOAUTH2 (it offers "
                               "USER, APOP, PLAIN, LOGIN)\n");
  EXPECT_EQ(Both[1].Log.find("method="), std::string::npos) << Both[1].Log;
  // A command that fails: nothing is sent at all.
  EXPECT_EQ(O.Statuses[6], 2);
  EXPECT_EQ(O.Errors[6], "quorrel: --password-command: the command exited with status 3\n");
  EXPECT_EQ(O.Left, (std::vector<int>{1, 2}));
}

TEST_F(Login, PipeliningNamedOnlyAfterLoginIsUsed) {
  TScenario S;
  S.Peer = TPeer::Script;
  S.Script = [](TPop3ScriptServer& Server) {
    Server.Line("+OK ready").On("CAPA", "+OK\r\nUSER\r\n.\r\n").On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n")
        .On("CAPA", "+OK\r\nUSER\r\nTOP\r\nPIPELINING\r\n.\r\n")
        .On("STAT", "+OK 1 40\r\n").On("LIST", "+OK\r\n1 40\r\n.\r\n")
        .On("TOP 1 0", "+OK\r\nSubject: one\r\n\r\n.\r\n").On("LIST 1", "+OK 1 40\r\n").On("QUIT", "+OK\r\n");
  };
  S.Runs = {{"u", "p", "127.0.0.1", "lottery"}};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Outputs[0], Banner + "1 emails found, 40 bytes\r\n1:one SKIPPED\r\n");
  EXPECT_THAT(O.Commands,
              ::testing::ElementsAre("CAPA", "USER u", "PASS p", "CAPA", "STAT", "LIST", "TOP 1 0", "LIST 1", "QUIT"));
}

// A pinned certificate is taken whoever signed it, here by a CA the trust
// store does not hold; any other is refused before a password is sent.
TEST_F(Login, APinnedCertificateIsTheOnlyOneTaken) {
  TScenario S{.Messages = {Message({"Subject: Lottery"})}, .Runs = {{"--dry-run"}}, .StderrExpected = true};
  ASSERT_EQ(E2E.Run(S).Trouble, "");  // the harness's certificates are made by now
  std::string Pin;
  ASSERT_EQ(RunCommand("openssl x509 -noout -fingerprint -sha256 -in " + E2E.Dir + "/certs/cert.pem", &Pin), 0);
  Pin = Pin.substr(Pin.find('=') + 1, 95);
  std::string Wrong = "00";
  for (int I = 1; I < 32; ++I) Wrong += ":00";
  const std::vector<std::string> Mailbox = {"alice", "secret", "localhost", "--dry-run", "lottery"};
  S.Runs = {With({"--tls", "--tls-fingerprint", Pin}, Mailbox),
            With({"--starttls", "--tls-fingerprint", Wrong, "--tls-fingerprint", Pin}, Mailbox),
            With({"--tls", "--tls-fingerprint", Wrong, "--sysexits"}, Mailbox)};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  EXPECT_THAT(O.Outputs[0], HasSubstr("1:Lottery WOULD DELETE"));
  EXPECT_THAT(O.Outputs[1], HasSubstr("1:Lottery WOULD DELETE"));
  EXPECT_EQ(O.Outputs[2], Banner + "TLS Error: the server's certificate has the SHA-256 fingerprint " + Pin +
                              "; pinned: " + Wrong + "\r\n");
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 69}));
  // Two logins, none in the refused session.
  const std::regex Login("Login: user=<alice>");
  EXPECT_EQ(std::distance(std::sregex_iterator(O.Log.begin(), O.Log.end(), Login), std::sregex_iterator()), 2) << O.Log;
}

// What a server offers, in clear, over STLS and over TLS; a certificate not
// verified is reported with its fingerprint, and no password goes over it.
TEST_F(Login, ServerInfoReportsWhatTheServerOffers) {
  TScenario S{.Messages = {Message({"Subject: Lottery"})},
              .Runs = {{"--serverinfo", "127.0.0.1"},
                       {"--serverinfo", "--starttls", "--ca-file", "{CA}", "localhost"},
                       {"--serverinfo", "--tls", "--sysexits", "alice", "secret", "localhost"},
                       {"--serverinfo", "--tls", "--ca-file", "{CA}", "alice", "secret", "localhost"}},
              .StderrExpected = true};
  const TOutcome O = E2E.Run(S);
  ASSERT_EQ(O.Trouble, "");
  std::string Pin;
  ASSERT_EQ(RunCommand("openssl x509 -noout -fingerprint -sha256 -in " + E2E.Dir + "/certs/cert.pem", &Pin), 0);
  Pin = Pin.substr(Pin.find('=') + 1, 95);
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 0, 69, 0}));
  EXPECT_THAT(O.Outputs[0], HasSubstr("\r\ngreeting: +OK "));
  EXPECT_THAT(O.Outputs[0], HasSubstr("\r\nAPOP: offered (the greeting carries the challenge <"));
  EXPECT_THAT(O.Outputs[0], HasSubstr("\r\ncapabilities before login:\r\n  CAPA\r\n"));
  EXPECT_THAT(O.Outputs[0], HasSubstr("  STLS\r\n"));
  EXPECT_THAT(O.Outputs[1], HasSubstr("certificate verified: yes, against "));
  EXPECT_THAT(O.Outputs[1], HasSubstr("certificate SHA-256 fingerprint: " + Pin + " "));
  EXPECT_THAT(O.Outputs[1], HasSubstr("\r\ncapabilities over TLS:\r\n"));
  EXPECT_THAT(O.Outputs[2], HasSubstr("certificate verified: NO, against the system's trust store: "));
  EXPECT_THAT(O.Outputs[2], HasSubstr("\r\nlogin: not tried, since the certificate was not verified"));
  EXPECT_THAT(O.Outputs[3], HasSubstr("\r\nlogin: accepted\r\ncapabilities after login:\r\n"));
  EXPECT_THAT(O.Outputs[3], HasSubstr("\r\nmessages: 1, "));
  EXPECT_EQ(O.Left, (std::vector<int>{1}));
  // One login in all: the session whose certificate was not verified sent no password.
  const std::regex Login("Login: user=<alice>");
  EXPECT_EQ(std::distance(std::sregex_iterator(O.Log.begin(), O.Log.end(), Login), std::sregex_iterator()), 1) << O.Log;
}
