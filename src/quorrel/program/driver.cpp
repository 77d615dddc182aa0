// The command-line driver: one POP3 session that sweeps the mailbox from the last
// message to the first and deletes what the filter words select.
#include "quorrel/program/driver.h"

#include "quorrel/program/accounts_driver.h"
#include "quorrel/program/serverinfo.h"

#include <malloc.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "netutil/exception.h"
#include "pop3/pop3.h"
#include "quorrel/session/diagnosis.h"
#include "quorrel/session/session.h"
#include "quorrel/program/exit_status.h"
#include "quorrel/state/only_new.h"
#include "quorrel/program/options.h"
#include "quorrel/recycle/bin.h"
#include "quorrel/report/output.h"
#include "quorrel/credentials/password.h"
#include "quorrel/classify/judge.h"
#include "quorrel/classify/learn.h"
#include "quorrel/sweep/rules_judge.h"
#include "quorrel/sweep/sweep.h"
#include "quorrel/rules/rules.h"
#include "quorrel/credentials/secret_command.h"

namespace quorrel {

namespace {

const char* const LineEnd = "\r\n";
const char* const ConnectionLost = "Connection lost: the sweep ends here";

// What one run of the program holds besides its session.
struct TRun {
  std::string ProgramName;
  TSettings Settings;
  TOutput Out;
  int32_t Marked = 0;    // DELEs the server confirmed
  int32_t Counted = -1;  // messages STAT counted; -1 before
  TFailureKind Failure = TFailureKind::None;  // the first failure, for --sysexits
  TOnlyNew OnlyNew;      // with --only-new
  TRules Rules;
  std::vector<uint32_t> Sizes;     // by message number, when listed; empty: not known
  std::vector<int32_t> Kept;       // the messages shown as SKIPPED or KEPT
  std::vector<int32_t> ReadWhole;  // the messages whose header was read whole
  std::vector<int32_t> Deleted;    // the messages whose DELE the server confirmed
  std::string StatePath;           // with --only-new
  TMaildir Bin;                    // with --recycle: where each message goes before its DELE
  bool Recycling = false;

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
  void Fail(TFailureKind Kind) {
    if (Failure == TFailureKind::None) Failure = Kind;
  }
  // A failure before anything is sent: its message, then status 2 (or its
  // sysexits status).
  int Refuse(const TStatus& Status) const {
    Complain(Status.Message());
    return Settings.Mode.SysExits ? SysExitStatus(Status.Kind()) : 2;
  }
  // Output that could not be written leaves the user without a record of what
  // was deleted: then the exit status says so.
  int OutputLost() const { return Settings.Mode.SysExits ? SysExitStatus(TFailureKind::OutputLost) : 1; }
  int Finish() {
    if (Out.Flush()) return Settings.Mode.SysExits ? SysExitStatus(Failure) : 0;
    Complain("standard output could not be written: " + Out.FailureReason());
    return OutputLost();
  }
};

// Whether the words ask for sysexits statuses, for a command line that could
// not be read as a whole.
bool AsksForSysExits(const std::vector<std::string>& Args) {
  for (const std::string& Arg : Args) {
    if (Arg == "--") return false;
    if (Arg == "--sysexits") return true;
  }
  return false;
}

// With --only-new, the state is locked before anything is sent; a TryLater
// failure when another run holds it.
TStatus BeginOnlyNew(TRun& Run) {
  const TMailbox& S = Run.Settings.Mailbox;
  if (!Run.Settings.Mode.OnlyNew) return TStatus::Ok();
  Run.StatePath = !S.StateFile.empty() ? S.StateFile : TMailboxState::DefaultPath(S.User, S.Server, S.PortOrDefault());
  return Run.OnlyNew.Begin(Run.StatePath, [&Run](const std::string& Text) { Run.Complain(Text); });
}

// A login refused for coming too soon, with --only-new: when the server will
// take the next one, from the delay it announces and the last run recorded.
void SayWhenNextLogin(const TPOP3Send& Session, TRun& Run) {
  if (!Run.Settings.Mode.OnlyNew || ResponseCode(Session.Failure.ServerLine) != "LOGIN-DELAY") return;
  long Delay = -1;
  for (const std::string& Capability : Session.Capabilities)
    if (Capability.rfind("LOGIN-DELAY ", 0) == 0) Delay = std::atol(Capability.c_str() + 12);
  if (Delay <= 0) return;
  struct stat Info {};
  if (Run.StatePath.empty() || ::stat(Run.StatePath.c_str(), &Info) != 0) {
    Run.Complain("the server takes a login at most every " + std::to_string(Delay) + " s");
    return;
  }
  const time_t Next = Info.st_mtime + Delay;
  char When[32] = "";
  tm Local{};
  if (::localtime_r(&Next, &Local)) std::strftime(When, sizeof When, "%Y-%m-%d %H:%M:%S", &Local);
  Run.Complain("the server takes a login at most every " + std::to_string(Delay) +
               " s: the next one is taken from " + When);
}

// Logs in and counts the messages. When that fails, shows why (standard output
// says which kind of error, standard error the details) and returns false.
bool Open(TPOP3Send& Session, TRun& Run) {
  const TRunMode& Mode = Run.Settings.Mode;
  const TOpening Opening = OpenSession(Session, Run.Settings.Mailbox, {!Mode.NoPipelining, Mode.OnlyNew});
  if (!Opening.Good()) {
    Run.Fail(Opening.Status.Kind());
    if (!Opening.Status.Message().empty()) Run.Complain(Opening.Status.Message());
    if (!Opening.Shown.empty()) Run.Tell(Opening.Shown);
    SayWhenNextLogin(Session, Run);
    return false;
  }
  Run.Counted = Session.MessageCount;
  if (!Mode.Quiet)
    Run.Out.Write(std::to_string(Session.MessageCount) + " emails found, " + std::to_string(Session.MailboxSize) +
                  " bytes" + LineEnd);
  return true;
}

// Sweeps with the commands sent ahead where the server allows it, else (or
// when that cannot start) one at a time; the output is the same line for line.
void SweepMailbox(TPOP3Send& Session, TRun& Run) {
  const TRunMode& Mode = Run.Settings.Mode;
  const auto Note = [&Run](const std::string& Text) { Run.Complain(Text); };
  if (Mode.OnlyNew) {
    Run.OnlyNew.Plan(Session, RulesFingerprint(Run.Settings.Rules, Run.Settings.Classifier.Fingerprint()), Note);
    const int32_t Still = Run.OnlyNew.StillThere;
    if (!Mode.Quiet)
      Run.Out.Write(std::to_string(Session.MessageCount - Run.OnlyNew.JudgedBefore - Still) + " new, " +
                    std::to_string(Run.OnlyNew.JudgedBefore) + " judged before" +
                    (Still > 0 ? ", " + std::to_string(Still) + " still on the server after DELE" : "") + LineEnd);
  }
  Run.Sizes = Run.OnlyNew.ListedSizes();
  if (Run.Rules.NeedsSizes() && Run.Sizes.empty() && !Session.ListSizes(Run.Sizes))
    Run.Complain("LIST failed: " + ReplyFailure(Session) + "; --larger-than is not applied");
  // A copy in the bin says why it was deleted.
  TRulesJudge Rules(Run.Rules, Run.Settings.Rules.Decode, Run.Sizes, Mode.Why || Run.Recycling);
  const TClassifierSettings& Classifier = Run.Settings.Classifier;
  std::optional<TClassifyingJudge> Classifying;
  if (Classifier.On())
    Classifying.emplace(
        Rules, [&Classifier] { return MakeClassifier(Classifier); }, Classifier.Jobs, Classifier.Name());
  TJudge& Judge = Classifying ? static_cast<TJudge&>(*Classifying) : Rules;
  const TMailbox& Mailbox = Run.Settings.Mailbox;
  TRecycleBin Keeper(Run.Bin, Mailbox.User + "@" + Mailbox.Server + ":" + Mailbox.PortOrDefault());
  TSweep Sweep(Session, Judge);
  Sweep.BodyLines = Classifier.On() ? Classifier.Lines : 0;
  if (Run.Recycling) Sweep.Keeper = &Keeper;
  Sweep.MarkDeletions = !Mode.DryRun;
  Sweep.Skip = Run.OnlyNew.Skip;
  Sweep.KnownSizes = Run.Sizes;
  Sweep.Report = [&Run](int32_t N, const TJudgement& Judgement, TVerdict Verdict) {
    const TRunMode& Mode = Run.Settings.Mode;
    const bool Spared = Verdict == TVerdict::Skipped || Verdict == TVerdict::Kept;
    // A message the classifier gave no verdict on is judged again next time.
    if (Spared && !Judgement.Unjudged) Run.Kept.push_back(N);
    // --quiet shows only the messages acted on.
    if (Mode.Quiet && Spared) return true;
    ShowSubject(Run.Out, N, Judgement.Subject, Mode.ListOnly);
    ShowVerdict(Run.Out, Verdict, Mode.Why ? Judgement.Why : "");
    return !Run.Out.Failed();
  };
  Sweep.Complain = Note;
  if (!Mode.NoPipelining && Session.HasCapability("PIPELINING")) {
    Sweep.Policy = TSweepPolicy::SentAhead();
    Sweep.Policy.QuitWithLastCommand = Mode.DryRun || Mode.ListOnly;
  }
  TSweepEnd End = Sweep.Run(Session.MessageCount);
  if (End == TSweepEnd::NotStarted) {
    Sweep.Policy = TSweepPolicy::OneAtATime();
    End = Sweep.Run(Session.MessageCount);
  }
  Run.Marked += Sweep.Marked;
  Run.ReadWhole = Sweep.ReadWhole;
  Run.Deleted.insert(Run.Deleted.end(), Sweep.Confirmed.begin(), Sweep.Confirmed.end());
  if (!Keeper.Working()) Run.Fail(TFailureKind::LocalIo);
  if (Sweep.NotCopied > 0) Run.Fail(TFailureKind::TryLater);
  if (Classifying && Classifying->Failures() > 0) Run.Fail(TFailureKind::TryLater);
  if (End == TSweepEnd::ConnectionLost) {
    Run.Fail(!Sweep.OutOfStep.empty() ? TFailureKind::Protocol : ReplyFailureKind(Session));
    Run.Tell(ConnectionLost);
  }
}

// Deletions take effect at QUIT. Output that was lost, even buffered output
// that cannot be flushed now, must not be followed by deletions the user never
// saw: the session then ends without QUIT, and nothing is deleted.
int Close(std::unique_ptr<TPOP3Send> Session, TRun& Run) {
  if (!Run.Out.Flush()) {
    // A QUIT sent ahead ended a run that deletes nothing.
    const bool QuitGone = Session->QuitSentAhead();
    Session.reset();
    Run.Complain("standard output could not be written (" + Run.Out.FailureReason() +
                 (QuitGone ? "): nothing is deleted" : "): the session ends without QUIT, nothing is deleted"));
    return Run.OutputLost();
  }
  // The server carries deletions out only when it confirms QUIT; a session that
  // broke off before that has deleted nothing, whatever the lines above said.
  const TStatus Ended = EndSession(*Session);
  const bool Confirmed = Ended.Good();
  Run.Fail(Ended.Kind());
  if (Run.Marked > 0 && !Confirmed) {
    Run.Complain(Ended.Message());
    Run.Tell("The server did not confirm QUIT: messages shown as DELETED may still be there");
  }
  // The state is written only once the server has carried the run out.
  if (Confirmed && !Run.Settings.Mode.DryRun && Run.Settings.Mode.OnlyNew && Run.Counted >= 0)
    Run.OnlyNew.Record(Run.ReadWhole, Run.Kept, [&Run](const std::string& Text) { Run.Complain(Text); }, Run.Deleted);
  // Old copies go only after a run that was carried out, so that a bin is
  // never emptied by runs that cannot reach the server.
  if (Confirmed && Run.Recycling) Run.Bin.Prune(Run.Settings.Bin.Days, ::time(nullptr));
  if (Run.Settings.Mode.Quiet && Run.Counted >= 0) {
    const int32_t Deleted = Confirmed ? Run.Marked : 0;
    const int32_t Before = Run.OnlyNew.JudgedBefore;
    const int32_t Still = Run.OnlyNew.StillThere;
    Run.Out.Write(std::to_string(Run.Counted) + " messages: " + std::to_string(Deleted) + " deleted, " +
                  std::to_string(Run.Counted - Deleted - Before - Still) + " kept, " + std::to_string(Before) +
                  " not read again" + (Still > 0 ? ", " + std::to_string(Still) + " still on the server after DELE" : "") +
                  LineEnd);
  }
  Session.reset();
  return Run.Finish();
}

// --list-recycled: one line per copy, newest first; no server is contacted.
int ListBin(TRun& Run) {
  TMaildir Bin;
  const std::string& Folder = Run.Settings.Bin.Listed;
  if (!Bin.Look(Folder))
    return Run.Refuse(TStatus::Fail(TFailureKind::NoInput, Folder + " is no recycle bin (no Maildir there)"));
  for (const TStoredCopy& Copy : Bin.List()) Run.Out.Write(RecycledLine(ReadRecycledEntry(Copy)));
  return Run.Finish();
}

// --learn-spam, --learn-ham: the classifier is taught; no server is contacted.
int Teach(TRun& Run) {
  const TClassifierSettings& C = Run.Settings.Classifier;
  const TLearnt Learnt = LearnMessages(C, [&Run](const std::string& Text) { Run.Complain(Text); });
  const auto Count = [](int32_t N) { return std::to_string(N) + (N == 1 ? " message" : " messages"); };
  Run.Out.Write(C.Name() + ": " + Count(Learnt.Spam) + " taught as spam, " + Count(Learnt.Ham) + " as ham" + LineEnd);
  if (!Learnt.First) {
    Run.Fail(Learnt.First.Kind());
    if (!Run.Settings.Mode.SysExits) {
      Run.Out.Flush();
      return 2;
    }
  }
  return Run.Finish();
}

// With --recycle, the bin is opened before anything is sent: a folder that
// cannot serve ends the run there. A dry run and a listing delete nothing,
// so they write nothing.
TStatus OpenBin(TRun& Run) {
  const TSettings& S = Run.Settings;
  Run.Recycling = !S.Bin.Folder.empty() && !S.Mode.DryRun && !S.Mode.ListOnly;
  if (!Run.Recycling) return TStatus::Ok();
  if (const TStatus Opened = Run.Bin.Open(S.Bin.Folder); !Opened) return Opened;
  Run.Bin.CleanTmp(::time(nullptr));
  return TStatus::Ok();
}

}  // namespace

TStatus ReadSecret(TMailbox& Mailbox) {
  if (!Mailbox.PasswordCommand.empty())
    return RunSecretCommand(Mailbox.PasswordCommand, Mailbox.Password).Within("--password-command: ");
  if (Mailbox.Password == "-" && !ReadPassword(Mailbox.Password))
    return TStatus::Fail(TFailureKind::NoInput, "no password could be read from standard input");
  return TStatus::Ok();
}

int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args) {
  TRun Run;
  Run.ProgramName = ProgramName;
  if (const TStatus Parsed = ParseOptions(Args, Run.Settings); !Parsed) {
    Run.Complain(Parsed.Message() + " (see " + ProgramName + " --help)");
    return AsksForSysExits(Args) ? SysExitStatus(Parsed.Kind()) : 2;
  }
  const TRunMode& Asked = Run.Settings.Mode;
  if (Run.Settings.Accounts.Wanted() && !Asked.Help && !Asked.Version)
    return RunAccountsFile(ProgramName, Run.Settings, Args);
  if (Asked.ServerInfo && !Asked.Help && !Asked.Version) return RunServerInfo(ProgramName, Run.Settings);
  // Every word must be usable before anything is read or sent.
  if (const TStatus Taken = Run.Rules.Take(Run.Settings.Rules); !Taken) return Run.Refuse(Taken.Within("--regex: "));
  const TRunMode& Mode = Run.Settings.Mode;
  if (!Run.Settings.Bin.Listed.empty() && !Mode.Help && !Mode.Version) return ListBin(Run);
  if (Run.Settings.Classifier.Learning() && !Mode.Help && !Mode.Version) return Teach(Run);
  const TMailbox& Mailbox = Run.Settings.Mailbox;
  const bool HasMailbox = Run.Settings.HasMailbox;
  if (!Mode.Quiet || Mode.Help || Mode.Version || !HasMailbox) Run.Out.Write(Banner);
  if (Mode.Help) Run.Out.Write(HelpText(ProgramName));
  if (!HasMailbox && !Mode.Help && !Mode.Version) {
    Run.Out.Write(ProgramName + " UserName Passwod Server [Filter1] [...]" + LineEnd);
    Run.Fail(TFailureKind::Usage);
  }
  if (!HasMailbox || Mode.Help || Mode.Version) return Run.Finish();
  // A classifier that cannot answer would keep every message it was to judge.
  if (Run.Settings.Classifier.On())
    if (const TStatus Ready = MakeClassifier(Run.Settings.Classifier)->Check(); !Ready) return Run.Refuse(Ready);
  if (const TStatus Read = ReadSecret(Run.Settings.Mailbox); !Read) return Run.Refuse(Read);
  if (Mailbox.Insecure)
    Run.Complain("warning: --insecure: the server's certificate is not checked; "
                 "whoever sits on the way can read the password");

  if (const TStatus Opened = OpenBin(Run); !Opened) return Run.Refuse(Opened);
  if (const TStatus Begun = BeginOnlyNew(Run); !Begun) return Run.Refuse(Begun);
  auto Session = std::make_unique<TPOP3Send>();
  // A message copied to the bin passes through in chunks of all that waits
  // at once: a window bounded here bounds them (and still fills a 50 ms round
  // trip at 40 MB/s), and chunks given back to the system when freed keep the
  // heap from growing with the message, whatever its size.
  if (Run.Recycling) {
    Session->Socket.AfterSocketCreated = [](TBlockSocket& Socket) { Socket.SetReceiveBufferSize(2 * 1024 * 1024); };
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  }
  try {
    if (Open(*Session, Run)) SweepMailbox(*Session, Run);
  } catch (const Exception& E) {
    Run.Fail(TFailureKind::Software);
    Run.Tell(E.Message());
  }
  return Close(std::move(Session), Run);
}

}  // namespace quorrel
