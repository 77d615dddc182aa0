// The secret read from a command: its first line, and a clear reason for every
// way a command can fail, always in bounded time and with nothing left running.
#include "quorrel/credentials/secret_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "support/process.h"

using namespace quorrel;

namespace {

// Puts another descriptor on Target for one scope.
class TRedirect {
 public:
  TRedirect(int Target, int Replacement) : Target(Target), Saved(dup(Target)) {
    dup2(Replacement, Target);
    close(Replacement);
  }
  ~TRedirect() {
    dup2(Saved, Target);
    close(Saved);
  }

 private:
  int Target, Saved;
};

TEST(SecretCommand, FirstLineOrReason) {
  // A line waits on our own standard input: a command that got it would read it.
  int Input[2];
  ASSERT_EQ(pipe(Input), 0);
  ASSERT_EQ(write(Input[1], "leak\n", 5), 5);
  TRedirect Stdin(STDIN_FILENO, Input[0]);

  const struct {
    const char* Command;
    int TimeoutMs;
    std::string Secret, Reason;  // Reason: a part of the failure text, "" for success.
  } Cases[] = {
      {"printf 'tok\\r\\nsecond\\n'", 5000, "tok", ""},
      {"head -c 65536 /dev/zero | tr '\\0' a", 5000, std::string(65536, 'a'), ""},
      {"head -c 70000 /dev/zero | tr '\\0' a", 5000, "", "exceeds 64 KiB"},
      {"exit 3", 5000, "", "exited with status 3"},
      {"sleep 5", 300, "", "no answer within 300 ms"},
      {"read x; echo \"$x\"", 5000, "", "first line is empty"},
      {"kill -9 $$", 5000, "", "killed by signal 9"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Command);
    std::string Secret = "stale";
    const std::string Reason = RunSecretCommand(Case.Command, Secret, Case.TimeoutMs).Message();
    EXPECT_TRUE(Case.Reason.empty() ? Reason.empty() : Reason.find(Case.Reason) != std::string::npos) << Reason;
    EXPECT_EQ(Secret, Case.Secret);
  }
  // Every command was reaped, whichever way it ended.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  close(Input[1]);
}

TEST(SecretCommand, StandardErrorPassesByTheSecret) {
  const std::string Dir = MakeTempDir("quorrel-secret");
  std::string Secret, Reason;
  {
    const int Log = open((Dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(Log, 0);
    TRedirect Stderr(STDERR_FILENO, Log);
    Reason = RunSecretCommand("echo oops >&2; echo tok", Secret).Message();
  }
  EXPECT_EQ(Reason, "");
  EXPECT_EQ(Secret, "tok");
  EXPECT_EQ(ReadFile(Dir + "/stderr"), "oops\n");
  RemoveTree(Dir);
}

TEST(SecretCommand, TimeoutKillsWhatTheCommandStarted) {
  const std::string Dir = MakeTempDir("quorrel-secret");
  std::string Secret;
  EXPECT_FALSE(RunSecretCommand("sleep 5 & printf %s $! > " + Dir + "/pid; wait", Secret, 300));
  const std::string Pid = ReadFile(Dir + "/pid");
  ASSERT_FALSE(Pid.empty());
  // Gone: /proc has no entry for it, or only the zombie its new parent reaps.
  auto Gone = [&] {
    const std::string Stat = ReadFile("/proc/" + Pid + "/stat");
    return Stat.empty() || Stat.substr(Stat.rfind(')') + 2, 1) == "Z";
  };
  for (int Try = 0; Try < 100 && !Gone(); ++Try) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(Gone()) << "sleep " << Pid << " outlived the timeout";
  RemoveTree(Dir);
}

}  // namespace
