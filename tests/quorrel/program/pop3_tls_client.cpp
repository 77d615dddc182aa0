// A small POP3 session over TLS for the memory checks: logs in, lists, reads
// the headers of the last message, deletes the first and quits.
//   pop3_tls_client stls|implicit HOST PORT USER PASSWORD
// Exit status 0 when every step succeeded, 1 otherwise, 2 on wrong usage.
#include <cstdio>
#include <string>

#include "blocksock/block_socket.h"
#include "pop3/pop3.h"
#include "sockapi/sockapi.h"
#include "tlsbind/tlsbind.h"

using namespace quorrel;

namespace {

int Session(const std::string& Mode, char** Argv) {
  TPOP3Send Pop;
  Pop.Host = Argv[2];
  Pop.Port = Argv[3];
  Pop.UserName = Argv[4];
  Pop.Password = Argv[5];
  Pop.TimeoutMs = 30000;  // everything is slow under a memory checker
  (Mode == "implicit" ? Pop.ImplicitTls : Pop.UseStls) = true;
  auto Fail = [&](const char* Step) {
    std::fprintf(stderr, "%s failed: %s / %s / %s\n", Step, Pop.StatusLine.c_str(),
                 Pop.Socket.LastErrorText.c_str(), Pop.Socket.TlsLastErrorText.c_str());
    return 1;
  };
  if (!Pop.Login()) return Fail("login");
  if (!Pop.Socket.TlsActive) return Fail("tls");
  if (!Pop.Stat() || Pop.MessageCount < 1) return Fail("STAT");
  if (!Pop.Top(Pop.MessageCount, 0)) return Fail("TOP");
  if (!Pop.Dele(1)) return Fail("DELE");
  Pop.Logout();
  if (Pop.ReplyStatus != 1) return Fail("QUIT");
  std::printf("%d messages, deleted 1\n", Pop.MessageCount);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: pop3_tls_client stls|implicit HOST PORT USER PASSWORD\n");
    return 2;
  }
  const std::string Mode = argv[1];
  if (Mode != "stls" && Mode != "implicit") return 2;
  SockApiModuleStart();
  BlockSockModuleStart();
  TlsBindModuleStart();
  int Status = Session(Mode, argv);
  TlsBindModuleEnd();
  BlockSockModuleEnd();
  SockApiModuleEnd();
  return Status;
}
