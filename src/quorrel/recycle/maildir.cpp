#include "quorrel/recycle/maildir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <tuple>

namespace quorrel {

namespace {

const char* const Parts[] = {"tmp", "new", "cur"};

bool IsFolder(const std::string& Path) {
  struct stat Info;
  return ::stat(Path.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
}

// The names in Folder but for "." and "..".
std::vector<std::string> Names(const std::string& Folder) {
  std::vector<std::string> Out;
  DIR* Dir = ::opendir(Folder.c_str());
  if (!Dir) return Out;
  while (const dirent* Entry = ::readdir(Dir))
    if (std::strcmp(Entry->d_name, ".") != 0 && std::strcmp(Entry->d_name, "..") != 0) Out.push_back(Entry->d_name);
  ::closedir(Dir);
  return Out;
}

// The host part of a Maildir name, with "/" and ":" written as readers expect.
std::string HostPart() {
  char Host[256] = {};
  if (::gethostname(Host, sizeof Host - 1) != 0 || !Host[0]) return "localhost";
  std::string Out;
  for (const char* C = Host; *C; ++C) Out += *C == '/' ? "\\057" : *C == ':' ? "\\072" : std::string(1, *C);
  return Out;
}

// When a copy went in, from its name: seconds, then ".M" and microseconds.
std::pair<time_t, long> StoredAt(const std::string& Name) {
  size_t I = 0;
  time_t Seconds = 0;
  for (; I < Name.size() && Name[I] >= '0' && Name[I] <= '9' && I < 18; ++I) Seconds = Seconds * 10 + (Name[I] - '0');
  long Micros = 0;
  if (Name.compare(I, 2, ".M") == 0)
    for (I += 2; I < Name.size() && Name[I] >= '0' && Name[I] <= '9' && Micros < 1000000; ++I)
      Micros = Micros * 10 + (Name[I] - '0');
  return {Seconds, Micros};
}

std::string Fault(const std::string& What) { return What + ": " + std::strerror(errno); }

}  // namespace

std::string TMaildir::UniqueName(time_t Seconds, long Micros) {
  static std::atomic<unsigned> Count{0};
  return std::to_string(Seconds) + ".M" + std::to_string(Micros) + "P" + std::to_string(::getpid()) + "Q" +
         std::to_string(++Count);
}

TStatus TMaildir::Open(const std::string& Folder) {
  Root = Folder;
  const auto Cannot = [&Folder](const std::string& Why) {
    return TStatus::Fail(TFailureKind::CantCreate, Folder + " cannot serve as the recycle bin: " + Why);
  };
  struct stat Info;
  if (::stat(Folder.c_str(), &Info) == 0 && !S_ISDIR(Info.st_mode)) return Cannot("it is not a folder");
  const bool Fresh = !IsFolder(Folder) || Names(Folder).empty();
  if (Fresh) {
    if (const TStatus Made = MakeFolders(Folder); !Made) return Cannot(Made.Message());
    for (const char* Part : Parts)
      if (::mkdir((Folder + "/" + Part).c_str(), 0700) != 0 && errno != EEXIST) return Cannot(Fault(Part));
  }
  for (const char* Part : Parts)
    if (!IsFolder(Folder + "/" + Part)) return Cannot("it holds files but is no Maildir (no tmp/, new/ and cur/)");
  // Proven here, before anything is sent, rather than at the first deletion.
  TDurableFile Probe;
  if (const TStatus Written = Probe.Create(Folder + "/tmp/.probe-"); !Written) return Cannot(Written.Message());
  return TStatus::Ok();
}

bool TMaildir::Look(const std::string& Folder) {
  Root = Folder;
  return IsFolder(Folder + "/new") && IsFolder(Folder + "/cur");
}

TStatus TMaildir::Begin(TDurableFile& Copy) {
  timeval Now{};
  ::gettimeofday(&Now, nullptr);
  return Copy.Create(Root + "/tmp/" + UniqueName(Now.tv_sec, long(Now.tv_usec)) + "R");
}

TStatus TMaildir::Place(TDurableFile& Copy, std::string& Placed) {
  if (const TStatus Synced = Copy.Sync(); !Synced) return Synced;
  const std::string& Temporary = Copy.TemporaryPath();
  static const std::string Host = HostPart();
  const std::string Target = Root + "/new/" + Temporary.substr(Temporary.rfind('/') + 1) + "." + Host;
  if (const TStatus Renamed = Copy.RenameTo(Target); !Renamed) return Renamed;
  Placed = Target;
  return TStatus::Ok();
}

TStatus TMaildir::SyncNew() { return SyncFolder(Root + "/new"); }

int TMaildir::CleanTmp(time_t Now) {
  int Removed = 0;
  for (const std::string& Name : Names(Root + "/tmp")) {
    const std::string Path = Root + "/tmp/" + Name;
    struct stat Info;
    if (::stat(Path.c_str(), &Info) == 0 && S_ISREG(Info.st_mode) && Info.st_mtime + 86400 <= Now &&
        ::unlink(Path.c_str()) == 0)
      ++Removed;
  }
  return Removed;
}

int TMaildir::Prune(int Days, time_t Now) {
  if (Days <= 0) return 0;
  int Removed = 0;
  for (const TStoredCopy& Copy : List())
    if (Copy.Stored + time_t(Days) * 86400 <= Now && ::unlink(Copy.Path.c_str()) == 0) ++Removed;
  return Removed;
}

std::vector<TStoredCopy> TMaildir::List() const {
  std::vector<TStoredCopy> Out;
  for (const char* Part : {"new", "cur"})
    for (const std::string& Name : Names(Root + "/" + Part))
      if (Name[0] != '.') {
        const auto [Seconds, Micros] = StoredAt(Name);
        Out.push_back({Root + "/" + Part + "/" + Name, Seconds, Micros});
      }
  std::sort(Out.begin(), Out.end(), [](const TStoredCopy& A, const TStoredCopy& B) {
    return std::tie(A.Stored, A.Micros, A.Path) > std::tie(B.Stored, B.Micros, B.Path);
  });
  return Out;
}

}  // namespace quorrel
