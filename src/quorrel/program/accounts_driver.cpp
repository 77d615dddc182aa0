#include "quorrel/program/accounts_driver.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "quorrel/accounts/accounts.h"
#include "quorrel/process/side_by_side.h"
#include "quorrel/program/driver.h"
#include "quorrel/program/exit_status.h"
#include "quorrel/report/output.h"

namespace quorrel {

namespace {

void Complain(const std::string& ProgramName, const std::string& Text) {
  std::fprintf(stderr, "%s: %s\n", ProgramName.c_str(), Text.c_str());
  std::fflush(stderr);
}

// This program's own file, to run once per account.
std::string SelfPath() {
  char Path[PATH_MAX] = {};
  const ssize_t Length = ::readlink("/proc/self/exe", Path, sizeof Path - 1);
  return Length > 0 ? std::string(Path, size_t(Length)) : "";
}

// What a sysexits status says, for the line naming a failed account.
std::string Meaning(int Status) {
  switch (Status) {
    case EX_USAGE: return "a bad option or value";
    case EX_NOINPUT: return "no password could be read";
    case EX_NOHOST: return "the server's name does not resolve";
    case EX_UNAVAILABLE: return "the server, TLS or the proxy refused service";
    case EX_CANTCREAT: return "the recycle bin cannot serve";
    case EX_IOERR: return "output or a copy for the bin could not be written";
    case EX_TEMPFAIL: return "try again later: a time-out, a lost connection, QUIT not confirmed or a lock held";
    case EX_PROTOCOL: return "the server's replies made no sense";
    case EX_NOPERM: return "the login was refused";
    case EX_SOFTWARE: return "an internal error";
  }
  return Status >= 128 ? "killed by signal " + std::to_string(Status - 128) : "status " + std::to_string(Status);
}

// Verdict lines ("n:..."), for the progress line.
size_t Judged(const std::string& Output) {
  size_t Count = 0;
  for (size_t At = 0; At < Output.size();) {
    size_t Digits = At;
    while (Digits < Output.size() && Output[Digits] >= '0' && Output[Digits] <= '9') ++Digits;
    if (Digits > At && Digits < Output.size() && Output[Digits] == ':') ++Count;
    const size_t End = Output.find('\n', At);
    if (End == std::string::npos) break;
    At = End + 1;
  }
  return Count;
}

int ListAccounts(const std::vector<TAccount>& Accounts, TOutput& Out) {
  for (const TAccount& A : Accounts)
    Out.Write(A.Name + "\t" + A.User + "@" + A.Server + ":" + A.Port + "\t" + A.Auth + "\t" +
              (A.Tls ? "TLS" : "no TLS") + "\t" + std::to_string(A.FilterCount) + " filter, " +
              std::to_string(A.KeepCount) + " keep\tbin " + (A.Bin.empty() ? "none" : A.Bin) + "\tstate " +
              (A.State.empty() ? "none" : A.State) + (A.Classifier.empty() ? "" : "\tclassifier " + A.Classifier) +
              "\r\n");
  return Out.Flush() ? 0 : 1;
}

}  // namespace

int RunAccountsFile(const std::string& ProgramName, const TSettings& Settings, const std::vector<std::string>& Args) {
  const TRunMode& Mode = Settings.Mode;
  const auto Refuse = [&](const TStatus& Status) {
    Complain(ProgramName, Status.Message());
    return Mode.SysExits ? SysExitStatus(Status.Kind()) : 2;
  };
  const std::string Path = !Settings.Accounts.Config.empty() ? Settings.Accounts.Config : DefaultAccountsPath();
  const TResult<TAccountsFile> File = ReadAccounts(Path);
  if (!File) return Refuse(File.Status());
  const TResult<std::vector<TAccount>> Picked = PickAccounts(*File, Settings.Accounts.Names);
  if (!Picked) return Refuse(Picked.Status());
  TOutput Out;
  if (Settings.Accounts.List) return ListAccounts(*Picked, Out);

  // What the command line says applies to every account and wins over the
  // file: its options come after the file's. A --field given there replaces
  // the file's fields rather than adding to them.
  const std::vector<std::string> Each = OptionsForEachAccount(Args);
  const bool OwnFields = std::any_of(Each.begin(), Each.end(), [](const std::string& A) {
    return A == "--field" || A.rfind("--field=", 0) == 0;
  });
  const std::string Self = SelfPath();
  std::vector<TJob> Jobs;
  for (const TAccount& A : *Picked) {
    std::vector<std::string> Line;
    for (size_t I = 0; I < A.Options.size(); ++I) {
      if (OwnFields && A.Options[I] == "--field") {
        ++I;
        continue;
      }
      Line.push_back(A.Options[I]);
    }
    Line.insert(Line.end(), Each.begin(), Each.end());
    Line.insert(Line.end(), A.Mailbox.begin(), A.Mailbox.end());
    // Every account's command line must be good before any account is swept.
    TSettings Checked;
    if (const TStatus Parsed = ParseOptions(Line, Checked); !Parsed)
      return Refuse(Parsed.Within(File->Path + ": [accounts." + A.Name + "]: "));
    TJob Job;
    Job.Argv = {Self};
    Job.Argv.insert(Job.Argv.end(), Line.begin(), Line.end());
    Job.Env = {"QUORREL_ACCOUNT=" + A.Name, "QUORREL_USER=" + A.User, "QUORREL_SERVER=" + A.Server};
    if (A.HasPassword) Job.Input = A.Password + "\n";
    Jobs.push_back(std::move(Job));
  }

  if (!Mode.Quiet) Out.Write(Banner);
  const bool Progress = ::isatty(STDERR_FILENO) == 1;
  size_t Shown = 0;
  const auto ClearProgress = [&] {
    if (Progress) std::fputs("\r\033[K", stderr);
  };
  // Blocks go out in the file's order, each as soon as it and every one
  // before it have ended.
  const auto ShowDone = [&] {
    for (; Shown < Jobs.size() && Jobs[Shown].Done; ++Shown) {
      TJob& Job = Jobs[Shown];
      const TAccount& A = (*Picked)[Shown];
      ClearProgress();
      std::string Block = Job.Output;
      if (Block.rfind(Banner, 0) == 0) Block.erase(0, Banner.size());
      // Whatever --quiet leaves out, each account has its line.
      if (Block.empty()) Block = "no messages were read (status " + std::to_string(Job.Status) + ")\r\n";
      Out.Write("== " + A.Name + "\r\n" + Block);
      Out.Flush();
      if (!Job.Errors.empty()) {
        std::fputs(("== " + A.Name + "\n" + Job.Errors).c_str(), stderr);
        std::fflush(stderr);
      }
    }
    if (!Progress || Shown == Jobs.size()) return;
    size_t Done = 0, Messages = 0;
    for (const TJob& Job : Jobs) {
      Done += Job.Done ? 1 : 0;
      Messages += Judged(Job.Output);
    }
    std::fprintf(stderr, "\r\033[K%s: %zu of %zu accounts done, %zu messages judged", ProgramName.c_str(), Done,
                 Jobs.size(), Messages);
    std::fflush(stderr);
  };
  RunSideBySide(Jobs, Settings.Accounts.Jobs, ShowDone);
  ClearProgress();

  int Status = 0;
  if (Mode.SysExits)
    for (size_t I = 0; I < Jobs.size(); ++I) {
      if (Jobs[I].Status == 0) continue;
      Complain(ProgramName, "account " + (*Picked)[I].Name + " failed: " + Meaning(Jobs[I].Status) + " (status " +
                                std::to_string(Jobs[I].Status) + ")");
      if (Status == 0) Status = Jobs[I].Status;
    }
  if (!Out.Flush()) {
    Complain(ProgramName, "standard output could not be written: " + Out.FailureReason());
    return Mode.SysExits ? SysExitStatus(TFailureKind::OutputLost) : 1;
  }
  return Status;
}

}  // namespace quorrel
