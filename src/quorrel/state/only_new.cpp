#include "quorrel/state/only_new.h"

#include <unordered_map>
#include <unordered_set>

#include "netutil/netutil.h"

namespace quorrel {

// The rules beside the filter words are named with a leading "-", which no
// filter word has, and only when given, so that a state of filter words alone
// stays valid.
std::string RulesFingerprint(const TRuleSettings& S, const std::vector<std::string>& More) {
  std::vector<std::string> Parts = {S.Decode ? "decode" : "raw"};
  Parts.insert(Parts.end(), S.FilterWords.begin(), S.FilterWords.end());
  if (S.Regex) Parts.push_back("-regex");
  for (const std::string& Field : S.Fields) Parts.push_back("-field=" + Field);
  for (const std::string& Word : S.KeepWords) Parts.push_back("-keep=" + Word);
  if (S.LargerThan) Parts.push_back("-larger-than=" + std::to_string(*S.LargerThan));
  Parts.insert(Parts.end(), More.begin(), More.end());
  return StateFingerprint(Parts);
}

TStatus TOnlyNew::Begin(const std::string& Path, const TNote& Note) {
  const TStatus Taken = Path.empty() ? TStatus::Fail(TFailureKind::LocalIo, "there is no home folder for the state")
                                     : State.Lock(Path);
  if (Taken.Kind() == TFailureKind::TryLater)
    return TStatus::Fail(TFailureKind::TryLater,
                         "another run holds the state " + Path + ": this one ends here, nothing was changed");
  Locked = Taken.Good();
  if (!Locked) Note(Taken.Message() + ": every message is read, no state is kept");
  return TStatus::Ok();
}

void TOnlyNew::Plan(TPOP3Send& Session, const std::string& WantedFingerprint, const TNote& Note) {
  Fingerprint = WantedFingerprint;
  Skip.clear();
  Undeleted.clear();
  JudgedBefore = StillThere = 0;
  if (!Session.ListIdsAndSizes(Ids, Sizes)) {
    Ids.clear();
    Sizes.clear();
    if (Session.Socket.HasSocket()) Note("the server gives no unique ids (UIDL): every message is read");
    return;
  }
  if (!Locked) return;
  std::string Stored;
  std::vector<TStateEntry> Entries;
  if (const TStatus Loaded = State.Load(Stored, Entries); !Loaded) {
    Note(Loaded.Message() + ": every message is read");
    return;
  }
  // Mail deleted before is not shown as deleted again, whatever the rules.
  const std::unordered_set<std::string> Gone(State.Deleted.begin(), State.Deleted.end());
  Skip.assign(Ids.size(), false);
  Undeleted.assign(Ids.size(), false);
  for (size_t N = 1; N < Ids.size(); ++N)
    if (Gone.count(Ids[N])) Skip[N] = Undeleted[N] = true, ++StillThere;
  if (StillThere > 0) {
    std::string Gmail;
    if (AsciiLower(Session.Host) == "pop.gmail.com" || Session.Greeting.rfind("+OK Gpop", 0) == 0)
      Gmail = " (Gmail: Settings, Forwarding and POP/IMAP, \"When messages are accessed with POP\" decides it; "
              "choose \"delete Gmail's copy\")";
    Note(std::to_string(StillThere) + " message" + (StillThere == 1 ? "" : "s") +
         " whose deletion the server confirmed before " + (StillThere == 1 ? "is" : "are") +
         " still listed: this server keeps deleted mail" + Gmail);
  }
  if (Stored != Fingerprint) {
    Note("the filter words or options differ from the last run's: every message is read again");
    return;
  }
  std::unordered_map<std::string, uint32_t> Judged;
  Judged.reserve(Entries.size());
  for (TStateEntry& E : Entries) Judged.emplace(std::move(E.Uidl), E.Size);
  for (size_t N = 1; N < Ids.size(); ++N) {
    if (Undeleted[N]) continue;
    // Another size under the same id is another message to us.
    const auto Found = Judged.find(Ids[N]);
    Skip[N] = Found != Judged.end() && Found->second == Sizes[N];
    JudgedBefore += Skip[N] ? 1 : 0;
  }
}

void TOnlyNew::Record(const std::vector<int32_t>& ReadWhole, const std::vector<int32_t>& Kept, const TNote& Note,
                      const std::vector<int32_t>& Deleted) {
  if (!Locked || Ids.empty()) return;
  // A header not read whole was not judged, and a message whose DELE was
  // refused is no kept one: both are read again next time.
  std::vector<uint8_t> Marks(Ids.size(), 0);
  for (int32_t N : ReadWhole)
    if (N > 0 && size_t(N) < Marks.size()) Marks[size_t(N)] |= 1;
  for (int32_t N : Kept)
    if (N > 0 && size_t(N) < Marks.size()) Marks[size_t(N)] |= 2;
  std::vector<TStateEntry> Entries;
  std::vector<std::string> Gone;
  for (size_t N = 1; N < Ids.size(); ++N) {
    // Those deleted before and still listed stay remembered as deleted.
    if (N < Undeleted.size() && Undeleted[N])
      Gone.push_back(Ids[N]);
    else if ((N < Skip.size() && Skip[N]) || Marks[N] == 3)
      Entries.push_back({Ids[N], Sizes[N]});
  }
  for (int32_t N : Deleted)
    if (N > 0 && size_t(N) < Ids.size()) Gone.push_back(Ids[size_t(N)]);
  State.Deleted = std::move(Gone);
  if (const TStatus Saved = State.Save(Fingerprint, Entries); !Saved)
    Note("the state could not be written (" + Saved.Message() + "): the next run goes by the last one written");
}

}  // namespace quorrel
