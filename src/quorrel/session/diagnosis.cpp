#include "quorrel/session/diagnosis.h"

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

}  // namespace

std::string DescribeSocketError(int32_t Code) {
  return TBlockSocket::GetErrorDesc(Code) + " (" + std::to_string(Code) + ")";
}

std::string ReplyFailure(const TPOP3Send& Session) {
  if (!Session.StatusLine.empty()) return "the server said " + Session.StatusLine;
  if (Session.Socket.LastErrorCode != 0) return DescribeSocketError(Session.Socket.LastErrorCode);
  return Session.Socket.HasSocket() ? "no valid reply" : "not connected";
}

namespace {

// The server's words, else the socket's error, else whether a connection was left.
std::string RecordedReply(const TLoginFailure& F) {
  if (!F.ServerLine.empty()) return "the server said " + F.ServerLine;
  if (F.SocketCode != 0) return DescribeSocketError(F.SocketCode);
  return F.Connected ? "no valid reply" : "not connected";
}

}  // namespace

std::string LoginFailure(const TPOP3Send& Session) {
  const TLoginFailure& F = Session.Failure;
  const std::string Server = Session.Host + ":" + Session.Port;
  switch (F.Step) {
    case LoginStepConnect:
      return "cannot connect to " + Server + ": " + DescribeSocketError(F.SocketCode);
    case LoginStepGreeting:
      return "no session with " + Server + ": " + RecordedReply(F);
    default: {
      if (!F.Reason.empty() && !F.FirstHopConnected) return "login refused before connecting: " + F.Reason;
      if (!F.Reason.empty() && F.ServerLine.empty()) return "no login at " + Server + ": " + F.Reason;
      const std::string Why = F.Reason.empty() ? "" : " (" + F.Reason + ")";
      if (F.ServerLine.empty()) return "login at " + Server + " failed: " + RecordedReply(F) + Why;
      return "login refused by " + Server + ": " + RecordedReply(F) + Why;
    }
  }
}

std::string ProxyFailure(const TPOP3Send& Session, const TProxy& Proxy) {
  const TTCPBlockSocket& Socket = Session.Socket;
  const TLoginFailure& F = Session.Failure;
  const std::string At = Proxy.Host + ":" + Proxy.Port;
  if (!F.FirstHopConnected) return "cannot connect to the proxy at " + At + ": " + DescribeSocketError(F.SocketCode);
  const int32_t Code = F.SocketCode;
  if (Code != 0 && Code != ErrSubsystemUnusable)
    return "the dialogue with the proxy at " + At + " broke off: " + DescribeSocketError(Code);
  if (Proxy.Scheme == TProxyScheme::Http) {
    if (!F.ServerLine.empty()) return "the proxy at " + At + " answered " + F.ServerLine;
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

TFailureKind LoginFailureKind(const TPOP3Send& Session) {
  const TLoginFailure& F = Session.Failure;
  switch (F.Step) {
    case LoginStepConnect:
      if (F.SocketCode == ErrHostNotFound) return TFailureKind::NoHost;
      return F.SocketCode == ErrTimedOut ? TFailureKind::TryLater : TFailureKind::Unavailable;
    case LoginStepTls:
      return TFailureKind::Unavailable;
    case LoginStepGreeting:
      if (F.ServerLine.rfind("-ERR", 0) == 0) return TFailureKind::Unavailable;
      return F.ServerLine.empty() ? TFailureKind::TryLater : TFailureKind::Protocol;
    default:
      // Neither the server's words nor ours: the connection broke on the way.
      if (F.ServerLine.empty() && F.Reason.empty()) return TFailureKind::TryLater;
      return TFailureKind::Refused;
  }
}

TFailureKind ReplyFailureKind(const TPOP3Send& Session) {
  const int32_t Code = Session.Socket.LastErrorCode;
  // No socket error, or a line beyond the bounds: the reply itself was wrong.
  return Code == 0 || Code == ErrNoBufferSpace ? TFailureKind::Protocol : TFailureKind::TryLater;
}

}  // namespace quorrel
