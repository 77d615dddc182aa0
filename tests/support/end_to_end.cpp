#include "support/end_to_end.h"

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "support/process.h"
#include "support/requirement.h"

namespace quorrel {

const std::string Banner = "Quorrel version 1.0 https://quorrel.example.org\r\n";

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

std::string Join(const std::vector<std::string>& Words) {
  std::string Line;
  for (const auto& W : Words) Line += " " + Quote(W);
  return Line;
}

// The fixture script of a mail server, and the log it keeps in its folder.
struct TServer {
  const char* Script;
  const char* Log;
};

const TServer* ServerOf(TPeer Peer) {
  static const TServer Dovecot{"dovecot.sh", "dovecot.log"}, Pop3d{"pop3d.sh", "pop3d.log"},
      Mpopd{"mpopd.sh", "mpopd.log"};
  switch (Peer) {
    case TPeer::Dovecot: return &Dovecot;
    case TPeer::MailutilsPop3d: return &Pop3d;
    case TPeer::Mpopd: return &Mpopd;
    default: return nullptr;
  }
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
    case TPeer::Dovecot: return MissingPrograms({"unshare", "ip", "dovecot"});
    case TPeer::MailutilsPop3d: return MissingPrograms({"unshare", "ip", "pop3d", "openssl"});
    case TPeer::Mpopd: return MissingPrograms({"unshare", "ip", "mpopd", "socat"});
    case TPeer::RecordingListener: return MissingPrograms({"unshare", "ip", "python3"});
    case TPeer::Nothing: return MissingPrograms({"unshare", "ip"});
  }
  return "";
}

TOutcome TEndToEnd::Run(const TScenario& S) {
  RunCommand("mkdir -p " + Quote(Dir + "/mail"));
  std::ostringstream Script;
  Script << "set -u\n"
         << "ip link set lo up || exit 90\n"
         << "D=" << Quote(Dir) << "\n";
  const TServer* Server = ServerOf(S.Peer);
  if (Server) {
    Script << "L=" << Quote(SourceDir + "/scripts/lib/" + Server->Script) << "\n"
           << "trap 'bash \"$L\" stop \"$D/dc\" >/dev/null 2>&1' EXIT\n"
           << "bash \"$L\" init \"$D/dc\" && bash \"$L\" adduser \"$D/dc\" alice " << Quote(S.Password)
           << " || exit 91\n";
    for (size_t I = 0; I < S.Messages.size(); ++I) {
      std::string File = Dir + "/mail/" + std::to_string(I + 1) + ".eml";
      WriteFile(File, S.Messages[I]);
      Script << "bash \"$L\" deliver \"$D/dc\" alice " << Quote(File) << " || exit 92\n";
    }
    if (!S.CertNames.empty()) Script << "bash \"$L\" cert \"$D/dc\" " << Quote(S.CertNames) << " || exit 95\n";
    Script << "bash \"$L\" start \"$D/dc\" 110 " << (S.Peer == TPeer::Mpopd ? "" : S.NoTls ? "notls" : "995")
           << " >\"$D/start.log\" 2>&1 || exit 93\n";
  } else if (S.Peer == TPeer::RecordingListener) {
    // Notes every connection it accepts, so a test can tell that none was made.
    Script << "python3 -c '\n"
              "import socket, sys\n"
              "s = socket.socket()\n"
              "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
              "s.bind((\"127.0.0.1\", 110))\n"
              "s.listen(16)\n"
              "open(sys.argv[1] + \".ready\", \"w\").close()\n"
              "while True:\n"
              "    c, _ = s.accept()\n"
              "    with open(sys.argv[1], \"a\") as f: f.write(\"connection\\n\")\n"
              "    c.close()\n"
              "' \"$D/connections\" &\n"
           << "LISTENER=$!\n"
           << "trap 'kill $LISTENER 2>/dev/null; wait $LISTENER 2>/dev/null' EXIT\n"
           << "touch \"$D/connections\"\n"
           << "for _ in $(seq 1 100); do [ -e \"$D/connections.ready\" ] && break; sleep 0.05; done\n"
           << "[ -e \"$D/connections.ready\" ] || exit 94\n";
  }
  for (size_t I = 0; I < S.Runs.size(); ++I) {
    std::string Command = Quote(BinaryPath) + Join(S.Runs[I]);
    std::string Out = "\"$D/out" + std::to_string(I) + "\"";
    if (S.Terminal) Command = "script -qec " + Quote("stty raw -echo; exec " + Command) + " /dev/null";
    const std::string Err = " 2>\"$D/err" + std::to_string(I) + "\" <" + (S.Input.empty() ? "/dev/null" : "\"$D/in\"");
    const std::string Status = " >\"$D/status" + std::to_string(I) + "\"\n";
    if (S.HeadOneLine)
      Script << "timeout -k 5 120 " << Command << Err << " | head -n 1 >" << Out << "\n"
             << "echo ${PIPESTATUS[0]}" << Status;
    else
      Script << "timeout -k 5 120 " << Command << " >" << (S.FullDevice ? "/dev/full" : Out) << Err << "\n"
             << "echo $?" << Status;
  }
  if (Server) Script << "bash \"$L\" ls \"$D/dc\" alice >\"$D/left\"\n";
  if (S.Peer == TPeer::RecordingListener) Script << "sleep 0.3\n";
  WriteFile(Dir + "/run.sh", Script.str());
  if (!S.Input.empty()) WriteFile(Dir + "/in", S.Input);

  TOutcome O;
  std::string Said;
  int Rc = RunCommand("unshare -n bash " + Quote(Dir + "/run.sh") + " 2>&1", &Said);
  if (Rc != 0)
    O.Trouble = "scenario script failed with " + std::to_string(Rc) + ": " + Said + ReadFile(Dir + "/start.log");
  for (size_t I = 0; I < S.Runs.size(); ++I) {
    O.Outputs.push_back(ReadFile(Dir + "/out" + std::to_string(I)));
    std::string Status = ReadFile(Dir + "/status" + std::to_string(I));
    O.Statuses.push_back(Status.empty() ? -1 : std::atoi(Status.c_str()));
    std::string Err = ReadFile(Dir + "/err" + std::to_string(I));
    if (!Err.empty() && !S.StderrExpected) O.Trouble += "stderr of run " + std::to_string(I) + ": " + Err;
    O.Errors.push_back(Err);
  }
  std::istringstream Left(ReadFile(Dir + "/left"));
  std::string Name;
  static const std::regex Delivered(R"(\.M([0-9]+)P)");
  while (std::getline(Left, Name)) {
    std::smatch M;
    if (std::regex_search(Name, M, Delivered)) O.Left.push_back(std::stoi(M[1]));
  }
  std::sort(O.Left.begin(), O.Left.end());
  if (Server) O.Log = ReadFile(Dir + "/dc/" + Server->Log);
  O.Connections = ReadFile(Dir + "/connections");
  return O;
}

}  // namespace quorrel
