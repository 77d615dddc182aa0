// TLS of TTCPBlockSocket. Placeholder until the OpenSSL binding lands: TLS cannot
// be switched on, and sending and receiving take the plain path.
#include "blocksock/tcp_socket.h"

int TTCPBlockSocket::SendBytes(const void* Buffer, int Count) { return TBlockSocket::SendBytes(Buffer, Count); }
int TTCPBlockSocket::ReceiveRaw(void* Buffer, int Count) { return TBlockSocket::ReceiveRaw(Buffer, Count); }
int TTCPBlockSocket::PendingBytes() { return TBlockSocket::PendingBytes(); }

void TTCPBlockSocket::SetTlsActive(bool On) {
  LastErrorCode = 0;
  if (On && !TlsActive) LastErrorCode = ErrProtocolNotSupported;
  CheckError();
}
void TTCPBlockSocket::StartTlsClient() {
  LastErrorCode = 0;
  SetTlsActive(true);
}
void TTCPBlockSocket::ShutdownTls() {
  LastErrorCode = 0;
  SetTlsActive(false);
}
bool TTCPBlockSocket::FetchTlsError() { return true; }
bool TTCPBlockSocket::LoadTlsCredentials() { return false; }
int TlsPasswordCallback(char* Buffer, int Size, int, void*) {
  if (Size > 0) Buffer[0] = 0;
  return 0;
}
