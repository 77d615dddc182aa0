// Saving and loading the state of a mailbox of 100,000 kept messages, with
// UIDLs of 24 hex digits as many servers make them. After the timings, a fresh
// process of this program loads the same file alone and prints its peak
// resident memory before and after the load.
//
//   state_bench [benchmark flags]
//   state_bench --load-peak FILE     loads FILE once, prints the figures
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "quorrel/state/state.h"

using namespace quorrel;

namespace {

constexpr size_t EntryCount = 100000;

std::vector<TStateEntry> Synthetic() {
  std::vector<TStateEntry> Entries;
  Entries.reserve(EntryCount);
  uint64_t Seed = 0x9E3779B97F4A7C15u;
  for (size_t I = 0; I < EntryCount; ++I) {
    char Uidl[25];
    Seed = Seed * 6364136223846793005u + 1442695040888963407u;
    std::snprintf(Uidl, sizeof Uidl, "%08zx%016llx", I, static_cast<unsigned long long>(Seed));
    Entries.push_back({Uidl, static_cast<uint32_t>(1000 + Seed % 5000000)});
  }
  return Entries;
}

struct TFixture {
  std::string Dir, Path;
  std::vector<TStateEntry> Entries = Synthetic();
  std::unique_ptr<TMailboxState> State = std::make_unique<TMailboxState>();
  TFixture() {
    char Template[] = "/tmp/quorrel-state-bench-XXXXXX";
    if (mkdtemp(Template)) Dir = Template;
    Path = Dir + "/state";
    if (Dir.empty() || !State->Lock(Path) || !State->Save("bench", Entries)) std::abort();
  }
};

TFixture& Fixture() {
  static TFixture Made;
  return Made;
}

void Save100k(benchmark::State& Run) {
  TFixture& F = Fixture();
  for (auto _ : Run)
    if (!F.State->Save("bench", F.Entries)) Run.SkipWithError("Save failed");
  Run.SetItemsProcessed(static_cast<int64_t>(Run.iterations() * EntryCount));
}
BENCHMARK(Save100k)->Unit(benchmark::kMillisecond)->UseRealTime();

void Load100k(benchmark::State& Run) {
  TFixture& F = Fixture();
  std::string Fingerprint;
  std::vector<TStateEntry> Entries;
  for (auto _ : Run) {
    if (!F.State->Load(Fingerprint, Entries) || Entries.size() != EntryCount) Run.SkipWithError("Load failed");
    benchmark::DoNotOptimize(Entries.data());
  }
  Run.SetItemsProcessed(static_cast<int64_t>(Run.iterations() * EntryCount));
}
BENCHMARK(Load100k)->Unit(benchmark::kMillisecond)->UseRealTime();

long StatusKb(const char* Field) {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind(Field, 0) == 0) return std::stol(Line.substr(Line.find(':') + 1));
  return -1;
}

int LoadPeak(const std::string& Path) {
  TMailboxState State;
  if (const TStatus Locked = State.Lock(Path); !Locked) {
    std::fprintf(stderr, "%s\n", Locked.Message().c_str());
    return 1;
  }
  const long Before = StatusKb("VmHWM:");
  std::string Fingerprint;
  std::vector<TStateEntry> Entries;
  const std::string Trouble = State.Load(Fingerprint, Entries).Message();
  const long After = StatusKb("VmHWM:");
  std::printf("load peak: entries=%zu file=%ju bytes VmHWM before=%ld kB after=%ld kB growth=%ld kB%s%s\n",
              Entries.size(), static_cast<uintmax_t>(std::filesystem::file_size(Path)), Before, After, After - Before,
              Trouble.empty() ? "" : " trouble=", Trouble.c_str());
  return Trouble.empty() ? 0 : 1;
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc == 3 && std::string(Argv[1]) == "--load-peak") return LoadPeak(Argv[2]);
  benchmark::Initialize(&Argc, Argv);
  if (benchmark::ReportUnrecognizedArguments(Argc, Argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  // The load alone, in a process of its own: this one's heap is full of the
  // timings' leftovers. The lock is given up first so that it can take it.
  TFixture& F = Fixture();
  F.State.reset();
  std::fflush(stdout);
  const pid_t Pid = fork();
  if (Pid == 0) {
    execl("/proc/self/exe", Argv[0], "--load-peak", F.Path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int Status = 1;
  if (Pid > 0) waitpid(Pid, &Status, 0);
  std::filesystem::remove_all(F.Dir);
  return Pid > 0 && WIFEXITED(Status) && WEXITSTATUS(Status) == 0 ? 0 : 1;
}
