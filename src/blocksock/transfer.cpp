// Moving bytes: sending, buffered receiving with timeouts, line splitting,
// length-prefixed blocks, peeking, waiting for data and the bandwidth limit.
//
// Every byte from the connection enters the buffered receives through
// ReceiveChunk. What they gathered and did not return waits in ReadBuffer, and
// ReceiveUntil and ReceiveExact work on it in place and drop what they return,
// so the cost of a line does not depend on how much is buffered behind it.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>

#include "blocksock/block_socket.h"
#include "netutil/cleanup.h"
#include "netutil/netutil.h"

namespace quorrel {

namespace {

constexpr int StreamPieceSize = 65536;

int ClampCount(size_t Count) { return Count > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(Count); }

// What is left of a timeout that runs over the whole operation: the time spent
// since Start is taken off Remaining. True while time remains.
bool DeductElapsed(int64_t& Remaining, uint32_t Start) {
  Remaining -= static_cast<int64_t>(TickDifference(Start, CurrentTick()));
  return Remaining > 0;
}

int TimeoutArgument(int64_t Remaining) {
  return static_cast<int>(std::clamp<int64_t>(Remaining, INT_MIN, INT_MAX));
}

}  // namespace

// ---------------------------------------------------------------------------
// Bandwidth limit

void TBlockSocket::ThrottleTransfer(int Count, int32_t Limit, uint32_t& NextTick) {
  if (Limit <= 0) return;
  uint32_t Now = CurrentTick();
  if (Now < NextTick) {
    uint32_t Wait = NextTick - Now;
    // A difference this large only comes from a counter that wrapped between two
    // transfers; waiting it out would stall the socket for weeks.
    if (Wait != 0 && Wait < 0x80000000u) {
      ReportStatus(BandwidthWait, std::to_string(Wait));
      std::this_thread::sleep_for(std::chrono::milliseconds(Wait));
    }
  }
  double Span = static_cast<double>(Count < 0 ? 0 : Count) / static_cast<double>(Limit) * 1000.0;
  NextTick = static_cast<uint32_t>(static_cast<uint64_t>(Span)) + CurrentTick();
}

// ---------------------------------------------------------------------------
// Sending

const void* TBlockSocket::FilterForSend(const void* Buffer, int& Count, std::string& Copy) {
  if (!SendFilter || Count <= 0) return Buffer;
  // The filter rewrites the bytes in place.
  Copy.assign(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
  RunSendFilter(Copy.data(), Count);
  return Copy.data();
}

int TBlockSocket::FinishSend(int Result) {
  CheckError();
  AddToByteCount(SentByteCount, Result);
  ReportStatus(ChunkSent, std::to_string(Result));
  return Result;
}

int TBlockSocket::FinishReceive(int Result, void* Buffer) {
  CheckError();
  AddToByteCount(ReceivedByteCount, Result);
  ReportStatus(ChunkReceived, std::to_string(Result));
  if (Buffer) RunReceiveFilter(Buffer, Result);
  return Result;
}

int TBlockSocket::SendBytes(const void* Buffer, int Count) {
  if (Count < 0) return RefuseCount();
  ThrottleTransfer(Count, SendRateLimit, NextSendTick);
  std::string Filtered;
  const char* Data = static_cast<const char*>(FilterForSend(Buffer, Count, Filtered));
  // The OS takes what fits in its buffer: a short count is no failure, and the
  // rest goes out with the next call. An empty send is still one call.
  LastErrorCode = 0;
  LastErrorText.clear();
  int Sent = 0;
  do {
    int Result = OsSend(SocketHandle, Data + Sent, Count - Sent, 0);
    if (Result == SocketError) {
      RecordTransferResult(Result);
      break;
    }
    Sent += Result;
  } while (Sent < Count);
  return FinishSend(Sent > 0 || LastErrorCode == 0 ? Sent : SocketError);
}

int TBlockSocket::SendOneByte(uint8_t Byte) { return SendBytes(&Byte, 1); }

int TBlockSocket::SendText(const std::string& Text) { return SendBytes(Text.data(), ClampCount(Text.size())); }

int TBlockSocket::SendPrefixedText(const std::string& Text) {
  char Prefix[4];
  StoreLe32(Prefix, static_cast<uint32_t>(ClampCount(Text.size())));
  SendBytes(Prefix, 4);
  return SendText(Text);
}

void TBlockSocket::SendPrefixedStream(std::istream& Stream) {
  // Size of what is left from the current position; a stream that cannot tell
  // its size counts as empty.
  int64_t Left = 0;
  std::istream::pos_type Start = Stream.tellg();
  if (Start != std::istream::pos_type(-1)) {
    Stream.seekg(0, std::ios::end);
    std::istream::pos_type End = Stream.tellg();
    Stream.seekg(Start);
    if (End != std::istream::pos_type(-1) && End > Start) Left = static_cast<int64_t>(End - Start);
  }
  int32_t Total = static_cast<int32_t>(std::min<int64_t>(Left, INT32_MAX));
  char Prefix[4];
  StoreLe32(Prefix, static_cast<uint32_t>(Total));
  SendBytes(Prefix, 4);
  std::string Piece;
  int64_t Sent = 0;
  while (Sent < Total) {
    int64_t Want = std::min<int64_t>(StreamPieceSize, Total - Sent);
    Piece.resize(static_cast<size_t>(Want));
    Stream.read(Piece.data(), Want);
    std::streamsize Got = Stream.gcount();
    if (Got <= 0) break;
    Piece.resize(static_cast<size_t>(Got));
    SendText(Piece);
    Sent += Got;
  }
}

int TBlockSocket::SendTo(const void* Buffer, int Count) {
  if (Count < 0) return RefuseCount();
  ThrottleTransfer(Count, SendRateLimit, NextSendTick);
  int Result = OsSendTo(SocketHandle, Buffer, Count, 0, &RemoteAddress, SocketAddressSize(RemoteAddress));
  RecordTransferResult(Result);
  return FinishSend(Result);
}

// ---------------------------------------------------------------------------
// Raw receiving

int TBlockSocket::ReceiveRaw(void* Buffer, int Count) {
  if (Count < 0) return RefuseCount();
  ThrottleTransfer(Count, ReceiveRateLimit, NextReceiveTick);
  int Result = OsRecv(SocketHandle, Buffer, Count, 0);
  if (Result == 0) {
    LastErrorCode = ErrPeerClosed;  // an orderly end of stream, not an OS error
  } else {
    RecordTransferResult(Result);
  }
  return FinishReceive(Result, Buffer);
}

int TBlockSocket::ReceiveFrom(void* Buffer, int Count) {
  if (Count < 0) return RefuseCount();
  ThrottleTransfer(Count, ReceiveRateLimit, NextReceiveTick);
  int Length = static_cast<int>(sizeof(RemoteAddress.Bytes));
  int Result = OsRecvFrom(SocketHandle, Buffer, Count, 0, &RemoteAddress, &Length);
  RecordTransferResult(Result);
  return FinishReceive(Result, nullptr);
}

int TBlockSocket::PeekRaw(void* Buffer, int Count) {
  if (Count < 0) return RefuseCount();
  int Result = OsRecv(SocketHandle, Buffer, Count, WinSock::MsgPeek);
  RecordTransferResult(Result);
  CheckError();
  return Result;
}

int TBlockSocket::PendingBytes() {
  uint32_t Count = 0;
  if (OsIoctlSocket(SocketHandle, WinSock::Fionread, &Count) == SocketError) return 0;
  return Count > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(Count);
}

bool TBlockSocket::WaitReadable(int Timeout) {
  // The OS waits on an empty set for the whole time (for ever without a limit).
  if (!HasSocket()) {
    LastErrorCode = ErrNotSocket;
    CheckError();
    return false;
  }
  TTimeValue Wait;
  const TTimeValue* Limit = nullptr;
  if (Timeout != -1) {
    // Other negative values would make an invalid wait time: they poll.
    int T = Timeout < 0 ? 0 : Timeout;
    Wait.Seconds = T / 1000;
    Wait.Microseconds = static_cast<long>(T % 1000) * 1000;
    Limit = &Wait;
  }
  TSocketSet Set = ReadWaitSet;
  int Result = OsSelect(SocketHandle + 1, &Set, Limit);
  RecordOsResult(Result);
  if (LastErrorCode != 0) Result = 0;
  bool Readable = Result > 0;
  CheckError();
  if (Readable) ReportStatus(DataReadable, std::string());
  return Readable;
}

// ---------------------------------------------------------------------------
// Buffered receiving

std::string TBlockSocket::ReceiveChunk(int Timeout) {
  std::string Result;
  LastErrorCode = 0;
  if (!ReadBuffer.empty()) {
    Result = ReadBuffer.TakeAll();
  } else if (!HasSocket()) {
    LastErrorCode = ErrNotSocket;
  } else {
    const uint32_t Start = CurrentTick();
    // Let the sender run once before asking, so that a burst in flight arrives as
    // one chunk rather than many small ones.
    std::this_thread::yield();
    int Waiting = PendingBytes();
    bool Read = Waiting > 0;
    if (!Read) {
      if (WaitReadable(Timeout)) {
        Waiting = PendingBytes();
        if (Waiting == 0)
          LastErrorCode = ErrPeerClosed;  // readable with nothing to read: end of stream
        else
          Read = Waiting > 0;
      } else {
        LastErrorCode = ErrTimedOut;  // also when the wait itself failed
      }
    }
    if (Read) {
      // What is left of the time-out bounds a read that has to wait for the rest
      // of what was announced.
      int64_t Left = Timeout;
      int RawTimeout = -1;
      if (Timeout >= 0) RawTimeout = DeductElapsed(Left, Start) ? TimeoutArgument(Left) : 0;
      auto Bounded = SetForScope(RawReceiveTimeout, RawTimeout);
      // Room for a short rest of earlier bytes to be put in front (see
      // TReadBuffer::Append); reserved, not touched.
      Result.reserve(static_cast<size_t>(Waiting) + std::min<size_t>(static_cast<size_t>(Waiting), 64 * 1024));
      Result.resize(static_cast<size_t>(Waiting));
      int Got = ReceiveRaw(Result.data(), Waiting);
      Result.resize(Got > 0 ? static_cast<size_t>(Got) : 0);
    }
  }
  CheckError();
  return Result;
}

namespace {

// Puts Bytes back in front of what ReadBuffer holds.
void PutBackFront(TReadBuffer& Buffer, std::string_view Bytes) {
  if (Bytes.empty()) return;
  std::string All;
  All.reserve(Bytes.size() + Buffer.size());
  All.append(Bytes);
  All.append(Buffer.View());
  Buffer.Assign(std::move(All));
}

// The shared loop of ReceiveExact and ReceiveExactText. Put receives each piece
// as it arrives, so a text result grows with the bytes that actually came and
// never with the count a peer announced; Taken shows all that Put was given.
// A failure consumes nothing: what was taken goes back into ReadBuffer, also
// when the failure leaves as an exception.
template <class TPut, class TTaken>
int ReceiveExactInto(TBlockSocket& Socket, int Count, int Timeout, TPut&& Put, TTaken&& Taken) {
  Socket.LastErrorCode = 0;
  int Got = 0;
  int64_t Remaining = Timeout;
  std::string Chunk;
  size_t Used = 0;
  bool LastFromBuffer = false;
  try {
    for (;;) {
      const bool PerChunk = Socket.TimeoutPerChunk;
      const uint32_t Start = PerChunk ? 0 : CurrentTick();
      size_t Want = static_cast<size_t>(Count - Got);
      if (!Socket.ReadBuffer.empty()) {
        // Buffered bytes first, taken in place: only what is used is moved.
        Socket.LastErrorCode = 0;
        Socket.CheckError();
        std::string_view Buffered = Socket.ReadBuffer.View();
        Used = std::min(Buffered.size(), Want);
        Put(Buffered.data(), Used);
        Socket.ReadBuffer.Drop(Used);
        LastFromBuffer = true;
      } else {
        Chunk = Socket.ReceiveChunk(TimeoutArgument(Remaining));
        Used = std::min(Chunk.size(), Want);
        Put(Chunk.data(), Used);
        LastFromBuffer = false;
      }
      Got += static_cast<int>(Used);
      if (Socket.LastErrorCode != 0 || Got >= Count) break;
      if (!PerChunk && !DeductElapsed(Remaining, Start)) {
        Socket.LastErrorCode = ErrTimedOut;
        break;
      }
    }
  } catch (...) {
    PutBackFront(Socket.ReadBuffer, Taken());
    throw;
  }
  // What the last chunk held beyond the count waits for the next receive.
  if (!LastFromBuffer) Socket.ReadBuffer.Assign(std::move(Chunk), Used);
  if (Socket.LastErrorCode != 0) PutBackFront(Socket.ReadBuffer, Taken());
  return Got;
}

}  // namespace

int TBlockSocket::ReceiveExact(void* Buffer, int Count, int Timeout) {
  if (Count < 0) {
    RefuseCount();
    return 0;
  }
  char* Out = static_cast<char*>(Buffer);
  size_t At = 0;
  return ReceiveExactInto(
      *this, Count, Timeout,
      [&](const char* Bytes, size_t Length) {
        if (Length == 0) return;
        std::memcpy(Out + At, Bytes, Length);
        At += Length;
      },
      [&] { return std::string_view(Out, At); });
}

std::string TBlockSocket::ReceiveExactText(int Count, int Timeout) {
  if (Count < 0) {
    RefuseCount();
    return std::string();
  }
  if (Count == 0) return std::string();
  std::string Result;
  Result.reserve(static_cast<size_t>(std::min(Count, StreamPieceSize)));
  ReceiveExactInto(
      *this, Count, Timeout, [&](const char* Bytes, size_t Length) { Result.append(Bytes, Length); },
      [&] { return std::string_view(Result); });
  if (LastErrorCode != 0) return std::string();
  return Result;
}

uint8_t TBlockSocket::ReceiveOneByte(int Timeout) {
  LastErrorCode = 0;
  uint8_t Result = 0;
  if (ReadBuffer.empty()) ReadBuffer.Assign(ReceiveChunk(Timeout));
  if (LastErrorCode == 0 && !ReadBuffer.empty()) {
    Result = static_cast<uint8_t>(ReadBuffer.View()[0]);
    ReadBuffer.Drop(1);
  }
  CheckError();
  return Result;
}

namespace {

// Where the bytes gathered so far end a line: the line's length and that of its
// end; Length 0 while no end has been found.
struct TLineEnd {
  size_t At = 0;
  size_t Length = 0;
  bool Found() const { return Length != 0; }
};

// Looks for the end of the line in Bytes from Searched on; without one, moves
// Searched past the bytes that cannot begin it. With AnyBreak the earliest CR or
// LF ends the line, together with its partner when that follows at once: a CR
// or LF that is the last byte gathered ends the line alone. Otherwise Terminator
// ends it, and a start of it in the last bytes is looked at again next time.
TLineEnd FindLineEnd(std::string_view Bytes, size_t& Searched, std::string_view Terminator, bool AnyBreak) {
  const size_t From = std::min(Searched, Bytes.size());
  if (AnyBreak) {
    std::string Break;
    if (const int End = FindLineBreak(Bytes.substr(From), Break); End > 0)
      return {From + static_cast<size_t>(End) - 1, Break.size()};
    Searched = Bytes.size();
  } else {
    if (const size_t At = Bytes.find(Terminator, From); At != std::string_view::npos) return {At, Terminator.size()};
    Searched = Bytes.size() >= Terminator.size() ? Bytes.size() - Terminator.size() + 1 : 0;
  }
  return {};
}

}  // namespace

std::string TBlockSocket::ReceiveUntil(int Timeout, const std::string& Terminator) {
  LastErrorCode = 0;
  std::string Result;
  if (Terminator.empty()) return Result;
  const bool LineMode = AnyLineBreak && Terminator == "\r\n";

  // The bytes gathered so far. They go back into ReadBuffer on every way out,
  // also when an exception leaves a hook or CheckError, so a raised timeout does
  // not lose the start of a line.
  TReadBuffer Gathered;
  TCleanup PutBack([&] { ReadBuffer.Swap(Gathered); });

  int64_t Remaining = Timeout;
  size_t Searched = 0;  // bytes at the front of Gathered known to hold no line end
  TLineEnd End;
  for (;;) {
    const bool PerChunk = TimeoutPerChunk;
    const uint32_t Start = PerChunk ? 0 : CurrentTick();
    if (Gathered.empty() && !ReadBuffer.empty()) {
      // What ReceiveChunk would hand out, taken over without a copy.
      Gathered.Swap(ReadBuffer);
      LastErrorCode = 0;
      CheckError();
    } else {
      Gathered.Trim();
      Gathered.Append(ReceiveChunk(TimeoutArgument(Remaining)));
    }
    if (LastErrorCode != 0) break;

    if (!Gathered.empty()) {
      if (LineMode) {
        // The partner of a lone CR or LF that ended the previous line may arrive
        // only now, at the front. The flags are cleared in the first round that
        // has bytes, so nothing has been searched yet when one of them drops a byte.
        if (SkipLeadingLF && Gathered.View().front() == '\n') Gathered.Drop(1);
        if (SkipLeadingCR && !Gathered.empty() && Gathered.View().front() == '\r') Gathered.Drop(1);
        SkipLeadingLF = false;
        SkipLeadingCR = false;
      }
      End = FindLineEnd(Gathered.View(), Searched, Terminator, LineMode);
      if (LineMode && End.Length == 1) (Gathered.View()[End.At] == '\r' ? SkipLeadingLF : SkipLeadingCR) = true;
    }

    // The limit is on what a line may hold: the line with its end, or all that
    // was gathered while no end has been found. Bytes that follow a complete
    // line belong to the next one and are not held against this one.
    const size_t Held = End.Found() ? End.At + End.Length : Gathered.size();
    if (LineLimit != 0 && static_cast<int64_t>(Held) > static_cast<int64_t>(LineLimit)) {
      LastErrorCode = ErrLineTooLong;
      break;
    }
    if (End.Found()) break;
    if (!PerChunk && !DeductElapsed(Remaining, Start)) {
      LastErrorCode = ErrTimedOut;
      break;
    }
  }

  // A complete line is handed out even when it broke the limit.
  if (End.Found()) {
    Result.assign(Gathered.View().substr(0, End.At));
    Gathered.Drop(End.At + End.Length);
  }
  PutBack.Cancel();
  ReadBuffer.Swap(Gathered);
  CheckError();
  return Result;
}

std::string TBlockSocket::ReceiveLine(int Timeout) {
  std::string Line = ReceiveUntil(Timeout, "\r\n");
  if (LastErrorCode != 0) return std::string();
  return Line;
}

std::string TBlockSocket::ReceivePrefixedText(int Timeout) {
  uint8_t Prefix[4] = {};
  ReceiveExact(Prefix, 4, Timeout);
  if (LastErrorCode != 0) return std::string();
  // A body that fails to arrive takes its length back with it: the next receive
  // starts at the same block again, not in the middle of its body.
  const std::string_view PrefixBytes(reinterpret_cast<const char*>(Prefix), 4);
  TCleanup GiveBack([&] { PutBackFront(ReadBuffer, PrefixBytes); });
  std::string Body = ReceiveExactText(static_cast<int32_t>(LoadLe32(Prefix)), Timeout);
  if (LastErrorCode == 0) GiveBack.Cancel();
  return Body;
}

void TBlockSocket::ReceivePrefixedStream(std::ostream& Stream, int Timeout) {
  uint8_t Prefix[4] = {};
  ReceiveExact(Prefix, 4, Timeout);
  if (LastErrorCode != 0) return;
  int32_t Total = static_cast<int32_t>(LoadLe32(Prefix));
  for (int32_t I = 0; I < Total / StreamPieceSize; ++I) {
    std::string Piece = ReceiveExactText(StreamPieceSize, Timeout);
    if (LastErrorCode != 0) return;
    Stream.write(Piece.data(), static_cast<std::streamsize>(Piece.size()));
  }
  int32_t Rest = Total % StreamPieceSize;
  if (Rest > 0) {
    std::string Piece = ReceiveExactText(Rest, Timeout);
    if (LastErrorCode == 0) Stream.write(Piece.data(), static_cast<std::streamsize>(Piece.size()));
  }
}

uint8_t TBlockSocket::PeekOneByte(int Timeout) {
  uint8_t Result = 0;
  if (WaitReadable(Timeout)) {
    uint8_t Byte = 0;
    if (PeekRaw(&Byte, 1) == 1) Result = Byte;
  } else {
    LastErrorCode = ErrTimedOut;
  }
  CheckError();
  return Result;
}

}  // namespace quorrel
