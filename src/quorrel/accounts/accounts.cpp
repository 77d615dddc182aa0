#include "quorrel/accounts/accounts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <toml++/toml.h>

#include "quorrel/durable/durable_file.h"
#include "quorrel/state/state.h"

namespace quorrel {

namespace {

// What a key's value must be.
enum class TType { Text, Flag, Number, Real, Words, Size, Bin };

struct TKey {
  const char* Name;
  TType Type;
};

// Every key an account may set, by the long option it stands for.
const TKey Keys[] = {
    {"server", TType::Text},        {"user", TType::Text},           {"password", TType::Text},
    {"port", TType::Number},        {"tls", TType::Flag},            {"starttls", TType::Flag},
    {"ca-file", TType::Text},       {"insecure", TType::Flag},       {"proxy", TType::Text},
    {"auth", TType::Text},          {"password-command", TType::Text}, {"filter", TType::Words},
    {"keep", TType::Words},         {"field", TType::Words},         {"regex", TType::Flag},
    {"larger-than", TType::Size},   {"decode", TType::Flag},         {"no-pipelining", TType::Flag},
    {"only-new", TType::Flag},      {"state-file", TType::Text},     {"recycle", TType::Bin},
    {"recycle-days", TType::Number}, {"why", TType::Flag},        {"tls-fingerprint", TType::Words},
    {"classifier", TType::Text},    {"classify-command", TType::Text}, {"classifier-db", TType::Text},
    {"classifier-address", TType::Text}, {"classifier-controller", TType::Text}, {"spam-score", TType::Real},
    {"classify-lines", TType::Number}, {"classify-jobs", TType::Number}, {"classify-timeout", TType::Number},
};

const char* TypeName(TType Type) {
  switch (Type) {
    case TType::Text: return "a string";
    case TType::Flag: return "true or false";
    case TType::Number: return "a whole number";
    case TType::Real: return "a number";
    case TType::Words: return "a list of strings";
    case TType::Size: return "a size (a number of bytes, or a string such as \"5M\")";
    case TType::Bin: return "false or a folder's name";
  }
  return "";
}

bool Fits(const toml::node& Node, TType Type) {
  switch (Type) {
    case TType::Text: return Node.is_string();
    case TType::Flag: return Node.is_boolean();
    case TType::Number: return Node.is_integer();
    case TType::Real: return Node.is_integer() || Node.is_floating_point();
    case TType::Size: return Node.is_string() || Node.is_integer();
    case TType::Bin: return Node.is_string() || Node.is_boolean();
    case TType::Words: {
      const toml::array* List = Node.as_array();
      return List && std::all_of(List->begin(), List->end(), [](const toml::node& N) { return N.is_string(); });
    }
  }
  return false;
}

// The values of one account: its own keys over those of [defaults], where
// filter and keep lists are joined.
using TValues = std::map<std::string, std::vector<const toml::node*>>;

class TReader {
 public:
  explicit TReader(std::string Path) : Path(std::move(Path)) {}

  TStatus Bad(const toml::source_region& Where, const std::string& Why) const {
    std::string At = Path;
    if (Where.begin.line > 0) At += ":" + std::to_string(Where.begin.line) + ":" + std::to_string(Where.begin.column);
    return TStatus::Fail(TFailureKind::Usage, At + ": " + Why);
  }

  // Checks each key of Table (named Title in messages) and adds its value.
  TStatus Take(const toml::table& Table, const std::string& Title, TValues& Values) const {
    for (const auto& [Key, Node] : Table) {
      const std::string Name(Key.str());
      const auto Found =
          std::find_if(std::begin(Keys), std::end(Keys), [&](const TKey& K) { return Name == K.Name; });
      if (Found == std::end(Keys)) return Bad(Key.source(), "unknown key '" + Name + "' in [" + Title + "]");
      if (!Fits(Node, Found->Type))
        return Bad(Node.source(), "'" + Name + "' in [" + Title + "] must be " + TypeName(Found->Type));
      // The account's own way to its password stands in place of the
      // defaults' other way.
      if (Name == "password") Values.erase("password-command");
      if (Name == "password-command") Values.erase("password");
      std::vector<const toml::node*>& Slot = Values[Name];
      // An account's filter and keep words come beside the defaults' ones;
      // any other key of its own stands in their place.
      if (Name != "filter" && Name != "keep") Slot.clear();
      Slot.push_back(&Node);
    }
    return TStatus::Ok();
  }

  std::string Path;
};

std::string Text(const TValues& Values, const char* Key) {
  const auto Found = Values.find(Key);
  return Found == Values.end() ? "" : std::string(Found->second.back()->as_string()->get());
}

bool Flag(const TValues& Values, const char* Key) {
  const auto Found = Values.find(Key);
  return Found != Values.end() && Found->second.back()->as_boolean()->get();
}

std::vector<std::string> Words(const TValues& Values, const char* Key) {
  std::vector<std::string> Out;
  const auto Found = Values.find(Key);
  if (Found == Values.end()) return Out;
  for (const toml::node* List : Found->second)
    for (const toml::node& Word : *List->as_array()) Out.push_back(std::string(Word.as_string()->get()));
  return Out;
}

// The account's command line, and what a listing shows of it.
TStatus Build(const TReader& Reader, const std::string& Name, const toml::table& Table, const TValues& Values,
              TAccount& A) {
  const std::string Title = "accounts." + Name;
  A.Name = Name;
  A.User = Text(Values, "user");
  A.Server = Text(Values, "server");
  if (A.Server.empty()) return Reader.Bad(Table.source(), "[" + Title + "] has no 'server'");
  if (A.User.empty()) return Reader.Bad(Table.source(), "[" + Title + "] has no 'user'");
  A.HasPassword = Values.count("password") > 0;
  A.Password = Text(Values, "password");
  if (!A.HasPassword && !Values.count("password-command"))
    return Reader.Bad(Table.source(), "[" + Title + "] has neither 'password' nor 'password-command'");
  for (const auto& [Key, Nodes] : Values) {
    const toml::node& Value = *Nodes.back();
    const std::string Option = "--" + Key;
    if (Key == "server" || Key == "user" || Key == "password" || Key == "filter" || Key == "recycle" ||
        Key == "recycle-days")
      continue;
    if (Value.is_boolean()) {
      if (Value.as_boolean()->get()) A.Options.push_back(Option);
    } else if (Value.is_integer()) {
      A.Options.insert(A.Options.end(), {Option, std::to_string(Value.as_integer()->get())});
    } else if (Value.is_floating_point()) {
      // The shortest text that reads back as the same number.
      char Number[32];
      const auto Written = std::to_chars(Number, Number + sizeof Number, Value.as_floating_point()->get());
      A.Options.insert(A.Options.end(), {Option, std::string(Number, Written.ptr)});
    } else if (Value.is_string()) {
      A.Options.insert(A.Options.end(), {Option, std::string(Value.as_string()->get())});
    } else {
      for (const std::string& Word : Words(Values, Key.c_str())) A.Options.insert(A.Options.end(), {Option, Word});
    }
  }
  // In the file the bin is on unless the account says otherwise.
  const auto Bin = Values.find("recycle");
  if (Bin == Values.end() || Bin->second.back()->is_string())
    A.Bin = Bin == Values.end() ? DefaultBinFolder(Name) : Text(Values, "recycle");
  else if (Bin->second.back()->as_boolean()->get())
    A.Bin = DefaultBinFolder(Name);
  if (!A.Bin.empty()) {
    A.Options.insert(A.Options.end(), {"--recycle", A.Bin});
    if (const auto Days = Values.find("recycle-days"); Days != Values.end())
      A.Options.insert(A.Options.end(), {"--recycle-days", std::to_string(Days->second.back()->as_integer()->get())});
  }
  const std::vector<std::string> Filters = Words(Values, "filter");
  for (const std::string& Word : Filters)
    if (Word.empty() || Word[0] == '-')
      return Reader.Bad(Values.at("filter").back()->source(),
                        "a filter word in [" + Title + "] is empty or begins with '-': '" + Word + "'");
  A.Mailbox = {"--", A.User, "-", A.Server};
  A.Mailbox.insert(A.Mailbox.end(), Filters.begin(), Filters.end());
  A.Tls = Flag(Values, "tls") || Flag(Values, "starttls");
  A.Port = Values.count("port") ? std::to_string(Values.at("port").back()->as_integer()->get())
                                : Flag(Values, "tls") ? "995" : "110";
  A.Auth = Values.count("auth") ? Text(Values, "auth") : "auto";
  A.FilterCount = Filters.size();
  A.KeepCount = Words(Values, "keep").size();
  A.Classifier = Values.count("classifier")         ? Text(Values, "classifier")
                 : Values.count("classify-command") ? "command"
                                                    : "";
  if (Flag(Values, "only-new"))
    A.State = Values.count("state-file") ? Text(Values, "state-file")
                                         : TMailboxState::DefaultPath(A.User, A.Server, A.Port);
  return TStatus::Ok();
}

// A password in a file that others can read is a password given to them.
TStatus OnlyYoursToRead(const std::string& Path) {
  struct stat Info {};
  if (::stat(Path.c_str(), &Info) != 0) return TStatus::Ok();
  char Mode[8];
  std::snprintf(Mode, sizeof Mode, "%04o", unsigned(Info.st_mode & 07777));
  if (Info.st_uid == ::getuid() && (Info.st_mode & 077) == 0) return TStatus::Ok();
  const std::string Why = Info.st_uid != ::getuid() ? "is owned by another user (uid " + std::to_string(Info.st_uid) + ")"
                                                     : std::string("has mode ") + Mode;
  return TStatus::Fail(TFailureKind::Refused, Path + " " + Why + ": a 'password' key is allowed only in a file that "
                                                   "only you can read (chmod 600 " + Path + ")");
}

}  // namespace

std::string DefaultAccountsPath() {
  const std::string Base = UserFolder("XDG_CONFIG_HOME", ".config");
  return Base.empty() ? "" : Base + "/quorrel/accounts.toml";
}

std::string DefaultBinFolder(const std::string& Name) {
  const std::string Base = UserFolder("XDG_DATA_HOME", ".local/share");
  return Base.empty() ? "" : Base + "/quorrel/recycle/" + Name;
}

TResult<TAccountsFile> ReadAccounts(const std::string& Path) {
  const auto Unreadable = [&Path](const std::string& Why) {
    return TStatus::Fail(TFailureKind::NoInput, "cannot read the accounts file " + Path + ": " + Why);
  };
  struct stat Info {};
  if (::stat(Path.c_str(), &Info) != 0) return Unreadable(std::strerror(errno));
  if (!S_ISREG(Info.st_mode)) return Unreadable("it is not a file");
  std::ifstream In(Path, std::ios::binary);
  if (!In) return Unreadable(std::strerror(errno));
  std::stringstream Text;
  Text << In.rdbuf();
  const std::string Content = Text.str();
  const TReader Reader(Path);
  toml::table Root;
  try {
    Root = toml::parse(Content, Path);
  } catch (const toml::parse_error& E) {
    return Reader.Bad(E.source(), std::string(E.description()));
  }
  TValues Defaults;
  TAccountsFile File{Path, {}};
  for (const auto& [Key, Node] : Root) {
    if (Key.str() == "defaults" && Node.is_table()) continue;
    if (Key.str() == "accounts" && Node.is_table()) continue;
    return Reader.Bad(Key.source(), "unknown key '" + std::string(Key.str()) +
                                        "': the file holds a [defaults] table and [accounts.NAME] tables");
  }
  if (const toml::table* Given = Root["defaults"].as_table())
    if (const TStatus Taken = Reader.Take(*Given, "defaults", Defaults); !Taken) return Taken;
  const toml::table* Accounts = Root["accounts"].as_table();
  if (!Accounts || Accounts->empty()) return Reader.Bad({}, "no [accounts.NAME] table");
  bool Passwords = false;
  for (const auto& [Key, Node] : *Accounts) {
    const std::string Name(Key.str());
    const toml::table* Table = Node.as_table();
    if (!Table) return Reader.Bad(Key.source(), "'accounts." + Name + "' must be a table ([accounts." + Name + "])");
    TValues Values = Defaults;
    if (const TStatus Taken = Reader.Take(*Table, "accounts." + Name, Values); !Taken) return Taken;
    TAccount Account;
    if (const TStatus Built = Build(Reader, Name, *Table, Values, Account); !Built) return Built;
    Passwords = Passwords || Account.HasPassword;
    File.Accounts.push_back(std::move(Account));
  }
  // toml++ keeps a table's keys in order of name: the file's order is the
  // order in which the tables begin.
  std::stable_sort(File.Accounts.begin(), File.Accounts.end(), [&](const TAccount& A, const TAccount& B) {
    return (*Accounts)[A.Name].node()->source().begin < (*Accounts)[B.Name].node()->source().begin;
  });
  if (Passwords)
    if (const TStatus Private = OnlyYoursToRead(Path); !Private) return Private;
  return File;
}

TResult<std::vector<TAccount>> PickAccounts(const TAccountsFile& File, const std::vector<std::string>& Names) {
  if (Names.empty()) return File.Accounts;
  std::vector<TAccount> Out;
  for (const TAccount& A : File.Accounts)
    if (std::find(Names.begin(), Names.end(), A.Name) != Names.end()) Out.push_back(A);
  for (const std::string& Name : Names)
    if (std::none_of(File.Accounts.begin(), File.Accounts.end(), [&](const TAccount& A) { return A.Name == Name; })) {
      std::string Known;
      for (const TAccount& A : File.Accounts) Known += (Known.empty() ? "" : ", ") + A.Name;
      return TStatus::Fail(TFailureKind::Usage, File.Path + ": no account '" + Name + "' (it has " + Known + ")");
    }
  return Out;
}

}  // namespace quorrel
