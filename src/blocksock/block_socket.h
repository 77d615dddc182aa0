// TBlockSocket: a blocking socket with buffered line reception, an error model of
// codes and texts, status events, data filters and socket option requests.
// Operations never throw by themselves: outcomes are in LastErrorCode and
// LastErrorText, and CheckError raises ESocketError only when RaiseOnError is set.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "blocksock/read_buffer.h"
#include "blocksock/socket_error.h"
#include "sockapi/sockapi.h"

namespace quorrel {

enum TIPFamily : uint8_t { IPFamilyAny = 0, IPFamilyV4 = 1, IPFamilyV6 = 2 };

enum TSocketStatusReason : uint8_t {
  ResolvingStarted = 0,
  ResolvingFinished = 1,
  SocketCreated = 2,
  SocketClosed = 3,
  SocketBound = 4,
  SocketConnected = 5,
  DataReadable = 6,
  SocketListening = 8,
  ChunkReceived = 10,
  ChunkSent = 11,
  BandwidthWait = 12,
  ErrorReported = 13,
};

enum TSocketOptionKind : uint8_t {
  OptLinger = 0,
  OptReceiveBufferSize = 1,
  OptSendBufferSize = 2,
  OptNonBlocking = 3,
  OptReceiveTimeout = 4,
  OptSendTimeout = 5,
  OptReuseAddress = 6,
  OptTimeToLive = 7,
  OptBroadcast = 8,
  OptMulticastTimeToLive = 9,
  OptMulticastLoopback = 10,
};

struct TSocketOptionRequest {
  TSocketOptionKind Kind;
  bool Flag;
  int32_t Amount;
};

// The error codes and their texts come from the socket interface's list
// (sockapi/socket_errors.h). A line longer than LineLimit is reported as "no
// buffer space".
constexpr int32_t ErrLineTooLong = ErrNoBufferSpace;

// Adds a transfer's byte count to a running total. Failed transfers (negative
// results) add nothing; a total past 2 GiB wraps instead of overflowing.
inline void AddToByteCount(int32_t& Counter, int Amount) {
  if (Amount > 0) Counter = static_cast<int32_t>(static_cast<uint32_t>(Counter) + static_cast<uint32_t>(Amount));
}

// Receiving. Buffered receives (ReceiveUntil, ReceiveLine, ReceiveExact and
// the texts and blocks built on them, ReceiveOneByte) take every byte that comes
// from the connection through the virtual ReceiveChunk, exactly once. Bytes that
// a receive has gathered and not returned wait in ReadBuffer and are taken from
// there in place, without passing through ReceiveChunk a second time: an
// override of ReceiveChunk sees each byte of the stream once, in order. (A
// direct call of ReceiveChunk hands out ReadBuffer first.)
//
// A buffered receive that fails (time-out, peer closed, OS failure) consumes
// nothing: what it gathered stays in ReadBuffer for the next receive.
// ReceiveExact still copies what it got into the caller's buffer and returns
// that count, but after a failure those bytes are returned again by the next
// receive.
//
// Sending. SendBytes hands the OS every byte, or stops at a real failure; it
// returns the count sent, or -1 when a failure came before any byte went out.
// On a socket in blocking mode an OS time-out (SetSendTimeout,
// SetReceiveTimeout) is 10060 for sends and receives alike; in non-blocking mode
// it stays 10035, which CheckError does not report. A negative count is a
// caller's error: 10022, nothing is sent or received.
//
// Time-outs are in milliseconds; -1 waits without limit. With TimeoutPerChunk
// set a receive's time-out applies to each wait for more bytes, else to the
// whole receive. An operation leaves its outcome in LastErrorCode (0 =
// success; 10060 timed out, 10054 peer closed, 10055 line
// over LineLimit, 10038 no socket), with its text in LastErrorText.
class TBlockSocket {
 public:
  using TStatusHook = std::function<void(TBlockSocket&, TSocketStatusReason, const std::string&)>;
  using TFilterHook = std::function<void(TBlockSocket&, std::string&)>;
  using TCreatedHook = std::function<void(TBlockSocket&)>;

  TBlockSocket();
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  // ---- virtual operations, in their fixed order ----
  // The family that names resolve to and that the next OS socket takes.
  virtual void SetIPFamily(TIPFamily Family);
  // Takes ownership of an open OS socket, closing the one held before; empties
  // ReadBuffer and the byte counts.
  virtual void AdoptHandle(TSocketHandle Handle);
  // Closes the OS socket (LastErrorCode 0); ReadBuffer is kept until the next
  // connect.
  virtual void CloseSocket();
  // Resolves Host and Port (a number or a service name), opens a socket of the
  // address's family when none is open, connects and empties ReadBuffer.
  virtual void Connect(const std::string& Host, const std::string& Port);
  // The count sent, which is Count unless a failure stopped it part-way; -1
  // when nothing went out. The caller's buffer is never written to.
  virtual int SendBytes(const void* Buffer, int Count);
  virtual int SendOneByte(uint8_t Byte);
  virtual int SendText(const std::string& Text);
  // A 4-byte little-endian length, then the bytes.
  virtual int SendPrefixedText(const std::string& Text);
  // What is left of Stream from its position, prefixed like SendPrefixedText.
  virtual void SendPrefixedStream(std::istream& Stream);
  // One OS receive into Buffer, ReadBuffer aside, waiting no longer than the
  // OS time-out: the count, 0 with 10054 at the end of the stream, -1 on failure.
  virtual int ReceiveRaw(void* Buffer, int Count);
  // Count bytes into Buffer; returns how many arrived (see above for failures).
  virtual int ReceiveExact(void* Buffer, int Count, int Timeout);
  // Count bytes, or "" on failure.
  virtual std::string ReceiveExactText(int Count, int Timeout);
  // The next byte, or 0 on failure.
  virtual uint8_t ReceiveOneByte(int Timeout);
  // The next line without its line end, or "" on failure. The line end is CR LF;
  // with AnyLineBreak also CR, LF or LF CR (the partner of a lone CR or LF that
  // arrives later is skipped).
  virtual std::string ReceiveLine(int Timeout);
  // The bytes before the next Terminator (dropped), "" on failure or when
  // Terminator is empty.
  virtual std::string ReceiveUntil(int Timeout, const std::string& Terminator);
  // ReadBuffer if it holds bytes, else what the OS holds once any arrived (0 =
  // only what is already there); "" with 10060 or 10054 otherwise.
  virtual std::string ReceiveChunk(int Timeout);
  // A block sent with SendPrefixedText, "" on failure.
  virtual std::string ReceivePrefixedText(int Timeout);
  // A block sent with SendPrefixedStream, written to Stream as it arrives.
  virtual void ReceivePrefixedStream(std::ostream& Stream, int Timeout);
  // Copies what the OS holds without taking it; ReadBuffer is not looked at.
  virtual int PeekRaw(void* Buffer, int Count);
  virtual uint8_t PeekOneByte(int Timeout);
  // Bytes the OS (or TLS) holds for reading, 0 when unknown; ReadBuffer aside.
  virtual int PendingBytes();
  // Numeric address and port of either end, as the socket layer sees them.
  virtual std::string LocalAddressText();
  virtual std::string RemoteAddressText();
  virtual int LocalPortNumber();
  virtual int RemotePortNumber();
  // Datagrams to and from RemoteAddress (ReceiveFrom sets it to the sender).
  virtual int SendTo(const void* Buffer, int Count);
  virtual int ReceiveFrom(void* Buffer, int Count);
  // The OS socket type and protocol this class opens (0 = none).
  virtual int SocketType();
  virtual int SocketProtocol();

  // ---- lifecycle and error model ----
  // Binds to a local address; the client default ("0.0.0.0", "0") without an
  // open socket leaves it to Connect.
  void Bind(const std::string& Address, const std::string& Port);
  void OpenOsSocket(const TSocketAddress& Address);
  void ReadLocalAddress();
  void ReadRemoteAddress();
  void ReadBothAddresses();
  // LastErrorCode from an OS call's result (the thread's error when it failed).
  void RecordOsResult(int Result);
  // Sets LastErrorText from LastErrorCode; any code but 0, 10035 and 10036 is
  // reported to StatusHandler and raised as ESocketError when RaiseOnError.
  void CheckError();
  // The text of a code; "" for 0.
  static std::string GetErrorDesc(int32_t Code);
  void ReportStatus(TSocketStatusReason Reason, const std::string& Value);
  void RunReceiveFilter(void* Buffer, int& Count);
  void RunSendFilter(void* Buffer, int& Count);
  void ApplyOption(const TSocketOptionRequest& Request);
  void ApplyPendingOptions();
  // Reads and drops what arrives without waiting, for a bounded time; never
  // raises and leaves LastErrorCode 0.
  void DiscardInput();
  bool HasSocket() const { return SocketHandle != InvalidSocket; }

  // Option setters: queued while no OS socket exists, applied at once otherwise.
  void RequestOption(const TSocketOptionRequest& Request);
  void SetLinger(bool Enabled, int32_t Milliseconds);
  void SetReceiveBufferSize(int32_t Bytes);
  void SetSendBufferSize(int32_t Bytes);
  void SetNonBlocking(bool Enabled);
  void SetReceiveTimeout(int32_t Milliseconds);
  void SetSendTimeout(int32_t Milliseconds);
  void SetReuseAddress(bool Enabled);
  void SetTimeToLive(int32_t Hops);
  void SetBroadcast(bool Enabled);
  void SetMulticastTimeToLive(int32_t Hops);
  void SetMulticastLoopback(bool Enabled);

  // ---- data transfer helpers ----
  // -1 = no limit. Without an OS socket it fails at once with 10038.
  bool WaitReadable(int Timeout);
  // Sleeps until NextTick, then sets it for Count bytes at Limit bytes a second;
  // Limit 0 = no limit.
  void ThrottleTransfer(int Count, int32_t Limit, uint32_t& NextTick);

  // ---- addressing ----
  // Failed resolutions give no error code: an empty address, "0.0.0.0" or port 0.
  bool UseExtendedResolver();
  void MakeSocketAddress(const std::string& Host, const std::string& Port, TSocketAddress& Result);
  std::string AddressText(const TSocketAddress& Address);
  int AddressPort(const TSocketAddress& Address);
  std::string LocalHostName();
  void ResolveAllAddresses(const std::string& Name, std::vector<std::string>& List);
  std::string ResolveFirstAddress(const std::string& Name);
  int ResolveServicePort(const std::string& Port);
  TSocketAddress IPv6TextToAddress(const std::string& Text);
  std::string IPv6AddressToText(const TSocketAddress& Address);

  // ---- settings: what the caller chooses ----
  TStatusHook StatusHandler;
  TFilterHook ReceiveFilter;
  TFilterHook SendFilter;
  TCreatedHook AfterSocketCreated;
  bool RaiseOnError = false;
  int32_t LineLimit = 0;  // bytes a line may hold with its line end; 0 = none
  int32_t SendRateLimit = 0;  // bytes a second; 0 = none
  int32_t ReceiveRateLimit = 0;
  bool AnyLineBreak = false;
  TIPFamily ConfiguredIPFamily = IPFamilyAny;
  bool FavourIPv4 = true;
  bool TimeoutPerChunk = true;

  // ---- results: what the operations leave for the caller ----
  TSocketStartupData StartupData;
  TSocketAddress LocalAddress;
  TSocketAddress RemoteAddress;
  bool IPv6InUse = false;
  int32_t ReceivedByteCount = 0;
  int32_t SentByteCount = 0;
  int32_t LastErrorCode = 0;
  std::string LastErrorText;

  // ---- internal state, open to derived protocols and tests ----
  TReadBuffer ReadBuffer;  // received, not yet handed out
  uint32_t NextSendTick = 0;
  uint32_t NextReceiveTick = 0;
  bool SkipLeadingLF = false;
  bool SkipLeadingCR = false;
  TIPFamily IPFamily = IPFamilyAny;
  std::vector<std::unique_ptr<TSocketOptionRequest>> PendingOptions;
  TSocketSet ReadWaitSet;
  TSocketHandle SocketHandle = InvalidSocket;

 protected:
  // A base destructor cannot reach an override, so every class that overrides
  // CloseSocket calls this from its own destructor: the most derived close runs
  // exactly once, and the base destructor then skips its own call.
  void CloseOnDestroy() noexcept;
  // RecordOsResult of a send or receive: would-block on a socket in blocking mode
  // means that its OS time-out ran out, and is reported as 10060.
  void RecordTransferResult(int Result);
  // Refuses a negative count with 10022; returns -1.
  int RefuseCount();
  // The common ends of every send and receive path, plain or TLS.
  // FilterForSend runs SendFilter over a copy of the caller's read-only bytes,
  // held in Copy, and returns what to send (Count follows the filter).
  const void* FilterForSend(const void* Buffer, int& Count, std::string& Copy);
  // Checks the error, counts the bytes (failures count nothing) and reports the
  // chunk; FinishReceive then runs ReceiveFilter over Buffer unless it is null.
  // Both return Result, as the filter left it.
  int FinishSend(int Result);
  int FinishReceive(int Result, void* Buffer);
  // The OS time-out of the socket for receiving or sending in ms, 0 = none.
  int32_t OsTimeoutMs(bool Receiving);
  bool InNonBlockingMode();

  // How long a ReceiveRaw may wait for the rest of what PendingBytes announced
  // (TLS: the rest of a record); -1 = only the OS time-outs bound it. Set by
  // ReceiveChunk from its own time-out.
  int RawReceiveTimeout = -1;

 private:
  bool ClosedOnDestroy = false;
};

// Module start and end of the socket layer: load and start the socket interface
// (raises ESocketError "Error loading Socket interface (ws2_32.dll)!" when it
// cannot be loaded), and stop and release it.
extern std::string SocketLibraryName;  // test seam; default "ws2_32.dll"
void BlockSockModuleStart();
void BlockSockModuleEnd();

}  // namespace quorrel
