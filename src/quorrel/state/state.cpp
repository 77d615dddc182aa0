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
#include "quorrel/durable/durable_file.h"

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

TStatus Unusable(std::string Why) { return TStatus::Fail(TFailureKind::LocalIo, std::move(Why)); }

std::string Damaged(size_t Line) { return "the state file is damaged (line " + std::to_string(Line) + ")"; }

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

std::string TMailboxState::DefaultPath(const std::string& User, const std::string& Server, const std::string& Port) {
  const std::string Base = UserFolder("XDG_STATE_HOME", ".local/state");
  if (Base.empty()) return "";

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

TStatus TMailboxState::Lock(const std::string& Path) {
  StatePath = Path;
  if (Path.empty() || Path.back() == '/')
    return TStatus::Fail(TFailureKind::LocalIo, "no state file name in \"" + Path + "\"");
  if (TStatus Made = MakeFolders(FolderOf(Path)); !Made) return Made;
  return StateLock.Lock(Path + ".lock");
}

TStatus TMailboxState::Load(std::string& Fingerprint, std::vector<TStateEntry>& Entries) {
  Fingerprint.clear();
  Entries.clear();
  Deleted.clear();
  if (!StateLock.Held()) return Unusable("the state is not locked");
  const int Fd = open(StatePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    if (errno == ENOENT) return Unusable("there is no state yet");
    return Unusable("cannot read " + StatePath + ": " + ErrnoText(errno));
  }
  TCleanup CloseFile([Fd] { close(Fd); });

  std::string Header;
  std::vector<TStateEntry> Read;
  std::vector<std::string> Gone;
  // A chunk plus the longest line that can be left over from the chunk before.
  const size_t Capacity = IoChunk + MostLine + 1;
  const std::unique_ptr<char[]> Buffer(new char[Capacity]);
  size_t Held = 0;
  size_t Line = 0;
  for (;;) {
    const ssize_t N = read(Fd, Buffer.get() + Held, Capacity - Held);
    if (N < 0) {
      if (errno == EINTR) continue;
      return Unusable("cannot read " + StatePath + ": " + ErrnoText(errno));
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
        if (Text.substr(0, Magic.size()) != Magic) return Unusable(Damaged(Line));
        const std::string_view Rest = Text.substr(Magic.size());
        const std::string_view Got = Rest.substr(0, Rest.find(' '));
        if (Got != Version) {
          // Written by a later version: say so rather than call it damaged.
          if (!Got.empty() && Got.size() <= 9 && Got.find_first_not_of("0123456789") == std::string_view::npos)
            return Unusable("the state file has version " + std::string(Got) + ", which this program cannot read");
          return Unusable(Damaged(Line));
        }
        const std::string_view Print = Rest.substr(Got.size());
        if (Print.empty() || !IsToken(Print.substr(1), MostFingerprint)) return Unusable(Damaged(Line));
        Header = Print.substr(1);
        continue;
      }
      if (Text.substr(0, 2) == "D ") {
        if (!IsToken(Text.substr(2), MostUidl) || Gone.size() >= MostDeleted) return Unusable(Damaged(Line));
        Gone.emplace_back(Text.substr(2));
        continue;
      }
      uint32_t Size = 0;
      std::string_view Uidl;
      if (!ParseEntry(Text, Size, Uidl) || Read.size() >= MostEntries) return Unusable(Damaged(Line));
      Read.push_back(TStateEntry{std::string(Uidl), Size});
    }
    if (Held - Start > MostLine) return Unusable(Damaged(Line + 1));
    std::memmove(Buffer.get(), Buffer.get() + Start, Held - Start);
    Held -= Start;
  }
  // Bytes after the last LF: a file cut short.
  if (Held > 0 || Line == 0) return Unusable(Damaged(Line + 1));
  if (const size_t Repeat = FirstRepeat(Read); Repeat != std::string_view::npos) return Unusable(Damaged(Repeat + 2));
  Fingerprint = std::move(Header);
  Entries = std::move(Read);
  Deleted = std::move(Gone);
  return TStatus::Ok();
}

TStatus TMailboxState::Save(const std::string& Fingerprint, const std::vector<TStateEntry>& Entries) {
  if (!StateLock.Held()) return Unusable("the state is not locked");
  // Whatever is written here must load again.
  if (!IsToken(Fingerprint, MostFingerprint)) return Unusable("the fingerprint cannot be stored");
  if (Entries.size() > MostEntries) return Unusable("too many entries for the state file");
  for (const TStateEntry& Entry : Entries)
    if (!IsToken(Entry.Uidl, MostUidl)) return Unusable("the UIDL \"" + Entry.Uidl + "\" cannot be stored");
  if (const size_t Repeat = FirstRepeat(Entries); Repeat != std::string_view::npos)
    return Unusable("the UIDL " + Entries[Repeat].Uidl + " is there twice");

  TDurableFile File;
  if (const TStatus Made = File.Create(StatePath + ".tmp-"); !Made)
    return Made.Within("cannot create a temporary file for " + StatePath + ": ");
  const std::string Into = "cannot write " + File.TemporaryPath() + ": ";
  std::string Out;
  Out.reserve(IoChunk + MostLine + 1);
  Out.append(Magic).append(Version).append(" ").append(Fingerprint).append("\n");
  for (const TStateEntry& Entry : Entries) {
    char Digits[16];
    const auto Made = std::to_chars(Digits, Digits + sizeof Digits, Entry.Size);
    Out.append(Digits, Made.ptr).append(" ").append(Entry.Uidl).append("\n");
    if (Out.size() >= IoChunk) {
      if (const TStatus Written = File.Write(Out); !Written) return Written.Within(Into);
      Out.clear();
    }
  }
  const size_t FirstKept = Deleted.size() > MostDeleted ? Deleted.size() - MostDeleted : 0;
  for (size_t I = FirstKept; I < Deleted.size(); ++I) {
    if (!IsToken(Deleted[I], MostUidl)) continue;
    Out.append("D ").append(Deleted[I]).append("\n");
    if (Out.size() >= IoChunk) {
      if (const TStatus Written = File.Write(Out); !Written) return Written.Within(Into);
      Out.clear();
    }
  }
  if (const TStatus Written = File.Write(Out); !Written) return Written.Within(Into);
  if (const TStatus Synced = File.Sync(); !Synced) return Synced.Within(Into);
  if (const TStatus Placed = File.RenameTo(StatePath); !Placed) return Placed.Within("cannot replace " + StatePath + ": ");
  // Without this the rename may not survive a crash, and the next run would
  // read the old state: messages judged since are read once more, no worse.
  return SyncFolder(FolderOf(StatePath)).Within("the state is replaced but cannot be synced: ");
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
