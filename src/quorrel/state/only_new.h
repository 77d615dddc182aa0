// --only-new: a run reads only the headers of messages it has not judged
// before. The state (state.h) is locked for the whole run, consulted after
// STAT, and replaced only after the server confirmed QUIT.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "quorrel/rules/rules.h"
#include "quorrel/state/state.h"
#include "quorrel/status/status.h"

namespace quorrel {

// What a verdict depends on, as the state's fingerprint: a state kept under
// other rules is not used, and every message is read again.
// More: what else decides the verdicts (a classifier), each part given only
// when set.
std::string RulesFingerprint(const TRuleSettings& Rules, const std::vector<std::string>& More = {});

class TOnlyNew {
 public:
  using TNote = std::function<void(const std::string& Text)>;

  // Locks the state at Path before anything is sent. A TryLater failure when
  // another run holds it; a state that cannot be locked for another reason
  // only means a full sweep and nothing written (Note says why).
  TStatus Begin(const std::string& Path, const TNote& Note);
  // After STAT: the messages' ids and sizes, and the state; fills Skip with
  // the messages judged before under the same Fingerprint. Where the server
  // has no UIDL, or the state is missing, damaged or of other settings, every
  // message is read (Note says why) and, where ids are known, a fresh state
  // is written at the end.
  void Plan(TPOP3Send& Session, const std::string& Fingerprint, const TNote& Note);
  // After a confirmed QUIT: the state becomes the messages skipped (still on
  // the server) and those read whole and kept. Nothing is written when no ids
  // are known.
  // Deleted are the messages whose DELE the server confirmed in this run: the
  // state remembers them, so that a server that keeps deleted mail is noticed.
  void Record(const std::vector<int32_t>& ReadWhole, const std::vector<int32_t>& Kept, const TNote& Note,
              const std::vector<int32_t>& Deleted = {});

  std::vector<bool> Skip;  // by message number
  int32_t JudgedBefore = 0;
  // Messages whose DELE a QUIT confirmed in an earlier run, still listed: not
  // read again and not counted as judged (they are in Skip too).
  int32_t StillThere = 0;
  // The sizes LIST gave (index 0 unused); empty when they are not known.
  const std::vector<uint32_t>& ListedSizes() const { return Sizes; }

 private:
  TMailboxState State;
  bool Locked = false;
  std::string Fingerprint;
  std::vector<std::string> Ids;  // by message number; empty: not known
  std::vector<uint32_t> Sizes;
  std::vector<bool> Undeleted;  // by message number: one of StillThere
};

}  // namespace quorrel
