// The real program run end to end. Each scenario runs on a thread of its own
// in a private network namespace (so ports 110, 995 and 1110 are free and
// nothing leaks out): it starts a peer, runs the program once per argument
// list with its output to a file, a pseudo-terminal, a pipe or a full device,
// notes what the mailbox keeps and what the server saw, and stops every
// process it started by its process id.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/process.h"

#include "support/pop3_server.h"

namespace quorrel {

// The program's first line; inline, so that it is made before the constants
// of any test file built from it.
inline const std::string Banner = "Quorrel version 1.0 https://quorrel.example.org\r\n";

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
  Proxies,            // Dovecot as above behind dante, microsocks (user "mu", password
                      // "p@ss:w%rd") and tinyproxy (user "tu", password "tp"), whose
                      // ports the arguments name as {DANTE}, {MICRO} and {TINY}
  Script,             // TScenario::Script's server on 110
  RecordingListener,  // closes every connection on 110 at once, and counts them
  Nothing,
};

// A spam classifier the scenario starts in its namespace, on its usual ports,
// before the first run (through scripts/lib/spamd.sh and rspamd.sh: a Subject
// holding "CLASSIFYSPAM" makes a message spam to either).
enum class TClassifierPeer {
  None,
  Spamd,   // 127.0.0.1:783, TELL allowed
  Rspamd,  // normal worker 127.0.0.1:11333, controller 11334, redis of its own
};

enum class TOutputTo {
  File,
  Terminal,       // standard input, output and error are one pseudo-terminal
  FirstLineOnly,  // a pipe whose reader leaves after the first line
  FullDevice,     // /dev/full
};

// Every member has an initializer, so that a scenario can name only what it
// needs with designated initializers.
struct TScenario {
  std::vector<std::string> Messages{};  // message n is Messages[n-1], for user alice
  // More mailboxes on the same server, by user name, each with the password
  // "secret" and these messages.
  std::map<std::string, std::vector<std::string>> OtherMailboxes{};
  // The arguments of each run; "{CA}" in them stands for the server's CA file,
  // "{D}" for the scenario's own folder.
  std::vector<std::vector<std::string>> Runs{};
  TPeer Peer = TPeer::Dovecot;
  std::string Password = "secret";
  bool NoTls = false;        // a Dovecot without TLS, so without STLS
  std::string CertNames{};   // the server certificate's names, when not localhost and 127.0.0.1
  bool Relay = false;        // a relay on 1110 to the server on 110 records the commands
  // A Dovecot that also offers SCRAM-SHA-256, XOAUTH2 and OAUTHBEARER; a token
  // service of the harness's own accepts the token "good-token" for alice.
  bool Sasl = false;
  // DeliverBefore[I]: messages put into the mailbox just before run I.
  std::vector<std::vector<std::string>> DeliverBefore{};
  std::function<void(TPop3ScriptServer&)> Script{};  // writes the script of TPeer::Script
  std::string Program{};               // run instead of the program
  std::vector<std::string> Wrapper{};  // a command in front of the program, such as valgrind
  TOutputTo Output = TOutputTo::File;
  std::string Input{};  // standard input of every run (else /dev/null; not with a terminal)
  std::string Typed{};  // typed at the terminal once TypeAfter has shown up on it
  std::string TypeAfter{};
  TClassifierPeer Classifier = TClassifierPeer::None;
  // ClassifierDownBefore[I]: the classifier is stopped for run I (true) or
  // running (false; started again when it was stopped or killed); runs beyond
  // the vector's end find it as the run before left it.
  std::vector<bool> ClassifierDownBefore{};
  // Above 0: the classifier and its children are killed (SIGKILL, by process
  // id) when the relay receives the N-th TOP command, before passing it on.
  // Needs Relay, and the program pointed at port 1110. Counts over all runs.
  int KillClassifierAfterTops = 0;
  // "{D}/bogofilter": a bogofilter word list taught TBogofilterDb's messages.
  bool BogofilterDb = false;
  bool StderrExpected = false;  // else anything on standard error is trouble
  int TimeoutSeconds = 120;     // then the run is killed, and its status is -1
};

struct TOutcome {
  std::vector<std::string> Outputs;  // with a terminal, everything it showed
  std::vector<int> Statuses;         // 128 + n after signal n
  std::vector<std::string> Errors;   // standard error of each run
  std::vector<long> PeakKiB;         // the peak resident size of each run
  std::vector<std::string> CommandLines;  // the program's, read when it was typed at
  std::vector<bool> EchoOn;               // the terminal echoes after the run
  std::vector<std::vector<int>> LeftAfter;  // the mailbox after each run
  std::vector<int> Left;     // numbers of the messages still in the mailbox at the end
  std::map<std::string, std::vector<int>> LeftOf;  // the same for each of the other mailboxes
  std::vector<std::string> Commands;  // every line the scripted server or the relay received
  std::vector<std::string> Dialogue;  // the scripted server's, commands sent ahead marked "> "
  int Connections = 0;       // accepted by the scripted server or the recording listener
  std::string Log;           // the server's log (GNU pop3d's holds the dialogue)
  std::string ClassifierLog;  // the classifier's log, when the scenario had one
  int ClassifierKills = 0;    // times KillClassifierAfterTops killed it (0 or 1)
  std::string Folder;        // the scenario's own, "{D}" in its arguments
  std::string Trouble;       // set when the scenario itself could not run
};

class TEndToEnd : TNotCopyable {
 public:
  TEndToEnd();
  ~TEndToEnd();

  // Why the scenario cannot run here (naming what to install), "" when it can.
  std::string Missing(TPeer Peer) const;
  // The same for all the scenario needs: its peer, classifier and word list.
  std::string Missing(const TScenario& S) const;
  TOutcome Run(const TScenario& S);
  // The scenarios side by side; their outcomes in the same order.
  std::vector<TOutcome> RunAll(const std::vector<TScenario>& Scenarios);

  std::string BinaryPath, SourceDir, Dir;

 private:
  TOutcome RunScenario(const TScenario& S, const std::string& Folder) const;
  int Made = 0;  // scenario folders made so far
  bool HaveCertificates = false;
};

}  // namespace quorrel
