// Opening and ending one mailbox's session: the session set up from the
// mailbox, the login and the count of messages, and the QUIT that carries the
// deletions out. What failed comes back as a status; nothing here writes.
#pragma once

#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "quorrel/session/mailbox.h"
#include "quorrel/status/status.h"

namespace quorrel {

// How the session is to talk besides the mailbox's own settings.
struct TSessionPlan {
  bool Pipelining = true;  // take commands ahead where the server allows it
  bool OnlyNew = false;    // the sweep starts from the messages' ids as well
};

// Sets Session up to reach Mailbox. Where the server takes commands ahead, the
// login and what the sweep asks first (the count, and the listing the sweep
// starts from) go in one flight.
void ConfigureSession(TPOP3Send& Session, const TMailbox& Mailbox, const TSessionPlan& Plan);

// Why a session could not be opened: the line for standard output (empty for
// none) and the failure, whose message (when not empty) is for standard error.
struct [[nodiscard]] TOpening {
  TStatus Status;
  std::string Shown;
  bool Good() const { return Status.Good(); }
};

// Logs in and counts the messages (Session.MessageCount, MailboxSize). Where
// PIPELINING is named only after login, the capabilities are read again, since
// the choice of sweep rests on them.
TOpening OpenSession(TPOP3Send& Session, const TMailbox& Mailbox, const TSessionPlan& Plan);

// Sends QUIT (or reads the reply of a QUIT sent ahead). The server carries the
// deletions out only when it confirms QUIT: a TryLater failure with why it did
// not ("QUIT failed: ...").
TStatus EndSession(TPOP3Send& Session);

}  // namespace quorrel
