// Throughput of the MD5 digest over 8 KiB blocks, the size that `openssl speed
// -bytes 8192` uses, so that the two figures can be set side by side.
#include <benchmark/benchmark.h>

#include <string>

#include "codec/codec.h"

using namespace quorrel;

namespace {

void Md5Digest8KiB(benchmark::State& State) {
  std::string Block(8192, '\0');
  for (size_t I = 0; I < Block.size(); ++I) Block[I] = static_cast<char>(I * 131 + 7);
  for (auto _ : State) {
    std::string Digest = Md5Digest(Block);
    benchmark::DoNotOptimize(Digest.data());
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Block.size()));
}
BENCHMARK(Md5Digest8KiB);

}  // namespace

BENCHMARK_MAIN();
