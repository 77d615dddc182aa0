#include "quorrel/diagnosis.h"

#include <vector>

namespace quorrel {

namespace {

std::string Socks5ReplyText(int32_t Code) {
  static const char* const Texts[] = {"succeeded",
                                      "general failure",
                                      "connection not allowed by the proxy's rules",
                                      "network unreachable",
                                      "host unreachable",
                                      "connection refused",
                                      "time to live expired",
                                      "command not supported",
                                      "address type not supported"};
  if (Code >= 0 && Code < int32_t(sizeof Texts / sizeof Texts[0])) return Texts[Code];
  return "unknown reply";
}

std::string Socks4ReplyText(int32_t Code) {
  switch (Code) {
    case 91: return "request rejected or failed";
    case 92: return "the proxy could not reach our identd";
    case 93: return "identd reported another user";
    default: return "unknown reply";
  }
}

bool IsSocks(TProxyScheme Scheme) { return Scheme != TProxyScheme::Http && Scheme != TProxyScheme::None; }

}  // namespace

TConnectTrace::TConnectTrace(TPOP3Send& Session) : Watched(&Session) {
  TTCPBlockSocket& Socket = Session.Socket;
  Socket.StatusHandler = [this](TBlockSocket& S, TSocketStatusReason Reason, const std::string&) {
    if (Reason != SocketConnected || Tried) return;
    Tried = true;
    Code = S.LastErrorCode;
  };
  // Only what a proxy says while the tunnel is negotiated; POP3 lines are not kept.
  Socket.ReceiveFilter = [this, &Socket](TBlockSocket&, std::string& Bytes) {
    if (!Socket.ProxyNegotiating || ProxyStatusLine.find('\n') != std::string::npos) return;
    ProxyStatusLine += Bytes.substr(0, 200);
  };
}

void TConnectTrace::Finish() {
  if (!Watched) return;
  Watched->Socket.StatusHandler = nullptr;
  Watched->Socket.ReceiveFilter = nullptr;
  Watched = nullptr;
  const size_t End = ProxyStatusLine.find_first_of("\r\n");
  if (End != std::string::npos) ProxyStatusLine.resize(End);
}

void ConfigureProxy(TPOP3Send& Session, const TProxy& Proxy) {
  TTCPBlockSocket& Socket = Session.Socket;
  if (Proxy.Scheme == TProxyScheme::Http) {
    Socket.TunnelProxyHost = Proxy.Host;
    Socket.TunnelProxyPort = Proxy.Port;
    Socket.TunnelUser = Proxy.User;
    Socket.TunnelPassword = Proxy.Password;
  } else if (IsSocks(Proxy.Scheme)) {
    Socket.SocksProxyHost = Proxy.Host;
    Socket.SocksProxyPort = Proxy.Port;
    Socket.SocksUser = Proxy.User;
    Socket.SocksPassword = Proxy.Password;
    Socket.SocksVersion =
        Proxy.Scheme == TProxyScheme::Socks4 || Proxy.Scheme == TProxyScheme::Socks4a ? Socks4 : Socks5;
    // socks5h and socks4a hand the name to the proxy; the others resolve it here.
    Socket.SocksRemoteResolve = Proxy.Scheme == TProxyScheme::Socks5h || Proxy.Scheme == TProxyScheme::Socks4a;
  }
}

std::string DescribeSocketError(int32_t Code) {
  return TBlockSocket::GetErrorDesc(Code) + " (" + std::to_string(Code) + ")";
}

std::string ReplyFailure(const TPOP3Send& Session) {
  if (!Session.StatusLine.empty()) return "the server said " + Session.StatusLine;
  if (Session.Socket.LastErrorCode != 0) return DescribeSocketError(Session.Socket.LastErrorCode);
  return Session.Socket.HasSocket() ? "no valid reply" : "not connected";
}

std::string LoginFailure(const TPOP3Send& Session, const TConnectTrace& Trace) {
  const std::string Server = Session.Host + ":" + Session.Port;
  switch (Session.LoginStopped) {
    case LoginStepConnect: {
      int32_t Code = Trace.Tried && Trace.Code != 0 ? Trace.Code : Session.Socket.LastErrorCode;
      // A name that does not resolve shows in the socket only as the failure of
      // what came after; ask once more to tell the user the real cause.
      TTCPBlockSocket Probe;
      std::vector<std::string> Addresses;
      Probe.ResolveAllAddresses(Session.Host, Addresses);
      if (Session.Host != "0.0.0.0" && (Addresses.empty() || Addresses.front() == "0.0.0.0")) Code = ErrHostNotFound;
      return "cannot connect to " + Server + ": " + DescribeSocketError(Code);
    }
    case LoginStepGreeting:
      return "no session with " + Server + ": " + ReplyFailure(Session);
    default:
      if (Session.StatusLine.empty() && Session.Socket.LastErrorCode == 0 && !Session.Socket.HasSocket())
        return "login refused before connecting: the user name or password holds a line break or NUL";
      if (Session.StatusLine.empty()) return "login at " + Server + " failed: " + ReplyFailure(Session);
      return "login refused by " + Server + ": " + ReplyFailure(Session);
  }
}

std::string ProxyFailure(const TPOP3Send& Session, const TProxy& Proxy, const TConnectTrace& Trace) {
  const TTCPBlockSocket& Socket = Session.Socket;
  const std::string At = Proxy.Host + ":" + Proxy.Port;
  if (!Trace.Tried || Trace.Code != 0)
    return "cannot connect to the proxy at " + At + ": " + DescribeSocketError(Trace.Tried ? Trace.Code : Socket.LastErrorCode);
  const int32_t Code = Socket.LastErrorCode;
  if (Code != 0 && Code != ErrSubsystemUnusable)
    return "the dialogue with the proxy at " + At + " broke off: " + DescribeSocketError(Code);
  if (Proxy.Scheme == TProxyScheme::Http) {
    if (!Trace.ProxyStatusLine.empty()) return "the proxy at " + At + " answered " + Trace.ProxyStatusLine;
    return "the proxy at " + At + " did not open the tunnel";
  }
  if (Proxy.Scheme == TProxyScheme::Socks4 || Proxy.Scheme == TProxyScheme::Socks4a) {
    if (Socket.SocksReplyCode > 0)
      return "the proxy at " + At + " answered " + std::to_string(Socket.SocksReplyCode) + ": " +
             Socks4ReplyText(Socket.SocksReplyCode);
    return "the proxy at " + At + " gave no valid answer";
  }
  if (!Socket.ViaSocks)
    return Proxy.User.empty() ? "the proxy at " + At + " refused us (it may want a user name and password)"
                              : "the proxy at " + At + " refused the user name and password";
  if (Socket.SocksReplyCode > 0)
    return "the proxy at " + At + " answered " + std::to_string(Socket.SocksReplyCode) + ": " +
           Socks5ReplyText(Socket.SocksReplyCode);
  return "the proxy at " + At + " gave no valid answer";
}

}  // namespace quorrel
