#include "quorrel/state/state.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

#include "codec/codec.h"
#include "netutil/cleanup.h"
#include "netutil/netutil.h"

namespace quorrel {

namespace {

constexpr std::string_view Magic = "quorrel-state ";
constexpr std::string_view Version = "1";
constexpr size_t MostFingerprint = 128;
constexpr size_t MostUidl = 70;  // as POP3 defines a unique-id
constexpr size_t MostSizeDigits = 10;
// Far beyond any real mailbox; keeps entry numbers within 32 bits and a
// damaged file from growing the entries without end.
constexpr size_t MostEntries = 10'000'000;
// The header is the longest line the file can hold.
constexpr size_t MostLine = Magic.size() + Version.size() + 1 + MostFingerprint;
constexpr size_t IoChunk = 64 * 1024;
// Leaves room for ".lock" and the temporary file's suffix within NAME_MAX.
constexpr size_t MostName = 200;

std::string ErrnoText(int Error) { return std::strerror(Error); }

// 1 to Most bytes, each printable ASCII other than the blank.
bool IsToken(std::string_view Text, size_t Most) {
  if (Text.empty() || Text.size() > Most) return false;
  for (const char C : Text)
    if (static_cast<unsigned char>(C) < 0x21 || static_cast<unsigned char>(C) > 0x7E) return false;
  return true;
}

// "<size> <uidl>", the size in the form Save writes it: no leading zeros.
bool ParseEntry(std::string_view Line, uint32_t& Size, std::string_view& Uidl) {
  const size_t Blank = Line.find(' ');
  if (Blank == std::string_view::npos || Blank == 0 || Blank > MostSizeDigits) return false;
  if (Line[0] == '0' && Blank > 1) return false;
  uint64_t Value = 0;
  for (size_t I = 0; I < Blank; ++I) {
    if (Line[I] < '0' || Line[I] > '9') return false;
    Value = Value * 10 + static_cast<uint64_t>(Line[I] - '0');
  }
  if (Value > UINT32_MAX) return false;
  Size = static_cast<uint32_t>(Value);
  Uidl = Line.substr(Blank + 1);
  return IsToken(Uidl, MostUidl);
}

// The index of the first entry whose UIDL an earlier entry has, or npos.
// Open addressing over entry numbers: a few bytes per entry and no copies of
// the UIDLs, which matters at 100,000 entries.
size_t FirstRepeat(const std::vector<TStateEntry>& Entries) {
  constexpr uint32_t Free = UINT32_MAX;
  size_t Slots = 16;
  while (Slots < Entries.size() * 2) Slots *= 2;
  std::vector<uint32_t> Table(Slots, Free);
  const std::hash<std::string_view> Hash;
  for (size_t I = 0; I < Entries.size(); ++I) {
    size_t Slot = Hash(Entries[I].Uidl) & (Slots - 1);
    while (Table[Slot] != Free) {
      if (Entries[Table[Slot]].Uidl == Entries[I].Uidl) return I;
      Slot = (Slot + 1) & (Slots - 1);
    }
    Table[Slot] = static_cast<uint32_t>(I);
  }
  return std::string_view::npos;
}

std::string Damaged(size_t Line) { return "the state file is damaged (line " + std::to_string(Line) + ")"; }

std::string FolderOf(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : Path.substr(0, Slash);
}

// mkdir -p with mode 0700 for every folder it makes; folders that are there
// already are left as they are.
std::string MakeFolders(const std::string& Folder) {
  for (size_t End = 1; End <= Folder.size(); ++End) {
    if (End < Folder.size() && Folder[End] != '/') continue;
    const std::string Part = Folder.substr(0, End);
    if (mkdir(Part.c_str(), 0700) == 0) {
      chmod(Part.c_str(), 0700);  // the umask may have taken bits the owner needs
    } else if (errno != EEXIST) {
      return "cannot create the folder " + Part + ": " + ErrnoText(errno);
    }
  }
  return "";
}

std::string WriteAll(int Fd, std::string_view Bytes) {
  while (!Bytes.empty()) {
    const ssize_t N = write(Fd, Bytes.data(), Bytes.size());
    if (N < 0) {
      if (errno == EINTR) continue;
      return ErrnoText(errno);
    }
    Bytes.remove_prefix(static_cast<size_t>(N));
  }
  return "";
}

// A byte outside [A-Za-z0-9.-] as %XX; '%', '@' and '_' are escaped too, so
// the joined name splits back into its parts in only one way.
void AppendEscaped(std::string& Name, std::string_view Part, bool Lower) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  for (char C : Part) {
    if (Lower && C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    const bool Plain =
        (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '.' || C == '-';
    if (Plain) {
      Name += C;
    } else {
      const auto Byte = static_cast<unsigned char>(C);
      Name += '%';
      Name += Digits[Byte >> 4];
      Name += Digits[Byte & 15];
    }
  }
}

}  // namespace

TMailboxState::~TMailboxState() {
  // The lock file is not removed: a run waiting to open it could then lock a
  // file that no later run sees.
  if (LockFd >= 0) close(LockFd);
}

std::string TMailboxState::DefaultPath(const std::string& User, const std::string& Server, const std::string& Port) {
  std::string Base;
  const char* StateHome = std::getenv("XDG_STATE_HOME");
  const char* Home = std::getenv("HOME");
  if (StateHome && StateHome[0] == '/') {
    Base = StateHome;
  } else {
    if (Home && Home[0] == '/') {
      Base = Home;
    } else if (const passwd* Entry = getpwuid(getuid()); Entry && Entry->pw_dir && Entry->pw_dir[0] == '/') {
      Base = Entry->pw_dir;
    } else {
      return "";
    }
    while (Base.size() > 1 && Base.back() == '/') Base.pop_back();
    Base += "/.local/state";
  }
  while (!Base.empty() && Base.back() == '/') Base.pop_back();

  std::string Name;
  AppendEscaped(Name, User, false);
  Name += '@';
  // Host names do not depend on case: one mailbox, one state.
  AppendEscaped(Name, Server, true);
  Name += '_';
  AppendEscaped(Name, Port, false);
  if (Name.size() > MostName) {
    // '~' never appears in an escaped name, so a cut name meets no other.
    const std::string Digest = BytesToHex(Md5Digest(Name));
    Name = Name.substr(0, MostName - Digest.size() - 1) + "~" + Digest;
  }
  return Base + "/quorrel/" + Name;
}

std::string TMailboxState::Lock(const std::string& Path, bool& Busy) {
  Busy = false;
  if (LockFd >= 0) close(LockFd);
  LockFd = -1;
  StatePath = Path;
  if (Path.empty() || Path.back() == '/') return "no state file name in \"" + Path + "\"";
  if (std::string Trouble = MakeFolders(FolderOf(Path)); !Trouble.empty()) return Trouble;
  const std::string LockPath = Path + ".lock";
  // Close-on-exec: a password command started by this run, or anything it
  // leaves running, must not keep holding the lock after the run.
  const int Fd = open(LockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (Fd < 0) return "cannot open " + LockPath + ": " + ErrnoText(errno);
  fchmod(Fd, 0600);  // exact, whatever the umask; fails harmlessly on a file of another owner
  if (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    const int Error = errno;
    close(Fd);
    if (Error == EWOULDBLOCK) {
      Busy = true;
      return "another run holds " + LockPath;
    }
    return "cannot lock " + LockPath + ": " + ErrnoText(Error);
  }
  LockFd = Fd;
  return "";
}

std::string TMailboxState::Load(std::string& Fingerprint, std::vector<TStateEntry>& Entries) {
  Fingerprint.clear();
  Entries.clear();
  if (LockFd < 0) return "the state is not locked";
  const int Fd = open(StatePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    if (errno == ENOENT) return "there is no state yet";
    return "cannot read " + StatePath + ": " + ErrnoText(errno);
  }
  TCleanup CloseFile([Fd] { close(Fd); });

  std::string Header;
  std::vector<TStateEntry> Read;
  // A chunk plus the longest line that can be left over from the chunk before.
  const size_t Capacity = IoChunk + MostLine + 1;
  const std::unique_ptr<char[]> Buffer(new char[Capacity]);
  size_t Held = 0;
  size_t Line = 0;
  for (;;) {
    const ssize_t N = read(Fd, Buffer.get() + Held, Capacity - Held);
    if (N < 0) {
      if (errno == EINTR) continue;
      return "cannot read " + StatePath + ": " + ErrnoText(errno);
    }
    if (N == 0) break;
    Held += static_cast<size_t>(N);
    size_t Start = 0;
    while (const void* Lf = std::memchr(Buffer.get() + Start, '\n', Held - Start)) {
      const size_t End = static_cast<size_t>(static_cast<const char*>(Lf) - Buffer.get());
      const std::string_view Text(Buffer.get() + Start, End - Start);
      Start = End + 1;
      ++Line;
      if (Line == 1) {
        if (Text.substr(0, Magic.size()) != Magic) return Damaged(Line);
        const std::string_view Rest = Text.substr(Magic.size());
        const std::string_view Got = Rest.substr(0, Rest.find(' '));
        if (Got != Version) {
          // Written by a later version: say so rather than call it damaged.
          if (!Got.empty() && Got.size() <= 9 && Got.find_first_not_of("0123456789") == std::string_view::npos)
            return "the state file has version " + std::string(Got) + ", which this program cannot read";
          return Damaged(Line);
        }
        const std::string_view Print = Rest.substr(Got.size());
        if (Print.empty() || !IsToken(Print.substr(1), MostFingerprint)) return Damaged(Line);
        Header = Print.substr(1);
        continue;
      }
      uint32_t Size = 0;
      std::string_view Uidl;
      if (!ParseEntry(Text, Size, Uidl) || Read.size() >= MostEntries) return Damaged(Line);
      Read.push_back(TStateEntry{std::string(Uidl), Size});
    }
    if (Held - Start > MostLine) return Damaged(Line + 1);
    std::memmove(Buffer.get(), Buffer.get() + Start, Held - Start);
    Held -= Start;
  }
  // Bytes after the last LF: a file cut short.
  if (Held > 0 || Line == 0) return Damaged(Line + 1);
  if (const size_t Repeat = FirstRepeat(Read); Repeat != std::string_view::npos) return Damaged(Repeat + 2);
  Fingerprint = std::move(Header);
  Entries = std::move(Read);
  return "";
}

std::string TMailboxState::Save(const std::string& Fingerprint, const std::vector<TStateEntry>& Entries) {
  if (LockFd < 0) return "the state is not locked";
  // Whatever is written here must load again.
  if (!IsToken(Fingerprint, MostFingerprint)) return "the fingerprint cannot be stored";
  if (Entries.size() > MostEntries) return "too many entries for the state file";
  for (const TStateEntry& Entry : Entries)
    if (!IsToken(Entry.Uidl, MostUidl)) return "the UIDL \"" + Entry.Uidl + "\" cannot be stored";
  if (const size_t Repeat = FirstRepeat(Entries); Repeat != std::string_view::npos)
    return "the UIDL " + Entries[Repeat].Uidl + " is there twice";

  std::string Temporary = StatePath + ".tmp-XXXXXX";
  int Fd = mkostemp(Temporary.data(), O_CLOEXEC);
  if (Fd < 0) return "cannot create a temporary file for " + StatePath + ": " + ErrnoText(errno);
  fchmod(Fd, 0600);  // the umask may have taken the owner's write bit
  TCleanup Discard([&] {
    if (Fd >= 0) close(Fd);
    unlink(Temporary.c_str());
  });
  const auto Failed = [&](const std::string& Reason) { return "cannot write " + Temporary + ": " + Reason; };

  std::string Out;
  Out.reserve(IoChunk + MostLine + 1);
  Out.append(Magic).append(Version).append(" ").append(Fingerprint).append("\n");
  for (const TStateEntry& Entry : Entries) {
    char Digits[16];
    const auto Made = std::to_chars(Digits, Digits + sizeof Digits, Entry.Size);
    Out.append(Digits, Made.ptr).append(" ").append(Entry.Uidl).append("\n");
    if (Out.size() >= IoChunk) {
      if (std::string Trouble = WriteAll(Fd, Out); !Trouble.empty()) return Failed(Trouble);
      Out.clear();
    }
  }
  if (std::string Trouble = WriteAll(Fd, Out); !Trouble.empty()) return Failed(Trouble);
  if (fsync(Fd) != 0) return Failed(ErrnoText(errno));
  const int Closed = close(Fd);
  Fd = -1;
  if (Closed != 0) return Failed(ErrnoText(errno));
  if (rename(Temporary.c_str(), StatePath.c_str()) != 0)
    return "cannot replace " + StatePath + ": " + ErrnoText(errno);
  Discard.Cancel();

  // Without this the rename may not survive a crash, and the next run would
  // read the old state: messages judged since are read once more, no worse.
  const std::string Folder = FolderOf(StatePath);
  const int FolderFd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (FolderFd < 0) return "the state is replaced but cannot be synced: " + ErrnoText(errno);
  const int Synced = fsync(FolderFd);
  const int Error = errno;
  close(FolderFd);
  if (Synced != 0) return "the state is replaced but cannot be synced: " + ErrnoText(Error);
  return "";
}

std::string StateFingerprint(const std::vector<std::string>& Parts) {
  Md5Context Context;
  Md5Begin(Context);
  for (const std::string& Part : Parts) {
    const std::string Length = std::to_string(Part.size()) + ":";
    Md5Add(Context, Length);
    Md5Add(Context, Part);
  }
  return BytesToHex(Md5End(Context));
}

}  // namespace quorrel
