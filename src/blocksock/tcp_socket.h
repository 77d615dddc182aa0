// TTCPBlockSocket: the stream socket that protocol clients use. It connects
// directly, through a SOCKS server or through an HTTP CONNECT tunnel, can carry
// its connection inside TLS (OpenSSL bound at run time), listens directly or
// through SOCKS BIND, and closes gracefully.
//
// Outcomes follow TBlockSocket: LastErrorCode (0 = success), raised only with
// RaiseOnError. TLS failures add OpenSSL's own code and text in TlsLastError and
// TlsLastErrorText. Time-outs are in milliseconds.
#pragma once

#include <memory>

#include "blocksock/socks_socket.h"
#include "tlsbind/tlsbind.h"

namespace quorrel {

// Bounds on an HTTP proxy's reply head (status line, header lines and the empty
// line that ends it): past them the connect fails with 10091.
constexpr int32_t TunnelReplyMaxLineBytes = 4096;  // one line with its LF
constexpr int TunnelReplyMaxLines = 64;
constexpr int64_t TunnelReplyMaxBytes = 16384;

enum TTlsProtocol : uint8_t { Ssl2Only = 0, Ssl3Only = 1, Tls1Only = 2, AnyTlsVersion = 3 };

// OpenSSL's session and context, each freed by its own free function.
struct TTlsSessionFree {
  void operator()(void* Session) const;
};
struct TTlsContextFree {
  void operator()(void* Context) const;
};
using TTlsSession = std::unique_ptr<void, TTlsSessionFree>;
using TTlsContext = std::unique_ptr<void, TTlsContextFree>;

class TTCPBlockSocket : public TSocksBlockSocket {
 public:
  TTCPBlockSocket();
  ~TTCPBlockSocket() override;

  // ---- overrides, in slot order ----
  // Ends TLS with close-notify (each side waited for at most a second), shuts
  // down sending, drains what the peer still sends, then closes.
  void CloseSocket() override;
  // Through the SOCKS server when SocksProxyHost is set, else through the HTTP
  // proxy when TunnelProxyHost is set, else directly; then the TLS handshake
  // when TLS is on. A failed connect or handshake leaves TLS off.
  void Connect(const std::string& Host, const std::string& Port) override;
  // With TLS in force these go through the TLS session, with the same counts,
  // filters, reports and error codes as the plain path (a failure inside TLS
  // is 10091; a peer's close-notify reads as 0 bytes without an error).
  int SendBytes(const void* Buffer, int Count) override;
  int ReceiveRaw(void* Buffer, int Count) override;
  // Decrypted bytes waiting in the TLS session, else the OS count.
  int PendingBytes() override;
  std::string LocalAddressText() override;
  std::string RemoteAddressText() override;
  int LocalPortNumber() override;
  int RemotePortNumber() override;
  int SocketType() override;
  int SocketProtocol() override;
  // ---- added after all inherited virtual operations ----
  // Listens on the bound address, or asks the SOCKS server to (BIND); the
  // address the peer must reach is then LocalAddressText/LocalPortNumber.
  virtual void Listen();

  // Connect's proxy paths; a failed dialogue is 10091, or the error that broke
  // it. An HTTP proxy that broke the reply bounds or ran out of time is
  // disconnected.
  void SocksConnect(const std::string& Host, const std::string& Port);
  void TunnelConnect(const std::string& Host, const std::string& Port);

  // TLS
  // On: makes the context and the session from the Tls* settings (10043 when
  // OpenSSL is missing or refuses, 10022 when the certificate, key or CA file
  // cannot be loaded; TLS then stays off). Off: frees both. Either way empties
  // ReadBuffer; asking for the state in force changes nothing.
  void SetTlsActive(bool On);
  // The client handshake on the open connection (switching TLS on first), with
  // SNI for names and peer verification when TlsVerifyPeer. Clear bytes already
  // buffered refuse it (10091, the connection stays in clear with them); a
  // failed handshake is 10091 and leaves TLS off.
  void StartTlsClient();
  // Close-notify, then TLS off; the TCP connection stays open.
  void ShutdownTls();
  // Takes the oldest OpenSSL error into TlsLastError and TlsLastErrorText and
  // empties the queue; true when there was none.
  bool FetchTlsError();
  // Loads TlsCertificateFile, TlsPrivateKeyFile and TlsCaFile into the context;
  // false (with FetchTlsError done) at the first that fails.
  bool LoadTlsCredentials();
  // Whether transfers go through TLS now: not while passing through or while a
  // proxy dialogue runs in clear.
  bool TlsPathInForce() const { return TlsActive && !TlsPassThrough && !ProxyNegotiating; }

  // ---- for line protocols that match replies to commands by their order ----
  // Forgets every byte received and not handed out, and the partner of a line
  // end still expected.
  void DiscardBuffered();
  // Closes and discards buffered input; a failure that led here stays in
  // LastErrorCode and LastErrorText. Abandon does the same but never raises,
  // also when a hook throws.
  void CloseKeepingFailure();
  void Abandon();
  // True when nothing unread waits: no buffered bytes and, in clear, none in
  // the OS (under TLS the OS may hold records without data, so only decrypted
  // bytes count). The partner of a line end split between two packets may still
  // come; it is dropped. False after a receive failure too.
  bool NothingUnread();
  // The next line without its line end, of at most Longest bytes (1 or more).
  // A longer line fails (false) unless Dropped is given: then its start is kept
  // in Line, the rest is read, dropped and counted in *Dropped, and the read
  // fails once *Dropped passes MaxDropped. Other failures as ReceiveLine; a
  // failed read leaves Line empty or cut.
  bool ReceiveBoundedLine(int Timeout, int32_t Longest, std::string& Line, int64_t* Dropped, int64_t MaxDropped);

  // ---- settings: TLS, then the HTTP tunnel ----
  bool TlsPassThrough = false;
  std::string TlsKeyPassword;
  std::string TlsCipherList = "DEFAULT";
  std::string TlsCertificateFile;
  std::string TlsPrivateKeyFile;
  std::string TlsCaFile;
  bool TlsVerifyPeer = false;
  TTlsProtocol TlsProtocol = AnyTlsVersion;
  // Name the peer's certificate must match when TlsVerifyPeer is set; empty =
  // the host given to the last Connect.
  std::string TlsVerifyHost;
  // SHA-256 fingerprints of the certificates the peer may show (64 hex digits
  // each, any case, colons allowed). Where there are any, the peer's
  // certificate must have one of them, and the chain and name are not checked
  // against the trust store: a self-signed server is reached this way.
  std::vector<std::string> TlsPinnedFingerprints;
  // For a report on the server: the peer is checked as TlsVerifyPeer would
  // check it (or against the pins), but the handshake goes on whatever the
  // result, which the fields below then hold.
  bool TlsVerifyReportOnly = false;
  std::string TunnelProxyHost;
  std::string TunnelProxyPort;
  std::string TunnelUser;
  std::string TunnelPassword;
  int32_t TunnelTimeoutMs = 30000;  // for the proxy's whole reply; -1 = no limit

  // ---- results ----
  int32_t TlsLastError = 0;
  std::string TlsLastErrorText;
  // The SHA-256 fingerprint of the certificate the peer showed in the last
  // handshake, as "AB:CD:..."; empty when it could not be read.
  std::string TlsPeerFingerprint;
  TTlsPeerInfo TlsPeer;      // protocol, cipher, subject, issuer, validity
  long TlsVerifyResult = -1;  // 0: chain and name checked out; -1: not checked
  std::string TlsVerifyText;  // why not, in the library's words
  bool TlsPinMatched = false;
  bool TunnelEstablished = false;
  std::string TunnelTargetHost;
  std::string TunnelTargetPort;

  // ---- internal state ----
  bool TlsActive = false;
  TTlsSession TlsSession;  // both held while TLS is on, none while it is off
  TTlsContext TlsContext;

 private:
  template <class TCall>
  int TlsTransfer(TCall Call, int CallTimeoutMs);
  void ApplyVerifySettings();
  // Makes the context and the session and switches TLS on; else the error code
  // (TLS stays off, nothing is kept).
  int32_t OpenTls();
  // Frees the session and the context and switches TLS off; LastErrorCode and
  // ReadBuffer stay as they are.
  void ReleaseTls();
  void ReleaseTlsContext();

  std::string TlsCaFileLoaded;  // CA file the context holds already
  bool TlsSystemStoreLoaded = false;

  std::string ConnectHost;  // host text of the last Connect, for SNI and name checks
};

// OpenSSL's pass-phrase callback; UserData is the socket.
int TlsPasswordCallback(char* Buffer, int Size, int ReadWrite, void* UserData);

}  // namespace quorrel
