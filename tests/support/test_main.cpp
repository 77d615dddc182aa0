// Test programs start and end the modules as the program does, around the tests.
#include <gtest/gtest.h>

#include "blocksock/block_socket.h"
#include "tlsbind/tlsbind.h"

using namespace quorrel;

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  BlockSockModuleStart();
  TlsBindModuleStart();
  int Result = RUN_ALL_TESTS();
  TlsBindModuleEnd();
  BlockSockModuleEnd();
  return Result;
}
