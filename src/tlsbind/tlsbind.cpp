// Placeholder until the OpenSSL binding lands.
#include "tlsbind/tlsbind.h"
std::string TlsLibraryName, TlsLibraryAltName, CryptoLibraryName, TlsLibraryPath, CryptoLibraryPath;
bool LoadTlsLibraries() { return false; }
bool UnloadTlsLibraries() { return true; }
bool TlsLibrariesLoaded() { return false; }
void TlsBindModuleStart() {}
void TlsBindModuleEnd() {}
