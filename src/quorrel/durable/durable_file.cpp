#include "quorrel/durable/durable_file.h"

#include <pwd.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quorrel {

namespace {

TStatus Trouble(int Error) { return TStatus::Fail(TFailureKind::LocalIo, std::strerror(Error)); }

}  // namespace

std::string FolderOf(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : Path.substr(0, Slash);
}

TStatus MakeFolders(const std::string& Folder) {
  for (size_t End = 1; End <= Folder.size(); ++End) {
    if (End < Folder.size() && Folder[End] != '/') continue;
    const std::string Part = Folder.substr(0, End);
    if (mkdir(Part.c_str(), 0700) == 0) {
      chmod(Part.c_str(), 0700);  // the umask may have taken bits the owner needs
    } else if (errno != EEXIST) {
      return TStatus::Fail(TFailureKind::LocalIo, "cannot create the folder " + Part + ": " + std::strerror(errno));
    }
  }
  return TStatus::Ok();
}

std::string UserFolder(const char* Variable, const std::string& UnderHome) {
  std::string Base;
  const char* Given = std::getenv(Variable);
  const char* Home = std::getenv("HOME");
  if (Given && Given[0] == '/') {
    Base = Given;
  } else {
    if (Home && Home[0] == '/') {
      Base = Home;
    } else if (const passwd* Entry = getpwuid(getuid()); Entry && Entry->pw_dir && Entry->pw_dir[0] == '/') {
      Base = Entry->pw_dir;
    } else {
      return "";
    }
    while (Base.size() > 1 && Base.back() == '/') Base.pop_back();
    Base += "/" + UnderHome;
  }
  while (!Base.empty() && Base.back() == '/') Base.pop_back();
  return Base;
}

TStatus SyncFolder(const std::string& Folder) {
  const int Fd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return Trouble(errno);
  const int Synced = fsync(Fd);
  const int Error = errno;
  close(Fd);
  return Synced == 0 ? TStatus::Ok() : Trouble(Error);
}

TDurableFile::~TDurableFile() { Discard(); }

void TDurableFile::Discard() {
  if (Fd >= 0) close(Fd);
  Fd = -1;
  if (!Temporary.empty() && !Placed) unlink(Temporary.c_str());
  Temporary.clear();
  Placed = false;
}

TStatus TDurableFile::Create(const std::string& Prefix) {
  Discard();
  std::string Name = Prefix + "XXXXXX";
  const int Made = mkostemp(Name.data(), O_CLOEXEC);
  if (Made < 0) return Trouble(errno);
  Fd = Made;
  Temporary = std::move(Name);
  fchmod(Fd, 0600);  // the umask may have taken the owner's write bit
  return TStatus::Ok();
}

TStatus TDurableFile::Write(std::string_view Bytes) {
  if (Fd < 0) return Trouble(EBADF);
  while (!Bytes.empty()) {
    const ssize_t N = write(Fd, Bytes.data(), Bytes.size());
    if (N < 0) {
      if (errno == EINTR) continue;
      return Trouble(errno);
    }
    Bytes.remove_prefix(static_cast<size_t>(N));
  }
  return TStatus::Ok();
}

TStatus TDurableFile::Sync() {
  if (Fd < 0) return Trouble(EBADF);
  if (fsync(Fd) != 0) return Trouble(errno);
  const int Closed = close(Fd);
  Fd = -1;
  return Closed == 0 ? TStatus::Ok() : Trouble(errno);
}

TStatus TDurableFile::RenameTo(const std::string& Path) {
  if (Temporary.empty() || Fd >= 0) return Trouble(EBADF);  // not synced yet
  if (rename(Temporary.c_str(), Path.c_str()) != 0) return Trouble(errno);
  Placed = true;
  return TStatus::Ok();
}

TFileLock::~TFileLock() {
  if (Fd >= 0) close(Fd);
}

TStatus TFileLock::Lock(const std::string& Path) {
  if (Fd >= 0) close(Fd);
  Fd = -1;
  // Close-on-exec: a command started by this run, or anything it leaves
  // running, must not keep holding the lock after the run.
  const int Opened = open(Path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (Opened < 0) return TStatus::Fail(TFailureKind::LocalIo, "cannot open " + Path + ": " + std::strerror(errno));
  fchmod(Opened, 0600);  // exact, whatever the umask; fails harmlessly on a file of another owner
  if (flock(Opened, LOCK_EX | LOCK_NB) != 0) {
    const int Error = errno;
    close(Opened);
    if (Error == EWOULDBLOCK) return TStatus::Fail(TFailureKind::TryLater, "another run holds " + Path);
    return TStatus::Fail(TFailureKind::LocalIo, "cannot lock " + Path + ": " + std::strerror(Error));
  }
  Fd = Opened;
  return TStatus::Ok();
}

}  // namespace quorrel
