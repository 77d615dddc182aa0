// Connect and listen through SOCKS servers: the real dante and microsocks, and a
// scripted server for the replies and request forms they do not exercise.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "blocksock/tcp_socket.h"
#include "support/requirement.h"
#include "support/proxies.h"

using namespace quorrel;

namespace {

std::string Bytes(std::initializer_list<int> Values) {
  std::string Out;
  for (int V : Values) Out += static_cast<char>(V);
  return Out;
}

std::string Hex(const std::string& Text) {
  static const char Digits[] = "0123456789abcdef";
  std::string Out;
  for (unsigned char C : Text) {
    Out += Digits[C >> 4];
    Out += Digits[C & 15];
    Out += ' ';
  }
  return Out;
}

#define EXPECT_WIRE(Expected, Actual) EXPECT_EQ(Hex(Expected), Hex(Actual))

const std::string NoAuthOffer = Bytes({5, 1, 0});
const std::string UserOffer = Bytes({5, 2, 2, 0});
// SOCKS5 success reply announcing 127.0.0.1 port 4660 (0x1234).
const std::string Socks5Ok = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x12, 0x34});

struct TSocks5Script {
  std::string Method = Bytes({5, 0});
  std::string AuthReply = Bytes({1, 0});
  std::string Reply = Socks5Ok;
  std::string After;  // sent right behind the reply, as the tunnelled peer's first bytes
};

TSocks5Script ReplyWith(const std::string& Reply) {
  TSocks5Script S;
  S.Reply = Reply;
  return S;
}

// A SOCKS5 server that reads each part of the dialogue by its own length rules.
std::function<void(TPeerConnection&)> Socks5Server(TSocks5Script S) {
  return [S](TPeerConnection& C) {
    std::string Offer = C.Read(2);
    if (Offer.size() < 2) return;
    C.Read(static_cast<uint8_t>(Offer[1]));
    C.Write(S.Method);
    if (S.Method.size() < 2 || (S.Method[1] != 0 && S.Method[1] != 2)) {
      C.ReadToEnd(3000);
      return;
    }
    if (S.Method[1] == 2) {
      std::string Head = C.Read(2);
      if (Head.size() < 2) return;
      C.Read(static_cast<uint8_t>(Head[1]));
      std::string PasswordLength = C.Read(1);
      if (PasswordLength.empty()) return;
      C.Read(static_cast<uint8_t>(PasswordLength[0]));
      C.Write(S.AuthReply);
      if (S.AuthReply.size() < 2 || S.AuthReply[1] != 0) {
        C.ReadToEnd(3000);
        return;
      }
    }
    std::string Head = C.Read(4);
    if (Head.size() < 4) return;
    if (Head[3] == 1) C.Read(4);
    if (Head[3] == 4) C.Read(16);
    if (Head[3] == 3) {
      std::string Length = C.Read(1);
      if (!Length.empty()) C.Read(static_cast<uint8_t>(Length[0]));
    }
    C.Read(2);
    C.Write(S.Reply + S.After);
    C.ReadToEnd(3000);
  };
}

// A SOCKS4/4A server: 8 bytes, the user identifier and, for 4A, the host name.
std::function<void(TPeerConnection&)> Socks4Server(std::string Reply, std::string After = "") {
  return [Reply, After](TPeerConnection& C) {
    std::string Head = C.Read(8);
    if (Head.size() < 8) return;
    const std::string Zero(1, '\0');
    C.ReadUntil(Zero);
    if (Head[4] == 0 && Head[5] == 0 && Head[6] == 0 && Head[7] != 0) C.ReadUntil(Zero);
    C.Write(Reply + After);
    C.ReadToEnd(3000);
  };
}

// What a connect through the scripted server left behind, read before the close.
struct TOutcome {
  std::string Wire;  // every byte the server received
  int32_t Code = -1;
  bool ViaSocks = false;
  int32_t ReplyCode = 0;
  std::string ReplyHost, ReplyPort, LocalText, RemoteText, FirstLine;
  int LocalPort = 0, RemotePort = 0;
};

TOutcome ConnectThrough(std::function<void(TPeerConnection&)> Script,
                        const std::function<void(TTCPBlockSocket&)>& Setup, const std::string& Host,
                        const std::string& Port, bool ReadLine = false) {
  TScriptedServer Server(std::move(Script));
  TTCPBlockSocket Socket;
  Socket.SocksProxyHost = "127.0.0.1";
  Socket.SocksProxyPort = Server.PortText();
  Socket.SocksTimeoutMs = 3000;
  Setup(Socket);
  Socket.Connect(Host, Port);
  TOutcome O;
  O.Code = Socket.LastErrorCode;
  O.ViaSocks = Socket.ViaSocks;
  O.ReplyCode = Socket.SocksReplyCode;
  O.ReplyHost = Socket.SocksReplyHost;
  O.ReplyPort = Socket.SocksReplyPort;
  O.LocalText = Socket.LocalAddressText();
  O.RemoteText = Socket.RemoteAddressText();
  O.LocalPort = Socket.LocalPortNumber();
  O.RemotePort = Socket.RemotePortNumber();
  if (ReadLine) O.FirstLine = Socket.ReceiveLine(3000);
  Socket.CloseSocket();
  O.Wire = Server.Transcript();
  return O;
}

void Nothing(TTCPBlockSocket&) {}

// ---- request bytes on the wire ----

TEST(SocksRequestBytes, Socks5FormsByteForByte) {
  auto O = ConnectThrough(Socks5Server({}), Nothing, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 110}), O.Wire);

  O = ConnectThrough(Socks5Server({}), Nothing, "mail.example", "pop3");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 3, 12}) + "mail.example" + Bytes({0, 110}), O.Wire);

  O = ConnectThrough(Socks5Server({}), Nothing, "2001:db8::1", "443");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xbb}),
              O.Wire);
}

TEST(SocksRequestBytes, Socks5UserPasswordByteForByte) {
  auto WithUser = [](const std::string& User, const std::string& Password) {
    return [User, Password](TTCPBlockSocket& S) {
      S.SocksUser = User;
      S.SocksPassword = Password;
    };
  };
  TSocks5Script Script;
  Script.Method = Bytes({5, 2});
  auto O = ConnectThrough(Socks5Server(Script), WithUser("bob", "secret"), "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(UserOffer + Bytes({1, 3}) + "bob" + Bytes({6}) + "secret" + Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 110}),
              O.Wire);

  // The offer names method 2 whenever a user is set, even without a password.
  O = ConnectThrough(Socks5Server(Script), WithUser("bob", ""), "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(UserOffer + Bytes({1, 3}) + "bob" + Bytes({0}) + Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 110}), O.Wire);

  // A server that asks for method 2 although none was offered gets empty credentials.
  O = ConnectThrough(Socks5Server(Script), Nothing, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(NoAuthOffer + Bytes({1, 0, 0}) + Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 110}), O.Wire);
}

TEST(SocksRequestBytes, Socks4And4AByteForByte) {
  auto AsSocks4 = [](const std::string& User, bool Remote = true) {
    return [User, Remote](TTCPBlockSocket& S) {
      S.SocksVersion = Socks4;
      S.SocksUser = User;
      S.SocksRemoteResolve = Remote;
    };
  };
  const std::string Ok = Bytes({0, 90, 0, 0, 0, 0, 0, 0});
  // No greeting: the request is the first thing on the wire.
  auto O = ConnectThrough(Socks4Server(Ok), AsSocks4("bob"), "127.0.0.1", "pop3");
  EXPECT_EQ(O.Code, 0);
  EXPECT_TRUE(O.ViaSocks);
  EXPECT_WIRE(Bytes({4, 1, 0, 110, 127, 0, 0, 1}) + "bob" + Bytes({0}), O.Wire);

  O = ConnectThrough(Socks4Server(Ok), AsSocks4("bob"), "mail.example", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(Bytes({4, 1, 0, 110, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "mail.example" + Bytes({0}), O.Wire);

  // An IPv6 literal has no SOCKS4 form and travels as a 4A name.
  O = ConnectThrough(Socks4Server(Ok), AsSocks4(""), "::1", "110");
  EXPECT_WIRE(Bytes({4, 1, 0, 110, 0, 0, 0, 1, 0}) + "::1" + Bytes({0}), O.Wire);

  // Resolved here: the plain version 4 form.
  O = ConnectThrough(Socks4Server(Ok), AsSocks4("", false), "localhost", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(Bytes({4, 1, 0, 110, 127, 0, 0, 1, 0}), O.Wire);
}

TEST(SocksRequestBytes, LocalResolutionAndServicePorts) {
  auto Local = [](TTCPBlockSocket& S) { S.SocksRemoteResolve = false; };
  auto O = ConnectThrough(Socks5Server({}), Local, "localhost", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 110}), O.Wire);

  // An unknown service name travels as port 0.
  O = ConnectThrough(Socks5Server({}), Nothing, "127.0.0.1", "no-such-service");
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 0}), O.Wire);
}

// A name that must be resolved here and does not resolve: no request for some
// stand-in address goes out, and the connect fails with "host not found".
TEST(SocksRequestBytes, UnresolvableNameWithLocalResolution) {
  const std::string Name = "no-such-host.invalid";
  auto O = ConnectThrough(Socks5Server({}), [](TTCPBlockSocket& S) { S.SocksRemoteResolve = false; }, Name, "110");
  EXPECT_EQ(O.Code, 11001);
  EXPECT_WIRE(NoAuthOffer, O.Wire);

  O = ConnectThrough(Socks4Server(Bytes({0, 90, 0, 0, 0, 0, 0, 0})), [](TTCPBlockSocket& S) {
    S.SocksVersion = Socks4;
    S.SocksRemoteResolve = false;
  }, Name, "110");
  EXPECT_EQ(O.Code, 11001);
  EXPECT_EQ(O.Wire, "");

  // Numeric targets need no lookup, 0.0.0.0 included when the caller asks for it.
  O = ConnectThrough(Socks5Server({}), [](TTCPBlockSocket& S) { S.SocksRemoteResolve = false; }, "0.0.0.0", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 110}), O.Wire);
  O = ConnectThrough(Socks5Server({}), [](TTCPBlockSocket& S) {
    S.SocksRemoteResolve = false;
    S.IPFamily = IPFamilyV4;
  }, "::1", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 110}), O.Wire);

  // Raised with its own code and text.
  TScriptedServer Server(Socks5Server({}));
  TTCPBlockSocket Socket;
  Socket.SocksProxyHost = "127.0.0.1";
  Socket.SocksProxyPort = Server.PortText();
  Socket.SocksRemoteResolve = false;
  Socket.RaiseOnError = true;
  try {
    Socket.Connect(Name, "110");
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& E) {
    EXPECT_EQ(E.ErrorNumber, 11001);
    EXPECT_EQ(E.ErrorText, "Host not found");
  }
  EXPECT_FALSE(Socket.ProxyNegotiating);
  Socket.CloseSocket();
  Server.Transcript();
}

// Fields that do not fit their length byte or their terminator: the step fails
// before anything of it is sent.
TEST(SocksRequestBytes, UnencodableFieldsSendNothing) {
  const std::string Long(256, 'a');
  auto O = ConnectThrough(Socks5Server({}), [&](TTCPBlockSocket& S) { S.SocksUser = Long; }, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 10091);
  EXPECT_FALSE(O.ViaSocks);
  EXPECT_EQ(O.Wire, "");

  O = ConnectThrough(Socks5Server({}), [&](TTCPBlockSocket& S) {
    S.SocksUser = "bob";
    S.SocksPassword = Long;
  }, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 10091);
  EXPECT_EQ(O.Wire, "");

  // The greeting went out; the request with the long name does not.
  O = ConnectThrough(Socks5Server({}), Nothing, Long, "110");
  EXPECT_EQ(O.Code, 10091);
  EXPECT_WIRE(NoAuthOffer, O.Wire);

  // 255 bytes still fit.
  O = ConnectThrough(Socks5Server({}), Nothing, std::string(255, 'b'), "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 3, 255}) + std::string(255, 'b') + Bytes({0, 110}), O.Wire);

  O = ConnectThrough(Socks4Server(Bytes({0, 90, 0, 0, 0, 0, 0, 0})), [](TTCPBlockSocket& S) {
    S.SocksVersion = Socks4;
    S.SocksUser = std::string("a\0b", 3);
  }, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 10091);
  EXPECT_EQ(O.Wire, "");
}

// ---- replies ----

TEST(SocksReplies, AcceptedCodesAndAddressForms) {
  TSocks5Script S;
  S.Reply = Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0, 25});
  auto O = ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 0);
  EXPECT_EQ(O.ReplyCode, 0);
  EXPECT_EQ(O.ReplyHost, "10.1.2.3");
  EXPECT_EQ(O.ReplyPort, "25");
  EXPECT_EQ(O.LocalText, "10.1.2.3");
  EXPECT_EQ(O.LocalPort, 25);
  EXPECT_EQ(O.RemoteText, "127.0.0.1");
  EXPECT_EQ(O.RemotePort, 110);

  // A name of length 0 is read completely; the peer's first bytes follow it.
  S.Reply = Bytes({5, 0, 0, 3, 0, 0, 80});
  S.After = "first line\r\n";
  O = ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "pop3", true);
  EXPECT_EQ(O.Code, 0);
  EXPECT_EQ(O.ReplyHost, "");
  EXPECT_EQ(O.ReplyPort, "80");
  EXPECT_EQ(O.FirstLine, "first line");
  EXPECT_EQ(O.RemotePort, 110);  // the service name, looked up

  S.Reply = Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({1, 0});
  O = ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110", true);
  EXPECT_EQ(O.ReplyHost, "host");
  EXPECT_EQ(O.ReplyPort, "256");
  EXPECT_EQ(O.FirstLine, "first line");

  S.Reply = Bytes({5, 0, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 110});
  O = ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110", true);
  EXPECT_EQ(O.Code, 0);
  EXPECT_EQ(O.ReplyHost, "2001:db8::7");
  EXPECT_EQ(O.ReplyPort, "110");
  EXPECT_EQ(O.FirstLine, "first line");

  auto UseSocks4 = [](TTCPBlockSocket& T) { T.SocksVersion = Socks4; };
  O = ConnectThrough(Socks4Server(Bytes({0, 90, 0, 110, 127, 0, 0, 1}), "x\r\n"), UseSocks4, "127.0.0.1", "110", true);
  EXPECT_EQ(O.Code, 0);
  EXPECT_EQ(O.ReplyCode, 90);
  EXPECT_EQ(O.ReplyHost, "127.0.0.1");
  EXPECT_EQ(O.ReplyPort, "110");
  EXPECT_EQ(O.FirstLine, "x");
}

TEST(SocksReplies, RefusalsMapTo10091) {
  auto Expect = [](const TOutcome& O, int32_t ReplyCode, bool Via) {
    EXPECT_EQ(O.Code, 10091);
    EXPECT_EQ(O.ReplyCode, ReplyCode);
    EXPECT_EQ(O.ViaSocks, Via);
  };
  TSocks5Script S;
  S.Method = Bytes({5, 0xff});
  Expect(ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110"), 0, false);
  S.Method = Bytes({4, 0});
  Expect(ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110"), 0, false);
  S.Method = Bytes({5, 2});
  S.AuthReply = Bytes({1, 1});
  Expect(ConnectThrough(Socks5Server(S), [](TTCPBlockSocket& T) { T.SocksUser = "bob"; }, "127.0.0.1", "110"), 0,
         false);
  // The credentials' answer must come in the sub-negotiation's own version, 01.
  S.AuthReply = Bytes({5, 0});
  Expect(ConnectThrough(Socks5Server(S), [](TTCPBlockSocket& T) { T.SocksUser = "bob"; }, "127.0.0.1", "110"), 0,
         false);

  S = {};
  S.Reply = Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0});  // connection refused by the target
  Expect(ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110"), 5, true);
  // Only the success code of the version in use grants the connection.
  S.Reply = Bytes({5, 90, 0, 1, 10, 1, 2, 3, 0, 25});
  Expect(ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110"), 90, true);
  S.Reply = Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0});  // wrong version
  Expect(ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110"), -1, true);
  S.Reply = Bytes({5, 0, 0, 7, 0, 0, 0, 0, 0, 0});  // unknown address type
  Expect(ConnectThrough(Socks5Server(S), Nothing, "127.0.0.1", "110"), -1, true);

  auto UseSocks4 = [](TTCPBlockSocket& T) { T.SocksVersion = Socks4; };
  Expect(ConnectThrough(Socks4Server(Bytes({0, 91, 0, 0, 0, 0, 0, 0})), UseSocks4, "127.0.0.1", "110"), 91, true);
  Expect(ConnectThrough(Socks4Server(Bytes({0, 0, 0, 0, 0, 0, 0, 0})), UseSocks4, "127.0.0.1", "110"), 0, true);
  Expect(ConnectThrough(Socks4Server(Bytes({4, 90, 0, 0, 0, 0, 0, 0})), UseSocks4, "127.0.0.1", "110"), -1, true);
}

TEST(SocksReplies, ShortReplyAndSilenceKeepTheReceiveError) {
  // The server closes in the middle of the address: the peer-closed code wins over 10091.
  TSocks5Script S;
  S.Reply = Bytes({5, 0, 0, 1, 127, 0});
  auto ShortThenClose = [S](TPeerConnection& C) {
    C.Read(3);
    C.Write(Bytes({5, 0}));
    C.Read(10);
    C.Write(S.Reply);
  };
  auto O = ConnectThrough(ShortThenClose, Nothing, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 10054);
  EXPECT_EQ(O.ReplyCode, -1);

  // The address stalls past the timeout and the rest comes later: the step ends
  // with the timeout rather than taking the late bytes for the port.
  auto Stalling = [](TPeerConnection& C) {
    C.Read(3);
    C.Write(Bytes({5, 0}));
    C.Read(10);
    C.Write(Bytes({5, 0, 0, 1, 127, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    C.Write(Bytes({0, 1, 0, 110}));
    C.ReadToEnd(3000);
  };
  O = ConnectThrough(Stalling, [](TTCPBlockSocket& T) { T.SocksTimeoutMs = 400; }, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 10060);
  EXPECT_EQ(O.ReplyCode, -1);

  // Silence: the per-read timeout ends the step with 10060.
  auto Silent = [](TPeerConnection& C) { C.ReadToEnd(5000); };
  O = ConnectThrough(Silent, [](TTCPBlockSocket& T) { T.SocksTimeoutMs = 300; }, "127.0.0.1", "110");
  EXPECT_EQ(O.Code, 10060);
  EXPECT_FALSE(O.ViaSocks);
}

// ---- the socket around the dialogue ----

TEST(SocksSocket, NegotiatingFlagCoversEveryStepAndEveryExit) {
  TScriptedServer Server(Socks5Server({}));
  TTCPBlockSocket Socket;
  Socket.SocksProxyHost = "127.0.0.1";
  Socket.SocksProxyPort = Server.PortText();
  std::vector<bool> DuringTransfers;
  Socket.StatusHandler = [&](TBlockSocket& S, TSocketStatusReason Reason, const std::string&) {
    if (Reason == ChunkSent || Reason == ChunkReceived)
      DuringTransfers.push_back(static_cast<TTCPBlockSocket&>(S).ProxyNegotiating);
  };
  Socket.Connect("127.0.0.1", "110");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_FALSE(Socket.ProxyNegotiating);
  ASSERT_GE(DuringTransfers.size(), 4u);
  for (bool B : DuringTransfers) EXPECT_TRUE(B);
  Socket.CloseSocket();
  Server.Transcript();

  // An exception from inside a step clears the flag too.
  TScriptedServer Silent([](TPeerConnection& C) { C.ReadToEnd(5000); });
  TTCPBlockSocket Raising;
  Raising.SocksProxyHost = "127.0.0.1";
  Raising.SocksProxyPort = Silent.PortText();
  Raising.SocksTimeoutMs = 200;
  Raising.RaiseOnError = true;
  try {
    Raising.Connect("127.0.0.1", "110");
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& E) {
    EXPECT_EQ(E.ErrorNumber, 10060);
  }
  EXPECT_FALSE(Raising.ProxyNegotiating);
  Raising.CloseSocket();
}

TEST(SocksSocket, SocksWinsOverTunnelAndReportsBothConnects) {
  TScriptedServer Server(Socks5Server({}));
  TTCPBlockSocket Socket;
  Socket.SocksProxyHost = "127.0.0.1";
  Socket.SocksProxyPort = Server.PortText();
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = std::to_string(FreeTcpPort());
  std::vector<std::string> Connected;
  Socket.StatusHandler = [&](TBlockSocket&, TSocketStatusReason Reason, const std::string& Value) {
    if (Reason == SocketConnected) Connected.push_back(Value);
  };
  Socket.Connect("target.example", "110");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_FALSE(Socket.TunnelEstablished);
  EXPECT_EQ(Connected, (std::vector<std::string>{"127.0.0.1:" + Server.PortText(), "target.example:110"}));
  EXPECT_EQ(Socket.RemoteAddressText(), "target.example");
  EXPECT_EQ(Socket.SocksTargetPort, "110");
  Socket.CloseSocket();
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 1, 0, 3, 14}) + "target.example" + Bytes({0, 110}), Server.Transcript());
}

TEST(SocksSocket, FailedProxyConnectKeepsTheOsCodeAndReports) {
  TTCPBlockSocket Socket;
  Socket.SocksProxyHost = "127.0.0.1";
  Socket.SocksProxyPort = std::to_string(FreeTcpPort());
  std::vector<std::string> Connected;
  Socket.StatusHandler = [&](TBlockSocket&, TSocketStatusReason Reason, const std::string& Value) {
    if (Reason == SocketConnected) Connected.push_back(Value);
  };
  Socket.Connect("127.0.0.1", "110");
  EXPECT_EQ(Socket.LastErrorCode, 10061);
  EXPECT_FALSE(Socket.ViaSocks);
  ASSERT_FALSE(Connected.empty());
  EXPECT_EQ(Connected.back(), "127.0.0.1:110");
}

TEST(SocksSocket, FailedConnectWithTlsLeavesTlsOffAndTheCode) {
  TSocks5Script S;
  S.Method = Bytes({5, 0xff});
  TScriptedServer Server(Socks5Server(S));
  TTCPBlockSocket Socket;
  Socket.SocksProxyHost = "127.0.0.1";
  Socket.SocksProxyPort = Server.PortText();
  Socket.SetTlsActive(true);
  if (!Socket.TlsActive) {
    // Without TLS the dialogue and its code are the same.
    Socket.Connect("127.0.0.1", "110");
    EXPECT_EQ(Socket.LastErrorCode, 10091);
    Socket.CloseSocket();
    Server.Transcript();
    QUORREL_REQUIRE(MissingTls(false));
  }
  Socket.Connect("127.0.0.1", "110");
  EXPECT_EQ(Socket.LastErrorCode, 10091);
  EXPECT_EQ(Socket.LastErrorText, "Network subsystem is unusable");
  EXPECT_FALSE(Socket.TlsActive);
  Socket.CloseSocket();
  Server.Transcript();
}

// ---- listen through SOCKS BIND ----

TEST(SocksListen, BindRequestAndAnnouncedEndpoint) {
  int LocalPort = 0;
  std::string Wire;
  {
    TScriptedServer Server(Socks5Server(ReplyWith(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0x12, 0x34}))));
    TTCPBlockSocket Socket;
    Socket.SocksProxyHost = "127.0.0.1";
    Socket.SocksProxyPort = Server.PortText();
    Socket.Bind("127.0.0.1", "0");
    ASSERT_EQ(Socket.LastErrorCode, 0);
    LocalPort = Socket.LocalPortNumber();
    bool Listening = false;
    Socket.StatusHandler = [&](TBlockSocket&, TSocketStatusReason Reason, const std::string&) {
      if (Reason == SocketListening) Listening = true;
    };
    Socket.Listen();
    EXPECT_EQ(Socket.LastErrorCode, 0);
    EXPECT_TRUE(Listening);
    // 0.0.0.0 in the reply stands for the SOCKS server's own address.
    EXPECT_EQ(Socket.SocksBoundHost, "127.0.0.1");
    EXPECT_EQ(Socket.LocalAddressText(), "127.0.0.1");
    EXPECT_EQ(Socket.LocalPortNumber(), 0x1234);
    EXPECT_EQ(Socket.SocksTargetHost, "");
    Socket.CloseSocket();
    Wire = Server.Transcript();
  }
  EXPECT_WIRE(NoAuthOffer + Bytes({5, 2, 0, 1, 127, 0, 0, 1, LocalPort >> 8, LocalPort & 255}), Wire);

  TScriptedServer Refusing(Socks5Server(ReplyWith(Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}))));
  TTCPBlockSocket Socket;
  Socket.SocksProxyHost = "127.0.0.1";
  Socket.SocksProxyPort = Refusing.PortText();
  Socket.Bind("127.0.0.1", "0");
  Socket.Listen();
  EXPECT_EQ(Socket.LastErrorCode, 11003);
  EXPECT_EQ(Socket.LastErrorText, "Non recoverable error");
  Socket.CloseSocket();
}

TEST(SocksListen, DirectListenAcceptsConnections) {
  TTCPBlockSocket Socket;
  Socket.Bind("127.0.0.1", "0");
  Socket.Listen();
  EXPECT_EQ(Socket.LastErrorCode, 0);
  ASSERT_GT(Socket.LocalPortNumber(), 0);
  EXPECT_TRUE(WaitForPort("127.0.0.1", Socket.LocalPortNumber(), 2000));
}

// ---- real SOCKS servers ----

class RealSocks : public ::testing::Test {
 protected:
  // Connects through the proxy to the target and checks bytes both ways; its
  // ASSERTs end only this helper, so callers wrap it in ASSERT_NO_FATAL_FAILURE.
  void RoundTrip(TTCPBlockSocket& Socket, const std::string& Host) {
    Socket.SocksProxyHost = "127.0.0.1";
    Socket.SocksProxyPort = Proxy.PortText();
    Socket.SocksTimeoutMs = 5000;
    Socket.Connect(Host, Target.PortText());
    ASSERT_EQ(Socket.LastErrorCode, 0) << Proxy.Log();
    EXPECT_TRUE(Socket.ViaSocks);
    EXPECT_EQ(Socket.SocksReplyCode, Socket.SocksVersion == Socks4 ? 90 : 0);
    EXPECT_EQ(Socket.ReceiveLine(5000), "hello from target");
    Socket.SendText("ping\r\n");
    EXPECT_EQ(Socket.ReceiveLine(5000), "echo:ping");
    EXPECT_EQ(Socket.RemoteAddressText(), Host);
    EXPECT_EQ(Socket.RemotePortNumber(), Target.Port());
    EXPECT_EQ(Socket.LocalAddressText(), Socket.SocksReplyHost);
    EXPECT_EQ(Socket.LocalPortNumber(), std::stoi(Socket.SocksReplyPort));
  }
  TTargetServer Target;
  TProxyProcess Proxy;
};

TEST_F(RealSocks, DanteSocks5AndSocks4) {
  QUORREL_REQUIRE_STARTED(Proxy.StartDante(), "danted", Proxy.Log());
  TTCPBlockSocket Five;
  ASSERT_NO_FATAL_FAILURE(RoundTrip(Five, "127.0.0.1"));
  Five.CloseSocket();
  TTCPBlockSocket Named;
  ASSERT_NO_FATAL_FAILURE(RoundTrip(Named, "localhost"));
  Named.CloseSocket();
  TTCPBlockSocket Four;
  Four.SocksVersion = Socks4;
  ASSERT_NO_FATAL_FAILURE(RoundTrip(Four, "127.0.0.1"));
}

TEST_F(RealSocks, DanteBindCarriesAnIncomingConnection) {
  QUORREL_REQUIRE_STARTED(Proxy.StartDante(), "danted", Proxy.Log());
  TTCPBlockSocket Listener;
  Listener.SocksProxyHost = "127.0.0.1";
  Listener.SocksProxyPort = Proxy.PortText();
  Listener.SocksTimeoutMs = 5000;
  Listener.Bind("127.0.0.1", "0");
  Listener.Listen();
  ASSERT_EQ(Listener.LastErrorCode, 0) << Proxy.Log();
  ASSERT_GT(Listener.LocalPortNumber(), 0);
  EXPECT_EQ(Listener.LocalAddressText(), "127.0.0.1");

  // A peer connects to the announced endpoint; the server's second reply and
  // then the peer's bytes arrive on the listening socket.
  TTCPBlockSocket Peer;
  Peer.Connect(Listener.LocalAddressText(), std::to_string(Listener.LocalPortNumber()));
  ASSERT_EQ(Peer.LastErrorCode, 0);
  EXPECT_TRUE(Listener.SocksReadReply()) << Proxy.Log();
  Peer.SendText("via bind\r\n");
  EXPECT_EQ(Listener.ReceiveLine(5000), "via bind");
}

TEST_F(RealSocks, MicrosocksWithAndWithoutCredentials) {
  {
    QUORREL_REQUIRE_STARTED(Proxy.StartMicrosocks(), "microsocks", Proxy.Log());
    TTCPBlockSocket Plain;
    ASSERT_NO_FATAL_FAILURE(RoundTrip(Plain, "127.0.0.1"));
    Plain.CloseSocket();
    Proxy.Stop();
  }
  ASSERT_TRUE(Proxy.StartMicrosocks("bob", "secret"));
  TTCPBlockSocket WithUser;
  WithUser.SocksUser = "bob";
  WithUser.SocksPassword = "secret";
  ASSERT_NO_FATAL_FAILURE(RoundTrip(WithUser, "127.0.0.1"));
  WithUser.CloseSocket();

  TTCPBlockSocket WrongPassword;
  WrongPassword.SocksProxyHost = "127.0.0.1";
  WrongPassword.SocksProxyPort = Proxy.PortText();
  WrongPassword.SocksTimeoutMs = 5000;
  WrongPassword.SocksUser = "bob";
  WrongPassword.SocksPassword = "wrong";
  WrongPassword.Connect("127.0.0.1", Target.PortText());
  EXPECT_EQ(WrongPassword.LastErrorCode, 10091);
  EXPECT_FALSE(WrongPassword.ViaSocks);

  TTCPBlockSocket NoUser;  // the server insists on credentials
  NoUser.SocksProxyHost = "127.0.0.1";
  NoUser.SocksProxyPort = Proxy.PortText();
  NoUser.Connect("127.0.0.1", Target.PortText());
  EXPECT_EQ(NoUser.LastErrorCode, 10091);
  EXPECT_FALSE(NoUser.ViaSocks);
}

}  // namespace
