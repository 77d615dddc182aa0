// One message on its way into the recycle bin: the line that says when, from
// where and why it was deleted, then the message as the server sent it, with
// each line ended by LF as Maildir keeps it. Lines are buffered and written in
// large pieces, so a message of any size costs a bounded amount of memory.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "quorrel/durable/durable_file.h"
#include "quorrel/recycle/maildir.h"
#include "quorrel/status/status.h"

namespace quorrel {

// "X-Quorrel-Deleted: <RFC 5322 date>; <Origin>; <Why>" with its LF; line
// breaks in Origin or Why become blanks, so the field stays one line.
std::string DeletedField(time_t When, const std::string& Origin, const std::string& Why);

class TRecycledCopy {
 public:
  // Starts the copy for Bin's tmp/ (the file is made once there is more than
  // a little to write, or when it is placed); Origin is "user@server:port".
  TStatus Begin(TMaildir& Bin, const std::string& Origin, const std::string& Why, time_t Now);
  // One line of the message, without its line end (a sink for RETR). False
  // once a write has failed: the copy is then lost, and nothing more is taken.
  bool Take(std::string_view Line);
  // Puts the copy in new/ (durable with Bin's next SyncNew). A LocalIo failure
  // with the system's reason when any write failed or the copy cannot be placed.
  TStatus Place(TMaildir& Bin, std::string& Placed);

 private:
  bool Spill();
  TMaildir* Folder = nullptr;
  bool Created = false;
  TDurableFile File;
  TStatus Failure;
  std::string Pending;
};

}  // namespace quorrel
