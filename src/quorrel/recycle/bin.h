// The recycle bin as the sweep's keeper: each message to be deleted is copied
// into the bin's Maildir first, and its DELE goes only once the copy is
// durable. The first local failure ends the bin's work for the run, so that no
// later message is deleted without its copy.
//
// A copy written whole is synced and renamed into new/ by threads of the
// bin's own, so that the sweep reads on while the disk works; a commit waits
// for every copy handed over before it, then syncs new/.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorrel/recycle/copy.h"
#include "quorrel/recycle/maildir.h"
#include "quorrel/sweep/sweep.h"

namespace quorrel {

class TRecycleBin final : public TKeeper {
 public:
  // Bin is open; Origin is "user@server:port".
  TRecycleBin(TMaildir& Bin, std::string Origin) : Bin(Bin), Origin(std::move(Origin)) {}
  ~TRecycleBin() override;
  TRecycleBin(const TRecycleBin&) = delete;
  TRecycleBin& operator=(const TRecycleBin&) = delete;

  bool Working() const override;
  bool Begin(int32_t N, const std::string& Why) override;
  bool Take(std::string_view Line) override;
  bool Finish() override;
  bool Commit() override;
  std::string Failure() const override;

  int32_t Stored = 0;  // copies made durable

 private:
  bool Fail(const TStatus& Status);
  void Place();  // the placing thread
  TMaildir& Bin;
  std::string Origin;
  std::unique_ptr<TRecycledCopy> Copy;  // the copy begun last, until it is handed over
  int32_t Placed = 0;                   // handed over since the last commit

  mutable std::mutex Lock;  // guards what follows
  std::condition_variable Changed;
  std::deque<std::unique_ptr<TRecycledCopy>> ToPlace;
  int Placing = 0;  // copies the threads hold
  bool Ending = false;
  std::string Fault;  // the first failure, of either thread
  std::vector<std::thread> Placers;  // started as copies come, up to a few:
                                     // the disk takes several syncs at once
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
