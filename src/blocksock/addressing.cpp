// Addressing of TBlockSocket: host and port text to socket addresses and back,
// the choice between IPv4 and IPv6, and name resolution. Two resolver paths: the
// protocol-independent calls (IPv4 and IPv6) and the legacy IPv4-only calls, whose
// results live in storage shared by every caller and so are used under
// SocketInterfaceLock until the values have been copied out.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "blocksock/block_socket.h"
#include "netutil/netutil.h"

namespace quorrel {

namespace {

constexpr uint32_t AllOnes = 0xFFFFFFFFu;  // INADDR_NONE, and the broadcast address
constexpr int RawSocketType = 3;
constexpr int HostBufferSize = 1025;
constexpr int ServiceBufferSize = 32;

// A resolver result list, released on every way out.
struct TAddrInfoRelease {
  void operator()(addrinfo* List) const {
    if (List) OsFreeAddrInfo(List);
  }
};
using TAddrInfoList = std::unique_ptr<addrinfo, TAddrInfoRelease>;

TAddrInfoList Lookup(const char* Node, const char* Service, int Family, int Type, int Protocol, int Flags) {
  addrinfo Hints;
  std::memset(&Hints, 0, sizeof(Hints));
  Hints.ai_family = Family;
  Hints.ai_socktype = Type;
  Hints.ai_protocol = Protocol;
  Hints.ai_flags = Flags;
  addrinfo* List = nullptr;
  if (OsGetAddrInfo(Node, Service, &Hints, &List) != 0) {
    // Some resolvers leave a partial list behind on failure.
    if (List) OsFreeAddrInfo(List);
    return TAddrInfoList();
  }
  return TAddrInfoList(List);
}

// Copies a resolver entry's address, never more than the 28 bytes it can hold.
void CopyEntry(const addrinfo* Entry, TSocketAddress& Target) {
  Target.Clear();
  if (!Entry->ai_addr) return;
  size_t Length = std::min<size_t>(Entry->ai_addrlen, sizeof(Target.Bytes));
  std::memcpy(Target.Bytes, Entry->ai_addr, Length);
}

// Numeric host text of an address, or empty when the resolver cannot render it.
std::string NumericHost(const TSocketAddress& Address, int Length) {
  char Host[HostBufferSize] = {};
  char Service[ServiceBufferSize] = {};
  if (OsGetNameInfo(&Address, Length, Host, HostBufferSize, Service, ServiceBufferSize,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return std::string();
  Host[HostBufferSize - 1] = 0;
  return std::string(Host);
}

// The legacy lookup of a service for a protocol, in network byte order; a name
// the services database does not know is read as a number. The caller holds
// SocketInterfaceLock: the entry lives in storage shared by every caller.
uint16_t LegacyNetworkPort(const std::string& Port, int Protocol) {
  if (protoent* Proto = OsGetProtoByNumber(Protocol); Proto && Proto->p_name)
    if (servent* Service = OsGetServByName(Port.c_str(), Proto->p_name))
      return static_cast<uint16_t>(Service->s_port);  // already in network order
  return OsHtons(static_cast<uint16_t>(IntegerOrDefault(Port, 0)));
}

}  // namespace

bool TBlockSocket::UseExtendedResolver() {
  if (ExtendedResolverPresent) return true;
  return IPFamily == IPFamilyV6 && IPv6SupplementPresent;
}

void TBlockSocket::MakeSocketAddress(const std::string& Host, const std::string& Port, TSocketAddress& Result) {
  const std::string Value = Host + ":" + Port;
  ReportStatus(ResolvingStarted, Value);
  Result.Clear();

  // With the IPv6 supplement, IPv6 work goes to it and IPv4 work to the legacy calls.
  if (IPv6SupplementPresent && IPFamily == IPFamilyAny) {
    if (IsIPv4Text(Host))
      IPFamily = IPFamilyV4;
    else if (IsIPv6Text(Host))
      IPFamily = IPFamilyV6;
    else
      IPFamily = FavourIPv4 ? IPFamilyV4 : IPFamilyV6;
  }

  const int Type = SocketType();
  const int Protocol = SocketProtocol();

  if (!UseExtendedResolver()) {
    std::lock_guard<std::mutex> Guard(SocketInterfaceLock());
    const uint16_t NetPort = LegacyNetworkPort(Port, Protocol);

    uint32_t NetAddress = AllOnes;
    if (Host != "255.255.255.255") {
      NetAddress = OsInetAddr(Host.c_str());
      if (NetAddress == AllOnes) {
        hostent* Entry = OsGetHostByName(Host.c_str());
        if (Entry && Entry->h_addrtype == AF_INET && Entry->h_length == 4 && Entry->h_addr_list &&
            Entry->h_addr_list[0])
          std::memcpy(&NetAddress, Entry->h_addr_list[0], 4);
      }
    }
    sockaddr_in* V4 = Result.V4();
    V4->sin_family = AF_INET;
    V4->sin_port = NetPort;
    V4->sin_addr.s_addr = NetAddress;
  } else {
    // An address for a socket that is open already is always of its own family.
    int Family;
    if (!HasSocket())
      Family = IPFamily == IPFamilyV4 ? AF_INET : IPFamily == IPFamilyV6 ? AF_INET6 : AF_UNSPEC;
    else
      Family = IPv6InUse ? AF_INET6 : AF_INET;

    TAddrInfoList List;
    if (Type == RawSocketType)
      List = Lookup(Host.c_str(), nullptr, Family, 0, 0, 0);
    else if (Host == "0.0.0.0")
      List = Lookup(nullptr, Port.c_str(), Family, Type, Protocol, AI_PASSIVE);
    else if (Host == "127.0.0.1")
      List = Lookup(nullptr, Port.c_str(), Family, Type, Protocol, 0);
    else
      List = Lookup(Host.c_str(), Port.c_str(), Family, Type, Protocol, 0);

    TSocketAddress First4, First6;
    bool Found4 = false, Found6 = false;
    for (const addrinfo* Entry = List.get(); Entry; Entry = Entry->ai_next) {
      if (Entry->ai_family == AF_INET && !Found4) {
        CopyEntry(Entry, First4);
        Found4 = true;
      } else if (Entry->ai_family == AF_INET6 && !Found6) {
        CopyEntry(Entry, First6);
        Found6 = true;
      }
    }
    if (Found4 && Found6)
      Result = FavourIPv4 ? First4 : First6;
    else if (Found4)
      Result = First4;
    else if (Found6)
      Result = First6;
  }

  ReportStatus(ResolvingFinished, Value);
}

std::string TBlockSocket::AddressText(const TSocketAddress& Address) {
  if (UseExtendedResolver()) return NumericHost(Address, SocketAddressSize(Address));
  const char* Text = OsInetNtoa(Address.V4()->sin_addr.s_addr);
  return Text ? std::string(Text) : std::string();
}

int TBlockSocket::AddressPort(const TSocketAddress& Address) { return OsNtohs(Address.NetworkPort()); }

std::string TBlockSocket::LocalHostName() {
  char Buffer[255] = {};
  if (OsGetHostName(Buffer, 254) != 0) return "127.0.0.1";
  std::string Name(Buffer, strnlen(Buffer, sizeof(Buffer)));
  return Name.empty() ? std::string("127.0.0.1") : Name;
}

void TBlockSocket::ResolveAllAddresses(const std::string& Name, std::vector<std::string>& List) {
  List.clear();
  if (UseExtendedResolver()) {
    TAddrInfoList Entries = Lookup(Name.c_str(), nullptr, AF_UNSPEC, SocketType(), SocketProtocol(), 0);
    for (const addrinfo* Entry = Entries.get(); Entry; Entry = Entry->ai_next) {
      if (IPFamily == IPFamilyV6 && Entry->ai_family == AF_INET) continue;
      if (IPFamily == IPFamilyV4 && Entry->ai_family == AF_INET6) continue;
      TSocketAddress Address;
      CopyEntry(Entry, Address);
      std::string Text = NumericHost(Address, static_cast<int>(std::min<size_t>(Entry->ai_addrlen, 28)));
      if (!Text.empty()) List.push_back(Text);
    }
  } else if (OsInetAddr(Name.c_str()) != AllOnes) {
    List.push_back(Name);
  } else {
    std::lock_guard<std::mutex> Guard(SocketInterfaceLock());
    hostent* Entry = OsGetHostByName(Name.c_str());
    if (Entry && Entry->h_addrtype == AF_INET && Entry->h_length == 4 && Entry->h_addr_list) {
      for (char** Item = Entry->h_addr_list; *Item; ++Item) {
        const auto* B = reinterpret_cast<const uint8_t*>(*Item);
        char Text[16];
        std::snprintf(Text, sizeof(Text), "%d.%d.%d.%d", B[0], B[1], B[2], B[3]);
        List.push_back(Text);
      }
    }
  }
  if (List.empty()) List.push_back("0.0.0.0");
}

std::string TBlockSocket::ResolveFirstAddress(const std::string& Name) {
  std::vector<std::string> List;
  ResolveAllAddresses(Name, List);
  return List.front();
}

int TBlockSocket::ResolveServicePort(const std::string& Port) {
  int Result = 0;
  if (UseExtendedResolver()) {
    TAddrInfoList List = Lookup(nullptr, Port.c_str(), AF_UNSPEC, SocketType(), SocketProtocol(), AI_PASSIVE);
    const addrinfo* First = List.get();
    if (First && First->ai_addr && (First->ai_family == AF_INET || First->ai_family == AF_INET6)) {
      TSocketAddress Address;
      CopyEntry(First, Address);
      Result = AddressPort(Address);
    }
  } else {
    const int Protocol = SocketProtocol();
    std::lock_guard<std::mutex> Guard(SocketInterfaceLock());
    Result = OsNtohs(LegacyNetworkPort(Port, Protocol));
  }
  return Result;
}

TSocketAddress TBlockSocket::IPv6TextToAddress(const std::string& Text) {
  TSocketAddress Result;
  if (!ExtendedResolverPresent && !IPv6SupplementPresent) return Result;
  TAddrInfoList List = Lookup(Text.c_str(), nullptr, AF_INET6, 0, 0, AI_NUMERICHOST);
  const addrinfo* First = List.get();
  if (First && First->ai_family == AF_INET6) CopyEntry(First, Result);
  return Result;
}

std::string TBlockSocket::IPv6AddressToText(const TSocketAddress& Address) {
  if (!ExtendedResolverPresent && !IPv6SupplementPresent) return std::string();
  return NumericHost(Address, sizeof(Address.Bytes));
}

std::string TBlockSocket::LocalAddressText() { return AddressText(LocalAddress); }

std::string TBlockSocket::RemoteAddressText() { return AddressText(RemoteAddress); }

int TBlockSocket::LocalPortNumber() { return AddressPort(LocalAddress); }

int TBlockSocket::RemotePortNumber() { return AddressPort(RemoteAddress); }

}  // namespace quorrel
