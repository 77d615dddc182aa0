// The command-line driver: one POP3 session that sweeps the mailbox from the last
// message to the first and deletes what the filter words select.
#include "quorrel/program/driver.h"

#include <cstdio>
#include <memory>

#include "netutil/exception.h"
#include "pop3/pop3.h"
#include "quorrel/session/diagnosis.h"
#include "quorrel/program/exit_status.h"
#include "quorrel/rules/header.h"
#include "quorrel/state/only_new.h"
#include "quorrel/program/options.h"
#include "quorrel/report/output.h"
#include "quorrel/credentials/password.h"
#include "quorrel/sweep/pipelined_sweep.h"
#include "quorrel/rules/rules.h"
#include "quorrel/credentials/secret_command.h"

namespace quorrel {

namespace {

const char* const Banner = "Quorrel version 1.0 https://quorrel.example.org\r\n";
const char* const LineEnd = "\r\n";
const char* const ConnectionLost = "Connection lost: the sweep ends here";

// What one run of the program holds besides its session.
struct TRun {
  std::string ProgramName;
  TSettings Settings;
  TOutput Out;
  int32_t Marked = 0;    // DELEs the server confirmed
  int32_t Counted = -1;  // messages STAT counted; -1 before
  int Status = 0;        // with --sysexits: the first failure's status
  TOnlyNew OnlyNew;      // with --only-new
  TRules Rules;
  std::vector<uint32_t> Sizes;     // by message number, when listed; empty: not known
  std::vector<int32_t> Kept;       // the messages shown as SKIPPED or KEPT
  std::vector<int32_t> ReadWhole;  // the messages whose header was read whole

  // Standard error carries the tool's own complaints, one line each.
  void Complain(const std::string& Text) const {
    std::fprintf(stderr, "%s: %s\n", ProgramName.c_str(), Text.c_str());
    std::fflush(stderr);
  }
  // A failure shown on standard output; with --quiet that holds only the
  // verdicts, and the failure goes to standard error.
  void Tell(const std::string& Line) {
    if (Settings.Mode.Quiet)
      Complain(Line);
    else
      Out.Write(Line + LineEnd);
  }
  void Fail(int SysExit) {
    if (Status == 0) Status = SysExit;
  }
  // Output that could not be written leaves the user without a record of what
  // was deleted: then the exit status says so.
  int Finish() {
    if (Out.Flush()) return Settings.Mode.SysExits ? Status : 0;
    Complain("standard output could not be written: " + Out.FailureReason());
    return Settings.Mode.SysExits ? EX_IOERR : 1;
  }
};

// Message N's fate by the rules, and its subject as shown (decoded with --decode).
TSweepJudgement Judge(const TRun& Run, int32_t N, const std::vector<std::string>& Header, bool Whole) {
  std::optional<uint64_t> Size;
  if (N >= 1 && size_t(N) < Run.Sizes.size()) Size = Run.Sizes[size_t(N)];
  const TRuling Ruling = Run.Rules.Judge(Header, Whole, Size);
  if (Ruling.Unsure)
    Run.Complain("message " + std::to_string(N) +
                 ": its header was not read whole, so the keep words could not be checked; it is not deleted");
  return {Ruling.Delete, Run.Settings.Rules.Decode ? DecodedHeaderValue(Header, "Subject") : HeaderValue(Header, "Subject"),
          Ruling.Kept};
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

void Configure(TPOP3Send& Session, const TMailbox& Settings, const TRunMode& Mode) {
  Session.AuthMode = AuthModeOf(Settings.Auth);
  // A method the user named is used only where the server offers it.
  Session.OnlyOfferedMethod = Session.AuthMode != AuthAny;
  Session.UserName = Settings.User;
  Session.Password = Settings.Password;
  Session.Host = Settings.Server;
  Session.Port = Settings.PortOrDefault();
  Session.ImplicitTls = Settings.Tls;
  Session.UseStls = Session.StlsRequired = Settings.StartTls;
  // The certificate must be valid and match the Server parameter, name or
  // address, which the socket checks against the host it connects to.
  Session.Socket.TlsVerifyPeer = !Settings.Insecure;
  Session.Socket.TlsCaFile = Settings.CaFile;
  ConfigureProxy(Session, Settings.Proxy);
  // Where the server takes commands ahead, the login and what the sweep asks
  // first (the count, and the listing the sweep starts from) go in one flight.
  Session.LoginInOneFlight = !Mode.NoPipelining;
  Session.FirstCommands = Mode.OnlyNew ? std::vector<std::string>{"STAT", "UIDL", "LIST"}
                                           : std::vector<std::string>{"STAT", "LIST"};
}

// Whether the words ask for sysexits statuses, for a command line that could
// not be read as a whole.
bool AsksForSysExits(const std::vector<std::string>& Args) {
  for (const std::string& Arg : Args) {
    if (Arg == "--") return false;
    if (Arg == "--sysexits") return true;
  }
  return false;
}

// The password given as "-": from the password command, the terminal or
// standard input. "" when it was read, else why not.
std::string ReadSecret(TRun& Run) {
  TMailbox& S = Run.Settings.Mailbox;
  if (!S.PasswordCommand.empty()) {
    const std::string Why = RunSecretCommand(S.PasswordCommand, S.Password);
    return Why.empty() ? "" : "--password-command: " + Why;
  }
  if (S.Password == "-" && !ReadPassword(S.Password)) return "no password could be read from standard input";
  return "";
}

// What decides a verdict: a state kept under other settings is not used. The
// rules beside the filter words are named with a leading "-", which no filter
// word has, and only when given, so that a state of filter words alone stays valid.
std::string Fingerprint(const TRuleSettings& S) {
  std::vector<std::string> Parts = {S.Decode ? "decode" : "raw"};
  Parts.insert(Parts.end(), S.FilterWords.begin(), S.FilterWords.end());
  if (S.Regex) Parts.push_back("-regex");
  for (const std::string& Field : S.Fields) Parts.push_back("-field=" + Field);
  for (const std::string& Word : S.KeepWords) Parts.push_back("-keep=" + Word);
  if (S.LargerThan) Parts.push_back("-larger-than=" + std::to_string(*S.LargerThan));
  return StateFingerprint(Parts);
}

// With --only-new, the state is locked before anything is sent. False when
// another run holds it.
bool BeginOnlyNew(TRun& Run) {
  const TMailbox& S = Run.Settings.Mailbox;
  if (!Run.Settings.Mode.OnlyNew) return true;
  const std::string Path = !S.StateFile.empty() ? S.StateFile : TMailboxState::DefaultPath(S.User, S.Server, S.PortOrDefault());
  std::string Why;
  if (Run.OnlyNew.Begin(Path, Why, [&Run](const std::string& Text) { Run.Complain(Text); })) return true;
  Run.Complain(Why);
  return false;
}

// Logs in and counts the messages. When that fails, shows why (standard output
// says which kind of error, standard error the details) and returns false.
bool OpenSession(TPOP3Send& Session, TRun& Run) {
  Configure(Session, Run.Settings.Mailbox, Run.Settings.Mode);
  if (!Session.Login()) {
    const bool ProxyFailed = Session.LoginStopped == LoginStepConnect && Run.Settings.Mailbox.Proxy.Scheme != TProxyScheme::None;
    Run.Fail(ProxyFailed ? EX_UNAVAILABLE : LoginExitStatus(Session));
    if (ProxyFailed) {
      Run.Tell("Proxy Error: " + ProxyFailure(Session, Run.Settings.Mailbox.Proxy));
    } else if (Session.LoginStopped == LoginStepTls) {
      Run.Tell("TLS Error: " + Session.TlsFailure);
    } else {
      Run.Complain(LoginFailure(Session));
      Run.Tell("Login Error");
    }
    return false;
  }
  // A server may announce PIPELINING only after login (the list may change
  // then); the choice of sweep rests on the list from after it.
  if (!Session.Capabilities.empty() && !Session.HasCapability("PIPELINING") && !Run.Settings.Mode.NoPipelining)
    Session.ReadCapabilities();
  if (!Session.Stat()) {
    if (!Session.OutOfStep.empty()) {
      Run.Fail(EX_PROTOCOL);
      Run.Complain("the server's replies are out of step: " + Session.OutOfStep +
                   "; the session ends without QUIT, nothing is deleted");
      return false;
    }
    Run.Fail(ReplyExitStatus(Session));
    Run.Complain("STAT failed: " + ReplyFailure(Session));
    return false;
  }
  Run.Counted = Session.MessageCount;
  if (!Run.Settings.Mode.Quiet)
    Run.Out.Write(std::to_string(Session.MessageCount) + " emails found, " + std::to_string(Session.MailboxSize) +
                  " bytes" + LineEnd);
  return true;
}

// Sweeps with the commands sent ahead where the server allows it, else (or
// when that cannot start) one at a time; the output is the same line for line.
void SweepMailbox(TPOP3Send& Session, TRun& Run) {
  const auto Hook = [&Run](TSweep& Sweep) {
    Sweep.MarkDeletions = !Run.Settings.Mode.DryRun;
    Sweep.Skip = Run.OnlyNew.Skip;
    Sweep.Judge = [&Run](int32_t N, const std::vector<std::string>& Header, bool Whole) {
      return Judge(Run, N, Header, Whole);
    };
    Sweep.Report = [&Run](int32_t N, const std::string& Subject, TVerdict Verdict) {
      const bool Spared = Verdict == TVerdict::Skipped || Verdict == TVerdict::Kept;
      if (Spared) Run.Kept.push_back(N);
      // --quiet shows only the messages acted on.
      if (Run.Settings.Mode.Quiet && Spared) return true;
      ShowSubject(Run.Out, N, Subject, Run.Settings.Mode.ListOnly);
      ShowVerdict(Run.Out, Verdict);
      return !Run.Out.Failed();
    };
    Sweep.Complain = [&Run](const std::string& Text) { Run.Complain(Text); };
  };
  const auto Note = [&Run](const std::string& Text) { Run.Complain(Text); };
  if (Run.Settings.Mode.OnlyNew) {
    Run.OnlyNew.Plan(Session, Fingerprint(Run.Settings.Rules), Note);
    if (!Run.Settings.Mode.Quiet)
      Run.Out.Write(std::to_string(Session.MessageCount - Run.OnlyNew.JudgedBefore) + " new, " +
                    std::to_string(Run.OnlyNew.JudgedBefore) + " judged before" + LineEnd);
  }
  Run.Sizes = Run.OnlyNew.ListedSizes();
  if (Run.Rules.NeedsSizes() && Run.Sizes.empty() && !Session.ListSizes(Run.Sizes))
    Run.Complain("LIST failed: " + ReplyFailure(Session) + "; --larger-than is not applied");
  TPipelinedSweep Ahead(Session);
  Ahead.KnownSizes = Run.Sizes;
  Ahead.QuitWithLastCommand = Run.Settings.Mode.DryRun || Run.Settings.Mode.ListOnly;
  TOneAtATimeSweep OneAtATime(Session);
  const bool Pipelining = !Run.Settings.Mode.NoPipelining && Session.HasCapability("PIPELINING");
  TSweepEnd End = TSweepEnd::NotStarted;
  for (TSweep* Sweep : {Pipelining ? static_cast<TSweep*>(&Ahead) : nullptr, static_cast<TSweep*>(&OneAtATime)}) {
    if (!Sweep || End != TSweepEnd::NotStarted) continue;
    Hook(*Sweep);
    End = Sweep->Run(Session.MessageCount);
    Run.Marked += Sweep->Marked;
    Run.ReadWhole = Sweep->ReadWhole;
  }
  if (End == TSweepEnd::ConnectionLost) {
    Run.Fail(!Ahead.OutOfStep.empty() ? EX_PROTOCOL : ReplyExitStatus(Session));
    Run.Tell(ConnectionLost);
  }
}

// Deletions take effect at QUIT. Output that was lost, even buffered output
// that cannot be flushed now, must not be followed by deletions the user never
// saw: the session then ends without QUIT, and nothing is deleted.
int EndSession(std::unique_ptr<TPOP3Send> Session, TRun& Run) {
  if (!Run.Out.Flush()) {
    // A QUIT sent ahead ended a run that deletes nothing.
    const bool QuitGone = Session->QuitSentAhead();
    Session.reset();
    Run.Complain("standard output could not be written (" + Run.Out.FailureReason() +
                 (QuitGone ? "): nothing is deleted" : "): the session ends without QUIT, nothing is deleted"));
    return Run.Settings.Mode.SysExits ? EX_IOERR : 1;
  }
  Session->Logout();
  // The server carries deletions out only when it confirms QUIT; a session that
  // broke off before that has deleted nothing, whatever the lines above said.
  const bool Confirmed = Session->ReplyStatus == 1;
  if (!Confirmed) Run.Fail(EX_TEMPFAIL);
  if (Run.Marked > 0 && !Confirmed) {
    Run.Complain("QUIT failed: " + ReplyFailure(*Session));
    Run.Tell("The server did not confirm QUIT: messages shown as DELETED may still be there");
  }
  // The state is written only once the server has carried the run out.
  if (Confirmed && !Run.Settings.Mode.DryRun && Run.Settings.Mode.OnlyNew && Run.Counted >= 0)
    Run.OnlyNew.Record(Run.ReadWhole, Run.Kept, [&Run](const std::string& Text) { Run.Complain(Text); });
  if (Run.Settings.Mode.Quiet && Run.Counted >= 0) {
    const int32_t Deleted = Confirmed ? Run.Marked : 0;
    const int32_t Before = Run.OnlyNew.JudgedBefore;
    Run.Out.Write(std::to_string(Run.Counted) + " messages: " + std::to_string(Deleted) + " deleted, " +
                  std::to_string(Run.Counted - Deleted - Before) + " kept, " + std::to_string(Before) +
                  " not read again" + LineEnd);
  }
  Session.reset();
  return Run.Finish();
}

}  // namespace

int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args) {
  TRun Run;
  Run.ProgramName = ProgramName;
  if (const TStatus Parsed = ParseOptions(Args, Run.Settings); !Parsed) {
    Run.Complain(Parsed.Message() + " (see " + ProgramName + " --help)");
    return AsksForSysExits(Args) ? EX_USAGE : 2;
  }
  // Every word must be usable before anything is read or sent.
  if (const TStatus Taken = Run.Rules.Take(Run.Settings.Rules); !Taken) {
    Run.Complain("--regex: " + Taken.Message());
    return Run.Settings.Mode.SysExits ? EX_USAGE : 2;
  }
  const TRunMode& Mode = Run.Settings.Mode;
  const TMailbox& Mailbox = Run.Settings.Mailbox;
  const bool HasMailbox = Run.Settings.HasMailbox;
  if (!Mode.Quiet || Mode.Help || Mode.Version || !HasMailbox) Run.Out.Write(Banner);
  if (Mode.Help) Run.Out.Write(HelpText(ProgramName));
  if (!HasMailbox && !Mode.Help && !Mode.Version) {
    Run.Out.Write(ProgramName + " UserName Passwod Server [Filter1] [...]" + LineEnd);
    Run.Fail(EX_USAGE);
  }
  if (!HasMailbox || Mode.Help || Mode.Version) return Run.Finish();
  if (const std::string Why = ReadSecret(Run); !Why.empty()) {
    Run.Complain(Why);
    return !Mode.SysExits ? 2 : Mailbox.PasswordCommand.empty() ? EX_NOINPUT : EX_TEMPFAIL;
  }
  if (Mailbox.Insecure)
    Run.Complain("warning: --insecure: the server's certificate is not checked; "
                 "whoever sits on the way can read the password");

  if (!BeginOnlyNew(Run)) return Mode.SysExits ? EX_TEMPFAIL : 2;
  auto Session = std::make_unique<TPOP3Send>();
  try {
    if (OpenSession(*Session, Run)) SweepMailbox(*Session, Run);
  } catch (const Exception& E) {
    Run.Fail(EX_SOFTWARE);
    Run.Tell(E.Message());
  }
  return EndSession(std::move(Session), Run);
}

}  // namespace quorrel
