// The command-line driver: one POP3 session that sweeps the mailbox from the last
// message to the first and deletes what the filter words select.
#include "quorrel/driver.h"

#include <cstdio>
#include <memory>

#include "netutil/exception.h"
#include "pop3/pop3.h"
#include "quorrel/diagnosis.h"
#include "quorrel/header.h"
#include "quorrel/options.h"
#include "quorrel/output.h"
#include "quorrel/password.h"
#include "quorrel/pipelined_sweep.h"
#include "quorrel/secret_command.h"

namespace quorrel {

namespace {

const char* const Banner = "Quorrel version 1.0 https://quorrel.example.org\r\n";
const char* const LineEnd = "\r\n";
const char* const ConnectionLost = "Connection lost: the sweep ends here\r\n";

// What one run of the program holds besides its session.
struct TRun {
  std::string ProgramName;
  TSettings Settings;
  TOutput Out;
  int32_t Marked = 0;  // DELEs the server confirmed

  // Standard error carries the tool's own complaints, one line each.
  void Complain(const std::string& Text) const {
    std::fprintf(stderr, "%s: %s\n", ProgramName.c_str(), Text.c_str());
    std::fflush(stderr);
  }
  // Output that could not be written leaves the user without a record of what
  // was deleted: then the exit status says so.
  int Finish() {
    if (Out.Flush()) return 0;
    Complain("standard output could not be written: " + Out.FailureReason());
    return 1;
  }
};

// True when a filter word selects the message: in a raw header line, or with
// --decode also in a decoded, unfolded field.
TSweepJudgement Judge(const TSettings& S, const std::vector<std::string>& Header) {
  return {MatchesAnyFilter(Header, S.FilterWords) || (S.Decode && MatchesDecodedFields(Header, S.FilterWords)),
          S.Decode ? DecodedHeaderValue(Header, "Subject") : HeaderValue(Header, "Subject")};
}

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

void Configure(TPOP3Send& Session, const TSettings& Settings) {
  Session.AuthMode = AuthModeOf(Settings.Auth);
  // A method the user named is used only where the server offers it.
  Session.OnlyOfferedMethod = Session.AuthMode != AuthAny;
  Session.UserName = Settings.User;
  Session.Password = Settings.Password;
  Session.Host = Settings.Server;
  Session.Port = !Settings.Port.empty() ? Settings.Port : Settings.Tls ? "995" : "110";
  Session.ImplicitTls = Settings.Tls;
  Session.UseStls = Session.StlsRequired = Settings.StartTls;
  // The certificate must be valid and match the Server parameter, name or
  // address, which the socket checks against the host it connects to.
  Session.Socket.TlsVerifyPeer = !Settings.Insecure;
  Session.Socket.TlsCaFile = Settings.CaFile;
  ConfigureProxy(Session, Settings.Proxy);
}

// The password given as "-": from the password command, the terminal or
// standard input. "" when it was read, else why not.
std::string ReadSecret(TRun& Run) {
  TSettings& S = Run.Settings;
  if (!S.PasswordCommand.empty()) {
    const std::string Why = RunSecretCommand(S.PasswordCommand, S.Password);
    return Why.empty() ? "" : "--password-command: " + Why;
  }
  if (S.Password == "-" && !ReadPassword(S.Password)) return "no password could be read from standard input";
  return "";
}

// Logs in and counts the messages. When that fails, shows why (standard output
// says which kind of error, standard error the details) and returns false.
bool OpenSession(TPOP3Send& Session, TRun& Run) {
  Configure(Session, Run.Settings);
  if (!Session.Login()) {
    if (Session.LoginStopped == LoginStepConnect && Run.Settings.Proxy.Scheme != TProxyScheme::None) {
      Run.Out.Write("Proxy Error: " + ProxyFailure(Session, Run.Settings.Proxy) + LineEnd);
    } else if (Session.LoginStopped == LoginStepTls) {
      Run.Out.Write("TLS Error: " + Session.TlsFailure + LineEnd);
    } else {
      Run.Complain(LoginFailure(Session));
      Run.Out.Write(std::string("Login Error") + LineEnd);
    }
    return false;
  }
  // A server may announce PIPELINING only after login (the list may change
  // then); the choice of sweep rests on the list from after it.
  if (!Session.Capabilities.empty() && !Session.HasCapability("PIPELINING") && !Run.Settings.NoPipelining)
    Session.ReadCapabilities();
  if (!Session.Stat()) {
    Run.Complain("STAT failed: " + ReplyFailure(Session));
    return false;
  }
  Run.Out.Write(std::to_string(Session.MessageCount) + " emails found, " + std::to_string(Session.MailboxSize) +
                " bytes" + LineEnd);
  return true;
}

// Sweeps with the commands sent ahead where the server allows it, else (or
// when that cannot start) one at a time; the output is the same line for line.
void SweepMailbox(TPOP3Send& Session, TRun& Run) {
  const auto Hook = [&Run](TSweep& Sweep) {
    Sweep.MarkDeletions = !Run.Settings.DryRun;
    Sweep.Judge = [&Run](int32_t, const std::vector<std::string>& Header) { return Judge(Run.Settings, Header); };
    Sweep.Report = [&Run](int32_t N, const std::string& Subject, TVerdict Verdict) {
      ShowSubject(Run.Out, N, Subject, Run.Settings.ListOnly);
      ShowVerdict(Run.Out, Verdict);
      return !Run.Out.Failed();
    };
    Sweep.Complain = [&Run](const std::string& Text) { Run.Complain(Text); };
  };
  TPipelinedSweep Ahead(Session);
  TOneAtATimeSweep OneAtATime(Session);
  const bool Pipelining = !Run.Settings.NoPipelining && Session.HasCapability("PIPELINING");
  TSweepEnd End = TSweepEnd::NotStarted;
  for (TSweep* Sweep : {Pipelining ? static_cast<TSweep*>(&Ahead) : nullptr, static_cast<TSweep*>(&OneAtATime)}) {
    if (!Sweep || End != TSweepEnd::NotStarted) continue;
    Hook(*Sweep);
    End = Sweep->Run(Session.MessageCount);
    Run.Marked += Sweep->Marked;
  }
  if (End == TSweepEnd::ConnectionLost) Run.Out.Write(ConnectionLost);
}

// Deletions take effect at QUIT. Output that was lost, even buffered output
// that cannot be flushed now, must not be followed by deletions the user never
// saw: the session then ends without QUIT, and nothing is deleted.
int EndSession(std::unique_ptr<TPOP3Send> Session, TRun& Run) {
  if (!Run.Out.Flush()) {
    Session.reset();
    Run.Complain("standard output could not be written (" + Run.Out.FailureReason() +
                 "): the session ends without QUIT, nothing is deleted");
    return 1;
  }
  Session->Logout();
  // The server carries deletions out only when it confirms QUIT; a session that
  // broke off before that has deleted nothing, whatever the lines above said.
  if (Run.Marked > 0 && Session->ReplyStatus != 1) {
    Run.Complain("QUIT failed: " + ReplyFailure(*Session));
    Run.Out.Write(std::string("The server did not confirm QUIT: messages shown as DELETED may still be there") +
                  LineEnd);
  }
  Session.reset();
  return Run.Finish();
}

}  // namespace

int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args) {
  TRun Run;
  Run.ProgramName = ProgramName;
  std::string Error;
  if (!ParseOptions(Args, Run.Settings, Error)) {
    Run.Complain(Error + " (see " + ProgramName + " --help)");
    return 2;
  }
  const TSettings& Settings = Run.Settings;
  Run.Out.Write(Banner);
  if (Settings.Help) Run.Out.Write(HelpText(ProgramName));
  if (!Settings.HasMailbox && !Settings.Help && !Settings.Version)
    Run.Out.Write(ProgramName + " UserName Passwod Server [Filter1] [...]" + LineEnd);
  if (!Settings.HasMailbox || Settings.Help || Settings.Version) return Run.Finish();
  if (const std::string Why = ReadSecret(Run); !Why.empty()) {
    Run.Complain(Why);
    return 2;
  }
  if (Settings.Insecure)
    Run.Complain("warning: --insecure: the server's certificate is not checked; "
                 "whoever sits on the way can read the password");

  auto Session = std::make_unique<TPOP3Send>();
  try {
    if (OpenSession(*Session, Run)) SweepMailbox(*Session, Run);
  } catch (const Exception& E) {
    Run.Out.Write(E.Message() + LineEnd);
  }
  return EndSession(std::move(Session), Run);
}

}  // namespace quorrel
