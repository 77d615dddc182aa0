// TBlockSocket: lifecycle of the OS socket, the error model, status events, data
// filters and socket option requests. Data transfer lives in transfer.cpp and
// addressing in addressing.cpp.
#include "blocksock/block_socket.h"

#include <cstring>
#include <iterator>

#include "netutil/cleanup.h"
#include "netutil/netutil.h"

namespace quorrel {

namespace {

// DiscardInput drains what a closing peer still sends; a peer that never stops
// sending must not hold the close forever.
constexpr uint32_t DiscardInputLimitMs = 5000;

}  // namespace

TBlockSocket::TBlockSocket() : StartupData(SocketStartupData) { SocketSetZero(ReadWaitSet); }

TBlockSocket::~TBlockSocket() {
  // Skipped when a class that overrides CloseSocket has closed through its own
  // override already.
  CloseOnDestroy();
  PendingOptions.clear();
}

void TBlockSocket::CloseOnDestroy() noexcept {
  if (ClosedOnDestroy) return;
  ClosedOnDestroy = true;
  // A destructor must not throw: an exception from a status handler during the
  // final close is dropped here, the OS socket is released all the same.
  try {
    CloseSocket();
  } catch (...) {
    if (SocketHandle != InvalidSocket) OsCloseSocket(SocketHandle);
    SocketHandle = InvalidSocket;
  }
}

// ---------------------------------------------------------------------------
// Lifecycle

void TBlockSocket::SetIPFamily(TIPFamily Family) {
  IPFamily = Family;
  ConfiguredIPFamily = Family;
}

void TBlockSocket::AdoptHandle(TSocketHandle Handle) {
  // The socket held so far would otherwise stay open with nothing to close it.
  if (HasSocket() && Handle != SocketHandle) CloseSocket();
  ReadBuffer.clear();
  SkipLeadingLF = false;
  SkipLeadingCR = false;
  ReceivedByteCount = 0;
  SentByteCount = 0;
  SocketHandle = Handle;
  SocketSetZero(ReadWaitSet);
  SocketSetAdd(Handle, ReadWaitSet);
  ReadBothAddresses();
  IPv6InUse = RemoteAddress.Family() == AF_INET6;
}

void TBlockSocket::CloseSocket() {
  OsCloseSocket(SocketHandle);
  SocketHandle = InvalidSocket;
  // The descriptor number is free now and the OS hands it to the next socket.
  SocketSetZero(ReadWaitSet);
  PendingOptions.clear();
  IPFamily = ConfiguredIPFamily;
  LastErrorCode = 0;
  ReportStatus(SocketClosed, "");
}

void TBlockSocket::OpenOsSocket(const TSocketAddress& Address) {
  ReceivedByteCount = 0;
  SentByteCount = 0;
  LastErrorCode = 0;
  if (HasSocket()) return;
  ReadBuffer.clear();
  IPv6InUse = Address.Family() == AF_INET6;
  SocketHandle = OsSocket(Address.Family(), SocketType(), SocketProtocol());
  if (SocketHandle == InvalidSocket) LastErrorCode = WSAGetLastError();
  SocketSetZero(ReadWaitSet);
  SocketSetAdd(SocketHandle, ReadWaitSet);
  CheckError();
  ReportStatus(SocketCreated, IPv6InUse ? "IPv6" : "IPv4");
  ApplyPendingOptions();
  if (AfterSocketCreated) AfterSocketCreated(*this);
}

void TBlockSocket::Bind(const std::string& Address, const std::string& Port) {
  LastErrorCode = 0;
  // The default bind of a client: leave it to Connect to create the socket in
  // the family of the address it connects to.
  if (!HasSocket() && IPFamily == IPFamilyAny && Address == "0.0.0.0" && Port == "0") return;
  TSocketAddress A;
  MakeSocketAddress(Address, Port, A);
  if (!HasSocket()) OpenOsSocket(A);
  RecordOsResult(OsBind(SocketHandle, &A, SocketAddressSize(A)));
  ReadLocalAddress();
  ReadBuffer.clear();
  CheckError();
  ReportStatus(SocketBound, Address + ":" + Port);
}

void TBlockSocket::Connect(const std::string& Host, const std::string& Port) {
  TSocketAddress A;
  MakeSocketAddress(Host, Port, A);
  // A name that does not resolve leaves no address, or the broadcast address
  // through the legacy resolver: that is the failure to report, not whatever
  // an attempt to connect there would say.
  const bool Unresolved = A.Family() == 0 || (A.Family() == AF_INET && A.V4()->sin_addr.s_addr == 0xFFFFFFFFu &&
                                              Host != "255.255.255.255");
  if (Unresolved) {
    LastErrorCode = ErrHostNotFound;
    LastErrorText = GetErrorDesc(ErrHostNotFound);
  } else {
    if (!HasSocket()) OpenOsSocket(A);
    RecordOsResult(OsConnect(SocketHandle, &A, SocketAddressSize(A)));
  }
  ReadBothAddresses();
  ReadBuffer.clear();
  SkipLeadingLF = false;
  SkipLeadingCR = false;
  CheckError();
  ReportStatus(SocketConnected, Host + ":" + Port);
}

void TBlockSocket::ReadLocalAddress() {
  LocalAddress.Clear();
  int Length = sizeof(LocalAddress.Bytes);
  OsGetSockName(SocketHandle, &LocalAddress, &Length);
}

void TBlockSocket::ReadRemoteAddress() {
  RemoteAddress.Clear();
  int Length = sizeof(RemoteAddress.Bytes);
  OsGetPeerName(SocketHandle, &RemoteAddress, &Length);
}

void TBlockSocket::ReadBothAddresses() {
  ReadLocalAddress();
  ReadRemoteAddress();
}

// ---------------------------------------------------------------------------
// Error model and status

void TBlockSocket::RecordOsResult(int Result) {
  LastErrorText.clear();
  if (Result == SocketError) {
    int32_t Code = WSAGetLastError();
    LastErrorText = GetErrorDesc(Code);
    LastErrorCode = Code;
  } else {
    LastErrorCode = 0;
  }
}

void TBlockSocket::RecordTransferResult(int Result) {
  RecordOsResult(Result);
  if (LastErrorCode == ErrWouldBlock && !InNonBlockingMode()) {
    LastErrorCode = ErrTimedOut;
    LastErrorText = GetErrorDesc(LastErrorCode);
  }
}

int TBlockSocket::RefuseCount() {
  LastErrorCode = ErrInvalidArgument;
  CheckError();
  return SocketError;
}

int32_t TBlockSocket::OsTimeoutMs(bool Receiving) {
  int32_t Ms = 0;
  int Length = sizeof Ms;
  if (OsGetSockOpt(SocketHandle, WinSock::SolSocket, Receiving ? WinSock::SoRcvTimeo : WinSock::SoSndTimeo, &Ms,
                   &Length) != 0)
    return 0;
  return Ms;
}

bool TBlockSocket::InNonBlockingMode() { return OsGetNonBlocking(SocketHandle) == 1; }

void TBlockSocket::CheckError() {
  LastErrorText = GetErrorDesc(LastErrorCode);
  if (LastErrorCode == 0 || LastErrorCode == ErrWouldBlock || LastErrorCode == ErrInProgress) return;
  ReportStatus(ErrorReported, std::to_string(LastErrorCode) + "," + LastErrorText);
  if (RaiseOnError) throw ESocketError(LastErrorCode, LastErrorText);
}

std::string TBlockSocket::GetErrorDesc(int32_t Code) {
  if (Code == 0) return std::string();
  if (const char* Text = SocketErrorText(Code)) return Text;
  return "Not a Winsock error (" + std::to_string(Code) + ")";
}

void TBlockSocket::ReportStatus(TSocketStatusReason Reason, const std::string& Value) {
  if (StatusHandler) StatusHandler(*this, Reason, Value);
}

namespace {

// A filter may change and drop bytes, never add any: what it returns beyond the
// count it was given is cut off.
void RunFilter(TBlockSocket& Socket, const TBlockSocket::TFilterHook& Hook, void* Buffer, int& Count) {
  if (!Hook || Count <= 0) return;
  std::string S(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
  Hook(Socket, S);
  if (S.size() > static_cast<size_t>(Count)) S.resize(static_cast<size_t>(Count));
  Count = static_cast<int>(S.size());
  if (Count > 0) std::memcpy(Buffer, S.data(), S.size());
}

}  // namespace

void TBlockSocket::RunReceiveFilter(void* Buffer, int& Count) { RunFilter(*this, ReceiveFilter, Buffer, Count); }

void TBlockSocket::RunSendFilter(void* Buffer, int& Count) { RunFilter(*this, SendFilter, Buffer, Count); }

// ---------------------------------------------------------------------------
// Socket options

void TBlockSocket::ApplyOption(const TSocketOptionRequest& Request) {
  // Results are not looked at: a refused option leaves LastErrorCode alone.
  auto SetInt = [this](int Level, int Option, int32_t Value) {
    OsSetSockOpt(SocketHandle, Level, Option, &Value, sizeof(Value));
  };
  const int32_t FlagValue = Request.Flag ? 1 : 0;
  switch (Request.Kind) {
    case OptLinger: {
      TWinLinger Linger;
      Linger.OnOff = Request.Flag ? 1 : 0;
      Linger.Seconds = static_cast<uint16_t>(Request.Amount / 1000);
      OsSetSockOpt(SocketHandle, WinSock::SolSocket, WinSock::SoLinger, &Linger, sizeof(Linger));
      break;
    }
    case OptReceiveBufferSize:
      SetInt(WinSock::SolSocket, WinSock::SoRcvBuf, Request.Amount);
      break;
    case OptSendBufferSize:
      SetInt(WinSock::SolSocket, WinSock::SoSndBuf, Request.Amount);
      break;
    case OptNonBlocking: {
      uint32_t Argument = static_cast<uint32_t>(FlagValue);
      OsIoctlSocket(SocketHandle, WinSock::Fionbio, &Argument);
      break;
    }
    case OptReceiveTimeout:
      SetInt(WinSock::SolSocket, WinSock::SoRcvTimeo, Request.Amount);
      break;
    case OptSendTimeout:
      SetInt(WinSock::SolSocket, WinSock::SoSndTimeo, Request.Amount);
      break;
    case OptReuseAddress:
      SetInt(WinSock::SolSocket, WinSock::SoReuseAddr, FlagValue);
      break;
    case OptTimeToLive:
      if (IPv6InUse)
        SetInt(WinSock::IpProtoIpv6, WinSock::Ipv6UnicastHops, Request.Amount);
      else
        SetInt(WinSock::IpProtoIp, WinSock::IpTtl, Request.Amount);
      break;
    case OptBroadcast:
      SetInt(WinSock::SolSocket, WinSock::SoBroadcast, FlagValue);
      break;
    case OptMulticastTimeToLive:
      if (IPv6InUse)
        SetInt(WinSock::IpProtoIpv6, WinSock::Ipv6MulticastHops, Request.Amount);
      else
        SetInt(WinSock::IpProtoIp, WinSock::IpMulticastTtl, Request.Amount);
      break;
    case OptMulticastLoopback:
      if (IPv6InUse)
        SetInt(WinSock::IpProtoIpv6, WinSock::Ipv6MulticastLoop, FlagValue);
      else
        SetInt(WinSock::IpProtoIp, WinSock::IpMulticastLoop, FlagValue);
      break;
  }
}

void TBlockSocket::ApplyPendingOptions() {
  // Last to first: of two requests for the same option, the earlier one wins.
  for (auto It = PendingOptions.rbegin(); It != PendingOptions.rend(); ++It) {
    ApplyOption(**It);
    It->reset();
  }
  PendingOptions.clear();
}

void TBlockSocket::RequestOption(const TSocketOptionRequest& Request) {
  if (HasSocket())
    ApplyOption(Request);
  else
    PendingOptions.push_back(std::make_unique<TSocketOptionRequest>(Request));
}

void TBlockSocket::SetLinger(bool Enabled, int32_t Milliseconds) {
  RequestOption({OptLinger, Enabled, Milliseconds});
}

void TBlockSocket::SetReceiveBufferSize(int32_t Bytes) { RequestOption({OptReceiveBufferSize, false, Bytes}); }

void TBlockSocket::SetSendBufferSize(int32_t Bytes) { RequestOption({OptSendBufferSize, false, Bytes}); }

void TBlockSocket::SetNonBlocking(bool Enabled) { RequestOption({OptNonBlocking, Enabled, 0}); }

void TBlockSocket::SetReceiveTimeout(int32_t Milliseconds) {
  RequestOption({OptReceiveTimeout, false, Milliseconds});
}

void TBlockSocket::SetSendTimeout(int32_t Milliseconds) { RequestOption({OptSendTimeout, false, Milliseconds}); }

void TBlockSocket::SetReuseAddress(bool Enabled) { RequestOption({OptReuseAddress, Enabled, 0}); }

void TBlockSocket::SetTimeToLive(int32_t Hops) { RequestOption({OptTimeToLive, false, Hops}); }

void TBlockSocket::SetBroadcast(bool Enabled) { RequestOption({OptBroadcast, Enabled, 0}); }

void TBlockSocket::SetMulticastTimeToLive(int32_t Hops) { RequestOption({OptMulticastTimeToLive, false, Hops}); }

void TBlockSocket::SetMulticastLoopback(bool Enabled) { RequestOption({OptMulticastLoopback, Enabled, 0}); }

// ---------------------------------------------------------------------------
// Input drain and socket kind

void TBlockSocket::DiscardInput() {
  // The chunk that ends the loop always fails (nothing left, or the peer gone);
  // that failure is the expected end and is never raised, so a close that drains
  // never aborts.
  auto Quiet = SetForScope(RaiseOnError, false);
  const uint32_t Start = CurrentTick();
  for (;;) {
    ReceiveChunk(0);
    if (LastErrorCode != 0) break;
    if (TickDifference(Start, CurrentTick()) >= DiscardInputLimitMs) break;
  }
  LastErrorCode = 0;
}

int TBlockSocket::SocketType() { return 0; }

int TBlockSocket::SocketProtocol() { return 0; }

}  // namespace quorrel
