// The accounts file: every mailbox of the user in one TOML file, a [defaults]
// table and one [accounts.NAME] table each, keyed by the long option names.
// Each account comes out as the command line that sweeps it alone, so that an
// account swept from the file behaves as that command line would.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "quorrel/status/status.h"

namespace quorrel {

struct TAccount {
  std::string Name;
  // The options from the file, then "--", the user name, "-", the server and
  // the filter words: the password never stands on a command line.
  std::vector<std::string> Options;
  std::vector<std::string> Mailbox;
  bool HasPassword = false;  // a password key: given to the run on its standard input
  std::string Password;
  // What --list-accounts shows.
  std::string User, Server, Port, Auth;
  bool Tls = false;  // TLS from the first byte, or STLS
  size_t FilterCount = 0, KeepCount = 0;
  std::string Classifier;  // its name, or "command"; "" without one
  std::string Bin;    // the recycle bin's folder; "" without one
  std::string State;  // the --only-new state; "" without it
};

struct TAccountsFile {
  std::string Path;
  std::vector<TAccount> Accounts;  // in the file's order
};

// $XDG_CONFIG_HOME/quorrel/accounts.toml, else ~/.config/quorrel/accounts.toml.
std::string DefaultAccountsPath();
// The bin of an account that names none: $XDG_DATA_HOME/quorrel/recycle/NAME,
// else ~/.local/share/quorrel/recycle/NAME.
std::string DefaultBinFolder(const std::string& Name);

// Reads and checks the file. Failures are one line naming the file, and the
// line, column and key where there is one: NoInput when it cannot be read,
// Refused for a password key in a file that others may read, Usage for the
// rest (a syntax error, an unknown key, a value of the wrong type, an account
// without server or user, or without any way to its password).
TResult<TAccountsFile> ReadAccounts(const std::string& Path);

// The accounts of File that Names name, in the file's order (every account
// for an empty list); a Usage failure for a name the file does not have.
TResult<std::vector<TAccount>> PickAccounts(const TAccountsFile& File, const std::vector<std::string>& Names);

}  // namespace quorrel
