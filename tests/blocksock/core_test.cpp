// TBlockSocket core over real loopback sockets: lifecycle and status events, the
// error model, option requests, data filters and input draining.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "blocksock/block_socket.h"

using namespace quorrel;

namespace {

using TEvent = std::pair<TSocketStatusReason, std::string>;
using TEvents = std::vector<TEvent>;
using TReasons = std::vector<TSocketStatusReason>;

// The base class asks the OS for socket type 0; tests need a real stream socket.
class TStreamSocket : public TBlockSocket {
 public:
  int SocketType() override { return 1; }
  int SocketProtocol() override { return 6; }
};

// Events must be declared before the socket: its destructor reports SocketClosed.
void Record(TBlockSocket& Socket, TEvents& Events) {
  Socket.StatusHandler = [&Events](TBlockSocket&, TSocketStatusReason R, const std::string& V) {
    Events.emplace_back(R, V);
  };
}

TReasons Reasons(const TEvents& Events) {
  TReasons Out;
  for (const TEvent& E : Events) Out.push_back(E.first);
  return Out;
}

int Count(const TEvents& Events, TSocketStatusReason Reason) {
  int N = 0;
  for (const TEvent& E : Events) N += E.first == Reason;
  return N;
}

bool IsOpenFd(int Fd) { return ::fcntl(Fd, F_GETFD) != -1; }

// A plain socket bound to a free loopback port of the family; listening unless
// asked not to, in which case connects to it are refused.
struct TPlainPeer {
  explicit TPlainPeer(int Family, bool Listening = true) {
    Fd = ::socket(Family, SOCK_STREAM, 0);
    sockaddr_in6 A6{};
    sockaddr_in A4{};
    A6.sin6_family = AF_INET6;
    A6.sin6_addr = in6addr_loopback;
    A4.sin_family = AF_INET;
    A4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr* A = Family == AF_INET6 ? reinterpret_cast<sockaddr*>(&A6) : reinterpret_cast<sockaddr*>(&A4);
    socklen_t Length = Family == AF_INET6 ? sizeof(A6) : sizeof(A4);
    if (::bind(Fd, A, Length) != 0 || (Listening && ::listen(Fd, 8) != 0)) return;
    ::getsockname(Fd, A, &Length);
    Port = ntohs(Family == AF_INET6 ? A6.sin6_port : A4.sin_port);
  }
  ~TPlainPeer() {
    if (Accepted >= 0) ::close(Accepted);
    ::close(Fd);
  }
  std::string PortText() const { return std::to_string(Port); }
  int Accept() {
    pollfd P{Fd, POLLIN, 0};
    if (::poll(&P, 1, 2000) == 1) Accepted = ::accept(Fd, nullptr, nullptr);
    return Accepted;
  }
  int Fd = -1;
  int Port = 0;
  int Accepted = -1;
};

int ReceiveTimeoutMs(int Fd) {
  timeval T{};
  socklen_t Length = sizeof(T);
  ::getsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &T, &Length);
  return static_cast<int>(T.tv_sec * 1000 + T.tv_usec / 1000);
}

// ---------------------------------------------------------------------------
// Lifecycle and status events

TEST(BlockSocketLifecycle, ConnectAndCloseReportEventsInOrder) {
  for (int Family : {AF_INET, AF_INET6}) {
    const bool V6 = Family == AF_INET6;
    TPlainPeer Peer(Family);
    ASSERT_NE(Peer.Port, 0);
    TEvents Events;
    TStreamSocket Socket;
    Record(Socket, Events);
    const std::string Host = V6 ? "::1" : "127.0.0.1";
    const std::string Where = Host + ":" + Peer.PortText();

    Socket.Connect(Host, Peer.PortText());
    EXPECT_EQ(Socket.LastErrorCode, 0);
    ASSERT_TRUE(Socket.HasSocket());
    EXPECT_EQ(Socket.IPv6InUse, V6);
    EXPECT_EQ(Events, (TEvents{{ResolvingStarted, Where},
                               {ResolvingFinished, Where},
                               {SocketCreated, V6 ? "IPv6" : "IPv4"},
                               {SocketConnected, Where}}));
    EXPECT_EQ(Socket.RemoteAddressText(), Host);
    EXPECT_EQ(Socket.RemotePortNumber(), Peer.Port);
    EXPECT_EQ(Socket.LocalAddressText(), Host);
    EXPECT_NE(Socket.LocalPortNumber(), 0);

    Events.clear();
    const TSocketHandle Handle = Socket.SocketHandle;
    Socket.CloseSocket();
    EXPECT_FALSE(Socket.HasSocket());
    EXPECT_FALSE(IsOpenFd(Handle));
    EXPECT_EQ(Events, (TEvents{{SocketClosed, ""}}));
  }
}

TEST(BlockSocketLifecycle, DefaultBindWaitsForConnectUnlessTheFamilyIsFixed) {
  TPlainPeer Peer6(AF_INET6);
  TPlainPeer Peer4(AF_INET);
  TEvents Events;
  TStreamSocket Socket;
  Record(Socket, Events);
  Socket.LastErrorCode = 10061;
  Socket.Bind("0.0.0.0", "0");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_FALSE(Socket.HasSocket());
  EXPECT_TRUE(Events.empty());
  // The family is still open, so an IPv6 peer can be reached.
  Socket.Connect("::1", Peer6.PortText());
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_TRUE(Socket.IPv6InUse);
  Socket.CloseSocket();

  Events.clear();
  Socket.SetIPFamily(IPFamilyV4);
  Socket.Bind("0.0.0.0", "0");
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_EQ(Events, (TEvents{{ResolvingStarted, "0.0.0.0:0"},
                             {ResolvingFinished, "0.0.0.0:0"},
                             {SocketCreated, "IPv4"},
                             {SocketBound, "0.0.0.0:0"}}));
  EXPECT_NE(Socket.LocalPortNumber(), 0);
  // Connect uses the bound socket.
  const TSocketHandle Handle = Socket.SocketHandle;
  Socket.Connect("127.0.0.1", Peer4.PortText());
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_EQ(Socket.SocketHandle, Handle);
  EXPECT_EQ(Count(Events, SocketCreated), 1);
}

TEST(BlockSocketLifecycle, BindAndConnectOnAConnectedSocketFailWithoutANewSocket) {
  TPlainPeer Peer(AF_INET);
  TPlainPeer Other(AF_INET);
  TEvents Events;
  TStreamSocket Socket;
  Record(Socket, Events);
  Socket.Connect("127.0.0.1", Peer.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0);
  const TSocketHandle Handle = Socket.SocketHandle;
  Socket.ReadBuffer.Assign(std::string_view("left over"));

  Events.clear();
  Socket.Connect("127.0.0.1", Other.PortText());
  EXPECT_EQ(Socket.LastErrorCode, 10056);
  EXPECT_EQ(Socket.SocketHandle, Handle);
  EXPECT_EQ(Reasons(Events), (TReasons{ResolvingStarted, ResolvingFinished, ErrorReported, SocketConnected}));
  EXPECT_EQ(Events[2].second, "10056,Socket is already connected");
  EXPECT_TRUE(Socket.ReadBuffer.empty());

  Socket.Bind("127.0.0.1", "0");
  EXPECT_EQ(Socket.LastErrorCode, 10022);
  EXPECT_EQ(Socket.SocketHandle, Handle);
  EXPECT_EQ(Count(Events, SocketCreated), 0);
}

TEST(BlockSocketLifecycle, OneObjectRunsSeveralOpenCloseRounds) {
  TPlainPeer Peer4(AF_INET);
  TPlainPeer Peer6(AF_INET6);
  TEvents Events;
  TStreamSocket Socket;
  Record(Socket, Events);
  for (int Round = 0; Round < 4; ++Round) {
    const bool V6 = Round % 2 == 1;
    Socket.SetReceiveTimeout(1000);
    Socket.Connect(V6 ? "::1" : "127.0.0.1", V6 ? Peer6.PortText() : Peer4.PortText());
    ASSERT_EQ(Socket.LastErrorCode, 0) << "round " << Round;
    EXPECT_EQ(Socket.IPv6InUse, V6);
    Socket.ReadBuffer.Assign(std::string_view("kept"));
    Socket.SetReceiveTimeout(2000);  // open: applied at once, not queued
    Socket.IPFamily = V6 ? IPFamilyV6 : IPFamilyV4;  // as a narrowing lookup leaves it
    Socket.CloseSocket();
    EXPECT_EQ(Socket.IPFamily, IPFamilyAny);
    EXPECT_EQ(Socket.LastErrorCode, 0);
    EXPECT_TRUE(Socket.PendingOptions.empty());
    EXPECT_TRUE(Socket.ReadBuffer == "kept");  // only the next open empties it
  }
  EXPECT_EQ(Count(Events, SocketCreated), 4);
  EXPECT_EQ(Count(Events, SocketClosed), 4);

  // Requests that never reached a socket are dropped by a close.
  Socket.SetBroadcast(true);
  Socket.CloseSocket();
  EXPECT_TRUE(Socket.PendingOptions.empty());
}

TEST(BlockSocketLifecycle, AdoptedHandleIsReadButNotReported) {
  TPlainPeer Peer(AF_INET6);
  TStreamSocket Client;
  Client.Connect("::1", Peer.PortText());
  ASSERT_EQ(Client.LastErrorCode, 0);
  const int Accepted = ::dup(Peer.Accept());
  TEvents Events;
  {
    TStreamSocket Socket;
    Record(Socket, Events);
    Socket.LastErrorCode = 10060;
    Socket.AdoptHandle(Accepted);
    EXPECT_TRUE(Socket.IPv6InUse);
    EXPECT_EQ(Socket.LastErrorCode, 10060);
    EXPECT_TRUE(Events.empty());
    EXPECT_EQ(Socket.LocalPortNumber(), Peer.Port);
    EXPECT_EQ(Socket.RemotePortNumber(), Client.LocalPortNumber());
    EXPECT_EQ(Socket.ReadWaitSet.Count, 1);
  }
  EXPECT_FALSE(IsOpenFd(Accepted));
  EXPECT_EQ(Events, (TEvents{{SocketClosed, ""}}));
}

TEST(BlockSocketLifecycle, DestructionClosesExactlyOnce) {
  TEvents Events;
  { TBlockSocket Never; Record(Never, Events); }
  EXPECT_EQ(Events, (TEvents{{SocketClosed, ""}}));

  // A subclass with its own close, as the TCP socket has.
  struct TOwnClose : TStreamSocket {
    explicit TOwnClose(int& N) : Closes(N) {}
    ~TOwnClose() override { CloseOnDestroy(); }
    void CloseSocket() override {
      ++Closes;
      TStreamSocket::CloseSocket();
    }
    int& Closes;
  };
  TPlainPeer Peer(AF_INET);
  int Closes = 0;
  TSocketHandle Handle;
  Events.clear();
  {
    TOwnClose Socket(Closes);
    Record(Socket, Events);
    Socket.Connect("127.0.0.1", Peer.PortText());
    Handle = Socket.SocketHandle;
  }
  EXPECT_EQ(Closes, 1);
  EXPECT_EQ(Count(Events, SocketClosed), 1);
  EXPECT_FALSE(IsOpenFd(Handle));

  // A handler that throws during the final close must not end the program.
  {
    TStreamSocket Socket;
    Socket.Connect("127.0.0.1", Peer.PortText());
    Handle = Socket.SocketHandle;
    Socket.StatusHandler = [](TBlockSocket&, TSocketStatusReason R, const std::string&) {
      if (R == SocketClosed) throw ESocketError(1, "handler");
    };
  }
  EXPECT_FALSE(IsOpenFd(Handle));
}

TEST(BlockSocketLifecycle, RefusedSocketCreationStillCompletesTheOpenSteps) {
  TPlainPeer Peer(AF_INET);
  TEvents Events;
  TBlockSocket Socket;  // socket type 0: the OS refuses it
  Record(Socket, Events);
  bool HookRan = false;
  Socket.AfterSocketCreated = [&HookRan](TBlockSocket&) { HookRan = true; };
  Socket.SetReceiveTimeout(1000);
  Socket.Connect("127.0.0.1", Peer.PortText());
  EXPECT_FALSE(Socket.HasSocket());
  EXPECT_NE(Socket.LastErrorCode, 0);
  EXPECT_TRUE(HookRan);
  EXPECT_TRUE(Socket.PendingOptions.empty());
  EXPECT_EQ(Reasons(Events), (TReasons{ResolvingStarted, ResolvingFinished, ErrorReported, SocketCreated,
                                       ErrorReported, SocketConnected}));
}

// ---------------------------------------------------------------------------
// Error model

TEST(BlockSocketErrors, RefusedConnectRaisesOnlyWhenAsked) {
  TPlainPeer Closed(AF_INET, /*Listening=*/false);
  ASSERT_NE(Closed.Port, 0);
  TEvents Events;
  TStreamSocket Socket;
  Record(Socket, Events);
  Socket.RaiseOnError = true;
  try {
    Socket.Connect("127.0.0.1", Closed.PortText());
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& E) {
    EXPECT_EQ(E.ErrorNumber, 10061);
    EXPECT_EQ(E.ErrorText, "Connection refused");
    EXPECT_STREQ(E.what(), "TCP/IP Socket error 10061: Connection refused");
  }
  EXPECT_TRUE(Socket.HasSocket());  // a failed connect leaves the socket open
  EXPECT_EQ(Count(Events, SocketConnected), 0);
  EXPECT_EQ(Events.back(), TEvent(ErrorReported, "10061,Connection refused"));

  Socket.CloseSocket();
  Events.clear();
  Socket.RaiseOnError = false;
  TPlainPeer Closed6(AF_INET6, false);
  Socket.Connect("::1", Closed6.PortText());
  EXPECT_EQ(Socket.LastErrorCode, 10061);
  EXPECT_EQ(Socket.LastErrorText, "Connection refused");
  EXPECT_EQ(Reasons(Events),
            (TReasons{ResolvingStarted, ResolvingFinished, SocketCreated, ErrorReported, SocketConnected}));
  Socket.CloseSocket();
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_EQ(Socket.LastErrorText, "Connection refused");  // the text outlives the close
}

TEST(BlockSocketErrors, DescriptionsAndWhatCheckErrorPassesOver) {
  EXPECT_EQ(TBlockSocket::GetErrorDesc(0), "");
  EXPECT_EQ(TBlockSocket::GetErrorDesc(10004), "Interrupted system call");
  EXPECT_EQ(TBlockSocket::GetErrorDesc(10059), "Too many references:can't splice");
  EXPECT_EQ(TBlockSocket::GetErrorDesc(11004), "Valid name, no data record of requested type");
  EXPECT_EQ(TBlockSocket::GetErrorDesc(10072), "Not a Winsock error (10072)");  // gap in the table
  EXPECT_EQ(TBlockSocket::GetErrorDesc(12), "Not a Winsock error (12)");
  EXPECT_EQ(TBlockSocket::GetErrorDesc(-10061), "Not a Winsock error (-10061)");

  TEvents Events;
  TBlockSocket Socket;
  Record(Socket, Events);
  Socket.RaiseOnError = true;
  for (int Code : {10035, 10036, 0}) {
    Socket.LastErrorCode = Code;
    EXPECT_NO_THROW(Socket.CheckError());
    EXPECT_EQ(Socket.LastErrorText, TBlockSocket::GetErrorDesc(Code));
  }
  EXPECT_TRUE(Events.empty());
  Socket.LastErrorCode = 10060;
  EXPECT_THROW(Socket.CheckError(), ESocketError);
  EXPECT_EQ(Events, (TEvents{{ErrorReported, "10060,Connection timed out"}}));
  EXPECT_EQ(Socket.LastErrorCode, 10060);
}

// ---------------------------------------------------------------------------
// Option requests

TEST(BlockSocketOptions, FirstQueuedRequestIsInForceAfterCreation) {
  TPlainPeer Peer(AF_INET);
  TStreamSocket Socket;
  Socket.SetReceiveTimeout(1500);
  Socket.SetReceiveTimeout(3000);
  Socket.SetLinger(true, 2999);  // seconds truncate: 2
  int SeenInHook = -1;
  Socket.AfterSocketCreated = [&SeenInHook](TBlockSocket& S) { SeenInHook = ReceiveTimeoutMs(S.SocketHandle); };
  Socket.Connect("127.0.0.1", Peer.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0);
  EXPECT_TRUE(Socket.PendingOptions.empty());
  EXPECT_EQ(SeenInHook, 1500);  // applied before the hook runs
  EXPECT_EQ(ReceiveTimeoutMs(Socket.SocketHandle), 1500);
  linger L{};
  socklen_t Length = sizeof(L);
  ::getsockopt(Socket.SocketHandle, SOL_SOCKET, SO_LINGER, &L, &Length);
  EXPECT_NE(L.l_onoff, 0);
  EXPECT_EQ(L.l_linger, 2);

  Socket.SetReceiveTimeout(700);
  EXPECT_EQ(ReceiveTimeoutMs(Socket.SocketHandle), 700);
  Socket.SetNonBlocking(true);
  EXPECT_NE(::fcntl(Socket.SocketHandle, F_GETFL) & O_NONBLOCK, 0);
  Socket.SetTimeToLive(-5);  // refused by the OS: no trace
  EXPECT_EQ(Socket.LastErrorCode, 0);

  TPlainPeer Peer6(AF_INET6);
  TStreamSocket Socket6;
  Socket6.SetTimeToLive(17);
  Socket6.Connect("::1", Peer6.PortText());
  int Hops = 0;
  Length = sizeof(Hops);
  ::getsockopt(Socket6.SocketHandle, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &Hops, &Length);
  EXPECT_EQ(Hops, 17);
}

// ---------------------------------------------------------------------------
// Data filters and input draining

TEST(BlockSocketFilters, FiltersMayChangeAndDropButNeverAddBytes) {
  TBlockSocket Socket;
  char Buffer[8] = {'a', 'b', 'c', 'd', 'e', 'X', 'X', 'X'};
  int N = 5;
  std::string Seen;
  Socket.SendFilter = [&Seen](TBlockSocket&, std::string& S) {
    Seen = S;
    S = "0123456789";
  };
  Socket.RunSendFilter(Buffer, N);
  EXPECT_EQ(Seen, "abcde");
  EXPECT_EQ(N, 5);
  EXPECT_EQ(std::string(Buffer, 8), "01234XXX");
  Socket.ReceiveFilter = [](TBlockSocket&, std::string& S) { S.clear(); };
  Socket.RunReceiveFilter(Buffer, N);
  EXPECT_EQ(N, 0);
  N = -1;  // a failed receive never reaches the hook
  Socket.ReceiveFilter = [](TBlockSocket&, std::string&) { FAIL(); };
  Socket.RunReceiveFilter(Buffer, N);
  EXPECT_EQ(N, -1);
}

TEST(BlockSocketDrain, DiscardInputEmptiesEverythingAndNeverRaises) {
  TPlainPeer Peer(AF_INET);
  TEvents Events;
  TStreamSocket Socket;
  Record(Socket, Events);
  Socket.Connect("127.0.0.1", Peer.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0);
  const int Accepted = Peer.Accept();
  const std::string Data(3000, 'z');
  ASSERT_EQ(::send(Accepted, Data.data(), Data.size(), 0), 3000);
  ::shutdown(Accepted, SHUT_WR);
  Socket.ReadBuffer.Assign(std::string_view("buffered"));
  Socket.RaiseOnError = true;
  ::usleep(50 * 1000);

  Events.clear();
  EXPECT_NO_THROW(Socket.DiscardInput());
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_TRUE(Socket.RaiseOnError);
  EXPECT_TRUE(Socket.ReadBuffer.empty());
  EXPECT_EQ(Socket.ReceivedByteCount, 3000);
  EXPECT_EQ(Events.back(), TEvent(ErrorReported, "10054,Connection reset by peer"));
}

TEST(BlockSocketDrain, DiscardInputEndsAgainstAPeerThatNeverStops) {
  struct TEndless : TStreamSocket {
    std::string ReceiveChunk(int) override {
      LastErrorCode = 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return "more";
    }
  } Socket;
  const auto Start = std::chrono::steady_clock::now();
  Socket.DiscardInput();
  const auto Elapsed = std::chrono::steady_clock::now() - Start;
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_GE(Elapsed, std::chrono::milliseconds(4900));
  EXPECT_LT(Elapsed, std::chrono::seconds(8));
}

// ---------------------------------------------------------------------------
// Waiting without an OS socket, adopting, and the process around a socket

TEST(BlockSocketWait, WithoutAnOsSocketEveryWaitFailsAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a child that an alarm ends, so that a wait that never returns shows as
  // this test failing rather than as a hung test program.
  EXPECT_EXIT(
      {
        alarm(5);
        TBlockSocket Socket;
        Socket.ReceiveOneByte(-1);
        const bool Unlimited = Socket.LastErrorCode == ErrNotSocket;
        Socket.ReceiveLine(3000);
        const bool Limited = Socket.LastErrorCode == ErrNotSocket;
        const bool Wait = !Socket.WaitReadable(3000) && Socket.LastErrorCode == ErrNotSocket;
        _exit(Unlimited && Limited && Wait ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(BlockSocketWait, ClosingForgetsTheDescriptorItWaitedOn) {
  TPlainPeer Peer(AF_INET);
  TStreamSocket Socket;
  Socket.Connect("127.0.0.1", Peer.PortText());
  ASSERT_EQ(Socket.LastErrorCode, 0);
  const int Old = Socket.SocketHandle;
  Socket.CloseSocket();
  EXPECT_EQ(Socket.ReadWaitSet.Count, 0);
  // The OS hands the number to the next socket; data waiting there is not this
  // socket's.
  int Pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, Pair), 0);
  ASSERT_EQ(::dup2(Pair[0], Old), Old);
  ASSERT_EQ(::send(Pair[1], "x", 1, 0), 1);
  EXPECT_FALSE(Socket.WaitReadable(1000));
  EXPECT_EQ(Socket.LastErrorCode, ErrNotSocket);
  ::close(Old);
  ::close(Pair[0]);
  ::close(Pair[1]);
}

TEST(BlockSocketLifecycle, AdoptingAHandleClosesTheOneHeld) {
  int First[2];
  int Second[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, First), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, Second), 0);
  TEvents Events;
  TBlockSocket Socket;
  Record(Socket, Events);
  Socket.AdoptHandle(First[0]);
  Socket.ReadBuffer.Assign(std::string_view("left over"));
  Socket.AdoptHandle(Second[0]);
  EXPECT_FALSE(IsOpenFd(First[0]));
  EXPECT_EQ(Count(Events, SocketClosed), 1);
  EXPECT_TRUE(Socket.ReadBuffer.empty());  // not the new connection's bytes
  // Adopting the handle held already keeps it.
  Socket.AdoptHandle(Second[0]);
  EXPECT_TRUE(IsOpenFd(Second[0]));
  ::close(First[1]);
  ::close(Second[1]);
}

// A signal that repeats every 20 ms during a 300 ms wait must not stretch it:
// a wait that started its whole time again after each signal would only end
// when the signals stop, 2 s later.
TEST(BlockSocketWait, RepeatedSignalsDoNotStretchAWait) {
  struct sigaction Quiet {}, Saved{};
  Quiet.sa_handler = [](int) {};
  sigemptyset(&Quiet.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &Quiet, &Saved), 0);
  int Pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, Pair), 0);
  TBlockSocket Socket;
  Socket.AdoptHandle(Pair[0]);

  std::atomic<bool> Done{false};
  std::thread Stopper([&] {
    sigset_t Alarm;
    sigemptyset(&Alarm);
    sigaddset(&Alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &Alarm, nullptr);  // the signals go to the waiter
    for (int I = 0; I < 200 && !Done; ++I) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    itimerval Off{};
    setitimer(ITIMER_REAL, &Off, nullptr);
  });
  itimerval Every20{};
  Every20.it_interval.tv_usec = 20000;
  Every20.it_value.tv_usec = 20000;
  setitimer(ITIMER_REAL, &Every20, nullptr);
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(Socket.ReceiveLine(300), "");
  const auto Spent = std::chrono::steady_clock::now() - Start;
  Done = true;
  Stopper.join();
  sigaction(SIGALRM, &Saved, nullptr);
  EXPECT_EQ(Socket.LastErrorCode, ErrTimedOut);
  EXPECT_GE(Spent, std::chrono::milliseconds(290));
  EXPECT_LT(Spent, std::chrono::milliseconds(900));
  ::close(Pair[1]);
}

// The OS goes on connecting after a signal interrupts a blocking connect; a
// Connect that gave up then would leave the peer a connection nobody uses. A
// full accept queue drops the first SYN, so the connect is still waiting (for
// the SYN to go again, a second later) when the signal comes.
TEST(BlockSocketLifecycle, ASignalDuringConnectDoesNotFailIt) {
  struct sigaction Quiet {}, Saved{};
  Quiet.sa_handler = [](int) {};  // no SA_RESTART: the signal interrupts the call
  sigemptyset(&Quiet.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &Quiet, &Saved), 0);
  TPlainPeer Peer(AF_INET, false);
  ASSERT_EQ(::listen(Peer.Fd, 0), 0);
  TStreamSocket Filler;
  Filler.Connect("127.0.0.1", Peer.PortText());
  ASSERT_EQ(Filler.LastErrorCode, 0);

  const pthread_t Connecting = pthread_self();
  std::thread Signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pthread_kill(Connecting, SIGALRM);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(::accept(Peer.Fd, nullptr, nullptr));  // room for the next SYN
  });
  TStreamSocket Socket;
  Socket.Connect("127.0.0.1", Peer.PortText());
  Signaller.join();
  sigaction(SIGALRM, &Saved, nullptr);
  EXPECT_EQ(Socket.LastErrorCode, 0);
  // The connection the peer accepts is the socket's own.
  ASSERT_GE(Peer.Accept(), 0);
  EXPECT_EQ(Socket.SendText("x"), 1);
  char Byte = 0;
  EXPECT_EQ(::recv(Peer.Accepted, &Byte, 1, 0), 1);
  EXPECT_EQ(Byte, 'x');
}

TEST(BlockSocketTransfer, SendingToAGonePeerIsAnErrorNotASignal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child keeps SIGPIPE's default action, which would end it: a send that
  // lets the signal through shows as this test failing.
  EXPECT_EXIT(
      {
        signal(SIGPIPE, SIG_DFL);
        int Pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, Pair) != 0) _exit(2);
        ::close(Pair[1]);
        TBlockSocket Socket;
        Socket.AdoptHandle(Pair[0]);
        int Result = Socket.SendText("gone?");
        _exit(Result == -1 && Socket.LastErrorCode == ErrPeerClosed ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
