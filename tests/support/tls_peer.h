// TLS peers for tests: certificates made with the openssl command, and
// `openssl s_server` or a plain-text server on free loopback ports.
#pragma once

#include <string>
#include <vector>

#include "support/process.h"

namespace quorrel {

// A CA, a second unrelated CA, a server certificate for "localhost" (with
// subjectAltName DNS:localhost and IP:127.0.0.1), one for "other.example", and a
// client certificate whose key is protected by ClientKeyPassword.
struct TTlsFiles {
  std::string Dir;
  std::string CaFile, OtherCaFile;
  std::string ServerCert, ServerKey;
  std::string OtherCert, OtherKey;
  std::string ClientCert, ClientKey;
  std::string ClientKeyPassword = "client pass phrase";
  // Makes every file under a new temp folder; false when openssl failed.
  bool Make();
  void Remove();
};

// One `openssl s_server -rev` on 127.0.0.1: it answers each line with the line
// reversed, and a line beginning with "CLOSE" ends the connection with a
// close-notify. Extra arguments are appended (e.g. -Verify, -servername).
class TTlsServer {
 public:
  bool Start(const std::string& Cert, const std::string& Key, const std::vector<std::string>& Extra = {});
  void Stop() { Process.Stop(); }
  int Port = 0;
  TChildProcess Process;
};

// A plain TCP server (python3) on 127.0.0.1 that answers every "PING" it reads
// with "PONG\r\n" and any other bytes with "-ERR no tls here\r\n".
class TPlainServer {
 public:
  bool Start(const std::string& Dir);
  void Stop() { Process.Stop(); }
  int Port = 0;
  TChildProcess Process;
};

}  // namespace quorrel
