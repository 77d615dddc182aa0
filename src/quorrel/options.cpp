#include "quorrel/options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

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

std::string StorePort(TSettings& S, const std::string& Value) {
  const bool Digits = !Value.empty() && Value.size() <= 5 &&
                      std::all_of(Value.begin(), Value.end(), [](char C) { return C >= '0' && C <= '9'; });
  if (!Digits || std::stoi(Value) < 1 || std::stoi(Value) > 65535)
    return "'" + Value + "' is not a port number (1-65535)";
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

// Settings that make no sense together, found once every option is read.
std::string Conflicts(const TSettings& S) {
  if (S.Tls && S.StartTls) return "--tls and --starttls exclude each other";
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

bool ParseOptions(const std::vector<std::string>& Args, TSettings& Settings, std::string& Error) {
  bool OptionsEnded = false;
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    if (OptionsEnded || Arg.rfind("--", 0) != 0) {
      Settings.Positional.push_back(Arg);
      continue;
    }
    if (Arg == "--") {
      OptionsEnded = true;
      continue;
    }
    const size_t Equals = Arg.find('=');
    const std::string Name = Arg.substr(0, Equals);
    const TOption* Option = FindOption(Name);
    // Only the exact spellings are options; anything else that begins with
    // dashes stays a parameter, as it always was.
    if (!Option) {
      Settings.Positional.push_back(Arg);
      continue;
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
  Error = Conflicts(Settings);
  return Error.empty();
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
