// Addressing of TBlockSocket: text to socket addresses and back, family rules,
// name and service resolution, on the extended resolver and on the legacy path.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "blocksock/block_socket.h"

using namespace quorrel;

namespace {

class TStreamSocket : public TBlockSocket {
 public:
  int SocketType() override { return 1; }
  int SocketProtocol() override { return 6; }
};

// Sets the resolver flags for one scope: legacy only, or the IPv6 supplement.
class TResolverFlags {
 public:
  explicit TResolverFlags(bool Supplement) : Extended(ExtendedResolverPresent), Saved(IPv6SupplementPresent) {
    ExtendedResolverPresent = false;
    IPv6SupplementPresent = Supplement;
  }
  ~TResolverFlags() {
    ExtendedResolverPresent = Extended;
    IPv6SupplementPresent = Saved;
  }

 private:
  bool Extended, Saved;
};

TSocketAddress Make(TBlockSocket& Socket, const std::string& Host, const std::string& Port) {
  TSocketAddress A;
  std::memset(A.Bytes, 0xAB, sizeof(A.Bytes));  // must come back zero-filled where unused
  Socket.MakeSocketAddress(Host, Port, A);
  return A;
}

// Numeric text of an address (either family) as the C library writes it.
std::string Text(const TSocketAddress& A) {
  char Buffer[INET6_ADDRSTRLEN] = {};
  if (A.Family() == AF_INET) inet_ntop(AF_INET, &A.V4()->sin_addr, Buffer, sizeof(Buffer));
  if (A.Family() == AF_INET6) inet_ntop(AF_INET6, &A.V6()->sin6_addr, Buffer, sizeof(Buffer));
  return Buffer;
}

// Makes the address of Host:Port and checks its numeric text and its port;
// returned for the checks that only some cases make.
TSocketAddress ExpectMade(TBlockSocket& Socket, const std::string& Host, const std::string& Port,
                          const std::string& WantText, int WantPort) {
  TSocketAddress A = Make(Socket, Host, Port);
  EXPECT_EQ(Text(A), WantText) << Host << ":" << Port;
  EXPECT_EQ(Socket.AddressPort(A), WantPort) << Host << ":" << Port;
  return A;
}

bool AllZero(const TSocketAddress& A) {
  for (uint8_t B : A.Bytes)
    if (B != 0) return false;
  return true;
}

bool SystemResolves(const char* Name, int Family) {
  addrinfo Hints{};
  Hints.ai_family = Family;
  addrinfo* List = nullptr;
  if (getaddrinfo(Name, nullptr, &Hints, &List) != 0) return false;
  freeaddrinfo(List);
  return true;
}

// A listening socket on ::1; returns its port text.
std::string ListenOnIPv6Loopback(int& Fd) {
  Fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 Local{};
  Local.sin6_family = AF_INET6;
  Local.sin6_addr = in6addr_loopback;
  socklen_t Length = sizeof(Local);
  if (::bind(Fd, reinterpret_cast<sockaddr*>(&Local), Length) != 0 || ::listen(Fd, 4) != 0) return "";
  ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &Length);
  return std::to_string(ntohs(Local.sin6_port));
}

// ---------------------------------------------------------------------------
// MakeSocketAddress on the extended resolver

TEST(MakeSocketAddress, NumericHostsAndReportedStatus) {
  std::vector<std::pair<TSocketStatusReason, std::string>> Events;
  TStreamSocket Socket;
  Socket.StatusHandler = [&Events](TBlockSocket&, TSocketStatusReason R, const std::string& V) {
    Events.emplace_back(R, V);
  };
  TSocketAddress A = Make(Socket, "127.0.0.1", "8110");
  EXPECT_EQ(A.Family(), AF_INET);
  EXPECT_EQ(Text(A), "127.0.0.1");
  EXPECT_EQ(Socket.AddressPort(A), 8110);
  for (int I = 8; I < 28; ++I) EXPECT_EQ(A.Bytes[I], 0) << I;
  EXPECT_EQ(Events, (std::vector<std::pair<TSocketStatusReason, std::string>>{
                        {ResolvingStarted, "127.0.0.1:8110"}, {ResolvingFinished, "127.0.0.1:8110"}}));

  ExpectMade(Socket, "0.0.0.0", "25", "0.0.0.0", 25);
  A = ExpectMade(Socket, "::1", "995", "::1", 995);
  EXPECT_EQ(A.Family(), AF_INET6);
  EXPECT_EQ(Socket.AddressText(A), "::1");
  EXPECT_EQ(Socket.IPFamily, IPFamilyAny);  // never narrowed on this path

  // Failures leave an all-zero address.
  EXPECT_TRUE(AllZero(Make(Socket, "127.0.0.1", "no-such-service-xyz")));
  EXPECT_TRUE(AllZero(Make(Socket, "no-such-host.invalid", "110")));
  Socket.SetIPFamily(IPFamilyV4);
  EXPECT_TRUE(AllZero(Make(Socket, "::1", "110")));

  TBlockSocket AnyType;  // socket type 0: the service's own type is taken
  A = Make(AnyType, "127.0.0.1", "pop3");
  EXPECT_EQ(AnyType.AddressPort(A), 110);
}

TEST(MakeSocketAddress, PreferenceDecidesWhenBothFamiliesAnswer) {
  TStreamSocket Socket;
  // Without a node the resolver answers with both loopbacks and both wildcards.
  Socket.FavourIPv4 = false;
  EXPECT_EQ(Text(Make(Socket, "127.0.0.1", "110")), "::1");
  EXPECT_EQ(Text(Make(Socket, "0.0.0.0", "110")), "::");
  Socket.SetIPFamily(IPFamilyV4);  // a fixed family overrides the preference
  EXPECT_EQ(Text(Make(Socket, "127.0.0.1", "110")), "127.0.0.1");
  Socket.SetIPFamily(IPFamilyV6);
  Socket.FavourIPv4 = true;
  EXPECT_EQ(Text(Make(Socket, "127.0.0.1", "110")), "::1");

  Socket.SetIPFamily(IPFamilyAny);
  const bool Has4 = SystemResolves("localhost", AF_INET), Has6 = SystemResolves("localhost", AF_INET6);
  EXPECT_EQ(Text(Make(Socket, "localhost", "110")), Has4 ? "127.0.0.1" : "::1");
  Socket.FavourIPv4 = false;
  EXPECT_EQ(Text(Make(Socket, "localhost", "110")), Has6 ? "::1" : "127.0.0.1");
}

TEST(MakeSocketAddress, OpenIPv6SocketKeepsItsFamily) {
  int Listener;
  const std::string Port = ListenOnIPv6Loopback(Listener);
  TStreamSocket Socket;
  Socket.Connect("::1", Port);
  ASSERT_EQ(Socket.LastErrorCode, 0);
  TSocketAddress A = Make(Socket, "127.0.0.1", "8110");
  EXPECT_EQ(A.Family(), AF_INET6);
  EXPECT_EQ(Text(A), "::1");
  EXPECT_EQ(Socket.AddressPort(A), 8110);
  EXPECT_TRUE(AllZero(Make(Socket, "127.0.0.2", "8110")));
  Socket.CloseSocket();
  ::close(Listener);
}

// ---------------------------------------------------------------------------
// Legacy path and the IPv6 supplement

TEST(LegacyResolver, MakeSocketAddressCases) {
  TResolverFlags Legacy(false);
  TStreamSocket Socket;
  ASSERT_FALSE(Socket.UseExtendedResolver());
  TSocketAddress A = ExpectMade(Socket, "127.0.0.1", "pop3", "127.0.0.1", 110);
  for (int I = 8; I < 28; ++I) EXPECT_EQ(A.Bytes[I], 0) << I;
  ExpectMade(Socket, "localhost", "8110", "127.0.0.1", 8110);
  // Failures show as the broadcast address and port 0.
  A = Make(Socket, "no-such-host.invalid", "no-such-service-xyz");
  EXPECT_EQ(A.Family(), AF_INET);
  EXPECT_EQ(Socket.AddressText(A), "255.255.255.255");
  EXPECT_EQ(Socket.AddressPort(A), 0);
  EXPECT_EQ(Text(Make(Socket, "::1", "110")), "255.255.255.255");
}

TEST(LegacyResolver, LookupsWaitForTheInterfaceLock) {
  TResolverFlags Legacy(false);
  TStreamSocket Socket;
  std::unique_lock<std::mutex> Held(SocketInterfaceLock());
  auto Address = std::async(std::launch::async, [&] { return Make(Socket, "localhost", "pop3"); });
  auto Port = std::async(std::launch::async, [] { return TStreamSocket().ResolveServicePort("pop3"); });
  auto First = std::async(std::launch::async, [] { return TStreamSocket().ResolveFirstAddress("localhost"); });
  EXPECT_EQ(Address.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
  EXPECT_EQ(Port.wait_for(std::chrono::milliseconds(1)), std::future_status::timeout);
  EXPECT_EQ(First.wait_for(std::chrono::milliseconds(1)), std::future_status::timeout);
  Held.unlock();
  EXPECT_EQ(Socket.AddressPort(Address.get()), 110);
  EXPECT_EQ(Port.get(), 110);
  EXPECT_EQ(First.get(), "127.0.0.1");
  ASSERT_TRUE(SocketInterfaceLock().try_lock());  // released after each call
  SocketInterfaceLock().unlock();
}

TEST(SupplementResolver, HostTextNarrowsTheFamilyUntilClose) {
  int Listener;
  const std::string Port = ListenOnIPv6Loopback(Listener);
  TResolverFlags Supplement(true);
  TStreamSocket Socket;
  EXPECT_EQ(Text(Make(Socket, "127.0.0.1", "110")), "127.0.0.1");
  EXPECT_EQ(Socket.IPFamily, IPFamilyV4);
  EXPECT_EQ(Make(Socket, "::1", "110").Family(), AF_INET);  // stuck at V4 until a close
  Socket.CloseSocket();
  EXPECT_EQ(Socket.IPFamily, IPFamilyAny);

  Socket.Connect("::1", Port);  // IPv6 text goes through the extended calls
  EXPECT_EQ(Socket.LastErrorCode, 0);
  EXPECT_TRUE(Socket.IPv6InUse);
  Socket.CloseSocket();

  Socket.FavourIPv4 = false;  // a name goes by preference
  Make(Socket, "localhost", "110");
  EXPECT_EQ(Socket.IPFamily, IPFamilyV6);
  Socket.SetIPFamily(IPFamilyV4);  // a fixed family is never narrowed
  Make(Socket, "::1", "110");
  EXPECT_EQ(Socket.IPFamily, IPFamilyV4);
  ::close(Listener);
}

// ---------------------------------------------------------------------------
// Names, services and address texts

TEST(ResolveAddresses, FamilyFilterPerTypeEntriesAndFallback) {
  TStreamSocket Socket;
  std::vector<std::string> List = {"stale"};
  Socket.ResolveAllAddresses("::1", List);
  EXPECT_EQ(List, (std::vector<std::string>{"::1"}));
  Socket.SetIPFamily(IPFamilyV4);
  Socket.ResolveAllAddresses("::1", List);
  EXPECT_EQ(List, (std::vector<std::string>{"0.0.0.0"}));
  Socket.SetIPFamily(IPFamilyV6);
  Socket.ResolveAllAddresses("127.0.0.1", List);
  EXPECT_EQ(List, (std::vector<std::string>{"0.0.0.0"}));
  Socket.SetIPFamily(IPFamilyAny);
  Socket.ResolveAllAddresses("no-such-host.invalid", List);
  EXPECT_EQ(List, (std::vector<std::string>{"0.0.0.0"}));

  // With socket type 0 the resolver answers once per socket type; each is kept.
  TBlockSocket AnyType;
  AnyType.ResolveAllAddresses("127.0.0.1", List);
  EXPECT_GT(List.size(), 1u);
  for (const std::string& Line : List) EXPECT_EQ(Line, "127.0.0.1");

  TResolverFlags Legacy(false);
  Socket.ResolveAllAddresses("10.1", List);  // numeric text is taken as it stands
  EXPECT_EQ(List, (std::vector<std::string>{"10.1"}));
  EXPECT_EQ(Socket.ResolveFirstAddress("localhost"), "127.0.0.1");
  EXPECT_EQ(Socket.ResolveFirstAddress("no-such-host.invalid"), "0.0.0.0");
}

TEST(ResolveServicePort, NamesNumbersAndUnknown) {
  TStreamSocket Socket;
  EXPECT_EQ(Socket.ResolveServicePort("pop3"), 110);
  EXPECT_EQ(Socket.ResolveServicePort("8110"), 8110);
  EXPECT_EQ(Socket.ResolveServicePort("no-such-service-xyz"), 0);
  TResolverFlags Legacy(false);
  EXPECT_EQ(Socket.ResolveServicePort("pop3"), 110);
  EXPECT_EQ(Socket.ResolveServicePort("0x1F"), 31);
  EXPECT_EQ(Socket.ResolveServicePort("70000"), 70000 & 0xFFFF);
  EXPECT_EQ(Socket.ResolveServicePort("no-such-service-xyz"), 0);
}

TEST(AddressText, ZeroAddressAndIPv6Conversions) {
  TStreamSocket Socket;
  TSocketAddress Zero;
  EXPECT_EQ(Socket.AddressText(Zero), "");
  EXPECT_EQ(Socket.AddressPort(Zero), 0);
  EXPECT_EQ(Socket.IPv6AddressToText(Zero), "");

  TSocketAddress A = Socket.IPv6TextToAddress("2001:db8::5");
  EXPECT_EQ(A.Family(), AF_INET6);
  EXPECT_EQ(Socket.IPv6AddressToText(A), "2001:db8::5");
  EXPECT_TRUE(AllZero(Socket.IPv6TextToAddress("127.0.0.1")));
  EXPECT_TRUE(AllZero(Socket.IPv6TextToAddress("localhost")));  // numeric text only

  TResolverFlags Legacy(false);
  EXPECT_TRUE(AllZero(Socket.IPv6TextToAddress("::1")));
  EXPECT_EQ(Socket.IPv6AddressToText(A), "");
}

}  // namespace
