// For the programs that test TLS without its libraries: points every name the
// binding loads at a place where nothing is, before anything loads them.
#pragma once

#include <string>

#include "tlsbind/tlsbind.h"

namespace quorrel {

// AltName is the fallback libssl name; the tests give it forms of their own.
inline void PointTlsLibrariesNowhere(const std::string& AltName) {
  TlsLibraryName = "/nonexistent/libssl.so.3";
  TlsLibraryAltName = AltName;
  CryptoLibraryName = "/nonexistent/libcrypto.so.3";
}

}  // namespace quorrel
