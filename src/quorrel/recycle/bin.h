// The recycle bin as the sweep's keeper: each message to be deleted is copied
// into the bin's Maildir first, and its DELE goes only once the copy is
// durable. The first local failure ends the bin's work for the run, so that no
// later message is deleted without its copy.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "quorrel/recycle/copy.h"
#include "quorrel/recycle/maildir.h"
#include "quorrel/sweep/sweep.h"

namespace quorrel {

class TRecycleBin final : public TKeeper {
 public:
  // Bin is open; Origin is "user@server:port".
  TRecycleBin(TMaildir& Bin, std::string Origin) : Bin(Bin), Origin(std::move(Origin)) {}

  bool Working() const override { return Fault.empty(); }
  bool Begin(int32_t N, const std::string& Why) override;
  bool Take(std::string_view Line) override;
  bool Finish() override;
  bool Commit() override;
  std::string Failure() const override { return Fault; }

  int32_t Stored = 0;  // copies made durable

 private:
  bool Fail(const TStatus& Status);
  TMaildir& Bin;
  std::string Origin;
  std::unique_ptr<TRecycledCopy> Copy;  // the copy begun last, until it is placed
  int32_t Placed = 0;                   // placed since the last commit
  std::string Fault;
};

// What the bin says about one copy, read from its header.
struct TRecycledEntry {
  std::string Stored;   // when it went in, "YYYY-MM-DD HH:MM:SS" local time
  std::string Mailbox;  // user@server:port
  std::string From, Subject, Why;
  std::string Path;
};
TRecycledEntry ReadRecycledEntry(const TStoredCopy& Copy);
// The entry as one line: its parts separated by tabs (blanks stand for any
// tab or line break within them), with its line end.
std::string RecycledLine(const TRecycledEntry& Entry);

}  // namespace quorrel
