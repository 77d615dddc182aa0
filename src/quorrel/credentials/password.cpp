#include "quorrel/credentials/password.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "netutil/cleanup.h"

namespace quorrel {

namespace {

// A password line longer than this is no password; reading stops there.
constexpr size_t LongestLine = 4096;

// Echo must come back even when the user gives up with Ctrl-C at the prompt.
termios SavedMode;
volatile sig_atomic_t EchoIsOff = 0;
const int Signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void RestoreEchoAndDie(int Signal) {
  if (EchoIsOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &SavedMode);
  EchoIsOff = 0;
  signal(Signal, SIG_DFL);
  raise(Signal);
}

// One line from standard input, read byte by byte so that nothing behind it
// is taken from the input.
bool ReadLine(std::string& Line) {
  Line.clear();
  bool Any = false;
  for (;;) {
    char C;
    const ssize_t N = read(STDIN_FILENO, &C, 1);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return Any;
    Any = true;
    if (C == '\n') break;
    if (Line.size() >= LongestLine) return false;
    Line += C;
  }
  if (!Line.empty() && Line.back() == '\r') Line.pop_back();
  return true;
}

}  // namespace

bool ReadPassword(std::string& Password) {
  if (!isatty(STDIN_FILENO)) return ReadLine(Password);

  constexpr size_t SignalCount = sizeof Signals / sizeof Signals[0];
  struct sigaction Old[SignalCount];
  const bool Handled = tcgetattr(STDIN_FILENO, &SavedMode) == 0;
  // Echo and the signal handlers come back on every way out; the line end the
  // user typed was not echoed, so one goes to standard error instead.
  TCleanup Restore([&] {
    if (EchoIsOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &SavedMode);
    EchoIsOff = 0;
    if (Handled)
      for (size_t I = 0; I < SignalCount; ++I) sigaction(Signals[I], &Old[I], nullptr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
  });
  if (Handled) {
    struct sigaction Catch {};
    Catch.sa_handler = RestoreEchoAndDie;
    sigemptyset(&Catch.sa_mask);
    for (size_t I = 0; I < SignalCount; ++I) sigaction(Signals[I], &Catch, &Old[I]);
    termios Silent = SavedMode;
    Silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    Silent.c_lflag |= ICANON;
    EchoIsOff = 1;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &Silent) != 0) EchoIsOff = 0;
  }
  // The prompt comes once echo is off: what is typed after it stays unseen.
  std::fputs("Password: ", stderr);
  std::fflush(stderr);
  return ReadLine(Password);
}

}  // namespace quorrel
