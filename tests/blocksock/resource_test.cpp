// Many connect/close rounds of TTCPBlockSocket, directly, through SOCKS and with
// TLS: after a warm-up, the process must hold exactly as many descriptors as
// before and its resident memory must stay where it was. A descriptor or a TLS
// session lost per connection shows up here long before a real run runs out.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "blocksock/tcp_socket.h"
#include "support/requirement.h"
#include "support/process.h"
#include "support/proxies.h"
#include "support/tls_peer.h"

using namespace quorrel;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Rounds = 10000;
constexpr int TlsNewObjectRounds = 3000;  // ~2.5 ms a handshake: keeps the TLS test near 35 s
constexpr int WarmUp = 300;
constexpr long RssSlack = 2L * 1024 * 1024;
constexpr int MaxSecondsPerRun = 120;

int OpenDescriptors() {
  DIR* D = opendir("/proc/self/fd");
  if (!D) return -1;
  int Count = 0;
  while (dirent* E = readdir(D))
    if (E->d_name[0] != '.') ++Count;
  closedir(D);
  return Count - 1;  // the one opendir holds
}

long ResidentBytes() {
  FILE* F = std::fopen("/proc/self/statm", "r");
  if (!F) return -1;
  long Size = 0, Resident = 0;
  int Got = std::fscanf(F, "%ld %ld", &Size, &Resident);
  std::fclose(F);
  return Got == 2 ? Resident * sysconf(_SC_PAGESIZE) : -1;
}

// On 127.0.0.1, one connection at a time: sends "hi\n" when Greeting is set,
// echoes one line, then waits for the client's close before closing its own end,
// so that once Served() has counted a connection this process holds no
// descriptor for it any more.
class TEchoServer {
 public:
  explicit TEchoServer(bool Greeting = true) : Greeting(Greeting) {
    ListenFd = ListenOnLoopback(0, ListenPort);
    Worker = std::thread([this] { Run(); });
  }
  ~TEchoServer() {
    Stopping = true;
    Worker.join();
    close(ListenFd);
  }
  std::string PortText() const { return std::to_string(ListenPort); }
  int Served() const { return Count; }
  // Waits (at most ~5 s) until N connections have been served and closed.
  bool WaitServed(int N) const {
    for (int I = 0; I < 500 && Count < N; ++I) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Count >= N;
  }

 private:
  static bool Readable(int Fd, int TimeoutMs) {
    pollfd P{Fd, POLLIN, 0};
    return poll(&P, 1, TimeoutMs) > 0;
  }
  void Serve(int Fd) {
    if (Greeting) send(Fd, "hi\n", 3, MSG_NOSIGNAL);
    std::string Line;
    char Buffer[256];
    while (Line.find('\n') == std::string::npos && Readable(Fd, 5000)) {
      ssize_t N = recv(Fd, Buffer, sizeof Buffer, 0);
      if (N <= 0) return;
      Line.append(Buffer, static_cast<size_t>(N));
    }
    send(Fd, Line.data(), Line.size(), MSG_NOSIGNAL);
    while (Readable(Fd, 5000) && recv(Fd, Buffer, sizeof Buffer, 0) > 0) {
    }
  }
  void Run() {
    while (!Stopping) {
      if (!Readable(ListenFd, 100)) continue;
      int Fd = accept(ListenFd, nullptr, nullptr);
      if (Fd < 0) continue;
      Serve(Fd);
      close(Fd);
      ++Count;
    }
  }
  bool Greeting;
  int ListenFd = -1;
  int ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::atomic<int> Count{0};
  std::thread Worker;
};

struct TFigures {
  int FdsBefore = 0, FdsAfter = 0;
  long RssBefore = 0, RssAfter = 0;
  int Done = 0;
  double Seconds = 0;
};

// Runs Round Count times (the first WarmUp of them before the baseline) and
// stops at the first failing round or when the time is up. Settle is called
// before each measurement to let peers in this process let go of their ends.
TFigures Measure(const char* What, int Count, const std::function<bool(int)>& Round,
                 const std::function<void(int)>& Settle) {
  TFigures F;
  auto Start = Clock::now();
  auto Deadline = Start + std::chrono::seconds(MaxSecondsPerRun);
  for (int I = 0; I < Count; ++I) {
    if (I == WarmUp) {
      Settle(I);
      F.FdsBefore = OpenDescriptors();
      F.RssBefore = ResidentBytes();
    }
    if (!Round(I)) {
      ADD_FAILURE() << What << ": round " << I << " failed";
      break;
    }
    F.Done = I + 1;
    if (Clock::now() > Deadline) {
      ADD_FAILURE() << What << ": out of time after " << F.Done << " rounds";
      break;
    }
  }
  Settle(F.Done);
  F.FdsAfter = OpenDescriptors();
  F.RssAfter = ResidentBytes();
  F.Seconds = std::chrono::duration<double>(Clock::now() - Start).count();
  std::printf("[ figures  ] %s: %d rounds in %.1f s; descriptors %d -> %d; RSS %ld KiB -> %ld KiB\n", What, F.Done,
              F.Seconds, F.FdsBefore, F.FdsAfter, F.RssBefore / 1024, F.RssAfter / 1024);
  std::fflush(stdout);
  return F;
}

// A sanitizer keeps freed memory in quarantine, so resident memory says
// nothing about leaks there (the sanitizer reports those itself).
bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  const char* Flag = std::getenv("QUORREL_SANITIZED");
  return Flag && std::string(Flag) == "1";
}

void ExpectSteady(const TFigures& F, int Count) {
  EXPECT_EQ(F.Done, Count);
  EXPECT_GT(F.FdsBefore, 0);
  EXPECT_EQ(F.FdsAfter, F.FdsBefore);
  if (!Sanitized()) {
    EXPECT_LE(F.RssAfter - F.RssBefore, RssSlack);
  }
}

// Connect, read the greeting if one comes, then one line there and back: the
// peer answers "ping" with Answer. Socket is connected through whatever the
// caller set on it.
bool Exchange(TTCPBlockSocket& Socket, const std::string& Port, bool Greeting, const std::string& Answer = "ping") {
  Socket.Connect("127.0.0.1", Port);
  if (Socket.LastErrorCode != 0) return false;
  Socket.AnyLineBreak = true;
  if (Greeting && Socket.ReceiveLine(5000) != "hi") return false;
  Socket.SendText("ping\n");
  return Socket.ReceiveLine(5000) == Answer && Socket.LastErrorCode == 0;
}

TEST(Resources, PlainConnectCloseRounds) {
  TEchoServer Server;
  auto Settle = [&](int Done) { EXPECT_TRUE(Server.WaitServed(Done)) << Server.Served() << " of " << Done; };
  {
    TTCPBlockSocket Socket;  // one object, closed and connected again
    auto Offset = Server.Served();
    TFigures F = Measure(
        "plain, reused object", Rounds,
        [&](int) {
          bool Ok = Exchange(Socket, Server.PortText(), true);
          Socket.CloseSocket();
          return Ok && !Socket.HasSocket();
        },
        [&](int Done) { Settle(Offset + Done); });
    ExpectSteady(F, Rounds);
  }
  auto Offset = Server.Served();
  TFigures F = Measure(
      "plain, new object each round", Rounds,
      [&](int) {
        auto Socket = std::make_unique<TTCPBlockSocket>();
        return Exchange(*Socket, Server.PortText(), true);  // closed by its destructor
      },
      [&](int Done) { Settle(Offset + Done); });
  ExpectSteady(F, Rounds);
}

// No greeting behind the proxy: microsocks would hold it back behind its own
// reply until the client's delayed acknowledgement (~40 ms a round).
TEST(Resources, SocksConnectCloseRounds) {
  TEchoServer Target(false);
  TProxyProcess Proxy;
  QUORREL_REQUIRE_STARTED(Proxy.StartMicrosocks("bob", "secret"), "microsocks", Proxy.Log());
  auto Point = [&](TTCPBlockSocket& S) {
    S.SocksProxyHost = "127.0.0.1";
    S.SocksProxyPort = Proxy.PortText();
    S.SocksTimeoutMs = 5000;
    S.SocksUser = "bob";
    S.SocksPassword = "secret";
  };
  auto Settle = [&](int Done) { EXPECT_TRUE(Target.WaitServed(Done)) << Proxy.Log(); };
  {
    TTCPBlockSocket Socket;
    Point(Socket);
    auto Offset = Target.Served();
    TFigures F = Measure(
        "SOCKS5, reused object", Rounds,
        [&](int) {
          bool Ok = Exchange(Socket, Target.PortText(), false) && Socket.ViaSocks;
          Socket.CloseSocket();
          return Ok;
        },
        [&](int Done) { Settle(Offset + Done); });
    ExpectSteady(F, Rounds);
  }
  auto Offset = Target.Served();
  TFigures F = Measure(
      "SOCKS5, new object each round", Rounds,
      [&](int) {
        TTCPBlockSocket Socket;
        Point(Socket);
        return Exchange(Socket, Target.PortText(), false) && Socket.ViaSocks;
      },
      [&](int Done) { Settle(Offset + Done); });
  ExpectSteady(F, Rounds);
}

// s_server answers one connection at a time; an EC P-256 key keeps each
// handshake cheap enough for thousands of rounds.
TEST(Resources, TlsConnectCloseRounds) {
  QUORREL_REQUIRE_PROGRAMS("openssl");
  std::string Dir = MakeTempDir("quorrel-resource");
  ASSERT_FALSE(Dir.empty());
  const std::string Key = Dir + "/key.pem", Cert = Dir + "/cert.pem";
  ASSERT_EQ(RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
                       "-subj /CN=localhost -keyout '" + Key + "' -out '" + Cert + "' >/dev/null 2>&1"),
            0);
  TTlsServer Server;
  ASSERT_TRUE(Server.Start(Cert, Key));
  const std::string Port = std::to_string(Server.Port);
  auto NoPeerInProcess = [](int) {};
  {
    TTCPBlockSocket Socket;
    TFigures F = Measure(
        "TLS, reused object", Rounds,
        [&](int) {
          Socket.SetTlsActive(true);
          bool Ok = Socket.TlsActive && Exchange(Socket, Port, false, "gnip") && Socket.TlsActive;
          Socket.CloseSocket();
          return Ok && Socket.TlsSession == nullptr && Socket.TlsContext == nullptr;
        },
        NoPeerInProcess);
    ExpectSteady(F, Rounds);
  }
  TFigures F = Measure(
      "TLS, new object each round", TlsNewObjectRounds,
      [&](int) {
        TTCPBlockSocket Socket;
        Socket.SetTlsActive(true);
        return Exchange(Socket, Port, false, "gnip");
      },
      NoPeerInProcess);
  ExpectSteady(F, TlsNewObjectRounds);
  Server.Stop();
  RemoveTree(Dir);
}

}  // namespace
