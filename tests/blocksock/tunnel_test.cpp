// Connect through an HTTP CONNECT tunnel: tinyproxy for the real dialogue, a
// scripted proxy for exact request bytes and unusual replies.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "blocksock/tcp_socket.h"
#include "support/requirement.h"
#include "support/proxies.h"

using namespace quorrel;

namespace {

// A proxy that reads the request head and answers with Reply, then waits for
// the client to close.
std::function<void(TPeerConnection&)> TunnelProxy(std::string Reply) {
  return [Reply](TPeerConnection& C) {
    if (C.ReadUntil("\r\n\r\n").empty()) return;
    C.Write(Reply);
    C.ReadToEnd(3000);
  };
}

struct TOutcome {
  std::string Wire;
  int32_t Code = -1;
  bool Established = false;
  std::string TargetHost, TargetPort, RemoteText, FirstLine;
  int RemotePort = 0;
};

TOutcome TunnelThrough(std::function<void(TPeerConnection&)> Script, const std::string& Host,
                       const std::string& Port, const std::function<void(TTCPBlockSocket&)>& Setup = {},
                       bool ReadLine = false) {
  TScriptedServer Server(std::move(Script));
  TTCPBlockSocket Socket;
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = Server.PortText();
  Socket.TunnelTimeoutMs = 3000;
  if (Setup) Setup(Socket);
  Socket.Connect(Host, Port);
  TOutcome O;
  O.Code = Socket.LastErrorCode;
  O.Established = Socket.TunnelEstablished;
  O.TargetHost = Socket.TunnelTargetHost;
  O.TargetPort = Socket.TunnelTargetPort;
  O.RemoteText = Socket.RemoteAddressText();
  O.RemotePort = Socket.RemotePortNumber();
  if (ReadLine) O.FirstLine = Socket.ReceiveLine(3000);
  Socket.CloseSocket();
  O.Wire = Server.Transcript();
  return O;
}

const std::string Ok200 = "HTTP/1.0 200 Connection established\r\n\r\n";

TEST(TunnelRequest, BytesWithAndWithoutCredentials) {
  auto O = TunnelThrough(TunnelProxy(Ok200), "mail.example", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_EQ(O.Wire, "CONNECT mail.example:110 HTTP/1.0\r\n\r\n");

  O = TunnelThrough(TunnelProxy(Ok200), "mail.example", "110", [](TTCPBlockSocket& S) {
    S.TunnelUser = "bob";
    S.TunnelPassword = "secret";
  });
  EXPECT_EQ(O.Wire, "CONNECT mail.example:110 HTTP/1.0\r\nProxy-Authorization: Basic Ym9iOnNlY3JldA==\r\n\r\n");

  // No user: no authorization line, whatever the password.
  O = TunnelThrough(TunnelProxy(Ok200), "mail.example", "110", [](TTCPBlockSocket& S) { S.TunnelPassword = "x"; });
  EXPECT_EQ(O.Wire, "CONNECT mail.example:110 HTTP/1.0\r\n\r\n");

  // A user without a password: "bob:".
  O = TunnelThrough(TunnelProxy(Ok200), "mail.example", "110", [](TTCPBlockSocket& S) { S.TunnelUser = "bob"; });
  EXPECT_EQ(O.Wire, "CONNECT mail.example:110 HTTP/1.0\r\nProxy-Authorization: Basic Ym9iOg==\r\n\r\n");
}

TEST(TunnelRequest, TargetForms) {
  auto O = TunnelThrough(TunnelProxy(Ok200), "2001:db8::1", "pop3");
  EXPECT_EQ(O.Code, 0);
  EXPECT_EQ(O.Wire, "CONNECT [2001:db8::1]:110 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(O.TargetHost, "[2001:db8::1]");
  EXPECT_EQ(O.TargetPort, "110");
  EXPECT_EQ(O.RemoteText, "[2001:db8::1]");
  EXPECT_EQ(O.RemotePort, 110);

  O = TunnelThrough(TunnelProxy(Ok200), "localhost", "no-such-service");
  EXPECT_EQ(O.Wire, "CONNECT localhost:0 HTTP/1.0\r\n\r\n");  // never resolved here
  EXPECT_EQ(O.RemotePort, 0);
}

// A target that would split the request line is not sent at all.
TEST(TunnelRequest, LineBreakInTargetSendsNothing) {
  auto O = TunnelThrough(TunnelProxy(Ok200), "a\r\nX-Injected: 1\r\n\r\nb", "110");
  EXPECT_EQ(O.Code, 10091);
  EXPECT_FALSE(O.Established);
  EXPECT_EQ(O.Wire, "");
}

TEST(TunnelReply, StatusLineRules) {
  // Bare LF line ends; bytes right after the empty line belong to the target.
  auto O = TunnelThrough(TunnelProxy("HTTP/1.1 200 OK\nVia: x\n\n+OK ready\r\n"), "h", "110", {}, true);
  EXPECT_EQ(O.Code, 0);
  EXPECT_TRUE(O.Established);
  EXPECT_EQ(O.FirstLine, "+OK ready");
  EXPECT_EQ(O.RemoteText, "h");

  O = TunnelThrough(TunnelProxy("HTTP/1.0 200 OK\r\n\r\n+OK ready\r\n"), "h", "110", {}, true);
  EXPECT_EQ(O.FirstLine, "+OK ready");

  // A later status line overrides an earlier one.
  O = TunnelThrough(TunnelProxy("HTTP/1.0 200 OK\r\nHTTP/1.0 502 Bad\r\n\r\n"), "h", "110");
  EXPECT_EQ(O.Code, 10091);
  O = TunnelThrough(TunnelProxy("HTTP/1.0 100 Go on\r\nHTTP/1.0 204 Fine\r\n\r\n"), "h", "110");
  EXPECT_EQ(O.Code, 0);

  // A line of exactly 11 bytes before its LF is no status line.
  O = TunnelThrough(TunnelProxy("HTTP/1.0 20\n\n"), "h", "110");
  EXPECT_EQ(O.Code, 10091);
  EXPECT_FALSE(O.Established);
  O = TunnelThrough(TunnelProxy("http/1.0 200 OK\r\n\r\n"), "h", "110");
  EXPECT_EQ(O.Code, 10091);
  O = TunnelThrough(TunnelProxy("HTTP/1.0 407 Proxy Authentication Required\r\n\r\n"), "h", "110");
  EXPECT_EQ(O.Code, 10091);
  EXPECT_FALSE(O.Established);
  EXPECT_EQ(O.RemoteText, "127.0.0.1");  // no tunnel: the proxy's own address
}

TEST(TunnelReply, ShortestStatusLineIsAccepted) {
  // "HTTP/1.0 200" with no reason phrase: 12 bytes, one more than a status line needs.
  auto O = TunnelThrough(TunnelProxy("HTTP/1.0 200\r\n\r\n+OK ready\r\n"), "h", "110", {}, true);
  EXPECT_EQ(O.Code, 0);
  EXPECT_TRUE(O.Established);
  EXPECT_EQ(O.FirstLine, "+OK ready");
  O = TunnelThrough(TunnelProxy("HTTP/1.0 200\n\n"), "h", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_TRUE(O.Established);
}

TEST(TunnelReply, CloseAndSilenceKeepTheReceiveError) {
  auto Closing = [](TPeerConnection& C) {
    C.ReadUntil("\r\n\r\n");
    C.Write("HTTP/1.0 200 OK\r\n");
  };
  auto O = TunnelThrough(Closing, "h", "110");
  EXPECT_EQ(O.Code, 10054);
  EXPECT_FALSE(O.Established);
  EXPECT_EQ(O.TargetHost, "h");  // written whatever the outcome

  auto Silent = [](TPeerConnection& C) { C.ReadToEnd(5000); };
  O = TunnelThrough(Silent, "h", "110", [](TTCPBlockSocket& S) { S.TunnelTimeoutMs = 300; });
  EXPECT_EQ(O.Code, 10060);
}

// ---- bounds on the proxy's reply ----

struct TBoundedOutcome {
  int32_t Code = -1;
  bool Established = false, Open = true, Negotiating = true, Buffered = true;
  long long Ms = 0;
};

// Connects through a scripted proxy that answers with Script; Stop is set once
// Connect has returned, so that a proxy that would talk for ever ends.
TBoundedOutcome BoundedTunnel(std::function<void(TPeerConnection&, const std::atomic<bool>&)> Script,
                              int32_t TimeoutMs = 3000) {
  auto Stop = std::make_shared<std::atomic<bool>>(false);
  TScriptedServer Server([Script, Stop](TPeerConnection& C) {
    if (C.ReadUntil("\r\n\r\n").empty()) return;
    Script(C, *Stop);
  });
  TTCPBlockSocket Socket;
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = Server.PortText();
  Socket.TunnelTimeoutMs = TimeoutMs;
  const auto Start = std::chrono::steady_clock::now();
  Socket.Connect("h", "110");
  TBoundedOutcome O;
  O.Ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
  *Stop = true;
  O.Code = Socket.LastErrorCode;
  O.Established = Socket.TunnelEstablished;
  O.Open = Socket.HasSocket();
  O.Negotiating = Socket.ProxyNegotiating;
  O.Buffered = !Socket.ReadBuffer.empty();
  Socket.CloseSocket();
  Server.Transcript();
  return O;
}

std::function<void(TPeerConnection&, const std::atomic<bool>&)> Answer(std::string Reply) {
  return [Reply](TPeerConnection& C, const std::atomic<bool>&) {
    C.Write(Reply);
    C.ReadToEnd(3000);
  };
}

// Sends Piece every 50 ms for up to 6 s, then hangs up: each piece comes well
// inside the time-out, but the reply never ends.
std::function<void(TPeerConnection&, const std::atomic<bool>&)> Dripping(std::string First, std::string Piece) {
  return [First, Piece](TPeerConnection& C, const std::atomic<bool>& Stop) {
    C.Write(First);
    for (int I = 0; I < 120 && !Stop; ++I) {
      C.Write(Piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
}

void ExpectRefusedAndClosed(const TBoundedOutcome& O, int32_t Code) {
  EXPECT_EQ(O.Code, Code);
  EXPECT_FALSE(O.Established);
  EXPECT_FALSE(O.Open);
  EXPECT_FALSE(O.Buffered);
  EXPECT_FALSE(O.Negotiating);
}

TEST(TunnelReplyBounds, TheTimeOutCoversTheWholeReply) {
  {
    SCOPED_TRACE("a header line every 50 ms");
    auto O = BoundedTunnel(Dripping("HTTP/1.0 200 OK\r\n", "X: y\r\n"), 500);
    ExpectRefusedAndClosed(O, 10060);
    EXPECT_LT(O.Ms, 5000);
  }
  {
    SCOPED_TRACE("one line, a byte every 50 ms");
    auto O = BoundedTunnel(Dripping("HTTP/1.0 200 OK\r\nX: ", "y"), 500);
    ExpectRefusedAndClosed(O, 10060);
    EXPECT_LT(O.Ms, 5000);
  }
}

TEST(TunnelReplyBounds, LineLengthLineCountAndSizeAreCapped) {
  const std::string Status = "HTTP/1.0 200 OK\r\n";
  // A line of exactly the longest size, LF included, is taken; one byte more is not.
  const std::string Longest = "X: " + std::string(TunnelReplyMaxLineBytes - 5, 'a') + "\r\n";
  ASSERT_EQ(Longest.size(), size_t(TunnelReplyMaxLineBytes));
  auto O = BoundedTunnel(Answer(Status + Longest + "\r\n"));
  EXPECT_EQ(O.Code, 0);
  EXPECT_TRUE(O.Established);
  EXPECT_TRUE(O.Open);
  ExpectRefusedAndClosed(BoundedTunnel(Answer(Status + "X" + Longest + "\r\n")), 10091);
  // A line without an end, longer than the longest: refused without waiting for its end.
  ExpectRefusedAndClosed(BoundedTunnel(Answer(Status + std::string(3 * TunnelReplyMaxLineBytes, 'a'))), 10091);

  // As many lines as allowed, the status line and the empty line included.
  std::string Headers;
  for (int I = 0; I < TunnelReplyMaxLines - 2; ++I) Headers += "X: y\r\n";
  O = BoundedTunnel(Answer(Status + Headers + "\r\n"));
  EXPECT_EQ(O.Code, 0);
  EXPECT_TRUE(O.Established);
  ExpectRefusedAndClosed(BoundedTunnel(Answer(Status + Headers + "X: y\r\n\r\n")), 10091);

  // Lines of fair length and number that add up to too much.
  std::string Big;
  const std::string Line = "X: " + std::string(TunnelReplyMaxLineBytes / 2, 'b') + "\r\n";
  while (int64_t(Big.size()) <= TunnelReplyMaxBytes) Big += Line;
  ExpectRefusedAndClosed(BoundedTunnel(Answer(Status + Big + "\r\n")), 10091);
}

TEST(TunnelReplyBounds, RaisedFailureComesAfterTheClose) {
  TScriptedServer Server([](TPeerConnection& C) {
    C.ReadUntil("\r\n\r\n");
    C.Write("HTTP/1.0 200 OK\r\n" + std::string(2 * TunnelReplyMaxLineBytes, 'a'));
    C.ReadToEnd(3000);
  });
  TTCPBlockSocket Socket;
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = Server.PortText();
  Socket.RaiseOnError = true;
  std::vector<int32_t> Reported;
  Socket.StatusHandler = [&](TBlockSocket&, TSocketStatusReason Reason, const std::string& Value) {
    if (Reason == ErrorReported) Reported.push_back(std::stoi(Value));
  };
  try {
    Socket.Connect("h", "110");
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& E) {
    EXPECT_EQ(E.ErrorNumber, 10091);
  }
  EXPECT_FALSE(Socket.HasSocket());
  EXPECT_FALSE(Socket.ProxyNegotiating);
  EXPECT_FALSE(Socket.TunnelEstablished);
  ASSERT_FALSE(Reported.empty());
  EXPECT_EQ(Reported.back(), 10091);
  Server.Transcript();
}

TEST(TunnelSocket, NegotiatingFlagDuringDialogueOnly) {
  TScriptedServer Server(TunnelProxy(Ok200));
  TTCPBlockSocket Socket;
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = Server.PortText();
  std::vector<bool> During;
  Socket.StatusHandler = [&](TBlockSocket& S, TSocketStatusReason Reason, const std::string&) {
    if (Reason == ChunkSent || Reason == ChunkReceived)
      During.push_back(static_cast<TTCPBlockSocket&>(S).ProxyNegotiating);
  };
  Socket.Connect("h", "110");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_FALSE(Socket.ProxyNegotiating);
  ASSERT_GE(During.size(), 3u);
  for (bool B : During) EXPECT_TRUE(B);
  Socket.CloseSocket();
  Server.Transcript();

  TScriptedServer Silent([](TPeerConnection& C) { C.ReadToEnd(5000); });
  TTCPBlockSocket Raising;
  Raising.TunnelProxyHost = "127.0.0.1";
  Raising.TunnelProxyPort = Silent.PortText();
  Raising.TunnelTimeoutMs = 200;
  Raising.RaiseOnError = true;
  EXPECT_THROW(Raising.Connect("h", "110"), ESocketError);
  EXPECT_FALSE(Raising.ProxyNegotiating);
  Raising.CloseSocket();
}

TEST(TunnelSocket, FailedProxyConnectKeepsEarlierTargetFields) {
  TTCPBlockSocket Socket;
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = std::to_string(FreeTcpPort());
  Socket.TunnelTargetHost = "earlier";
  Socket.Connect("h", "110");
  EXPECT_EQ(Socket.LastErrorCode, 10061);
  EXPECT_EQ(Socket.TunnelTargetHost, "earlier");
  EXPECT_FALSE(Socket.ProxyNegotiating);
}

TEST(TunnelSocket, FailedTunnelWithTlsLeavesTlsOffAndTheCode) {
  TScriptedServer Server(TunnelProxy("HTTP/1.0 403 Forbidden\r\n\r\n"));
  TTCPBlockSocket Socket;
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = Server.PortText();
  Socket.SetTlsActive(true);
  const bool Tls = Socket.TlsActive;
  Socket.Connect("h", "110");
  EXPECT_EQ(Socket.LastErrorCode, 10091);
  EXPECT_EQ(Socket.LastErrorText, "Network subsystem is unusable");
  EXPECT_FALSE(Socket.TlsActive);
  Socket.CloseSocket();
  Server.Transcript();
  QUORREL_REQUIRE(MissingTls(Tls));
}

// ---- tinyproxy ----

class RealTunnel : public ::testing::Test {
 protected:
  void Configure(TTCPBlockSocket& Socket) {
    Socket.TunnelProxyHost = "127.0.0.1";
    Socket.TunnelProxyPort = Proxy.PortText();
    Socket.TunnelTimeoutMs = 5000;
  }
  TTargetServer Target;
  TProxyProcess Proxy;
};

TEST_F(RealTunnel, ConnectWithoutAuthentication) {
  QUORREL_REQUIRE_STARTED(Proxy.StartTinyproxy({Target.Port()}), "tinyproxy", Proxy.Log());
  TTCPBlockSocket Socket;
  Configure(Socket);
  Socket.Connect("127.0.0.1", Target.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0) << Proxy.Log();
  EXPECT_TRUE(Socket.TunnelEstablished);
  EXPECT_EQ(Socket.ReceiveLine(5000), "hello from target");
  Socket.SendText("ping\r\n");
  EXPECT_EQ(Socket.ReceiveLine(5000), "echo:ping");
  EXPECT_EQ(Socket.RemoteAddressText(), "127.0.0.1");
  EXPECT_EQ(Socket.RemotePortNumber(), Target.Port());
  Socket.CloseSocket();

  // A port outside ConnectPort: 403.
  TTCPBlockSocket Refused;
  Configure(Refused);
  Refused.Connect("127.0.0.1", std::to_string(Target.Port() == 65535 ? 1 : Target.Port() + 1));
  EXPECT_EQ(Refused.LastErrorCode, 10091);
  EXPECT_FALSE(Refused.TunnelEstablished);
}

TEST_F(RealTunnel, BasicAuthentication) {
  QUORREL_REQUIRE_STARTED(Proxy.StartTinyproxy({Target.Port()}, "bob", "secret"), "tinyproxy", Proxy.Log());
  TTCPBlockSocket Socket;
  Configure(Socket);
  Socket.TunnelUser = "bob";
  Socket.TunnelPassword = "secret";
  Socket.Connect("127.0.0.1", Target.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0) << Proxy.Log();
  EXPECT_EQ(Socket.ReceiveLine(5000), "hello from target");
  Socket.SendText("ping\r\n");
  EXPECT_EQ(Socket.ReceiveLine(5000), "echo:ping");
  Socket.CloseSocket();

  // No credentials: 407, and no second try.
  TTCPBlockSocket Anonymous;
  Configure(Anonymous);
  Anonymous.Connect("127.0.0.1", Target.PortText());
  EXPECT_EQ(Anonymous.LastErrorCode, 10091);
  EXPECT_FALSE(Anonymous.TunnelEstablished);
  Anonymous.CloseSocket();
  EXPECT_EQ(Target.Connections(), 1);
}

}  // namespace
