// The classifiers the end-to-end tests talk to start from their fixtures and
// answer, and the taught word list tells spam from ham.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/classifiers.h"
#include "support/requirement.h"

using namespace quorrel;

namespace {

// Sends Request to 127.0.0.1:Port and returns all it answers until it closes.
std::string Ask(int Port, const std::string& Request) {
  const int Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(uint16_t(Port));
  std::string Reply;
  timeval Limit{10, 0};
  setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
  if (connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0 &&
      send(Fd, Request.data(), Request.size(), MSG_NOSIGNAL) == ssize_t(Request.size())) {
    char Buf[4096];
    for (ssize_t N; (N = recv(Fd, Buf, sizeof Buf, 0)) > 0;) Reply.append(Buf, size_t(N));
  }
  close(Fd);
  return Reply;
}

}  // namespace

TEST(ClassifierPeers, SpamdAnswersPing) {
  QUORREL_REQUIRE(TSpamd::Missing());
  TSpamd Spamd;
  QUORREL_REQUIRE_STARTED(Spamd.Start(), "spamd", Spamd.Log());
  EXPECT_EQ(Ask(Spamd.Port, "PING SPAMC/1.5\r\n\r\n").rfind("SPAMD/1.5 0 PONG\r\n", 0), 0u);
}

TEST(ClassifierPeers, RspamdAnswersPingOnBothPorts) {
  QUORREL_REQUIRE(TRspamd::Missing());
  TRspamd Rspamd;
  QUORREL_REQUIRE_STARTED(Rspamd.Start(), "rspamd", Rspamd.Log());
  for (int Port : {Rspamd.Port, Rspamd.ControllerPort})
    EXPECT_NE(Ask(Port, "GET /ping HTTP/1.0\r\n\r\n").find("\r\n\r\npong"), std::string::npos) << Port;
}

TEST(ClassifierPeers, BogofilterWordListTellsSpamFromHam) {
  QUORREL_REQUIRE(TBogofilterDb::Missing());
  TBogofilterDb Db;
  ASSERT_TRUE(Db.Ready);
  EXPECT_EQ(Db.Classify(TBogofilterDb::Spam()[0]), 0);
  EXPECT_EQ(Db.Classify(TBogofilterDb::Ham()[0]), 1);
}
