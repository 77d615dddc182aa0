// A throwaway Dovecot POP3 server for tests, run through scripts/lib/dovecot.sh:
// its own folder under /tmp, its own free loopback ports, stopped by its process
// id when the object goes.
#pragma once

#include <string>
#include <vector>

#include "support/process.h"

namespace quorrel {

class TDovecot : TNotCopyable {
 public:
  TDovecot();
  ~TDovecot();

  // True when the dovecot binary and the launcher script are there.
  static bool Available();

  // Users and messages are best set up before Start: Dovecot reads its
  // password file again at most once a second.
  bool AddUser(const std::string& User, const std::string& Password, bool Hashed = false);
  // Puts Message (any line ends) into User's mailbox as the next message.
  bool Deliver(const std::string& User, const std::string& Message);
  // POP3 with APOP and STLS on Port, implicit TLS on TlsPort.
  bool Start();
  void Stop();

  // The message files left in User's mailbox, and their subjects (sorted).
  std::vector<std::string> List(const std::string& User);
  std::vector<std::string> Subjects(const std::string& User);
  std::string Log();

  std::string Dir;
  int Port = 0;
  int TlsPort = 0;

 private:
  int Run(const std::string& Arguments, std::string* Output = nullptr);
  bool Ready = false;
  bool Started = false;
  int Delivered = 0;
};

}  // namespace quorrel
