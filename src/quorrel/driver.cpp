// The command-line driver. For now: banner and usage; the sweep comes next.
#include "quorrel/driver.h"

#include <cstdio>

namespace {
const char* const Banner = "Quorrel version 1.0 https://quorrel.example.org\r\n";
}

int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args) {
  std::fputs(Banner, stdout);
  if (Args.size() < 3) {
    std::string Usage = ProgramName + " UserName Passwod Server [Filter1] [...]\r\n";
    std::fwrite(Usage.data(), 1, Usage.size(), stdout);
  }
  std::fflush(stdout);
  return 0;
}
