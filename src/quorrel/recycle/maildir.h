// The recycle bin's folder: a Maildir (tmp/, new/, cur/) that any mail reader
// opens. Each copy is written into tmp/, synced, and renamed into new/ under a
// name no other copy has; one sync of new/ then makes several renames durable.
// A file in new/ is therefore always a whole copy.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "quorrel/durable/durable_file.h"
#include "quorrel/status/status.h"

namespace quorrel {

// A copy in the bin.
struct TStoredCopy {
  std::string Path;
  time_t Stored = 0;  // when it went in, from its name
  long Micros = 0;
};

class TMaildir {
 public:
  // Takes Folder as the bin, making it (and tmp/, new/, cur/, mode 0700) when
  // it is missing or empty, and proves that a file can be written there. A
  // CantCreate failure says why it cannot serve: it cannot be made or written,
  // or it holds something that is not a Maildir.
  TStatus Open(const std::string& Folder);
  // Takes Folder as a bin to read, changing nothing; false when it is no
  // Maildir (no new/ and cur/).
  bool Look(const std::string& Folder);
  const std::string& Folder() const { return Root; }

  // Starts a copy in tmp/; the caller writes it into Copy. Failures here and
  // below are LocalIo ones with the system's reason.
  TStatus Begin(TDurableFile& Copy);
  // Syncs the copy and renames it into new/; Placed gets its path there. The
  // rename is durable after SyncNew.
  TStatus Place(TDurableFile& Copy, std::string& Placed);
  TStatus SyncNew();

  // Removes what stands in tmp/ unchanged for a day or more (copies a run
  // broke off), as Maildir readers do; returns how many went.
  int CleanTmp(time_t Now);
  // Removes the copies stored Days days or more before Now (none for 0);
  // returns how many went.
  int Prune(int Days, time_t Now);
  // The copies in new/ and cur/, newest first.
  std::vector<TStoredCopy> List() const;

  // A name for a copy stored at Seconds and Micros: unique across processes
  // and hosts, and readable by its time.
  static std::string UniqueName(time_t Seconds, long Micros);

 private:
  std::string Root;
};

}  // namespace quorrel
