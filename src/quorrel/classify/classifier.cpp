#include "quorrel/classify/classifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "blocksock/tcp_socket.h"
#include "netutil/netutil.h"
#include "quorrel/process/child_process.h"

namespace quorrel {

std::string TClassifierSettings::Name() const {
  switch (Kind) {
    case TClassifierKind::None: return "";
    case TClassifierKind::Bogofilter: return "bogofilter";
    case TClassifierKind::SpamAssassin: return "spamassassin";
    case TClassifierKind::Rspamd: return "rspamd";
    case TClassifierKind::Command: return "classify-command";
  }
  return "";
}

std::vector<std::string> TClassifierSettings::Fingerprint() const {
  if (!On()) return {};
  std::vector<std::string> Parts = {"-classifier=" + Name()};
  if (Kind == TClassifierKind::Command) Parts.push_back("-classify-command=" + Command);
  if (SpamScore) Parts.push_back("-spam-score=" + std::to_string(*SpamScore));
  if (Lines > 0) Parts.push_back("-classify-lines=" + std::to_string(Lines));
  return Parts;
}

std::string AsTaught(const std::string& Stored) {
  std::string Text;
  Text.reserve(Stored.size());
  for (char C : Stored)
    if (C != '\r') Text += C;
  // The bin's own line, and any line folded under it.
  static const std::string Added = "X-Quorrel-Deleted:";
  if (Text.compare(0, Added.size(), Added) == 0) {
    size_t End = Text.find('\n');
    while (End != std::string::npos && End + 1 < Text.size() && (Text[End + 1] == ' ' || Text[End + 1] == '\t'))
      End = Text.find('\n', End + 1);
    Text.erase(0, End == std::string::npos ? Text.size() : End + 1);
  }
  return Text;
}

namespace {

TClassification Failed(std::string Why) { return {TClassification::Failed, std::move(Why)}; }

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos) End = Text.size();
    std::string Line = Text.substr(Start, End - Start);
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    Lines.push_back(std::move(Line));
    Start = End + 1;
  }
  return Lines;
}

bool ReadNumber(const std::string& Text, double& Value) {
  const std::string Trimmed = Trim(Text);
  if (Trimmed.empty()) return false;
  char* End = nullptr;
  Value = std::strtod(Trimmed.c_str(), &End);
  return End && *End == '\0';
}

std::string Shown(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f", Value);
  return Text;
}

}  // namespace

TClassification ReadSpamdReply(const std::string& Head, const std::optional<double>& SpamScore) {
  const std::vector<std::string> Lines = SplitLines(Head);
  if (Lines.empty() || Lines[0].rfind("SPAMD/", 0) != 0) return Failed("spamd's reply is not SPAMD/1.x");
  const std::string& Status = Lines[0];
  const size_t Code = Status.find(' ');
  if (Code == std::string::npos || Status.compare(Code + 1, 2, "0 ") != 0)
    return Failed("spamd answered \"" + Status.substr(0, 200) + "\"");
  for (const std::string& Line : Lines) {
    if (AsciiLower(Line.substr(0, 5)) != "spam:") continue;
    // "Spam: True ; 12.3 / 5.0"
    const size_t Semicolon = Line.find(';'), Slash = Line.find('/', Semicolon == std::string::npos ? 0 : Semicolon);
    double Score = 0, Threshold = 0;
    if (Semicolon == std::string::npos || Slash == std::string::npos ||
        !ReadNumber(Line.substr(Semicolon + 1, Slash - Semicolon - 1), Score) ||
        !ReadNumber(Line.substr(Slash + 1), Threshold))
      return Failed("spamd's Spam line cannot be read: \"" + Line.substr(0, 200) + "\"");
    const std::string Said = AsciiLower(Trim(Line.substr(5, Semicolon - 5)));
    if (Said != "true" && Said != "false" && Said != "yes" && Said != "no")
      return Failed("spamd's Spam line cannot be read: \"" + Line.substr(0, 200) + "\"");
    const bool Spam = SpamScore ? Score >= *SpamScore : Said == "true" || Said == "yes";
    return {Spam ? TClassification::Spam : TClassification::Ham,
            "spamassassin " + Shown(Score) + "/" + Shown(SpamScore ? *SpamScore : Threshold)};
  }
  return Failed("spamd's reply has no Spam line");
}

TClassification ReadRspamdReply(const std::string& Body, const std::optional<double>& SpamScore) {
  const nlohmann::json Reply = nlohmann::json::parse(Body, nullptr, false);
  if (Reply.is_discarded() || !Reply.is_object()) return Failed("rspamd's reply is no JSON object");
  if (Reply.contains("error") && Reply["error"].is_string())
    return Failed("rspamd: " + Reply["error"].get<std::string>().substr(0, 200));
  const auto Action = Reply.find("action");
  const auto Score = Reply.find("score");
  if (Action == Reply.end() || !Action->is_string() || Score == Reply.end() || !Score->is_number())
    return Failed("rspamd's reply has no action and score");
  const std::string Said = Action->get<std::string>();
  const double Value = Score->get<double>();
  const bool Spam = SpamScore ? Value > *SpamScore : Said == "reject";
  return {Spam ? TClassification::Spam : TClassification::Ham, "rspamd " + Said + " " + Shown(Value)};
}

TClassification ReadBogofilterLine(const std::string& Line, const std::optional<double>& SpamScore) {
  // The file's name comes first and is ours; the last two words are bogofilter's.
  const size_t Last = Line.rfind(' ');
  const size_t Before = Last == std::string::npos || Last == 0 ? std::string::npos : Line.rfind(' ', Last - 1);
  double Score = 0;
  if (Before == std::string::npos || !ReadNumber(Line.substr(Last + 1), Score))
    return Failed("bogofilter's answer cannot be read: \"" + Line.substr(0, 200) + "\"");
  const std::string Said = Line.substr(Before + 1, Last - Before - 1);
  if (Said != "S" && Said != "H" && Said != "U")
    return Failed("bogofilter's answer cannot be read: \"" + Line.substr(0, 200) + "\"");
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.4f", Score);
  // "Unsure" keeps.
  const bool Spam = SpamScore ? Score >= *SpamScore : Said == "S";
  return {Spam ? TClassification::Spam : TClassification::Ham, std::string("bogofilter ") + Text};
}

namespace {

using TClock = std::chrono::steady_clock;

// An address as host:port, [v6]:port, or a Unix socket's path (anything with a
// slash).
struct TAddress {
  std::string Host, Port, Path;
  std::string Text() const { return Path.empty() ? Host + ":" + Port : Path; }
};

TAddress ParseAddress(const std::string& Text, const std::string& Default) {
  const std::string& A = Text.empty() ? Default : Text;
  TAddress Out;
  if (A.find('/') != std::string::npos) {
    Out.Path = A;
    return Out;
  }
  const size_t Colon = A.rfind(':');
  if (!A.empty() && A[0] == '[' && A.find(']') != std::string::npos) {
    const size_t Close = A.find(']');
    Out.Host = A.substr(1, Close - 1);
    Out.Port = Colon != std::string::npos && Colon > Close ? A.substr(Colon + 1) : Default.substr(Default.rfind(':') + 1);
  } else if (Colon != std::string::npos) {
    Out.Host = A.substr(0, Colon);
    Out.Port = A.substr(Colon + 1);
  } else {
    Out.Host = A;
    Out.Port = Default.substr(Default.rfind(':') + 1);
  }
  return Out;
}

// What one request on a connection of its own got back: the reply's head (the
// lines before the empty one) and its body.
struct TExchange {
  std::string Failure;  // empty when the reply came whole
  std::string Head, Body;
};

std::string LengthOf(const std::string& Head) {
  for (const std::string& Line : SplitLines(Head))
    if (AsciiLower(Line.substr(0, 15)) == "content-length:") return Trim(Line.substr(15));
  return "";
}

// Sends Request and reads the reply: its head up to the empty line, then as
// many bytes as its Content-length says, else all until the peer closes.
TExchange Exchange(const TAddress& To, const std::string& Request, int TimeoutMs, size_t MostBody) {
  TExchange Out;
  TTCPBlockSocket Socket;
  const auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  const auto Left = [&] {
    const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return int(std::max<decltype(Ms)>(Ms, 1));
  };
  const auto Broke = [&](const std::string& Doing) {
    const int32_t Code = Socket.LastErrorCode;
    Out.Failure = Doing + " " + To.Text() + " failed: " +
                  (Code == ErrTimedOut ? "no answer within " + Duration(TimeoutMs)
                   : Code != 0         ? TBlockSocket::GetErrorDesc(Code)
                                       : std::string("the connection ended"));
    return Out;
  };
  if (!To.Path.empty()) {
    sockaddr_un Where{};
    Where.sun_family = AF_UNIX;
    if (To.Path.size() >= sizeof Where.sun_path) {
      Out.Failure = "the socket path " + To.Path + " is too long";
      return Out;
    }
    std::memcpy(Where.sun_path, To.Path.c_str(), To.Path.size());
    const int Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0 || ::connect(Fd, reinterpret_cast<sockaddr*>(&Where), sizeof Where) != 0) {
      Out.Failure = "connecting to " + To.Path + " failed: " + std::strerror(errno);
      if (Fd >= 0) ::close(Fd);
      return Out;
    }
    Socket.AdoptHandle(Fd);
  } else {
    Socket.Connect(To.Host, To.Port);
    if (Socket.LastErrorCode != 0) return Broke("connecting to");
  }
  Socket.SetSendTimeout(TimeoutMs);
  if (Socket.SendText(Request) != int(Request.size()) || Socket.LastErrorCode != 0) return Broke("sending to");
  Socket.LineLimit = 64 * 1024;
  for (int Lines = 0;; ++Lines) {
    std::string Line = Socket.ReceiveLine(Left());
    // spamd ends a reply without a body (PONG) by closing after the head.
    if (Socket.LastErrorCode == ErrPeerClosed && Lines > 0) return Out;
    if (Socket.LastErrorCode != 0) return Broke("reading from");
    if (Line.empty()) break;
    if (Lines > 200) {
      Out.Failure = To.Text() + " sent a reply head of over 200 lines";
      return Out;
    }
    Out.Head += Line + "\n";
  }
  const std::string Length = LengthOf(Out.Head);
  if (!Length.empty()) {
    const long long Count = std::atoll(Length.c_str());
    if (Count < 0 || size_t(Count) > MostBody) {
      Out.Failure = To.Text() + " announced a reply of " + Length + " bytes";
      return Out;
    }
    if (Count > 0) Out.Body = Socket.ReceiveExactText(int(Count), Left());
    if (Out.Body.size() != size_t(Count)) return Broke("reading from");
    return Out;
  }
  for (;;) {
    std::string Chunk = Socket.ReceiveChunk(Left());
    if (Chunk.empty()) break;
    Out.Body += Chunk;
    if (Out.Body.size() > MostBody) {
      Out.Failure = To.Text() + " sent a reply of over " + std::to_string(MostBody) + " bytes";
      return Out;
    }
  }
  if (Socket.LastErrorCode != 0 && Socket.LastErrorCode != ErrPeerClosed) return Broke("reading from");
  return Out;
}

std::string Crlf(const std::string& Message) {
  std::string Out;
  Out.reserve(Message.size() + Message.size() / 32);
  for (size_t I = 0; I < Message.size(); ++I) {
    if (Message[I] == '\n' && (I == 0 || Message[I - 1] != '\r')) Out += '\r';
    Out += Message[I];
  }
  return Out;
}

constexpr size_t MostReply = 4 * 1024 * 1024;

// spamd's own protocol: one request a connection.
class TSpamd : public TClassifier {
 public:
  explicit TSpamd(const TClassifierSettings& S) : S(S), To(ParseAddress(S.Address, "127.0.0.1:783")) {}

  TStatus Check() override {
    const TExchange Reply = Exchange(To, "PING SPAMC/1.5\r\n\r\n", S.TimeoutMs, MostReply);
    if (Reply.Failure.empty() && Reply.Head.rfind("SPAMD/", 0) == 0 && Reply.Head.find("PONG") != std::string::npos)
      return TStatus::Ok();
    return TStatus::Fail(TFailureKind::Unavailable,
                         "spamassassin: spamd at " + To.Text() + " does not answer (" +
                             (Reply.Failure.empty() ? "its reply is no PONG" : Reply.Failure) + ")");
  }

  TClassification Classify(const std::string& Message) override {
    const std::string Body = Crlf(Message);
    const TExchange Reply = Exchange(
        To, "CHECK SPAMC/1.5\r\nContent-length: " + std::to_string(Body.size()) + "\r\n\r\n" + Body, S.TimeoutMs,
        MostReply);
    if (!Reply.Failure.empty()) return Failed(Reply.Failure);
    return ReadSpamdReply(Reply.Head, S.SpamScore);
  }

  TStatus Learn(const std::string& Message, bool Spam) override {
    const std::string Body = Crlf(Message);
    const TExchange Reply =
        Exchange(To,
                 std::string("TELL SPAMC/1.5\r\nMessage-class: ") + (Spam ? "spam" : "ham") +
                     "\r\nSet: local\r\nContent-length: " + std::to_string(Body.size()) + "\r\n\r\n" + Body,
                 S.TimeoutMs, MostReply);
    if (!Reply.Failure.empty()) return TStatus::Fail(TFailureKind::Unavailable, Reply.Failure);
    const std::string Status = Reply.Head.substr(0, Reply.Head.find('\n'));
    if (Status.rfind("SPAMD/", 0) != 0 || Status.find(" 0 ") == std::string::npos)
      return TStatus::Fail(TFailureKind::Unavailable, "spamd answered \"" + Status.substr(0, 200) + "\"");
    return TStatus::Ok();
  }

 private:
  const TClassifierSettings& S;
  TAddress To;
};

// rspamd's HTTP interface: the normal worker classifies, the controller learns.
class TRspamd : public TClassifier {
 public:
  explicit TRspamd(const TClassifierSettings& S)
      : S(S), To(ParseAddress(S.Address, "127.0.0.1:11333")), Controller(ParseAddress(S.Controller, "127.0.0.1:11334")) {}

  TStatus Check() override {
    const TExchange Reply = Exchange(To, Request("GET", "/ping", To, ""), S.TimeoutMs, MostReply);
    if (Reply.Failure.empty() && Status(Reply) == 200) return TStatus::Ok();
    return TStatus::Fail(TFailureKind::Unavailable, "rspamd at " + To.Text() + " does not answer (" +
                                                        (Reply.Failure.empty() ? FirstLine(Reply) : Reply.Failure) +
                                                        ")");
  }

  TClassification Classify(const std::string& Message) override {
    const TExchange Reply = Exchange(To, Request("POST", "/checkv2", To, Message), S.TimeoutMs, MostReply);
    if (!Reply.Failure.empty()) return Failed(Reply.Failure);
    if (Status(Reply) != 200) return Failed("rspamd answered \"" + FirstLine(Reply) + "\"");
    return ReadRspamdReply(Reply.Body, S.SpamScore);
  }

  TStatus Learn(const std::string& Message, bool Spam) override {
    const TExchange Reply = Exchange(Controller, Request("POST", Spam ? "/learnspam" : "/learnham", Controller, Message),
                                     S.TimeoutMs, MostReply);
    if (!Reply.Failure.empty()) return TStatus::Fail(TFailureKind::Unavailable, Reply.Failure);
    // 208: learnt before; 204: it is sure of the class already. Either way
    // it holds the message for what it was taught as.
    const int Code = Status(Reply);
    if (Code == 200 || Code == 204 || Code == 208) return TStatus::Ok();
    const nlohmann::json Body = nlohmann::json::parse(Reply.Body, nullptr, false);
    const std::string Why = Body.is_object() && Body.contains("error") && Body["error"].is_string()
                                ? Body["error"].get<std::string>()
                                : FirstLine(Reply);
    return TStatus::Fail(TFailureKind::Unavailable, "rspamd's controller at " + Controller.Text() +
                                                        " did not learn it: " + Why.substr(0, 200));
  }

 private:
  static std::string Request(const char* Method, const char* Path, const TAddress& At, const std::string& Body) {
    return std::string(Method) + " " + Path + " HTTP/1.1\r\nHost: " + (At.Path.empty() ? At.Text() : "localhost") +
           "\r\nContent-Length: " + std::to_string(Body.size()) + "\r\nConnection: close\r\n\r\n" + Body;
  }
  static int Status(const TExchange& Reply) {
    const std::string Line = FirstLine(Reply);
    const size_t Space = Line.find(' ');
    return Line.rfind("HTTP/", 0) == 0 && Space != std::string::npos ? std::atoi(Line.c_str() + Space + 1) : 0;
  }
  static std::string FirstLine(const TExchange& Reply) { return Reply.Head.substr(0, Reply.Head.find('\n')).substr(0, 200); }

  const TClassifierSettings& S;
  TAddress To, Controller;
};

std::string Quoted(const std::string& Text) {
  std::string Out = "'";
  for (char C : Text) Out += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Out + "'";
}

// bogofilter in its streaming bulk mode: one process for many messages, each
// handed over as a file of a folder of its own.
class TBogofilter : public TClassifier {
 public:
  explicit TBogofilter(const TClassifierSettings& S) : S(S) {}
  ~TBogofilter() override {
    Process.Stop();
    if (!Folder.empty()) {
      for (size_t I = 0; I < Written_; ++I) ::unlink((Folder + "/message" + std::to_string(I)).c_str());
      ::rmdir(Folder.c_str());
    }
  }

  TStatus Check() override {
    if (!Installed())
      return TStatus::Fail(TFailureKind::Unavailable, "bogofilter is not installed");
    // An empty message tells whether its word lists can be read.
    const TResult<TCommandOutput> Ran =
        RunShellFilter(Program("-T") + " 2>&1", "Subject: check\n\ncheck\n", S.TimeoutMs, 64 * 1024);
    if (!Ran) return TStatus::Fail(TFailureKind::Unavailable, "bogofilter: " + Ran.Status().Message());
    if (Ran->ExitStatus > 2)
      return TStatus::Fail(TFailureKind::Unavailable,
                           "bogofilter cannot classify (" + OneLine(Ran->Output) +
                               "); teach it first with --learn-spam and --learn-ham");
    return TStatus::Ok();
  }

  void Prepare() override {
    if (Folder.empty()) MakeFolder();
    if (!Process.Running()) (void)Process.Start("exec " + Program("-T -b"));
  }

  TClassification Classify(const std::string& Message) override { return ClassifyAll({&Message}).front(); }

  // The messages are written as files, their names go over in one write, and
  // the answers come back a line each.
  std::vector<TClassification> ClassifyAll(const std::vector<const std::string*>& Messages) override {
    const auto AllFailed = [&](const std::string& Why) {
      return std::vector<TClassification>(Messages.size(), Failed(Why));
    };
    if (Folder.empty() && !MakeFolder()) return AllFailed(std::string("no folder for bogofilter: ") + std::strerror(errno));
    std::string Names;
    for (size_t I = 0; I < Messages.size(); ++I) {
      const std::string Name = Folder + "/message" + std::to_string(I);
      FILE* Out = std::fopen(Name.c_str(), "w");
      const bool Written = Out && std::fwrite(Messages[I]->data(), 1, Messages[I]->size(), Out) == Messages[I]->size();
      if ((Out && std::fclose(Out) != 0) || !Written) return AllFailed("the message could not be written for bogofilter");
      Written_ = std::max(Written_, I + 1);
      Names += (I ? "\n" : "") + Name;
    }
    if (!Process.Running())
      if (const TStatus Started = Process.Start("exec " + Program("-T -b")); !Started)
        return AllFailed("bogofilter: " + Started.Message());
    std::vector<TClassification> Out;
    TResult<std::string> Line = Process.Ask(Names, S.TimeoutMs);
    for (size_t I = 0; I < Messages.size(); ++I) {
      if (I > 0 && Line) Line = Process.Next(S.TimeoutMs);
      Out.push_back(Line ? ReadBogofilterLine(*Line, S.SpamScore) : Failed("bogofilter: " + Line.Status().Message()));
    }
    return Out;
  }

  TStatus Learn(const std::string& Message, bool Spam) override {
    const TResult<TCommandOutput> Ran = RunShellFilter(Program(Spam ? "-s" : "-n") + " 2>&1", Message, S.TimeoutMs, 64 * 1024);
    if (!Ran) return TStatus::Fail(TFailureKind::Unavailable, "bogofilter: " + Ran.Status().Message());
    if (Ran->ExitStatus != 0)
      return TStatus::Fail(TFailureKind::Unavailable, "bogofilter did not learn it (" + OneLine(Ran->Output) + ")");
    return TStatus::Ok();
  }

 private:
  // A folder of its own, where memory holds the files if it can: a file
  // written and read again for each message costs a journal on a disk.
  bool MakeFolder() {
    const char* Runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* Temporary = std::getenv("TMPDIR");
    for (const char* Base : {Runtime, "/dev/shm", Temporary, "/tmp"}) {
      if (!Base || !*Base || ::access(Base, W_OK | X_OK) != 0) continue;
      std::string Template = std::string(Base) + "/quorrel-bogofilter.XXXXXX";
      if (!::mkdtemp(Template.data())) continue;
      Folder = Template;
      return true;
    }
    return false;
  }
  bool Installed() const {
    const TResult<TCommandOutput> Ran = RunShellCommand("command -v bogofilter >/dev/null", S.TimeoutMs, 0);
    return Ran && Ran->ExitStatus == 0;
  }
  std::string Program(const std::string& Flags) const {
    return "bogofilter " + (S.Db.empty() ? "" : "-d " + Quoted(S.Db) + " ") + Flags;
  }
  // Its complaint, without the advice it adds.
  static std::string OneLine(const std::string& Text) {
    for (const std::string& Line : SplitLines(Text))
      if (Line.find("Can't") != std::string::npos) return Trim(Line).substr(0, 300);
    std::string Out = Trim(Text);
    for (char& C : Out)
      if (C == '\n' || C == '\r') C = ' ';
    return Out.empty() ? "it gave no reason" : Out.substr(0, 300);
  }

  const TClassifierSettings& S;
  TCoprocess Process;
  std::string Folder;
  size_t Written_ = 0;  // files made in Folder
};

// A command of the user's: exit 1 is spam, 0 and 2 are not.
class TCommand : public TClassifier {
 public:
  explicit TCommand(const TClassifierSettings& S) : S(S) {}
  TStatus Check() override { return TStatus::Ok(); }
  TClassification Classify(const std::string& Message) override {
    const TResult<TCommandOutput> Ran = RunShellFilter(S.Command, Message, S.TimeoutMs, 64 * 1024);
    if (!Ran) return Failed("classify-command: " + Ran.Status().Message());
    const int Status = Ran->ExitStatus;
    if (Status == 1) return {TClassification::Spam, "classify-command exit 1"};
    if (Status == 0 || Status == 2) return {TClassification::Ham, "classify-command exit " + std::to_string(Status)};
    return Failed("classify-command: the command ended with status " + std::to_string(Status));
  }
  TStatus Learn(const std::string&, bool) override {
    return TStatus::Fail(TFailureKind::Usage, "a classify-command cannot be taught");
  }

 private:
  const TClassifierSettings& S;
};

}  // namespace

std::unique_ptr<TClassifier> MakeClassifier(const TClassifierSettings& Settings) {
  switch (Settings.Kind) {
    case TClassifierKind::Bogofilter: return std::make_unique<TBogofilter>(Settings);
    case TClassifierKind::SpamAssassin: return std::make_unique<TSpamd>(Settings);
    case TClassifierKind::Rspamd: return std::make_unique<TRspamd>(Settings);
    case TClassifierKind::Command: return std::make_unique<TCommand>(Settings);
    case TClassifierKind::None: break;
  }
  return nullptr;
}

}  // namespace quorrel
