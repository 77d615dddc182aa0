// TLS of TTCPBlockSocket: switching TLS on and off, the client handshake, the
// close, OpenSSL's error queue and the TLS path of sending and receiving. OpenSSL
// is reached only through the run-time binding of tlsbind.
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "blocksock/tcp_socket.h"
#include "netutil/netutil.h"
#include "tlsbind/tlsbind.h"

namespace {

constexpr int SslErrorNone = 0;
constexpr int SslErrorWantRead = 2;
constexpr int SslErrorWantWrite = 3;
constexpr int SslErrorZeroReturn = 6;
constexpr int SslVerifyNone = 0;
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

void TTCPBlockSocket::SetTlsActive(bool On) {
  LastErrorCode = 0;
  if (On != TlsActive) {
    if (On) {
      ReadBuffer.clear();
      TlsLastErrorText.clear();
      TlsLastError = 0;
      if (!LoadTlsLibraries()) {
        LastErrorCode = ErrProtocolNotSupported;
      } else {
        // Errors left over from earlier calls on this thread must not be taken
        // for the failures of this session.
        Err_clear_error();
        // An unknown protocol selects no method, and so makes no context.
        const void* Method = MethodOf(TlsProtocol);
        TlsContext = Method != nullptr ? Ssl_CTX_new(Method) : nullptr;
        if (TlsContext == nullptr) {
          FetchTlsError();
          LastErrorCode = ErrProtocolNotSupported;
        } else {
          Ssl_CTX_set_cipher_list(TlsContext, TlsCipherList.c_str());
          Ssl_CTX_set_verify(TlsContext, TlsVerifyPeer ? SslVerifyPeer : SslVerifyNone, nullptr);
          Ssl_CTX_set_default_passwd_cb(TlsContext, TlsPasswordCallback);
          Ssl_CTX_set_default_passwd_cb_userdata(TlsContext, this);
          if (!LoadTlsCredentials()) {
            LastErrorCode = ErrInvalidArgument;
          } else {
            TlsSession = Ssl_new(TlsContext);
            if (TlsSession == nullptr) {
              FetchTlsError();
              LastErrorCode = ErrProtocolNotSupported;
            } else {
              TlsActive = true;
            }
          }
        }
        if (!TlsActive && TlsContext != nullptr) {
          Ssl_CTX_free(TlsContext);
          TlsContext = nullptr;
        }
      }
    } else {
      ReadBuffer.clear();
      Ssl_free(TlsSession);
      TlsSession = nullptr;
      Ssl_CTX_free(TlsContext);
      TlsContext = nullptr;
      // Releases this thread's error state on old releases; newer ones keep the
      // queue, so it is emptied explicitly (a failed close leaves entries).
      Err_remove_state(0);
      Err_clear_error();
      TlsActive = false;
    }
  }
  CheckError();
}

bool TTCPBlockSocket::LoadTlsCredentials() {
  if (TlsContext == nullptr) return false;
  if (!TlsCertificateFile.empty() &&
      Ssl_CTX_use_certificate_chain_file(TlsContext, TlsCertificateFile.c_str()) != 1) {
    FetchTlsError();
    return false;
  }
  if (!TlsPrivateKeyFile.empty() &&
      Ssl_CTX_use_PrivateKey_file(TlsContext, TlsPrivateKeyFile.c_str(), SslFiletypePem) != 1) {
    FetchTlsError();
    return false;
  }
  if (!TlsCaFile.empty()) {
    if (Ssl_CTX_load_verify_locations(TlsContext, TlsCaFile.c_str(), nullptr) != 1) {
      FetchTlsError();
      return false;
    }
  } else if (TlsVerifyPeer) {
    // Verification without a CA file of our own trusts the system's store. A
    // system without one fails later, at the handshake, with the reason.
    Ssl_CTX_set_default_verify_paths(TlsContext);
    Err_clear_error();
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
  if (!TlsActive) SetTlsActive(true);
  if (LastErrorCode == 0 && Ssl_set_fd(TlsSession, SocketHandle) < 1) {
    LastErrorCode = ErrSubsystemUnusable;
    FetchTlsError();
  }
  if (LastErrorCode == 0) {
    // The server name goes out only for names: numeric addresses are not
    // allowed in the server-name extension.
    if (!ConnectHost.empty() && !IsNumericHost(ConnectHost))
      Ssl_set_tlsext_host_name(TlsSession, ConnectHost.c_str());
    if (TlsVerifyPeer) {
      const std::string& Expected = TlsVerifyHost.empty() ? ConnectHost : TlsVerifyHost;
      // Without a name to check, only the chain is verified. A library that
      // cannot check names must not let an unchecked peer pass.
      if (!Expected.empty() && Ssl_set1_host(TlsSession, Expected.c_str()) != 1) {
        LastErrorCode = ErrSubsystemUnusable;
        FetchTlsError();
      }
    }
  }
  if (LastErrorCode == 0) {
    int Result;
    {
      TSigPipeGuard Guard;
      Result = Ssl_connect(TlsSession);
    }
    if (Result < 1) {
      LastErrorCode = ErrSubsystemUnusable;
      FetchTlsError();
      long Verify = TlsVerifyPeer ? Ssl_get_verify_result(TlsSession) : 0;
      if (Verify != 0)
        if (const char* Reason = X509_verify_cert_error_text(Verify))
          TlsLastErrorText += (TlsLastErrorText.empty() ? "" : ": ") + std::string(Reason);
    }
  }
  if (LastErrorCode != 0) {
    int32_t Kept = LastErrorCode;
    SetTlsActive(false);
    LastErrorCode = Kept;
  }
  CheckError();
}

void TTCPBlockSocket::ShutdownTls() {
  LastErrorCode = 0;
  if (TlsSession != nullptr) {
    TSigPipeGuard Guard;
    if (Ssl_shutdown(TlsSession) == 0 && HasSocket()) {
      // Our close-notify is out; wait for the peer's only while it answers
      // promptly (the results are not used either way).
      TSocketSet ReadSet;
      SocketSetAdd(SocketHandle, ReadSet);
      TTimeValue Wait{CloseNotifyWaitMs / 1000, (CloseNotifyWaitMs % 1000) * 1000};
      if (OsSelect(SocketHandle + 1, &ReadSet, &Wait) > 0) Ssl_shutdown(TlsSession);
    }
  }
  SetTlsActive(false);
  CheckError();
}

// ---- sending and receiving ----

// One TLS read or write, repeated while OpenSSL wants to read or write more;
// a close-notify gives 0, any other failure 10091.
template <class TCall>
int TTCPBlockSocket::TlsTransfer(TCall Call) {
  TSigPipeGuard Guard;
  // A stale entry in the error queue would turn a would-block or a close into a
  // failure in SSL_get_error.
  Err_clear_error();
  for (;;) {
    int Result = Call();
    int Error = Ssl_get_error(TlsSession, Result);
    if (Error == SslErrorWantRead || Error == SslErrorWantWrite) continue;
    if (Error == SslErrorZeroReturn) return 0;
    if (Error != SslErrorNone) LastErrorCode = ErrSubsystemUnusable;
    return Result;
  }
}

int TTCPBlockSocket::SendBytes(const void* Buffer, int Count) {
  if (!TlsPathInForce()) return TBlockSocket::SendBytes(Buffer, Count);
  LastErrorCode = 0;
  std::string Filtered;
  const void* Data = Buffer;
  if (SendFilter && Count > 0) {
    Filtered.assign(static_cast<const char*>(Buffer), Count);
    RunSendFilter(Filtered.data(), Count);
    Data = Filtered.data();
  }
  int Result = 0;
  // OpenSSL leaves the outcome of a 0-byte write undefined; nothing is sent.
  if (Count > 0) {
    Result = TlsTransfer([&] { return Ssl_write(TlsSession, Data, Count); });
  }
  CheckError();
  SentByteCount += Result;
  ReportStatus(ChunkSent, std::to_string(Result));
  return Result;
}

int TTCPBlockSocket::ReceiveRaw(void* Buffer, int Count) {
  if (!TlsPathInForce()) return TBlockSocket::ReceiveRaw(Buffer, Count);
  LastErrorCode = 0;
  int Result = 0;
  if (Count > 0) {
    // A read may have to answer the peer too (a key update).
    Result = TlsTransfer([&] { return Ssl_read(TlsSession, Buffer, Count); });
  }
  CheckError();
  ReceivedByteCount += Result;
  ReportStatus(ChunkReceived, std::to_string(Result));
  RunReceiveFilter(Buffer, Result);
  return Result;
}

int TTCPBlockSocket::PendingBytes() {
  if (!TlsPathInForce()) return TBlockSocket::PendingBytes();
  int Result = Ssl_pending(TlsSession);
  return Result > 0 ? Result : TBlockSocket::PendingBytes();
}
