// The accounts file: how an account's command line comes out of [defaults]
// and its own table, and the bad files, each refused with one line that names
// the file, the place and the key.
#include "quorrel/accounts/accounts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/process.h"

using namespace quorrel;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class AccountsFile : public ::testing::Test {
 protected:
  void SetUp() override { Dir = MakeTempDir("quorrel-accounts"); }
  void TearDown() override { RemoveTree(Dir); }
  TResult<TAccountsFile> Read(const std::string& Text, int Mode = 0600) {
    const std::string Path = Dir + "/accounts.toml";
    WriteFile(Path, Text);
    ::chmod(Path.c_str(), mode_t(Mode));
    return ReadAccounts(Path);
  }
  std::string Dir;
};

}  // namespace

TEST_F(AccountsFile, AnAccountTakesTheDefaultsItDoesNotSet) {
  ::setenv("XDG_DATA_HOME", "/data", 1);
  const auto File = Read(R"([defaults]
keep = ["boss@example.org"]
password-command = "pass mail"
port = 1110
[accounts.work]
server = "pop.work.example"
user = "ann"
keep = ["mum"]
filter = ["casino"]
port = 995
tls = true
recycle-days = 7
[accounts.isp]
server = "pop.isp.example"
user = "ann2"
password = "p"
recycle = false
larger-than = "5M"
classifier = "spamassassin"
spam-score = 6.5
)");
  ASSERT_TRUE(File) << File.Status().Message();
  ASSERT_EQ(File->Accounts.size(), 2u);
  const TAccount& Work = File->Accounts[0];  // the file's order, not the names'
  EXPECT_EQ(Work.Name, "work");
  EXPECT_THAT(Work.Options, ElementsAre("--keep", "boss@example.org", "--keep", "mum", "--password-command",
                                        "pass mail", "--port", "995", "--tls", "--recycle", "/data/quorrel/recycle/work",
                                        "--recycle-days", "7"));
  EXPECT_THAT(Work.Mailbox, ElementsAre("--", "ann", "-", "pop.work.example", "casino"));
  const TAccount& Isp = File->Accounts[1];
  // Its own password stands in place of the defaults' command.
  EXPECT_THAT(Isp.Options, ElementsAre("--classifier", "spamassassin", "--keep", "boss@example.org", "--larger-than",
                                       "5M", "--port", "1110", "--spam-score", "6.5"));
  EXPECT_EQ(Isp.Password, "p");
  EXPECT_EQ(Isp.Classifier, "spamassassin");
  EXPECT_EQ(Isp.Bin, "");
  EXPECT_EQ(PickAccounts(*File, {"isp"})->front().Name, "isp");
  EXPECT_EQ(PickAccounts(*File, {"home"}).Status().Message(),
            Dir + "/accounts.toml: no account 'home' (it has work, isp)");
  ::unsetenv("XDG_DATA_HOME");
}

TEST_F(AccountsFile, BadFilesAreRefusedWithWhereAndWhy) {
  const std::string Good = "[accounts.a]\nserver = \"s\"\nuser = \"u\"\n";
  const struct {
    std::string Text;
    int Mode;
    TFailureKind Kind;
    std::string Error;  // in the line that begins with the file's path
  } Cases[] = {
      {"[accounts.a\n", 0600, TFailureKind::Usage, ":1:12: Error while parsing table header"},
      {Good + "password = \"p\"\nfiltr = [\"x\"]\n", 0600, TFailureKind::Usage, ":5:1: unknown key 'filtr' in [accounts.a]"},
      {Good + "password = \"p\"\nport = \"x\"\n", 0600, TFailureKind::Usage, ":5:8: 'port' in [accounts.a] must be a whole number"},
      {Good + "password = \"p\"\ntls = \"yes\"\n", 0600, TFailureKind::Usage, ":5:7: 'tls' in [accounts.a] must be true or false"},
      {Good + "password = \"p\"\nkeep = [\"x\", 1]\n", 0600, TFailureKind::Usage, "'keep' in [accounts.a] must be a list of strings"},
      {"[accounts.a]\nuser = \"u\"\npassword = \"p\"\n", 0600, TFailureKind::Usage, ":1:1: [accounts.a] has no 'server'"},
      {"[accounts.a]\nserver = \"s\"\npassword = \"p\"\n", 0600, TFailureKind::Usage, ":1:1: [accounts.a] has no 'user'"},
      {Good, 0600, TFailureKind::Usage, "[accounts.a] has neither 'password' nor 'password-command'"},
      {Good + "password = \"p\"\n", 0644, TFailureKind::Refused, " has mode 0644: a 'password' key is allowed only"},
      {"[other]\n", 0600, TFailureKind::Usage, "unknown key 'other'"},
      {Good + "password = \"p\"\nspam-score = \"high\"\n", 0600, TFailureKind::Usage, "'spam-score' in [accounts.a] must be a number"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    const auto File = Read(C.Text, C.Mode);
    ASSERT_FALSE(File);
    EXPECT_EQ(File.Status().Kind(), C.Kind);
    EXPECT_EQ(File.Status().Message().rfind(Dir + "/accounts.toml", 0), 0u);
    EXPECT_THAT(File.Status().Message(), HasSubstr(C.Error));
  }
  EXPECT_EQ(ReadAccounts(Dir + "/none.toml").Status().Kind(), TFailureKind::NoInput);
  // A password command needs no private file.
  EXPECT_TRUE(Read(Good + "password-command = \"p\"\n", 0644));
}
