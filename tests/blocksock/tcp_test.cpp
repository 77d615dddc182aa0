// TTCPBlockSocket as a whole: defaults, the graceful close and destruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "blocksock/tcp_socket.h"
#include "support/requirement.h"
#include "support/proxies.h"

using namespace quorrel;

namespace {

TEST(TcpSocket, Defaults) {
  TTCPBlockSocket S;
  EXPECT_EQ(S.SocketType(), 1);
  EXPECT_EQ(S.SocketProtocol(), 6);
  EXPECT_FALSE(S.HasSocket());
  EXPECT_FALSE(S.TlsActive);
  EXPECT_EQ(S.TlsCipherList, "DEFAULT");
  EXPECT_EQ(S.TlsProtocol, AnyTlsVersion);
  EXPECT_EQ(S.TunnelTimeoutMs, 30000);
  EXPECT_EQ(S.TunnelProxyPort, "");
  EXPECT_EQ(S.SocksProxyPort, "1080");
  EXPECT_EQ(S.SocksTimeoutMs, 60000);
  EXPECT_TRUE(S.SocksRemoteResolve);
  EXPECT_EQ(S.SocksVersion, Socks5);
  EXPECT_EQ(S.SocksReplyCode, 0);
  EXPECT_FALSE(S.ProxyNegotiating);
}

// The close drains what the peer still sends and half-closes first, so the peer
// sees an orderly end of stream; nothing is raised although the draining ends
// with a failed receive.
TEST(TcpSocket, GracefulCloseRaisesNothing) {
  TScriptedServer Server([](TPeerConnection& C) {
    C.Write("unread bytes\r\n");
    C.ReadToEnd(5000);  // returns at the client's half-close
    C.Write("late\r\n");
  });
  std::vector<TSocketStatusReason> Reasons;  // outlives the socket, whose destructor reports too
  TTCPBlockSocket Socket;
  Socket.RaiseOnError = true;
  Socket.StatusHandler = [&](TBlockSocket&, TSocketStatusReason R, const std::string&) { Reasons.push_back(R); };
  Socket.Connect("127.0.0.1", Server.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0);
  Socket.SendText("bye\r\n");
  EXPECT_NO_THROW(Socket.CloseSocket());
  EXPECT_FALSE(Socket.HasSocket());
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_TRUE(Socket.RaiseOnError);
  EXPECT_EQ(std::count(Reasons.begin(), Reasons.end(), SocketClosed), 1);
  EXPECT_EQ(Server.Transcript(), "bye\r\n");
}

// What line protocols rely on: a line end split over two packets leaves only
// its partner behind, which does not count as unread input; anything else does.
TEST(TcpSocket, NothingUnreadTellsALateLineEndPartnerFromData) {
  TScriptedServer Server([](TPeerConnection& C) {
    C.Write("one\r");
    C.ReadUntil("go\r\n");
    C.Write("\n");
    C.ReadUntil("go\r\n");
    C.Write("stray\r\n");
    C.ReadToEnd(5000);
  });
  TTCPBlockSocket Socket;
  Socket.AnyLineBreak = true;
  Socket.Connect("127.0.0.1", Server.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0);
  EXPECT_EQ(Socket.ReceiveLine(5000), "one");
  Socket.SendText("go\r\n");
  ASSERT_TRUE(Socket.WaitReadable(5000));
  EXPECT_TRUE(Socket.NothingUnread());
  Socket.SendText("go\r\n");
  ASSERT_TRUE(Socket.WaitReadable(5000));
  EXPECT_FALSE(Socket.NothingUnread());
  Socket.DiscardBuffered();
  EXPECT_TRUE(Socket.NothingUnread());
}

// A name that does not resolve is the failure reported, in either family,
// and no connection is tried anywhere else.
TEST(TcpSocket, ConnectToANameThatDoesNotResolveSaysHostNotFound) {
  for (const bool Legacy : {false, true}) {
    TTCPBlockSocket Socket;
    if (Legacy) Socket.SetIPFamily(IPFamilyV4);
    Socket.Connect("no-such-host.invalid", "110");
    EXPECT_EQ(Socket.LastErrorCode, ErrHostNotFound) << (Legacy ? "IPv4 only" : "any family");
    EXPECT_FALSE(Socket.HasSocket());
  }
}

// Closing after a failure keeps the failure readable; Abandon also survives a
// hook that throws, with RaiseOnError as it was.
TEST(TcpSocket, ClosingAfterAFailureKeepsIt) {
  TScriptedServer Server([](TPeerConnection& C) {
    C.Write("partial");
    C.ReadToEnd(5000);
  });
  TTCPBlockSocket Socket;
  Socket.Connect("127.0.0.1", Server.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0);
  Socket.ReceiveLine(200);
  ASSERT_EQ(Socket.LastErrorCode, ErrTimedOut);
  ASSERT_FALSE(Socket.ReadBuffer.empty());
  Socket.RaiseOnError = true;
  Socket.StatusHandler = [](TBlockSocket&, TSocketStatusReason R, const std::string&) {
    if (R == SocketClosed) throw std::runtime_error("hook");
  };
  EXPECT_NO_THROW(Socket.Abandon());
  EXPECT_FALSE(Socket.HasSocket());
  EXPECT_TRUE(Socket.RaiseOnError);
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_FALSE(Socket.LastErrorText.empty());
  EXPECT_TRUE(Socket.ReadBuffer.empty());
  Socket.StatusHandler = nullptr;
}

TEST(TcpSocket, DestroyingClosesOnce) {
  std::vector<TSocketStatusReason> Reasons;
  auto Count = [&] { return std::count(Reasons.begin(), Reasons.end(), SocketClosed); };
  {
    TTCPBlockSocket Unused;
    Unused.StatusHandler = [&](TBlockSocket&, TSocketStatusReason R, const std::string&) { Reasons.push_back(R); };
  }
  EXPECT_EQ(Count(), 1);

  Reasons.clear();
  TScriptedServer Server([](TPeerConnection& C) { C.ReadToEnd(5000); });
  {
    TTCPBlockSocket Connected;
    Connected.RaiseOnError = true;
    Connected.StatusHandler = [&](TBlockSocket&, TSocketStatusReason R, const std::string&) { Reasons.push_back(R); };
    Connected.Connect("127.0.0.1", Server.PortText());
    ASSERT_EQ(Connected.LastErrorCode, 0);
    Connected.SendText("x");
  }
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Server.Transcript(), "x");  // the peer saw the end of stream
}

}  // namespace

namespace {

// With TLS switched on, the proxy dialogue travels in clear and the handshake
// runs with the target once the way through the proxy stands.
class TlsThroughProxy : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORREL_REQUIRE_STARTED(Target.StartTlsReverser(), "openssl", Target.Log());
  }
  void Check(TTCPBlockSocket& Socket) {
    Socket.SetTlsActive(true);
    QUORREL_REQUIRE(MissingTls(Socket.TlsActive));
    Socket.Connect("127.0.0.1", Target.PortText());
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText << "\n" << Proxy.Log();
    EXPECT_TRUE(Socket.TlsActive);
    Socket.AnyLineBreak = true;
    Socket.SendText("hello\n");
    EXPECT_EQ(Socket.ReceiveLine(5000), "olleh");
    Socket.CloseSocket();
    EXPECT_FALSE(Socket.TlsActive);
  }
  TProxyProcess Target;
  TProxyProcess Proxy;
};

TEST_F(TlsThroughProxy, HttpTunnel) {
  QUORREL_REQUIRE_STARTED(Proxy.StartTinyproxy({Target.Port()}), "tinyproxy", Proxy.Log());
  TTCPBlockSocket Socket;
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = Proxy.PortText();
  Check(Socket);
}

TEST_F(TlsThroughProxy, Socks5) {
  QUORREL_REQUIRE_STARTED(Proxy.StartDante(), "danted", Proxy.Log());
  TTCPBlockSocket Socket;
  Socket.SocksProxyHost = "127.0.0.1";
  Socket.SocksProxyPort = Proxy.PortText();
  Check(Socket);
}

}  // namespace
