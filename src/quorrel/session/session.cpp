#include "quorrel/session/session.h"

#include <utility>

#include "quorrel/session/diagnosis.h"

namespace quorrel {

namespace {

// Points the session's socket at the proxy.
void ConfigureProxy(TPOP3Send& Session, const TProxy& Proxy) {
  TTCPBlockSocket& Socket = Session.Socket;
  if (Proxy.Scheme == TProxyScheme::Http) {
    Socket.TunnelProxyHost = Proxy.Host;
    Socket.TunnelProxyPort = Proxy.Port;
    Socket.TunnelUser = Proxy.User;
    Socket.TunnelPassword = Proxy.Password;
  } else if (Proxy.Scheme != TProxyScheme::None) {
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

TAuthMode AuthModeOf(const std::string& Method) {
  static const std::pair<const char*, TAuthMode> Modes[] = {
      {"user", AuthUserPassOnly}, {"apop", AuthApopOnly},  {"plain", AuthPlain},
      {"scram-sha-256", AuthScramSha256}, {"xoauth2", AuthXOAuth2}, {"oauthbearer", AuthOAuthBearer}};
  for (const auto& [Name, Mode] : Modes)
    if (Method == Name) return Mode;
  return AuthAny;
}

}  // namespace

void ConfigureSession(TPOP3Send& Session, const TMailbox& Mailbox, const TSessionPlan& Plan) {
  Session.AuthMode = AuthModeOf(Mailbox.Auth);
  // A method the user named is used only where the server offers it.
  Session.OnlyOfferedMethod = Session.AuthMode != AuthAny;
  Session.UserName = Mailbox.User;
  Session.Password = Mailbox.Password;
  Session.Host = Mailbox.Server;
  Session.Port = Mailbox.PortOrDefault();
  Session.ImplicitTls = Mailbox.Tls;
  Session.UseStls = Session.StlsRequired = Mailbox.StartTls;
  // The certificate must be valid and match the Server parameter, name or
  // address, which the socket checks against the host it connects to.
  Session.Socket.TlsVerifyPeer = !Mailbox.Insecure;
  Session.Socket.TlsPinnedFingerprints = Mailbox.TlsFingerprints;
  Session.Socket.TlsCaFile = Mailbox.CaFile;
  ConfigureProxy(Session, Mailbox.Proxy);
  Session.LoginInOneFlight = Plan.Pipelining;
  Session.FirstCommands = Plan.OnlyNew ? std::vector<std::string>{"STAT", "UIDL", "LIST"}
                                       : std::vector<std::string>{"STAT", "LIST"};
}

TOpening OpenSession(TPOP3Send& Session, const TMailbox& Mailbox, const TSessionPlan& Plan) {
  ConfigureSession(Session, Mailbox, Plan);
  if (!Session.Login()) {
    if (Session.Failure.Step == LoginStepConnect && Mailbox.Proxy.Scheme != TProxyScheme::None)
      return {TStatus::Fail(TFailureKind::Unavailable, ""), "Proxy Error: " + ProxyFailure(Session, Mailbox.Proxy)};
    const TFailureKind Kind = LoginFailureKind(Session);
    if (Session.Failure.Step == LoginStepTls) return {TStatus::Fail(Kind, ""), "TLS Error: " + Session.Failure.Reason};
    return {TStatus::Fail(Kind, LoginFailure(Session)), "Login Error"};
  }
  // A server may announce PIPELINING only after login (the list may change
  // then); the choice of sweep rests on the list from after it.
  if (!Session.Capabilities.empty() && !Session.HasCapability("PIPELINING") && Plan.Pipelining)
    Session.ReadCapabilities();
  if (!Session.Stat()) {
    if (!Session.OutOfStep.empty())
      return {TStatus::Fail(TFailureKind::Protocol, "the server's replies are out of step: " + Session.OutOfStep +
                                                        "; the session ends without QUIT, nothing is deleted"),
              ""};
    return {TStatus::Fail(ReplyFailureKind(Session), "STAT failed: " + ReplyFailure(Session)), ""};
  }
  return {TStatus::Ok(), ""};
}

TStatus EndSession(TPOP3Send& Session) {
  Session.Logout();
  if (Session.ReplyStatus == 1) return TStatus::Ok();
  return TStatus::Fail(TFailureKind::TryLater, "QUIT failed: " + ReplyFailure(Session));
}

}  // namespace quorrel
