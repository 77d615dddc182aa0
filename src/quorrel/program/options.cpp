#include "quorrel/program/options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "netutil/netutil.h"

namespace quorrel {

namespace {

// Stores an option's value into the settings; returns "" or why the value is bad.
using TStore = std::string (*)(TSettings& Settings, const std::string& Value);

struct TOption {
  const char* Name;       // as typed, with its leading dashes
  const char* ValueName;  // shown in the help; nullptr for a switch, which takes no value
  const char* Help;
  TStore Store;
};

// Options without a value that turn Flag on, in the part of the settings it belongs to.
template <bool TRunMode::*Flag>
std::string ModeSwitch(TSettings& S, const std::string&) {
  S.Mode.*Flag = true;
  return "";
}
template <bool TMailbox::*Flag>
std::string MailboxSwitch(TSettings& S, const std::string&) {
  S.Mailbox.*Flag = true;
  return "";
}
template <bool TRuleSettings::*Flag>
std::string RuleSwitch(TSettings& S, const std::string&) {
  S.Rules.*Flag = true;
  return "";
}

std::string StorePort(TSettings& S, const std::string& Value) {
  if (!IsPortNumber(Value)) return "'" + Value + "' is not a port number (1-65535)";
  S.Mailbox.Port = std::to_string(std::stoi(Value));
  return "";
}

std::string StoreCaFile(TSettings& S, const std::string& Value) {
  struct stat Info {};
  if (stat(Value.c_str(), &Info) != 0 || !S_ISREG(Info.st_mode) || access(Value.c_str(), R_OK) != 0)
    return "cannot read the file '" + Value + "'";
  S.Mailbox.CaFile = Value;
  return "";
}

std::string StoreFingerprint(TSettings& S, const std::string& Value) {
  std::string Digits;
  for (char C : Value)
    if (C != ':') Digits += C;
  const bool Hex = Digits.size() == 64 && std::all_of(Digits.begin(), Digits.end(), [](char C) {
    return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F');
  });
  if (!Hex) return "'" + Value + "' is not a SHA-256 fingerprint (64 hex digits, colons allowed)";
  S.Mailbox.TlsFingerprints.push_back(Value);
  return "";
}

std::string StoreProxy(TSettings& S, const std::string& Value) { return ParseProxyUrl(Value, S.Mailbox.Proxy).Message(); }

std::string StoreStateFile(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty file name";
  S.Mailbox.StateFile = Value;
  return "";
}

std::string StoreAuth(TSettings& S, const std::string& Value) {
  for (const char* Method : {"auto", "user", "apop", "plain", "scram-sha-256", "xoauth2", "oauthbearer"})
    if (Value == Method) {
      S.Mailbox.Auth = Value;
      return "";
    }
  return "'" + Value + "' is none of auto, user, apop, plain, scram-sha-256, xoauth2, oauthbearer";
}

std::string StorePasswordCommand(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty command";
  S.Mailbox.PasswordCommand = Value;
  return "";
}

std::string StoreKeep(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty word";
  S.Rules.KeepWords.push_back(Value);
  return "";
}

std::string StoreField(TSettings& S, const std::string& Value) {
  // A field name is printable ASCII without blanks and colon.
  const bool Valid = !Value.empty() && std::all_of(Value.begin(), Value.end(), [](char C) { return C > 0x20 && C < 0x7F && C != ':'; });
  if (!Valid) return "'" + Value + "' is not a header field name";
  const std::string Lower = AsciiLower(Value);
  if (std::find(S.Rules.Fields.begin(), S.Rules.Fields.end(), Lower) == S.Rules.Fields.end()) S.Rules.Fields.push_back(Lower);
  return "";
}

std::string StoreLargerThan(TSettings& S, const std::string& Value) {
  uint64_t Bytes = 0;
  if (!ParseSize(Value, Bytes)) return "'" + Value + "' is not a size (bytes, or a number with k, M or G)";
  S.Rules.LargerThan = Bytes;
  return "";
}

// A folder of the bin's: --recycle, --list-recycled.
template <std::string TBinSettings::*Folder>
std::string StoreBinFolder(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty folder name";
  S.Bin.*Folder = Value;
  return "";
}

std::string StoreRecycleDays(TSettings& S, const std::string& Value) {
  const bool Digits = !Value.empty() && Value.size() <= 6 &&
                      std::all_of(Value.begin(), Value.end(), [](char C) { return C >= '0' && C <= '9'; });
  if (!Digits) return "'" + Value + "' is not a number of days (0-999999)";
  S.Bin.Days = std::stoi(Value);
  S.Bin.DaysGiven = true;
  return "";
}

std::string StoreConfig(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty file name";
  S.Accounts.Config = Value;
  return "";
}

std::string StoreAccount(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty account name";
  S.Accounts.Names.push_back(Value);
  return "";
}

std::string StoreJobs(TSettings& S, const std::string& Value) {
  const bool Digits = !Value.empty() && Value.size() <= 2 &&
                      std::all_of(Value.begin(), Value.end(), [](char C) { return C >= '0' && C <= '9'; });
  if (!Digits || std::stoi(Value) < 1 || std::stoi(Value) > 64) return "'" + Value + "' is not a number of jobs (1-64)";
  S.Accounts.Jobs = std::stoi(Value);
  S.Accounts.JobsGiven = true;
  return "";
}

std::string StoreClassifier(TSettings& S, const std::string& Value) {
  const std::pair<const char*, TClassifierKind> Kinds[] = {{"bogofilter", TClassifierKind::Bogofilter},
                                                           {"spamassassin", TClassifierKind::SpamAssassin},
                                                           {"rspamd", TClassifierKind::Rspamd}};
  for (const auto& [Name, Kind] : Kinds)
    if (Value == Name) {
      if (S.Classifier.Kind == TClassifierKind::Command) return "it and --classify-command exclude each other";
      S.Classifier.Kind = Kind;
      return "";
    }
  return "'" + Value + "' is none of bogofilter, spamassassin, rspamd";
}

std::string StoreClassifyCommand(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty command";
  if (S.Classifier.On() && S.Classifier.Kind != TClassifierKind::Command) return "it and --classifier exclude each other";
  S.Classifier.Kind = TClassifierKind::Command;
  S.Classifier.Command = Value;
  return "";
}

template <std::string TClassifierSettings::*Field>
std::string StoreClassifierText(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty value";
  S.Classifier.*Field = Value;
  return "";
}

template <std::vector<std::string> TClassifierSettings::*List>
std::string StoreLearnt(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty file name";
  (S.Classifier.*List).push_back(Value);
  return "";
}

std::string StoreSpamScore(TSettings& S, const std::string& Value) {
  char* End = nullptr;
  const double Score = std::strtod(Value.c_str(), &End);
  if (Value.empty() || !End || *End != '\0' || !std::isfinite(Score)) return "'" + Value + "' is not a score";
  S.Classifier.SpamScore = Score;
  return "";
}

// A whole number from Least to Most.
bool ReadCount(const std::string& Value, int Least, int Most, int& Out) {
  const bool Digits = !Value.empty() && Value.size() <= 6 &&
                      std::all_of(Value.begin(), Value.end(), [](char C) { return C >= '0' && C <= '9'; });
  if (!Digits || std::stoi(Value) < Least || std::stoi(Value) > Most) return false;
  Out = std::stoi(Value);
  return true;
}

std::string StoreClassifyLines(TSettings& S, const std::string& Value) {
  return ReadCount(Value, 0, 100000, S.Classifier.Lines) ? "" : "'" + Value + "' is not a number of lines (0-100000)";
}

std::string StoreClassifyJobs(TSettings& S, const std::string& Value) {
  return ReadCount(Value, 1, 64, S.Classifier.Jobs) ? "" : "'" + Value + "' is not a number of jobs (1-64)";
}

// Seconds, or milliseconds with "ms".
std::string StoreClassifyTimeout(TSettings& S, const std::string& Value) {
  const bool Ms = Value.size() > 2 && Value.compare(Value.size() - 2, 2, "ms") == 0;
  int Count = 0;
  if (!ReadCount(Ms ? Value.substr(0, Value.size() - 2) : Value, 1, Ms ? 3600000 : 3600, Count))
    return "'" + Value + "' is not a time-out (1-3600 seconds, or a number with ms)";
  S.Classifier.TimeoutMs = Ms ? Count : Count * 1000;
  return "";
}

template <bool TAccountSettings::*Flag>
std::string AccountsSwitch(TSettings& S, const std::string&) {
  S.Accounts.*Flag = true;
  return "";
}

// Settings that make no sense together, found once every option is read.
std::string Conflicts(const TSettings& Settings) {
  const TMailbox& S = Settings.Mailbox;
  if (S.Tls && S.StartTls) return "--tls and --starttls exclude each other";
  if (!S.StateFile.empty() && !Settings.Mode.OnlyNew) return "--state-file needs --only-new";
  if (Settings.Bin.DaysGiven && Settings.Bin.Folder.empty() && !Settings.Accounts.Wanted())
    return "--recycle-days needs --recycle";
  const TAccountSettings& A = Settings.Accounts;
  if (Settings.Mode.ServerInfo && !A.Wanted() && Settings.ParameterCount != 1 && !Settings.HasMailbox)
    return "--serverinfo needs a server, or a user name, a password and a server";
  if (A.All && !A.Names.empty()) return "--all and --account exclude each other";
  if (A.Wanted() && Settings.ParameterCount > 0)
    return "parameters do not go with --account, --all or --list-accounts: the accounts file names the mailboxes";
  if (A.JobsGiven && !A.All && A.Names.empty()) return "--jobs needs --all or --account";
  if (!A.Config.empty() && !A.Wanted()) return "--config needs --all, --account or --list-accounts";
  // A listing contacts no server: a mailbox beside it would be ignored.
  if (!Settings.Bin.Listed.empty() && (Settings.HasMailbox || !Settings.Bin.Folder.empty()))
    return "--list-recycled takes no mailbox and no --recycle";
  // The secret has one source: a password on the line as well would be used
  // by nobody, and would stand where every local user can read it.
  if (!S.PasswordCommand.empty() && Settings.HasMailbox && S.Password != "-")
    return "with --password-command the password parameter must be -";
  // Without TLS these would be ignored, and the user would believe the
  // session secured.
  if (!S.TlsFingerprints.empty() && S.Insecure) return "--tls-fingerprint and --insecure exclude each other";
  const TClassifierSettings& C = Settings.Classifier;
  if (!C.On() && (!C.Db.empty() || !C.Address.empty() || !C.Controller.empty() || C.SpamScore || C.Lines > 0 ||
                  C.Learning()) && !Settings.Accounts.Wanted())
    return "--classifier-db, --classifier-address, --classifier-controller, --spam-score, --classify-lines, "
           "--learn-spam and --learn-ham need --classifier";
  if (C.Learning() && C.Kind == TClassifierKind::Command) return "a --classify-command cannot be taught";
  if (C.Learning() && Settings.Accounts.Wanted()) return "--learn-spam and --learn-ham take no accounts";
  if (C.Learning() && !C.LearnSpam.empty() && !C.LearnHam.empty() && !Settings.Parameters.empty())
    return "with both --learn-spam and --learn-ham, name each message with its option";
  if (!S.Tls && !S.StartTls) {
    if (!S.TlsFingerprints.empty()) return "--tls-fingerprint needs --tls or --starttls";
    if (!S.CaFile.empty()) return "--ca-file needs --tls or --starttls";
    if (S.Insecure) return "--insecure needs --tls or --starttls";
  }
  return "";
}

const TOption Options[] = {
    {"--dry-run", nullptr, "delete nothing; show each matching message as WOULD DELETE",
     ModeSwitch<&TRunMode::DryRun>},
    {"--decode", nullptr, "also match and show headers decoded and unfolded, in any letter's case",
     RuleSwitch<&TRuleSettings::Decode>},
    {"--no-pipelining", nullptr, "one command at a time, even where the server takes them ahead",
     ModeSwitch<&TRunMode::NoPipelining>},
    {"--port", "N", "server port (1-65535); default 110, or 995 with --tls", StorePort},
    {"--tls", nullptr, "TLS from the first byte (port 995 unless --port)",
     MailboxSwitch<&TMailbox::Tls>},
    {"--starttls", nullptr, "connect in clear, then switch to TLS with STLS; no login without it",
     MailboxSwitch<&TMailbox::StartTls>},
    {"--ca-file", "FILE", "trust the certificates in FILE (PEM) instead of the system's store", StoreCaFile},
    {"--tls-fingerprint", "SHA256",
     "accept only a server certificate with this SHA-256 fingerprint (hex, colons allowed), whoever signed it; "
     "repeatable",
     StoreFingerprint},
    {"--insecure", nullptr, "do not check the server's certificate (warns on standard error)",
     MailboxSwitch<&TMailbox::Insecure>},
    {"--proxy", "URL",
     "connect through a proxy: socks5://, socks5h:// (the proxy resolves the name), socks4://, "
     "socks4a:// or http:// (CONNECT), as scheme://[user:password@]host[:port], port 1080 by default",
     StoreProxy},
    {"--only-new", nullptr,
     "read only the headers of messages not judged before (state kept per mailbox under "
     "$XDG_STATE_HOME/quorrel/)",
     ModeSwitch<&TRunMode::OnlyNew>},
    {"--state-file", "FILE", "keep the --only-new state in FILE", StoreStateFile},
    {"--why", nullptr, "end each verdict line with the rule that decided it, e.g. (filter \"winner\" in Subject)",
     ModeSwitch<&TRunMode::Why>},
    {"--recycle", "DIR",
     "before each DELE, store the whole message in the Maildir DIR (made when missing); "
     "nothing is deleted whose copy could not be stored",
     StoreBinFolder<&TBinSettings::Folder>},
    {"--recycle-days", "N", "remove copies stored more than N days ago (default 30; 0 keeps them)",
     StoreRecycleDays},
    {"--list-recycled", "DIR", "list the copies in the bin DIR, newest first, and exit; contacts no server",
     StoreBinFolder<&TBinSettings::Listed>},
    {"--serverinfo", nullptr,
     "report what the server offers (greeting, capabilities, login methods, TLS certificate) and exit; "
     "with a user name and password also log in: quorrel --serverinfo [options] [UserName Password] Server",
     ModeSwitch<&TRunMode::ServerInfo>},
    {"--all", nullptr, "sweep every account of the accounts file, side by side", AccountsSwitch<&TAccountSettings::All>},
    {"--account", "NAME", "sweep the account NAME of the accounts file; repeatable", StoreAccount},
    {"--config", "FILE",
     "the accounts file (default $XDG_CONFIG_HOME/quorrel/accounts.toml, else ~/.config/quorrel/accounts.toml)",
     StoreConfig},
    {"--jobs", "N", "accounts swept at once (1-64, default 4)", StoreJobs},
    {"--list-accounts", nullptr, "check the accounts file and list its accounts, then exit; contacts no server",
     AccountsSwitch<&TAccountSettings::List>},
    {"--classifier", "NAME",
     "also ask a spam classifier about each message no rule decides: bogofilter, spamassassin (spamd) or "
     "rspamd; spam is deleted like a match",
     StoreClassifier},
    {"--classify-command", "CMD",
     "ask CMD (run with /bin/sh, the header on its standard input) about each message no rule decides: "
     "exit 1 deletes, 0 and 2 keep",
     StoreClassifyCommand},
    {"--classifier-db", "DIR", "bogofilter's word lists (default its own)",
     StoreClassifierText<&TClassifierSettings::Db>},
    {"--classifier-address", "ADDR",
     "where spamd (default 127.0.0.1:783) or rspamd (default 127.0.0.1:11333) listens: host:port or a Unix socket's path",
     StoreClassifierText<&TClassifierSettings::Address>},
    {"--classifier-controller", "ADDR", "rspamd's controller, for teaching (default 127.0.0.1:11334)",
     StoreClassifierText<&TClassifierSettings::Controller>},
    {"--spam-score", "X", "spam from this score on, instead of the classifier's own threshold", StoreSpamScore},
    {"--classify-lines", "N", "show the classifier the first N body lines too (default 0: the header only)",
     StoreClassifyLines},
    {"--classify-jobs", "N", "messages classified at once (1-64, default 4)", StoreClassifyJobs},
    {"--classify-timeout", "SECONDS",
     "a message the classifier has not judged within this time is kept (default 30; also e.g. 500ms)",
     StoreClassifyTimeout},
    {"--learn-spam", "FILE",
     "teach the classifier the message FILE (or every message of a folder, such as the recycle bin) as spam, "
     "and exit; repeatable, and further parameters are messages too",
     StoreLearnt<&TClassifierSettings::LearnSpam>},
    {"--learn-ham", "FILE", "the same, as wanted mail", StoreLearnt<&TClassifierSettings::LearnHam>},
    {"--quiet", nullptr,
     "show only the messages deleted (or not deleted, or that would be), then one line of counts",
     ModeSwitch<&TRunMode::Quiet>},
    {"--sysexits", nullptr,
     "exit statuses for schedulers: 0 done and QUIT confirmed, 64 bad option, 68 unknown server, "
     "69 refused/TLS/proxy, 73 recycle bin unusable, 74 output or copy lost, 75 time-out/connection lost/QUIT unconfirmed, "
     "76 reply out of step, 77 login refused",
     ModeSwitch<&TRunMode::SysExits>},
    {"--auth", "METHOD",
     "how to log in: auto (APOP where offered, else USER/PASS), user, apop, plain, scram-sha-256, "
     "xoauth2 or oauthbearer (the password is then the access token)",
     StoreAuth},
    {"--password-command", "CMD",
     "run CMD with /bin/sh; the first line it prints is the password or token (the password parameter is then -)",
     StorePasswordCommand},
    {"--keep", "WORD",
     "never delete a message whose header holds WORD, whatever else matches (shown as KEPT); repeatable, "
     "e.g. --keep boss@example.com",
     StoreKeep},
    {"--field", "NAME",
     "filter words match only in the field NAME (unfolded); repeatable, e.g. --field Subject --field From",
     StoreField},
    {"--regex", nullptr,
     "filter and keep words are regular expressions (RE2, any case, linear time), "
     "e.g. --regex with the filter word '^subject: .*(casino|lottery)'",
     RuleSwitch<&TRuleSettings::Regex>},
    {"--larger-than", "SIZE",
     "also delete every message larger than SIZE (as LIST gives it; bytes, k, M, G), "
     "e.g. --larger-than 5M",
     StoreLargerThan},
    {"--help", nullptr, "show this help and exit",
     ModeSwitch<&TRunMode::Help>},
    {"--version", nullptr, "show the version line and exit",
     ModeSwitch<&TRunMode::Version>},
};

const TOption* FindOption(const std::string& Name) {
  auto Found = std::find_if(std::begin(Options), std::end(Options),
                            [&](const TOption& O) { return Name == O.Name; });
  return Found == std::end(Options) ? nullptr : Found;
}

}  // namespace

namespace {

// Places a parameter by its position: user name, password, server, then filter
// words, of which those that begin with "-" are ignored (but still counted).
void TakeParameter(TSettings& S, size_t& Count, const std::string& Word) {
  switch (++Count) {
    case 1: S.Mailbox.User = Word; break;
    case 2: S.Mailbox.Password = Word; break;
    case 3: S.Mailbox.Server = Word; break;
    default:
      if (Word.empty() || Word[0] != '-') S.Rules.FilterWords.push_back(Word);
  }
}

}  // namespace

TStatus ParseOptions(const std::vector<std::string>& Args, TSettings& Settings) {
  const auto Bad = [](std::string Why) { return TStatus::Fail(TFailureKind::Usage, std::move(Why)); };
  bool OptionsEnded = false;
  size_t Count = 0;
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    if (OptionsEnded || Arg.rfind("--", 0) != 0) {
      TakeParameter(Settings, Count, Arg);
      Settings.Parameters.push_back(Arg);
      continue;
    }
    if (Arg == "--") {
      OptionsEnded = true;
      // From the fourth place on it always was an ignored parameter, and it
      // still counts as one, so that "u p s --" lists as it did (no NO FILTER).
      if (Count >= 3) TakeParameter(Settings, Count, Arg);
      continue;
    }
    const size_t Equals = Arg.find('=');
    const std::string Name = Arg.substr(0, Equals);
    const TOption* Option = FindOption(Name);
    // A misspelt option taken as a parameter would log in under its name or,
    // behind the server, add its value to the words that delete.
    if (!Option) return Bad("unknown option " + Name);
    std::string Value;
    if (!Option->ValueName) {
      if (Equals != std::string::npos) return Bad(Name + " takes no value");
    } else if (Equals != std::string::npos) {
      Value = Arg.substr(Equals + 1);
    } else if (I + 1 < Args.size()) {
      Value = Args[++I];
    } else {
      return Bad(Name + " needs a value (" + Option->ValueName + ")");
    }
    if (const std::string Why = Option->Store(Settings, Value); !Why.empty()) return Bad(Name + ": " + Why);
  }
  // A report on a server needs no mailbox: the one parameter is the server.
  if (Settings.Mode.ServerInfo && Count == 1) {
    Settings.Mailbox.Server = Settings.Mailbox.User;
    Settings.Mailbox.User.clear();
  }
  Settings.HasMailbox = Count >= 3;
  Settings.ParameterCount = Count;
  // A size limit and a classifier are rules of their own: the mailbox is then
  // judged, not listed.
  Settings.Mode.ListOnly = Count == 3 && !Settings.Rules.LargerThan && !Settings.Classifier.On();
  // A teaching run names messages, not a mailbox.
  TClassifierSettings& C = Settings.Classifier;
  if (C.Learning()) {
    if (const std::string Why = Conflicts(Settings); !Why.empty()) return Bad(Why);
    std::vector<std::string>& Into = C.LearnSpam.empty() ? C.LearnHam : C.LearnSpam;
    Into.insert(Into.end(), Settings.Parameters.begin(), Settings.Parameters.end());
    Settings.HasMailbox = false;
    Settings.Mode.ListOnly = false;
    Settings.ParameterCount = 0;
    Settings.Rules.FilterWords.clear();
    Settings.Mailbox = TMailbox();
  }
  if (const std::string Why = Conflicts(Settings); !Why.empty()) return Bad(Why);
  return TStatus::Ok();
}

std::vector<std::string> OptionsForEachAccount(const std::vector<std::string>& Args) {
  std::vector<std::string> Out;
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string Name = Args[I].substr(0, Args[I].find('='));
    const bool Valued = Name == "--config" || Name == "--account" || Name == "--jobs";
    if (Name == "--") {
      Out.insert(Out.end(), Args.begin() + long(I), Args.end());
      break;
    }
    if (Valued && Args[I].find('=') == std::string::npos) ++I;  // and its value
    if (!Valued && Name != "--all" && Name != "--list-accounts") Out.push_back(Args[I]);
  }
  return Out;
}

std::string HelpText(const std::string& ProgramName) {
  std::string Text = "Usage: " + ProgramName + " [options] UserName Password Server [Filter1] [...]\r\n";
  const std::string Indent = std::string(7, ' ') + ProgramName;
  Text += Indent + " [options] --all | --account NAME [...]   every mailbox of the accounts file\r\n";
  Text += Indent + " --serverinfo [options] [UserName Password] Server\r\n";
  Text += Indent + " --list-recycled DIR\r\n";
  Text += "Deletes on the server every message whose header contains a filter word.\r\n";
  Text += "Options (anywhere on the line, also as --name=value; -- ends them):\r\n";
  for (const TOption& O : Options) {
    std::string Left = std::string("  ") + O.Name;
    if (O.ValueName) Left += std::string(" ") + O.ValueName;
    Left.resize(std::max<size_t>(Left.size() + 1, 22), ' ');
    Text += Left + O.Help + "\r\n";
  }
  return Text;
}

}  // namespace quorrel
