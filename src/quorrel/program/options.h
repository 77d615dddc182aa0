// The tool's command line: options ("--name value" or "--name=value", anywhere
// on the line, "--" ends them) and the positional parameters around them.
//
// Every option is one entry of a table in options.cpp: its name, whether it
// takes a value, how that value is stored into TSettings, and its line of help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorrel/classify/settings.h"
#include "quorrel/rules/rules.h"
#include "quorrel/session/mailbox.h"
#include "quorrel/status/status.h"

namespace quorrel {

// How the run goes, whatever the mailbox and the rules.
struct TRunMode {
  bool ListOnly = false;  // exactly three parameters: everything listed, nothing deleted
  bool Help = false;
  bool Version = false;
  bool DryRun = false;
  bool NoPipelining = false;
  bool SysExits = false;  // exit statuses from sysexits.h
  bool Quiet = false;     // standard output: only the messages acted on, and a summary
  bool OnlyNew = false;   // read only the headers of messages not judged before
  bool Why = false;       // each verdict line ends with the rule that decided it
  bool ServerInfo = false;  // report what the server offers; read and delete nothing
};

// The recycle bin: where a copy of each message goes before its DELE.
struct TBinSettings {
  std::string Folder;  // --recycle; empty: no bin
  int Days = 30;       // --recycle-days: copies older than this go (0: kept forever)
  bool DaysGiven = false;
  std::string Listed;  // --list-recycled: the bin to list, without a server
};

// The accounts file: which accounts to sweep, side by side.
struct TAccountSettings {
  std::string Config;              // --config; empty: the default path
  std::vector<std::string> Names;  // --account, in the order given
  bool All = false;                // --all
  bool List = false;               // --list-accounts
  int Jobs = 4;                    // --jobs: accounts swept at once
  bool JobsGiven = false;
  // The file is read only when one of these asks for it.
  bool Wanted() const { return All || List || !Names.empty(); }
};

// What the command line says, by what each part describes. The parameters
// that are not options: the first three name the mailbox and are taken as they
// stand; from the fourth on, those that do not begin with "-" are filter
// words, in command-line order.
struct TSettings {
  bool HasMailbox = false;  // all three were given; else only the usage line is shown
  size_t ParameterCount = 0;
  TMailbox Mailbox;
  TRuleSettings Rules;
  TRunMode Mode;
  TBinSettings Bin;
  TAccountSettings Accounts;
  TClassifierSettings Classifier;
  std::vector<std::string> Parameters;  // as given, in order: in a teaching run, the messages
};

// The options of Args that choose accounts (--config, --account, --all,
// --jobs, --list-accounts) left out: what applies to every account swept.
std::vector<std::string> OptionsForEachAccount(const std::vector<std::string>& Args);

// Fills Settings from Args (the parameters after the program name). Options
// stand anywhere before a lone "--", which ends them (and, behind the server,
// still counts as an ignored parameter). A Usage failure gives the one-line
// reason for a bad use of an option: a word beginning with "--" that is no
// option, a bad or missing value, a value given to an option that takes none,
// or options that do not go together.
TStatus ParseOptions(const std::vector<std::string>& Args, TSettings& Settings);

// The usage line followed by one line per option.
std::string HelpText(const std::string& ProgramName);

}  // namespace quorrel
