#include "quorrel/options.h"

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

const TOption Options[] = {
    {"--dry-run", nullptr, "delete nothing; show each matching message as WOULD DELETE",
     [](TSettings& S, const std::string&) {
       S.DryRun = true;
       return std::string();
     }},
    {"--decode", nullptr, "also match and show headers decoded and unfolded, in any letter's case",
     [](TSettings& S, const std::string&) {
       S.Decode = true;
       return std::string();
     }},
    {"--no-pipelining", nullptr, "one command at a time, even where the server takes them ahead",
     [](TSettings& S, const std::string&) {
       S.NoPipelining = true;
       return std::string();
     }},
    {"--help", nullptr, "show this help and exit",
     [](TSettings& S, const std::string&) {
       S.Help = true;
       return std::string();
     }},
    {"--version", nullptr, "show the version line and exit",
     [](TSettings& S, const std::string&) {
       S.Version = true;
       return std::string();
     }},
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
