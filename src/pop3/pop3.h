// TPOP3Send: one POP3 client session over one TTCPBlockSocket that it owns.
// Every operation reports failure only by its result (false / ReplyStatus 0)
// and keeps the server's own words in StatusLine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocksock/protocol_client.h"
#include "blocksock/tcp_socket.h"

enum TAuthMode : uint8_t { AuthAny = 0, AuthUserPassOnly = 1, AuthApopOnly = 2 };

class TPOP3Send : public TProtocolClient {
 public:
  TPOP3Send();
  ~TPOP3Send() override;

  bool Login();
  void Logout();
  bool Stat();
  bool Top(int32_t Number, int32_t Lines);
  bool Dele(int32_t Number);

  int32_t ReadReply(bool MultiLine);
  bool OpenConnection();
  bool LoginUserPass();
  bool LoginApop();
  bool ReadCapabilities();
  bool SwitchToTls();
  std::string FindCapability(const std::string& Word);

  TTCPBlockSocket Socket;
  int32_t ReplyStatus = 0;
  std::string StatusLine;
  std::vector<std::string> ReplyLines;
  std::string UserName;
  std::string Password;
  int32_t MessageCount = 0;
  int32_t MailboxSize = 0;
  std::string ApopChallenge;
  TAuthMode AuthMode = AuthAny;
  std::vector<std::string> Capabilities;
  bool UseStls = false;
  bool ImplicitTls = false;
};
