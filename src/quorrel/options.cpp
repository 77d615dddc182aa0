#include "quorrel/options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

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

// An option without a value that turns Flag on.
template <bool TSettings::*Flag>
std::string Switch(TSettings& S, const std::string&) {
  S.*Flag = true;
  return "";
}

bool IsPortNumber(const std::string& Text) {
  return !Text.empty() && Text.size() <= 5 &&
         std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; }) &&
         std::stoi(Text) >= 1 && std::stoi(Text) <= 65535;
}

std::string StorePort(TSettings& S, const std::string& Value) {
  if (!IsPortNumber(Value)) return "'" + Value + "' is not a port number (1-65535)";
  S.Port = std::to_string(std::stoi(Value));
  return "";
}

std::string StoreCaFile(TSettings& S, const std::string& Value) {
  struct stat Info {};
  if (stat(Value.c_str(), &Info) != 0 || !S_ISREG(Info.st_mode) || access(Value.c_str(), R_OK) != 0)
    return "cannot read the file '" + Value + "'";
  S.CaFile = Value;
  return "";
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// Decodes %XX escapes; false for a "%" not followed by two hex digits.
bool PercentDecode(const std::string& Text, std::string& Decoded) {
  Decoded.clear();
  for (size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] != '%') {
      Decoded += Text[I];
      continue;
    }
    const int High = I + 2 < Text.size() ? HexDigit(Text[I + 1]) : -1;
    const int Low = I + 2 < Text.size() ? HexDigit(Text[I + 2]) : -1;
    if (High < 0 || Low < 0) return false;
    Decoded += static_cast<char>(High * 16 + Low);
    I += 2;
  }
  return true;
}

std::string StoreProxy(TSettings& S, const std::string& Value) { return ParseProxyUrl(Value, S.Proxy); }

std::string StoreStateFile(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty file name";
  S.StateFile = Value;
  return "";
}

std::string StoreAuth(TSettings& S, const std::string& Value) {
  for (const char* Method : {"auto", "user", "apop", "plain", "scram-sha-256", "xoauth2", "oauthbearer"})
    if (Value == Method) {
      S.Auth = Value;
      return "";
    }
  return "'" + Value + "' is none of auto, user, apop, plain, scram-sha-256, xoauth2, oauthbearer";
}

std::string StorePasswordCommand(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty command";
  S.PasswordCommand = Value;
  return "";
}

std::string StoreKeep(TSettings& S, const std::string& Value) {
  if (Value.empty()) return "an empty word";
  S.KeepWords.push_back(Value);
  return "";
}

std::string StoreField(TSettings& S, const std::string& Value) {
  // A field name is printable ASCII without blanks and colon.
  const bool Valid = !Value.empty() && std::all_of(Value.begin(), Value.end(), [](char C) { return C > 0x20 && C < 0x7F && C != ':'; });
  if (!Valid) return "'" + Value + "' is not a header field name";
  const std::string Lower = AsciiLower(Value);
  if (std::find(S.Fields.begin(), S.Fields.end(), Lower) == S.Fields.end()) S.Fields.push_back(Lower);
  return "";
}

std::string StoreLargerThan(TSettings& S, const std::string& Value) {
  uint64_t Bytes = 0;
  if (!ParseSize(Value, Bytes)) return "'" + Value + "' is not a size (bytes, or a number with k, M or G)";
  S.LargerThan = Bytes;
  return "";
}

// Settings that make no sense together, found once every option is read.
std::string Conflicts(const TSettings& S) {
  if (S.Tls && S.StartTls) return "--tls and --starttls exclude each other";
  if (!S.StateFile.empty() && !S.OnlyNew) return "--state-file needs --only-new";
  // The secret has one source: a password on the line as well would be used
  // by nobody, and would stand where every local user can read it.
  if (!S.PasswordCommand.empty() && S.HasMailbox && S.Password != "-")
    return "with --password-command the password parameter must be -";
  // Without TLS these would be ignored, and the user would believe the
  // session secured.
  if (!S.Tls && !S.StartTls) {
    if (!S.CaFile.empty()) return "--ca-file needs --tls or --starttls";
    if (S.Insecure) return "--insecure needs --tls or --starttls";
  }
  return "";
}

const TOption Options[] = {
    {"--dry-run", nullptr, "delete nothing; show each matching message as WOULD DELETE",
     Switch<&TSettings::DryRun>},
    {"--decode", nullptr, "also match and show headers decoded and unfolded, in any letter's case",
     Switch<&TSettings::Decode>},
    {"--no-pipelining", nullptr, "one command at a time, even where the server takes them ahead",
     Switch<&TSettings::NoPipelining>},
    {"--port", "N", "server port (1-65535); default 110, or 995 with --tls", StorePort},
    {"--tls", nullptr, "TLS from the first byte (port 995 unless --port)",
     Switch<&TSettings::Tls>},
    {"--starttls", nullptr, "connect in clear, then switch to TLS with STLS; no login without it",
     Switch<&TSettings::StartTls>},
    {"--ca-file", "FILE", "trust the certificates in FILE (PEM) instead of the system's store", StoreCaFile},
    {"--insecure", nullptr, "do not check the server's certificate (warns on standard error)",
     Switch<&TSettings::Insecure>},
    {"--proxy", "URL",
     "connect through a proxy: socks5://, socks5h:// (the proxy resolves the name), socks4://, "
     "socks4a:// or http:// (CONNECT), as scheme://[user:password@]host[:port], port 1080 by default",
     StoreProxy},
    {"--only-new", nullptr,
     "read only the headers of messages not judged before (state kept per mailbox under "
     "$XDG_STATE_HOME/quorrel/)",
     Switch<&TSettings::OnlyNew>},
    {"--state-file", "FILE", "keep the --only-new state in FILE", StoreStateFile},
    {"--quiet", nullptr,
     "show only the messages deleted (or not deleted, or that would be), then one line of counts",
     Switch<&TSettings::Quiet>},
    {"--sysexits", nullptr,
     "exit statuses for schedulers: 0 done and QUIT confirmed, 64 bad option, 68 unknown server, "
     "69 refused/TLS/proxy, 74 output lost, 75 time-out/connection lost/QUIT unconfirmed, "
     "76 reply out of step, 77 login refused",
     Switch<&TSettings::SysExits>},
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
     Switch<&TSettings::Regex>},
    {"--larger-than", "SIZE",
     "also delete every message larger than SIZE (as LIST gives it; bytes, k, M, G), "
     "e.g. --larger-than 5M",
     StoreLargerThan},
    {"--help", nullptr, "show this help and exit",
     Switch<&TSettings::Help>},
    {"--version", nullptr, "show the version line and exit",
     Switch<&TSettings::Version>},
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
    case 1: S.User = Word; break;
    case 2: S.Password = Word; break;
    case 3: S.Server = Word; break;
    default:
      if (Word.empty() || Word[0] != '-') S.FilterWords.push_back(Word);
  }
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& Args, TSettings& Settings, std::string& Error) {
  bool OptionsEnded = false;
  size_t Count = 0;
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    if (OptionsEnded || Arg.rfind("--", 0) != 0) {
      TakeParameter(Settings, Count, Arg);
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
    if (!Option) {
      Error = "unknown option " + Name;
      return false;
    }
    std::string Value;
    if (!Option->ValueName) {
      if (Equals != std::string::npos) {
        Error = Name + " takes no value";
        return false;
      }
    } else if (Equals != std::string::npos) {
      Value = Arg.substr(Equals + 1);
    } else if (I + 1 < Args.size()) {
      Value = Args[++I];
    } else {
      Error = Name + " needs a value (" + Option->ValueName + ")";
      return false;
    }
    const std::string Bad = Option->Store(Settings, Value);
    if (!Bad.empty()) {
      Error = Name + ": " + Bad;
      return false;
    }
  }
  Settings.HasMailbox = Count >= 3;
  // A size limit is a rule of its own: the mailbox is then judged, not listed.
  Settings.ListOnly = Count == 3 && !Settings.LargerThan;
  Error = Conflicts(Settings);
  return Error.empty();
}

bool ParseSize(const std::string& Text, uint64_t& Bytes) {
  size_t Digits = 0;
  while (Digits < Text.size() && Text[Digits] >= '0' && Text[Digits] <= '9') ++Digits;
  if (Digits == 0 || Digits > 20 || Text.size() > Digits + 1) return false;
  unsigned Shift = 0;
  if (Text.size() > Digits) {
    switch (Text[Digits]) {
      case 'k': case 'K': Shift = 10; break;
      case 'm': case 'M': Shift = 20; break;
      case 'g': case 'G': Shift = 30; break;
      default: return false;
    }
  }
  uint64_t Value = 0;
  for (size_t I = 0; I < Digits; ++I) {
    const uint64_t Digit = uint64_t(Text[I] - '0');
    if (Value > (UINT64_MAX - Digit) / 10) return false;
    Value = Value * 10 + Digit;
  }
  if (Shift > 0 && Value > (UINT64_MAX >> Shift)) return false;
  Bytes = Value << Shift;
  return true;
}

std::string HelpText(const std::string& ProgramName) {
  std::string Text = "Usage: " + ProgramName + " [options] UserName Password Server [Filter1] [...]\r\n";
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

std::string ParseProxyUrl(const std::string& Url, TProxy& Proxy) {
  static const struct {
    const char* Name;
    TProxyScheme Scheme;
  } Schemes[] = {{"socks5", TProxyScheme::Socks5},   {"socks5h", TProxyScheme::Socks5h},
                 {"socks4", TProxyScheme::Socks4},   {"socks4a", TProxyScheme::Socks4a},
                 {"http", TProxyScheme::Http}};
  TProxy Result;
  const size_t SchemeEnd = Url.find("://");
  if (SchemeEnd == std::string::npos) return "'" + Url + "' is not of the form scheme://[user:password@]host[:port]";
  const std::string Scheme = AsciiLower(Url.substr(0, SchemeEnd));
  for (const auto& Known : Schemes)
    if (Scheme == Known.Name) Result.Scheme = Known.Scheme;
  if (Result.Scheme == TProxyScheme::None)
    return "unknown proxy scheme '" + Url.substr(0, SchemeEnd) + "' (socks5, socks5h, socks4, socks4a, http)";

  std::string Rest = Url.substr(SchemeEnd + 3);
  if (!Rest.empty() && Rest.back() == '/') Rest.pop_back();
  if (Rest.find('/') != std::string::npos) return "a proxy address has no path: '" + Url + "'";
  const size_t At = Rest.rfind('@');
  if (At != std::string::npos) {
    const std::string UserInfo = Rest.substr(0, At);
    Rest.erase(0, At + 1);
    const size_t Colon = UserInfo.find(':');
    if (!PercentDecode(UserInfo.substr(0, Colon), Result.User) ||
        (Colon != std::string::npos && !PercentDecode(UserInfo.substr(Colon + 1), Result.Password)))
      return "bad percent-escape in the proxy's user name or password";
    if (Result.Scheme == TProxyScheme::Socks4 || Result.Scheme == TProxyScheme::Socks4a) {
      if (!Result.Password.empty()) return "SOCKS 4 carries a user name but no password";
    }
  }
  std::string PortText;
  if (!Rest.empty() && Rest[0] == '[') {
    const size_t Close = Rest.find(']');
    if (Close == std::string::npos) return "unclosed '[' in the proxy's host";
    Result.Host = Rest.substr(1, Close - 1);
    if (Close + 1 < Rest.size()) {
      if (Rest[Close + 1] != ':') return "unexpected text after the proxy's host";
      PortText = Rest.substr(Close + 2);
      if (PortText.empty()) return "empty proxy port";
    }
  } else {
    const size_t Colon = Rest.rfind(':');
    Result.Host = Rest.substr(0, Colon);
    if (Colon != std::string::npos) {
      PortText = Rest.substr(Colon + 1);
      if (PortText.empty()) return "empty proxy port";
    }
  }
  if (Result.Host.empty()) return "no proxy host in '" + Url + "'";
  if (!PortText.empty()) {
    if (!IsPortNumber(PortText)) return "'" + PortText + "' is not a port number (1-65535)";
    Result.Port = std::to_string(std::stoi(PortText));
  }
  Proxy = Result;
  return "";
}

}  // namespace quorrel
