// Cost of finding a line break: it must depend on where the first break is, not
// on how much text follows it. The three sizes of text after an early break
// should give the same time per call; the break at the end shows the full scan.
#include <benchmark/benchmark.h>

#include <string>

#include "netutil/netutil.h"

using namespace quorrel;

namespace {

void EarlyBreak(benchmark::State& State) {
  const std::string Text = "line\r\n" + std::string(static_cast<size_t>(State.range(0)), 'x');
  std::string Terminator;
  for (auto _ : State) benchmark::DoNotOptimize(FindLineBreak(Text, Terminator));
}
BENCHMARK(EarlyBreak)->Arg(1 << 10)->Arg(1 << 20)->Arg(32 << 20);

void BreakAtTheEnd(benchmark::State& State) {
  const std::string Text = std::string(static_cast<size_t>(State.range(0)), 'x') + "\r\n";
  std::string Terminator;
  for (auto _ : State) benchmark::DoNotOptimize(FindLineBreak(Text, Terminator));
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * State.range(0));
}
BENCHMARK(BreakAtTheEnd)->Arg(1 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
