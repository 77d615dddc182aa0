// The program's start and end around the socket interface: a load failure ends
// the program with the runtime's report, a normal start prints the usage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "blocksock/block_socket.h"
#include "quorrel/program/runtime.h"
#include "support/requirement.h"
#include "support/process.h"

using namespace quorrel;

namespace {

struct TRunResult {
  int Status = -1;
  std::string Out, Err;
};

// Runs RunProgram in a child process whose socket library name is LibraryName.
TRunResult RunInChild(const std::string& LibraryName, std::vector<std::string> Args) {
  std::string Dir = MakeTempDir("quorrel-program");
  std::string OutFile = Dir + "/out", ErrFile = Dir + "/err";
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t Pid = fork();
  if (Pid == 0) {
    // The test program's own start code has loaded the interface already.
    BlockSockModuleEnd();
    SocketLibraryName = LibraryName;
    int Out = open(OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int Err = open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(Out, 1);
    dup2(Err, 2);
    std::vector<char*> Argv;
    for (auto& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    int Status = RunProgram(static_cast<int>(Args.size()), Argv.data());
    std::fflush(nullptr);
    _exit(Status);
  }
  TRunResult Result;
  int Status = 0;
  if (Pid > 0 && waitpid(Pid, &Status, 0) == Pid && WIFEXITED(Status)) Result.Status = WEXITSTATUS(Status);
  Result.Out = ReadFile(OutFile);
  Result.Err = ReadFile(ErrFile);
  RemoveTree(Dir);
  return Result;
}

TEST(ProgramStart, LoadFailureIsReportedAsEscapedException) {
  TRunResult R = RunInChild("/nonexistent/libsockets.so", {"/usr/local/bin/quorrel", "u", "p", "127.0.0.1"});
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.Out, "");  // the driver never ran: no banner
  std::regex Report(
      "Exception ESocketError in module quorrel at (0x)?[0-9a-fA-F]+\\.\r\n"
      "Error loading Socket interface \\(ws2_32\\.dll\\)!\\.\r\n\r\n");
  EXPECT_TRUE(std::regex_match(R.Err, Report)) << R.Err;
}

TEST(ProgramStart, NormalStartRunsTheDriver) {
  TRunResult R = RunInChild("ws2_32.dll", {"/some/dir/quorrel"});
  EXPECT_EQ(R.Status, 0);
  EXPECT_EQ(R.Err, "");
  EXPECT_NE(R.Out.find("Quorrel version 1.0"), std::string::npos);
  EXPECT_NE(R.Out.find("\r\nquorrel UserName Passwod Server [Filter1] [...]\r\n"), std::string::npos) << R.Out;
}

TEST(ProgramStart, BinaryWithoutArgumentsPrintsBannerAndUsage) {
  const char* Binary = std::getenv("QUORREL_BINARY");
  if (!Binary) QUORREL_REQUIRE(std::string("QUORREL_BINARY is not set (run through ctest)"));
  std::string Output;
  int Status = RunCommand(std::string("'") + Binary + "' 2>&1 </dev/null", &Output);
  EXPECT_EQ(Status, 0);
  std::string Name = Binary;
  Name = Name.substr(Name.rfind('/') + 1);
  std::regex Expected("Quorrel version 1\\.0 [^\r\n]+\r\n" + Name +
                      " UserName Passwod Server \\[Filter1\\] \\[\\.\\.\\.\\]\r\n");
  EXPECT_TRUE(std::regex_match(Output, Expected)) << Output;
}

}  // namespace
