// TLS against peers that stall, inject clear bytes or change settings late. The
// stalling TLS peer is scripted (python3's ssl module): no real server sends
// half a record and goes quiet. openssl s_server is the peer everywhere else.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>

#include "blocksock/tcp_socket.h"
#include "support/proxies.h"
#include "support/tls_peer.h"

using namespace quorrel;

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Modes, per connection after the handshake:
//   half-record    sends the first 15 bytes of a record and goes quiet
//   no-read        never reads again
//   half-on-close  waits for the client's next bytes (its close-notify), then
//                  sends the first 15 bytes of a record and goes quiet
//   silent         (before any handshake) accepts and never answers
// Every connection is dropped 20 s after it was accepted, so that a client
// that would wait for ever still ends.
const char* const StallingPeerScript = R"PY(
import socket, ssl, sys, threading, time
mode, port, cert, key = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
ls = socket.socket()
ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
ls.bind(('127.0.0.1', port))
ls.listen(8)

def serve(c):
    try:
        if mode == 'silent':
            time.sleep(20)
            return
        inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = ctx.wrap_bio(inc, out, server_side=True)
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                c.sendall(out.read())
                d = c.recv(65536)
                if not d:
                    return
                inc.write(d)
        c.sendall(out.read())
        if mode == 'half-on-close':
            c.recv(65536)
        if mode in ('half-record', 'half-on-close'):
            tls.write(b'a line that never ends\r\n')
            c.sendall(out.read()[:15])
        time.sleep(20)
    except Exception:
        pass
    finally:
        c.close()

while True:
    c, _ = ls.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
)PY";

class TlsStallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Files = new TTlsFiles;
    ASSERT_TRUE(Files->Make()) << "openssl could not make the test certificates";
    WriteFile(Files->Dir + "/stalling_peer.py", StallingPeerScript);
  }
  static void TearDownTestSuite() {
    Files->Remove();
    delete Files;
    Files = nullptr;
  }
  // Starts the scripted peer in Mode; false when python3 could not run it.
  bool StartPeer(const std::string& Mode) {
    Port = FreeTcpPort();
    return Peer.Start({"python3", Files->Dir + "/stalling_peer.py", Mode, std::to_string(Port), Files->ServerCert,
                       Files->ServerKey}) &&
           WaitForPort("127.0.0.1", Port);
  }
  std::string PortText() const { return std::to_string(Port); }

  static TTlsFiles* Files;
  TChildProcess Peer;
  int Port = 0;
};
TTlsFiles* TlsStallTest::Files = nullptr;

long long MsSince(TClock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start).count();
}

TEST_F(TlsStallTest, HalfARecordEndsAReadWithATimeOut) {
  ASSERT_TRUE(StartPeer("half-record")) << "python3 (Debian package python3) could not start the peer";
  {
    SCOPED_TRACE("the OS receive time-out is shorter than the call's");
    TTCPBlockSocket Socket;
    Socket.SetReceiveTimeout(1000);
    Socket.SetTlsActive(true);
    Socket.Connect("127.0.0.1", PortText());
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
    const int32_t Before = Socket.ReceivedByteCount;
    const auto Start = TClock::now();
    EXPECT_EQ(Socket.ReceiveLine(2000), "");
    EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
    EXPECT_LT(MsSince(Start), 8000);
    EXPECT_EQ(Socket.ReceivedByteCount, Before);  // a failed read counts nothing
  }
  {
    SCOPED_TRACE("no OS time-out: the call's own bounds the read");
    TTCPBlockSocket Socket;
    Socket.SetTlsActive(true);
    Socket.Connect("127.0.0.1", PortText());
    ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
    Socket.RaiseOnError = true;
    const auto Start = TClock::now();
    try {
      Socket.ReceiveLine(1500);
      ADD_FAILURE() << "no exception";
    } catch (const ESocketError& Error) {
      EXPECT_EQ(Error.ErrorNumber, ErrTimedOut);
    }
    EXPECT_LT(MsSince(Start), 8000);
    Socket.RaiseOnError = false;
  }
}

TEST_F(TlsStallTest, APeerThatStopsReadingEndsAWriteWithATimeOut) {
  ASSERT_TRUE(StartPeer("no-read")) << "python3 (Debian package python3) could not start the peer";
  TTCPBlockSocket Socket;
  Socket.SetSendTimeout(500);
  Socket.SetTlsActive(true);
  Socket.Connect("127.0.0.1", PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
  const std::string Data(32 * 1024 * 1024, 'w');
  const auto Start = TClock::now();
  EXPECT_EQ(Socket.SendText(Data), -1);
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_EQ(Socket.SentByteCount, 0);
  EXPECT_LT(MsSince(Start), 8000);
}

TEST_F(TlsStallTest, APeerThatNeverAnswersEndsTheHandshake) {
  ASSERT_TRUE(StartPeer("silent")) << "python3 (Debian package python3) could not start the peer";
  TTCPBlockSocket Socket;
  Socket.SetReceiveTimeout(500);
  Socket.Connect("127.0.0.1", PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0);
  const auto Start = TClock::now();
  Socket.StartTlsClient();
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_FALSE(Socket.TlsActive);
  EXPECT_TRUE(Socket.HasSocket());
  EXPECT_LT(MsSince(Start), 8000);
}

TEST_F(TlsStallTest, HalfARecordInsteadOfACloseNotifyDoesNotHoldTheClose) {
  ASSERT_TRUE(StartPeer("half-on-close")) << "python3 (Debian package python3) could not start the peer";
  TTCPBlockSocket Socket;
  Socket.SetTlsActive(true);
  Socket.Connect("127.0.0.1", PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
  const auto Start = TClock::now();
  Socket.CloseSocket();
  EXPECT_LT(MsSince(Start), 8000);
  EXPECT_FALSE(Socket.TlsActive);
  EXPECT_FALSE(Socket.HasSocket());
}

// ---------------------------------------------------------------------------
// Clear bytes before the handshake

TEST_F(TlsStallTest, BytesAProxySendsBehindItsReplyAreNeverTlsData) {
  TScriptedServer Proxy([](TPeerConnection& C) {
    if (C.ReadUntil("\r\n\r\n").empty()) return;
    C.Write("HTTP/1.0 200 OK\r\n\r\nINJECTED BY PROXY\r\n");
    C.ReadToEnd(3000);
  });
  TTCPBlockSocket Socket;
  Socket.TunnelProxyHost = "127.0.0.1";
  Socket.TunnelProxyPort = Proxy.PortText();
  Socket.TunnelTimeoutMs = 3000;
  Socket.SetTlsActive(true);
  Socket.Connect("127.0.0.1", "995");
  EXPECT_EQ(Socket.LastErrorCode, ErrSubsystemUnusable);
  EXPECT_FALSE(Socket.TlsActive);
  // The connection stays in clear, with what came in clear.
  EXPECT_EQ(Socket.ReceiveLine(1000), "INJECTED BY PROXY");
  Socket.CloseSocket();
}

TEST_F(TlsStallTest, BytesBehindTheAnswerThatStartsTlsAreNeverTlsData) {
  TScriptedServer Server([](TPeerConnection& C) {
    C.Write("+OK ready\r\n");
    if (C.ReadUntil("\r\n").empty()) return;
    C.Write("+OK begin TLS\r\n+OK INJECTED\r\n");
    C.ReadToEnd(3000);
  });
  TTCPBlockSocket Socket;
  Socket.Connect("127.0.0.1", Server.PortText());
  ASSERT_EQ(Socket.ReceiveLine(2000), "+OK ready");
  Socket.SendText("STLS\r\n");
  ASSERT_EQ(Socket.ReceiveLine(2000), "+OK begin TLS");
  Socket.RaiseOnError = true;
  EXPECT_THROW(Socket.StartTlsClient(), ESocketError);
  Socket.RaiseOnError = false;
  EXPECT_EQ(Socket.LastErrorCode, ErrSubsystemUnusable);
  EXPECT_FALSE(Socket.TlsActive);
  EXPECT_EQ(Socket.ReadBuffer, "+OK INJECTED\r\n");
  Socket.CloseSocket();
}

// ---------------------------------------------------------------------------
// Settings and counters

TEST_F(TlsStallTest, VerificationSetAfterSwitchingOnIsEnforced) {
  TTlsServer Server;
  ASSERT_TRUE(Server.Start(Files->ServerCert, Files->ServerKey)) << "openssl s_server (Debian package openssl)";
  {
    SCOPED_TRACE("an untrusted peer is refused");
    TTCPBlockSocket Socket;
    Socket.SetTlsActive(true);
    ASSERT_EQ(Socket.LastErrorCode, 0);
    Socket.TlsVerifyPeer = true;
    Socket.TlsCaFile = Files->OtherCaFile;
    Socket.Connect("localhost", std::to_string(Server.Port));
    EXPECT_EQ(Socket.LastErrorCode, ErrSubsystemUnusable);
    EXPECT_NE(Socket.TlsLastErrorText.find("certificate verify failed"), std::string::npos)
        << Socket.TlsLastErrorText;
  }
  {
    SCOPED_TRACE("the right CA, named after switching on, is used");
    TTCPBlockSocket Socket;
    Socket.SetTlsActive(true);
    Socket.TlsVerifyPeer = true;
    Socket.TlsCaFile = Files->CaFile;
    Socket.Connect("localhost", std::to_string(Server.Port));
    EXPECT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
  }
}

TEST_F(TlsStallTest, ByteCountersWrapAsOnThePlainPath) {
  TTlsServer Server;
  ASSERT_TRUE(Server.Start(Files->ServerCert, Files->ServerKey)) << "openssl s_server (Debian package openssl)";
  TTCPBlockSocket Socket;
  Socket.SetTlsActive(true);
  Socket.Connect("127.0.0.1", std::to_string(Server.Port));
  ASSERT_EQ(Socket.LastErrorCode, 0) << Socket.TlsLastErrorText;
  Socket.SentByteCount = INT32_MAX - 1;
  Socket.ReceivedByteCount = INT32_MAX;
  EXPECT_EQ(Socket.SendText("wrap\n"), 5);
  EXPECT_EQ(Socket.SentByteCount, INT32_MIN + 3);
  Socket.AnyLineBreak = true;
  EXPECT_EQ(Socket.ReceiveLine(5000), "parw");
  EXPECT_EQ(Socket.ReceivedByteCount, INT32_MIN + 4);
  // A negative count is refused, and counts nothing.
  char Byte = 0;
  EXPECT_EQ(Socket.SendBytes(&Byte, -1), -1);
  EXPECT_EQ(Socket.LastErrorCode, ErrInvalidArgument);
  EXPECT_EQ(Socket.ReceiveRaw(&Byte, -1), -1);
  EXPECT_EQ(Socket.LastErrorCode, ErrInvalidArgument);
  EXPECT_EQ(Socket.SentByteCount, INT32_MIN + 3);
}

}  // namespace
