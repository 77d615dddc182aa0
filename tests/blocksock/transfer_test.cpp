// Data transfer of TBlockSocket over real loopback connections. The far end is a
// plain OS socket driven by a peer thread that sends, pauses and closes on cue.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/requirement.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "blocksock/block_socket.h"

using namespace quorrel;

namespace {

using namespace std::chrono_literals;

// A connected loopback pair of the given family: Client goes to the socket under
// test, Server to the peer. Valid() is false when the family is not available.
struct TLoopbackPair {
  int Client = -1;
  int Server = -1;

  explicit TLoopbackPair(int Family) {
    int Listener = socket(Family, SOCK_STREAM, 0);
    if (Listener < 0) return;
    sockaddr_storage Address{};
    socklen_t Length = 0;
    if (Family == AF_INET) {
      auto* V4 = reinterpret_cast<sockaddr_in*>(&Address);
      V4->sin_family = AF_INET;
      V4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      Length = sizeof(sockaddr_in);
    } else {
      auto* V6 = reinterpret_cast<sockaddr_in6*>(&Address);
      V6->sin6_family = AF_INET6;
      V6->sin6_addr = in6addr_loopback;
      Length = sizeof(sockaddr_in6);
    }
    auto* Raw = reinterpret_cast<sockaddr*>(&Address);
    if (bind(Listener, Raw, Length) == 0 && listen(Listener, 1) == 0 && getsockname(Listener, Raw, &Length) == 0) {
      Client = socket(Family, SOCK_STREAM, 0);
      if (connect(Client, Raw, Length) == 0) Server = accept(Listener, nullptr, nullptr);
    }
    close(Listener);
    if (Server < 0 && Client >= 0) {
      close(Client);
      Client = -1;
    }
    int On = 1;
    if (Server >= 0) setsockopt(Server, IPPROTO_TCP, TCP_NODELAY, &On, sizeof(On));
    if (Client >= 0) setsockopt(Client, IPPROTO_TCP, TCP_NODELAY, &On, sizeof(On));
  }
  bool Valid() const { return Client >= 0 && Server >= 0; }
};

// Runs the far end's script on its own thread, in order: sends, pauses, close.
class TPeer {
 public:
  explicit TPeer(int Fd) : Fd(Fd), Worker([this] { Run(); }) {}
  ~TPeer() {
    {
      std::lock_guard<std::mutex> Lock(Mutex);
      Stopping = true;
    }
    Changed.notify_all();
    Worker.join();
    if (Fd >= 0) close(Fd);
  }
  TPeer& Send(std::string Bytes) {
    return Then([this, Bytes = std::move(Bytes)] {
      size_t Done = 0;
      while (Done < Bytes.size()) {
        ssize_t N = send(Fd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
        if (N <= 0) return;
        Done += static_cast<size_t>(N);
      }
    });
  }
  TPeer& Pause(std::chrono::milliseconds Time) {
    return Then([Time] { std::this_thread::sleep_for(Time); });
  }
  TPeer& Close() {
    return Then([this] {
      close(Fd);
      Fd = -1;
    });
  }
  // Waits until Cue() is called (at most 2 s), so that what follows arrives as
  // a packet of its own after the socket has read what came before.
  TPeer& AwaitCue() {
    return Then([this] {
      std::unique_lock<std::mutex> Lock(Mutex);
      Changed.wait_for(Lock, std::chrono::seconds(2), [this] { return Cued; });
      Cued = false;
    });
  }
  void ResetCue() {
    std::lock_guard<std::mutex> Lock(Mutex);
    Cued = false;
  }
  void Cue() {
    {
      std::lock_guard<std::mutex> Lock(Mutex);
      Cued = true;
    }
    Changed.notify_all();
  }
  // Blocks until every step given so far has run.
  void Finish() {
    std::unique_lock<std::mutex> Lock(Mutex);
    Changed.wait(Lock, [this] { return Steps.empty() && !Busy; });
  }

 private:
  TPeer& Then(std::function<void()> Step) {
    {
      std::lock_guard<std::mutex> Lock(Mutex);
      Steps.push_back(std::move(Step));
    }
    Changed.notify_all();
    return *this;
  }
  void Run() {
    std::unique_lock<std::mutex> Lock(Mutex);
    for (;;) {
      Changed.wait(Lock, [this] { return Stopping || !Steps.empty(); });
      if (Steps.empty()) return;
      auto Step = std::move(Steps.front());
      Steps.pop_front();
      Busy = true;
      Lock.unlock();
      Step();
      Lock.lock();
      Busy = false;
      Changed.notify_all();
    }
  }

  int Fd;
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<std::function<void()>> Steps;
  bool Busy = false;
  bool Cued = false;
  bool Stopping = false;
  std::thread Worker;
};

struct TEvent {
  TSocketStatusReason Reason;
  std::string Value;
};

// A socket under test on one end of a loopback pair, with its status events.
class TransferTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    Pair = std::make_unique<TLoopbackPair>(GetParam());
    if (!Pair->Valid()) QUORREL_REQUIRE(std::string("no loopback address for this family (IPv6 switched off?)"));
    Socket.AdoptHandle(Pair->Client);
    Socket.StatusHandler = [this](TBlockSocket&, TSocketStatusReason Reason, const std::string& Value) {
      Events.push_back({Reason, Value});
      if (Reason == ChunkReceived && Peer) Peer->Cue();
    };
    Peer = std::make_unique<TPeer>(Pair->Server);
  }
  void TearDown() override { Peer.reset(); }

  int Count(TSocketStatusReason Reason) const {
    int N = 0;
    for (const TEvent& E : Events) N += E.Reason == Reason;
    return N;
  }
  std::vector<std::string> Values(TSocketStatusReason Reason) const {
    std::vector<std::string> Out;
    for (const TEvent& E : Events)
      if (E.Reason == Reason) Out.push_back(E.Value);
    return Out;
  }

  std::vector<TEvent> Events;  // outlives Socket, whose close is reported too
  std::unique_ptr<TLoopbackPair> Pair;
  TBlockSocket Socket;
  std::unique_ptr<TPeer> Peer;
};

INSTANTIATE_TEST_SUITE_P(Loopback, TransferTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& Info) { return Info.param == AF_INET ? "IPv4" : "IPv6"; });

TEST_P(TransferTest, LinesOfOnePacketNeedOneRead) {
  Peer->Send("abc\r\ndef\r\n");
  EXPECT_EQ(Socket.ReceiveLine(500), "abc");
  EXPECT_EQ(Socket.ReceiveLine(500), "def");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_TRUE(Socket.ReadBuffer.empty());
  EXPECT_EQ(Values(ChunkReceived), std::vector<std::string>{"10"});
  EXPECT_EQ(Socket.ReceivedByteCount, 10);
}

TEST_P(TransferTest, AnyLineBreakDropsThePartnerOfALoneBreakInTheNextPacket) {
  Socket.AnyLineBreak = true;
  Peer->Send("abc\r");
  EXPECT_EQ(Socket.ReceiveLine(500), "abc");
  EXPECT_TRUE(Socket.SkipLeadingLF);
  Peer->Send("\ndef\n");
  EXPECT_EQ(Socket.ReceiveLine(500), "def");
  EXPECT_TRUE(Socket.SkipLeadingCR);
  Peer->Send("\rghi\r\n");
  EXPECT_EQ(Socket.ReceiveLine(500), "ghi");
  EXPECT_FALSE(Socket.SkipLeadingLF || Socket.SkipLeadingCR);
  EXPECT_TRUE(Socket.ReadBuffer.empty());
}

TEST_P(TransferTest, EveryKindOfLineBreakWithAndWithoutAnyLineBreak) {
  Peer->Send("a\n\rb\rc\nd\r\n");
  EXPECT_EQ(Socket.ReceiveLine(500), "a\n\rb\rc\nd");
  Socket.AnyLineBreak = true;
  Peer->Send("a\n\rb\rc\nd\r\n\n\r");
  for (const char* Expected : {"a", "b", "c", "d", ""}) EXPECT_EQ(Socket.ReceiveLine(500), Expected);
  EXPECT_TRUE(Socket.ReadBuffer.empty());
  EXPECT_EQ(Values(ChunkReceived).size(), 2u);
}

TEST_P(TransferTest, CrAndLfSplitBetweenPackets) {
  // Without AnyLineBreak the terminator is found across the two chunks.
  Peer->Send("abc\r").AwaitCue().Send("\nx");
  EXPECT_EQ(Socket.ReceiveLine(500), "abc");
  EXPECT_EQ(Socket.ReadBuffer, "x");
  EXPECT_EQ(Count(ChunkReceived), 2);
  // Any other terminator too.
  Peer->Finish();
  Peer->ResetCue();
  Peer->Send("yEN").AwaitCue().Send("Dzz");
  EXPECT_EQ(Socket.ReceiveUntil(500, "END"), "xy");
  EXPECT_EQ(Socket.ReadBuffer, "zz");
  EXPECT_EQ(Count(ChunkReceived), 4);
}

TEST_P(TransferTest, PartialLineSurvivesATimeout) {
  Peer->Send("part");
  EXPECT_EQ(Socket.ReceiveLine(100), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_EQ(Socket.ReadBuffer, "part");
  // Reported by the chunk that timed out and by the line receive that ends with it.
  for (const std::string& V : Values(ErrorReported)) EXPECT_EQ(V, "10060,Connection timed out");
  EXPECT_FALSE(Values(ErrorReported).empty());
  Peer->Send("ial\r\nnext");
  EXPECT_EQ(Socket.ReceiveLine(500), "partial");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_EQ(Socket.LastErrorText, "");
  EXPECT_EQ(Socket.ReadBuffer, "next");
}

TEST_P(TransferTest, PeerClosingMidLine) {
  Peer->Send("abc").Pause(50ms).Close();
  EXPECT_EQ(Socket.ReceiveLine(500), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrPeerClosed);
  EXPECT_EQ(Socket.ReadBuffer, "abc");
  EXPECT_EQ(Values(ErrorReported).back(), "10054,Connection reset by peer");
}

TEST_P(TransferTest, RaisedTimeoutKeepsThePartialLine) {
  Socket.RaiseOnError = true;
  Peer->Send("part");
  try {
    Socket.ReceiveLine(100);
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& E) {
    EXPECT_EQ(E.ErrorNumber, ErrTimedOut);
  }
  EXPECT_EQ(Socket.ReadBuffer, "part");
}

TEST_P(TransferTest, LineLimit) {
  Socket.LineLimit = 10;
  Peer->Send("0123456789");
  EXPECT_EQ(Socket.ReceiveLine(100), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);  // 10 bytes are still allowed
  Peer->Send("A");
  EXPECT_EQ(Socket.ReceiveLine(500), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrLineTooLong);
  EXPECT_EQ(Socket.ReadBuffer, "0123456789A");
  EXPECT_EQ(Values(ErrorReported).back(), "10055,No Buffer space available");
}

TEST_P(TransferTest, LineLimitCountsTheLineNotWhatFollowsIt) {
  Socket.LineLimit = 10;
  Peer->Send("12345678\r\n" + std::string(30, 'x') + "\r\n");
  EXPECT_EQ(Socket.ReceiveLine(500), "12345678");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_EQ(Socket.ReceiveLine(500), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrLineTooLong);
  EXPECT_EQ(Socket.ReadBuffer.size(), 0u);  // the overlong line was cut off, not kept
}

TEST_P(TransferTest, TricklingDataUnderBothTimeoutRules) {
  Peer->Send("a").Pause(100ms).Send("b").Pause(100ms).Send("c").Pause(100ms).Send("\r\n");
  EXPECT_EQ(Socket.ReceiveLine(150), "abc");  // each wait is shorter than the timeout
  Peer->Finish();

  Socket.TimeoutPerChunk = false;
  Peer->Send("d").Pause(100ms).Send("e").Pause(100ms).Send("f").Pause(100ms).Send("\r\n");
  auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(Socket.ReceiveLine(150), "");
  auto Spent = std::chrono::steady_clock::now() - Start;
  // Whole-line rule: the gaps add up past 150 ms, so the line (complete after
  // 300 ms) is not returned; the bound only catches a wait that never ends.
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_LT(Spent, 5s);
  EXPECT_FALSE(Socket.ReadBuffer.empty());
  Peer->Finish();
  EXPECT_EQ(Socket.ReceiveLine(500), "def");
}

// Line ends at the edge of what has arrived: where the search goes on, a partner
// byte that comes alone, and the limit against a line end that completes late.
// Each packet is sent once the socket has read the one before.
TEST_P(TransferTest, LineEndsAtPacketEdges) {
  struct TCase {
    const char* Name;
    bool AnyBreak;
    std::string Terminator;
    int32_t Limit;
    std::vector<std::string> Packets;
    std::vector<std::string> Lines;  // one ReceiveUntil each; only the last may fail
    int32_t LastCode;
    std::string Left;
  };
  const TCase Cases[] = {
      {"LF, then CR in the next packet", true, "\r\n", 0, {"a\n", "\rb\n\r"}, {"a", "b"}, 0, ""},
      {"the partner alone in a packet", true, "\r\n", 0, {"a\r", "\n", "b\r\n"}, {"a", "b"}, 0, ""},
      {"a lone CR at the end ends the line within the limit", true, "\r\n", 4, {"abc\r", "\nd\n"}, {"abc", "d"}, 0,
       ""},
      {"a terminator split between packets", false, "aab", 0, {"xaa", "b-"}, {"x"}, 0, "-"},
      {"a line end completed past the limit", false, "\r\n", 4, {"abc\r", "\nz"}, {"abc"}, ErrLineTooLong, "z"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TLoopbackPair Pair(GetParam());
    ASSERT_TRUE(Pair.Valid());
    TPeer Sender(Pair.Server);
    TBlockSocket Reader;
    Reader.AdoptHandle(Pair.Client);
    Reader.AnyLineBreak = C.AnyBreak;
    Reader.LineLimit = C.Limit;
    Reader.StatusHandler = [&Sender](TBlockSocket&, TSocketStatusReason Reason, const std::string&) {
      if (Reason == ChunkReceived) Sender.Cue();
    };
    for (size_t I = 0; I < C.Packets.size(); ++I) (I == 0 ? Sender : Sender.AwaitCue()).Send(C.Packets[I]);
    for (size_t I = 0; I < C.Lines.size(); ++I) {
      EXPECT_EQ(Reader.ReceiveUntil(1000, C.Terminator), C.Lines[I]);
      EXPECT_EQ(Reader.LastErrorCode, I + 1 < C.Lines.size() ? 0 : C.LastCode);
    }
    EXPECT_EQ(Reader.ReadBuffer, C.Left);
  }
}

TEST_P(TransferTest, ReceiveUntilWithoutTerminatorReadsNothing) {
  Peer->Send("abc\r\n");
  Peer->Finish();
  Socket.LastErrorCode = 99;
  EXPECT_EQ(Socket.ReceiveUntil(100, ""), "");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_EQ(Count(ChunkReceived), 0);
  EXPECT_EQ(Socket.ReceiveLine(100), "abc");
}

TEST_P(TransferTest, ReceiveExactCountsAndFailures) {
  char Buffer[16] = {};
  Peer->Send("0123456789");
  EXPECT_EQ(Socket.ReceiveExact(Buffer, 4, 500), 4);
  EXPECT_EQ(std::string(Buffer, 4), "0123");
  EXPECT_EQ(Socket.ReadBuffer, "456789");
  EXPECT_EQ(Socket.ReceiveExact(Buffer, 0, 500), 0);
  EXPECT_EQ(Socket.ReceiveExactText(0, 500), "");
  EXPECT_EQ(Socket.ReadBuffer, "456789");
  EXPECT_EQ(Socket.ReceiveExactText(6, 500), "456789");
  EXPECT_TRUE(Socket.ReadBuffer.empty());

  // A count of 0 waits for one chunk and keeps it.
  Peer->Send("zz");
  EXPECT_EQ(Socket.ReceiveExact(Buffer, 0, 500), 0);
  EXPECT_EQ(Socket.ReadBuffer, "zz");
  // Spread over two chunks, the rest of the second stays buffered.
  Peer->Pause(50ms).Send("yyyy");
  EXPECT_EQ(Socket.ReceiveExact(Buffer, 5, 500), 5);
  EXPECT_EQ(std::string(Buffer, 5), "zzyyy");
  EXPECT_EQ(Socket.ReadBuffer, "y");

  // A failed receive consumes nothing: what it got stays buffered for the next.
  Peer->Send("abc");
  EXPECT_EQ(Socket.ReceiveExact(Buffer, 8, 100), 4);
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_EQ(std::string(Buffer, 4), "yabc");
  EXPECT_EQ(Socket.ReadBuffer, "yabc");

  Peer->Send("xy");
  EXPECT_EQ(Socket.ReceiveExactText(8, 100), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_EQ(Socket.ReadBuffer, "yabcxy");
  Peer->Send("1").Close();
  EXPECT_EQ(Socket.ReceiveExactText(8, 500), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrPeerClosed);
  EXPECT_EQ(Socket.ReceiveExactText(7, 500), "yabcxy1");
  EXPECT_EQ(Socket.LastErrorCode, 0);
}

TEST_P(TransferTest, ABlockThatTimesOutIsReceivedWholeLater) {
  Peer->Send(std::string("\x0A\0\0\0hello", 9));
  EXPECT_EQ(Socket.ReceivePrefixedText(150), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  Peer->Send("world");
  EXPECT_EQ(Socket.ReceivePrefixedText(1000), "helloworld");
  EXPECT_EQ(Socket.LastErrorCode, 0);

  // Also when the time-out leaves as an exception.
  Socket.RaiseOnError = true;
  Peer->Send("ab");
  EXPECT_THROW(Socket.ReceiveExactText(5, 150), ESocketError);
  EXPECT_EQ(Socket.ReadBuffer, "ab");
  Peer->Send(std::string("\x03\0\0\0x", 5));
  EXPECT_THROW(Socket.ReceiveExactText(9, 150), ESocketError);
  Socket.RaiseOnError = false;
  EXPECT_EQ(Socket.ReadBuffer, std::string("ab\x03\0\0\0x", 7));
  EXPECT_EQ(Socket.ReceiveExactText(2, 500), "ab");
  Peer->Send("yz");
  EXPECT_EQ(Socket.ReceivePrefixedText(1000), "xyz");
}

TEST_P(TransferTest, NegativeCountsAreTheCallersError) {
  char Buffer[4] = {};
  Peer->Send("data");
  EXPECT_EQ(Socket.SendBytes(Buffer, -1), -1);
  EXPECT_EQ(Socket.LastErrorCode, ErrInvalidArgument);
  EXPECT_EQ(Socket.ReceiveRaw(Buffer, -5), -1);
  EXPECT_EQ(Socket.LastErrorCode, ErrInvalidArgument);  // not "peer closed"
  EXPECT_EQ(Socket.PeekRaw(Buffer, -1), -1);
  EXPECT_EQ(Socket.LastErrorCode, ErrInvalidArgument);
  EXPECT_EQ(Socket.ReceiveExact(Buffer, -1, 100), 0);
  EXPECT_EQ(Socket.LastErrorCode, ErrInvalidArgument);
  EXPECT_EQ(Socket.SentByteCount, 0);
  EXPECT_EQ(Socket.ReceivedByteCount, 0);
  EXPECT_EQ(Count(ChunkSent), 0);
  Socket.RaiseOnError = true;
  EXPECT_THROW(Socket.SendBytes(Buffer, -2), ESocketError);
  Socket.RaiseOnError = false;
  // Nothing was taken from the connection.
  EXPECT_EQ(Socket.ReceiveExactText(4, 500), "data");
}

// A peer that reads slowly takes the whole of a large send: short counts from
// the OS are continued, not returned.
TEST_P(TransferTest, ASendGoesOnUntilEveryByteIsOut) {
  Socket.SetSendTimeout(5000);
  const std::string Data(6 * 1024 * 1024, 's');
  size_t Read = 0;
  std::thread Reader([&] {
    std::vector<char> Piece(65536);
    for (int Round = 0; Round < 100000 && Read < Data.size(); ++Round) {
      ssize_t N = recv(Pair->Server, Piece.data(), Piece.size(), 0);
      if (N <= 0) break;
      Read += static_cast<size_t>(N);
      if (Round % 16 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_EQ(Socket.SendText(Data), static_cast<int>(Data.size()));
  EXPECT_EQ(Socket.LastErrorCode, 0);
  Reader.join();
  EXPECT_EQ(Read, Data.size());
  EXPECT_EQ(Socket.SentByteCount, static_cast<int32_t>(Data.size()));
}

TEST_P(TransferTest, AnExpiredOsTimeoutIsATimeOutInBlockingModeOnly) {
  // The peer never reads: the OS buffers fill and the send time-out runs out.
  Socket.SetSendTimeout(300);
  const std::string Data(32 * 1024 * 1024, 'q');
  int Sent = Socket.SendText(Data);
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_LT(Sent, static_cast<int>(Data.size()));
  EXPECT_EQ(Count(ErrorReported), 1);
  Socket.RaiseOnError = true;
  try {
    Socket.SendText(Data);
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& Error) {
    EXPECT_EQ(Error.ErrorNumber, ErrTimedOut);
  }
  Socket.RaiseOnError = false;

  char Byte = 0;
  Socket.SetReceiveTimeout(200);
  EXPECT_EQ(Socket.ReceiveRaw(&Byte, 1), -1);
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);

  // Non-blocking: would-block stays 10035, and is not reported.
  Socket.SetNonBlocking(true);
  Events.clear();
  EXPECT_EQ(Socket.ReceiveRaw(&Byte, 1), -1);
  EXPECT_EQ(Socket.LastErrorCode, ErrWouldBlock);
  Socket.SendText(Data);
  EXPECT_EQ(Socket.LastErrorCode, ErrWouldBlock);
  EXPECT_EQ(Count(ErrorReported), 0);
}

// Every byte of the stream passes an override of ReceiveChunk once, whatever
// mix of buffered receives takes it.
TEST_P(TransferTest, AReceiveChunkOverrideSeesEveryByteOnce) {
  struct TCounting : TBlockSocket {
    std::string ReceiveChunk(int Timeout) override {
      std::string Chunk = TBlockSocket::ReceiveChunk(Timeout);
      Seen += Chunk;
      return Chunk;
    }
    std::string Seen;
  } Counting;
  Counting.AdoptHandle(dup(Pair->Client));
  const std::string Stream = std::string("one\r\ntwo\r\n\x03\0\0\0abcXYZ", 20) + "tail\r\n";
  Peer->Send(Stream.substr(0, 20)).Pause(50ms).Send(Stream.substr(20));
  EXPECT_EQ(Counting.ReceiveLine(1000), "one");
  EXPECT_EQ(Counting.ReceiveLine(1000), "two");
  EXPECT_EQ(Counting.ReceivePrefixedText(1000), "abc");
  EXPECT_EQ(Counting.ReceiveOneByte(1000), 'X');
  EXPECT_EQ(Counting.ReceiveExactText(2, 1000), "YZ");
  EXPECT_EQ(Counting.ReceiveLine(1000), "tail");
  EXPECT_EQ(Counting.Seen, Stream);
}

TEST_P(TransferTest, OneByteAndPeek) {
  Peer->Send("xy");
  EXPECT_EQ(Socket.PeekOneByte(500), 'x');
  EXPECT_EQ(Count(DataReadable), 1);
  EXPECT_EQ(Socket.ReceiveOneByte(500), 'x');
  // "y" now sits in ReadBuffer, where a peek does not look.
  EXPECT_EQ(Socket.PeekOneByte(50), 0);
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_EQ(Socket.ReceiveOneByte(500), 'y');
  EXPECT_EQ(Socket.ReceiveOneByte(50), 0);
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  Peer->Close();
  EXPECT_EQ(Socket.PeekOneByte(500), 0);
  EXPECT_EQ(Socket.LastErrorCode, 0);  // a peek of no bytes is no failure
  EXPECT_EQ(Socket.ReceiveOneByte(500), 0);
  EXPECT_EQ(Socket.LastErrorCode, ErrPeerClosed);
}

TEST_P(TransferTest, SendingReportsEveryChunk) {
  EXPECT_EQ(Socket.SendText(""), 0);
  EXPECT_EQ(Socket.SendText("hello"), 5);
  EXPECT_EQ(Socket.SendOneByte('!'), 1);
  EXPECT_EQ(Values(ChunkSent), (std::vector<std::string>{"0", "5", "1"}));
  EXPECT_EQ(Socket.SentByteCount, 6);
  Socket.SendFilter = [](TBlockSocket&, std::string& S) { S = "HEL"; };
  const std::string Text = "hello";
  EXPECT_EQ(Socket.SendText(Text), 3);
  EXPECT_EQ(Text, "hello");  // the filter worked on a copy
  TBlockSocket Far;
  Far.AdoptHandle(dup(Pair->Server));
  EXPECT_EQ(Far.ReceiveExactText(9, 500), "hello!HEL");
}

TEST_P(TransferTest, SendRateLimitHoldsTheNextSendBack) {
  Socket.SendRateLimit = 1000;
  std::string Block(200, 'r');
  auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(Socket.SendBytes(Block.data(), 200), 200);
  EXPECT_EQ(Count(BandwidthWait), 0);
  EXPECT_EQ(Socket.SendBytes(Block.data(), 200), 200);
  auto Spent = std::chrono::steady_clock::now() - Start;
  EXPECT_GE(Spent, 198ms);
  ASSERT_EQ(Count(BandwidthWait), 1);
  int Wait = std::stoi(Values(BandwidthWait)[0]);
  EXPECT_GT(Wait, 0);
  EXPECT_LE(Wait, 200);
}

// Both ends are TBlockSockets for the length-prefixed blocks.
TEST_P(TransferTest, PrefixedTextAndStreamRoundTrips) {
  auto FarEnd = std::make_unique<TBlockSocket>();
  TBlockSocket& Far = *FarEnd;
  Far.AdoptHandle(dup(Pair->Server));
  EXPECT_EQ(Socket.SendPrefixedText("hello world"), 11);
  EXPECT_EQ(Far.ReceivePrefixedText(500), "hello world");
  Socket.SendPrefixedText("");
  EXPECT_EQ(Far.ReceivePrefixedText(500), "");
  EXPECT_EQ(Far.LastErrorCode, 0);

  std::string Data(200000, '\0');
  for (size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<char>(I * 7 + I / 251);
  std::istringstream In(Data);
  In.seekg(1000);
  Socket.SendPrefixedStream(In);
  std::ostringstream Out;
  Far.ReceivePrefixedStream(Out, 500);
  EXPECT_EQ(Far.LastErrorCode, 0);
  EXPECT_TRUE(Out.str() == Data.substr(1000)) << Out.str().size();
  FarEnd.reset();  // its copy of the far end would keep the connection open

  // The wire form: length low byte first.
  Peer->Send(std::string("\x05\0\0\0hello", 9));
  EXPECT_EQ(Socket.ReceivePrefixedText(500), "hello");
  // A huge announced length with a short body fails without waiting for memory.
  Peer->Send(std::string("\xF0\xFF\xFF\x7F" "short", 9)).Close();
  EXPECT_EQ(Socket.ReceivePrefixedText(500), "");
  EXPECT_EQ(Socket.LastErrorCode, ErrPeerClosed);
}

TEST_P(TransferTest, ManyLinesInBurstsComeOutInOrder) {
  Socket.AnyLineBreak = true;
  const char* Breaks[] = {"\r\n", "\n", "\r", "\n\r"};
  std::string Stream;
  const int Lines = 20000;
  for (int I = 0; I < Lines; ++I) Stream += "line " + std::to_string(I) + std::string(I % 37, '.') + Breaks[I % 4];
  Stream += "tail";
  for (size_t At = 0; At < Stream.size(); At += 100000) Peer->Send(Stream.substr(At, 100000));
  for (int I = 0; I < Lines; ++I) {
    std::string Expected = "line " + std::to_string(I) + std::string(I % 37, '.');
    std::string Got = Socket.ReceiveLine(500);
    ASSERT_EQ(Got, Expected) << "line " << I << " code " << Socket.LastErrorCode;
  }
  EXPECT_EQ(Socket.ReceiveLine(100), "");
  EXPECT_EQ(Socket.ReadBuffer, "tail");
}

// A datagram socket for SendTo and ReceiveFrom.
TEST_P(TransferTest, DatagramRoundTrip) {
  int Family = GetParam();
  auto Open = [&](TBlockSocket& S) {
    int Fd = socket(Family, SOCK_DGRAM, 0);
    ASSERT_GE(Fd, 0);
    TSocketAddress A;
    socklen_t Length;
    if (Family == AF_INET) {
      A.V4()->sin_family = AF_INET;
      A.V4()->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      Length = sizeof(sockaddr_in);
    } else {
      A.V6()->sin6_family = AF_INET6;
      A.V6()->sin6_addr = in6addr_loopback;
      Length = sizeof(sockaddr_in6);
    }
    ASSERT_EQ(bind(Fd, A.Raw(), Length), 0);
    S.AdoptHandle(Fd);
  };
  std::vector<TEvent> Seen;
  TBlockSocket Sender, Receiver;
  Open(Sender);
  Open(Receiver);
  Receiver.StatusHandler = [&](TBlockSocket&, TSocketStatusReason R, const std::string& V) { Seen.push_back({R, V}); };
  Sender.RemoteAddress = Receiver.LocalAddress;
  EXPECT_EQ(Sender.SendTo("datagram", 8), 8);
  EXPECT_EQ(Sender.LastErrorCode, 0);
  EXPECT_TRUE(Receiver.WaitReadable(500));
  char Buffer[64] = {};
  EXPECT_EQ(Receiver.ReceiveFrom(Buffer, sizeof(Buffer)), 8);
  EXPECT_EQ(std::string(Buffer, 8), "datagram");
  EXPECT_EQ(Receiver.RemoteAddress.Family(), Family);
  EXPECT_EQ(Receiver.RemoteAddress.NetworkPort(), Sender.LocalAddress.NetworkPort());
  ASSERT_EQ(Seen.size(), 2u);
  EXPECT_EQ(Seen[0].Reason, DataReadable);
  EXPECT_EQ(Seen[1].Reason, ChunkReceived);
  EXPECT_EQ(Seen[1].Value, "8");
  EXPECT_EQ(Receiver.ReceivedByteCount, 8);
}

}  // namespace
