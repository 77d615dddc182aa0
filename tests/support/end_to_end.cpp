#include "support/end_to_end.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <regex>
#include <semaphore>
#include <sstream>
#include <thread>

#include "support/classifiers.h"
#include "support/process.h"
#include "support/proxies.h"
#include "support/requirement.h"

namespace quorrel {

std::string Quote(const std::string& Text) {
  std::string Quoted = "'";
  for (char C : Text) Quoted += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Quoted + "'";
}

std::string Crlf(const std::vector<std::string>& Lines) {
  std::string Text;
  for (const auto& L : Lines) Text += L + "\r\n";
  return Text;
}

std::string Message(const std::vector<std::string>& Header, const std::string& Body) {
  std::vector<std::string> Lines = Header;
  Lines.push_back("");
  Lines.push_back(Body);
  return Crlf(Lines);
}

std::string SizeOf(const std::vector<std::string>& Messages) {
  size_t Size = 0;
  for (const auto& M : Messages) Size += M.size();
  return std::to_string(Size);
}

std::vector<std::string> With(std::vector<std::string> Args, const std::vector<std::string>& More) {
  Args.insert(Args.end(), More.begin(), More.end());
  return Args;
}

namespace {

using TClock = std::chrono::steady_clock;

// The mail server a peer runs, by its fixture's name: the fixture is
// scripts/lib/<name>.sh, and keeps its log as <name>.log in its folder. Null
// for a peer of the harness's own.
const char* ServerOf(TPeer Peer) {
  switch (Peer) {
    case TPeer::Dovecot:
    case TPeer::Proxies: return "dovecot";
    case TPeer::MailutilsPop3d: return "pop3d";
    case TPeer::Mpopd: return "mpopd";
    default: return nullptr;
  }
}

// The classifier's fixture (scripts/lib/<name>.sh, its log <name>.log in its
// folder) and where it listens; null for none.
const char* FixtureOf(TClassifierPeer Classifier) {
  switch (Classifier) {
    case TClassifierPeer::Spamd: return "spamd";
    case TClassifierPeer::Rspamd: return "rspamd";
    default: return nullptr;
  }
}
const char* PortsOf(TClassifierPeer Classifier) { return Classifier == TClassifierPeer::Spamd ? "783" : "11333 11334"; }

// True for a TOP command line, in any case.
bool IsTop(const std::string& Line) {
  if (Line.size() < 4 || Line[3] != ' ') return false;
  std::string Verb = Line.substr(0, 3);
  for (char& C : Verb) C = char(std::toupper(static_cast<unsigned char>(C)));
  return Verb == "TOP";
}

// In a forked child: no descriptor of this process but the three standard ones
// (scenarios run side by side, and a socket of one must not live on in a
// process of another), and the signal state of a fresh shell.
void Detach(int In, int Out, int Err) {
  dup2(In, 0);
  dup2(Out, 1);
  dup2(Err, 2);
  close_range(3, ~0U, 0);
  sigset_t None;
  sigemptyset(&None);
  sigprocmask(SIG_SETMASK, &None, nullptr);
  signal(SIGPIPE, SIG_DFL);
}

// Runs a bash command with its output appended to Log; its exit status.
int Shell(const std::string& Command, const std::string& Log) {
  const pid_t Pid = fork();
  if (Pid == 0) {
    const int Null = open("/dev/null", O_RDONLY), Out = open(Log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    Detach(Null, Out, Out);
    execl("/bin/bash", "bash", "-c", Command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int Status = 0;
  if (Pid < 0 || waitpid(Pid, &Status, 0) != Pid) return -1;
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

// The numbers of the delivered messages a fixture's "ls" names.
std::vector<int> Delivered(const std::string& Listing) {
  static const std::regex Number(R"(\.M([0-9]+)P)");
  std::vector<int> Numbers;
  std::istringstream Lines(Listing);
  std::smatch M;
  for (std::string Name; std::getline(Lines, Name);)
    if (std::regex_search(Name, M, Number)) Numbers.push_back(std::stoi(M[1]));
  std::sort(Numbers.begin(), Numbers.end());
  return Numbers;
}

// The peak resident size of Pid once it runs Name: until its exec the child is
// a copy of this process, whose pages do not count.
long PeakKiB(pid_t Pid, const std::string& Name) {
  std::istringstream Lines(ReadFile("/proc/" + std::to_string(Pid) + "/status"));
  bool Exec = false;
  for (std::string L; std::getline(Lines, L);) {
    if (L.rfind("Name:", 0) == 0) Exec = L.find(Name) != std::string::npos;
    if (Exec && L.rfind("VmHWM:", 0) == 0) return std::atol(L.c_str() + 6);
  }
  return 0;
}

// Appends what Fd has within Ms; false once it has nothing more to give.
bool ReadSome(int Fd, std::string& Text, int Ms) {
  pollfd P{Fd, POLLIN, 0};
  if (poll(&P, 1, Ms) <= 0) return true;
  char Buffer[65536];
  const ssize_t N = read(Fd, Buffer, sizeof Buffer);
  if (N > 0) Text.append(Buffer, size_t(N));
  return N > 0;
}

// Runs Argv as run Index of S and adds what it did to O.
void RunProgram(const TScenario& S, const std::vector<std::string>& Argv, const std::string& Dir, size_t Index,
                TOutcome& O) {
  const std::string N = std::to_string(Index);
  int In = -1, Out = -1, Err = -1;
  int Reader = -1;  // this side of the terminal or of the pipe
  if (S.Output == TOutputTo::Terminal) {
    if (openpty(&Reader, &In, nullptr, nullptr, nullptr) != 0) {
      O.Trouble += "no pseudo-terminal";
      return;
    }
    fcntl(Reader, F_SETFD, FD_CLOEXEC);
    // A terminal as a shell leaves it, only without output processing, so
    // that what the program writes arrives byte for byte.
    termios Mode;
    tcgetattr(In, &Mode);
    Mode.c_oflag &= ~tcflag_t(OPOST);
    tcsetattr(In, TCSANOW, &Mode);
    Out = Err = In;
  } else {
    const std::string Input = S.Input.empty() ? "/dev/null" : Dir + "/in";
    In = open(Input.c_str(), O_RDONLY | O_CLOEXEC);
    Err = open((Dir + "/err" + N).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const std::string Output = S.Output == TOutputTo::FullDevice ? "/dev/full" : Dir + "/out" + N;
    int Pipe[2] = {-1, -1};
    if (S.Output == TOutputTo::FirstLineOnly && pipe2(Pipe, O_CLOEXEC) == 0) Reader = Pipe[0];
    Out = S.Output == TOutputTo::FirstLineOnly ? Pipe[1]
                                               : open(Output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  std::vector<char*> Args;
  for (const auto& A : Argv) Args.push_back(const_cast<char*>(A.c_str()));
  Args.push_back(nullptr);
  const pid_t Pid = fork();
  if (Pid == 0) {
    if (S.Output == TOutputTo::Terminal) {
      setsid();
      ioctl(In, TIOCSCTTY, 0);
    }
    Detach(In, Out, Err);
    execvp(Args[0], Args.data());
    _exit(127);
  }
  close(In);
  if (Out != In) close(Out);
  if (Err != In) close(Err);

  const std::string Name = Argv[0].substr(Argv[0].find_last_of('/') + 1).substr(0, 15);
  const auto Deadline = TClock::now() + std::chrono::seconds(S.TimeoutSeconds);
  bool Open = Reader >= 0, Typed = S.Typed.empty(), Ended = Pid < 0;
  int Status = 0;
  long Peak = 0;
  std::string Shown, CommandLine;
  while (!Ended && TClock::now() < Deadline) {
    if (Open)
      Open = ReadSome(Reader, Shown, 5);
    else
      usleep(5000);
    if (S.Output == TOutputTo::FirstLineOnly && Open && Shown.find('\n') != std::string::npos) {
      close(Reader);
      Open = false;
      Reader = -1;
    }
    if (!Typed && Shown.find(S.TypeAfter) != std::string::npos) {
      CommandLine = ReadFile("/proc/" + std::to_string(Pid) + "/cmdline");
      Typed = write(Reader, S.Typed.data(), S.Typed.size()) == ssize_t(S.Typed.size());
    }
    Peak = std::max(Peak, PeakKiB(Pid, Name));
    Ended = waitpid(Pid, &Status, WNOHANG) == Pid;
  }
  if (!Ended) {
    kill(Pid, SIGKILL);
    waitpid(Pid, &Status, 0);
  }
  O.Statuses.push_back(!Ended || Pid < 0 ? -1 : WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status));
  O.PeakKiB.push_back(Peak);
  O.CommandLines.push_back(CommandLine);
  if (!Typed) O.Trouble += "\"" + S.TypeAfter + "\" never showed up: " + Shown;
  if (S.Output == TOutputTo::Terminal) {
    for (int I = 0; Open && I < 50; ++I) Open = ReadSome(Reader, Shown, 100);
    termios Mode{};
    O.EchoOn.push_back(tcgetattr(Reader, &Mode) == 0 && (Mode.c_lflag & ECHO) != 0);
    O.Outputs.push_back(Shown);
    O.Errors.emplace_back();
  } else {
    O.EchoOn.push_back(false);
    O.Outputs.push_back(S.Output == TOutputTo::FirstLineOnly ? Shown.substr(0, Shown.find('\n') + 1)
                                                            : ReadFile(Dir + "/out" + N));
    O.Errors.push_back(ReadFile(Dir + "/err" + N));
    if (!O.Errors.back().empty() && !S.StderrExpected) O.Trouble += "stderr of run " + N + ": " + O.Errors.back();
  }
  if (Reader >= 0) close(Reader);
}

}  // namespace

TEndToEnd::TEndToEnd() {
  const char* Binary = std::getenv("QUORREL_BINARY");
  const char* Source = std::getenv("QUORREL_SOURCE_DIR");
  BinaryPath = Binary ? Binary : "";
  SourceDir = Source ? Source : "";
  Dir = MakeTempDir("quorrel-e2e");
}

TEndToEnd::~TEndToEnd() {
  if (!Dir.empty()) RemoveTree(Dir);
}

std::string TEndToEnd::Missing(TPeer Peer) const {
  if (BinaryPath.empty() || SourceDir.empty())
    return "QUORREL_BINARY and QUORREL_SOURCE_DIR are not set (run through ctest)";
  if (Dir.empty()) return "no temporary folder could be made";
  if (std::string Why = MissingRoot(); !Why.empty()) return Why;
  switch (Peer) {
    case TPeer::Dovecot: return MissingPrograms({"ip", "dovecot", "openssl"});
    case TPeer::MailutilsPop3d: return MissingPrograms({"ip", "pop3d", "openssl"});
    case TPeer::Mpopd: return MissingPrograms({"ip", "mpopd", "socat"});
    case TPeer::Proxies: return MissingPrograms({"ip", "dovecot", "openssl", "danted", "microsocks", "tinyproxy"});
    default: return MissingPrograms({"ip"});
  }
}

std::string TEndToEnd::Missing(const TScenario& S) const {
  if (std::string Why = Missing(S.Peer); !Why.empty()) return Why;
  if (S.Classifier == TClassifierPeer::Spamd)
    if (std::string Why = TSpamd::Missing(); !Why.empty()) return Why;
  if (S.Classifier == TClassifierPeer::Rspamd)
    if (std::string Why = TRspamd::Missing(); !Why.empty()) return Why;
  if (S.BogofilterDb) return TBogofilterDb::Missing();
  return "";
}

TOutcome TEndToEnd::Run(const TScenario& S) { return RunAll({S})[0]; }

std::vector<TOutcome> TEndToEnd::RunAll(const std::vector<TScenario>& Scenarios) {
  // One CA and server certificate serve every server of the harness, as the
  // fixtures keep the ones they find: making them is the costly part of a
  // server's setup.
  const bool AnyServer = std::any_of(Scenarios.begin(), Scenarios.end(), [](const auto& S) { return ServerOf(S.Peer); });
  if (AnyServer && !HaveCertificates)
    HaveCertificates = Shell("bash " + Quote(SourceDir + "/scripts/lib/certs.sh") + " " + Quote(Dir + "/certs"),
                             Dir + "/certs.log") == 0;
  std::vector<TOutcome> Outcomes(Scenarios.size());
  // Mail servers start within a fixed time: a few at a time, so that a busy
  // machine does not make them miss it. Other peers cost next to nothing.
  std::counting_semaphore<> Servers(4);
  std::vector<std::thread> Threads;
  for (size_t I = 0; I < Scenarios.size(); ++I) {
    const std::string Folder = Dir + "/" + std::to_string(Made++);
    mkdir(Folder.c_str(), 0755);
    Threads.emplace_back([this, &Scenarios, &Outcomes, &Servers, I, Folder] {
      const bool Server = ServerOf(Scenarios[I].Peer) || FixtureOf(Scenarios[I].Classifier);
      if (Server) Servers.acquire();
      Outcomes[I] = RunScenario(Scenarios[I], Folder);
      if (Server) Servers.release();
    });
  }
  for (auto& T : Threads) T.join();
  return Outcomes;
}

// Stands in for a provider's token service: Dovecot posts each token here, and
// "good-token" is alice's.
const char* const TokenService = R"(import http.server, json, urllib.parse
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        form = urllib.parse.parse_qs(self.rfile.read(int(self.headers.get("Content-Length", 0))).decode())
        good = form.get("token", [""])[0] == "good-token"
        body = json.dumps({"active": True, "username": "alice"} if good else {"active": False}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", 8080), Handler).serve_forever()
)";

// Runs on a thread of its own: the namespace it makes is that thread's, and
// the peers and programs it starts inherit it.
TOutcome TEndToEnd::RunScenario(const TScenario& S, const std::string& D) const {
  TOutcome O;
  O.Folder = D;
  const char* Server = ServerOf(S.Peer);
  const std::string Log = D + "/peers.log";
  auto Fixture = [&](const std::string& Command, const std::string& Rest, const std::string& Env = "") {
    return Shell(Env + "bash " + Quote(SourceDir + "/scripts/lib/" + Server + ".sh") + " " + Command + " " +
                     Quote(D + "/dc") + " " + Rest,
                 Log);
  };
  int Written = 0;  // message files so far
  auto Deliver = [&](const std::vector<std::string>& Messages, const std::string& User = "alice") {
    std::string Files;
    for (const auto& M : Messages) {
      const std::string File = D + "/" + std::to_string(++Written) + ".eml";
      WriteFile(File, M);
      Files += " " + Quote(File);
    }
    return Messages.empty() || Fixture("deliver", User + Files) == 0;
  };
  const char* Classifier = FixtureOf(S.Classifier);
  auto ClassifierFixture = [&](const std::string& Command, const std::string& Rest = "") {
    return Shell("bash " + Quote(SourceDir + "/scripts/lib/" + Classifier + ".sh") + " " + Command + " " +
                     Quote(D + "/cl") + " " + Rest,
                 Log);
  };
  // Also written by the relay's thread, which kills the classifier.
  std::atomic<bool> ClassifierUp{false};
  std::atomic<int> Kills{0};
  std::vector<std::pair<std::string, std::string>> Names = {{"{CA}", D + "/dc/ca.pem"}, {"{D}", D}};
  TChildProcess Tokens;
  TPop3ScriptServer Scripted;
  TPop3Relay Relay;
  std::optional<TProxyProcess> Dante, Micro, Tiny;
  O.Trouble = [&]() -> std::string {
    if (unshare(CLONE_NEWNET) != 0) return "no network namespace could be made";
    if (Shell("ip link set lo up", Log) != 0) return "loopback did not come up";
    if (Server) {
      if (HaveCertificates) Shell("mkdir " + Quote(D + "/dc") + " && cp " + Quote(Dir) + "/certs/* " + Quote(D + "/dc"), Log);
      if (Fixture("init", "") != 0 || Fixture("adduser", "alice " + Quote(S.Password)) != 0 ||
          !Deliver(S.Messages) || (!S.CertNames.empty() && Fixture("cert", Quote(S.CertNames)) != 0))
        return "the mailbox could not be set up";
      for (const auto& [User, Messages] : S.OtherMailboxes)
        if (Fixture("adduser", Quote(User) + " secret") != 0 || !Deliver(Messages, User))
          return "the mailbox of " + User + " could not be set up";
      if (S.Sasl) {
        WriteFile(D + "/tokens.py", TokenService);
        if (!Tokens.Start({"python3", D + "/tokens.py"}, D + "/tokens.log") || !WaitForPort("127.0.0.1", 8080, 10000))
          return "the token service did not start";
      }
      const std::string Env = S.Sasl ? "DOVECOT_MECHANISMS='plain login apop scram-sha-256 xoauth2 oauthbearer' "
                                       "DOVECOT_OAUTH2_URL=http://127.0.0.1:8080/introspect "
                                     : "";
      if (Fixture("start", S.Peer == TPeer::Mpopd ? "110" : S.NoTls ? "110 notls" : "110 995", Env) != 0)
        return "the server did not start";
    }
    if (S.Peer == TPeer::Script || S.Peer == TPeer::RecordingListener) {
      Scripted.ReadTimeoutMs = S.TimeoutSeconds * 1000;
      if (S.Peer == TPeer::RecordingListener) Scripted.Close();
      if (S.Script) S.Script(Scripted);
      if (!Scripted.Start(110)) return "nothing can listen on port 110";
    }
    if (S.Peer == TPeer::Proxies) {
      if (!Dante.emplace().StartDante()) return "danted did not start: " + Dante->Log();
      if (!Micro.emplace().StartMicrosocks("mu", "p@ss:w%rd")) return "microsocks did not start: " + Micro->Log();
      if (!Tiny.emplace().StartTinyproxy({110, 995}, "tu", "tp")) return "tinyproxy did not start: " + Tiny->Log();
      Names.insert(Names.end(),
                   {{"{DANTE}", Dante->PortText()}, {"{MICRO}", Micro->PortText()}, {"{TINY}", Tiny->PortText()}});
    }
    if (S.BogofilterDb && !TBogofilterDb(D + "/bogofilter").Ready) return "the bogofilter word list could not be made";
    if (Classifier) {
      if (ClassifierFixture("init") != 0 || ClassifierFixture("start", PortsOf(S.Classifier)) != 0)
        return std::string(Classifier) + " did not start";
      ClassifierUp = true;
    }
    if (S.KillClassifierAfterTops > 0) {
      if (!Classifier || !S.Relay) return "KillClassifierAfterTops needs a Classifier and the Relay";
      Relay.OnCommand = [&, Tops = 0](const std::string& Line) mutable {
        if (IsTop(Line) && ++Tops == S.KillClassifierAfterTops && ClassifierUp) {
          ClassifierFixture("kill");
          ClassifierUp = false;
          ++Kills;
        }
      };
    }
    if (S.Relay && !Relay.Start(110, 1110)) return "the relay cannot listen on port 1110";
    return "";
  }();
  if (!S.Input.empty()) WriteFile(D + "/in", S.Input);
  const bool Ready = O.Trouble.empty();
  for (size_t I = 0; Ready && I < S.Runs.size(); ++I) {
    std::vector<std::string> Argv = S.Wrapper;
    Argv.push_back(S.Program.empty() ? BinaryPath : S.Program);
    for (std::string Arg : S.Runs[I]) {
      for (const auto& [Name, Value] : Names)
        for (size_t At; (At = Arg.find(Name)) != std::string::npos;) Arg.replace(At, Name.size(), Value);
      Argv.push_back(Arg);
    }
    if (Server && I < S.DeliverBefore.size() && !Deliver(S.DeliverBefore[I]))
      O.Trouble = "the later messages could not be delivered";
    if (Classifier && I < S.ClassifierDownBefore.size()) {
      const bool Down = S.ClassifierDownBefore[I];
      if (Down && ClassifierUp) {
        ClassifierFixture("stop");
        ClassifierUp = false;
      } else if (!Down && !ClassifierUp) {
        if (ClassifierFixture("start", PortsOf(S.Classifier)) == 0)
          ClassifierUp = true;
        else
          O.Trouble += std::string(Classifier) + " did not start again before run " + std::to_string(I);
      }
    }
    RunProgram(S, Argv, D, I, O);
    if (Server) {
      Fixture("ls", "alice >" + Quote(D + "/left"));
      O.LeftAfter.push_back(Delivered(ReadFile(D + "/left")));
    }
  }
  // Stopped before their records are read: a server may note a session's end
  // only after its last reply, and a connection may still wait to be accepted.
  usleep(100000);
  Scripted.Stop();
  Relay.Stop();
  if (Classifier) {
    ClassifierFixture("stop");
    O.ClassifierLog = ReadFile(D + "/cl/" + Classifier + ".log");
    O.ClassifierKills = Kills;
  }
  O.Commands = S.Relay ? Relay.Commands() : Scripted.Commands();
  O.Dialogue = Scripted.Dialogue();
  O.Connections = Scripted.Connections();
  if (Server) {
    for (const auto& Other : S.OtherMailboxes) {
      Fixture("ls", Quote(Other.first) + " >" + Quote(D + "/left"));
      O.LeftOf[Other.first] = Delivered(ReadFile(D + "/left"));
    }
    Fixture("stop", "");
    O.Log = ReadFile(D + "/dc/" + Server + ".log");
  }
  if (!O.LeftAfter.empty()) O.Left = O.LeftAfter.back();
  // A run that never came has a record all the same, so that no test reads
  // beyond the end.
  const size_t Runs = S.Runs.size();
  O.Outputs.resize(Runs);
  O.Statuses.resize(Runs, -1);
  O.Errors.resize(Runs);
  O.PeakKiB.resize(Runs);
  O.CommandLines.resize(Runs);
  O.EchoOn.resize(Runs);
  O.LeftAfter.resize(Runs);
  if (!O.Trouble.empty()) O.Trouble += "\n" + ReadFile(Log);
  return O;
}

}  // namespace quorrel
