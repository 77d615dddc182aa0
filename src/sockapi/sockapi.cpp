#include "sockapi/sockapi.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace quorrel {

// ---------------------------------------------------------------------------
// Socket address

void TSocketAddress::Clear() { std::memset(Bytes, 0, sizeof Bytes); }

uint16_t TSocketAddress::Family() const {
  uint16_t Value;
  std::memcpy(&Value, Bytes, sizeof Value);
  return Value;
}

uint16_t TSocketAddress::NetworkPort() const {
  uint16_t Value;
  std::memcpy(&Value, Bytes + 2, sizeof Value);
  return Value;
}

int SocketAddressSize(const TSocketAddress& Address) {
  switch (Address.Family()) {
    case AF_INET:
      return 16;
    case AF_INET6:
      return 28;
    default:
      return 0;
  }
}

void SocketSetZero(TSocketSet& Set) { Set.Count = 0; }

void SocketSetAdd(TSocketHandle Handle, TSocketSet& Set) {
  if (Set.Count < 0) Set.Count = 0;
  if (Set.Count < SocketSetCapacity) Set.Handles[Set.Count++] = Handle;
}

// ---------------------------------------------------------------------------
// Module state and the entry-point table

int SocketInterfaceUsers = 0;
bool ExtendedResolverPresent = false;
bool IPv6SupplementPresent = false;
TSocketStartupData SocketStartupData;

std::mutex& SocketInterfaceLock() {
  static std::mutex Lock;
  return Lock;
}

void SockApiModuleStart() { SocketInterfaceLock(); }
void SockApiModuleEnd() {}

namespace {

// Winsock's name of its library; on this platform it stands for the C library.
const char* const DefaultLibraryName = "ws2_32.dll";
const char* const PlatformLibraryName = "libc.so.6";
const char* const SupplementLibraryName = "wship6.dll";

struct TEntryPoints {
  int (*Close)(int) = nullptr;
  int (*Ioctl)(int, unsigned long, ...) = nullptr;
  int (*Bind)(int, const sockaddr*, socklen_t) = nullptr;
  int (*Connect)(int, const sockaddr*, socklen_t) = nullptr;
  int (*GetPeerName)(int, sockaddr*, socklen_t*) = nullptr;
  int (*GetSockName)(int, sockaddr*, socklen_t*) = nullptr;
  uint16_t (*Htons)(uint16_t) = nullptr;
  in_addr_t (*InetAddr)(const char*) = nullptr;
  char* (*InetNtoa)(in_addr) = nullptr;
  int (*Listen)(int, int) = nullptr;
  uint16_t (*Ntohs)(uint16_t) = nullptr;
  ssize_t (*Recv)(int, void*, size_t, int) = nullptr;
  ssize_t (*RecvFrom)(int, void*, size_t, int, sockaddr*, socklen_t*) = nullptr;
  int (*Poll)(pollfd*, nfds_t, int) = nullptr;
  ssize_t (*Send)(int, const void*, size_t, int) = nullptr;
  ssize_t (*SendTo)(int, const void*, size_t, int, const sockaddr*, socklen_t) = nullptr;
  int (*SetSockOpt)(int, int, int, const void*, socklen_t) = nullptr;
  int (*GetSockOpt)(int, int, int, void*, socklen_t*) = nullptr;
  int (*Fcntl)(int, int, ...) = nullptr;
  int (*Shutdown)(int, int) = nullptr;
  int (*Socket)(int, int, int) = nullptr;
  hostent* (*GetHostByName)(const char*) = nullptr;
  protoent* (*GetProtoByNumber)(int) = nullptr;
  servent* (*GetServByName)(const char*, const char*) = nullptr;
  int (*GetHostName)(char*, size_t) = nullptr;
  int (*GetAddrInfo)(const char*, const char*, const addrinfo*, addrinfo**) = nullptr;
  void (*FreeAddrInfo)(addrinfo*) = nullptr;
  int (*GetNameInfo)(const sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int) = nullptr;
};

TEntryPoints Entry;
void* MainLibrary = nullptr;
void* SupplementLibrary = nullptr;

thread_local int LastSocketError = 0;

template <typename T>
void Bind(void* Library, const char* Name, T& Slot) {
  Slot = reinterpret_cast<T>(dlsym(Library, Name));
}

void BindAll(void* Library) {
  Bind(Library, "close", Entry.Close);
  Bind(Library, "ioctl", Entry.Ioctl);
  Bind(Library, "bind", Entry.Bind);
  Bind(Library, "connect", Entry.Connect);
  Bind(Library, "getpeername", Entry.GetPeerName);
  Bind(Library, "getsockname", Entry.GetSockName);
  Bind(Library, "htons", Entry.Htons);
  Bind(Library, "inet_addr", Entry.InetAddr);
  Bind(Library, "inet_ntoa", Entry.InetNtoa);
  Bind(Library, "listen", Entry.Listen);
  Bind(Library, "ntohs", Entry.Ntohs);
  Bind(Library, "recv", Entry.Recv);
  Bind(Library, "recvfrom", Entry.RecvFrom);
  Bind(Library, "poll", Entry.Poll);
  Bind(Library, "send", Entry.Send);
  Bind(Library, "sendto", Entry.SendTo);
  Bind(Library, "setsockopt", Entry.SetSockOpt);
  Bind(Library, "getsockopt", Entry.GetSockOpt);
  Bind(Library, "fcntl", Entry.Fcntl);
  Bind(Library, "shutdown", Entry.Shutdown);
  Bind(Library, "socket", Entry.Socket);
  Bind(Library, "gethostbyname", Entry.GetHostByName);
  Bind(Library, "getprotobynumber", Entry.GetProtoByNumber);
  Bind(Library, "getservbyname", Entry.GetServByName);
  Bind(Library, "gethostname", Entry.GetHostName);
}

bool BindResolver(void* Library) {
  Bind(Library, "getaddrinfo", Entry.GetAddrInfo);
  Bind(Library, "freeaddrinfo", Entry.FreeAddrInfo);
  Bind(Library, "getnameinfo", Entry.GetNameInfo);
  return Entry.GetAddrInfo && Entry.FreeAddrInfo && Entry.GetNameInfo;
}

// Records the failure of the call that just returned, from errno.
int Fail() {
  LastSocketError = TranslateOsError(errno);
  return SocketError;
}

int Missing() {
  LastSocketError = ErrNotInitialised;  // the loaded library lacks the entry point
  return SocketError;
}

// Byte counts of the Windows interface are ints; a negative one asks for nothing.
size_t ByteCount(int Count) { return Count > 0 ? static_cast<size_t>(Count) : 0; }

int ClampResult(ssize_t R) {
  if (R < 0) return Fail();
  return static_cast<int>(R);
}

// Message flags the Windows interface defines (out-of-band 1, peek 2, do not
// route 4); anything else it would refuse, so it is not passed on.
int MessageFlags(int WinFlags) {
  int Flags = 0;
  if (WinFlags & 1) Flags |= MSG_OOB;
  if (WinFlags & WinSock::MsgPeek) Flags |= MSG_PEEK;
  if (WinFlags & 4) Flags |= MSG_DONTROUTE;
  return Flags;
}

// MSG_NOSIGNAL: a peer that has gone is an error code here, never SIGPIPE.
int SendFlags(int WinFlags) { return (MessageFlags(WinFlags) & ~MSG_PEEK) | MSG_NOSIGNAL; }

}  // namespace

bool LoadSocketInterface(const std::string& LibraryName) {
  std::string Name = LibraryName.empty() ? std::string(DefaultLibraryName) : LibraryName;
  std::lock_guard<std::mutex> Guard(SocketInterfaceLock());
  if (SocketInterfaceUsers > 0) {
    ++SocketInterfaceUsers;
    return true;
  }
  ExtendedResolverPresent = false;
  IPv6SupplementPresent = false;
  const char* FileName = Name == DefaultLibraryName ? PlatformLibraryName : Name.c_str();
  void* Library = dlopen(FileName, RTLD_NOW | RTLD_LOCAL);
  if (!Library) return false;
  MainLibrary = Library;
  BindAll(Library);
  ExtendedResolverPresent = BindResolver(Library);
  if (!ExtendedResolverPresent) {
    void* Supplement = dlopen(SupplementLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (Supplement) {
      SupplementLibrary = Supplement;
      TEntryPoints Kept = Entry;
      IPv6SupplementPresent = BindResolver(Supplement);
      // Slots the supplement lacks keep what the main library gave.
      if (!Entry.GetAddrInfo) Entry.GetAddrInfo = Kept.GetAddrInfo;
      if (!Entry.FreeAddrInfo) Entry.FreeAddrInfo = Kept.FreeAddrInfo;
      if (!Entry.GetNameInfo) Entry.GetNameInfo = Kept.GetNameInfo;
    }
  }
  ++SocketInterfaceUsers;
  return true;
}

bool UnloadSocketInterface() {
  std::lock_guard<std::mutex> Guard(SocketInterfaceLock());
  --SocketInterfaceUsers;
  if (SocketInterfaceUsers < 0) SocketInterfaceUsers = 0;
  if (SocketInterfaceUsers == 0) {
    if (MainLibrary) dlclose(MainLibrary);
    if (SupplementLibrary) dlclose(SupplementLibrary);
    MainLibrary = nullptr;
    SupplementLibrary = nullptr;
  }
  return true;
}

namespace {

struct TErrorRow {
  int32_t Code;
  int Errno;  // 0: produced by this layer, never by the platform
  const char* Text;
};

#define QUORREL_SOCKET_ERROR_ROW(Code, Name, Errno, Text) {Code, Errno, Text},
constexpr TErrorRow ErrorRows[] = {QUORREL_SOCKET_ERRORS(QUORREL_SOCKET_ERROR_ROW)};
#undef QUORREL_SOCKET_ERROR_ROW

}  // namespace

const char* SocketErrorText(int32_t Code) {
  for (const TErrorRow& Row : ErrorRows)
    if (Row.Code == Code) return Row.Text;
  return nullptr;
}

int TranslateOsError(int Errno) {
  // A write to a peer that has gone: Winsock reports that as a reset.
  if (Errno == EPIPE) return ErrPeerClosed;
  if (Errno == 0) return 0;
  for (const TErrorRow& Row : ErrorRows)
    if (Row.Errno == Errno) return Row.Code;
  return Errno;
}

int WSAGetLastError() { return LastSocketError; }

int WSAStartup(uint16_t Version, TSocketStartupData* Data) {
  if (Data) {
    *Data = TSocketStartupData{};
    Data->Version = Version;
    Data->HighVersion = 0x0202;
    std::strncpy(Data->Description, "Linux sockets (C library)", sizeof Data->Description - 1);
    std::strncpy(Data->SystemStatus, "Running", sizeof Data->SystemStatus - 1);
  }
  return 0;
}

int WSACleanup() { return 0; }

int OsCloseSocket(TSocketHandle Handle) {
  if (!Entry.Close) return Missing();
  return Entry.Close(Handle) == 0 ? 0 : Fail();
}

int OsIoctlSocket(TSocketHandle Handle, uint32_t WinCommand, uint32_t* Argument) {
  if (!Entry.Ioctl) return Missing();
  if (!Argument) {
    LastSocketError = ErrBadAddress;
    return SocketError;
  }
  if (WinCommand == WinSock::Fionbio) {
    int On = *Argument != 0;
    return Entry.Ioctl(Handle, FIONBIO, &On) == 0 ? 0 : Fail();
  }
  if (WinCommand == WinSock::Fionread) {
    int Waiting = 0;
    if (Entry.Ioctl(Handle, FIONREAD, &Waiting) != 0) return Fail();
    *Argument = static_cast<uint32_t>(Waiting < 0 ? 0 : Waiting);
    return 0;
  }
  LastSocketError = ErrInvalidArgument;
  return SocketError;
}

int OsBind(TSocketHandle Handle, const TSocketAddress* Address, int Length) {
  if (!Entry.Bind) return Missing();
  return Entry.Bind(Handle, Address->Raw(), static_cast<socklen_t>(Length)) == 0 ? 0 : Fail();
}

int OsConnect(TSocketHandle Handle, const TSocketAddress* Address, int Length) {
  if (!Entry.Connect) return Missing();
  // A signal does not stop the OS from connecting; asked again, a blocking
  // socket waits for that same attempt and gives its outcome.
  int R;
  do R = Entry.Connect(Handle, Address->Raw(), static_cast<socklen_t>(Length));
  while (R != 0 && errno == EINTR);
  return R == 0 ? 0 : Fail();
}

namespace {

// Hands an address the OS wrote (Size bytes in Storage) to a caller. The copy is
// cut to the room the caller gives in *Length and to the record's 28 bytes (a
// longer address of another family); *Length then receives the size the OS
// reported, which tells the caller that it was cut. No record, no copy.
void HandOutAddress(const sockaddr_storage& Storage, socklen_t Size, TSocketAddress* Address, int* Length) {
  if (Address) {
    constexpr int Record = sizeof Address->Bytes;
    const int Room = Length ? std::clamp(*Length, 0, Record) : Record;
    std::memcpy(Address->Bytes, &Storage, std::min<size_t>(Size, static_cast<size_t>(Room)));
  }
  if (Length) *Length = static_cast<int>(Size);
}

int GetName(int (*Call)(int, sockaddr*, socklen_t*), TSocketHandle Handle, TSocketAddress* Address,
            int* Length) {
  if (!Call) return Missing();
  sockaddr_storage Storage{};
  socklen_t Size = sizeof Storage;
  if (Call(Handle, reinterpret_cast<sockaddr*>(&Storage), &Size) != 0) return Fail();
  HandOutAddress(Storage, Size, Address, Length);
  return 0;
}

}  // namespace

int OsGetPeerName(TSocketHandle Handle, TSocketAddress* Address, int* Length) {
  return GetName(Entry.GetPeerName, Handle, Address, Length);
}

int OsGetSockName(TSocketHandle Handle, TSocketAddress* Address, int* Length) {
  return GetName(Entry.GetSockName, Handle, Address, Length);
}

uint16_t OsHtons(uint16_t Value) { return Entry.Htons ? Entry.Htons(Value) : htons(Value); }

uint16_t OsNtohs(uint16_t Value) { return Entry.Ntohs ? Entry.Ntohs(Value) : ntohs(Value); }

uint32_t OsInetAddr(const char* Text) {
  if (!Entry.InetAddr || !Text) return INADDR_NONE;
  return Entry.InetAddr(Text);
}

const char* OsInetNtoa(uint32_t Address) {
  if (!Entry.InetNtoa) return nullptr;
  in_addr A{};
  A.s_addr = Address;
  return Entry.InetNtoa(A);
}

int OsListen(TSocketHandle Handle, int Backlog) {
  if (!Entry.Listen) return Missing();
  // Winsock's "as many as reasonable" maps to the platform's own maximum.
  if (Backlog == WinSock::SoMaxConn) Backlog = SOMAXCONN;
  return Entry.Listen(Handle, Backlog) == 0 ? 0 : Fail();
}

int OsRecv(TSocketHandle Handle, void* Buffer, int Count, int WinFlags) {
  if (!Entry.Recv) return Missing();
  ssize_t R;
  // A signal caught by the process is no failure of the socket: receive again.
  do R = Entry.Recv(Handle, Buffer, ByteCount(Count), MessageFlags(WinFlags));
  while (R < 0 && errno == EINTR);
  return ClampResult(R);
}

int OsRecvFrom(TSocketHandle Handle, void* Buffer, int Count, int WinFlags, TSocketAddress* From,
               int* FromLength) {
  if (!Entry.RecvFrom) return Missing();
  sockaddr_storage Storage{};
  socklen_t Size = sizeof Storage;
  ssize_t R = Entry.RecvFrom(Handle, Buffer, ByteCount(Count), MessageFlags(WinFlags),
                             reinterpret_cast<sockaddr*>(&Storage), &Size);
  if (R < 0) return Fail();
  HandOutAddress(Storage, Size, From, FromLength);
  return static_cast<int>(R);
}

namespace {

// A signal caught by the process (a timer, a child ending) interrupts poll; it
// is no time-out, so the wait goes on for the time that is left, never for the
// whole time again.
int PollFor(pollfd* Fds, int Count, int WaitMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs < 0 ? 0 : WaitMs);
  for (;;) {
    int R = Entry.Poll(Fds, static_cast<nfds_t>(Count), WaitMs);
    if (R >= 0 || errno != EINTR) return R;
    if (WaitMs > 0) {
      auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now()).count();
      WaitMs = Left > 0 ? static_cast<int>(Left) : 0;
    }
  }
}

}  // namespace

int OsWaitSocket(TSocketHandle Handle, bool ForWrite, int TimeoutMs) {
  if (!Entry.Poll) return Missing();
  pollfd Fd{Handle, static_cast<short>(ForWrite ? POLLOUT : POLLIN), 0};
  int R = PollFor(&Fd, 1, TimeoutMs < 0 ? -1 : TimeoutMs);
  if (R < 0) return Fail();
  if (R > 0 && (Fd.revents & POLLNVAL)) {
    LastSocketError = ErrNotSocket;
    return SocketError;
  }
  return R > 0 ? 1 : 0;
}

int OsGetNonBlocking(TSocketHandle Handle) {
  if (!Entry.Fcntl) return Missing();
  int Flags = Entry.Fcntl(Handle, F_GETFL);
  if (Flags < 0) return Fail();
  return (Flags & O_NONBLOCK) != 0 ? 1 : 0;
}

int OsSetNonBlocking(TSocketHandle Handle, bool On) {
  if (!Entry.Fcntl) return Missing();
  int Flags = Entry.Fcntl(Handle, F_GETFL);
  if (Flags < 0) return Fail();
  int Wanted = On ? (Flags | O_NONBLOCK) : (Flags & ~O_NONBLOCK);
  if (Wanted == Flags) return 0;
  return Entry.Fcntl(Handle, F_SETFL, Wanted) == 0 ? 0 : Fail();
}

int OsSelect(int /*DescriptorCount*/, TSocketSet* ReadSet, const TTimeValue* Timeout) {
  if (!Entry.Poll) return Missing();
  // poll has no limit on descriptor numbers, unlike a bit-mask set.
  int Count = ReadSet ? ReadSet->Count : 0;
  if (Count < 0) Count = 0;
  if (Count > SocketSetCapacity) Count = SocketSetCapacity;
  pollfd Fds[SocketSetCapacity];
  for (int I = 0; I < Count; ++I) {
    Fds[I].fd = ReadSet->Handles[I];
    Fds[I].events = POLLIN;
    Fds[I].revents = 0;
  }
  int WaitMs = -1;
  if (Timeout) {
    long long Ms = static_cast<long long>(Timeout->Seconds) * 1000 + (Timeout->Microseconds + 999) / 1000;
    if (Ms < 0) Ms = 0;
    if (Ms > 0x7FFFFFFF) Ms = 0x7FFFFFFF;
    WaitMs = static_cast<int>(Ms);
  }
  int R = PollFor(Fds, Count, WaitMs);
  if (R < 0) return Fail();
  int Ready = 0;
  for (int I = 0; I < Count; ++I) {
    if (Fds[I].revents & POLLNVAL) {
      // A handle that is not open: select reports that as a failure.
      LastSocketError = ErrNotSocket;
      return SocketError;
    }
  }
  for (int I = 0; I < Count; ++I)
    if (Fds[I].revents & (POLLIN | POLLHUP | POLLERR)) ReadSet->Handles[Ready++] = Fds[I].fd;
  if (ReadSet) ReadSet->Count = Ready;
  return Ready;
}

int OsSend(TSocketHandle Handle, const void* Buffer, int Count, int WinFlags) {
  if (!Entry.Send) return Missing();
  ssize_t R;
  do R = Entry.Send(Handle, Buffer, ByteCount(Count), SendFlags(WinFlags));
  while (R < 0 && errno == EINTR);
  return ClampResult(R);
}

int OsSendTo(TSocketHandle Handle, const void* Buffer, int Count, int WinFlags, const TSocketAddress* To,
             int ToLength) {
  if (!Entry.SendTo) return Missing();
  return ClampResult(Entry.SendTo(Handle, Buffer, ByteCount(Count), SendFlags(WinFlags), To ? To->Raw() : nullptr,
                                  To ? static_cast<socklen_t>(ToLength) : 0));
}

namespace {

// How an option's value travels: the Windows interface passes a 32-bit integer
// (some IP options accept a single byte), milliseconds for the time-outs, and its
// own two-field linger record.
enum class TOptionKind : uint8_t { Integer, Milliseconds, Linger };

struct TOptionRow {
  int WinLevel;
  int WinOption;
  int Level;
  int Option;
  TOptionKind Kind;
};

constexpr TOptionRow OptionRows[] = {
    {WinSock::SolSocket, WinSock::SoLinger, SOL_SOCKET, SO_LINGER, TOptionKind::Linger},
    {WinSock::SolSocket, WinSock::SoRcvTimeo, SOL_SOCKET, SO_RCVTIMEO, TOptionKind::Milliseconds},
    {WinSock::SolSocket, WinSock::SoSndTimeo, SOL_SOCKET, SO_SNDTIMEO, TOptionKind::Milliseconds},
    {WinSock::SolSocket, WinSock::SoReuseAddr, SOL_SOCKET, SO_REUSEADDR, TOptionKind::Integer},
    {WinSock::SolSocket, WinSock::SoBroadcast, SOL_SOCKET, SO_BROADCAST, TOptionKind::Integer},
    {WinSock::SolSocket, WinSock::SoSndBuf, SOL_SOCKET, SO_SNDBUF, TOptionKind::Integer},
    {WinSock::SolSocket, WinSock::SoRcvBuf, SOL_SOCKET, SO_RCVBUF, TOptionKind::Integer},
    {WinSock::IpProtoIp, WinSock::IpTtl, IPPROTO_IP, IP_TTL, TOptionKind::Integer},
    {WinSock::IpProtoIp, WinSock::IpMulticastTtl, IPPROTO_IP, IP_MULTICAST_TTL, TOptionKind::Integer},
    {WinSock::IpProtoIp, WinSock::IpMulticastLoop, IPPROTO_IP, IP_MULTICAST_LOOP, TOptionKind::Integer},
    {WinSock::IpProtoIpv6, WinSock::Ipv6UnicastHops, IPPROTO_IPV6, IPV6_UNICAST_HOPS, TOptionKind::Integer},
    {WinSock::IpProtoIpv6, WinSock::Ipv6MulticastHops, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, TOptionKind::Integer},
    {WinSock::IpProtoIpv6, WinSock::Ipv6MulticastLoop, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, TOptionKind::Integer},
};

const TOptionRow* FindOption(int WinLevel, int WinOption) {
  for (const TOptionRow& Row : OptionRows)
    if (Row.WinLevel == WinLevel && Row.WinOption == WinOption) return &Row;
  return nullptr;
}

int Refuse(int Code) {
  LastSocketError = Code;
  return SocketError;
}

}  // namespace

int OsSetSockOpt(TSocketHandle Handle, int WinLevel, int WinOption, const void* Value, int Length) {
  if (!Entry.SetSockOpt) return Missing();
  if (!Value || Length < 0) return Refuse(ErrBadAddress);
  const TOptionRow* Row = FindOption(WinLevel, WinOption);
  if (!Row) return Refuse(ErrNoSuchOption);
  const bool Whole = Length >= static_cast<int>(sizeof(int32_t));
  int32_t Number = 0;
  if (Whole) std::memcpy(&Number, Value, sizeof Number);

  // The value as the platform wants it.
  switch (Row->Kind) {
    case TOptionKind::Linger: {
      if (Length < static_cast<int>(sizeof(TWinLinger))) return Refuse(ErrBadAddress);
      TWinLinger W;
      std::memcpy(&W, Value, sizeof W);
      linger Linger{};
      Linger.l_onoff = W.OnOff;
      Linger.l_linger = W.Seconds;
      return Entry.SetSockOpt(Handle, Row->Level, Row->Option, &Linger, sizeof Linger) == 0 ? 0 : Fail();
    }
    case TOptionKind::Milliseconds: {
      if (!Whole) return Refuse(ErrBadAddress);
      if (Number < 0) Number = 0;
      timeval Time{};
      Time.tv_sec = Number / 1000;
      Time.tv_usec = (Number % 1000) * 1000;
      return Entry.SetSockOpt(Handle, Row->Level, Row->Option, &Time, sizeof Time) == 0 ? 0 : Fail();
    }
    case TOptionKind::Integer: {
      if (Length < 1) return Refuse(ErrBadAddress);
      int IntValue = Whole ? Number : *static_cast<const uint8_t*>(Value);
      return Entry.SetSockOpt(Handle, Row->Level, Row->Option, &IntValue, sizeof IntValue) == 0 ? 0 : Fail();
    }
  }
  return Refuse(ErrNoSuchOption);
}

int OsGetSockOpt(TSocketHandle Handle, int WinLevel, int WinOption, void* Value, int* Length) {
  if (!Entry.GetSockOpt) return Missing();
  if (!Value || !Length || *Length < static_cast<int>(sizeof(int32_t))) return Refuse(ErrBadAddress);
  // Only the time-outs can be read back.
  const TOptionRow* Row = FindOption(WinLevel, WinOption);
  if (!Row || Row->Kind != TOptionKind::Milliseconds) return Refuse(ErrNoSuchOption);
  timeval Time{};
  socklen_t Size = sizeof Time;
  if (Entry.GetSockOpt(Handle, Row->Level, Row->Option, &Time, &Size) != 0) return Fail();
  long long Ms = static_cast<long long>(Time.tv_sec) * 1000 + (Time.tv_usec + 999) / 1000;
  int32_t Out = static_cast<int32_t>(Ms > 0x7FFFFFFF ? 0x7FFFFFFF : Ms);
  std::memcpy(Value, &Out, sizeof Out);
  *Length = sizeof Out;
  return 0;
}

int OsShutdown(TSocketHandle Handle, int How) {
  if (!Entry.Shutdown) return Missing();
  // Winsock's SD_RECEIVE, SD_SEND and SD_BOTH are 0, 1 and 2, as SHUT_RD, SHUT_WR
  // and SHUT_RDWR are here.
  return Entry.Shutdown(Handle, How) == 0 ? 0 : Fail();
}

TSocketHandle OsSocket(int Family, int Type, int Protocol) {
  if (!Entry.Socket) {
    Missing();
    return InvalidSocket;
  }
  int Fd = Entry.Socket(Family, Type | SOCK_CLOEXEC, Protocol);
  if (Fd < 0) {
    Fail();
    return InvalidSocket;
  }
  return Fd;
}

hostent* OsGetHostByName(const char* Name) {
  if (!Entry.GetHostByName) {
    Missing();
    return nullptr;
  }
  hostent* R = Entry.GetHostByName(Name);
  if (!R) {
    // The resolver reports through h_errno, in the Windows numbering 11001..11004.
    switch (h_errno) {
      case HOST_NOT_FOUND: LastSocketError = ErrHostNotFound; break;
      case TRY_AGAIN: LastSocketError = ErrTryAgain; break;
      case NO_RECOVERY: LastSocketError = ErrNonRecoverable; break;
      case NO_DATA: LastSocketError = ErrNoData; break;
      default: LastSocketError = ErrNonRecoverable; break;
    }
  }
  return R;
}

protoent* OsGetProtoByNumber(int Number) {
  if (!Entry.GetProtoByNumber) {
    Missing();
    return nullptr;
  }
  return Entry.GetProtoByNumber(Number);
}

servent* OsGetServByName(const char* Name, const char* Protocol) {
  if (!Entry.GetServByName) {
    Missing();
    return nullptr;
  }
  return Entry.GetServByName(Name, Protocol);
}

int OsGetHostName(char* Buffer, int Length) {
  if (!Entry.GetHostName) return Missing();
  if (!Buffer || Length <= 0) {
    LastSocketError = ErrBadAddress;
    return SocketError;
  }
  return Entry.GetHostName(Buffer, static_cast<size_t>(Length)) == 0 ? 0 : Fail();
}

int OsGetAddrInfo(const char* Node, const char* Service, const addrinfo* Hints, addrinfo** Result) {
  if (!Entry.GetAddrInfo) {
    if (Result) *Result = nullptr;
    Missing();
    return EAI_FAIL;
  }
  return Entry.GetAddrInfo(Node, Service, Hints, Result);
}

void OsFreeAddrInfo(addrinfo* List) {
  if (Entry.FreeAddrInfo && List) Entry.FreeAddrInfo(List);
}

int OsGetNameInfo(const TSocketAddress* Address, int Length, char* Host, int HostLength, char* Service,
                  int ServiceLength, int Flags) {
  if (!Entry.GetNameInfo) {
    Missing();
    return EAI_FAIL;
  }
  return Entry.GetNameInfo(Address->Raw(), static_cast<socklen_t>(Length), Host,
                           static_cast<socklen_t>(HostLength < 0 ? 0 : HostLength), Service,
                           static_cast<socklen_t>(ServiceLength < 0 ? 0 : ServiceLength), Flags);
}

}  // namespace quorrel
