// Real spam classifiers for tests, each in a folder of its own under /tmp and
// stopped by its process id when the object goes:
// - TSpamd: SpamAssassin's daemon through scripts/lib/spamd.sh (TELL allowed,
//   Bayes in its folder, no network checks);
// - TRspamd: what rspamd and the redis of its own need (scripts/lib/rspamd.sh:
//   learning through the controller without a password from loopback);
// - TBogofilterDb: a bogofilter word list taught a few spam and ham messages.
// Both daemons score a message whose Subject holds "CLASSIFYSPAM" as spam
// (spamd: 20 points; rspamd: 100, the action "reject").
#pragma once

#include <string>
#include <vector>

#include "support/process.h"

namespace quorrel {

// The Subject word that makes spamd and rspamd call a message spam.
inline const std::string SpamMark = "CLASSIFYSPAM";

class TSpamd : TNotCopyable {
 public:
  TSpamd();
  ~TSpamd();

  // "" when spamd, python3 and the launcher script are there, else what is
  // missing, naming the Debian package (for QUORREL_REQUIRE).
  static std::string Missing();
  static bool Available() { return Missing().empty(); }

  // Listens on the Unix socket Path ("" = <Dir>/spamd.sock); returns once it
  // answers PING.
  bool StartUnix(const std::string& Path = "");
  void Stop();
  std::string Log();

  std::string Dir;
  std::string SocketPath;

 private:
  int Run(const std::string& Arguments);
  bool Ready = false;
  bool Started = false;
};

// rspamd and its redis run inside a scenario's namespace (TScenario::Classifier).
struct TRspamd {
  // As TSpamd::Missing, for rspamd, redis-server and python3.
  static std::string Missing();
};

class TBogofilterDb : TNotCopyable {
 public:
  // A word list in a new folder under /tmp (removed with the object), or in
  // Folder (made when missing, left in place), taught Spam() and Ham().
  explicit TBogofilterDb(const std::string& Folder = "");
  ~TBogofilterDb();

  // "" when bogofilter is installed, else what to install.
  static std::string Missing();
  static bool Available() { return Missing().empty(); }

  // The messages it was taught: one made of the same words is rated alike.
  static const std::vector<std::string>& Spam();
  static const std::vector<std::string>& Ham();
  // Teaches it more messages of one kind.
  bool Teach(const std::vector<std::string>& Messages, bool AsSpam);
  // bogofilter's verdict on Message: 0 spam, 1 ham, 2 unsure, else trouble.
  int Classify(const std::string& Message);

  std::string Dir;  // for bogofilter -d
  bool Ready = false;  // made and taught

 private:
  bool Owned = false;
  int Taught = 0;  // message files written so far
};

}  // namespace quorrel
