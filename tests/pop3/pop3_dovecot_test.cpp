// TPOP3Send against a real Dovecot on loopback: authentication by USER/PASS and
// APOP, STLS and implicit TLS, and deletions as the maildir shows them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "support/dovecot.h"
#include "support/pop3_server.h"
#include "support/requirement.h"

using namespace quorrel;

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Strings = std::vector<std::string>;

namespace {

std::string Message(const std::string& Subject, const std::string& Extra = "") {
  return "Subject: " + Subject + "\r\nFrom: a@example.org\r\nTo: b@example.org\r\n" + Extra +
         "\r\nBody of " + Subject + "\r\n.starts with a dot\r\n";
}

// One Dovecot for the whole suite: users "plain" ({PLAIN}, APOP works) and
// "hashed" (APOP refused, USER/PASS works); every test delivers what it needs
// to its own user.
class Pop3Dovecot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TDovecot::Available()) return;
    Server = new TDovecot;
    bool Ok = Server->AddUser("plain", "secret1") && Server->AddUser("hashed", "secret2", true) &&
              Server->AddUser("mailbox", "secret3") && Server->AddUser("noquit", "secret4");
    for (const char* S : {"first", "second spam", "third"}) Ok = Ok && Server->Deliver("mailbox", Message(S));
    for (const char* S : {"one", "two"}) Ok = Ok && Server->Deliver("noquit", Message(S));
    Ok = Ok && Server->Deliver("plain", Message("hello", "X-Long: " + std::string(3000, 'x') + "\r\n"));
    if (!Ok || !Server->Start()) {
      StartLog = Server->Log();
      delete Server;
      Server = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete Server;
    Server = nullptr;
  }
  void SetUp() override {
    QUORREL_REQUIRE_PROGRAMS("dovecot");
    if (!Server) FAIL() << "Dovecot is installed but could not be started: " << StartLog;
  }
  static void Point(TPOP3Send& Session, const std::string& User, const std::string& Password, int Port = 0) {
    Session.Port = std::to_string(Port ? Port : Server->Port);
    Session.UserName = User;
    Session.Password = Password;
    Session.TimeoutMs = 10000;
  }
  // Starts Relay in front of the server and points Session at the relay.
  static bool Through(TPop3Relay& Relay, TPOP3Send& Session, const std::string& User, const std::string& Password) {
    if (!Relay.Start(Server->Port)) return false;
    Point(Session, User, Password, Relay.Port());
    return true;
  }
  // STAT, which must count Count messages.
  static void ExpectCount(TPOP3Send& Session, int32_t Count) {
    EXPECT_TRUE(Session.Stat());
    EXPECT_EQ(Session.MessageCount, Count);
  }
  static TDovecot* Server;
  static std::string StartLog;
};
TDovecot* Pop3Dovecot::Server = nullptr;
std::string Pop3Dovecot::StartLog;

}  // namespace

TEST_F(Pop3Dovecot, UserPassAndCapabilities) {
  TPop3Relay Relay;
  TPOP3Send Session;
  ASSERT_TRUE(Through(Relay, Session, "plain", "secret1"));
  Session.AuthMode = AuthUserPassOnly;
  ASSERT_TRUE(Session.Login()) << Session.StatusLine;
  EXPECT_FALSE(Session.ApopChallenge.empty());  // offered, not used
  EXPECT_EQ(Session.FindCapability("stls"), "STLS");
  EXPECT_EQ(Session.FindCapability("TOP"), "TOP");
  EXPECT_THAT(Session.Capabilities, Contains("USER"));
  ExpectCount(Session, 1);
  EXPECT_GT(Session.MailboxSize, 3000);
  Session.Logout();
  EXPECT_THAT(Relay.Commands(), ElementsAre("CAPA", "USER plain", "PASS secret1", "STAT", "QUIT"));
}

TEST_F(Pop3Dovecot, WrongPasswordFails) {
  TPOP3Send Session;
  Point(Session, "plain", "wrong");
  EXPECT_FALSE(Session.Login());
  EXPECT_EQ(Session.StatusLine.substr(0, 4), "-ERR");
  Session.Logout();
}

TEST_F(Pop3Dovecot, ApopWithAPlainPassword) {
  TPop3Relay Relay;
  TPOP3Send Session;
  ASSERT_TRUE(Through(Relay, Session, "plain", "secret1"));
  Session.AuthMode = AuthApopOnly;
  ASSERT_TRUE(Session.Login()) << Session.StatusLine;
  EXPECT_EQ(Session.ApopChallenge.front(), '<');
  EXPECT_EQ(Session.ApopChallenge.back(), '>');
  ExpectCount(Session, 1);
  Session.Logout();
  const Strings Got = Relay.Commands();
  ASSERT_EQ(Got.size(), 4u);
  EXPECT_EQ(Got[1].substr(0, 11), "APOP plain ");
  EXPECT_EQ(Got[1].size(), 11u + 32u);
  EXPECT_EQ(Relay.Connections(), 1);
}

TEST_F(Pop3Dovecot, RefusedApopFallsBackToUserPassOnASecondConnection) {
  TPop3Relay Relay;
  TPOP3Send Session;
  ASSERT_TRUE(Through(Relay, Session, "hashed", "secret2"));
  ASSERT_TRUE(Session.Login()) << Session.StatusLine;
  ExpectCount(Session, 0);
  Session.Logout();
  EXPECT_EQ(Relay.Connections(), 2);
  const Strings First = Relay.Commands(0);
  ASSERT_EQ(First.size(), 2u);
  EXPECT_EQ(First[0], "CAPA");
  EXPECT_EQ(First[1].substr(0, 12), "APOP hashed ");
  EXPECT_THAT(Relay.Commands(1), ElementsAre("USER hashed", "PASS secret2", "STAT", "QUIT"));

  TPOP3Send ApopOnly;
  Point(ApopOnly, "hashed", "secret2");
  ApopOnly.AuthMode = AuthApopOnly;
  EXPECT_FALSE(ApopOnly.Login());
  ApopOnly.Logout();
}

TEST_F(Pop3Dovecot, StlsCarriesTheLoginInsideTls) {
  TPop3Relay Relay;
  TPOP3Send Session;
  ASSERT_TRUE(Through(Relay, Session, "plain", "secret1"));
  Session.UseStls = true;
  Session.AuthMode = AuthUserPassOnly;
  ASSERT_TRUE(Session.Login()) << Session.StatusLine << " / " << Session.Socket.LastErrorText;
  EXPECT_TRUE(Session.Socket.TlsActive);
  EXPECT_EQ(Session.FindCapability("STLS"), "");  // the list read inside TLS
  ExpectCount(Session, 1);
  ASSERT_TRUE(Session.Top(1, 0));
  EXPECT_THAT(Session.ReplyLines, Contains("Subject: hello"));
  Session.Logout();
  // Only what came before TLS is readable on the wire.
  EXPECT_THAT(Relay.Commands(), ElementsAre("CAPA", "STLS"));
}

TEST_F(Pop3Dovecot, ClearBytesAfterTheStlsAgreementAreNotReadInsideTls) {
  TPop3Relay Relay;
  // Were these read as the replies to CAPA, USER, PASS and STAT inside TLS,
  // every later reply would belong to an earlier command.
  Relay.InjectAfterStls = "+OK\r\n.\r\n+OK\r\n+OK\r\n+OK 99 99\r\n";
  TPOP3Send Session;
  ASSERT_TRUE(Through(Relay, Session, "plain", "secret1"));
  Session.UseStls = true;
  Session.AuthMode = AuthUserPassOnly;
  ASSERT_TRUE(Session.Login()) << Session.StatusLine << " / " << Session.Socket.LastErrorText;
  EXPECT_THAT(Session.Capabilities, Contains("USER"));
  ExpectCount(Session, 1);
  Session.Logout();
}

// RETR gives the message as it was delivered, line for line, a line that
// starts with a dot included.
TEST_F(Pop3Dovecot, RetrGivesTheMessageAsDelivered) {
  TPOP3Send Session;
  Point(Session, "plain", "secret1");
  ASSERT_TRUE(Session.Login()) << Session.StatusLine;
  std::string Got;
  EXPECT_TRUE(Session.Retr(1, [&Got](std::string_view Line) {
    Got.append(Line).append("\r\n");
    return true;
  }));
  EXPECT_FALSE(Session.ReplyCut);
  EXPECT_EQ(Got, Message("hello", "X-Long: " + std::string(3000, 'x') + "\r\n"));
  Session.Logout();
}

TEST_F(Pop3Dovecot, ImplicitTlsOnTheSecondPort) {
  TPOP3Send Session;
  Point(Session, "plain", "secret1", Server->TlsPort);
  Session.ImplicitTls = true;
  ASSERT_TRUE(Session.Login()) << Session.StatusLine << " / " << Session.Socket.LastErrorText;
  EXPECT_TRUE(Session.Socket.TlsActive);
  ExpectCount(Session, 1);
  Session.Logout();
  EXPECT_FALSE(Session.Socket.TlsActive);
}

TEST_F(Pop3Dovecot, DeletionsHappenAtQuit) {
  TPOP3Send Session;
  Point(Session, "mailbox", "secret3");
  ASSERT_TRUE(Session.Login()) << Session.StatusLine;
  ASSERT_TRUE(Session.Stat());
  ASSERT_EQ(Session.MessageCount, 3);
  std::map<int, std::string> Subjects;
  for (int N = Session.MessageCount; N >= 1; --N) {
    ASSERT_TRUE(Session.Top(N, 0));
    for (const auto& L : Session.ReplyLines)
      if (L.rfind("Subject: ", 0) == 0) Subjects[N] = L.substr(9);
    EXPECT_EQ(Session.ReplyLines.back(), "");  // the empty line that ends the header
    if (Subjects[N].find("spam") != std::string::npos || Subjects[N] == "first") {
      EXPECT_TRUE(Session.Dele(N));
    }
  }
  EXPECT_EQ(Subjects.size(), 3u);
  ASSERT_TRUE(Session.Top(3, 2));  // body lines come dot-unstuffed
  EXPECT_EQ(Session.ReplyLines.back(), ".starts with a dot");
  EXPECT_EQ(Server->List("mailbox").size(), 3u);  // nothing gone before QUIT
  Session.Logout();
  EXPECT_THAT(Server->Subjects("mailbox"), ElementsAre("third"));
}

TEST_F(Pop3Dovecot, ASessionWithoutQuitDeletesNothing) {
  {
    TPOP3Send Session;
    Point(Session, "noquit", "secret4");
    ASSERT_TRUE(Session.Login()) << Session.StatusLine;
    ASSERT_TRUE(Session.Stat());
    ASSERT_EQ(Session.MessageCount, 2);
    EXPECT_TRUE(Session.Dele(1));
    EXPECT_TRUE(Session.Dele(2));
  }  // destroyed without Logout
  usleep(300000);
  EXPECT_THAT(Server->Subjects("noquit"), ElementsAre("one", "two"));
  TPOP3Send Again;
  Point(Again, "noquit", "secret4");
  ASSERT_TRUE(Again.Login());
  ASSERT_TRUE(Again.Stat());
  EXPECT_EQ(Again.MessageCount, 2);
  Again.Logout();
}
