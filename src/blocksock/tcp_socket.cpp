// TTCPBlockSocket: connect dispatch (SOCKS, HTTP tunnel, direct), listen
// (direct or through SOCKS BIND), the graceful close and the address answers
// while a proxy carries the connection. The TLS parts live in tcp_tls.cpp.
#include "blocksock/tcp_socket.h"

#include <algorithm>
#include <limits>

#include "codec/codec.h"
#include "netutil/cleanup.h"
#include "netutil/netutil.h"

namespace quorrel {

namespace {

constexpr uint8_t SocksCommandConnect = 1;
constexpr uint8_t SocksCommandBind = 2;

// A byte that would end the request line early (and so let the rest be read
// as a header of its own) has no place in a CONNECT target.
bool SafeRequestTarget(const std::string& Text) {
  for (char C : Text)
    if (C == '\r' || C == '\n' || C == '\0') return false;
  return true;
}

// Reads the proxy's reply head up to its empty line. TunnelTimeoutMs bounds the
// whole head, not each piece of it, and the head is held to TunnelReplyMaxLines
// lines of at most TunnelReplyMaxLineBytes each (the LF counted) and to
// TunnelReplyMaxBytes in all, so a proxy that keeps talking cannot hold the
// connect or grow memory for ever. False when the head broke a bound; then
// LastErrorCode is 10091. A receive error (10054, 10060) stays in LastErrorCode.
// Nothing is raised here: the caller closes the connection first.
bool ReadTunnelReply(TTCPBlockSocket& Socket) {
  const bool Unlimited = Socket.TunnelTimeoutMs == -1;
  auto Quiet = SetForScope(Socket.RaiseOnError, false);
  // Each line gets what is left of the time, over all its pieces; once none is
  // left, only bytes that are already there can still complete a line.
  auto PerChunk = SetForScope(Socket.TimeoutPerChunk, Unlimited);
  auto Limit = SetForScope(Socket.LineLimit, TunnelReplyMaxLineBytes);
  const uint32_t Start = CurrentTick();
  int64_t Held = 0;
  for (int Lines = 1;; ++Lines) {
    int64_t Left = -1;
    if (!Unlimited)
      Left = std::max<int64_t>(0, int64_t(Socket.TunnelTimeoutMs) - int64_t(TickDifference(Start, CurrentTick())));
    std::string Line = Socket.ReceiveUntil(int(Left), "\n");
    if (Socket.LastErrorCode == ErrLineTooLong) break;
    if (Socket.LastErrorCode != 0) return true;
    if (Line.size() > 11 && Line.compare(0, 5, "HTTP/") == 0) Socket.TunnelEstablished = Line[9] == '2';
    if (Line.empty() || Line == "\r") return true;
    Held += int64_t(Line.size()) + 1;
    if (Held > TunnelReplyMaxBytes || Lines >= TunnelReplyMaxLines) break;
  }
  Socket.LastErrorCode = ErrSubsystemUnusable;
  return false;
}

}  // namespace

TTCPBlockSocket::TTCPBlockSocket() = default;

TTCPBlockSocket::~TTCPBlockSocket() { CloseOnDestroy(); }

void TTCPBlockSocket::CloseSocket() {
  if (TlsActive) ShutdownTls();
  if (HasSocket()) {
    OsShutdown(SocketHandle, WinSock::SdSend);
    DiscardInput();
  }
  TBlockSocket::CloseSocket();
}

void TTCPBlockSocket::Connect(const std::string& Host, const std::string& Port) {
  ConnectHost = Host;
  // A failed connect with TLS switched on leaves TLS off, also when the failure
  // leaves as an exception; the connect's code and text stay in force.
  TCleanup DropTls([this] {
    if (!TlsActive) return;
    ReadBuffer.clear();
    ReleaseTls();
  });
  if (!SocksProxyHost.empty())
    SocksConnect(Host, Port);
  else if (!TunnelProxyHost.empty())
    TunnelConnect(Host, Port);
  else
    TBlockSocket::Connect(Host, Port);
  if (LastErrorCode != 0) return;
  DropTls.Cancel();
  if (TlsActive) StartTlsClient();
}

void TTCPBlockSocket::SocksConnect(const std::string& Host, const std::string& Port) {
  TBlockSocket::Connect(SocksProxyHost, SocksProxyPort);
  if (LastErrorCode == 0) {
    bool Ok = SocksGreet();
    if (Ok) Ok = SocksSendRequest(SocksCommandConnect, Host, Port);
    if (Ok) Ok = SocksReadReply();
    if (!Ok && LastErrorCode == 0) LastErrorCode = ErrSubsystemUnusable;
    SocksBoundHost = SocksReplyHost;
    SocksBoundPort = SocksReplyPort;
    SocksTargetHost = Host;
    SocksTargetPort = Port;
  }
  CheckError();
  ReportStatus(SocketConnected, Host + ":" + Port);
}

void TTCPBlockSocket::TunnelConnect(const std::string& Host, const std::string& Port) {
  const std::string PortText = std::to_string(ResolveServicePort(Port));
  {
    auto Negotiating = SetForScope(ProxyNegotiating, true);
    TBlockSocket::Connect(TunnelProxyHost, TunnelProxyPort);
    if (LastErrorCode != 0) return;
    TunnelEstablished = false;

    std::string Target = IsIPv6Text(Host) ? "[" + Host + "]" : Host;
    if (SafeRequestTarget(Target)) {
      SendText("CONNECT " + Target + ":" + PortText + " HTTP/1.0\r\n");
      if (!TunnelUser.empty())
        SendText("Proxy-Authorization: Basic " + ToBase64(TunnelUser + ":" + TunnelPassword) + "\r\n");
      SendText("\r\n");

      if (!ReadTunnelReply(*this) || LastErrorCode == ErrTimedOut) {
        // A proxy that broke the bounds may still be sending; nothing more of
        // it is read, and nothing it sent is left for a later receive.
        const int32_t Code = LastErrorCode;
        ReadBuffer.clear();
        TBlockSocket::CloseSocket();
        LastErrorCode = Code;
      }
    }
    // A dialogue broken off after a 2xx line has established nothing.
    if (LastErrorCode != 0) TunnelEstablished = false;
    if (LastErrorCode == 0 && !TunnelEstablished) LastErrorCode = ErrSubsystemUnusable;
    TunnelTargetHost = Target;
    TunnelTargetPort = PortText;
  }
  CheckError();
}

void TTCPBlockSocket::Listen() {
  if (SocksProxyHost.empty()) {
    RecordOsResult(OsListen(SocketHandle, WinSock::SoMaxConn));
    ReadBothAddresses();
  } else {
    std::string Ip = LocalAddressText();
    if (Ip == "0.0.0.0") Ip = LocalHostName();
    const std::string PortText = std::to_string(LocalPortNumber());
    TBlockSocket::Connect(SocksProxyHost, SocksProxyPort);
    bool Ok = SocksGreet();
    if (Ok) Ok = SocksSendRequest(SocksCommandBind, Ip, PortText);
    if (Ok) Ok = SocksReadReply();
    if (!Ok && LastErrorCode == 0) LastErrorCode = ErrNonRecoverable;
    SocksBoundHost = SocksReplyHost == "0.0.0.0" ? SocksProxyHost : SocksReplyHost;
    SocksBoundPort = SocksReplyPort;
    SocksTargetHost.clear();
    SocksTargetPort.clear();
  }
  CheckError();
  ReportStatus(SocketListening, "");
}

std::string TTCPBlockSocket::LocalAddressText() {
  if (ViaSocks) return SocksBoundHost;
  return TBlockSocket::LocalAddressText();
}

std::string TTCPBlockSocket::RemoteAddressText() {
  if (ViaSocks) return SocksTargetHost;
  if (TunnelEstablished) return TunnelTargetHost;
  return TBlockSocket::RemoteAddressText();
}

int TTCPBlockSocket::LocalPortNumber() {
  if (ViaSocks) return IntegerOrDefault(SocksBoundPort, 0);
  return TBlockSocket::LocalPortNumber();
}

int TTCPBlockSocket::RemotePortNumber() {
  if (ViaSocks) return ResolveServicePort(SocksTargetPort);
  if (TunnelEstablished) return IntegerOrDefault(TunnelTargetPort, 0);
  return TBlockSocket::RemotePortNumber();
}

void TTCPBlockSocket::DiscardBuffered() {
  ReadBuffer.clear();
  SkipLeadingLF = false;
  SkipLeadingCR = false;
}

void TTCPBlockSocket::CloseKeepingFailure() {
  // Closing clears the error code.
  const int32_t Code = LastErrorCode;
  const std::string Text = LastErrorText;
  TCleanup Keep([&] {
    DiscardBuffered();
    if (Code == 0) return;
    LastErrorCode = Code;
    LastErrorText = Text;
  });
  CloseSocket();
}

void TTCPBlockSocket::Abandon() {
  try {
    auto Quiet = SetForScope(RaiseOnError, false);
    CloseKeepingFailure();
  } catch (...) {
    // A status or filter hook that throws must not stop the close.
  }
}

bool TTCPBlockSocket::NothingUnread() {
  if (ReadBuffer.empty() && (TlsPathInForce() || PendingBytes() == 0)) return true;
  std::string Early;
  {
    auto Unlimited = SetForScope(LineLimit, 0);
    Early = ReceiveChunk(0);
  }
  if (LastErrorCode != 0) return false;
  if (Early.size() == 1 && ((Early[0] == '\n' && SkipLeadingLF) || (Early[0] == '\r' && SkipLeadingCR))) {
    SkipLeadingLF = SkipLeadingCR = false;
    return true;
  }
  return false;
}

bool TTCPBlockSocket::ReceiveBoundedLine(int Timeout, int32_t Longest, std::string& Line, int64_t* Dropped,
                                         int64_t MaxDropped) {
  // The limit counts a line with its line end.
  Longest = std::clamp(Longest, 1, std::numeric_limits<int32_t>::max() - 2);
  auto Limit = SetForScope(LineLimit, Longest + 2);
  // Unlike ReceiveLine, ReceiveUntil hands out a complete line even when it is
  // beyond the limit.
  Line = ReceiveUntil(Timeout, "\r\n");
  if (LastErrorCode == 0 && Line.size() <= size_t(Longest)) return true;
  if (!Dropped) {
    Line.clear();
    return false;
  }
  if (LastErrorCode == 0 || (LastErrorCode == ErrLineTooLong && !Line.empty())) {
    *Dropped += int64_t(Line.size() - std::min(Line.size(), size_t(Longest)));
    Line.resize(std::min(Line.size(), size_t(Longest)));
    LastErrorCode = 0;
    return *Dropped <= MaxDropped;
  }
  if (LastErrorCode != ErrLineTooLong) {
    Line.clear();
    return false;
  }
  // No line end yet: what was gathered, more than Longest bytes of the line, is
  // back in ReadBuffer.
  Line.assign(ReadBuffer.View().substr(0, size_t(Longest)));
  ReadBuffer.Drop(size_t(Longest));
  LastErrorCode = 0;
  LineLimit = 0;
  // Each chunk is looked at where it lies; only what follows the line's end is
  // kept, so the dropped part costs no more memory than one chunk.
  for (std::string Chunk = ReadBuffer.TakeAll();; Chunk = ReceiveChunk(Timeout)) {
    if (LastErrorCode != 0) return false;
    const size_t Break = Chunk.find_first_of("\r\n");
    *Dropped += int64_t(Break == std::string::npos ? Chunk.size() : Break);
    if (*Dropped > MaxDropped) return false;
    if (Break != std::string::npos) {
      ReadBuffer.Assign(std::move(Chunk), Break);
      ReceiveLine(Timeout);  // the line end, with its partner where it has one
      return LastErrorCode == 0;
    }
  }
}

int TTCPBlockSocket::SocketType() { return 1; }

int TTCPBlockSocket::SocketProtocol() { return 6; }

}  // namespace quorrel
