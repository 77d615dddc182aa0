// TSocksBlockSocket: the client side of SOCKS 5 (with RFC 1929 user name and
// password), SOCKS 4 and 4A, in three steps run over a connection to the SOCKS
// server that the caller has already opened.
#pragma once

#include "blocksock/block_socket.h"

namespace quorrel {

enum TSocksVersion : uint8_t { Socks5 = 0, Socks4 = 1 };

class TSocksBlockSocket : public TBlockSocket {
 public:
  TSocksBlockSocket();

  bool SocksGreet();
  bool SocksSendRequest(uint8_t Command, const std::string& Host, const std::string& Port);
  bool SocksReadReply();
  // Address-and-port bytes of a request; Ok false when the address cannot be
  // encoded (a SOCKS5 host name over 255 bytes, or a name that must be resolved
  // here and does not resolve: then LastErrorCode is 11001), and nothing must be
  // sent.
  std::string EncodeSocksAddress(const std::string& Host, const std::string& Port, bool& Ok);
  std::string EncodeSocksAddress(const std::string& Host, const std::string& Port);
  int DecodeSocksAddress(const std::string& Reply);

  // ---- settings ----
  std::string SocksProxyHost;
  std::string SocksProxyPort = "1080";
  int32_t SocksTimeoutMs = 60000;
  std::string SocksUser;
  std::string SocksPassword;
  bool SocksRemoteResolve = true;
  TSocksVersion SocksVersion = Socks5;

  // ---- results of the last SOCKS dialogue ----
  bool ViaSocks = false;
  int32_t SocksReplyCode = 0;
  std::string SocksReplyHost;
  std::string SocksReplyPort;
  std::string SocksBoundHost;
  std::string SocksBoundPort;
  std::string SocksTargetHost;
  std::string SocksTargetPort;

  // ---- internal state ----
  bool ProxyNegotiating = false;  // a proxy dialogue (SOCKS or HTTP) runs in clear
};

}  // namespace quorrel
