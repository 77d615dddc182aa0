// TLS of TTCPBlockSocket: switching TLS on and off, the client handshake, the
// close, OpenSSL's error queue and the TLS path of sending and receiving. OpenSSL
// is reached only through the run-time binding of tlsbind.
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "blocksock/tcp_socket.h"
#include "netutil/cleanup.h"
#include "netutil/netutil.h"
#include "tlsbind/tlsbind.h"

namespace quorrel {

namespace {

constexpr int SslErrorNone = 0;
constexpr int SslErrorWantRead = 2;
constexpr int SslErrorWantWrite = 3;
constexpr int SslErrorZeroReturn = 6;
constexpr int SslVerifyNone = 0;

// A fingerprint as 64 lower-case hex digits, whatever its case and colons;
// "" when it is none.
std::string PlainFingerprint(const std::string& Text) {
  std::string Out;
  for (char C : Text) {
    if (C == ':') continue;
    if (C >= 'A' && C <= 'F') C = char(C - 'A' + 'a');
    if (!((C >= '0' && C <= '9') || (C >= 'a' && C <= 'f'))) return "";
    Out += C;
  }
  return Out.size() == 64 ? Out : "";
}

std::string ColonFingerprint(const std::string& Plain) {
  std::string Out;
  for (size_t I = 0; I < Plain.size(); I += 2) {
    if (I) Out += ':';
    Out += char(std::toupper(static_cast<unsigned char>(Plain[I])));
    Out += char(std::toupper(static_cast<unsigned char>(Plain[I + 1])));
  }
  return Out;
}

std::string PeerFingerprint(void* Session) {
  std::string Der, Digest;
  if (!Ssl_peer_certificate_der(Session, Der) || !CryptoSha256(Der, Digest)) return "";
  static const char* const Hex = "0123456789abcdef";
  std::string Plain;
  for (unsigned char B : Digest) {
    Plain += Hex[B >> 4];
    Plain += Hex[B & 15];
  }
  return ColonFingerprint(Plain);
}

bool IsPinned(const std::string& Fingerprint, const std::vector<std::string>& Pins) {
  const std::string Plain = PlainFingerprint(Fingerprint);
  return !Plain.empty() &&
         std::any_of(Pins.begin(), Pins.end(), [&](const std::string& Pin) { return PlainFingerprint(Pin) == Plain; });
}

std::string PinnedList(const std::vector<std::string>& Pins) {
  std::string Out;
  for (const std::string& Pin : Pins) Out += (Out.empty() ? "" : ", ") + ColonFingerprint(PlainFingerprint(Pin));
  return Out;
}
constexpr int SslVerifyPeer = 1;
constexpr int SslFiletypePem = 1;
// How long a close waits for the peer's answer to our close-notify. A peer that
// keeps the connection open without answering must not hold the close forever.
constexpr long CloseNotifyWaitMs = 1000;

// OpenSSL writes to the socket with plain write(), which raises SIGPIPE when the
// peer has gone and would end the process. While an OpenSSL call runs, SIGPIPE is
// blocked for this thread; one that the call raised is taken back before the
// mask is restored, so the failure shows only as the call's error result.
class TSigPipeGuard {
 public:
  TSigPipeGuard() {
    sigset_t Pipe;
    sigemptyset(&Pipe);
    sigaddset(&Pipe, SIGPIPE);
    sigset_t Pending;
    sigpending(&Pending);
    WasPending = sigismember(&Pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &Pipe, &OldMask);
  }
  ~TSigPipeGuard() {
    if (!WasPending) {
      sigset_t Pending;
      sigpending(&Pending);
      if (sigismember(&Pending, SIGPIPE) == 1) {
        sigset_t Pipe;
        sigemptyset(&Pipe);
        sigaddset(&Pipe, SIGPIPE);
        timespec Zero{0, 0};
        sigtimedwait(&Pipe, nullptr, &Zero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &OldMask, nullptr);
  }
  TSigPipeGuard(const TSigPipeGuard&) = delete;
  TSigPipeGuard& operator=(const TSigPipeGuard&) = delete;

 private:
  sigset_t OldMask;
  bool WasPending = false;
};

// OpenSSL reads and writes the socket itself. On a socket in blocking mode a
// record that stops half-way would hold it inside read() for as long as the peer
// stays quiet, and the OS time-outs would only make it ask again. The socket is
// therefore non-blocking for the length of one OpenSSL call, and the transfer
// loop does the waiting, with the time-outs that apply.
class TNonBlockingScope {
 public:
  TNonBlockingScope(TSocketHandle Handle, bool Needed) : Handle(Handle), Active(Needed) {
    if (Active) Active = OsSetNonBlocking(Handle, true) == 0;
  }
  ~TNonBlockingScope() {
    if (Active) OsSetNonBlocking(Handle, false);
  }
  TNonBlockingScope(const TNonBlockingScope&) = delete;
  TNonBlockingScope& operator=(const TNonBlockingScope&) = delete;

 private:
  TSocketHandle Handle;
  bool Active;
};

const void* MethodOf(TTlsProtocol Protocol) {
  switch (Protocol) {
    case Ssl2Only: return SslV2_method();
    case Ssl3Only: return SslV3_method();
    case Tls1Only: return TlsV1_method();
    case AnyTlsVersion: return SslV23_method();
  }
  return nullptr;
}

bool IsNumericHost(const std::string& Host) {
  return IsIPv4Text(Host) || IsIPv6Text(Host) || (Host.size() > 2 && Host.front() == '[');
}

}  // namespace

void TTlsSessionFree::operator()(void* Session) const { Ssl_free(Session); }

void TTlsContextFree::operator()(void* Context) const { Ssl_CTX_free(Context); }

void TTCPBlockSocket::SetTlsActive(bool On) {
  LastErrorCode = 0;
  if (On != TlsActive) {
    ReadBuffer.clear();
    if (On)
      LastErrorCode = OpenTls();
    else
      ReleaseTls();
  }
  CheckError();
}

int32_t TTCPBlockSocket::OpenTls() {
  TlsLastErrorText.clear();
  TlsLastError = 0;
  if (!LoadTlsLibraries()) return ErrProtocolNotSupported;
  // Errors left over from earlier calls on this thread must not be taken for
  // the failures of this session.
  Err_clear_error();
  // An unknown protocol selects no method, and so makes no context.
  const void* Method = MethodOf(TlsProtocol);
  TlsContext.reset(Method != nullptr ? Ssl_CTX_new(Method) : nullptr);
  if (!TlsContext) {
    FetchTlsError();
    return ErrProtocolNotSupported;
  }
  TCleanup DropContext([this] { ReleaseTlsContext(); });
  Ssl_CTX_set_cipher_list(TlsContext.get(), TlsCipherList.c_str());
  Ssl_CTX_set_verify(TlsContext.get(), TlsVerifyPeer ? SslVerifyPeer : SslVerifyNone, nullptr);
  Ssl_CTX_set_default_passwd_cb(TlsContext.get(), TlsPasswordCallback);
  Ssl_CTX_set_default_passwd_cb_userdata(TlsContext.get(), this);
  if (!LoadTlsCredentials()) return ErrInvalidArgument;
  TlsSession.reset(Ssl_new(TlsContext.get()));
  if (!TlsSession) {
    FetchTlsError();
    return ErrProtocolNotSupported;
  }
  DropContext.Cancel();
  TlsActive = true;
  return 0;
}

void TTCPBlockSocket::ReleaseTlsContext() {
  TlsContext.reset();
  TlsCaFileLoaded.clear();
  TlsSystemStoreLoaded = false;
}

void TTCPBlockSocket::ReleaseTls() {
  TlsSession.reset();
  ReleaseTlsContext();
  // Releases this thread's error state on old releases; newer ones keep the
  // queue, so it is emptied explicitly (a failed close leaves entries).
  Err_remove_state(0);
  Err_clear_error();
  TlsActive = false;
}

void TTCPBlockSocket::ApplyVerifySettings() {
  // The session took the context's verify mode when it was made; settings
  // changed since then count from this handshake on.
  Ssl_set_verify(TlsSession.get(), TlsVerifyPeer ? SslVerifyPeer : SslVerifyNone, nullptr);
  if (!TlsVerifyPeer) return;
  if (!TlsCaFile.empty()) {
    if (TlsCaFile == TlsCaFileLoaded) return;
    if (Ssl_CTX_load_verify_locations(TlsContext.get(), TlsCaFile.c_str(), nullptr) != 1) {
      FetchTlsError();
      LastErrorCode = ErrInvalidArgument;
      return;
    }
    TlsCaFileLoaded = TlsCaFile;
  } else if (!TlsSystemStoreLoaded) {
    Ssl_CTX_set_default_verify_paths(TlsContext.get());
    Err_clear_error();
    TlsSystemStoreLoaded = true;
  }
}

bool TTCPBlockSocket::LoadTlsCredentials() {
  if (!TlsContext) return false;
  if (!TlsCertificateFile.empty() &&
      Ssl_CTX_use_certificate_chain_file(TlsContext.get(), TlsCertificateFile.c_str()) != 1) {
    FetchTlsError();
    return false;
  }
  if (!TlsPrivateKeyFile.empty() &&
      Ssl_CTX_use_PrivateKey_file(TlsContext.get(), TlsPrivateKeyFile.c_str(), SslFiletypePem) != 1) {
    FetchTlsError();
    return false;
  }
  if (!TlsCaFile.empty()) {
    if (Ssl_CTX_load_verify_locations(TlsContext.get(), TlsCaFile.c_str(), nullptr) != 1) {
      FetchTlsError();
      return false;
    }
    TlsCaFileLoaded = TlsCaFile;
  } else if (TlsVerifyPeer) {
    // Verification without a CA file of our own trusts the system's store. A
    // system without one fails later, at the handshake, with the reason.
    Ssl_CTX_set_default_verify_paths(TlsContext.get());
    Err_clear_error();
    TlsSystemStoreLoaded = true;
  }
  return true;
}

int TlsPasswordCallback(char* Buffer, int Size, int, void* UserData) {
  if (Buffer == nullptr || Size <= 0) return 0;
  const auto* Socket = static_cast<const TTCPBlockSocket*>(UserData);
  std::string Password = Socket != nullptr ? Socket->TlsKeyPassword : std::string();
  if (Password.size() > static_cast<size_t>(Size - 1)) Password.resize(Size - 1);
  std::memcpy(Buffer, Password.data(), Password.size());
  Buffer[Password.size()] = 0;
  return static_cast<int>(Password.size());
}

bool TTCPBlockSocket::FetchTlsError() {
  TlsLastErrorText.clear();
  TlsLastError = static_cast<int32_t>(Err_get_error());
  Err_clear_error();
  if (TlsLastError == 0) return true;
  char Text[256] = {};
  if (Err_error_string(static_cast<unsigned long>(static_cast<uint32_t>(TlsLastError)), Text) != nullptr)
    TlsLastErrorText.assign(Text, strnlen(Text, sizeof(Text)));
  return false;
}

void TTCPBlockSocket::StartTlsClient() {
  LastErrorCode = 0;
  // Bytes already buffered came in clear, before the handshake (behind a proxy's
  // reply, or behind the answer to a command that starts TLS). They were never
  // protected and must not be handed out as the TLS peer's data, so the
  // handshake is refused; the connection stays as it was, in clear, with them.
  if (!ReadBuffer.empty()) {
    TlsLastError = 0;
    TlsLastErrorText = "clear bytes arrived before the TLS handshake";
    LastErrorCode = ErrSubsystemUnusable;
    if (TlsActive) ReleaseTls();
    CheckError();
    return;
  }
  // A lone line break before the handshake says nothing about the first bytes
  // that come through TLS.
  SkipLeadingLF = false;
  SkipLeadingCR = false;
  if (!TlsActive) SetTlsActive(true);
  if (LastErrorCode == 0 && Ssl_set_fd(TlsSession.get(), SocketHandle) < 1) {
    LastErrorCode = ErrSubsystemUnusable;
    FetchTlsError();
  }
  // A pinned certificate is checked by its fingerprint, not by the store. A
  // report checks the chain and the name as well but only notes the result,
  // and the handshake goes on whatever it is.
  const bool Pinned = !TlsPinnedFingerprints.empty();
  const bool Checked = (TlsVerifyPeer || TlsVerifyReportOnly) && !Pinned;
  const bool MustPass = Checked && !TlsVerifyReportOnly;
  const bool VerifyPeer = TlsVerifyPeer;
  TlsVerifyPeer = Checked;
  if (LastErrorCode == 0) ApplyVerifySettings();
  TlsVerifyPeer = VerifyPeer;
  if (LastErrorCode == 0 && Checked && !MustPass) Ssl_set_verify(TlsSession.get(), SslVerifyNone, nullptr);
  TlsPeerFingerprint.clear();
  TlsVerifyResult = -1;
  TlsVerifyText.clear();
  TlsPinMatched = false;
  TlsPeer = {};
  if (LastErrorCode == 0) {
    // The server name goes out only for names: numeric addresses are not
    // allowed in the server-name extension.
    if (!ConnectHost.empty() && !IsNumericHost(ConnectHost))
      Ssl_set_tlsext_host_name(TlsSession.get(), ConnectHost.c_str());
    if (Checked) {
      const std::string& Expected = TlsVerifyHost.empty() ? ConnectHost : TlsVerifyHost;
      // Without a name to check, only the chain is verified. A library that
      // cannot check names must not let an unchecked peer pass.
      if (!Expected.empty() && Ssl_set1_host(TlsSession.get(), Expected.c_str()) != 1) {
        LastErrorCode = ErrSubsystemUnusable;
        FetchTlsError();
      }
    }
  }
  if (LastErrorCode == 0) {
    // Bounded by the OS time-outs of the socket only: the handshake has none of
    // its own.
    int Result = TlsTransfer([&] { return Ssl_connect(TlsSession.get()); }, -1);
    if (Result < 1) {
      if (LastErrorCode == 0 || LastErrorCode == ErrSubsystemUnusable) {
        LastErrorCode = ErrSubsystemUnusable;
        FetchTlsError();
      }
      long Verify = MustPass ? Ssl_get_verify_result(TlsSession.get()) : 0;
      if (Verify != 0)
        if (const char* Reason = X509_verify_cert_error_text(Verify))
          TlsLastErrorText += (TlsLastErrorText.empty() ? "" : ": ") + std::string(Reason);
    } else {
      TlsPeerFingerprint = PeerFingerprint(TlsSession.get());
      TlsPeer = Ssl_peer_info(TlsSession.get());
      if (Checked) {
        TlsVerifyResult = Ssl_get_verify_result(TlsSession.get());
        if (TlsVerifyResult != 0)
          if (const char* Reason = X509_verify_cert_error_text(TlsVerifyResult)) TlsVerifyText = Reason;
      }
      TlsPinMatched = Pinned && IsPinned(TlsPeerFingerprint, TlsPinnedFingerprints);
      if (Pinned && !TlsPinMatched && !TlsVerifyReportOnly) {
        LastErrorCode = ErrSubsystemUnusable;
        TlsLastError = 0;
        TlsLastErrorText = TlsPeerFingerprint.empty()
                               ? "the server's certificate could not be read to check its fingerprint"
                               : "the server's certificate has the SHA-256 fingerprint " + TlsPeerFingerprint +
                                     "; pinned: " + PinnedList(TlsPinnedFingerprints);
      }
    }
  }
  if (LastErrorCode != 0) {
    ReadBuffer.clear();
    ReleaseTls();
  }
  CheckError();
}

void TTCPBlockSocket::ShutdownTls() {
  LastErrorCode = 0;
  if (TlsSession && HasSocket()) {
    // Our close-notify, then the peer's, each only while the peer keeps up: a
    // peer that stalls (or sends half a record) must not hold the close. The
    // results are not used either way.
    const auto Shutdown = [this] { return Ssl_shutdown(TlsSession.get()); };
    if (TlsTransfer(Shutdown, CloseNotifyWaitMs) == 0) TlsTransfer(Shutdown, CloseNotifyWaitMs);
    LastErrorCode = 0;
  }
  SetTlsActive(false);
  CheckError();
}

// ---- sending and receiving ----

// One OpenSSL call on the socket, repeated while OpenSSL wants to read or write
// more, after waiting until it can. Each wait is bounded by the OS time-out of
// its direction (as a blocking read or write would be) and all of them together
// by CallTimeoutMs (-1 = none); running out is 10060. A socket its owner put
// into non-blocking mode gets 10035 instead of a wait. A close-notify gives 0,
// any other failure 10091.
template <class TCall>
int TTCPBlockSocket::TlsTransfer(TCall Call, int CallTimeoutMs) {
  TSigPipeGuard Guard;
  // A stale entry in the error queue would turn a would-block or a close into a
  // failure in SSL_get_error.
  Err_clear_error();
  const bool OwnerNonBlocking = InNonBlockingMode();
  TNonBlockingScope NonBlocking(SocketHandle, !OwnerNonBlocking);
  const uint32_t Start = CurrentTick();
  for (;;) {
    int Result = Call();
    int Error = Ssl_get_error(TlsSession.get(), Result);
    if (Error == SslErrorWantRead || Error == SslErrorWantWrite) {
      if (OwnerNonBlocking) {
        LastErrorCode = ErrWouldBlock;
        return SocketError;
      }
      const bool ForWrite = Error == SslErrorWantWrite;
      int64_t WaitMs = OsTimeoutMs(!ForWrite);
      if (WaitMs <= 0) WaitMs = -1;
      if (CallTimeoutMs >= 0) {
        int64_t Left = CallTimeoutMs - static_cast<int64_t>(TickDifference(Start, CurrentTick()));
        if (Left < 0) Left = 0;
        if (WaitMs < 0 || Left < WaitMs) WaitMs = Left;
      }
      const int Ready = OsWaitSocket(SocketHandle, ForWrite, static_cast<int>(WaitMs));
      if (Ready > 0) continue;
      LastErrorCode = Ready == 0 ? ErrTimedOut : WSAGetLastError();
      return SocketError;
    }
    if (Error == SslErrorZeroReturn) return 0;
    if (Error != SslErrorNone) LastErrorCode = ErrSubsystemUnusable;
    return Result;
  }
}

int TTCPBlockSocket::SendBytes(const void* Buffer, int Count) {
  if (!TlsPathInForce()) return TBlockSocket::SendBytes(Buffer, Count);
  if (Count < 0) return RefuseCount();
  LastErrorCode = 0;
  std::string Filtered;
  const void* Data = FilterForSend(Buffer, Count, Filtered);
  int Result = 0;
  // OpenSSL leaves the outcome of a 0-byte write undefined; nothing is sent.
  if (Count > 0) Result = TlsTransfer([&] { return Ssl_write(TlsSession.get(), Data, Count); }, -1);
  return FinishSend(Result);
}

int TTCPBlockSocket::ReceiveRaw(void* Buffer, int Count) {
  if (!TlsPathInForce()) return TBlockSocket::ReceiveRaw(Buffer, Count);
  if (Count < 0) return RefuseCount();
  LastErrorCode = 0;
  int Result = 0;
  if (Count > 0) {
    // A read may have to answer the peer too (a key update).
    Result = TlsTransfer([&] { return Ssl_read(TlsSession.get(), Buffer, Count); }, RawReceiveTimeout);
  }
  return FinishReceive(Result, Buffer);
}

int TTCPBlockSocket::PendingBytes() {
  if (!TlsPathInForce()) return TBlockSocket::PendingBytes();
  int Result = Ssl_pending(TlsSession.get());
  return Result > 0 ? Result : TBlockSocket::PendingBytes();
}

}  // namespace quorrel
