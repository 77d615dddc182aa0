// TPOP3Send against the scripted server: replies no real server sends, and the
// commands the client sent as the server recorded them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "support/pop3_server.h"
#include "support/process.h"

using namespace quorrel;

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Strings = std::vector<std::string>;

namespace {

// The greeting and the steps of a login with USER/PASS after a refused CAPA.
void PlainLogin(TPop3ScriptServer& Server, const std::string& Greeting = "+OK ready") {
  Server.Line(Greeting).On("CAPA", "-ERR no\r\n").On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n");
}

void Point(TPOP3Send& Session, const TPop3ScriptServer& Server, int TimeoutMs = 5000) {
  Session.Port = Server.PortText();
  Session.UserName = "u";
  Session.Password = "p";
  Session.TimeoutMs = TimeoutMs;
}

// Starts Server and points Session at it; false when the server did not start.
bool StartAndPoint(TPop3ScriptServer& Server, TPOP3Send& Session) {
  if (!Server.Start()) return false;
  Point(Session, Server);
  return true;
}

long long MsSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
}

bool AnyBeginsWith(const Strings& Lines, const std::string& Prefix) {
  for (const auto& L : Lines)
    if (L.rfind(Prefix, 0) == 0) return true;
  return false;
}

}  // namespace

TEST(Pop3Session, DefaultsOfANewSession) {
  TPOP3Send Session;
  EXPECT_EQ(Session.TimeoutMs, 60000);
  EXPECT_EQ(Session.Port, "pop3");
  EXPECT_EQ(Session.Host, "127.0.0.1");
  EXPECT_TRUE(Session.Socket.AnyLineBreak);
  EXPECT_EQ(Session.AuthMode, AuthAny);
  // Nothing connected: every command fails at once, quietly.
  EXPECT_FALSE(Session.Stat());
  EXPECT_FALSE(Session.Dele(1));
  Session.Logout();
  EXPECT_EQ(Session.ReplyStatus, 0);
}

TEST(Pop3Session, ApopWithTheChallengeOfTheGreeting) {
  TPop3ScriptServer Server;
  Server.Line("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>")
      .On("CAPA", "+OK\r\nTOP\r\nUSER\r\n.\r\n")
      .On("APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK maildrop has 1 message\r\n")
      .On("QUIT", "+OK bye\r\n");
  TPOP3Send Session;
  ASSERT_TRUE(StartAndPoint(Server, Session));
  Session.UserName = "mrose";
  Session.Password = "tanstaaf";
  EXPECT_TRUE(Session.Login());
  EXPECT_EQ(Session.ApopChallenge, "<1896.697170952@dbc.mtview.ca.us>");
  EXPECT_THAT(Session.Capabilities, ElementsAre("TOP", "USER"));
  Session.Logout();
  EXPECT_TRUE(Server.WaitDone());
  EXPECT_THAT(Server.Deviations(), IsEmpty());
  EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "APOP mrose c4c9334bac560ecc979e58001b3e22fb", "QUIT"));
}

TEST(Pop3Session, GreetingsWithOddBrackets) {
  struct TCase {
    std::string Greeting, Challenge;
  };
  const TCase Cases[] = {
      {"+OK ready <abc", ""},       {"+OK ready >x< y", ""},          {"+OK no challenge", ""},
      {"+OK < in > out >", "<in>"}, {"+OK a> b ", ""},                {"+OK <a><b>", "<a>"},
      {"+OK x <1.2@h> y", "<1.2@h>"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Greeting);
    TPop3ScriptServer Server;
    if (C.Challenge.empty()) {
      PlainLogin(Server, C.Greeting);
    } else {
      Server.Line(C.Greeting).On("CAPA", "-ERR\r\n").On("APOP u *", "+OK\r\n");
    }
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    EXPECT_TRUE(Session.Login());
    EXPECT_EQ(Session.ApopChallenge, C.Challenge);
    EXPECT_THAT(Server.Deviations(), IsEmpty());
  }
}

TEST(Pop3Session, RefusalsDuringLogin) {
  {
    SCOPED_TRACE("APOP only, but no challenge: nothing after CAPA");
    TPop3ScriptServer Server;
    Server.Line("+OK hi").On("CAPA", "+OK\r\n.\r\n").On("QUIT", "+OK\r\n");
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    Session.AuthMode = AuthApopOnly;
    EXPECT_FALSE(Session.Login());
    Session.Logout();
    EXPECT_TRUE(Server.WaitDone());
    EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "QUIT"));
  }
  {
    SCOPED_TRACE("USER refused: no PASS");
    TPop3ScriptServer Server;
    Server.Line("+OK hi").On("CAPA", "-ERR\r\n").On("USER u", "-ERR no such user\r\n").On("QUIT", "+OK\r\n");
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    EXPECT_FALSE(Session.Login());
    EXPECT_EQ(Session.StatusLine, "-ERR no such user");
    Session.Logout();
    EXPECT_TRUE(Server.WaitDone());
    EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "USER u", "QUIT"));
  }
  {
    SCOPED_TRACE("CAPA refused: no STLS although asked for, login goes on");
    TPop3ScriptServer Server;
    PlainLogin(Server);
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    Session.UseStls = true;
    EXPECT_TRUE(Session.Login());
    EXPECT_THAT(Session.Capabilities, IsEmpty());
    EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "USER u", "PASS p"));
  }
  {
    SCOPED_TRACE("wrong greeting");
    TPop3ScriptServer Server;
    Server.Line("-ERR go away");
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    EXPECT_FALSE(Session.Login());
    EXPECT_EQ(Session.StatusLine, "-ERR go away");
  }
}

TEST(Pop3Session, RefusedApopOpensASecondConnection) {
  for (TAuthMode Mode : {AuthAny, AuthApopOnly}) {
    SCOPED_TRACE(int(Mode));
    TPop3ScriptServer Server;
    Server.Line("+OK <1@x>").On("CAPA", "-ERR\r\n").On("APOP u *", "-ERR bad digest\r\n");
    Server.NextConnection().Line("+OK again <2@x>");
    if (Mode == AuthAny) Server.On("USER u", "+OK\r\n").On("PASS p", "+OK\r\n");
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    Session.AuthMode = Mode;
    EXPECT_EQ(Session.Login(), Mode == AuthAny);
    Session.Socket.CloseSocket();
    EXPECT_TRUE(Server.WaitDone());
    EXPECT_EQ(Server.Connections(), 2);
    EXPECT_THAT(Server.Deviations(), IsEmpty());
    EXPECT_EQ(Server.Commands(0).size(), 2u);
    if (Mode == AuthAny)
      EXPECT_THAT(Server.Commands(1), ElementsAre("USER u", "PASS p"));
    else
      EXPECT_THAT(Server.Commands(1), IsEmpty());
  }
}

TEST(Pop3Session, UnsafeCredentialsAreRefusedBeforeConnecting) {
  for (const std::string& Bad : {std::string("u\r\nDELE 1"), std::string("u\n"), std::string("u\0x", 3)}) {
    TPop3ScriptServer Server;
    PlainLogin(Server);
    ASSERT_TRUE(Server.Start());
    for (bool InUser : {true, false}) {
      TPOP3Send Session;
      Point(Session, Server);
      (InUser ? Session.UserName : Session.Password) = Bad;
      EXPECT_FALSE(Session.Login());
      EXPECT_FALSE(Session.LoginUserPass());
      EXPECT_FALSE(Session.LoginApop());
      Session.Logout();
    }
    usleep(50000);
    EXPECT_EQ(Server.Connections(), 0);
  }
}

TEST(Pop3Session, StatFormsAndSingleLineReplies) {
  TPop3ScriptServer Server;
  PlainLogin(Server);
  Server.On("STAT", "+OK 2 320\r\n")
      .On("STAT", "+OK\r\n")
      .On("STAT", "+OK 2 320 octets\r\n")
      .On("STAT", "+OK 7 x\r\n")
      .On("STAT", "-ERR later\r\n")
      .On("STAT", "+ok 3 3\r\n")
      .On("STAT", "+OK 1 6442450944\r\n")
      .On("DELE 2", "+OK marked\r\n")
      .On("DELE 9", "-ERR no such message\r\n")
      .On("QUIT", "+OK bye\r\n");
  ASSERT_TRUE(Server.Start());
  TPOP3Send Session;
  // Were any of these replies taken for the start of a list, the client would
  // wait the whole time-out for a "." that never comes.
  Point(Session, Server, 3000);
  auto Start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Session.Login());
  EXPECT_TRUE(Session.Stat());
  EXPECT_EQ(Session.MessageCount, 2);
  EXPECT_EQ(Session.MailboxSize, 320);
  EXPECT_TRUE(Session.Stat());
  EXPECT_EQ(Session.MessageCount, 0);
  EXPECT_EQ(Session.MailboxSize, 0);
  EXPECT_TRUE(Session.Stat());  // text behind the size is allowed
  EXPECT_EQ(Session.MessageCount, 2);
  EXPECT_EQ(Session.MailboxSize, 320);
  EXPECT_TRUE(Session.Stat());
  EXPECT_EQ(Session.MessageCount, 7);
  EXPECT_EQ(Session.MailboxSize, 0);
  EXPECT_FALSE(Session.Stat());  // refused: the counts stay
  EXPECT_EQ(Session.MessageCount, 7);
  EXPECT_FALSE(Session.Stat());  // "+ok" is not "+OK"
  EXPECT_EQ(Session.StatusLine, "+ok 3 3");
  EXPECT_TRUE(Session.Stat());  // 6 GiB
  EXPECT_EQ(Session.MailboxSize, 6442450944);
  EXPECT_TRUE(Session.Dele(2));
  EXPECT_FALSE(Session.Dele(9));
  EXPECT_EQ(Session.StatusLine, "-ERR no such message");
  Session.Logout();
  EXPECT_EQ(Session.StatusLine, "+OK bye");
  EXPECT_LT(MsSince(Start), 2000);
  EXPECT_TRUE(Server.WaitDone());
  EXPECT_THAT(Server.Deviations(), IsEmpty());
}

// RETR hands the message on a line at a time, keeping none of it: stuffed dots
// undone, a line over the bound cut and noted, and a sink that stops taking
// leaves the session in step.
TEST(Pop3Session, RetrHandsTheMessageOnLineByLine) {
  TPop3ScriptServer Server;
  PlainLogin(Server);
  Server.On("RETR 1", "+OK 60 octets\r\nSubject: a\r\n\r\n..dot\r\n" + std::string(40, 'x') + "\r\nend\r\n.\r\n")
      .On("RETR 2", "-ERR no such message\r\n")
      .On("RETR 3", "+OK\r\none\r\ntwo\r\n.\r\n")
      .On("DELE 3", "+OK\r\n");
  TPOP3Send Session;
  ASSERT_TRUE(StartAndPoint(Server, Session));
  Session.MaxLineBytes = 32;
  ASSERT_TRUE(Session.Login());
  std::vector<std::string> Got;
  const auto Keep = [&Got](std::string_view Line) {
    Got.emplace_back(Line);
    return true;
  };
  EXPECT_TRUE(Session.Retr(1, Keep));
  EXPECT_EQ(Got, (std::vector<std::string>{"Subject: a", "", ".dot", std::string(32, 'x'), "end"}));
  EXPECT_TRUE(Session.ReplyCut);
  EXPECT_TRUE(Session.ReplyLines.empty());
  Got.clear();
  EXPECT_FALSE(Session.Retr(2, Keep));
  EXPECT_EQ(Session.StatusLine, "-ERR no such message");
  EXPECT_TRUE(Got.empty());
  EXPECT_TRUE(Session.Retr(3, [&Got](std::string_view Line) {
    Got.emplace_back(Line);
    return false;
  }));
  EXPECT_FALSE(Session.ReplyCut);
  EXPECT_EQ(Got, (std::vector<std::string>{"one"}));
  EXPECT_TRUE(Session.Dele(3));
}

TEST(Pop3Session, ListsWithStuffedAndEmptyLinesAndAnyLineEnd) {
  TPop3ScriptServer Server;
  PlainLogin(Server);
  // CR LF, bare LF, lone CR and LF CR all end a line.
  Server.On("TOP 1 0", "+OK header\nA: 1\rB: 2\r\n\n..\n.x\r\nC: 3\n\rD: 4\r\n...\r\n.\r\n")
      .On("TOP 2 0", "-ERR no such message\r\n")
      .On("TOP 3 5", "+OK\r\n.\r\n")
      .On("DELE 1", "+OK\r\n")
      .On("CAPA", "+OK\r\nTOP\r\nstls now\r\nUSER\r\n.\r\n");
  TPOP3Send Session;
  ASSERT_TRUE(StartAndPoint(Server, Session));
  ASSERT_TRUE(Session.Login());
  EXPECT_TRUE(Session.Top(1, 0));
  EXPECT_EQ(Session.StatusLine, "+OK header");
  EXPECT_THAT(Session.ReplyLines, ElementsAre("A: 1", "B: 2", "", ".", "x", "C: 3", "D: 4", ".."));
  EXPECT_FALSE(Session.Top(2, 0));
  EXPECT_THAT(Session.ReplyLines, IsEmpty());
  EXPECT_TRUE(Session.Top(3, 5));
  EXPECT_THAT(Session.ReplyLines, IsEmpty());
  EXPECT_TRUE(Session.Dele(1));  // its own reply, nothing left over from the lists
  EXPECT_TRUE(Session.ReadCapabilities());
  EXPECT_EQ(Session.FindCapability("Stls"), "stls now");
  EXPECT_EQ(Session.FindCapability("top"), "TOP");
  EXPECT_EQ(Session.FindCapability("SASL"), "");
  EXPECT_THAT(Server.Deviations(), IsEmpty());
}

// A reply that cannot be read whole fails and drops the connection: nothing
// after it reaches the server, QUIT included, so no deletion is carried out.
TEST(Pop3Session, BrokenRepliesDropTheConnection) {
  struct TCase {
    std::string Name, Reply;
    int StallMs;
    bool CloseAfter;
  };
  const TCase Cases[] = {
      {"stall inside a list", "+OK\r\nSubject: a\r\n", 1500, false},
      {"stall inside the status line", "+O", 1500, false},
      {"close inside a list", "+OK\r\nSubject: a\r\nX-", 0, true},
      {"close before the status line", "", 0, true},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TPop3ScriptServer Server;
    PlainLogin(Server);
    Server.On("TOP 1 0", C.Reply);
    if (C.StallMs) Server.Stall(C.StallMs).Send("more: x\r\n.\r\n");
    if (C.CloseAfter) Server.Close();
    Server.AfterScriptReply = "+OK\r\n";
    ASSERT_TRUE(Server.Start());
    TPOP3Send Session;
    Point(Session, Server, 300);
    ASSERT_TRUE(Session.Login());
    EXPECT_FALSE(Session.Top(1, 0));
    EXPECT_EQ(Session.ReplyStatus, 0);
    EXPECT_THAT(Session.ReplyLines, IsEmpty());
    EXPECT_FALSE(Session.Socket.HasSocket());
    // Calls on a dropped session fail at once: were they to wait for a reply,
    // the long time-out would show three times over.
    Session.TimeoutMs = 20000;
    auto Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Session.Dele(1));
    EXPECT_FALSE(Session.Stat());
    EXPECT_FALSE(Session.Top(2, 0));
    Session.Logout();
    EXPECT_LT(MsSince(Start), 15000);
    EXPECT_TRUE(Server.WaitDone());
    EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "USER u", "PASS p", "TOP 1 0"));
  }
}

// As the tool works: the header of message 3 stalls half-way, the server then
// sends its rest; the tool goes on with DELE 3 (a filter word matched what it
// saw) and then TOP 2 / DELE 2. No DELE may reach the server.
TEST(Pop3Session, StallInAHeaderNeverDeletesAnotherMessage) {
  TPop3ScriptServer Server;
  PlainLogin(Server);
  Server.On("STAT", "+OK 3 300\r\n")
      .On("TOP 3 0", "+OK\r\nSubject: offer\r\n")
      .Stall(800)
      .Send("X-Spam: yes\r\n\r\n.\r\n");
  Server.AfterScriptReply = "+OK\r\n";
  ASSERT_TRUE(Server.Start());
  TPOP3Send Session;
  Point(Session, Server, 300);
  ASSERT_TRUE(Session.Login());
  ASSERT_TRUE(Session.Stat());
  for (int N = Session.MessageCount; N >= 1; --N) {
    Session.Top(N, 0);
    Session.Dele(N);
  }
  Session.Logout();
  EXPECT_TRUE(Server.WaitDone());
  const Strings Got = Server.Commands();
  EXPECT_FALSE(AnyBeginsWith(Got, "DELE"));
  EXPECT_FALSE(AnyBeginsWith(Got, "QUIT"));
  EXPECT_THAT(Got, ElementsAre("CAPA", "USER u", "PASS p", "STAT", "TOP 3 0"));
}

TEST(Pop3Session, OverlongHeaderLinesAreCutAndRepliesStayBounded) {
  {
    SCOPED_TRACE("one whole header line beyond the bound, read in many pieces");
    const std::string Long = "Subject: " + std::string(70 * 1024, 'a') + "\x01" + std::string(30 * 1024, 'b');
    TPop3ScriptServer Server;
    PlainLogin(Server);
    Server.On("TOP 1 0", "+OK\r\nFrom: x\r\n" + Long + "\r\nTo: y\n\r\n.\r\n")
        .On("TOP 2 0", "+OK\r\n" + Long + "\r\n.\r\n")
        .On("TOP 3 0", "+OK\r\n..\r\n" + Long + "\n.\r\n")
        .On("DELE 3", "+OK\r\n");
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    Session.Socket.LineLimit = 123;
    ASSERT_TRUE(Session.Login());
    const std::string Kept = Long.substr(0, Session.MaxLineBytes);
    EXPECT_TRUE(Session.Top(1, 0));
    EXPECT_THAT(Session.ReplyLines, ElementsAre("From: x", Kept, "To: y", ""));
    EXPECT_TRUE(Session.Top(2, 0));
    EXPECT_THAT(Session.ReplyLines, ElementsAre(Kept));
    EXPECT_TRUE(Session.Top(3, 0));
    EXPECT_THAT(Session.ReplyLines, ElementsAre(".", Kept));
    EXPECT_TRUE(Session.Dele(3));  // the dialogue is still in step
    EXPECT_EQ(Session.Socket.LineLimit, 123);  // the caller's value is back
  }
  {
    SCOPED_TRACE("a status line beyond the bound still drops the session");
    TPop3ScriptServer Server;
    PlainLogin(Server);
    Server.On("STAT", "+OK 1 " + std::string(70 * 1024, '1') + "\r\n");
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    ASSERT_TRUE(Session.Login());
    EXPECT_FALSE(Session.Stat());
    EXPECT_FALSE(Session.Socket.HasSocket());
  }
  {
    SCOPED_TRACE("a line that never ends");
    TPop3ScriptServer Server;
    PlainLogin(Server);
    Server.On("TOP 1 0", "+OK\r\n" + std::string(8 << 20, 'a')).Stall(3000);
    ASSERT_TRUE(Server.Start());
    TPOP3Send Session;
    Point(Session, Server, 2500);
    Session.MaxReplyBytes = 4 << 20;
    ASSERT_TRUE(Session.Login());
    auto Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Session.Top(1, 0));
    EXPECT_LT(MsSince(Start), 2000);  // the bound ended it, not the time-out
    EXPECT_FALSE(Session.Socket.HasSocket());
    EXPECT_EQ(Session.Socket.LineLimit, 0);
  }
  {
    SCOPED_TRACE("a list beyond the reply bound");
    std::string Big = "+OK\r\n";
    for (int I = 0; I < 40000; ++I) Big += "Received: from somewhere by elsewhere\r\n";
    TPop3ScriptServer Server;
    PlainLogin(Server);
    Server.On("TOP 1 0", Big + ".\r\n").On("TOP 1 0", Big + ".\r\n");
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    ASSERT_TRUE(Session.Login());
    EXPECT_TRUE(Session.Top(1, 0));  // 1.5 MB: well inside the default bound
    EXPECT_EQ(Session.ReplyLines.size(), 40000u);
    Session.MaxReplyBytes = 1 << 20;
    EXPECT_FALSE(Session.Top(1, 0));
    EXPECT_THAT(Session.ReplyLines, IsEmpty());
    EXPECT_FALSE(Session.Socket.HasSocket());
  }
}

TEST(Pop3Session, LineBoundAtItsEdge) {
  // Runs TOP 1 0 against a server whose reply holds Header; true when taken.
  auto TopWith = [](const std::string& Header, Strings& Lines) {
    TPop3ScriptServer Server;
    PlainLogin(Server);
    Server.On("TOP 1 0", "+OK\r\n" + Header + ".\r\n").On("QUIT", "+OK\r\n");
    EXPECT_TRUE(Server.Start());
    TPOP3Send Session;
    Point(Session, Server);
    Session.MaxLineBytes = 100;
    EXPECT_TRUE(Session.Login());
    const bool Taken = Session.Top(1, 0);
    Lines = Session.ReplyLines;
    EXPECT_EQ(Session.Socket.HasSocket(), Taken);
    Session.Logout();
    EXPECT_TRUE(Server.WaitDone());
    return Taken;
  };
  const std::string Exact = "X: " + std::string(97, 'a');
  const std::string OneMore = Exact + "a";
  Strings Lines;
  EXPECT_TRUE(TopWith(Exact + "\r\n", Lines));
  EXPECT_THAT(Lines, ElementsAre(Exact));
  EXPECT_TRUE(TopWith(Exact + "\n", Lines));
  EXPECT_THAT(Lines, ElementsAre(Exact));
  // One byte more is cut off, and the session goes on.
  EXPECT_TRUE(TopWith(OneMore + "\r\n", Lines));
  EXPECT_THAT(Lines, ElementsAre(Exact));
  EXPECT_TRUE(TopWith(OneMore + "\n", Lines));
  EXPECT_THAT(Lines, ElementsAre(Exact));
  EXPECT_TRUE(TopWith(OneMore + "bc\r\n" + Exact + "\r", Lines));
  EXPECT_THAT(Lines, ElementsAre(Exact, Exact));
}

// The server agrees to STLS and then sends a reply in clear: it must not be
// taken for a reply inside TLS, and no password may follow in clear.
TEST(Pop3Session, ClearBytesBehindTheStlsAgreement) {
  TPop3ScriptServer Server;
  Server.Line("+OK hi")
      .On("CAPA", "+OK\r\nSTLS\r\nUSER\r\n.\r\n")
      .On("STLS", "+OK begin TLS\r\n+OK\r\nSTLS\r\nUSER\r\n.\r\n+OK\r\n+OK\r\n")
      .Stall(300)
      .Close();
  TPOP3Send Session;
  ASSERT_TRUE(StartAndPoint(Server, Session));
  Session.UseStls = true;
  EXPECT_FALSE(Session.Login());
  EXPECT_FALSE(Session.Socket.HasSocket());
  Session.Logout();
  EXPECT_TRUE(Server.WaitDone());
  EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "STLS"));
}

TEST(Pop3Session, ScriptServerOnAGivenPortRecordsDeviations) {
  const int Port = FreeTcpPort();
  TPop3ScriptServer Server;
  Server.Line("+OK hi").On("CAPA", "-ERR\r\n").On("USER someone", "+OK\r\n");
  ASSERT_TRUE(Server.Start(Port));
  EXPECT_EQ(Server.Port(), Port);
  TPOP3Send Session;
  Point(Session, Server);
  EXPECT_FALSE(Session.Login());
  EXPECT_EQ(Session.StatusLine, "-ERR unexpected command");
  Session.Logout();
  EXPECT_TRUE(Server.WaitDone());
  EXPECT_THAT(Server.Deviations(), ElementsAre("connection 0: expected \"USER someone\", got \"USER u\""));
  EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "USER u", "QUIT"));
}

// A server that agrees to STLS and then never answers the handshake holds the
// client no longer than its time-out.
TEST(Pop3Session, SilentTlsHandshakeEndsAtTheTimeOut) {
  TPop3ScriptServer Server;
  Server.Line("+OK hi").On("CAPA", "+OK\r\nSTLS\r\n.\r\n").On("STLS", "+OK go ahead\r\n").Stall(4000);
  ASSERT_TRUE(Server.Start());
  TPOP3Send Session;
  Point(Session, Server, 500);
  Session.UseStls = true;
  auto Start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Session.Login());
  EXPECT_LT(MsSince(Start), 2500);
  EXPECT_FALSE(Session.Socket.HasSocket());
  EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "STLS"));
}

TEST(Pop3Session, CapabilityIsTheWholeFirstWord) {
  TPOP3Send Session;
  Session.Capabilities = {"TOP", "pipelining", "SASL PLAIN", "PIPELININGX"};
  EXPECT_TRUE(Session.HasCapability("PIPELINING"));
  EXPECT_TRUE(Session.HasCapability("sasl"));
  EXPECT_FALSE(Session.HasCapability("PIPE"));
  Session.Capabilities = {"PIPELININGX", "UIDL"};
  EXPECT_FALSE(Session.HasCapability("PIPELINING"));
}

// Commands sent ahead are answered in order; a command that waits for its own
// reply may not go while replies are owed, and waiting bytes before the first
// command sent ahead fail it as they fail a one-at-a-time command.
TEST(Pop3Session, SendAheadThenReadTheRepliesInOrder) {
  TPop3ScriptServer Server;
  PlainLogin(Server);
  Server.On("TOP 2 0", "+OK\r\nSubject: two\r\n..dot\r\n\r\n.\r\n")
      .On("LIST 2", "+OK 2 120\r\n")
      .On("DELE 2", "-ERR locked\r\n")
      .On("STAT", "+OK 1 10\r\n")
      .Send("+OK stray\r\n")
      .Expect("NOOP");
  TPOP3Send Session;
  ASSERT_TRUE(StartAndPoint(Server, Session));
  ASSERT_TRUE(Session.Login());
  EXPECT_FALSE(Session.SendAhead({"TOP 2 0", "LIST 2\r\nDELE 1"}));  // refused before sending
  EXPECT_TRUE(Session.Socket.HasSocket());
  ASSERT_TRUE(Session.SendAhead({"TOP 2 0", "LIST 2"}));
  ASSERT_TRUE(Session.SendAhead({"DELE 2"}));
  EXPECT_EQ(Session.RepliesOutstanding(), 3);
  EXPECT_FALSE(Session.Stat());  // would take TOP's reply for its own
  EXPECT_EQ(Session.ReadReply(true), 1);
  EXPECT_THAT(Session.ReplyLines, ElementsAre("Subject: two", ".dot", ""));
  EXPECT_EQ(Session.ReadReply(false), 1);
  EXPECT_EQ(Session.StatusLine, "+OK 2 120");
  EXPECT_EQ(Session.ReadReply(false), 0);
  EXPECT_EQ(Session.StatusLine, "-ERR locked");
  EXPECT_EQ(Session.RepliesOutstanding(), 0);
  EXPECT_TRUE(Session.Stat());
  EXPECT_EQ(Session.MessageCount, 1);
  // "+OK stray" is waiting: nothing sent ahead can own it.
  usleep(200 * 1000);
  EXPECT_FALSE(Session.SendAhead({"NOOP"}));
  EXPECT_FALSE(Session.Socket.HasSocket());
  EXPECT_THAT(Server.Commands(), ElementsAre("CAPA", "USER u", "PASS p", "TOP 2 0", "LIST 2", "DELE 2", "STAT"));
}

// Where TLS is required, a server that will not switch gets neither user name
// nor password, and the caller learns why and at which step.
TEST(Pop3Session, RequiredStlsSendsNoCredentialsWithoutIt) {
  struct TCase {
    std::string Capa, StlsReply, Failure;
    std::vector<std::string> Commands;
  };
  const std::vector<TCase> Cases = {
      {"+OK\r\nUSER\r\n.\r\n", "", "STLS not offered by the server", {"CAPA"}},
      {"-ERR no CAPA here\r\n", "", "STLS not offered by the server", {"CAPA"}},
      {"+OK\r\nSTLS\r\n.\r\n", "-ERR not today\r\n", "STLS refused: -ERR not today", {"CAPA", "STLS"}},
  };
  for (const auto& C : Cases) {
    TPop3ScriptServer Server;
    Server.Line("+OK hi").On("CAPA", C.Capa);
    if (!C.StlsReply.empty()) Server.On("STLS", C.StlsReply);
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    Session.UseStls = Session.StlsRequired = true;
    EXPECT_FALSE(Session.Login());
    EXPECT_EQ(Session.Failure.Step, LoginStepTls);
    EXPECT_EQ(Session.Failure.Reason, C.Failure);
    EXPECT_FALSE(Session.Socket.HasSocket());
    Session.Logout();  // not even QUIT goes out
    EXPECT_TRUE(Server.WaitDone());
    EXPECT_EQ(Server.Commands(), C.Commands) << C.Failure;
  }
}

// Each row fails the login at one step; the record says which, and what it
// holds (a field left unset is not looked at).
TEST(Pop3Session, LoginSaysWhereItStopped) {
  struct TStop {
    const char* Name;
    std::function<void(TPop3ScriptServer&)> Script;  // empty: no server
    std::function<void(TPOP3Send&)> Prepare;
    TLoginStep Step;
    std::optional<std::string> ServerLine = std::nullopt;
    std::optional<std::string> Reason = std::nullopt;  // "?": any, but not empty
    std::optional<bool> Connected = std::nullopt;
    std::optional<bool> FirstHopConnected = std::nullopt;
    int32_t SocketCode = 0;
  };
  const std::vector<TStop> Stops = {
      {"nothing listens", {}, [](TPOP3Send& S) { S.Port = std::to_string(FreeTcpPort()); }, LoginStepConnect, {}, {},
       {}, false, 10061},
      {"greeting refused", [](TPop3ScriptServer& S) { S.Line("-ERR go away"); }, {}, LoginStepGreeting,
       "-ERR go away", {}, {}, true},
      // Credentials that would break their command: refused before connecting.
      {"line break in the user name", {}, [](TPOP3Send& S) { S.UserName = "u\r\nDELE 1"; }, LoginStepAuth, {},
       "the user name or password holds a line break or NUL", {}, false},
      // Bytes nobody asked for drop the connection before USER: that is no
      // fault of the credentials, and the record does not say it is.
      {"surplus before USER", [](TPop3ScriptServer& S) { S.Line("+OK hi").On("CAPA", "-ERR\r\n+OK surplus\r\n"); },
       {}, LoginStepAuth, {}, "", false},
      {"wrong password",
       [](TPop3ScriptServer& S) {
         S.Line("+OK hi").On("CAPA", "-ERR\r\n").On("USER u", "+OK\r\n").On("PASS p", "-ERR wrong password\r\n");
       },
       {}, LoginStepAuth, "-ERR wrong password", "", true},
      // A server that speaks no TLS at all on the implicit-TLS path.
      {"clear text on the TLS port", [](TPop3ScriptServer& S) { S.Line("+OK this is clear text"); },
       [](TPOP3Send& S) {
         S.ImplicitTls = true;
         S.TimeoutMs = 2000;
       },
       LoginStepTls, {}, "?"},
  };
  for (const TStop& Stop : Stops) {
    SCOPED_TRACE(Stop.Name);
    TPop3ScriptServer Server;
    TPOP3Send Session;
    Session.Host = "127.0.0.1";
    if (Stop.Script) {
      Stop.Script(Server);
      ASSERT_TRUE(Server.Start());
      Point(Session, Server);
    }
    if (Stop.Prepare) Stop.Prepare(Session);
    EXPECT_FALSE(Session.Login());
    const TLoginFailure& F = Session.Failure;
    EXPECT_EQ(F.Step, Stop.Step);
    if (Stop.SocketCode) {
      EXPECT_EQ(F.SocketCode, Stop.SocketCode);
    }
    if (Stop.ServerLine) {
      EXPECT_EQ(F.ServerLine, *Stop.ServerLine);
      EXPECT_EQ(Session.StatusLine, *Stop.ServerLine);
    }
    if (Stop.Reason) {
      EXPECT_TRUE(*Stop.Reason == "?" ? !F.Reason.empty() : F.Reason == *Stop.Reason) << F.Reason;
    }
    if (Stop.Connected) {
      EXPECT_EQ(F.Connected, *Stop.Connected);
    }
    if (Stop.FirstHopConnected) {
      EXPECT_EQ(F.FirstHopConnected, *Stop.FirstHopConnected);
    }
  }
}

// SASL logins against a scripted server that replays known exchanges: the
// SCRAM one is RFC 7677's own (user "user", password "pencil").
TEST(Pop3Session, SaslLogins) {
  using TDialogue = std::vector<std::pair<std::string, std::string>>;  // expected line, reply
  struct TCase {
    const char* Name;
    const char* Capa;  // the SASL capability line
    TAuthMode Mode;
    std::string Password;
    TDialogue Dialogue;
    bool LoggedIn;
    std::string Reason;  // part of what the failure record says, when it fails
  };
  const std::string ScramFirst = "AUTH SCRAM-SHA-256 biwsbj11c2VyLHI9ck9wck5HZndFYmVSV2diTkVrcU8=";
  const std::string ServerFirst = "+ cj1yT3ByTkdmd0ViZVJXZ2JORWtxTyVodllEcFdVYTJSYVRDQWZ1eEZJbGopaE5sRiRrMCxzPVcyMlphSjBTTlk3c29Fc1VFamI2Z1E9PSxpPTQwOTY=\r\n";
  const std::string ClientFinal = "Yz1iaXdzLHI9ck9wck5HZndFYmVSV2diTkVrcU8laHZZRHBXVWEyUmFUQ0FmdXhGSWxqKWhObEYkazAscD1kSHpiWmFwV0lrNGpVaE4rVXRlOXl0YWc5empmTUhnc3FtbWl6N0FuZFZRPQ==";
  const TDialogue ScramDone = {{ScramFirst, ServerFirst}, {ClientFinal, "+ dj02cnJpVFJCaTIzV3BSUi93dHVwK21NaFVaVW4vZEI1bkxUSlJzamw5NUc0PQ==\r\n"}, {"", "+OK\r\n"}};
  const std::string XOAuth2 = "dXNlcj11c2VyAWF1dGg9QmVhcmVyIHBlbmNpbAEB";
  const std::vector<TCase> Cases = {
      {"Plain", "SASL PLAIN", AuthPlain, "pencil", {{"AUTH PLAIN AHVzZXIAcGVuY2ls", "+OK\r\n"}}, true, ""},
      // Beyond 255 octets the initial response waits for the server's "+ ".
      {"PlainLong", "SASL PLAIN", AuthPlain, std::string(300, 'x'), {{"AUTH PLAIN", "+ \r\n"}, {"AHVzZXIAeHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4", "+OK\r\n"}}, true, ""},
      {"XOAuth2", "SASL XOAUTH2", AuthXOAuth2, "pencil", {{"AUTH XOAUTH2", "+ \r\n"}, {XOAuth2, "+OK\r\n"}}, true, ""},
      {"XOAuth2Refused", "SASL XOAUTH2", AuthXOAuth2, "pencil",
       {{"AUTH XOAUTH2", "+ \r\n"}, {XOAuth2, "+ eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=\r\n"}, {"", "-ERR [AUTH] Invalid token\r\n"}}, false,
       "the token was refused: {\"status\":\"invalid_token\"}"},
      // Where CAPA lists no USER, the strongest mechanism offered; the rows below name it.
      {"AutoTakesScram", "SASL PLAIN SCRAM-SHA-256", AuthAny, "pencil", ScramDone, true, ""},
      // A server that cannot prove it knows the password gets nothing more.
      {"ScramWrongSignature", "SASL SCRAM-SHA-256", AuthScramSha256, "pencil",
       {{ScramFirst, ServerFirst}, {ClientFinal, "+ dj1BQUFBVFJCaTIzV3BSUi93dHVwK21NaFVaVW4vZEI1bkxUSlJzamw5NUc0PQ==\r\n"}}, false, "signature"},
      {"ScramWrongPassword", "SASL SCRAM-SHA-256", AuthScramSha256, "pen",
       {{ScramFirst, ServerFirst}, {"Yz1iaXdzLHI9*", "-ERR [AUTH] Authentication failed\r\n"}}, false, ""},
      {"ScramAcceptedUnproven", "SASL SCRAM-SHA-256", AuthScramSha256, "pencil", {{ScramFirst, ServerFirst}, {ClientFinal, "+OK\r\n"}}, false, "without proving"},
      // A server message the SCRAM client refuses (its own tests say which) cancels with "*".
      {"ScramNonceNotOurs", "SASL SCRAM-SHA-256", AuthScramSha256, "pencil", {{ScramFirst, "+ cj1zb21lb25lZWxzZSxzPVcyMlphSjBTTlk3c29Fc1VFamI2Z1E9PSxpPTQwOTY=\r\n"}, {"*", "-ERR cancelled\r\n"}}, false, "nonce"},
      // A named method the server lacks: nothing is sent for it.
      {"NotOffered", "SASL PLAIN LOGIN", AuthXOAuth2, "pencil", {}, false, "the server does not offer XOAUTH2 (it offers PLAIN, LOGIN)"},
  };
  for (const TCase& C : Cases) {
    TPop3ScriptServer Server;
    Server.Line("+OK hi").On("CAPA", std::string("+OK\r\n") + C.Capa + "\r\n.\r\n");
    for (const auto& [Line, Reply] : C.Dialogue) Server.On(Line, Reply);
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    Session.UserName = "user";
    Session.Password = C.Password;
    Session.AuthMode = C.Mode;
    Session.ScramNonce = "rOprNGfwEbeRWgbNEkqO";
    EXPECT_EQ(Session.Login(), C.LoggedIn) << C.Name;
    EXPECT_NE(Session.Failure.Reason.find(C.Reason), std::string::npos) << C.Name << ": " << Session.Failure.Reason;
    Session.Socket.CloseSocket();  // no QUIT: the dialogue is the login's alone
    EXPECT_TRUE(Server.WaitDone());
    // CAPA and every line expected, and nothing after them.
    EXPECT_EQ(Server.Commands().size(), C.Dialogue.size() + 1) << C.Name;
    EXPECT_TRUE(Server.Deviations().empty()) << C.Name << ": " << ::testing::PrintToString(Server.Deviations());
  }
}

// Where CAPA lists PIPELINING before login, the login's last command carries
// STAT and LIST in one flight; the LIST nobody asks for is set aside before QUIT.
TEST(Pop3Session, LoginInOneFlight) {
  const struct {
    std::string Greeting;
    TAuthMode Mode;
    std::vector<std::pair<std::string, std::string>> Login;  // expected line, reply
    Strings Seen;  // as the server saw it: "> " for a command sent ahead
  } Cases[] = {
      {"+OK hi", AuthAny, {{"USER u", "+OK\r\n"}, {"PASS p", "+OK\r\n"}}, {"USER u", "> PASS p"}},
      {"+OK hi <1.2@h>", AuthAny, {{"APOP u *", "+OK\r\n"}}, {"APOP u 9eb017546280e244462e0f3c259350c7"}},
      {"+OK hi", AuthPlain, {{"AUTH PLAIN AHUAcA==", "+OK\r\n"}}, {"AUTH PLAIN AHUAcA=="}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Seen.front());
    TPop3ScriptServer Server;
    Server.Line(C.Greeting).On("CAPA", "+OK\r\nUSER\r\nPIPELINING\r\nSASL PLAIN\r\n.\r\n");
    for (const auto& [Line, Reply] : C.Login) Server.On(Line, Reply);
    Server.On("STAT", "+OK 0 0\r\n").On("LIST", "+OK\r\n.\r\n").On("QUIT", "+OK\r\n");
    TPOP3Send Session;
    ASSERT_TRUE(StartAndPoint(Server, Session));
    Session.AuthMode = C.Mode;
    Session.LoginInOneFlight = true;
    Session.FirstCommands = {"STAT", "LIST"};
    EXPECT_TRUE(Session.Login() && Session.Stat());
    Session.Logout();
    EXPECT_EQ(Session.ReplyStatus, 1);
    EXPECT_TRUE(Server.WaitDone());
    Strings Seen = {"CAPA"};
    Seen.insert(Seen.end(), C.Seen.begin(), C.Seen.end());
    Seen.insert(Seen.end(), {"> STAT", "> LIST", "QUIT"});
    EXPECT_EQ(Server.Dialogue(), Seen);
  }
}
