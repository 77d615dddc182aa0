// Cost of the rules on one header: plain words against expressions on an
// ordinary header, and expressions on hostile headers, whose cost must grow
// linearly with the line (the complexity fit says so). A backtracking engine
// on the same pattern is shown for contrast at lengths it can still finish.
#include <benchmark/benchmark.h>

#include <regex>
#include <string>
#include <vector>

#include "quorrel/rules/rules.h"

using namespace quorrel;

namespace {

const std::vector<std::string> Ordinary = {
    "Return-Path: <news@shop.example>",
    "Received: from mx.shop.example (mx.shop.example [192.0.2.7])",
    "\tby mail.example.org with ESMTPS id 4Xk2; Mon, 7 Dec 2026 09:12:44 +0000",
    "DKIM-Signature: v=1; a=rsa-sha256; d=shop.example; s=s1; h=from:to:subject:date;",
    "\tbh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; b=dzdVyOfAKCdLXdJOc9G2q8LoXSlEniSb",
    "From: Shop News <news@shop.example>",
    "To: alice@example.org",
    "Subject: Your weekly offers: 20% off garden tools",
    "Date: Mon, 7 Dec 2026 09:12:40 +0000",
    "Message-ID: <20261207091240.4711@shop.example>",
    "MIME-Version: 1.0",
    "Content-Type: text/html; charset=utf-8",
    "List-Unsubscribe: <mailto:leave@shop.example>",
    "",
};

const std::vector<std::string> Words = {"casino", "lottery", "viagra", "crypto wallet", "act now"};
const std::vector<std::string> Expressions = {"casino", "lotter(y|ies)", "v[i1]agra", "crypto\\s+wallet",
                                              "^subject: act now"};

TRules Made(const std::vector<std::string>& Filters, bool Regex) {
  TRuleSettings S;
  S.FilterWords = Filters;
  S.Regex = Regex;
  TRules Rules;
  if (!Rules.Take(S)) std::abort();
  return Rules;
}

void Judge(benchmark::State& State, const TRules& Rules, const std::vector<std::string>& Header) {
  for (auto _ : State) benchmark::DoNotOptimize(Rules.Judge(Header, true, std::nullopt).Delete);
}

void OrdinaryWords(benchmark::State& State) { Judge(State, Made(Words, false), Ordinary); }
BENCHMARK(OrdinaryWords);
void OrdinaryExpressions(benchmark::State& State) { Judge(State, Made(Expressions, true), Ordinary); }
BENCHMARK(OrdinaryExpressions);

std::string Alternation(int Count) {
  std::string Pattern;
  for (int I = 0; I < Count; ++I) Pattern += (I ? "|w" : "w") + std::to_string(I * 7919) + "x";
  return Pattern;
}

void OrdinaryTenThousandAlternations(benchmark::State& State) {
  Judge(State, Made({Alternation(10000)}, true), Ordinary);
}
BENCHMARK(OrdinaryTenThousandAlternations);

// A header of one long line of "a"s that ends in "!".
std::vector<std::string> Hostile(int64_t Length) { return {"Subject: " + std::string(size_t(Length), 'a') + "!", ""}; }

void HostileLine(benchmark::State& State, const std::string& Word, bool Regex) {
  const TRules Rules = Made({Word}, Regex);
  const std::vector<std::string> Header = Hostile(State.range(0));
  Judge(State, Rules, Header);
  State.SetComplexityN(State.range(0));
  State.SetBytesProcessed(int64_t(State.iterations()) * State.range(0));
}
// RE2 answers this one from the end of the line, in constant time.
BENCHMARK_CAPTURE(HostileLine, NestedPlusAtTheEnd, std::string("(a+)+$"), true)
    ->RangeMultiplier(2)->Range(32 << 10, 512 << 10)->Complexity();
// Unanchored, the whole line is scanned once.
BENCHMARK_CAPTURE(HostileLine, NestedPlus, std::string("(a+)+b"), true)
    ->RangeMultiplier(2)->Range(32 << 10, 512 << 10)->Complexity();
BENCHMARK_CAPTURE(HostileLine, TenThousandAlternations, Alternation(10000), true)
    ->RangeMultiplier(2)->Range(32 << 10, 512 << 10)->Complexity();
BENCHMARK_CAPTURE(HostileLine, PlainWord, std::string("aab"), false)
    ->RangeMultiplier(2)->Range(32 << 10, 512 << 10)->Complexity();

// std::regex backtracks: each added "a" doubles its time on the same pattern.
void BacktrackingPeer(benchmark::State& State) {
  const std::regex Pattern("(a+)+$", std::regex::icase);
  const std::string Line = "Subject: " + std::string(size_t(State.range(0)), 'a') + "!";
  for (auto _ : State) benchmark::DoNotOptimize(std::regex_search(Line, Pattern));
}
BENCHMARK(BacktrackingPeer)->DenseRange(14, 20, 2);

}  // namespace

BENCHMARK_MAIN();
