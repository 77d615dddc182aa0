// Run-time binding to OpenSSL (libssl and libcrypto), loaded with dlopen the first
// time TLS is needed and never linked. Every wrapper loads the libraries first and
// returns a fixed fallback result when the library or its entry point is missing.
#pragma once

#include <string>

namespace quorrel {

// Library file names, tried in order: TLS library, crypto library, then the
// alternative TLS library. Settable so a test can point them at missing files;
// each may hold several names separated by ':' (tried in turn).
extern std::string TlsLibraryName;
extern std::string TlsLibraryAltName;
extern std::string CryptoLibraryName;
extern std::string TlsLibraryPath;
extern std::string CryptoLibraryPath;

bool LoadTlsLibraries();
bool UnloadTlsLibraries();
bool TlsLibrariesLoaded();
void TlsBindModuleStart();
void TlsBindModuleEnd();

// True when the named entry point was resolved from the loaded libraries (either
// under that name or under its newer equivalent). Loads the libraries first.
bool TlsEntryPointResolved(const std::string& Name);

using TPasswordCallback = int (*)(char*, int, int, void*);
using TVerifyCallback = int (*)(int, void*);

int Ssl_get_error(void* Session, int Result);                           // fallback 1
int Ssl_CTX_set_cipher_list(void* Context, const char* List);          // 0
void* Ssl_CTX_new(const void* Method);                                 // null
void Ssl_CTX_free(void* Context);
int Ssl_set_fd(void* Session, int Handle);                             // 0
const void* SslV2_method();                                            // null
const void* SslV3_method();                                            // null
const void* TlsV1_method();                                            // null
const void* SslV23_method();                                           // null: TLS_client_method on OpenSSL 1.1+
int Ssl_CTX_use_PrivateKey_file(void* Context, const char* File, int Type);  // 0
int Ssl_CTX_use_certificate_chain_file(void* Context, const char* File);    // 0
void Ssl_CTX_set_default_passwd_cb(void* Context, TPasswordCallback Callback);
void Ssl_CTX_set_default_passwd_cb_userdata(void* Context, void* UserData);
int Ssl_CTX_load_verify_locations(void* Context, const char* CaFile, const char* CaPath);  // 0
int Ssl_CTX_set_default_verify_paths(void* Context);                   // 0
void* Ssl_new(void* Context);                                          // null
void Ssl_free(void* Session);
int Ssl_connect(void* Session);                                        // -1
int Ssl_shutdown(void* Session);                                       // -1
int Ssl_read(void* Session, void* Buffer, int Length);                 // -1
int Ssl_write(void* Session, const void* Buffer, int Length);          // -1
int Ssl_pending(void* Session);                                        // 0
void Ssl_CTX_set_verify(void* Context, int Mode, TVerifyCallback Callback);
void Ssl_set_verify(void* Session, int Mode, TVerifyCallback Callback);
// Server name for SNI (an SSL_ctrl call underneath), and the host name or
// numeric address the peer certificate must match.
int Ssl_set_tlsext_host_name(void* Session, const char* Name);         // 0
int Ssl_set1_host(void* Session, const char* Name);                    // 0
long Ssl_get_verify_result(void* Session);                             // 1 (X509_V_ERR_UNSPECIFIED)
const char* X509_verify_cert_error_text(long Code);                    // null
// What a session's peer showed, for a report: empty fields where the library
// cannot say.
struct TTlsPeerInfo {
  std::string Protocol, Cipher;  // "TLSv1.3", "TLS_AES_256_GCM_SHA384"
  std::string Subject, Issuer;   // "/CN=pop.example.org"
  std::string NotBefore, NotAfter;  // "2026-12-09 03:10:00 UTC"
};
TTlsPeerInfo Ssl_peer_info(void* Session);
// The peer's certificate as DER; false (Der empty) without one or without the
// entry points.
bool Ssl_peer_certificate_der(void* Session, std::string& Der);
char* Err_error_string(unsigned long Code, char* Buffer);              // null
unsigned long Err_get_error();                                         // 1
void Err_clear_error();
void Err_remove_state(unsigned long ThreadId);
void Evp_cleanup();
void Crypto_cleanup_all_ex_data();

// SHA-256 digests, HMAC-SHA-256 codes and PBKDF2-HMAC-SHA-256 keys, 32 raw bytes
// each, for SCRAM logins. False, with the result left empty, when the crypto
// library or an entry point is missing or the call fails (PBKDF2 also for fewer
// than one iteration).
bool CryptoSha256(const std::string& Data, std::string& Digest);
bool CryptoHmacSha256(const std::string& Key, const std::string& Data, std::string& Mac);
bool CryptoPbkdf2HmacSha256(const std::string& Password, const std::string& Salt, int Iterations, std::string& Key);

}  // namespace quorrel
