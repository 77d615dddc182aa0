// Bytes received from the OS and not yet handed out. A queue with a read offset,
// so that taking one line off the front costs the line, not the whole buffer.
#pragma once

#include <string>
#include <string_view>

class TReadBuffer {
 public:
  bool empty() const { return Head == Data.size(); }
  size_t size() const { return Data.size() - Head; }
  std::string_view View() const { return std::string_view(Data).substr(Head); }
  std::string Str() const { return std::string(View()); }
  void clear() {
    Data.clear();
    Head = 0;
  }
  // Replaces the content by Bytes from Offset on (no copy of the moved string).
  void Assign(std::string&& Bytes, size_t Offset = 0) {
    Data = std::move(Bytes);
    Head = Offset <= Data.size() ? Offset : Data.size();
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
  bool operator==(std::string_view Other) const { return View() == Other; }

 private:
  std::string Data;
  size_t Head = 0;
};
