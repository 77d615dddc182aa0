// The real program run end to end: one shell script in a private network
// namespace (so ports 110 and 995 are free and nothing leaks out) starts a
// peer, runs the program once per argument list with its output to a file, a
// pseudo-terminal, a pipe or a full device, notes what the mailbox keeps, and
// stops the peer again by its process id.
#pragma once

#include <string>
#include <vector>

namespace quorrel {

extern const std::string Banner;  // the program's first line

// Quoted for the shell.
std::string Quote(const std::string& Text);
// The lines, each ended by CR LF.
std::string Crlf(const std::vector<std::string>& Lines);
// A message of these header lines and a body line.
std::string Message(const std::vector<std::string>& Header, const std::string& Body = "Hello.");
// The size STAT reports for these messages (CR LF line ends).
std::string SizeOf(const std::vector<std::string>& Messages);
// Args followed by More.
std::vector<std::string> With(std::vector<std::string> Args, const std::vector<std::string>& More);

enum class TPeer {
  Dovecot,            // APOP, STLS on 110, implicit TLS on 995, PIPELINING
  MailutilsPop3d,     // GNU pop3d: STLS on 110, implicit TLS on 995, PIPELINING
  Mpopd,              // mpopd on 110: USER and UIDL only
  RecordingListener,  // accepts on 110 and notes each connection
  Nothing,
};

struct TScenario {
  std::vector<std::string> Messages;  // message n is Messages[n-1], for user alice
  std::vector<std::vector<std::string>> Runs;
  TPeer Peer = TPeer::Dovecot;
  std::string Password = "secret";
  bool NoTls = false;         // a Dovecot without TLS, so without STLS
  std::string CertNames;      // the server certificate's names, when not localhost and 127.0.0.1
  bool Terminal = false;
  bool HeadOneLine = false;     // output through a pipe into "head -n 1"
  bool FullDevice = false;      // output to /dev/full
  bool StderrExpected = false;  // else anything on standard error is trouble
  std::string Input;            // standard input of every run (else /dev/null)
};

struct TOutcome {
  std::vector<std::string> Outputs;
  std::vector<int> Statuses;
  std::vector<std::string> Errors;  // standard error of each run
  std::vector<int> Left;     // numbers of the messages still in the mailbox
  std::string Log;           // the server's log (GNU pop3d's holds the dialogue)
  std::string Connections;   // what the recording listener saw
  std::string Trouble;       // set when the scenario itself could not run
};

class TEndToEnd {
 public:
  TEndToEnd();
  ~TEndToEnd();
  TEndToEnd(const TEndToEnd&) = delete;
  TEndToEnd& operator=(const TEndToEnd&) = delete;

  // Why the scenario cannot run here (naming what to install), "" when it can.
  std::string Missing(TPeer Peer) const;
  TOutcome Run(const TScenario& S);

  // The server's folder: its CA is ServerDir() + "/ca.pem".
  std::string ServerDir() const { return Dir + "/dc"; }

  std::string BinaryPath, SourceDir, Dir;
};

}  // namespace quorrel
