// The secret read from a command: its first line, and a clear reason for every
// way a command can fail, always in bounded time and with nothing left running.
#include "quorrel/secret_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

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

size_t OpenDescriptors() {
  size_t Count = 0;
  for ([[maybe_unused]] const auto& Entry : std::filesystem::directory_iterator("/proc/self/fd")) ++Count;
  return Count;
}

struct TCase {
  const char* Command;
  int TimeoutMs;
  std::string Secret, Reason;  // Reason: a part of the failure text, "" for success.
};

TEST(SecretCommand, FirstLineOrReason) {
  // A line waits on our own standard input: a command that got it would read it.
  int Input[2];
  ASSERT_EQ(pipe(Input), 0);
  ASSERT_EQ(write(Input[1], "leak\n", 5), 5);
  TRedirect Stdin(STDIN_FILENO, Input[0]);
  const size_t Descriptors = OpenDescriptors();

  const TCase Cases[] = {
      {"printf 'tok\\n'", 5000, "tok", ""},
      {"printf 'tok\\r\\nsecond\\n'", 5000, "tok", ""},
      {"printf tok", 5000, "tok", ""},
      {"head -c 10240 /dev/zero | tr '\\0' a; echo", 5000, std::string(10240, 'a'), ""},
      {"head -c 65536 /dev/zero | tr '\\0' a", 5000, std::string(65536, 'a'), ""},
      {"exit 3", 5000, "", "exited with status 3"},
      {"true", 5000, "", "printed nothing"},
      {"printf '\\n'", 5000, "", "first line is empty"},
      {"head -c 70000 /dev/zero | tr '\\0' a", 5000, "", "exceeds 64 KiB"},
      {"sleep 5", 300, "", "no answer within 300 ms"},
      {"read x; echo \"$x\"", 5000, "", "first line is empty"},
      {"kill -9 $$", 5000, "", "killed by signal 9"},
      {"kill -STOP $$", 5000, "", "stopped by signal " + std::to_string(SIGSTOP)},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Command);
    std::string Secret = "stale";
    const auto Start = std::chrono::steady_clock::now();
    const std::string Reason = RunSecretCommand(Case.Command, Secret, Case.TimeoutMs);
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(2));
    if (Case.Reason.empty()) {
      EXPECT_EQ(Reason, "");
    } else {
      EXPECT_NE(Reason.find(Case.Reason), std::string::npos) << Reason;
    }
    EXPECT_EQ(Secret, Case.Secret);
  }
  // Every command was reaped and every pipe closed, whichever way it ended.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(OpenDescriptors(), Descriptors);
  close(Input[1]);
}

TEST(SecretCommand, StandardErrorPassesByTheSecret) {
  const std::string Dir = MakeTempDir("quorrel-secret");
  std::string Secret, Reason;
  {
    const int Log = open((Dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(Log, 0);
    TRedirect Stderr(STDERR_FILENO, Log);
    Reason = RunSecretCommand("echo oops >&2; echo tok", Secret);
  }
  EXPECT_EQ(Reason, "");
  EXPECT_EQ(Secret, "tok");
  EXPECT_EQ(ReadFile(Dir + "/stderr"), "oops\n");
  RemoveTree(Dir);
}

// A process is gone when /proc has no entry for it or only its zombie, which
// waits for whoever inherited it.
bool Gone(const std::string& Pid) {
  const std::string Stat = ReadFile("/proc/" + Pid + "/stat");
  const auto Paren = Stat.rfind(')');
  return Paren == std::string::npos || Stat.substr(Paren + 2, 1) == "Z";
}

TEST(SecretCommand, TimeoutKillsWhatTheCommandStarted) {
  const std::string Dir = MakeTempDir("quorrel-secret");
  std::string Secret;
  const std::string Reason = RunSecretCommand("sleep 5 & echo $! > " + Dir + "/pid; wait", Secret, 300);
  EXPECT_NE(Reason.find("no answer"), std::string::npos) << Reason;
  std::string Pid = ReadFile(Dir + "/pid");
  Pid = Pid.substr(0, Pid.find('\n'));
  ASSERT_FALSE(Pid.empty());
  bool Dead = false;
  for (int Try = 0; Try < 100 && !(Dead = Gone(Pid)); ++Try) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(Dead) << "sleep " << Pid << " outlived the timeout";
  RemoveTree(Dir);
}

}  // namespace
