// The configuration check's pattern-cover test: pairs that part on a pre-test, pairs that need
// the search, and long wildcard-heavy pairs.
#include <benchmark/benchmark.h>

#include <string>

#include "checker/patterns.hpp"

namespace {

using sim::machine::PatternCovers;

void Cover(benchmark::State& state, std::string outer, std::string inner)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(PatternCovers(outer, inner));
}

std::string Repeat(const std::string& piece, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

BENCHMARK_CAPTURE(Cover, exact_names, std::string("QIB-1234"), std::string("QIB-1235"));
BENCHMARK_CAPTURE(Cover, family, std::string("*-12?4*"), std::string("*-1234*"));
BENCHMARK_CAPTURE(Cover, question_marks_20, "*a" + std::string(16, '?') + "aaa*",
                  Repeat("*a", 20) + "*");
BENCHMARK_CAPTURE(Cover, stars_127, Repeat("*a", 127), Repeat("*a", 127));

} // namespace
