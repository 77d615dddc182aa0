// Connect through an HTTP CONNECT tunnel: tinyproxy for the real dialogue, a
// scripted proxy for exact request bytes and unusual replies.
#include <gtest/gtest.h>

#include "blocksock/tcp_socket.h"
#include "support/proxies.h"

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
  if (!Tls) GTEST_SKIP() << "TLS cannot be switched on here; only the plain failure was checked";
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
  if (!Proxy.StartTinyproxy({Target.Port()})) GTEST_SKIP() << "tinyproxy not available";
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
  if (!Proxy.StartTinyproxy({Target.Port()}, "bob", "secret")) GTEST_SKIP() << "tinyproxy not available";
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
