#include "support.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "blocksock/block_socket.h"

namespace quorrel {

TChunkFeeder::TChunkFeeder(std::vector<std::string> Chunks) {
  int Pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, Pair) != 0) return;
  Reader = Pair[0];
  Writer = Pair[1];
  Watch = dup(Reader);
  Thread = std::thread([this, Chunks = std::move(Chunks)] {
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (const auto& C : Chunks) {
      int Queued = 1;
      // Wait until the reader has drained the previous chunk (or gave up on it).
      while (ioctl(Watch, FIONREAD, &Queued) == 0 && Queued > 0 && !Stop && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::yield();
      if (Stop || send(Writer, C.data(), C.size(), MSG_NOSIGNAL) < 0) break;
    }
    shutdown(Writer, SHUT_WR);
  });
}

TChunkFeeder::~TChunkFeeder() {
  Stop = true;
  if (Writer >= 0) shutdown(Writer, SHUT_RDWR);
  if (Thread.joinable()) Thread.join();
  if (Writer >= 0) close(Writer);
  if (Watch >= 0) close(Watch);
  if (Reader >= 0) close(Reader);
}

void FuzzModulesStart() {
  static bool Started = false;
  if (!Started) {
    BlockSockModuleStart();
    Started = true;
  }
}

}  // namespace quorrel
