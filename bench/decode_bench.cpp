// Cost of decoding header fields: a typical encoded subject, and hostile lines
// of growing length, whose cost must grow linearly (the complexity fit says so).
#include <benchmark/benchmark.h>

#include <string>

#include "codec/header_text.h"

using namespace quorrel;

namespace {

std::string Repeated(const std::string& Piece, int64_t Times) {
  std::string Line = "Subject: ";
  for (int64_t I = 0; I < Times; ++I) Line += Piece;
  return Line;
}

void DecodeTypicalSubject(benchmark::State& State) {
  const std::string Field = "Subject: =?UTF-8?B?R3LDvMOfZSBhdXMgTcO8bmNoZW4=?= =?ISO-8859-1?Q?und_K=F6ln?=";
  for (auto _ : State) {
    std::string Text = FoldCase(DecodeEncodedWords(Field));
    benchmark::DoNotOptimize(Text.data());
  }
}
BENCHMARK(DecodeTypicalSubject);

void DecodeHostile(benchmark::State& State, const std::string& Piece) {
  const std::string Line = Repeated(Piece, State.range(0));
  for (auto _ : State) {
    std::string Text = DecodeEncodedWords(Line);
    benchmark::DoNotOptimize(Text.data());
  }
  State.SetComplexityN(State.range(0));
}
BENCHMARK_CAPTURE(DecodeHostile, GoodWords, std::string("=?UTF-8?B?VmlhZ3Jh?= "))
    ->RangeMultiplier(4)->Range(1 << 8, 1 << 14)->Complexity();
BENCHMARK_CAPTURE(DecodeHostile, UnknownCharset, std::string("=?X-UNKNOWN?B?VmlhZ3Jh?= "))
    ->RangeMultiplier(4)->Range(1 << 8, 1 << 14)->Complexity();
BENCHMARK_CAPTURE(DecodeHostile, InvalidBase64, std::string("=?UTF-8?B?!!!!?= "))
    ->RangeMultiplier(4)->Range(1 << 8, 1 << 14)->Complexity();
BENCHMARK_CAPTURE(DecodeHostile, OpenersOnly, std::string("=?a?Q?"))
    ->RangeMultiplier(4)->Range(1 << 8, 1 << 14)->Complexity();

}  // namespace

BENCHMARK_MAIN();
