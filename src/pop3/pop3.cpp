#include "pop3/pop3.h"

#include <cstdint>
#include <string_view>

#include "codec/codec.h"
#include "netutil/cleanup.h"
#include "netutil/netutil.h"

namespace quorrel {

namespace {

// What holding one line costs in ReplyLines besides its bytes.
constexpr int64_t LineCost = sizeof(std::string);

bool BeginsWithOk(const std::string& Line) { return Line.compare(0, 3, "+OK") == 0; }

// A line break would end a command early and let the rest pass for a command of
// its own; a NUL is cut or refused by servers unpredictably.
bool FitsOneCommand(std::string_view Text) { return Text.find_first_of(std::string_view("\r\n\0", 3)) == Text.npos; }

}  // namespace

TPOP3Send::TPOP3Send() {
  Socket.AnyLineBreak = true;
  TimeoutMs = 60000;
  Port = "pop3";
}

TPOP3Send::~TPOP3Send() = default;

// ---- connection ----

void TPOP3Send::DropConnection() {
  Socket.Abandon();
  StlsInUse = false;
  Outstanding = 0;
}

bool TPOP3Send::OpenConnection() {
  MessageCount = 0;
  MailboxSize = 0;
  StlsInUse = false;
  Outstanding = 0;
  Socket.CloseSocket();
  Socket.DiscardBuffered();
  Failure.FirstHopConnected = false;
  Failure.ServerLine.clear();
  Socket.Bind(BindAddress, "0");
  Failure.SocketCode = Socket.LastErrorCode;
  if (Socket.LastErrorCode == 0) {
    // The TLS handshake and a TLS read of a half-received record block in the
    // OS; these bound them by the same time as every other wait.
    Socket.SetReceiveTimeout(TimeoutMs);
    Socket.SetSendTimeout(TimeoutMs);
    ConnectNoting();
  }
  if (Socket.LastErrorCode != 0) {
    RecordFailure(LoginStepConnect);
    DropConnection();
    return false;
  }
  // The handshake follows the connection as a step of its own, so that a
  // failure can be told from one to reach the server.
  if (ImplicitTls) {
    Socket.StartTlsClient();
    if (Socket.LastErrorCode != 0) {
      NoteTlsFailure();
      DropConnection();
      return false;
    }
  }
  return true;
}

void TPOP3Send::ConnectNoting() {
  // Which hop failed and what a proxy answered are gone once Connect returns:
  // the socket's hooks note them on the way, and the caller's own hooks still run.
  const auto CallerStatus = Socket.StatusHandler;
  const auto CallerFilter = Socket.ReceiveFilter;
  TCleanup Restore([&] {
    Socket.StatusHandler = CallerStatus;
    Socket.ReceiveFilter = CallerFilter;
  });
  bool Tried = false;
  int32_t FirstHopCode = 0;
  std::string ProxyAnswer;
  Socket.StatusHandler = [&](TBlockSocket& S, TSocketStatusReason Reason, const std::string& Value) {
    if (Reason == SocketConnected && !Tried) {
      Tried = true;
      FirstHopCode = S.LastErrorCode;
    }
    if (CallerStatus) CallerStatus(S, Reason, Value);
  };
  // Only what a proxy says while the tunnel is negotiated; POP3 lines are not kept.
  Socket.ReceiveFilter = [&](TBlockSocket& S, std::string& Bytes) {
    if (Socket.ProxyNegotiating && ProxyAnswer.find('\n') == std::string::npos) ProxyAnswer += Bytes.substr(0, 200);
    if (CallerFilter) CallerFilter(S, Bytes);
  };
  Socket.Connect(Host, Port);
  Failure.FirstHopConnected = Tried && FirstHopCode == 0;
  Failure.SocketCode = Tried && FirstHopCode != 0 ? FirstHopCode : Socket.LastErrorCode;
  Failure.ServerLine = ProxyAnswer.substr(0, ProxyAnswer.find_first_of("\r\n"));
}

void TPOP3Send::RecordFailure(TLoginStep Step, const std::string& Reason) {
  LoginStopped = Step;
  Failure.Step = Step;
  Failure.Connected = Socket.HasSocket();
  Failure.Reason = Reason;
  if (Step == LoginStepTls) TlsFailure = Reason;
  // A connection that was not made was noted while it was tried.
  if (Step == LoginStepConnect) return;
  Failure.SocketCode = Socket.LastErrorCode;
  Failure.ServerLine = StatusLine;
}

void TPOP3Send::NoteTlsFailure() {
  std::string Reason = Socket.TlsLastErrorText;
  if (Reason.empty())
    Reason = "handshake failed: " + TBlockSocket::GetErrorDesc(Socket.LastErrorCode) + " (" +
             std::to_string(Socket.LastErrorCode) + ")";
  RecordFailure(LoginStepTls, Reason);
}

// ---- replies ----

bool TPOP3Send::ReceiveReplyLine(std::string& Line, int64_t* Dropped) {
  return Socket.ReceiveBoundedLine(TimeoutMs, MaxLineBytes, Line, Dropped, MaxReplyBytes);
}

int32_t TPOP3Send::ReadReply(bool MultiLine) {
  ReplyLines.clear();
  StatusLine.clear();
  ReplyStatus = 0;
  if (!Socket.HasSocket()) return 0;  // never connected, or dropped
  if (Outstanding > 0) --Outstanding;
  // A reply not read whole, also one left by an exception from a socket set to
  // raise, leaves its rest to be read as the next reply: the connection goes.
  TCleanup Drop([this] {
    ReplyLines.clear();
    DropConnection();
  });
  std::string Line;
  if (!ReceiveReplyLine(Line)) return 0;
  StatusLine = std::move(Line);
  const bool Positive = BeginsWithOk(StatusLine);
  if (MultiLine && Positive) {
    int64_t Held = 0;
    for (;;) {
      if (!ReceiveReplyLine(Line, &Held)) return 0;
      if (Line == ".") break;
      if (!Line.empty() && Line[0] == '.') Line.erase(0, 1);
      Held += int64_t(Line.size()) + LineCost;
      if (Held > MaxReplyBytes) return 0;
      ReplyLines.push_back(std::move(Line));
    }
  }
  Drop.Cancel();
  ReplyStatus = Positive ? 1 : 0;
  return ReplyStatus;
}

bool TPOP3Send::SendCommand(const std::string& Line) {
  // A command that waits for its reply would take the first of the replies
  // still owed to commands sent ahead.
  if (Outstanding > 0) return false;
  return SendLine(Line + "\r\n");
}

// POP3 replies are told apart only by their order: bytes that are already
// waiting before a command is sent cannot be its reply, and taking them as the
// next reply would tie every later answer to the wrong command (a DELE for the
// wrong message among them). So Text goes out only when nothing unasked-for is
// waiting; while replies are owed, waiting bytes are those replies.
bool TPOP3Send::SendLine(const std::string& Text) {
  if (!Socket.HasSocket()) return false;
  // Unasked-for input, or a send that failed or raised: whatever part of the
  // command left, the server's replies can no longer be matched to ours.
  TCleanup Drop([this] { DropConnection(); });
  if (Outstanding == 0 && !Socket.NothingUnread()) return false;
  const int Sent = Socket.SendText(Text);
  if (Sent < 0 || size_t(Sent) != Text.size() || Socket.LastErrorCode != 0) return false;
  Drop.Cancel();
  return true;
}

bool TPOP3Send::SendAhead(const std::vector<std::string>& Lines) {
  if (Lines.empty()) return Socket.HasSocket();
  std::string Text;
  for (const std::string& Line : Lines) {
    if (!FitsOneCommand(Line)) return false;
    Text += Line;
    Text += "\r\n";
  }
  if (!SendLine(Text)) return false;
  Outstanding += int32_t(Lines.size());
  return true;
}

bool TPOP3Send::Command(const std::string& Line, bool MultiLine) {
  ReplyLines.clear();
  StatusLine.clear();
  ReplyStatus = 0;
  if (!SendCommand(Line)) return false;
  return ReadReply(MultiLine) == 1;
}

// ---- login ----

bool TPOP3Send::CredentialsSafe() {
  if (FitsOneCommand(UserName) && FitsOneCommand(Password)) return true;
  ReplyStatus = 0;
  return false;
}

bool TPOP3Send::Login() {
  ApopChallenge.clear();
  LoginStopped = LoginStepNone;
  TlsFailure.clear();
  Failure = TLoginFailure();
  if (!CredentialsSafe()) {
    RecordFailure(LoginStepAuth, "the user name or password holds a line break or NUL");
    return false;
  }
  if (!OpenConnection()) return false;
  if (ReadReply(false) != 1) {
    RecordFailure(LoginStepGreeting);
    return false;
  }

  // The challenge runs from the first "<" to the first ">" behind it.
  const size_t Open = StatusLine.find('<');
  if (Open != std::string::npos) {
    const size_t Close = StatusLine.find('>', Open + 1);
    if (Close != std::string::npos)
      ApopChallenge = "<" + Trim(std::string_view(StatusLine).substr(Open + 1, Close - Open - 1)) + ">";
  }

  const bool StlsOffered = ReadCapabilities() && !FindCapability("STLS").empty();
  if (UseStls && StlsOffered && SwitchToTls()) ReadCapabilities();
  if (UseStls && StlsRequired && !StlsInUse && LoginStopped != LoginStepTls) {
    if (!StlsOffered)
      RecordFailure(LoginStepTls, "STLS not offered by the server");
    else if (!StatusLine.empty())
      RecordFailure(LoginStepTls, "STLS refused: " + StatusLine);
  }
  if (LoginStopped == LoginStepTls) {
    DropConnection();
    return false;
  }
  if (!Socket.HasSocket()) {  // the dialogue broke down on the way
    RecordFailure(LoginStepGreeting);
    return false;
  }

  bool Result = false;
  if (!ApopChallenge.empty() && AuthMode != AuthUserPassOnly) {
    Result = LoginApop();
    if (!Result) {
      // Only a refusal leads to a second try; a broken connection ends here.
      if (!Socket.HasSocket()) {
        RecordFailure(LoginStepGreeting);
        return false;
      }
      const bool WasTls = StlsInUse;
      if (!OpenConnection()) return false;
      if (ReadReply(false) != 1) {
        RecordFailure(LoginStepGreeting);
        return false;
      }
      // The password must not travel in clear where the first connection
      // had been switched to TLS.
      if (WasTls && !SwitchToTls()) {
        if (LoginStopped != LoginStepTls) RecordFailure(LoginStepTls, "STLS refused on the second connection: " + StatusLine);
        DropConnection();
        return false;
      }
    }
  }
  if (!Result && AuthMode != AuthApopOnly) Result = LoginUserPass();
  if (!Result) RecordFailure(LoginStepAuth);
  return Result;
}

bool TPOP3Send::LoginApop() {
  if (!CredentialsSafe()) return false;
  const std::string Digest = BytesToHex(Md5Digest(ApopChallenge + Password));
  return Command("APOP " + UserName + " " + Digest, false);
}

bool TPOP3Send::LoginUserPass() {
  if (!CredentialsSafe()) return false;
  if (!Command("USER " + UserName, false)) return false;
  return Command("PASS " + Password, false);
}

bool TPOP3Send::ReadCapabilities() {
  Capabilities.clear();
  if (!Command("CAPA", true)) return false;
  Capabilities = ReplyLines;
  return true;
}

std::string TPOP3Send::FindCapability(const std::string& Word) {
  const std::string Wanted = AsciiUpper(Word);
  for (const auto& Line : Capabilities)
    if (AsciiUpper(Line).compare(0, Wanted.size(), Wanted) == 0) return Line;
  return "";
}

bool TPOP3Send::HasCapability(const std::string& Word) const {
  const std::string Wanted = AsciiUpper(Word);
  for (const auto& Line : Capabilities) {
    const std::string Upper = AsciiUpper(Line);
    if (Upper.compare(0, Wanted.size(), Wanted) == 0 && (Upper.size() == Wanted.size() || Upper[Wanted.size()] == ' '))
      return true;
  }
  return false;
}

bool TPOP3Send::SwitchToTls() {
  if (!Command("STLS", false)) return false;
  // Bytes that came in clear behind the "+OK" cannot belong to the TLS
  // session; they are dropped, not read as its first reply.
  Socket.DiscardBuffered();
  Socket.StartTlsClient();
  if (Socket.LastErrorCode != 0) {
    NoteTlsFailure();
    // The server has agreed to TLS and may be inside its handshake: what it
    // sends next can no longer be read as POP3 replies.
    DropConnection();
    return false;
  }
  StlsInUse = true;
  return true;
}

// ---- transaction ----

bool TPOP3Send::Stat() {
  if (!Command("STAT", false)) return false;
  const std::string Rest = TextAfter(StatusLine, "+OK ");
  MessageCount = IntegerOrDefault(TextBefore(Rest, " "), 0);
  // RFC 1939 lets the server add text behind the size ("+OK 2 320 octets").
  MailboxSize = IntegerOrDefault(TextBefore(TextAfter(Rest, " "), " "), 0);
  return true;
}

bool TPOP3Send::Top(int32_t Number, int32_t Lines) {
  return Command("TOP " + std::to_string(Number) + " " + std::to_string(Lines), true);
}

bool TPOP3Send::Dele(int32_t Number) { return Command("DELE " + std::to_string(Number), false); }

void TPOP3Send::Logout() {
  Command("QUIT", false);
  // A QUIT that failed keeps its reason readable.
  Socket.CloseKeepingFailure();
  StlsInUse = false;
  Outstanding = 0;
}

}  // namespace quorrel
