// Shared pieces of the fuzz targets: reading choices from the input, and a
// socketpair peer that delivers bytes in the chunks the input asks for.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace quorrel {

class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* Data, size_t Size) : Data(Data), Size(Size) {}
  uint8_t Byte() { return Pos < Size ? Data[Pos++] : 0; }
  bool Flag() { return Byte() & 1; }
  std::string Rest() {
    std::string R(reinterpret_cast<const char*>(Data) + Pos, Size - Pos);
    Pos = Size;
    return R;
  }
  // The rest of the input cut into chunks: each chunk is a size byte (1..64)
  // followed by that many bytes.
  std::vector<std::string> Chunks() {
    std::vector<std::string> Out;
    while (Pos < Size) {
      size_t Want = 1 + Byte() % 64;
      size_t Take = Want < Size - Pos ? Want : Size - Pos;
      Out.emplace_back(reinterpret_cast<const char*>(Data) + Pos, Take);
      Pos += Take;
    }
    return Out;
  }

 private:
  const uint8_t* Data;
  size_t Size;
  size_t Pos = 0;
};

// A connected stream socketpair whose far end writes the chunks one at a time,
// each only after the reader has taken everything before it, then closes.
class TChunkFeeder {
 public:
  explicit TChunkFeeder(std::vector<std::string> Chunks);
  ~TChunkFeeder();
  int ReaderHandle() const { return Reader; }
  // Hands the reading end over to a socket object that will close it.
  int ReleaseReader() {
    int R = Reader;
    Reader = -1;
    return R;
  }

 private:
  int Reader = -1;
  int Writer = -1;
  int Watch = -1;  // a duplicate of the reading end, to see what is still queued
  std::atomic<bool> Stop{false};
  std::thread Thread;
};

// Starts the socket layer once per process.
void FuzzModulesStart();

}  // namespace quorrel
