#include "quorrel/recycle/copy.h"

#include <cstdio>

namespace quorrel {

namespace {

constexpr size_t SpillBytes = 256 * 1024;

std::string OneLine(std::string Text) {
  for (char& C : Text)
    if (C == '\r' || C == '\n') C = ' ';
  return Text;
}

}  // namespace

std::string DeletedField(time_t When, const std::string& Origin, const std::string& Why) {
  // The names are written out: the locale must not change them.
  static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  tm Local{};
  ::localtime_r(&When, &Local);
  const long Offset = Local.tm_gmtoff / 60;
  char Date[64];
  std::snprintf(Date, sizeof Date, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", Days[Local.tm_wday], Local.tm_mday,
                Months[Local.tm_mon], Local.tm_year + 1900, Local.tm_hour, Local.tm_min, Local.tm_sec,
                Offset < 0 ? '-' : '+', (Offset < 0 ? -Offset : Offset) / 60, (Offset < 0 ? -Offset : Offset) % 60);
  return "X-Quorrel-Deleted: " + std::string(Date) + "; " + OneLine(Origin) + "; " + OneLine(Why) + "\n";
}

TStatus TRecycledCopy::Begin(TMaildir& Bin, const std::string& Origin, const std::string& Why, time_t Now) {
  Folder = &Bin;
  Failure = TStatus::Ok();
  Pending = DeletedField(Now, Origin, Why);
  return Failure;
}

bool TRecycledCopy::Spill() {
  // The file is made with the first bytes that cannot wait: a small copy costs
  // its caller no file operation until it is placed.
  if (Failure && !Created) {
    Failure = Folder->Begin(File);
    Created = true;
  }
  if (Failure) Failure = File.Write(Pending);
  Pending.clear();
  return Failure.Good();
}

bool TRecycledCopy::Take(std::string_view Line) {
  if (!Failure) return false;
  Pending.append(Line).push_back('\n');
  return Pending.size() < SpillBytes || Spill();
}

TStatus TRecycledCopy::Place(TMaildir& Bin, std::string& Placed) {
  if (!Spill()) return Failure;
  return Bin.Place(File, Placed);
}

}  // namespace quorrel
