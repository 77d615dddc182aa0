#include "sockapi/sockapi.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>

#include "support/process.h"
#include "support/requirement.h"

using namespace quorrel;

namespace {

TSocketAddress Loopback(int Port) {
  TSocketAddress A;
  A.V4()->sin_family = AF_INET;
  A.V4()->sin_port = OsHtons(static_cast<uint16_t>(Port));
  A.V4()->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return A;
}

TEST(SocketAddress, SizeByFamily) {
  TSocketAddress A;
  EXPECT_EQ(SocketAddressSize(A), 0);
  A = Loopback(80);
  EXPECT_EQ(SocketAddressSize(A), 16);
  EXPECT_EQ(OsNtohs(A.NetworkPort()), 80);
  A.V6()->sin6_family = AF_INET6;
  EXPECT_EQ(SocketAddressSize(A), 28);
  A.Raw()->sa_family = AF_UNIX;
  EXPECT_EQ(SocketAddressSize(A), 0);
  A.Clear();
  EXPECT_EQ(A.Family(), 0);
}

TEST(SocketSet, HoldsAtMost64WithoutDuplicateCheck) {
  TSocketSet Set;
  SocketSetAdd(7, Set);
  SocketSetAdd(7, Set);
  EXPECT_EQ(Set.Count, 2);
  SocketSetZero(Set);
  EXPECT_EQ(Set.Count, 0);
  for (int I = 0; I < 70; ++I) SocketSetAdd(100 + I, Set);
  EXPECT_EQ(Set.Count, 64);
  EXPECT_EQ(Set.Handles[63], 163);
}

// The test program's start code has loaded the interface once already.
TEST(Loading, UsersAreCounted) {
  ASSERT_EQ(SocketInterfaceUsers, 1);
  EXPECT_TRUE(ExtendedResolverPresent);
  EXPECT_FALSE(IPv6SupplementPresent);

  // Further loads only count, whatever the name.
  EXPECT_TRUE(LoadSocketInterface("/nonexistent/libnothing.so"));
  EXPECT_TRUE(LoadSocketInterface(""));
  EXPECT_EQ(SocketInterfaceUsers, 3);
  EXPECT_TRUE(UnloadSocketInterface());
  EXPECT_TRUE(UnloadSocketInterface());
  EXPECT_EQ(SocketInterfaceUsers, 1);

  // Down to zero, and below: the count stays at zero.
  EXPECT_TRUE(UnloadSocketInterface());
  EXPECT_TRUE(UnloadSocketInterface());
  EXPECT_EQ(SocketInterfaceUsers, 0);

  // A library that is not there fails and changes nothing.
  EXPECT_FALSE(LoadSocketInterface("/nonexistent/libnothing.so"));
  EXPECT_EQ(SocketInterfaceUsers, 0);

  // Loading the C library by its own name binds everything too.
  EXPECT_TRUE(LoadSocketInterface("libc.so.6"));
  EXPECT_TRUE(ExtendedResolverPresent);
  EXPECT_FALSE(IPv6SupplementPresent);
  EXPECT_TRUE(UnloadSocketInterface());

  ASSERT_TRUE(LoadSocketInterface("ws2_32.dll"));
  EXPECT_EQ(SocketInterfaceUsers, 1);
  TSocketHandle S = OsSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_NE(S, InvalidSocket);
  EXPECT_EQ(OsCloseSocket(S), 0);
}

TEST(ErrorCodes, TranslationTable) {
  const std::pair<int, int> Table[] = {
      {EINTR, 10004},          {EBADF, 10009},           {EACCES, 10013},       {EFAULT, 10014},
      {EINVAL, 10022},         {EMFILE, 10024},          {EWOULDBLOCK, 10035},  {EAGAIN, 10035},
      {EINPROGRESS, 10036},    {EALREADY, 10037},        {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},
      {EMSGSIZE, 10040},       {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
      {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},     {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},     {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},     {ENETUNREACH, 10051},
      {ENETRESET, 10052},      {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {EPIPE, 10054},
      {ENOBUFS, 10055},        {EISCONN, 10056},         {ENOTCONN, 10057},     {ESHUTDOWN, 10058},
      {ETOOMANYREFS, 10059},   {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061}, {ELOOP, 10062},
      {ENAMETOOLONG, 10063},   {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
      {EUSERS, 10068},         {EDQUOT, 10069},          {ESTALE, 10070},       {EREMOTE, 10071},
      {ENOENT, ENOENT},        {ENOMEM, ENOMEM},         {0, 0},
  };
  for (const auto& [Errno, Code] : Table) EXPECT_EQ(TranslateOsError(Errno), Code) << Errno;
}

TEST(ErrorCodes, OneListGivesConstantsTextsAndErrnoMap) {
  struct TRow {
    int32_t Code;
    int Errno;
    const char* Text;
  };
#define ROW(Code, Name, Errno, Text) {Code, Errno, Text},
  const TRow Rows[] = {QUORREL_SOCKET_ERRORS(ROW)};
#undef ROW
  ASSERT_EQ(std::size(Rows), 51u);
  for (size_t I = 0; I < std::size(Rows); ++I) {
    const TRow& Row = Rows[I];
    // Ascending codes: a row pasted twice or out of place shows here.
    if (I > 0) {
      EXPECT_LT(Rows[I - 1].Code, Row.Code);
    }
    ASSERT_NE(SocketErrorText(Row.Code), nullptr) << Row.Code;
    EXPECT_STREQ(SocketErrorText(Row.Code), Row.Text);
    if (Row.Errno == 0) continue;
    EXPECT_EQ(TranslateOsError(Row.Errno), Row.Code) << Row.Errno;
    for (size_t J = I + 1; J < std::size(Rows); ++J) EXPECT_NE(Rows[J].Errno, Row.Errno) << Row.Code;
  }
  EXPECT_EQ(SocketErrorText(10072), nullptr);
  EXPECT_EQ(SocketErrorText(0), nullptr);
  // Names callers rely on.
  EXPECT_EQ(ErrNotSocket, 10038);
  EXPECT_EQ(ErrNoSuchOption, 10042);
  EXPECT_EQ(ErrBadAddress, 10014);
  EXPECT_EQ(ErrTimedOut, 10060);
  EXPECT_EQ(ErrPeerClosed, 10054);
  EXPECT_EQ(ErrNotInitialised, 10093);
  EXPECT_STREQ(SocketErrorText(ErrNoBufferSpace), "No Buffer space available");
}

TEST(ErrorCodes, FailingWrappersRecordTheTranslatedCodePerThread) {
  // A port that nobody listens on refuses the connection.
  TSocketHandle S = OsSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(S, InvalidSocket);
  TSocketAddress Closed = Loopback(FreeTcpPort());
  EXPECT_EQ(OsConnect(S, &Closed, SocketAddressSize(Closed)), SocketError);
  EXPECT_EQ(WSAGetLastError(), 10061);

  // Another thread's failure does not show here.
  int Other = 0;
  std::thread([&] {
    OsCloseSocket(-1);
    Other = WSAGetLastError();
  }).join();
  EXPECT_EQ(Other, 10009);
  EXPECT_EQ(WSAGetLastError(), 10061);
  OsCloseSocket(S);

  EXPECT_EQ(OsSocket(12345, SOCK_STREAM, 0), InvalidSocket);
  EXPECT_EQ(WSAGetLastError(), 10047);
  EXPECT_EQ(OsRecv(-1, &Other, 1, 0), SocketError);
  EXPECT_EQ(WSAGetLastError(), 10009);
}

TEST(Transfer, SendToAGonePeerFailsWithoutSignal) {
  // The default action of SIGPIPE would end this process.
  struct sigaction Old {};
  struct sigaction Default {};
  Default.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &Default, &Old);
  int Pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, Pair), 0);
  close(Pair[1]);
  EXPECT_EQ(OsSend(Pair[0], "x", 1, 0), SocketError);
  EXPECT_EQ(WSAGetLastError(), 10054);
  close(Pair[0]);
  sigaction(SIGPIPE, &Old, nullptr);
}

TEST(Transfer, PeekPendingAndNonBlocking) {
  int Pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, Pair), 0);
  ASSERT_EQ(OsSend(Pair[1], "hello", 5, 0), 5);
  uint32_t Waiting = 0;
  EXPECT_EQ(OsIoctlSocket(Pair[0], WinSock::Fionread, &Waiting), 0);
  EXPECT_EQ(Waiting, 5u);
  char Buffer[8] = {};
  EXPECT_EQ(OsRecv(Pair[0], Buffer, 2, WinSock::MsgPeek), 2);
  EXPECT_EQ(OsRecv(Pair[0], Buffer, 8, 0), 5);
  EXPECT_EQ(std::string(Buffer, 5), "hello");

  uint32_t On = 1;
  EXPECT_EQ(OsIoctlSocket(Pair[0], WinSock::Fionbio, &On), 0);
  EXPECT_EQ(OsRecv(Pair[0], Buffer, 8, 0), SocketError);
  EXPECT_EQ(WSAGetLastError(), 10035);
  close(Pair[1]);
  EXPECT_EQ(OsRecv(Pair[0], Buffer, 8, 0), 0);  // end of stream
  close(Pair[0]);
}

TEST(Select, WaitsOnAnyDescriptorNumber) {
  rlimit Limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &Limit), 0);
  rlimit Saved = Limit;
  if (Limit.rlim_cur < 4100) {
    Limit.rlim_cur = std::min<rlim_t>(4100, Limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &Limit);
  }
  if (Limit.rlim_cur < 2100) QUORREL_REQUIRE(std::string("cannot raise the descriptor limit to 2100 (ulimit -n)"));
  const int High = static_cast<int>(Limit.rlim_cur) - 5;

  int Pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, Pair), 0);
  ASSERT_EQ(dup2(Pair[0], High), High);
  close(Pair[0]);

  TSocketSet Set;
  SocketSetAdd(High, Set);
  TTimeValue Poll{0, 0};
  EXPECT_EQ(OsSelect(High + 1, &Set, &Poll), 0);

  TTimeValue Wait{0, 150000};
  Set = TSocketSet();
  SocketSetAdd(High, Set);
  auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(OsSelect(High + 1, &Set, &Wait), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(145));

  ASSERT_EQ(write(Pair[1], "x", 1), 1);
  Set = TSocketSet();
  SocketSetAdd(High, Set);
  EXPECT_EQ(OsSelect(High + 1, &Set, nullptr), 1);
  EXPECT_EQ(Set.Count, 1);
  EXPECT_EQ(Set.Handles[0], High);

  // A closed peer makes the socket readable (end of stream) as well.
  char C;
  ASSERT_EQ(read(High, &C, 1), 1);
  close(Pair[1]);
  Set = TSocketSet();
  SocketSetAdd(High, Set);
  EXPECT_EQ(OsSelect(High + 1, &Set, &Wait), 1);

  close(High);
  Set = TSocketSet();
  SocketSetAdd(High, Set);
  EXPECT_EQ(OsSelect(High + 1, &Set, &Poll), SocketError);
  EXPECT_EQ(WSAGetLastError(), 10038);
  setrlimit(RLIMIT_NOFILE, &Saved);
}

// A handled signal (no SA_RESTART) arriving during a wait or a receive is not a
// failure of the socket: the wait goes on for the time that is left.
TEST(Select, ASignalDoesNotEndTheWaitOrTheReceive) {
  struct sigaction Quiet {}, Saved{};
  Quiet.sa_handler = [](int) {};
  sigemptyset(&Quiet.sa_mask);
  Quiet.sa_flags = 0;
  ASSERT_EQ(sigaction(SIGALRM, &Quiet, &Saved), 0);
  int Pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, Pair), 0);
  auto Ring = [] {
    itimerval T{};
    T.it_value.tv_usec = 50000;  // a signal 50 ms into the wait
    setitimer(ITIMER_REAL, &T, nullptr);
  };
  std::thread Peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    send(Pair[1], "a", 1, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    send(Pair[1], "b", 1, 0);
  });
  TSocketSet Set;
  SocketSetAdd(Pair[0], Set);
  TTimeValue Limit{2, 0};
  Ring();
  EXPECT_EQ(OsSelect(Pair[0] + 1, &Set, &Limit), 1);
  char Byte = 0;
  EXPECT_EQ(OsRecv(Pair[0], &Byte, 1, 0), 1);
  Ring();
  EXPECT_EQ(OsRecv(Pair[0], &Byte, 1, 0), 1);
  EXPECT_EQ(Byte, 'b');
  Peer.join();
  close(Pair[0]);
  close(Pair[1]);
  sigaction(SIGALRM, &Saved, nullptr);
}

TEST(Options, WindowsNumbersAreTranslated) {
  TSocketHandle S = OsSocket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(S, InvalidSocket);

  TWinLinger WinLinger{1, 7};
  EXPECT_EQ(OsSetSockOpt(S, WinSock::SolSocket, WinSock::SoLinger, &WinLinger, sizeof WinLinger), 0);
  linger L{};
  socklen_t Size = sizeof L;
  getsockopt(S, SOL_SOCKET, SO_LINGER, &L, &Size);
  EXPECT_EQ(L.l_onoff, 1);
  EXPECT_EQ(L.l_linger, 7);

  int32_t Ms = 2500;
  EXPECT_EQ(OsSetSockOpt(S, WinSock::SolSocket, WinSock::SoRcvTimeo, &Ms, sizeof Ms), 0);
  timeval T{};
  Size = sizeof T;
  getsockopt(S, SOL_SOCKET, SO_RCVTIMEO, &T, &Size);
  EXPECT_EQ(T.tv_sec, 2);
  EXPECT_EQ(T.tv_usec, 500000);

  int32_t Ttl = 33;
  EXPECT_EQ(OsSetSockOpt(S, WinSock::IpProtoIp, WinSock::IpTtl, &Ttl, sizeof Ttl), 0);
  int Got = 0;
  Size = sizeof Got;
  getsockopt(S, IPPROTO_IP, IP_TTL, &Got, &Size);
  EXPECT_EQ(Got, 33);

  int32_t One = 1;
  EXPECT_EQ(OsSetSockOpt(S, WinSock::SolSocket, WinSock::SoReuseAddr, &One, sizeof One), 0);
  EXPECT_EQ(OsSetSockOpt(S, WinSock::SolSocket, 0x7777, &One, sizeof One), SocketError);
  EXPECT_EQ(WSAGetLastError(), 10042);
  OsCloseSocket(S);
}

TEST(Options, EveryLevelReachesItsOwnOptionAndShortValuesAreRefused) {
  auto IntOption = [](TSocketHandle S, int Level, int Option) {
    int Got = -1;
    socklen_t Size = sizeof Got;
    getsockopt(S, Level, Option, &Got, &Size);
    return Got;
  };
  auto TimeOption = [](TSocketHandle S, int Option) {
    timeval T{};
    socklen_t Size = sizeof T;
    getsockopt(S, SOL_SOCKET, Option, &T, &Size);
    return T.tv_sec * 1000000 + T.tv_usec;
  };
  TSocketHandle S = OsSocket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(S, InvalidSocket);
  // A send time-out lands on the send side only; a negative one means none.
  int32_t Ms = 1500;
  ASSERT_EQ(OsSetSockOpt(S, WinSock::SolSocket, WinSock::SoSndTimeo, &Ms, sizeof Ms), 0);
  EXPECT_EQ(TimeOption(S, SO_SNDTIMEO), 1500000);
  EXPECT_EQ(TimeOption(S, SO_RCVTIMEO), 0);
  // The time-outs read back in milliseconds; no other option does.
  int32_t Back = 0;
  int Length = sizeof Back;
  ASSERT_EQ(OsGetSockOpt(S, WinSock::SolSocket, WinSock::SoSndTimeo, &Back, &Length), 0);
  EXPECT_EQ(Back, 1500);
  EXPECT_EQ(OsGetSockOpt(S, WinSock::SolSocket, WinSock::SoBroadcast, &Back, &Length), SocketError);
  EXPECT_EQ(WSAGetLastError(), ErrNoSuchOption);
  Ms = -5;
  ASSERT_EQ(OsSetSockOpt(S, WinSock::SolSocket, WinSock::SoSndTimeo, &Ms, sizeof Ms), 0);
  EXPECT_EQ(TimeOption(S, SO_SNDTIMEO), 0);

  int32_t One = 1;
  ASSERT_EQ(OsSetSockOpt(S, WinSock::SolSocket, WinSock::SoBroadcast, &One, sizeof One), 0);
  EXPECT_EQ(IntOption(S, SOL_SOCKET, SO_BROADCAST), 1);
  // IP options also take a single byte.
  uint8_t Hops = 9;
  ASSERT_EQ(OsSetSockOpt(S, WinSock::IpProtoIp, WinSock::IpMulticastTtl, &Hops, 1), 0);
  EXPECT_EQ(IntOption(S, IPPROTO_IP, IP_MULTICAST_TTL), 9);
  uint8_t Off = 0;
  ASSERT_EQ(OsSetSockOpt(S, WinSock::IpProtoIp, WinSock::IpMulticastLoop, &Off, 1), 0);
  EXPECT_EQ(IntOption(S, IPPROTO_IP, IP_MULTICAST_LOOP), 0);

  // Values too short for their option, and no value at all.
  TWinLinger Linger{1, 1};
  EXPECT_EQ(OsSetSockOpt(S, WinSock::SolSocket, WinSock::SoLinger, &Linger, 2), SocketError);
  EXPECT_EQ(WSAGetLastError(), ErrBadAddress);
  EXPECT_EQ(OsSetSockOpt(S, WinSock::SolSocket, WinSock::SoRcvTimeo, &Ms, 2), SocketError);
  EXPECT_EQ(WSAGetLastError(), ErrBadAddress);
  EXPECT_EQ(OsSetSockOpt(S, WinSock::IpProtoIp, WinSock::IpTtl, &One, 0), SocketError);
  EXPECT_EQ(WSAGetLastError(), ErrBadAddress);
  EXPECT_EQ(OsSetSockOpt(S, WinSock::IpProtoIp, WinSock::IpTtl, nullptr, 4), SocketError);
  EXPECT_EQ(WSAGetLastError(), ErrBadAddress);
  // An option of one level asked for at another, and an unknown level.
  EXPECT_EQ(OsSetSockOpt(S, WinSock::IpProtoIp, WinSock::SoRcvBuf, &One, sizeof One), SocketError);
  EXPECT_EQ(WSAGetLastError(), ErrNoSuchOption);
  EXPECT_EQ(OsSetSockOpt(S, 1234, WinSock::IpTtl, &One, sizeof One), SocketError);
  EXPECT_EQ(WSAGetLastError(), ErrNoSuchOption);
  OsCloseSocket(S);

  TSocketHandle V6 = OsSocket(AF_INET6, SOCK_DGRAM, 0);
  if (V6 == InvalidSocket) return;  // no IPv6 in this kernel: the IPv4 rows above still ran
  int32_t Unicast = 17;
  ASSERT_EQ(OsSetSockOpt(V6, WinSock::IpProtoIpv6, WinSock::Ipv6UnicastHops, &Unicast, sizeof Unicast), 0);
  EXPECT_EQ(IntOption(V6, IPPROTO_IPV6, IPV6_UNICAST_HOPS), 17);
  int32_t Multicast = 4;
  ASSERT_EQ(OsSetSockOpt(V6, WinSock::IpProtoIpv6, WinSock::Ipv6MulticastHops, &Multicast, sizeof Multicast), 0);
  EXPECT_EQ(IntOption(V6, IPPROTO_IPV6, IPV6_MULTICAST_HOPS), 4);
  OsCloseSocket(V6);
}

TEST(Addresses, HandedOutOnlyIntoTheRoomGivenWithTheFullLength) {
  TSocketHandle Server = OsSocket(AF_INET, SOCK_DGRAM, 0);
  TSocketAddress Any = Loopback(0);
  ASSERT_EQ(OsBind(Server, &Any, SocketAddressSize(Any)), 0);
  TSocketAddress Local;
  int Length = sizeof Local.Bytes;
  ASSERT_EQ(OsGetSockName(Server, &Local, &Length), 0);

  TSocketAddress Cut;
  std::memset(Cut.Bytes, 0xAA, sizeof Cut.Bytes);
  Length = 4;  // family and port only
  ASSERT_EQ(OsGetSockName(Server, &Cut, &Length), 0);
  EXPECT_EQ(Length, 16);
  EXPECT_EQ(std::memcmp(Cut.Bytes, Local.Bytes, 4), 0);
  EXPECT_EQ(Cut.Bytes[4], 0xAA);
  // Only the length asked for: nothing is written through the missing record.
  Length = 16;
  EXPECT_EQ(OsGetSockName(Server, nullptr, &Length), 0);
  EXPECT_EQ(Length, 16);

  TSocketHandle Client = OsSocket(AF_INET, SOCK_DGRAM, 0);
  for (int Room : {-5, 0}) {
    ASSERT_EQ(OsSendTo(Client, "x", 1, 0, &Local, SocketAddressSize(Local)), 1);
    char Byte = 0;
    TSocketAddress From;
    std::memset(From.Bytes, 0xAA, sizeof From.Bytes);
    int FromLength = Room;
    EXPECT_EQ(OsRecvFrom(Server, &Byte, 1, 0, &From, &FromLength), 1);
    EXPECT_EQ(FromLength, 16) << Room;
    EXPECT_EQ(From.Bytes[0], 0xAA) << Room;
  }
  OsCloseSocket(Client);
  OsCloseSocket(Server);
}

TEST(Addresses, BindListenConnectAndNames) {
  TSocketHandle Server = OsSocket(AF_INET, SOCK_STREAM, 0);
  TSocketAddress Any = Loopback(0);
  ASSERT_EQ(OsBind(Server, &Any, SocketAddressSize(Any)), 0);
  ASSERT_EQ(OsListen(Server, WinSock::SoMaxConn), 0);
  TSocketAddress Local;
  int Length = sizeof Local.Bytes;
  ASSERT_EQ(OsGetSockName(Server, &Local, &Length), 0);
  EXPECT_EQ(Length, 16);
  EXPECT_NE(Local.NetworkPort(), 0);

  TSocketHandle Client = OsSocket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(OsConnect(Client, &Local, SocketAddressSize(Local)), 0);
  TSocketAddress Peer;
  Length = sizeof Peer.Bytes;
  ASSERT_EQ(OsGetPeerName(Client, &Peer, &Length), 0);
  EXPECT_EQ(std::memcmp(Peer.Bytes, Local.Bytes, 16), 0);

  char Host[1025] = {};
  char Service[32] = {};
  EXPECT_EQ(OsGetNameInfo(&Peer, 16, Host, sizeof Host, Service, sizeof Service, NI_NUMERICHOST | NI_NUMERICSERV),
            0);
  EXPECT_STREQ(Host, "127.0.0.1");
  EXPECT_EQ(OsInetAddr("10.0.0.1"), htonl(0x0A000001));
  EXPECT_EQ(OsInetAddr("no.such"), INADDR_NONE);
  EXPECT_STREQ(OsInetNtoa(htonl(0x7F000001)), "127.0.0.1");
  EXPECT_EQ(OsShutdown(Client, WinSock::SdSend), 0);
  OsCloseSocket(Client);
  OsCloseSocket(Server);
}

}  // namespace
