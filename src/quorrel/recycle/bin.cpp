#include "quorrel/recycle/bin.h"

#include <cstdio>
#include <fstream>

#include "quorrel/rules/header.h"

namespace quorrel {

TRecycleBin::~TRecycleBin() {
  {
    std::lock_guard<std::mutex> Hold(Lock);
    Ending = true;
  }
  Changed.notify_all();
  for (std::thread& Placer : Placers) Placer.join();
}

bool TRecycleBin::Working() const {
  std::lock_guard<std::mutex> Hold(Lock);
  return Fault.empty();
}

std::string TRecycleBin::Failure() const {
  std::lock_guard<std::mutex> Hold(Lock);
  return Fault;
}

bool TRecycleBin::Fail(const TStatus& Status) {
  {
    std::lock_guard<std::mutex> Hold(Lock);
    if (Fault.empty()) Fault = Status.Message();
  }
  Copy.reset();  // its file in tmp/ goes with it
  return false;
}

bool TRecycleBin::Begin(int32_t, const std::string& Why) {
  if (!Working()) return false;
  // A copy begun before and never finished (its RETR refused or cut) is dropped.
  Copy = std::make_unique<TRecycledCopy>();
  if (const TStatus Begun = Copy->Begin(Bin, Origin, Why, ::time(nullptr)); !Begun) return Fail(Begun);
  return true;
}

bool TRecycleBin::Take(std::string_view Line) {
  if (!Copy) return false;
  if (Copy->Take(Line)) return true;
  std::string Ignored;
  return Fail(Copy->Place(Bin, Ignored));  // gives the write's failure
}

bool TRecycleBin::Finish() {
  if (!Copy || !Working()) return false;
  {
    std::lock_guard<std::mutex> Hold(Lock);
    ToPlace.push_back(std::move(Copy));
    // Another thread when the copies waiting outnumber the threads idle.
    if (Placers.size() < 4 && ToPlace.size() > Placers.size() - size_t(Placing))
      Placers.emplace_back([this] { Place(); });
  }
  Changed.notify_all();
  ++Placed;
  return true;
}

void TRecycleBin::Place() {
  std::unique_lock<std::mutex> Hold(Lock);
  for (;;) {
    Changed.wait(Hold, [this] { return Ending || !ToPlace.empty(); });
    // Copies never committed are for messages not deleted: at the end they
    // are dropped with the bin, their files in tmp/ with them.
    if (Ending) return;
    std::unique_ptr<TRecycledCopy> Next = std::move(ToPlace.front());
    ToPlace.pop_front();
    ++Placing;
    // After a failure the rest are dropped (their files in tmp/ with them).
    const bool Wanted = Fault.empty();
    Hold.unlock();
    std::string Path;
    const TStatus Put = Wanted ? Next->Place(Bin, Path) : TStatus::Ok();
    Next.reset();
    Hold.lock();
    if (!Put && Fault.empty()) Fault = Put.Message();
    --Placing;
    Changed.notify_all();
  }
}

bool TRecycleBin::Commit() {
  {
    std::unique_lock<std::mutex> Hold(Lock);
    Changed.wait(Hold, [this] { return ToPlace.empty() && Placing == 0; });
    if (!Fault.empty()) return false;
  }
  if (const TStatus Synced = Bin.SyncNew(); !Synced) return Fail(Synced);
  Stored += Placed;
  Placed = 0;
  return true;
}

namespace {

// The header lines of a copy, unfolded lines as they stand; at most a bounded
// amount is read, so that a damaged file costs no more.
std::vector<std::string> HeaderOf(const std::string& Path) {
  std::vector<std::string> Lines;
  std::ifstream In(Path, std::ios::binary);
  size_t Bytes = 0;
  for (std::string Line; Bytes < 256 * 1024 && std::getline(In, Line) && !Line.empty() && Line != "\r";) {
    Bytes += Line.size();
    if (Line.back() == '\r') Line.pop_back();
    Lines.push_back(std::move(Line));
  }
  return Lines;
}

std::string Part(std::string& Rest) {
  const size_t End = Rest.find("; ");
  std::string Out = Rest.substr(0, End);
  Rest = End == std::string::npos ? "" : Rest.substr(End + 2);
  return Out;
}

std::string Flat(std::string Text) {
  for (char& C : Text)
    if (C == '\t' || C == '\r' || C == '\n') C = ' ';
  return Text;
}

}  // namespace

TRecycledEntry ReadRecycledEntry(const TStoredCopy& Copy) {
  TRecycledEntry Entry;
  Entry.Path = Copy.Path;
  char When[32] = "";
  tm Local{};
  if (::localtime_r(&Copy.Stored, &Local)) std::strftime(When, sizeof When, "%Y-%m-%d %H:%M:%S", &Local);
  Entry.Stored = When;
  const std::vector<std::string> Header = HeaderOf(Copy.Path);
  // "<date>; <mailbox>; <why>": the why is the rest, whatever it holds.
  std::string Deleted = HeaderValue(Header, "X-Quorrel-Deleted");
  Part(Deleted);
  Entry.Mailbox = Part(Deleted);
  Entry.Why = Deleted;
  Entry.From = DecodedHeaderValue(Header, "From");
  Entry.Subject = DecodedHeaderValue(Header, "Subject");
  return Entry;
}

std::string RecycledLine(const TRecycledEntry& E) {
  return Flat(E.Stored) + "\t" + Flat(E.Mailbox) + "\t" + Flat(E.From) + "\t" + Flat(E.Subject) + "\t" +
         Flat(E.Why) + "\t" + Flat(E.Path) + "\n";
}

}  // namespace quorrel
