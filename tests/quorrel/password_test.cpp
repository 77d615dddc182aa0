// The password given as "-" and typed at a real pseudo-terminal: prompt on
// standard error, no echo, and no password in the running program's command line.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/dovecot.h"
#include "support/process.h"

using namespace quorrel;

namespace {

// Reads from Fd into Text until Wanted appears (or, with Wanted empty, until
// the other side closes), at most TimeoutMs.
bool ReadUntil(int Fd, std::string& Text, const std::string& Wanted, int TimeoutMs) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (std::chrono::steady_clock::now() < End) {
    if (!Wanted.empty() && Text.find(Wanted) != std::string::npos) return true;
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, 100) <= 0) continue;
    char Buffer[4096];
    const ssize_t N = read(Fd, Buffer, sizeof Buffer);
    if (N <= 0) return Wanted.empty();
    Text.append(Buffer, static_cast<size_t>(N));
  }
  return false;
}

struct TOutcome {
  std::string Transcript, CommandLine, Trouble;
  int Status = -1;
  size_t Left = 0;
};

// In a network namespace of its own: Dovecot, then the program on a
// pseudo-terminal, answering its prompt with Typed.
TOutcome TypeThePassword(const std::string& Typed) {
  const std::string Dir = MakeTempDir("quorrel-password");
  pid_t Child = fork();
  if (Child == 0) {
    // The child's work runs in a scope of its own: _exit skips destructors, and
    // Dovecot must be stopped by its own before the child ends.
    [&] {
      auto Fail = [&](const std::string& Why) { WriteFile(Dir + "/trouble", Why); };
      if (unshare(CLONE_NEWNET) != 0) return Fail("no network namespace (needs root)");
      if (std::system("ip link set lo up") != 0) return Fail("cannot bring loopback up");
      TDovecot Dovecot;
      if (!Dovecot.AddUser("alice", "secret") || !Dovecot.Deliver("alice", "Subject: Special offer\r\n\r\nBuy.\r\n") ||
          !Dovecot.Start())
        return Fail("Dovecot did not start: " + Dovecot.Log());
      const std::string Port = std::to_string(Dovecot.Port);
      int Master = -1;
      pid_t Tool = forkpty(&Master, nullptr, nullptr, nullptr);
      if (Tool == 0) {
        const char* Binary = std::getenv("QUORREL_BINARY");
        execl(Binary, Binary, "alice", "-", "127.0.0.1", "offer", "--port", Port.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      std::string Transcript;
      if (!ReadUntil(Master, Transcript, "Password: ", 20000)) {
        kill(Tool, SIGKILL);
        waitpid(Tool, nullptr, 0);
        return Fail("no prompt: " + Transcript);
      }
      WriteFile(Dir + "/cmdline", ReadFile("/proc/" + std::to_string(Tool) + "/cmdline"));
      const std::string Line = Typed + "\n";
      if (write(Master, Line.data(), Line.size()) != ssize_t(Line.size())) {
        kill(Tool, SIGKILL);
        waitpid(Tool, nullptr, 0);
        return Fail("cannot type");
      }
      ReadUntil(Master, Transcript, "", 60000);
      int Status = 0;
      waitpid(Tool, &Status, 0);
      close(Master);
      WriteFile(Dir + "/transcript", Transcript);
      WriteFile(Dir + "/status", std::to_string(WIFEXITED(Status) ? WEXITSTATUS(Status) : -1));
      WriteFile(Dir + "/left", std::to_string(Dovecot.List("alice").size()));
    }();
    _exit(0);
  }
  waitpid(Child, nullptr, 0);
  TOutcome O;
  O.Trouble = ReadFile(Dir + "/trouble");
  O.Transcript = ReadFile(Dir + "/transcript");
  O.CommandLine = ReadFile(Dir + "/cmdline");
  const std::string Status = ReadFile(Dir + "/status");
  O.Status = Status.empty() ? -1 : std::atoi(Status.c_str());
  O.Left = std::atoi(ReadFile(Dir + "/left").c_str());
  RemoveTree(Dir);
  return O;
}

class Password : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("QUORREL_BINARY"), nullptr) << "QUORREL_BINARY is not set";
    ASSERT_EQ(geteuid(), 0u) << "needs root for network namespaces";
    ASSERT_TRUE(TDovecot::Available()) << "needs Dovecot (Debian packages dovecot-core, dovecot-pop3d)";
  }
};

TEST_F(Password, TypedAtATerminalWithoutEchoAndNeverOnTheCommandLine) {
  TOutcome O = TypeThePassword("secret");
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Status, 0) << O.Transcript;
  EXPECT_EQ(O.Transcript.find("secret"), std::string::npos) << O.Transcript;
  EXPECT_NE(O.Transcript.find("1:Special offer"), std::string::npos) << O.Transcript;
  EXPECT_NE(O.Transcript.find(" DELETED"), std::string::npos) << O.Transcript;
  EXPECT_EQ(O.Left, 0u);
  EXPECT_EQ(O.CommandLine.find("secret"), std::string::npos) << O.CommandLine;
  EXPECT_NE(O.CommandLine.find(std::string("\0-\0", 3)), std::string::npos);
}

TEST_F(Password, AWrongOneTypedIsALoginError) {
  TOutcome O = TypeThePassword("wrong");
  ASSERT_EQ(O.Trouble, "");
  EXPECT_EQ(O.Status, 0);
  EXPECT_NE(O.Transcript.find("Login Error"), std::string::npos) << O.Transcript;
  EXPECT_EQ(O.Transcript.find("wrong"), std::string::npos) << O.Transcript;
  EXPECT_EQ(O.Left, 1u);
}

}  // namespace
