// Run-time binding to OpenSSL. The libraries are opened with dlopen on first use,
// every entry point is looked up by name, and each wrapper falls back to a fixed
// result when its entry point is missing. Newer OpenSSL releases dropped several
// old names (they became macros or vanished); for those the equivalent that the
// library does export is resolved into the same slot.
#include "tlsbind/tlsbind.h"

#include <ctime>

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <string_view>

namespace quorrel {

std::string TlsLibraryName = "libssl.so.3:libssl.so";
std::string TlsLibraryAltName = "libssl.so.1.1";
std::string CryptoLibraryName = "libcrypto.so.3:libcrypto.so:libcrypto.so.1.1";
std::string TlsLibraryPath;
std::string CryptoLibraryPath;

namespace {

// The entry-point table, one row per slot: the slot, the library that exports it,
// and its names: the classic name first, then equivalents of newer releases
// separated by '|'. The first one the library exports wins. Only entry points
// that something here calls have a slot.
#define QUORREL_TLS_ENTRIES(X)                                                  \
  X(SslGetError, Tls, "SSL_get_error")                                          \
  X(SslLibraryInit, Tls, "SSL_library_init")                                    \
  X(SslLoadErrorStrings, Tls, "SSL_load_error_strings")                         \
  X(OpensslInitSsl, Tls, "OPENSSL_init_ssl")                                    \
  X(SslCtxSetCipherList, Tls, "SSL_CTX_set_cipher_list")                        \
  X(SslCtxNew, Tls, "SSL_CTX_new")                                              \
  X(SslCtxFree, Tls, "SSL_CTX_free")                                            \
  X(SslSetFd, Tls, "SSL_set_fd")                                                \
  X(SslV2Method, Tls, "SSLv2_method")                                           \
  X(SslV3Method, Tls, "SSLv3_method")                                           \
  X(TlsV1Method, Tls, "TLSv1_method")                                           \
  X(SslV23Method, Tls, "SSLv23_method|TLS_client_method|TLS_method")            \
  X(SslCtxUsePrivateKeyFile, Tls, "SSL_CTX_use_PrivateKey_file")                \
  X(SslCtxUseCertificateChainFile, Tls, "SSL_CTX_use_certificate_chain_file")   \
  X(SslCtxSetDefaultPasswdCb, Tls, "SSL_CTX_set_default_passwd_cb")             \
  X(SslCtxSetDefaultPasswdCbUserdata, Tls, "SSL_CTX_set_default_passwd_cb_userdata") \
  X(SslCtxLoadVerifyLocations, Tls, "SSL_CTX_load_verify_locations")            \
  X(SslCtxSetDefaultVerifyPaths, Tls, "SSL_CTX_set_default_verify_paths")       \
  X(SslNew, Tls, "SSL_new")                                                     \
  X(SslFree, Tls, "SSL_free")                                                   \
  X(SslConnect, Tls, "SSL_connect")                                             \
  X(SslShutdown, Tls, "SSL_shutdown")                                           \
  X(SslRead, Tls, "SSL_read")                                                   \
  X(SslWrite, Tls, "SSL_write")                                                 \
  X(SslPending, Tls, "SSL_pending")                                             \
  X(SslCtxSetVerify, Tls, "SSL_CTX_set_verify")                                 \
  X(SslSetVerify, Tls, "SSL_set_verify")                                        \
  X(SslGetVerifyResult, Tls, "SSL_get_verify_result")                           \
  X(SslCtrl, Tls, "SSL_ctrl")                                                   \
  X(SslSet1Host, Tls, "SSL_set1_host")                                          \
  X(SslGet0Param, Tls, "SSL_get0_param")                                        \
  X(SslGetPeerCertificate, Tls, "SSL_get_peer_certificate|SSL_get1_peer_certificate") \
  X(SslGetVersion, Tls, "SSL_get_version")                                      \
  X(SslGetCurrentCipher, Tls, "SSL_get_current_cipher")                         \
  X(SslCipherGetName, Tls, "SSL_CIPHER_get_name")                               \
  X(ErrErrorString, Crypto, "ERR_error_string")                                 \
  X(ErrGetError, Crypto, "ERR_get_error")                                       \
  X(ErrClearError, Crypto, "ERR_clear_error")                                   \
  X(ErrRemoveState, Crypto, "ERR_remove_state|ERR_remove_thread_state")         \
  X(EvpCleanup, Crypto, "EVP_cleanup")                                          \
  X(CryptoCleanupAllExData, Crypto, "CRYPTO_cleanup_all_ex_data")               \
  X(EvpSha256, Crypto, "EVP_sha256")                                            \
  X(EvpDigest, Crypto, "EVP_Digest")                                            \
  X(Hmac, Crypto, "HMAC")                                                       \
  X(Pkcs5Pbkdf2Hmac, Crypto, "PKCS5_PBKDF2_HMAC")                               \
  X(RandScreen, Crypto, "RAND_screen")                                          \
  X(X509VerifyCertErrorString, Crypto, "X509_verify_cert_error_string")         \
  X(X509VerifyParamSet1IpAsc, Crypto, "X509_VERIFY_PARAM_set1_ip_asc")          \
  X(I2dX509, Crypto, "i2d_X509")                                                \
  X(X509Free, Crypto, "X509_free")                                              \
  X(X509GetSubjectName, Crypto, "X509_get_subject_name")                        \
  X(X509GetIssuerName, Crypto, "X509_get_issuer_name")                          \
  X(X509NameOneline, Crypto, "X509_NAME_oneline")                               \
  X(X509GetNotBefore, Crypto, "X509_get0_notBefore")                            \
  X(X509GetNotAfter, Crypto, "X509_get0_notAfter")                              \
  X(Asn1TimeToTm, Crypto, "ASN1_TIME_to_tm")

enum TEntry : int {
#define QUORREL_TLS_SLOT(Slot, Library, Names) E##Slot,
  QUORREL_TLS_ENTRIES(QUORREL_TLS_SLOT)
#undef QUORREL_TLS_SLOT
  EEntryCount
};

enum class TLibrary : uint8_t { Tls, Crypto };

struct TEntryRow {
  TLibrary Library;
  std::string_view Names;
};

constexpr TEntryRow EntryRows[] = {
#define QUORREL_TLS_ROW(Slot, Library, Names) {TLibrary::Library, Names},
    QUORREL_TLS_ENTRIES(QUORREL_TLS_ROW)
#undef QUORREL_TLS_ROW
};
static_assert(std::size(EntryRows) == EEntryCount);

// OPENSSL_init_ssl options that stand for SSL_load_error_strings.
constexpr uint64_t InitLoadCryptoStrings = 0x00000002;
constexpr uint64_t InitLoadSslStrings = 0x00200000;
constexpr int SslCtrlSetTlsextHostname = 55;
constexpr long TlsextNametypeHostName = 0;

void* TlsHandle = nullptr;
void* CryptoHandle = nullptr;
void* Entries[EEntryCount] = {};
bool Loaded = false;
int ModuleStarts = 0;

// Never destroyed: wrappers may still run from destructors of static objects
// after the module has ended, and must find a working lock then.
std::recursive_mutex& ModuleLock() {
  static auto* Lock = new std::recursive_mutex;
  return *Lock;
}

void* OpenFirst(const std::string& Names) {
  std::size_t Start = 0;
  while (Start <= Names.size()) {
    std::size_t End = Names.find(':', Start);
    if (End == std::string::npos) End = Names.size();
    std::string Name = Names.substr(Start, End - Start);
    // An empty name would make dlopen hand out the main program.
    if (!Name.empty())
      if (void* Handle = dlopen(Name.c_str(), RTLD_NOW | RTLD_LOCAL)) return Handle;
    Start = End + 1;
  }
  return nullptr;
}

void* Resolve(void* Handle, std::string_view Names) {
  std::size_t Start = 0;
  while (Start <= Names.size()) {
    std::size_t End = Names.find('|', Start);
    if (End == std::string_view::npos) End = Names.size();
    std::string Name(Names.substr(Start, End - Start));
    if (void* Address = dlsym(Handle, Name.c_str())) return Address;
    Start = End + 1;
  }
  return nullptr;
}

std::string LibraryFileName(void* Handle) {
  link_map* Map = nullptr;
  if (dlinfo(Handle, RTLD_DI_LINKMAP, &Map) != 0 || Map == nullptr || Map->l_name == nullptr) return {};
  // Asked with a 1024-byte buffer: longer names are cut there.
  std::string Name = Map->l_name;
  if (Name.size() > 1023) Name.resize(1023);
  return Name;
}

// The entry point of a slot when it may be called now, else null. Loads the
// libraries first (and tries again on every call while they are missing).
template <typename T>
T Entry(TEntry Slot) {
  std::lock_guard<std::recursive_mutex> Guard(ModuleLock());
  if (!LoadTlsLibraries()) return nullptr;
  return reinterpret_cast<T>(Entries[Slot]);
}

}  // namespace

bool LoadTlsLibraries() {
  std::lock_guard<std::recursive_mutex> Guard(ModuleLock());
  if (Loaded) return true;
  TlsHandle = OpenFirst(TlsLibraryName);
  CryptoHandle = OpenFirst(CryptoLibraryName);
  if (TlsHandle == nullptr) TlsHandle = OpenFirst(TlsLibraryAltName);
  if (TlsHandle == nullptr || CryptoHandle == nullptr) {
    // Nothing was initialised yet, so releasing is safe here.
    if (TlsHandle != nullptr) dlclose(TlsHandle);
    if (CryptoHandle != nullptr) dlclose(CryptoHandle);
    TlsHandle = CryptoHandle = nullptr;
    return false;
  }
  for (int Slot = 0; Slot < EEntryCount; ++Slot)
    Entries[Slot] = Resolve(EntryRows[Slot].Library == TLibrary::Tls ? TlsHandle : CryptoHandle, EntryRows[Slot].Names);
  TlsLibraryPath = LibraryFileName(TlsHandle);
  CryptoLibraryPath = LibraryFileName(CryptoHandle);

  if (Entries[ESslLibraryInit] != nullptr) {
    reinterpret_cast<int (*)()>(Entries[ESslLibraryInit])();
    if (Entries[ESslLoadErrorStrings] != nullptr) reinterpret_cast<void (*)()>(Entries[ESslLoadErrorStrings])();
  } else if (Entries[EOpensslInitSsl] != nullptr) {
    // Releases from 1.1 on initialise through one call; error strings are an option.
    reinterpret_cast<int (*)(uint64_t, const void*)>(Entries[EOpensslInitSsl])(
        InitLoadSslStrings | InitLoadCryptoStrings, nullptr);
  }
  if (Entries[ERandScreen] != nullptr) reinterpret_cast<void (*)()>(Entries[ERandScreen])();
  Loaded = true;
  return true;
}

bool UnloadTlsLibraries() {
  std::lock_guard<std::recursive_mutex> Guard(ModuleLock());
  if (Loaded) {
    Evp_cleanup();
    Crypto_cleanup_all_ex_data();
    Err_remove_state(0);
  }
  Loaded = false;
  // The handles are forgotten but the libraries are not closed. OpenSSL 1.1 and
  // later register their own clean-up with atexit and keep per-thread state
  // whose destructors live in libcrypto; unmapping the code under them makes the
  // process crash at exit. Keeping them mapped costs nothing at that point, and
  // a later load simply opens the same, still loaded, libraries again.
  TlsHandle = nullptr;
  CryptoHandle = nullptr;
  for (void*& Address : Entries) Address = nullptr;
  return true;
}

bool TlsLibrariesLoaded() {
  std::lock_guard<std::recursive_mutex> Guard(ModuleLock());
  return Loaded;
}

void TlsBindModuleStart() {
  std::lock_guard<std::recursive_mutex> Guard(ModuleLock());
  ++ModuleStarts;
}

void TlsBindModuleEnd() {
  std::lock_guard<std::recursive_mutex> Guard(ModuleLock());
  if (ModuleStarts == 0 || --ModuleStarts > 0) return;
  UnloadTlsLibraries();
  TlsLibraryPath.clear();
  CryptoLibraryPath.clear();
  TlsLibraryName.clear();
  TlsLibraryAltName.clear();
  CryptoLibraryName.clear();
}

bool TlsEntryPointResolved(const std::string& Name) {
  std::lock_guard<std::recursive_mutex> Guard(ModuleLock());
  if (!LoadTlsLibraries()) return false;
  for (int Slot = 0; Slot < EEntryCount; ++Slot) {
    std::string_view Names = EntryRows[Slot].Names;
    if (Names == Name || (Names.size() > Name.size() && Names.substr(0, Name.size()) == Name && Names[Name.size()] == '|'))
      return Entries[Slot] != nullptr;
  }
  return false;
}

// ---- wrappers ----

int Ssl_get_error(void* Session, int Result) {
  auto Call = Entry<int (*)(void*, int)>(ESslGetError);
  return Call ? Call(Session, Result) : 1;
}

int Ssl_CTX_set_cipher_list(void* Context, const char* List) {
  auto Call = Entry<int (*)(void*, const char*)>(ESslCtxSetCipherList);
  return Call ? Call(Context, List) : 0;
}

void* Ssl_CTX_new(const void* Method) {
  auto Call = Entry<void* (*)(const void*)>(ESslCtxNew);
  return Call ? Call(Method) : nullptr;
}

void Ssl_CTX_free(void* Context) {
  if (auto Call = Entry<void (*)(void*)>(ESslCtxFree)) Call(Context);
}

int Ssl_set_fd(void* Session, int Handle) {
  auto Call = Entry<int (*)(void*, int)>(ESslSetFd);
  return Call ? Call(Session, Handle) : 0;
}

const void* SslV2_method() {
  auto Call = Entry<const void* (*)()>(ESslV2Method);
  return Call ? Call() : nullptr;
}

const void* SslV3_method() {
  auto Call = Entry<const void* (*)()>(ESslV3Method);
  return Call ? Call() : nullptr;
}

const void* TlsV1_method() {
  auto Call = Entry<const void* (*)()>(ETlsV1Method);
  return Call ? Call() : nullptr;
}

const void* SslV23_method() {
  auto Call = Entry<const void* (*)()>(ESslV23Method);
  return Call ? Call() : nullptr;
}

int Ssl_CTX_use_PrivateKey_file(void* Context, const char* File, int Type) {
  auto Call = Entry<int (*)(void*, const char*, int)>(ESslCtxUsePrivateKeyFile);
  return Call ? Call(Context, File, Type) : 0;
}

int Ssl_CTX_use_certificate_chain_file(void* Context, const char* File) {
  auto Call = Entry<int (*)(void*, const char*)>(ESslCtxUseCertificateChainFile);
  return Call ? Call(Context, File) : 0;
}

void Ssl_CTX_set_default_passwd_cb(void* Context, TPasswordCallback Callback) {
  if (auto Call = Entry<void (*)(void*, TPasswordCallback)>(ESslCtxSetDefaultPasswdCb)) Call(Context, Callback);
}

void Ssl_CTX_set_default_passwd_cb_userdata(void* Context, void* UserData) {
  if (auto Call = Entry<void (*)(void*, void*)>(ESslCtxSetDefaultPasswdCbUserdata)) Call(Context, UserData);
}

int Ssl_CTX_load_verify_locations(void* Context, const char* CaFile, const char* CaPath) {
  auto Call = Entry<int (*)(void*, const char*, const char*)>(ESslCtxLoadVerifyLocations);
  return Call ? Call(Context, CaFile, CaPath) : 0;
}

int Ssl_CTX_set_default_verify_paths(void* Context) {
  auto Call = Entry<int (*)(void*)>(ESslCtxSetDefaultVerifyPaths);
  return Call ? Call(Context) : 0;
}

void* Ssl_new(void* Context) {
  auto Call = Entry<void* (*)(void*)>(ESslNew);
  return Call ? Call(Context) : nullptr;
}

void Ssl_free(void* Session) {
  if (auto Call = Entry<void (*)(void*)>(ESslFree)) Call(Session);
}

int Ssl_connect(void* Session) {
  auto Call = Entry<int (*)(void*)>(ESslConnect);
  return Call ? Call(Session) : -1;
}

int Ssl_shutdown(void* Session) {
  auto Call = Entry<int (*)(void*)>(ESslShutdown);
  return Call ? Call(Session) : -1;
}

int Ssl_read(void* Session, void* Buffer, int Length) {
  auto Call = Entry<int (*)(void*, void*, int)>(ESslRead);
  return Call ? Call(Session, Buffer, Length) : -1;
}

int Ssl_write(void* Session, const void* Buffer, int Length) {
  auto Call = Entry<int (*)(void*, const void*, int)>(ESslWrite);
  return Call ? Call(Session, Buffer, Length) : -1;
}

int Ssl_pending(void* Session) {
  auto Call = Entry<int (*)(void*)>(ESslPending);
  return Call ? Call(Session) : 0;
}

void Ssl_CTX_set_verify(void* Context, int Mode, TVerifyCallback Callback) {
  if (auto Call = Entry<void (*)(void*, int, TVerifyCallback)>(ESslCtxSetVerify)) Call(Context, Mode, Callback);
}

void Ssl_set_verify(void* Session, int Mode, TVerifyCallback Callback) {
  if (auto Call = Entry<void (*)(void*, int, TVerifyCallback)>(ESslSetVerify)) Call(Session, Mode, Callback);
}

int Ssl_set_tlsext_host_name(void* Session, const char* Name) {
  auto Call = Entry<long (*)(void*, int, long, void*)>(ESslCtrl);
  return Call ? static_cast<int>(Call(Session, SslCtrlSetTlsextHostname, TlsextNametypeHostName,
                                      const_cast<char*>(Name)))
              : 0;
}

int Ssl_set1_host(void* Session, const char* Name) {
  // A numeric address must match an IP entry of the certificate, not a DNS one.
  // OpenSSL 3 makes that choice inside SSL_set1_host; doing it here as well keeps
  // 1.1 right too.
  auto GetParam = Entry<void* (*)(void*)>(ESslGet0Param);
  auto SetIp = Entry<int (*)(void*, const char*)>(EX509VerifyParamSet1IpAsc);
  if (GetParam && SetIp)
    if (void* Param = GetParam(Session); Param != nullptr && SetIp(Param, Name) == 1) return 1;
  auto Call = Entry<int (*)(void*, const char*)>(ESslSet1Host);
  return Call ? Call(Session, Name) : 0;
}

long Ssl_get_verify_result(void* Session) {
  auto Call = Entry<long (*)(const void*)>(ESslGetVerifyResult);
  return Call ? Call(Session) : 1;
}

const char* X509_verify_cert_error_text(long Code) {
  auto Call = Entry<const char* (*)(long)>(EX509VerifyCertErrorString);
  return Call ? Call(Code) : nullptr;
}

bool Ssl_peer_certificate_der(void* Session, std::string& Der) {
  Der.clear();
  auto Get = Entry<void* (*)(const void*)>(ESslGetPeerCertificate);
  auto Encode = Entry<int (*)(void*, unsigned char**)>(EI2dX509);
  auto Free = Entry<void (*)(void*)>(EX509Free);
  if (!Get || !Encode || !Free || Session == nullptr) return false;
  // Both names hand out a reference of the caller's, freed here.
  void* Certificate = Get(Session);
  if (Certificate == nullptr) return false;
  const int Size = Encode(Certificate, nullptr);
  if (Size > 0) {
    Der.resize(size_t(Size));
    unsigned char* At = reinterpret_cast<unsigned char*>(Der.data());
    if (Encode(Certificate, &At) != Size) Der.clear();
  }
  Free(Certificate);
  return !Der.empty();
}

namespace {

std::string NameText(void* Certificate, TEntry Which) {
  auto Get = Entry<void* (*)(const void*)>(Which);
  auto Oneline = Entry<char* (*)(const void*, char*, int)>(EX509NameOneline);
  if (!Get || !Oneline) return "";
  char Buffer[1024] = {};
  const void* Name = Get(Certificate);
  return Name && Oneline(Name, Buffer, int(sizeof Buffer)) ? std::string(Buffer) : "";
}

std::string TimeText(void* Certificate, TEntry Which) {
  auto Get = Entry<const void* (*)(const void*)>(Which);
  auto ToTm = Entry<int (*)(const void*, tm*)>(EAsn1TimeToTm);
  if (!Get || !ToTm) return "";
  tm When{};
  const void* Time = Get(Certificate);
  if (!Time || ToTm(Time, &When) != 1) return "";
  char Text[32];
  std::strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S UTC", &When);
  return Text;
}

}  // namespace

TTlsPeerInfo Ssl_peer_info(void* Session) {
  TTlsPeerInfo Info;
  if (Session == nullptr) return Info;
  if (auto Version = Entry<const char* (*)(const void*)>(ESslGetVersion))
    if (const char* Text = Version(Session)) Info.Protocol = Text;
  auto Cipher = Entry<const void* (*)(const void*)>(ESslGetCurrentCipher);
  auto CipherName = Entry<const char* (*)(const void*)>(ESslCipherGetName);
  if (Cipher && CipherName)
    if (const void* Current = Cipher(Session))
      if (const char* Text = CipherName(Current)) Info.Cipher = Text;
  auto Get = Entry<void* (*)(const void*)>(ESslGetPeerCertificate);
  auto Free = Entry<void (*)(void*)>(EX509Free);
  if (!Get || !Free) return Info;
  void* Certificate = Get(Session);
  if (Certificate == nullptr) return Info;
  Info.Subject = NameText(Certificate, EX509GetSubjectName);
  Info.Issuer = NameText(Certificate, EX509GetIssuerName);
  Info.NotBefore = TimeText(Certificate, EX509GetNotBefore);
  Info.NotAfter = TimeText(Certificate, EX509GetNotAfter);
  Free(Certificate);
  return Info;
}

char* Err_error_string(unsigned long Code, char* Buffer) {
  auto Call = Entry<char* (*)(unsigned long, char*)>(EErrErrorString);
  return Call ? Call(Code, Buffer) : nullptr;
}

unsigned long Err_get_error() {
  auto Call = Entry<unsigned long (*)()>(EErrGetError);
  return Call ? Call() : 1;
}

void Err_clear_error() {
  if (auto Call = Entry<void (*)()>(EErrClearError)) Call();
}

void Err_remove_state(unsigned long ThreadId) {
  // ERR_remove_thread_state takes a pointer where ERR_remove_state takes a
  // number; both ignore it in the releases that have both, and 0 is null.
  if (auto Call = Entry<void (*)(unsigned long)>(EErrRemoveState)) Call(ThreadId);
}

void Evp_cleanup() {
  if (auto Call = Entry<void (*)()>(EEvpCleanup)) Call();
}

void Crypto_cleanup_all_ex_data() {
  if (auto Call = Entry<void (*)()>(ECryptoCleanupAllExData)) Call();
}

// ---- digests for SCRAM ----

namespace {

constexpr unsigned Sha256Size = 32;
constexpr unsigned MaxDigestSize = 64;  // EVP_MAX_MD_SIZE

// The EVP_MD of SHA-256, or null when the library or its entry point is missing.
const void* Sha256Method() {
  auto Call = Entry<const void* (*)()>(EEvpSha256);
  return Call ? Call() : nullptr;
}

// The lengths OpenSSL takes as int.
bool FitsInt(std::size_t Size) { return Size <= static_cast<std::size_t>(INT_MAX); }

}  // namespace

bool CryptoSha256(const std::string& Data, std::string& Digest) {
  Digest.clear();
  auto Call = Entry<int (*)(const void*, std::size_t, unsigned char*, unsigned*, const void*, void*)>(EEvpDigest);
  const void* Method = Sha256Method();
  if (!Call || Method == nullptr) return false;
  unsigned char Out[MaxDigestSize];
  unsigned Size = 0;
  if (Call(Data.data(), Data.size(), Out, &Size, Method, nullptr) != 1 || Size != Sha256Size) return false;
  Digest.assign(reinterpret_cast<const char*>(Out), Size);
  return true;
}

bool CryptoHmacSha256(const std::string& Key, const std::string& Data, std::string& Mac) {
  Mac.clear();
  auto Call = Entry<unsigned char* (*)(const void*, const void*, int, const unsigned char*, std::size_t,
                                       unsigned char*, unsigned*)>(EHmac);
  const void* Method = Sha256Method();
  if (!Call || Method == nullptr || !FitsInt(Key.size())) return false;
  unsigned char Out[MaxDigestSize];
  unsigned Size = 0;
  // data() is never null, so an empty key or message is still a valid buffer.
  if (Call(Method, Key.data(), static_cast<int>(Key.size()), reinterpret_cast<const unsigned char*>(Data.data()),
           Data.size(), Out, &Size) == nullptr ||
      Size != Sha256Size)
    return false;
  Mac.assign(reinterpret_cast<const char*>(Out), Size);
  return true;
}

bool CryptoPbkdf2HmacSha256(const std::string& Password, const std::string& Salt, int Iterations, std::string& Key) {
  Key.clear();
  auto Call = Entry<int (*)(const char*, int, const unsigned char*, int, int, const void*, int, unsigned char*)>(
      EPkcs5Pbkdf2Hmac);
  const void* Method = Sha256Method();
  // A password length of -1 would make OpenSSL measure it up to a NUL, so only
  // real lengths go through.
  if (!Call || Method == nullptr || Iterations < 1 || !FitsInt(Password.size()) || !FitsInt(Salt.size()))
    return false;
  unsigned char Out[Sha256Size];
  if (Call(Password.data(), static_cast<int>(Password.size()), reinterpret_cast<const unsigned char*>(Salt.data()),
           static_cast<int>(Salt.size()), Iterations, Method, Sha256Size, Out) != 1)
    return false;
  Key.assign(reinterpret_cast<const char*>(Out), Sha256Size);
  return true;
}

}  // namespace quorrel
