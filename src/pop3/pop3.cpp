#include "pop3/pop3.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

#include "codec/codec.h"
#include "pop3/scram.h"
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

// The mechanisms of the capability "SASL PLAIN LOGIN ...", blank-separated.
std::string SaslLine(const std::vector<std::string>& Capabilities) {
  for (const std::string& Line : Capabilities)
    if (AsciiUpper(Line.substr(0, 5)) == "SASL ") return Trim(std::string_view(Line).substr(5));
  return "";
}


}  // namespace

TPOP3Send::TPOP3Send() {
  Socket.AnyLineBreak = true;
  TimeoutMs = 60000;
  Port = "pop3";
}

TPOP3Send::~TPOP3Send() = default;

namespace {

// Reads the decimal digits at Text[Pos...] (at least one, at most ten).
bool ReadNumber(std::string_view Text, size_t& Pos, uint64_t& Value) {
  const size_t Start = Pos;
  Value = 0;
  while (Pos < Text.size() && Text[Pos] >= '0' && Text[Pos] <= '9' && Pos - Start < 10)
    Value = Value * 10 + uint64_t(Text[Pos++] - '0');
  return Pos > Start && (Pos == Text.size() || Text[Pos] < '0' || Text[Pos] > '9');
}

}  // namespace

bool ParseScanListing(std::string_view Text, uint64_t& Number, uint64_t& Size) {
  size_t Pos = 0;
  if (!ReadNumber(Text, Pos, Number) || Pos >= Text.size() || Text[Pos] != ' ') return false;
  ++Pos;
  return ReadNumber(Text, Pos, Size) && (Pos == Text.size() || Text[Pos] == ' ');
}

// ---- connection ----

void TPOP3Send::DropConnection() {
  Socket.Abandon();
  StlsInUse = false;
  Outstanding = 0;
  Flight.clear();
}

bool TPOP3Send::OpenConnection() {
  MessageCount = 0;
  MailboxSize = 0;
  StlsInUse = false;
  Outstanding = 0;
  Flight.clear();
  OutOfStep.clear();
  QuitAhead = false;
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
  Failure.Step = Step;
  Failure.Connected = Socket.HasSocket();
  Failure.Reason = Reason;
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
  ReplyCut = false;
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
      const int64_t Before = Held;
      if (!ReceiveReplyLine(Line, &Held)) return 0;
      // Only the bytes of a cut line's rest were added.
      if (Held != Before) ReplyCut = true;
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

int32_t TPOP3Send::ReadReplyTo(const TLineSink& Sink) {
  ReplyLines.clear();
  StatusLine.clear();
  ReplyStatus = 0;
  ReplyCut = false;
  if (!Socket.HasSocket()) return 0;
  if (Outstanding > 0) --Outstanding;
  // As in ReadReply: a reply not read whole leaves the session out of step.
  TCleanup Drop([this] { DropConnection(); });
  std::string Line;
  if (!ReceiveReplyLine(Line)) return 0;
  StatusLine = std::move(Line);
  const bool Positive = BeginsWithOk(StatusLine);
  bool Taking = true;
  while (Positive) {
    int64_t Dropped = 0;
    if (!ReceiveReplyLine(Line, &Dropped)) return 0;
    if (Dropped != 0) ReplyCut = true;
    if (Line == ".") break;
    std::string_view Text(Line);
    if (!Text.empty() && Text[0] == '.') Text.remove_prefix(1);
    if (Taking) Taking = Sink(Text);
  }
  Drop.Cancel();
  ReplyStatus = Positive ? 1 : 0;
  return ReplyStatus;
}

bool TPOP3Send::Retr(int32_t Number, const TLineSink& Sink) {
  const std::string Line = "RETR " + std::to_string(Number);
  StatusLine.clear();
  ReplyStatus = 0;
  if (!Claim(Line) && !SendCommand(Line)) return false;
  return ReadReplyTo(Sink) == 1;
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
  // As in Command: a send that fails leaves no earlier reply to be named as
  // its cause.
  StatusLine.clear();
  if (QuitAhead) return false;  // the server takes nothing after QUIT
  for (const std::string& Line : Lines)
    if (!FitsOneCommand(Line)) return false;
  // Those already sent in the login's flight are only claimed.
  size_t First = 0;
  while (First < Lines.size() && Claim(Lines[First])) ++First;
  if (First == Lines.size()) return Socket.HasSocket();
  std::string Text;
  for (size_t I = First; I < Lines.size(); ++I) Text += Lines[I] + "\r\n";
  if (!SendLine(Text)) return false;
  Outstanding += int32_t(Lines.size() - First);
  return true;
}

bool TPOP3Send::Command(const std::string& Line, bool MultiLine) {
  ReplyLines.clear();
  StatusLine.clear();
  ReplyStatus = 0;
  if (!Claim(Line) && !SendCommand(Line)) return false;
  return ReadReply(MultiLine) == 1;
}

bool TPOP3Send::SendAheadThenQuit(const std::vector<std::string>& Lines) {
  // Replies of the login's flight left unread are set aside by Logout, which
  // then sends the QUIT itself.
  if (!Flight.empty()) return SendAhead(Lines);
  std::vector<std::string> All = Lines;
  All.push_back("QUIT");
  if (!SendAhead(All)) return false;
  QuitAhead = true;
  return true;
}

// ---- the login's flight ----

bool TPOP3Send::FlightAllowed() const { return LoginInOneFlight && HasCapability("PIPELINING"); }

bool TPOP3Send::SendLastLoginCommands(std::vector<std::string> Lines) {
  if (!FlightAllowed()) return Lines.size() == 1 && SendCommand(Lines.front());
  // One send: a second small one could wait on the first one's acknowledgement.
  Lines.insert(Lines.end(), FirstCommands.begin(), FirstCommands.end());
  if (!SendAhead(Lines)) return false;
  Flight = FirstCommands;
  return true;
}

bool TPOP3Send::Claim(const std::string& Line) {
  if (Flight.empty() || Flight.front() != Line) return false;
  Flight.erase(Flight.begin());
  return true;
}

namespace {

// Whether a positive reply to Command goes on to a list ended by ".".
bool ListsLines(const std::string& Command) {
  return Command == "LIST" || Command == "UIDL" || Command == "CAPA" || Command.rfind("TOP ", 0) == 0 ||
         Command.rfind("RETR ", 0) == 0;
}

}  // namespace

void TPOP3Send::SetAsideFlight() {
  // Nothing in them may be taken for an answer: after a refused login they
  // are the server's refusals, and unasked for they were never wanted.
  while (!Flight.empty() && Socket.HasSocket()) {
    const std::string Line = Flight.front();
    Flight.erase(Flight.begin());
    ReadReply(ListsLines(Line));
  }
  Flight.clear();
}

// ---- login ----

bool TPOP3Send::CredentialsSafe() {
  if (FitsOneCommand(UserName) && FitsOneCommand(Password)) return true;
  ReplyStatus = 0;
  return false;
}

bool TPOP3Send::Login() {
  ApopChallenge.clear();
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

  Greeting = StatusLine;
  // The challenge runs from the first "<" to the first ">" behind it.
  const size_t Open = StatusLine.find('<');
  if (Open != std::string::npos) {
    const size_t Close = StatusLine.find('>', Open + 1);
    if (Close != std::string::npos)
      ApopChallenge = "<" + Trim(std::string_view(StatusLine).substr(Open + 1, Close - Open - 1)) + ">";
  }

  const bool StlsOffered = ReadCapabilities() && !FindCapability("STLS").empty();
  if (UseStls && StlsOffered && SwitchToTls()) ReadCapabilities();
  if (UseStls && StlsRequired && !StlsInUse && Failure.Step != LoginStepTls) {
    if (!StlsOffered)
      RecordFailure(LoginStepTls, "STLS not offered by the server");
    else if (!StatusLine.empty())
      RecordFailure(LoginStepTls, "STLS refused: " + StatusLine);
  }
  if (Failure.Step == LoginStepTls) {
    DropConnection();
    return false;
  }
  if (!Socket.HasSocket()) {  // the dialogue broke down on the way
    RecordFailure(LoginStepGreeting);
    return false;
  }

  const std::string Mechanism = SaslMechanism();
  if (const std::string Why = MethodUnavailable(Mechanism); !Why.empty()) {
    RecordFailure(LoginStepAuth, Why);
    Failure.ServerLine.clear();
    return false;
  }
  SaslReason.clear();
  bool Result = false;
  if (!ApopChallenge.empty() && (AuthMode == AuthAny || AuthMode == AuthApopOnly)) {
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
        if (Failure.Step != LoginStepTls) RecordFailure(LoginStepTls, "STLS refused on the second connection: " + StatusLine);
        DropConnection();
        return false;
      }
    }
  }
  if (!Result && AuthMode != AuthApopOnly) Result = Mechanism.empty() ? LoginUserPass() : LoginSasl(Mechanism);
  if (!Result) {
    RecordFailure(LoginStepAuth, SaslReason);
    // A challenge is no refusal: only the server's "-ERR" words are its reply.
    if (Failure.ServerLine.compare(0, 1, "+") == 0) Failure.ServerLine.clear();
  }
  return Result;
}

std::string TPOP3Send::SaslMechanism() const {
  switch (AuthMode) {
    case AuthPlain: return "PLAIN";
    case AuthScramSha256: return "SCRAM-SHA-256";
    case AuthXOAuth2: return "XOAUTH2";
    case AuthOAuthBearer: return "OAUTHBEARER";
    case AuthAny:
      if (Capabilities.empty() || HasCapability("USER")) return "";
      if (OffersSasl("SCRAM-SHA-256")) return "SCRAM-SHA-256";
      // PLAIN hands the password to whoever reads the connection.
      if (OffersSasl("PLAIN") && (StlsInUse || ImplicitTls)) return "PLAIN";
      return "";
    default: return "";
  }
}

std::string TPOP3Send::MethodUnavailable(const std::string& Mechanism) const {
  std::string Method;
  if (!Mechanism.empty() && AuthMode != AuthAny && !OffersSasl(Mechanism)) Method = Mechanism;
  // Without an answer to CAPA nothing tells whether USER is there.
  if (OnlyOfferedMethod && AuthMode == AuthUserPassOnly && !Capabilities.empty() && !HasCapability("USER"))
    Method = "USER";
  if (OnlyOfferedMethod && AuthMode == AuthApopOnly && ApopChallenge.empty()) Method = "APOP";
  if (Method.empty()) return "";
  return "the server does not offer " + Method + " (it offers " + OfferedMethods() + ")";
}

std::string TPOP3Send::OfferedMethods() const {
  std::vector<std::string> Methods;
  if (HasCapability("USER")) Methods.push_back("USER");
  if (!ApopChallenge.empty()) Methods.push_back("APOP");
  std::string Sasl = SaslLine(Capabilities);
  while (!Sasl.empty()) Methods.push_back(CutToken(Sasl, " "));
  if (Methods.empty()) return Capabilities.empty() ? "nothing that it lists: it answered no CAPA" : "no login method";
  std::string Text = Methods.front();
  for (size_t I = 1; I < Methods.size(); ++I) Text += ", " + Methods[I];
  return Text;
}

bool TPOP3Send::OffersSasl(const std::string& Mechanism) const {
  std::string Sasl = AsciiUpper(SaslLine(Capabilities));
  while (!Sasl.empty())
    if (CutToken(Sasl, " ") == AsciiUpper(Mechanism)) return true;
  return false;
}

bool TPOP3Send::Authenticate(const std::string& Mechanism, const std::string& Initial, bool InitialOnLine,
                             const TSaslAnswer& Answer) {
  const std::string Encoded = ToBase64(Initial);
  std::string Line = "AUTH " + Mechanism;
  // RFC 5034: on the AUTH line only while the whole line, CR LF included,
  // stays within 255 octets; an empty one is written "=" there.
  bool InitialSent = InitialOnLine && Line.size() + 1 + std::max<size_t>(Encoded.size(), 1) + 2 <= 255;
  if (InitialSent) Line += " " + (Encoded.empty() ? std::string("=") : Encoded);
  // Only a message known to be the mechanism's last may carry the commands
  // that follow the login: after any other the server still answers in SASL.
  const auto SendStep = [this](const std::string& Text, bool Last) {
    return Last && SaslLastStep ? SendLastLoginCommands({Text}) : SendCommand(Text);
  };
  if (!SendStep(Line, InitialSent)) return false;
  // No mechanism here takes more than a few rounds; a server that goes on
  // asking is cut off.
  for (int Round = 0; Round < 8; ++Round) {
    if (ReadReply(false) == 1) return true;
    if (StatusLine != "+" && StatusLine.compare(0, 2, "+ ") != 0) return false;  // "-ERR", or no reply at all
    std::string Response = Encoded;
    if (InitialSent) {
      const std::optional<std::string> Challenge = FromBase64(Trim(std::string_view(StatusLine).substr(1)));
      std::string Raw;
      TSaslStep Step = TSaslStep::Cancel;
      if (!Challenge)
        SaslReason = "the server's challenge is not Base64";
      else if (Answer)
        Step = Answer(*Challenge, Raw);
      if (Step == TSaslStep::Abort) {
        DropConnection();
        return false;
      }
      if (Step == TSaslStep::Cancel) {
        if (SendCommand("*")) ReadReply(false);
        return false;
      }
      Response = ToBase64(Raw);
    }
    InitialSent = true;
    if (!SendStep(Response, true)) return false;
  }
  DropConnection();
  return false;
}

bool TPOP3Send::LoginSasl(const std::string& Mechanism) {
  if (!CredentialsSafe()) return false;
  const std::string Nul(1, '\0');
  // PLAIN is one message; SCRAM's last is the answer to the server's proof;
  // after an OAuth token the server may still ask (a refusal's reason).
  SaslLastStep = Mechanism == "PLAIN";
  TCleanup Reset([this] { SaslLastStep = false; });
  if (Mechanism == "PLAIN") return Authenticate(Mechanism, Nul + UserName + Nul + Password, true, nullptr);
  if (Mechanism == "XOAUTH2" || Mechanism == "OAUTHBEARER") {
    const std::string Bearer = "auth=Bearer " + Password + "\x01\x01";
    const std::string Initial = Mechanism == "XOAUTH2"
                                    ? "user=" + UserName + "\x01" + Bearer
                                    : "n,a=" + SaslName(UserName) + ",\x01host=" + Host + "\x01port=" + Port + "\x01" + Bearer;
    // A refused token comes back as a challenge holding the reason (JSON);
    // the exchange must still be finished before the server says -ERR.
    return Authenticate(Mechanism, Initial, false, [&](const std::string& Challenge, std::string& Response) {
      SaslReason = "the token was refused: " + Challenge.substr(0, 500);
      Response = Mechanism == "OAUTHBEARER" ? "\x01" : "";
      return TSaslStep::Respond;
    });
  }
  TScramSha256Client Scram;
  Scram.Nonce = ScramNonce;
  const std::string First = Scram.ClientFirst(UserName);
  if (First.empty()) {
    SaslReason = "no random nonce could be had for SCRAM";
    return false;
  }
  bool FinalSent = false, Proven = false;
  const bool Accepted = Authenticate(Mechanism, First, true, [&](const std::string& Challenge, std::string& Response) {
    if (!FinalSent) {
      FinalSent = true;
      return Scram.ClientFinal(Challenge, Password, Response, SaslReason) ? TSaslStep::Respond : TSaslStep::Cancel;
    }
    // The server must prove that it knows the password before the session
    // goes on; one that cannot gets nothing more.
    if (!Scram.VerifyServerFinal(Challenge, SaslReason)) return TSaslStep::Abort;
    Proven = true;
    SaslLastStep = true;
    return TSaslStep::Respond;
  });
  if (Accepted && !Proven) {
    SaslReason = "the server accepted the login without proving that it knows the password";
    DropConnection();
    return false;
  }
  return Accepted;
}

bool TPOP3Send::LoginApop() {
  if (!CredentialsSafe()) return false;
  const std::string Digest = BytesToHex(Md5Digest(ApopChallenge + Password));
  const std::string Line = "APOP " + UserName + " " + Digest;
  if (!FlightAllowed()) return Command(Line, false);
  return SendLastLoginCommands({Line}) && ReadReply(false) == 1;
}

bool TPOP3Send::LoginUserPass() {
  if (!CredentialsSafe()) return false;
  if (!FlightAllowed()) {
    if (!Command("USER " + UserName, false)) return false;
    return Command("PASS " + Password, false);
  }
  // USER and PASS together: the PASS reply is owed whatever USER's says.
  if (!SendLastLoginCommands({"USER " + UserName, "PASS " + Password})) return false;
  if (ReadReply(false) != 1) {
    Flight.insert(Flight.begin(), "PASS");
    return false;
  }
  return ReadReply(false) == 1;
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
  const bool Ahead = !Flight.empty() && Flight.front() == "STAT";
  if (!Command("STAT", false)) return false;
  const std::string Rest = TextAfter(StatusLine, "+OK ");
  // Sent ahead, a STAT answered without its two numbers has most likely been
  // given another command's reply: every later reply would be taken for the
  // wrong command's.
  uint64_t Count = 0, Size = 0;
  if (Ahead && !ParseScanListing(Rest, Count, Size)) {
    OutOfStep = "STAT was to be answered \"+OK <count> <size>\", the server said \"" + StatusLine.substr(0, 200) + "\"";
    DropConnection();
    ReplyStatus = 0;
    return false;
  }
  MessageCount = IntegerOrDefault(TextBefore(Rest, " "), 0);
  // RFC 1939 lets the server add text behind the size ("+OK 2 320 octets").
  const std::string Octets = TextBefore(TextAfter(Rest, " "), " ");
  int64_t Parsed = 0;
  const auto [End, Error] = std::from_chars(Octets.data(), Octets.data() + Octets.size(), Parsed);
  MailboxSize = Error == std::errc() && End == Octets.data() + Octets.size() ? Parsed : 0;
  return true;
}

bool TPOP3Send::Top(int32_t Number, int32_t Lines) {
  return Command("TOP " + std::to_string(Number) + " " + std::to_string(Lines), true);
}

bool TPOP3Send::Dele(int32_t Number) { return Command("DELE " + std::to_string(Number), false); }

namespace {

// Reads the lines of a LIST reply into Sizes by number; false unless each of
// the Count messages is listed once.
bool SizesListed(const std::vector<std::string>& Lines, size_t Count, std::vector<uint32_t>& Sizes) {
  Sizes.clear();
  // Counted before anything is sized by the count, which the server chose.
  if (Lines.size() != Count) return false;
  std::vector<uint32_t> Listed(Count + 1, 0);
  std::vector<bool> Seen(Count + 1, false);
  for (const std::string& Line : Lines) {
    uint64_t Number = 0, Size = 0;
    if (!ParseScanListing(Line, Number, Size) || Number < 1 || Number > Count || Seen[Number] || Size > UINT32_MAX)
      return false;
    Seen[Number] = true;
    Listed[Number] = uint32_t(Size);
  }
  Sizes.swap(Listed);
  return true;
}

}  // namespace

bool TPOP3Send::ListSizes(std::vector<uint32_t>& Sizes) {
  Sizes.clear();
  return Command("LIST", true) && SizesListed(ReplyLines, size_t(std::max(MessageCount, 0)), Sizes);
}

bool TPOP3Send::ListIdsAndSizes(std::vector<std::string>& Ids, std::vector<uint32_t>& Sizes) {
  Ids.clear();
  Sizes.clear();
  const size_t Count = size_t(std::max(MessageCount, 0));
  std::vector<std::string> IdLines;
  if (HasCapability("PIPELINING")) {
    // Both replies are read whatever the first says: the next command must
    // not take the second for its own.
    if (!SendAhead({"UIDL", "LIST"})) return false;
    const bool IdsOk = ReadReply(true) == 1;
    IdLines.swap(ReplyLines);
    if (ReadReply(true) != 1 || !IdsOk) return false;
  } else {
    if (!Command("UIDL", true)) return false;
    IdLines.swap(ReplyLines);
    if (!Command("LIST", true)) return false;
  }
  // Counted before anything is sized by the message count, which the server
  // chose too.
  if (IdLines.size() != Count || !SizesListed(ReplyLines, Count, Sizes)) return false;
  Ids.assign(Count + 1, "");
  for (const std::string& Line : IdLines) {
    const size_t Blank = Line.find(' ');
    uint64_t Number = 0, Ignored = 0;
    const std::string Id = Blank == std::string::npos ? "" : Line.substr(Blank + 1);
    const bool Printable = std::all_of(Id.begin(), Id.end(), [](char C) { return C > 0x20 && C < 0x7F; });
    if (!ParseScanListing(Line.substr(0, Blank) + " 0", Number, Ignored) || Number < 1 || Number > Count ||
        !Ids[Number].empty() || Id.empty() || Id.size() > 70 || !Printable)
      return false;
    Ids[Number] = Id;
  }
  return true;
}

void TPOP3Send::Logout() {
  if (QuitAhead) {
    // The QUIT's reply must be the only one owed; with others unread, or no
    // connection, the QUIT stays unconfirmed.
    QuitAhead = false;
    if (Outstanding != 1 || ReadReply(false) != 1) {
      DropConnection();
      ReplyStatus = 0;
    }
  } else {
    SetAsideFlight();
    Command("QUIT", false);
  }
  // A QUIT that failed keeps its reason readable.
  Socket.CloseKeepingFailure();
  StlsInUse = false;
  Outstanding = 0;
}

}  // namespace quorrel
