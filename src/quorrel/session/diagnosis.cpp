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

// The response codes of RFC 2449 and RFC 3206 that tell a scheduler what to do.
struct TResponseCode {
  const char* Code;
  TFailureKind Kind;
  const char* Words;
};
const TResponseCode Codes[] = {
    {"IN-USE", TFailureKind::TryLater, "another session holds the mailbox"},
    {"LOGIN-DELAY", TFailureKind::TryLater, "the server asks for a longer wait between logins"},
    {"SYS/TEMP", TFailureKind::TryLater, "the server has a passing trouble of its own"},
    {"SYS/PERM", TFailureKind::Unavailable, "the server has a lasting trouble of its own"},
    {"AUTH", TFailureKind::Refused, "the user name or password was not taken"},
};

const TResponseCode* CodeOf(const std::string& Line) {
  if (Line.rfind("-ERR [", 0) != 0) return nullptr;
  const size_t End = Line.find(']', 6);
  if (End == std::string::npos) return nullptr;
  std::string Code = Line.substr(6, End - 6);
  for (char& C : Code) C = char(C >= 'a' && C <= 'z' ? C - 32 : C);
  for (const TResponseCode& R : Codes) {
    const size_t Length = std::char_traits<char>::length(R.Code);
    // Codes are a hierarchy: SYS/TEMP/whatever is a SYS/TEMP.
    if (Code.compare(0, Length, R.Code) == 0 && (Code.size() == Length || Code[Length] == '/')) return &R;
  }
  return nullptr;
}

// The server's line, with what its response code means where it has one.
std::string Said(const std::string& Line) {
  const TResponseCode* Code = CodeOf(Line);
  return "the server said " + Line + (Code ? std::string(" (") + Code->Words + ")" : "");
}

}  // namespace

std::string ResponseCode(const std::string& Line) {
  const TResponseCode* Code = CodeOf(Line);
  return Code ? Code->Code : "";
}

std::string DescribeSocketError(int32_t Code) {
  return TBlockSocket::GetErrorDesc(Code) + " (" + std::to_string(Code) + ")";
}

std::string ReplyFailure(const TPOP3Send& Session) {
  if (!Session.StatusLine.empty()) return Said(Session.StatusLine);
  if (Session.Socket.LastErrorCode != 0) return DescribeSocketError(Session.Socket.LastErrorCode);
  return Session.Socket.HasSocket() ? "no valid reply" : "not connected";
}

namespace {

// The server's words, else the socket's error, else whether a connection was left.
std::string RecordedReply(const TLoginFailure& F) {
  if (!F.ServerLine.empty()) return Said(F.ServerLine);
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
  // A refusal that says why in a response code is taken at its word.
  if (const TResponseCode* Code = CodeOf(F.ServerLine); Code && F.Step != LoginStepConnect) return Code->Kind;
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
  if (const TResponseCode* Said = CodeOf(Session.StatusLine)) return Said->Kind;
  const int32_t Code = Session.Socket.LastErrorCode;
  // No socket error, or a line beyond the bounds: the reply itself was wrong.
  return Code == 0 || Code == ErrNoBufferSpace ? TFailureKind::Protocol : TFailureKind::TryLater;
}

}  // namespace quorrel
