// TLS of TTCPBlockSocket against real peers: openssl s_server and a plain server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "blocksock/tcp_socket.h"
#include "support/tls_peer.h"
#include "tlsbind/tlsbind.h"

using namespace quorrel;

namespace {

constexpr int Timeout = 5000;

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Files = new TTlsFiles;
    ASSERT_TRUE(Files->Make()) << "openssl could not make the test certificates";
  }
  static void TearDownTestSuite() {
    Files->Remove();
    delete Files;
    Files = nullptr;
  }
  // Connects to Host checking the peer against CaFile (and the name VerifyHost,
  // when given): with TLS from the start, or by a handshake after connecting.
  static void ConnectVerified(TTCPBlockSocket& Socket, const std::string& CaFile, const std::string& Host,
                              const std::string& Port, const std::string& VerifyHost = "", bool AtOnce = true) {
    Socket.TlsVerifyPeer = true;
    Socket.TlsCaFile = CaFile;
    if (!VerifyHost.empty()) Socket.TlsVerifyHost = VerifyHost;
    if (AtOnce) Socket.SetTlsActive(true);
    Socket.Connect(Host, Port);
    if (!AtOnce) Socket.StartTlsClient();
  }
  // Starts Server with the server's own certificate and connects Socket to it
  // with TLS from the start.
  static void StartAndConnect(TTlsServer& Server, TTCPBlockSocket& Socket) {
    ASSERT_TRUE(Server.Start(Files->ServerCert, Files->ServerKey));
    Socket.SetTlsActive(true);
    Socket.Connect("127.0.0.1", std::to_string(Server.Port));
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
  }
  // A line sent through the socket comes back reversed from s_server -rev.
  static void ExpectEcho(TTCPBlockSocket& Socket, const std::string& Line) {
    Socket.AnyLineBreak = true;  // s_server ends its lines with a bare LF
    Socket.SendText(Line + "\n");
    EXPECT_EQ(Socket.LastErrorCode, 0);
    std::string Reversed(Line.rbegin(), Line.rend());
    std::string Got = Socket.ReceiveLine(Timeout);
    EXPECT_TRUE(Got == Reversed) << Got.size() << " bytes: " << Got.substr(0, 80);
    EXPECT_EQ(Socket.LastErrorCode, 0) << Socket.LastErrorText;
  }
  static TTlsFiles* Files;
};
TTlsFiles* TlsTest::Files = nullptr;

TEST_F(TlsTest, ImplicitTlsAtConnectCarriesDataAndClosesCleanly) {
  TTlsServer Server;
  ASSERT_TRUE(Server.Start(Files->ServerCert, Files->ServerKey));
  TTCPBlockSocket Socket;
  Socket.SetTlsActive(true);
  ASSERT_EQ(Socket.LastErrorCode, 0);
  EXPECT_TRUE(Socket.TlsActive);
  EXPECT_NE(Socket.TlsContext, nullptr);
  EXPECT_NE(Socket.TlsSession, nullptr);
  // Switching on twice changes nothing.
  void* Session = Socket.TlsSession.get();
  Socket.SetTlsActive(true);
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_EQ(Socket.TlsSession.get(), Session);

  Socket.Connect("127.0.0.1", std::to_string(Server.Port));
  ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.LastErrorText << " / " << Socket.TlsLastErrorText;
  EXPECT_TRUE(Socket.TlsActive);
  ExpectEcho(Socket, "hello over tls");
  // One large write spans several TLS records; every line comes back whole.
  std::string Block;
  for (int I = 0; I < 100; ++I) Block += std::string(999, static_cast<char>('a' + I % 26)) + "#\n";
  EXPECT_EQ(Socket.SendText(Block), static_cast<int>(Block.size()));
  for (int I = 0; I < 100; ++I) {
    std::string Line = Socket.ReceiveLine(Timeout);
    ASSERT_EQ(Line, "#" + std::string(999, static_cast<char>('a' + I % 26))) << "line " << I;
  }
  // An empty send is a no-op, not a failure.
  EXPECT_EQ(Socket.SendText(""), 0);
  EXPECT_EQ(Socket.LastErrorCode, 0);

  Socket.CloseSocket();
  EXPECT_FALSE(Socket.TlsActive);
  EXPECT_EQ(Socket.TlsSession, nullptr);
  EXPECT_EQ(Socket.TlsContext, nullptr);
  EXPECT_FALSE(Socket.HasSocket());
}

TEST_F(TlsTest, StartTlsOnOpenConnectionAndPeerCloseNotify) {
  TTlsServer Server;
  ASSERT_TRUE(Server.Start(Files->ServerCert, Files->ServerKey));
  TTCPBlockSocket Socket;
  Socket.Connect("127.0.0.1", std::to_string(Server.Port));
  ASSERT_EQ(Socket.LastErrorCode, 0);
  EXPECT_FALSE(Socket.TlsActive);
  Socket.StartTlsClient();
  ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
  EXPECT_TRUE(Socket.TlsActive);
  ExpectEcho(Socket, "after start");

  // The peer ends TLS properly: a 0-byte read without an error, unlike the
  // plain path's 10054.
  Socket.SendText("CLOSE\n");
  char Buffer[64];
  int Got = Socket.ReceiveRaw(Buffer, sizeof Buffer);
  EXPECT_EQ(Got, 0);
  EXPECT_EQ(Socket.LastErrorCode, 0);
  Socket.CloseSocket();
  EXPECT_FALSE(Socket.TlsActive);
}

TEST_F(TlsTest, PeerWithoutTlsFailsHandshakeButKeepsTcp) {
  TPlainServer Server;
  ASSERT_TRUE(Server.Start(Files->Dir));
  TTCPBlockSocket Socket;
  Socket.Connect("127.0.0.1", std::to_string(Server.Port));
  ASSERT_EQ(Socket.LastErrorCode, 0);
  Socket.StartTlsClient();
  EXPECT_EQ(Socket.LastErrorCode, ErrSubsystemUnusable);
  EXPECT_EQ(Socket.LastErrorText, "Network subsystem is unusable");
  EXPECT_FALSE(Socket.TlsActive);
  EXPECT_EQ(Socket.TlsSession, nullptr);
  EXPECT_NE(Socket.TlsLastError, 0);
  EXPECT_FALSE(Socket.TlsLastErrorText.empty());
  ASSERT_TRUE(Socket.HasSocket());
  // The connection still carries clear text (the server's answers to the
  // handshake bytes may come first).
  Socket.SendText("PING\r\n");
  std::string Line;
  for (int I = 0; I < 5 && Line != "PONG"; ++I) Line = Socket.ReceiveLine(Timeout);
  EXPECT_EQ(Line, "PONG");
}

TEST_F(TlsTest, PassThroughSendsInClearWhileTlsStaysOn) {
  TPlainServer Server;
  ASSERT_TRUE(Server.Start(Files->Dir));
  TTCPBlockSocket Socket;
  Socket.Connect("127.0.0.1", std::to_string(Server.Port));
  Socket.SetTlsActive(true);
  ASSERT_TRUE(Socket.TlsActive);
  Socket.TlsPassThrough = true;
  Socket.SendText("PING\r\n");
  EXPECT_EQ(Socket.ReceiveLine(Timeout), "PONG");
  EXPECT_TRUE(Socket.TlsActive);
}

TEST_F(TlsTest, VerifyPeerChecksChainAndName) {
  // Default context: the other.example certificate; with the server name
  // "localhost" in the handshake: the localhost one. So a verified connection
  // to "localhost" also proves that the name went out.
  TTlsServer Server;
  ASSERT_TRUE(Server.Start(Files->OtherCert, Files->OtherKey,
                           {"-servername", "localhost", "-cert2", Files->ServerCert, "-key2", Files->ServerKey}));
  std::string Port = std::to_string(Server.Port);
  {
    SCOPED_TRACE("right CA, right name");
    TTCPBlockSocket Socket;
    ConnectVerified(Socket, Files->CaFile, "localhost", Port);
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
    ExpectEcho(Socket, "verified");
  }
  {
    SCOPED_TRACE("wrong CA");
    TTCPBlockSocket Socket;
    ConnectVerified(Socket, Files->OtherCaFile, "localhost", Port);
    EXPECT_EQ(Socket.LastErrorCode, ErrSubsystemUnusable);
    EXPECT_FALSE(Socket.TlsActive);
    EXPECT_NE(Socket.TlsLastErrorText.find("certificate verify failed"), std::string::npos)
        << Socket.TlsLastErrorText;
  }
  {
    SCOPED_TRACE("no SNI for a numeric address: the other.example certificate does not match it");
    TTCPBlockSocket Socket;
    ConnectVerified(Socket, Files->CaFile, "127.0.0.1", Port);
    EXPECT_EQ(Socket.LastErrorCode, ErrSubsystemUnusable);
    EXPECT_NE(Socket.TlsLastErrorText.find("mismatch"), std::string::npos) << Socket.TlsLastErrorText;
  }
  {
    SCOPED_TRACE("TlsVerifyHost names the certificate's own name");
    TTCPBlockSocket Socket;
    ConnectVerified(Socket, Files->CaFile, "127.0.0.1", Port, "other.example");
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
    ExpectEcho(Socket, "named");
  }
  {
    SCOPED_TRACE("without verification any certificate passes");
    TTCPBlockSocket Socket;
    Socket.SetTlsActive(true);
    Socket.Connect("127.0.0.1", Port);
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
  }
}

TEST_F(TlsTest, VerifyPeerByAddressAndWrongName) {
  TTlsServer Server;
  ASSERT_TRUE(Server.Start(Files->ServerCert, Files->ServerKey));
  std::string Port = std::to_string(Server.Port);
  {
    SCOPED_TRACE("numeric address matches the IP entry");
    TTCPBlockSocket Socket;
    ConnectVerified(Socket, Files->CaFile, "127.0.0.1", Port, "", false);
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
    ExpectEcho(Socket, "by address");
  }
  {
    SCOPED_TRACE("a name the certificate does not carry");
    TTCPBlockSocket Socket;
    ConnectVerified(Socket, Files->CaFile, "127.0.0.1", Port, "mail.example", false);
    EXPECT_EQ(Socket.LastErrorCode, ErrSubsystemUnusable);
    EXPECT_FALSE(Socket.TlsActive);
    EXPECT_TRUE(Socket.HasSocket());
  }
}

TEST_F(TlsTest, CredentialFiles) {
  {
    SCOPED_TRACE("missing certificate file");
    TTCPBlockSocket Socket;
    Socket.TlsCertificateFile = Files->Dir + "/missing.pem";
    Socket.SetTlsActive(true);
    EXPECT_EQ(Socket.LastErrorCode, ErrInvalidArgument);
    EXPECT_EQ(Socket.LastErrorText, "Invalid argument");
    EXPECT_FALSE(Socket.TlsActive);
    EXPECT_EQ(Socket.TlsContext, nullptr);
    EXPECT_EQ(Socket.TlsSession, nullptr);
    EXPECT_NE(Socket.TlsLastError, 0);
    EXPECT_FALSE(Socket.TlsLastErrorText.empty());
  }
  {
    SCOPED_TRACE("missing CA file, raised");
    TTCPBlockSocket Socket;
    Socket.TlsCaFile = Files->Dir + "/missing-ca.pem";
    Socket.RaiseOnError = true;
    try {
      Socket.SetTlsActive(true);
      ADD_FAILURE() << "no exception";
    } catch (const ESocketError& Error) {
      EXPECT_EQ(Error.ErrorNumber, ErrInvalidArgument);
    }
    EXPECT_FALSE(Socket.TlsActive);
    EXPECT_EQ(Socket.TlsContext, nullptr);
  }
  {
    SCOPED_TRACE("protected key with the wrong pass phrase");
    TTCPBlockSocket Socket;
    Socket.TlsCertificateFile = Files->ClientCert;
    Socket.TlsPrivateKeyFile = Files->ClientKey;
    Socket.TlsKeyPassword = "wrong";
    Socket.SetTlsActive(true);
    EXPECT_EQ(Socket.LastErrorCode, ErrInvalidArgument);
    EXPECT_FALSE(Socket.TlsActive);
  }
  {
    SCOPED_TRACE("protected key opened with TlsKeyPassword, accepted by a server that demands a client certificate");
    TTlsServer Server;
    ASSERT_TRUE(Server.Start(Files->ServerCert, Files->ServerKey, {"-Verify", "1", "-CAfile", Files->CaFile}));
    TTCPBlockSocket Socket;
    Socket.TlsCertificateFile = Files->ClientCert;
    Socket.TlsPrivateKeyFile = Files->ClientKey;
    Socket.TlsKeyPassword = Files->ClientKeyPassword;
    Socket.SetTlsActive(true);
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
    Socket.Connect("127.0.0.1", std::to_string(Server.Port));
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
    ExpectEcho(Socket, "client certificate");
  }
}

TEST_F(TlsTest, PasswordCallbackCutsToTheBuffer) {
  TTCPBlockSocket Socket;
  Socket.TlsKeyPassword = "0123456789";
  char Buffer[8];
  std::memset(Buffer, '#', sizeof Buffer);
  EXPECT_EQ(TlsPasswordCallback(Buffer, sizeof Buffer, 0, &Socket), 7);
  EXPECT_STREQ(Buffer, "0123456");
  char Wide[32];
  EXPECT_EQ(TlsPasswordCallback(Wide, sizeof Wide, 1, &Socket), 10);
  EXPECT_STREQ(Wide, "0123456789");
  EXPECT_EQ(TlsPasswordCallback(Wide, sizeof Wide, 0, nullptr), 0);
  EXPECT_STREQ(Wide, "");
}

TEST_F(TlsTest, UnavailableProtocolsGive10043) {
  TTCPBlockSocket Socket;
  Socket.TlsProtocol = static_cast<TTlsProtocol>(4);
  Socket.SetTlsActive(true);
  EXPECT_EQ(Socket.LastErrorCode, ErrProtocolNotSupported);
  EXPECT_FALSE(Socket.TlsActive);
  EXPECT_EQ(Socket.TlsContext, nullptr);
  // SSLv2 is gone from every OpenSSL still in use.
  if (!TlsEntryPointResolved("SSLv2_method")) {
    Socket.TlsProtocol = Ssl2Only;
    Socket.SetTlsActive(true);
    EXPECT_EQ(Socket.LastErrorCode, ErrProtocolNotSupported);
    EXPECT_FALSE(Socket.TlsActive);
  }
  // Switching off a socket without TLS changes nothing.
  Socket.SetTlsActive(false);
  EXPECT_EQ(Socket.LastErrorCode, 0);
}

TEST_F(TlsTest, FiltersCountsAndReportsApplyInsideTls) {
  TTlsServer Server;
  TTCPBlockSocket Socket;
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(Server, Socket));
  // The send filter sees the caller's bytes before encryption, the receive
  // filter the peer's after decryption; the caller's buffer stays untouched.
  Socket.SendFilter = [](TBlockSocket&, std::string& Bytes) {
    for (char& C : Bytes)
      if (C == 'a') C = 'b';
  };
  Socket.ReceiveFilter = [](TBlockSocket&, std::string& Bytes) {
    for (char& C : Bytes)
      if (C == 'b') C = 'B';
  };
  int Sent = 0, Received = 0;
  Socket.StatusHandler = [&](TBlockSocket&, TSocketStatusReason Reason, const std::string& Value) {
    if (Reason == ChunkSent) Sent += std::stoi(Value);
    if (Reason == ChunkReceived) Received += std::stoi(Value);
  };
  const int32_t SentBefore = Socket.SentByteCount;
  const std::string Line = "xay\n";
  Socket.AnyLineBreak = true;
  EXPECT_EQ(Socket.SendText(Line), 4);
  EXPECT_EQ(Line, "xay\n");
  EXPECT_EQ(Socket.ReceiveLine(Timeout), "yBx");
  EXPECT_EQ(Socket.SentByteCount - SentBefore, 4);
  EXPECT_EQ(Sent, 4);
  EXPECT_GE(Received, 4);
}

TEST_F(TlsTest, WritingToAVanishedPeerFailsWithoutKillingTheProcess) {
  TTlsServer Server;
  TTCPBlockSocket Socket;
  ASSERT_NO_FATAL_FAILURE(StartAndConnect(Server, Socket));
  ExpectEcho(Socket, "still here");
  Server.Stop();
  std::string Chunk(16384, 'z');
  int32_t Counted = Socket.SentByteCount;
  for (int I = 0; I < 100 && Socket.LastErrorCode == 0; ++I) {
    int Sent = Socket.SendText(Chunk);
    if (Sent > 0) Counted += Sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Socket.LastErrorCode, ErrSubsystemUnusable);
  EXPECT_EQ(Socket.SentByteCount, Counted);  // the failed write counts nothing
  EXPECT_TRUE(Socket.TlsActive);  // a failed write leaves TLS on
  Socket.CloseSocket();           // and closing after it works
  EXPECT_FALSE(Socket.TlsActive);
}

}  // namespace
