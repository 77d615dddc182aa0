#include "quorrel/program/serverinfo.h"

#include <cstdio>

#include "quorrel/program/driver.h"
#include "quorrel/program/exit_status.h"
#include "quorrel/report/output.h"
#include "quorrel/session/diagnosis.h"
#include "quorrel/session/session.h"

namespace quorrel {

namespace {

const char* const LineEnd = "\r\n";

struct TReport {
  TOutput Out;
  void Line(const std::string& Text) { Out.Write(Text + LineEnd); }
  void List(const std::string& Title, const std::vector<std::string>& Lines) {
    Line(Title + (Lines.empty() ? " none (CAPA refused)" : ""));
    for (const std::string& L : Lines) Line("  " + L);
  }
};

// What the handshake showed; true when credentials may go over it.
bool ShowTls(TReport& R, const TTCPBlockSocket& Socket, const TMailbox& Mailbox) {
  const TTlsPeerInfo& P = Socket.TlsPeer;
  R.Line("TLS: " + P.Protocol + ", cipher " + P.Cipher);
  R.Line("certificate subject: " + P.Subject);
  R.Line("certificate issuer: " + P.Issuer);
  R.Line("certificate valid: from " + P.NotBefore + " to " + P.NotAfter);
  R.Line("certificate SHA-256 fingerprint: " + Socket.TlsPeerFingerprint + " (the value for --tls-fingerprint)");
  if (!Mailbox.TlsFingerprints.empty()) {
    R.Line(std::string("certificate pinned: ") + (Socket.TlsPinMatched ? "yes, the fingerprint matches"
                                                                       : "NO, the fingerprint is not pinned"));
    return Socket.TlsPinMatched;
  }
  const std::string Against = Mailbox.CaFile.empty() ? "the system's trust store" : Mailbox.CaFile;
  if (Socket.TlsVerifyResult == 0) {
    R.Line("certificate verified: yes, against " + Against + ", for the name " + Mailbox.Server);
    return true;
  }
  R.Line("certificate verified: NO, against " + Against + ": " +
         (Socket.TlsVerifyText.empty() ? "it could not be checked" : Socket.TlsVerifyText));
  return Mailbox.Insecure;
}

}  // namespace

int RunServerInfo(const std::string& ProgramName, TSettings Settings) {
  const TRunMode& Mode = Settings.Mode;
  TMailbox& Mailbox = Settings.Mailbox;
  TReport R;
  const auto Finish = [&](TFailureKind Failure, const std::string& Why) {
    if (!Why.empty()) std::fprintf(stderr, "%s: %s\n", ProgramName.c_str(), Why.c_str());
    if (!R.Out.Flush()) return Mode.SysExits ? SysExitStatus(TFailureKind::OutputLost) : 1;
    return Mode.SysExits ? SysExitStatus(Failure) : 0;
  };
  const bool Credentials = !Mailbox.User.empty();
  if (Credentials)
    if (const TStatus Read = ReadSecret(Mailbox); !Read) return Finish(Read.Kind(), Read.Message());
  if (!Mode.Quiet) R.Out.Write(Banner);
  TPOP3Send Session;
  ConfigureSession(Session, Mailbox, {false, false});
  Session.Socket.TlsVerifyReportOnly = true;
  R.Line("server: " + Session.Host + ":" + Session.Port + (Mailbox.Tls ? " (TLS)" : Mailbox.StartTls ? " (STLS)" : ""));
  if (!Session.OpenConnection()) {
    const std::string Why = Session.Socket.TlsLastErrorText.empty() ? DescribeSocketError(Session.Socket.LastErrorCode)
                                                                    : Session.Socket.TlsLastErrorText;
    R.Line("no connection: " + Why);
    return Finish(Session.Socket.LastErrorCode == ErrHostNotFound ? TFailureKind::NoHost : TFailureKind::Unavailable,
                  "");
  }
  bool Trusted = !Mailbox.Tls || ShowTls(R, Session.Socket, Mailbox);
  if (Session.ReadReply(false) != 1) {
    R.Line("greeting: " + (Session.StatusLine.empty() ? std::string("none") : Session.StatusLine));
    return Finish(TFailureKind::Unavailable, "");
  }
  R.Line("greeting: " + Session.StatusLine);
  const size_t Open = Session.StatusLine.find('<'), Close = Session.StatusLine.find('>', Open);
  const bool Challenge = Open != std::string::npos && Close != std::string::npos;
  if (Challenge) Session.ApopChallenge = Session.StatusLine.substr(Open, Close - Open + 1);
  R.Line(std::string("APOP: ") + (Challenge
                                      ? "offered (the greeting carries the challenge " +
                                            Session.StatusLine.substr(Open, Close - Open + 1) + ")"
                                      : "not offered (no challenge in the greeting)"));
  Session.ReadCapabilities();
  R.List("capabilities before login:", Session.Capabilities);
  if (Mailbox.StartTls) {
    if (!Session.SwitchToTls()) {
      R.Line("STLS: failed: " + (Session.Socket.TlsLastErrorText.empty() ? ReplyFailure(Session)
                                                                          : Session.Socket.TlsLastErrorText));
      return Finish(TFailureKind::Unavailable, "");
    }
    Trusted = ShowTls(R, Session.Socket, Mailbox);
    Session.ReadCapabilities();
    R.List("capabilities over TLS:", Session.Capabilities);
  }
  R.Line("login methods offered: " + Session.OfferedMethods());
  for (const std::string& C : Session.Capabilities)
    if (C.rfind("LOGIN-DELAY", 0) == 0) R.Line("the server asks for at least " + C.substr(12) + " s between logins");
  Session.Logout();
  if (!Credentials) return Finish(TFailureKind::None, "");
  if (!Trusted) {
    R.Line("login: not tried, since the certificate was not verified (--insecure or --tls-fingerprint to go on)");
    return Finish(TFailureKind::Unavailable, "");
  }
  // A session of its own, checked as a sweep's is: the report's was not.
  TPOP3Send Login;
  const TOpening Opening = OpenSession(Login, Mailbox, {false, false});
  if (!Opening.Good()) {
    R.Line("login: " + (Opening.Shown.empty() ? std::string("failed") : Opening.Shown));
    return Finish(Opening.Status.Kind(), Opening.Status.Message());
  }
  R.Line("login: accepted");
  Login.ReadCapabilities();
  R.List("capabilities after login:", Login.Capabilities);
  R.Line("messages: " + std::to_string(Login.MessageCount) + ", " + std::to_string(Login.MailboxSize) + " bytes");
  const TStatus Ended = EndSession(Login);
  return Finish(Ended.Kind(), Ended.Message());
}

}  // namespace quorrel
