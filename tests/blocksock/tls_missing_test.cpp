// TLS without the OpenSSL libraries: switching TLS on fails with 10043 and the
// socket goes on working in clear. A program of its own, because libraries once
// loaded stay loaded.
#include <gtest/gtest.h>

#include "blocksock/tcp_socket.h"
#include "support/tls_peer.h"
#include "support/tls_missing.h"
#include "tlsbind/tlsbind.h"

using namespace quorrel;

namespace {

TEST(TlsMissingTest, SwitchingOnFailsAndThePlainConnectionStillWorks) {
  PointTlsLibrariesNowhere("/nonexistent/libssl.so");
  std::string Dir = MakeTempDir();
  TPlainServer Server;
  ASSERT_TRUE(Server.Start(Dir));

  TTCPBlockSocket Socket;
  std::vector<std::string> Errors;
  Socket.StatusHandler = [&Errors](TBlockSocket&, TSocketStatusReason Reason, const std::string& Value) {
    if (Reason == ErrorReported) Errors.push_back(Value);
  };
  Socket.SetTlsActive(true);
  EXPECT_EQ(Socket.LastErrorCode, ErrProtocolNotSupported);
  EXPECT_EQ(Socket.LastErrorText, "Protocol not supported");
  EXPECT_FALSE(Socket.TlsActive);
  EXPECT_EQ(Socket.TlsContext, nullptr);
  EXPECT_EQ(Socket.TlsLastError, 0);
  EXPECT_TRUE(Socket.TlsLastErrorText.empty());
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "10043,Protocol not supported");

  Socket.Connect("127.0.0.1", std::to_string(Server.Port));
  ASSERT_EQ(Socket.LastErrorCode, 0);
  Socket.SendText("PING\r\n");
  EXPECT_EQ(Socket.ReceiveLine(5000), "PONG");
  // StartTlsClient on the open connection fails the same way and leaves it usable.
  Socket.StartTlsClient();
  EXPECT_EQ(Socket.LastErrorCode, ErrProtocolNotSupported);
  EXPECT_TRUE(Socket.HasSocket());
  Socket.SendText("PING\r\n");
  EXPECT_EQ(Socket.ReceiveLine(5000), "PONG");
  Socket.CloseSocket();
  Server.Stop();
  RemoveTree(Dir);
}

}  // namespace
