// Runs a piece of code with standard output attached to a pseudo-terminal and
// returns every byte it wrote there. The terminal is raw, so the bytes arrive
// exactly as written (no CR added before LF).
#pragma once

#include "console/console.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace quorrel {

// Runs Code with standard output sent to Fd, and gives the old one back after;
// the console is told both times, as it keeps what it learnt of the output.
template <typename TCode>
void RunWithStandardOutputOn(int Fd, TCode& Code) {
  std::fflush(stdout);
  int Saved = dup(STDOUT_FILENO);
  dup2(Fd, STDOUT_FILENO);
  StandardOutputChanged();
  Code();
  std::fflush(stdout);
  dup2(Saved, STDOUT_FILENO);
  StandardOutputChanged();
  close(Saved);
}

template <typename TCode>
std::string CaptureOnTerminal(TCode Code) {
  int Master = -1, Slave = -1;
  if (openpty(&Master, &Slave, nullptr, nullptr, nullptr) != 0) return "<no pty>";
  termios Mode{};
  tcgetattr(Slave, &Mode);
  cfmakeraw(&Mode);
  tcsetattr(Slave, TCSANOW, &Mode);
  RunWithStandardOutputOn(Slave, Code);
  close(Slave);
  std::string Bytes;
  char Buffer[4096];
  pollfd P{Master, POLLIN, 0};
  while (poll(&P, 1, 100) > 0 && (P.revents & POLLIN)) {
    ssize_t N = read(Master, Buffer, sizeof Buffer);
    if (N <= 0) break;
    Bytes.append(Buffer, static_cast<size_t>(N));
  }
  close(Master);
  return Bytes;
}

// The same with standard output attached to a pipe (not a terminal).
template <typename TCode>
std::string CaptureOnPipe(TCode Code) {
  int Ends[2];
  if (pipe(Ends) != 0) return "<no pipe>";
  RunWithStandardOutputOn(Ends[1], Code);
  close(Ends[1]);
  std::string Bytes;
  char Buffer[4096];
  ssize_t N;
  while ((N = read(Ends[0], Buffer, sizeof Buffer)) > 0) Bytes.append(Buffer, static_cast<size_t>(N));
  close(Ends[0]);
  return Bytes;
}

}  // namespace quorrel
