// What a run from a timer remembers per mailbox, so that the next run reads
// only the messages that arrived since: the UIDLs of the messages it judged and
// kept, with their sizes, under a fingerprint of what the judgement depended on
// (filter words and the like) so that a changed judgement reads all again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorrel/durable/durable_file.h"
#include "quorrel/status/status.h"

namespace quorrel {

// One message judged and kept: its unique id (UIDL) and its size.
struct TStateEntry {
  std::string Uidl;
  uint32_t Size = 0;
  bool operator==(const TStateEntry&) const = default;
};

// The state file of one mailbox, held under an exclusive lock from Lock until
// the object is destroyed. Load and Save need the lock.
//
// File format, text with LF line ends:
//   quorrel-state 1 <fingerprint>
//   <size> <uidl>                   one line per entry
//   D <uidl>                        one line per message whose DELE a QUIT
//                                   confirmed (Deleted), oldest first
// The fingerprint is 1 to 128 bytes in 0x21..0x7E; a size is decimal without
// leading zeros, at most 4294967295; a UIDL is 1 to 70 bytes in 0x21..0x7E and
// appears once. Every line ends with LF, the last one too: a missing LF is the
// sign of a file cut short, whose last UIDL may be cut as well.
class TMailboxState {
 public:
  TMailboxState() = default;  // the lock is released when the object goes; the lock file stays
  TMailboxState(const TMailboxState&) = delete;
  TMailboxState& operator=(const TMailboxState&) = delete;

  // $XDG_STATE_HOME/quorrel/<name> (when that is an absolute path), else
  // $HOME/.local/state/quorrel/<name>; "" when there is no home folder.
  // <name> is user@server_port with every byte outside [A-Za-z0-9.-] of each part
  // written as %XX, and the server in lower case, so that it is one safe file
  // name and different mailboxes never share it. A name too long for a file
  // name is cut and completed by a digest of the whole.
  static std::string DefaultPath(const std::string& User, const std::string& Server, const std::string& Port);

  // Creates the folder of Path (mode 0700, parents as needed) and takes an
  // exclusive lock, without waiting, on "<Path>.lock" (mode 0600). The lock is
  // on a file of its own because Save replaces the state file by rename, and a
  // lock on a replaced file would not keep the next run out.
  // A TryLater failure when another run holds it, a LocalIo one when it
  // cannot be locked for another reason.
  TStatus Lock(const std::string& Path);

  // Reads the state into Fingerprint and Entries, or a LocalIo failure that
  // says why it cannot be used ("there is no state yet", "the state file is
  // damaged (line N)", "cannot read <path>: <reason>"), and then nothing in
  // Fingerprint and Entries.
  TStatus Load(std::string& Fingerprint, std::vector<TStateEntry>& Entries);

  // Replaces the state as a whole: a temporary file in the same folder
  // (mode 0600) is written, synced and renamed over the state, then the folder
  // is synced. On a (LocalIo) failure the old state stays whole and no
  // temporary file is left. A fingerprint or an entry the file cannot hold is
  // refused before anything is written.
  TStatus Save(const std::string& Fingerprint, const std::vector<TStateEntry>& Entries);

  const std::string& Path() const { return StatePath; }

  // The UIDLs of messages whose DELE a server confirmed with QUIT, oldest
  // first: filled by Load, written by Save. A server that keeps deleted mail
  // lists them again; they are kept whatever the fingerprint says.
  std::vector<std::string> Deleted;
  static constexpr size_t MostDeleted = 100'000;  // Save keeps the newest

 private:
  std::string StatePath;
  TFileLock StateLock;
};

// A digest (32 lower-case hex digits) of Parts that changes when any part
// changes; each part is length-prefixed so that ("ab", "c") and ("a", "bc")
// differ. Made for the fingerprint of TMailboxState.
std::string StateFingerprint(const std::vector<std::string>& Parts);

}  // namespace quorrel
