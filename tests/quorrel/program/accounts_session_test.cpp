// Every mailbox from one file, end to end against Dovecot: accounts swept side
// by side with the defaults and rules of their own, their blocks in the file's
// order, an account whose server refuses (the others finish, the status names
// it), --account, and options from the command line over the file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/end_to_end.h"
#include "support/process.h"
#include "support/requirement.h"

using namespace quorrel;
using ::testing::HasSubstr;

TEST(Accounts, SweptSideBySideShownInTheFilesOrder) {
  TEndToEnd E2E;
  QUORREL_REQUIRE(E2E.Missing(TPeer::Dovecot));
  const std::string File = E2E.Dir + "/accounts.toml";
  // The bin's default folder, away from the home of whoever runs the tests.
  ::setenv("XDG_DATA_HOME", (E2E.Dir + "/data").c_str(), 1);
  WriteFile(File, R"([defaults]
server = "127.0.0.1"
filter = ["lottery"]
keep = ["boss@"]
password-command = "echo secret"
[accounts.isp]
user = "alice"
[accounts.down]
user = "alice"
port = 1111
[accounts.work]
user = "bob"
filter = ["minutes"]
recycle = false
)");
  ::chmod(File.c_str(), 0644);
  const std::vector<std::string> Mailbox = {Message({"Subject: Lottery 1"}), Message({"Subject: Minutes 2"}),
                                            Message({"From: boss@example.org", "Subject: Lottery 3"})};
  const TOutcome O = E2E.Run({.Messages = Mailbox,
                              .OtherMailboxes = {{"bob", Mailbox}},
                              .Runs = {{"--config", File, "--account", "work", "--dry-run"},
                                       {"--config", File, "--all", "--sysexits", "--jobs", "2"},
                                       {"--config", File, "--account", "isp", "--serverinfo"}},
                              .StderrExpected = true});
  ::unsetenv("XDG_DATA_HOME");
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Outputs[0], Banner + "== work\r\n3 emails found, " + SizeOf(Mailbox) +
                              " bytes\r\n3:Lottery 3 KEPT\r\n2:Minutes 2 WOULD DELETE\r\n1:Lottery 1 WOULD DELETE\r\n");
  EXPECT_EQ(O.Statuses, (std::vector<int>{0, 69, 0}));
  EXPECT_THAT(O.Outputs[2], HasSubstr("== isp\r\nserver: 127.0.0.1:110\r\n"));
  EXPECT_THAT(O.Outputs[2], HasSubstr("\r\nlogin: accepted\r\n"));
  const std::string& All = O.Outputs[1];
  EXPECT_EQ(All.find("== isp"), Banner.size()) << All;
  EXPECT_LT(All.find("== isp"), All.find("== down"));
  EXPECT_LT(All.find("== down"), All.find("== work"));
  EXPECT_THAT(All, HasSubstr("== down\r\nLogin Error\r\n== work\r\n"));
  EXPECT_THAT(All, HasSubstr("3:Lottery 3 KEPT\r\n2:Minutes 2 SKIPPED\r\n1:Lottery 1 DELETED\r\n== down"));
  EXPECT_THAT(O.Errors[1], HasSubstr("quorrel: account down failed: the server, TLS or the proxy refused service (status 69)"));
  EXPECT_EQ(O.Left, (std::vector<int>{2, 3}));
  EXPECT_EQ(O.LeftOf.at("bob"), (std::vector<int>{3}));
  // The bin is on by default, for isp in its default folder; work has none.
  EXPECT_EQ(FilesIn(E2E.Dir + "/data/quorrel/recycle/isp/new").size(), 1u);
  EXPECT_NE(::access((E2E.Dir + "/data/quorrel/recycle/work").c_str(), F_OK), 0);
}
