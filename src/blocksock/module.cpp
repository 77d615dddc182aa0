// Start and end of the socket layer: the socket interface is loaded and started
// once for the whole program, before any socket exists, and released at the end.
#include "blocksock/block_socket.h"

namespace quorrel {

std::string SocketLibraryName = "ws2_32.dll";

void BlockSockModuleStart() {
  if (!LoadSocketInterface(SocketLibraryName)) {
    const std::string Message = "Error loading Socket interface (ws2_32.dll)!";
    throw ESocketError(Message, 0, Message);
  }
  WSAStartup(0x0202, &SocketStartupData);
}

void BlockSockModuleEnd() {
  WSACleanup();
  UnloadSocketInterface();
}

}  // namespace quorrel
