// Files that survive a crash whole or not at all: written under a temporary
// name, synced, renamed into place, and the folder synced, so that a reader
// finds either the old file or the new one, never a part. And a lock on a
// file of its own, so that two runs never write the same thing at once.
#pragma once

#include <string>
#include <string_view>

#include "quorrel/status/status.h"

namespace quorrel {

// The folder part of Path ("." when it has none).
std::string FolderOf(const std::string& Path);

// A base folder of the user's, as the XDG rules give it: the absolute path in
// Variable (XDG_STATE_HOME, XDG_CONFIG_HOME, ...), else UnderHome below the
// home folder ($HOME, else the password database's). No trailing slash; ""
// when there is no home folder at all.
std::string UserFolder(const char* Variable, const std::string& UnderHome);

// Creates Folder and its parents as needed, each new one with mode 0700;
// folders that are there already are left as they are. A LocalIo failure
// names the folder that could not be made.
TStatus MakeFolders(const std::string& Folder);

// Makes the renames into Folder durable; one call covers every file renamed
// there before it. A LocalIo failure carries the system's reason alone.
TStatus SyncFolder(const std::string& Folder);

// One file being written. Until Commit it stands under a temporary name, and
// it is removed when the object goes without a Commit.
class TDurableFile {
 public:
  TDurableFile() = default;
  ~TDurableFile();
  TDurableFile(const TDurableFile&) = delete;
  TDurableFile& operator=(const TDurableFile&) = delete;

  // A new file named Prefix and six random characters (mode 0600, whatever
  // the umask). Failures here and below are LocalIo ones and carry the
  // system's reason alone, for the caller to say what it was writing.
  TStatus Create(const std::string& Prefix);
  TStatus Write(std::string_view Bytes);
  // Syncs and closes the file; then RenameTo puts it in place as Path (the
  // folder is synced apart, see SyncFolder). Two steps, so that a caller can
  // tell a file that could not be written from one that could not be placed.
  TStatus Sync();
  TStatus RenameTo(const std::string& Path);

  const std::string& TemporaryPath() const { return Temporary; }

 private:
  void Discard();
  std::string Temporary;
  int Fd = -1;
  bool Placed = false;
};

// An exclusive lock, taken without waiting, on a file of its own (created with
// mode 0600): a file replaced by rename would not keep the next run out. The
// lock is held until the object goes; the lock file stays, since a run
// waiting to open it could otherwise lock a file that no later run sees.
class TFileLock {
 public:
  TFileLock() = default;
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  // A TryLater failure when another holder has it ("another run holds
  // <Path>"), a LocalIo one when it cannot be opened or locked.
  TStatus Lock(const std::string& Path);
  bool Held() const { return Fd >= 0; }

 private:
  int Fd = -1;
};

}  // namespace quorrel
