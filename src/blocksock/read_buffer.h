// Bytes received from the OS and not yet handed out. A queue with a read offset,
// so that taking one line off the front costs the line, not the whole buffer.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace quorrel {

class TReadBuffer {
 public:
  bool empty() const { return Head == Data.size(); }
  size_t size() const { return Data.size() - Head; }
  std::string_view View() const { return std::string_view(Data).substr(Head); }
  std::string Str() const { return std::string(View()); }
  // Empties the buffer and gives its memory back: the next bytes come in a
  // buffer of their own, and a large chunk's must not stay beside them.
  void clear() {
    std::string().swap(Data);
    Head = 0;
  }
  // Replaces the content by Bytes from Offset on (no copy of the moved string).
  void Assign(std::string&& Bytes, size_t Offset = 0) {
    Data = std::move(Bytes);
    Head = Offset <= Data.size() ? Offset : Data.size();
    if (Head == Data.size()) clear();
  }
  void Assign(std::string_view Bytes) {
    Data.assign(Bytes);
    Head = 0;
  }
  // Hands out the whole content and leaves the buffer empty.
  std::string TakeAll() {
    std::string Out = Head == 0 ? std::move(Data) : Data.substr(Head);
    clear();
    return Out;
  }
  // Drops Count bytes from the front.
  void Drop(size_t Count) {
    Head += Count < size() ? Count : size();
    if (Head == Data.size()) clear();
  }
  // Adds Bytes at the end. The consumed front is reclaimed only once it is at
  // least as large as what remains, so the move it costs is paid for by the bytes
  // already handed out: appending and dropping stay linear in the bytes moved.
  void Append(std::string_view Bytes) {
    if (Bytes.empty()) return;
    Compact();
    Data.append(Bytes);
  }
  void Append(std::string&& Bytes) {
    if (Bytes.empty()) return;
    if (empty()) {
      Assign(std::move(Bytes));
      return;
    }
    // A short rest in front of a large chunk goes into the room the chunk has
    // spare, so that the chunk is not copied into a second buffer as large.
    if (size() <= Bytes.capacity() - Bytes.size()) {
      Bytes.insert(0, View());
      Assign(std::move(Bytes));
      return;
    }
    Compact();
    Data.append(Bytes);
  }
  // Gives back the memory of the front already handed out, before more is
  // received: a large chunk's buffer is not kept for its last few bytes.
  void Trim() {
    if (Head == 0) return;
    Data = Data.substr(Head);
    Head = 0;
  }
  // Exchanges the contents in constant time.
  void Swap(TReadBuffer& Other) noexcept {
    Data.swap(Other.Data);
    std::swap(Head, Other.Head);
  }
  bool operator==(std::string_view Other) const { return View() == Other; }

 private:
  void Compact() {
    if (Head != 0 && Head >= Data.size() - Head) {
      Data.erase(0, Head);
      Head = 0;
    }
  }

  std::string Data;
  size_t Head = 0;
};

}  // namespace quorrel
