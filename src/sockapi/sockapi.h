// The one gateway to the operating system's socket interface. No other module
// includes the OS socket headers' functions or calls them directly: every socket,
// resolver and byte-order call goes through the Os* operations below, which are
// bound at run time from the C library (LoadSocketInterface).
//
// Numbers seen by callers are those of the Windows socket interface: error codes
// (WSAGetLastError), socket option levels and names, FIONBIO/FIONREAD and
// MSG_PEEK. This module translates them to and from the platform's own.
#pragma once

#include <netdb.h>       // addrinfo, hostent, servent, protoent, AI_*, NI_*
#include <netinet/in.h>  // AF_INET, AF_INET6, sockaddr_in, sockaddr_in6
#include <sys/socket.h>  // sockaddr, AF_UNSPEC

#include <cstdint>
#include <mutex>
#include <string>

#include "sockapi/socket_errors.h"

namespace quorrel {

using TSocketHandle = int;
constexpr TSocketHandle InvalidSocket = -1;  // the OS's invalid-socket value
constexpr int SocketError = -1;              // an OS call's failure result

// One value able to hold an IPv4 or IPv6 socket address, laid out as the
// platform's own records: 16-bit family, 16-bit port (network order), then the
// family's address part. Always 28 bytes, zero-filled when empty; family 0 = none.
struct alignas(4) TSocketAddress {
  uint8_t Bytes[28] = {};

  void Clear();
  uint16_t Family() const;       // AF_INET, AF_INET6 or 0
  uint16_t NetworkPort() const;  // as stored, network byte order
  sockaddr* Raw() { return reinterpret_cast<sockaddr*>(Bytes); }
  const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(Bytes); }
  sockaddr_in* V4() { return reinterpret_cast<sockaddr_in*>(Bytes); }
  const sockaddr_in* V4() const { return reinterpret_cast<const sockaddr_in*>(Bytes); }
  sockaddr_in6* V6() { return reinterpret_cast<sockaddr_in6*>(Bytes); }
  const sockaddr_in6* V6() const { return reinterpret_cast<const sockaddr_in6*>(Bytes); }
};
static_assert(sizeof(TSocketAddress) == 28);

// 16 for AF_INET, 28 for AF_INET6, 0 for any other family.
int SocketAddressSize(const TSocketAddress& Address);

// Socket set with Winsock semantics: a count and at most 64 handles.
constexpr int SocketSetCapacity = 64;
struct TSocketSet {
  int Count = 0;
  TSocketHandle Handles[SocketSetCapacity] = {};
};
void SocketSetZero(TSocketSet& Set);
// Appends Handle while the set holds fewer than 64; never checks for duplicates.
void SocketSetAdd(TSocketHandle Handle, TSocketSet& Set);

// Wait time of OsSelect: seconds and microseconds.
struct TTimeValue {
  long Seconds = 0;
  long Microseconds = 0;
};

// What the socket interface reported when it was started (informational).
struct TSocketStartupData {
  uint16_t Version = 0;
  uint16_t HighVersion = 0;
  char Description[257] = {};
  char SystemStatus[129] = {};
};

// Windows socket interface numbers that callers use.
namespace WinSock {
constexpr int SolSocket = 0xFFFF;
constexpr int SoLinger = 128;
constexpr int SoReuseAddr = 4;
constexpr int SoBroadcast = 32;
constexpr int SoSndBuf = 0x1001;
constexpr int SoRcvBuf = 0x1002;
constexpr int SoSndTimeo = 0x1005;
constexpr int SoRcvTimeo = 0x1006;
constexpr int IpProtoIp = 0;
constexpr int IpProtoIpv6 = 41;
constexpr int IpTtl = 4;
constexpr int IpMulticastTtl = 10;
constexpr int IpMulticastLoop = 11;
constexpr int Ipv6UnicastHops = 8;
constexpr int Ipv6MulticastHops = 10;
constexpr int Ipv6MulticastLoop = 11;
constexpr uint32_t Fionbio = 0x8004667E;
constexpr uint32_t Fionread = 0x4004667F;
constexpr int MsgPeek = 2;
constexpr int SdSend = 1;
constexpr int SoMaxConn = 0x7FFFFFFF;
}  // namespace WinSock

// Linger record as the Windows interface defines it: two 16-bit fields.
struct TWinLinger {
  uint16_t OnOff;
  uint16_t Seconds;
};

// Module state.
extern int SocketInterfaceUsers;
extern bool ExtendedResolverPresent;  // true on Linux once loaded
extern bool IPv6SupplementPresent;    // always false on Linux
extern TSocketStartupData SocketStartupData;
// Guards loading and the legacy resolver calls whose results live in shared storage.
std::mutex& SocketInterfaceLock();
// Module start and end: create the lock before anything can take it (program
// start), and the matching end (nothing to release: the lock lives until exit).
void SockApiModuleStart();
void SockApiModuleEnd();

// Loads the socket interface by library name ("" or "ws2_32.dll" mean the
// platform's C library). True when usable; counts users.
bool LoadSocketInterface(const std::string& LibraryName);
bool UnloadSocketInterface();  // always true

// Translates a platform errno into the Windows socket numbering of the error
// list (socket_errors.h); errno values without a counterpart are returned unchanged.
int TranslateOsError(int Errno);

// The bound entry points. Each failing call records its translated error code
// for WSAGetLastError on the calling thread.
int WSAGetLastError();
int WSAStartup(uint16_t Version, TSocketStartupData* Data);
int WSACleanup();
int OsCloseSocket(TSocketHandle Handle);
int OsIoctlSocket(TSocketHandle Handle, uint32_t WinCommand, uint32_t* Argument);
int OsBind(TSocketHandle Handle, const TSocketAddress* Address, int Length);
int OsConnect(TSocketHandle Handle, const TSocketAddress* Address, int Length);
int OsGetPeerName(TSocketHandle Handle, TSocketAddress* Address, int* Length);
int OsGetSockName(TSocketHandle Handle, TSocketAddress* Address, int* Length);
uint16_t OsHtons(uint16_t Value);
uint16_t OsNtohs(uint16_t Value);
uint32_t OsInetAddr(const char* Text);      // INADDR_NONE when not numeric
const char* OsInetNtoa(uint32_t Address);  // address in network order
int OsListen(TSocketHandle Handle, int Backlog);
int OsRecv(TSocketHandle Handle, void* Buffer, int Count, int WinFlags);
int OsRecvFrom(TSocketHandle Handle, void* Buffer, int Count, int WinFlags, TSocketAddress* From,
               int* FromLength);
// Waits until a handle of ReadSet is readable (data or end of stream). Timeout
// null = no limit. Returns how many are readable (the set keeps only those), 0 on
// time-out, -1 on failure. Correct for any descriptor number.
int OsSelect(int DescriptorCount, TSocketSet* ReadSet, const TTimeValue* Timeout);
// Waits until Handle is writable (ForWrite) or readable, at most TimeoutMs
// (-1 = no limit). 1 when ready (an error or hang-up counts, so that the next
// call reports it), 0 on time-out, -1 on failure. A caught signal does not end
// the wait early or restart its full time.
int OsWaitSocket(TSocketHandle Handle, bool ForWrite, int TimeoutMs);
// 1 when the OS socket is in non-blocking mode, 0 when blocking, -1 on failure.
int OsGetNonBlocking(TSocketHandle Handle);
// Sets or clears non-blocking mode; 0 on success, -1 on failure.
int OsSetNonBlocking(TSocketHandle Handle, bool On);
// Never raises SIGPIPE: a peer that has gone gives -1 with 10054.
int OsSend(TSocketHandle Handle, const void* Buffer, int Count, int WinFlags);
int OsSendTo(TSocketHandle Handle, const void* Buffer, int Count, int WinFlags, const TSocketAddress* To,
             int ToLength);
// Level and option in the Windows numbering; values as the Windows interface
// passes them (32-bit integers, milliseconds for time-outs, TWinLinger for linger).
int OsSetSockOpt(TSocketHandle Handle, int WinLevel, int WinOption, const void* Value, int Length);
// Reads the receive or send time-out (SolSocket with SoRcvTimeo or SoSndTimeo)
// into a 32-bit count of milliseconds, 0 = none; other options give 10042.
int OsGetSockOpt(TSocketHandle Handle, int WinLevel, int WinOption, void* Value, int* Length);
int OsShutdown(TSocketHandle Handle, int How);
TSocketHandle OsSocket(int Family, int Type, int Protocol);
hostent* OsGetHostByName(const char* Name);
protoent* OsGetProtoByNumber(int Number);
servent* OsGetServByName(const char* Name, const char* Protocol);
int OsGetHostName(char* Buffer, int Length);
int OsGetAddrInfo(const char* Node, const char* Service, const addrinfo* Hints, addrinfo** Result);
void OsFreeAddrInfo(addrinfo* List);
int OsGetNameInfo(const TSocketAddress* Address, int Length, char* Host, int HostLength, char* Service,
                  int ServiceLength, int Flags);

}  // namespace quorrel
