// The command-line driver: one POP3 session that sweeps the mailbox from the last
// message to the first and deletes what the filter words select.
#include "quorrel/driver.h"

#include <cstdio>
#include <memory>

#include "console/console.h"
#include "netutil/exception.h"
#include "pop3/pop3.h"
#include "quorrel/diagnosis.h"
#include "quorrel/options.h"
#include "quorrel/output.h"
#include "quorrel/pipelined_sweep.h"
#include "quorrel/password.h"

namespace quorrel {

namespace {

const char* const Banner = "Quorrel version 1.0 https://quorrel.example.org\r\n";
const char* const LineEnd = "\r\n";
const uint8_t DeletedColour = 14;  // bright yellow
const uint8_t SkippedColour = 2;   // green
const uint8_t FailedColour = 12;   // bright red

// Standard error carries the tool's own complaints, one line each.
void Complain(const std::string& ProgramName, const std::string& Text) {
  std::fprintf(stderr, "%s: %s\n", ProgramName.c_str(), Text.c_str());
  std::fflush(stderr);
}

struct TSweep {
  std::string ProgramName;
  std::vector<std::string> FilterWords;
  bool NoFilter = false;
  bool DryRun = false;
  bool Decode = false;
  bool NoPipelining = false;
  int32_t MarkedForDeletion = 0;
};

const char* const ConnectionLost = "Connection lost: the sweep ends here\r\n";

std::string SubjectOf(const std::vector<std::string>& Header, bool Decode) {
  return Decode ? DecodedHeaderValue(Header, "Subject") : HeaderValue(Header, "Subject");
}

// True when a filter word selects the message: in a raw header line, or with
// --decode also in a decoded, unfolded field.
bool Selected(const TSweep& S, const std::vector<std::string>& Header) {
  return MatchesAnyFilter(Header, S.FilterWords) || (S.Decode && MatchesDecodedFields(Header, S.FilterWords));
}

// Walks the mailbox from the last message down. Stops early when the
// connection is lost or the output can no longer be written.
void Sweep(TPOP3Send& Session, TSweep& S, TOutput& Out) {
  for (int32_t N = Session.MessageCount; N >= 1; --N) {
    if (!Session.Top(N, 0)) Complain(S.ProgramName, "TOP " + std::to_string(N) + " failed: " + ReplyFailure(Session));
    ShowMessage(Out, N, Session.ReplyLines, S.NoFilter, S.Decode);
    TVerdict Verdict = TVerdict::Skipped;
    if (Selected(S, Session.ReplyLines)) {
      if (S.DryRun) {
        Verdict = TVerdict::WouldDelete;
      } else if (Session.Dele(N)) {
        // A refused DELE leaves the message on the server: say so rather than
        // report a deletion that will not happen.
        ++S.MarkedForDeletion;
        Verdict = TVerdict::Deleted;
      } else {
        Complain(S.ProgramName, "DELE " + std::to_string(N) + " failed: " + ReplyFailure(Session));
        Verdict = TVerdict::NotDeleted;
      }
    }
    ShowVerdict(Out, Verdict);
    if (Out.Failed()) return;
    // Once the session has lost its connection every later command fails
    // at once; going on would only print a SKIPPED line for each of the
    // messages the server claimed, however many that was.
    if (!Session.Socket.HasSocket()) {
      Complain(S.ProgramName, "connection lost after message " + std::to_string(N) + ": " +
                                  DescribeSocketError(Session.Socket.LastErrorCode));
      Out.Write(ConnectionLost);
      return;
    }
  }
}

// The same sweep with the commands sent ahead, where the server allows it;
// the output is the one-at-a-time sweep's, line for line. False when it could
// not start and the one-at-a-time sweep is to run instead.
bool SweepAhead(TPOP3Send& Session, TSweep& S, TOutput& Out) {
  if (S.NoPipelining || !Session.HasCapability("PIPELINING")) return false;
  TPipelinedSweep Ahead(Session);
  Ahead.MarkDeletions = !S.DryRun;
  Ahead.Judge = [&S](int32_t, const std::vector<std::string>& Header) {
    return TSweepJudgement{Selected(S, Header), SubjectOf(Header, S.Decode)};
  };
  Ahead.Report = [&S, &Out](int32_t N, const std::string& Subject, TVerdict Verdict) {
    ShowSubject(Out, N, Subject, S.NoFilter);
    ShowVerdict(Out, Verdict);
    return !Out.Failed();
  };
  const TSweepEnd End = Ahead.Run(Session.MessageCount);
  S.MarkedForDeletion += Ahead.Marked;
  if (End == TSweepEnd::NotStarted) return false;
  if (!Ahead.SizeChanged.empty())
    Complain(S.ProgramName, "note: the server answers LIST n after TOP n 0 with another size than its opening "
                            "listing (" + Ahead.SizeChanged + "); the message number alone keeps the replies in step");
  if (End == TSweepEnd::ConnectionLost) {
    if (!Ahead.OutOfStep.empty())
      Complain(S.ProgramName, "the server's replies are out of step: " + Ahead.OutOfStep +
                                  "; the session ends without QUIT, nothing is deleted");
    else
      Complain(S.ProgramName, "connection lost during the sweep: " + ReplyFailure(Session));
    Out.Write(ConnectionLost);
  }
  return true;
}

void ConfigureTls(TPOP3Send& Session, const TSettings& Settings) {
  Session.ImplicitTls = Settings.Tls;
  Session.UseStls = Session.StlsRequired = Settings.StartTls;
  // The certificate must be valid and match the Server parameter, name or
  // address, which the socket checks against the host it connects to.
  Session.Socket.TlsVerifyPeer = !Settings.Insecure;
  Session.Socket.TlsCaFile = Settings.CaFile;
}

}  // namespace

void ShowMessage(TOutput& Out, int32_t Number, const std::vector<std::string>& Header, bool NoFilter,
                 bool Decode) {
  ShowSubject(Out, Number, SubjectOf(Header, Decode), NoFilter);
}

void ShowSubject(TOutput& Out, int32_t Number, const std::string& Subject, bool NoFilter) {
  Out.Write(std::to_string(Number) + ":" + Displayable(Subject));
  Out.FlushToTerminal();
  if (NoFilter) Out.Write(std::string(" NO FILTER") + LineEnd);
}

void ShowVerdict(TOutput& Out, TVerdict Verdict) {
  switch (Verdict) {
    case TVerdict::Skipped:
      Out.WriteColoured(" SKIPPED\r\n", SkippedColour);
      break;
    case TVerdict::Deleted:
      Out.WriteColoured(" DELETED\r\n", DeletedColour);
      break;
    case TVerdict::NotDeleted:
      Out.WriteColoured(" NOT DELETED\r\n", FailedColour);
      break;
    case TVerdict::WouldDelete:
      Out.WriteColoured(" WOULD DELETE\r\n", DeletedColour);
      break;
  }
}

void WriteColoured(const std::string& Text, uint8_t Colour) {
  const uint16_t Saved = CurrentTextAttributes();
  SetForegroundColour(Colour);
  std::fwrite(Text.data(), 1, Text.size(), stdout);
  if (StandardOutputIsTerminal()) std::fflush(stdout);
  SetTextColours(0, static_cast<uint8_t>(Saved));
}

int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args) {
  TSettings Settings;
  std::string Error;
  if (!ParseOptions(Args, Settings, Error)) {
    Complain(ProgramName, Error + " (see " + ProgramName + " --help)");
    return 2;
  }

  TOutput Out;
  // Output that could not be written leaves the user without a record of what
  // was deleted: then the exit status says so.
  const auto Finish = [&]() {
    if (Out.Flush()) return 0;
    Complain(ProgramName, "standard output could not be written: " + Out.FailureReason());
    return 1;
  };
  Out.Write(Banner);
  if (Settings.Help) Out.Write(HelpText(ProgramName));
  if (Settings.Help || Settings.Version) return Finish();
  const std::vector<std::string>& Params = Settings.Positional;
  if (Params.size() < 3) {
    Out.Write(ProgramName + " UserName Passwod Server [Filter1] [...]" + LineEnd);
    return Finish();
  }

  std::string Password = Params[1];
  if (Password == "-" && !ReadPassword(Password)) {
    Complain(ProgramName, "no password could be read from standard input");
    return 2;
  }

  TSweep S;
  S.ProgramName = ProgramName;
  for (size_t I = 3; I < Params.size(); ++I)
    if (Params[I].empty() || Params[I][0] != '-') S.FilterWords.push_back(Params[I]);
  S.NoFilter = Params.size() == 3;
  S.DryRun = Settings.DryRun;
  S.Decode = Settings.Decode;
  S.NoPipelining = Settings.NoPipelining;

  if (Settings.Insecure)
    Complain(ProgramName, "warning: --insecure: the server's certificate is not checked; "
                          "whoever sits on the way can read the password");
  auto Session = std::make_unique<TPOP3Send>();
  try {
    Session->UserName = Params[0];
    Session->Password = Password;
    Session->Host = Params[2];
    Session->Port = !Settings.Port.empty() ? Settings.Port : Settings.Tls ? "995" : "110";
    ConfigureTls(*Session, Settings);
    ConfigureProxy(*Session, Settings.Proxy);
    TConnectTrace Trace(*Session);
    const bool LoggedIn = Session->Login();
    Trace.Finish();
    if (!LoggedIn) {
      if (Session->LoginStopped == LoginStepConnect && Settings.Proxy.Scheme != TProxyScheme::None)
        throw Exception("Proxy Error: " + ProxyFailure(*Session, Settings.Proxy, Trace));
      if (Session->LoginStopped == LoginStepTls) throw Exception("TLS Error: " + Session->TlsFailure);
      Complain(ProgramName, LoginFailure(*Session, Trace));
      throw Exception("Login Error");
    }
    const bool Counted = Session->Stat();
    if (!Counted) Complain(ProgramName, "STAT failed: " + ReplyFailure(*Session));
    if (Counted) {
      Out.Write(std::to_string(Session->MessageCount) + " emails found, " + std::to_string(Session->MailboxSize) +
                " bytes" + LineEnd);
      if (!SweepAhead(*Session, S, Out)) Sweep(*Session, S, Out);
    }
  } catch (const Exception& E) {
    Out.Write(E.Message() + LineEnd);
  }
  // Deletions take effect at QUIT. Output that was lost, even buffered output
  // that cannot be flushed now, must not be followed by deletions the user
  // never saw: the session then ends without QUIT, and nothing is deleted.
  if (!Out.Flush()) {
    Session.reset();
    Complain(ProgramName, "standard output could not be written (" + Out.FailureReason() +
                              "): the session ends without QUIT, nothing is deleted");
    return 1;
  }
  Session->Logout();
  // The server carries deletions out only when it confirms QUIT; a session that
  // broke off before that has deleted nothing, whatever the lines above said.
  if (S.MarkedForDeletion > 0 && Session->ReplyStatus != 1) {
    Complain(ProgramName, "QUIT failed: " + ReplyFailure(*Session));
    Out.Write(std::string("The server did not confirm QUIT: messages shown as DELETED may still be there") + LineEnd);
  }
  Session.reset();
  return Finish();
}

}  // namespace quorrel
