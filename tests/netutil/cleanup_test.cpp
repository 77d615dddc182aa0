#include "netutil/cleanup.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace quorrel;

namespace {

TEST(Cleanup, RunsOnceOnEveryWayOutUnlessCancelled) {
  int Runs = 0;
  auto Leave = [&](bool Cancel, bool Throw) {
    TCleanup Count([&] { ++Runs; });
    if (Cancel) Count.Cancel();
    if (Throw) throw std::runtime_error("out");
  };
  Leave(false, false);
  EXPECT_EQ(Runs, 1);
  EXPECT_THROW(Leave(false, true), std::runtime_error);
  EXPECT_EQ(Runs, 2);
  Leave(true, false);
  EXPECT_THROW(Leave(true, true), std::runtime_error);
  EXPECT_EQ(Runs, 2);
}

TEST(Cleanup, SetForScopePutsBackWhatWasThereAndNests) {
  bool Flag = false;
  std::string Text = "before";
  {
    auto Outer = SetForScope(Flag, true);
    auto Words = SetForScope(Text, "during");
    EXPECT_TRUE(Flag);
    EXPECT_EQ(Text, "during");
    {
      // An inner step of the same kind must not end the outer one's setting.
      auto Inner = SetForScope(Flag, true);
    }
    EXPECT_TRUE(Flag);
    {
      auto Off = SetForScope(Flag, false);
      EXPECT_FALSE(Flag);
    }
    EXPECT_TRUE(Flag);
  }
  EXPECT_FALSE(Flag);
  EXPECT_EQ(Text, "before");

  int Limit = 7;
  try {
    auto Zero = SetForScope(Limit, 0);
    throw std::runtime_error("out");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(Limit, 7);
}

}  // namespace
