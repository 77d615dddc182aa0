// What a test needs from the machine: a real peer program, root for network
// namespaces, an environment that ctest sets. When it is missing the test fails
// and names what to install, so a machine without the peers cannot show green
// having tested none of them. QUORREL_ALLOW_SKIP=1 turns these failures into skips
// (for a quick run on a machine known to lack them).
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace quorrel {

// True when QUORREL_ALLOW_SKIP=1 is set.
bool SkipAllowed();
// The Debian package that brings Program ("" when none is known).
std::string PackageOf(const std::string& Program);
// Why the programs cannot be used: the first one missing from PATH, as
// "<program> is not installed (Debian package <package>)", or "" when all are there.
std::string MissingPrograms(std::initializer_list<const char*> Programs);
// "" when running as root, else why network namespaces cannot be made.
std::string MissingRoot();

// Ends the current test (a void function: TEST body, SetUp, a helper) with a
// failure, or a skip when SkipAllowed(), when Reason is not empty.
#define QUORREL_REQUIRE(Reason)                                                      \
  do {                                                                               \
    const std::string QuorrelWhy = (Reason);                                         \
    if (!QuorrelWhy.empty()) {                                                       \
      if (SkipAllowed()) GTEST_SKIP() << QuorrelWhy;                                 \
      FAIL() << QuorrelWhy << " (set QUORREL_ALLOW_SKIP=1 to skip instead of failing)"; \
    }                                                                                \
  } while (0)

// Shorthand for the common cases.
#define QUORREL_REQUIRE_PROGRAMS(...) QUORREL_REQUIRE(MissingPrograms({__VA_ARGS__}))
#define QUORREL_REQUIRE_ROOT() QUORREL_REQUIRE(MissingRoot())

// When Started is false: a missing Program is reported as above; an installed
// one that did not start is always a failure, with its log.
#define QUORREL_REQUIRE_STARTED(Started, Program, Log)                   \
  do {                                                                   \
    if (!(Started)) {                                                    \
      QUORREL_REQUIRE_PROGRAMS(Program);                                 \
      FAIL() << Program << " is installed but did not start: " << (Log); \
    }                                                                    \
  } while (0)

// "" when TLS could be switched on, else why not (the TLS library is missing).
std::string MissingTls(bool SwitchedOn);

}  // namespace quorrel
