// Device start on each sample board with many Product patterns that do not match enumerating
// ahead of the board's own: the start should cost little more with 1,000 of them than with 10.
// Reports the PnP start request's time (manual time) and the time per pattern.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "board/board.hpp"
#include "machine/machine.hpp"

namespace {

using namespace sim::machine;

// Regedit sections for `count` patterns that sort before every board's own ("!" comes before
// "*", digits and letters) and match no product name.
std::string MismatchingPatterns(int count)
{
    std::string text = "\r\n";
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "!%04d", i);
        text += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\";
        text += name;
        text += "]\r\n";
    }
    return text;
}

void StartWithMismatchingPatterns(benchmark::State& state, const char* boardName)
{
    const int patterns = static_cast<int>(state.range(0));
    Board board = LoadBoard(std::string(KWOTARV_SOURCE_DIR) + "/Boards/" + boardName);
    board.registryText += MismatchingPatterns(patterns);
    for (auto _ : state) {
        Machine machine(board);
        const StartOutcome start = machine.PowerOn();
        if (!start.started) {
            state.SkipWithError(("the device did not start: " + start.diagnosis).c_str());
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(start.startTime).count());
        if (!machine.PowerOff().Clean()) {
            state.SkipWithError("the shutdown was not clean");
            break;
        }
    }
    state.counters["patterns"] = patterns;
}

#define KWO_START_BENCHMARK(board)                                                                 \
    BENCHMARK_CAPTURE(StartWithMismatchingPatterns, board, #board)                                 \
        ->Arg(10)                                                                                  \
        ->Arg(1000)                                                                                \
        ->UseManualTime()                                                                          \
        ->Unit(benchmark::kMillisecond)

KWO_START_BENCHMARK(nct6776);
KWO_START_BENCHMARK(nct5523d);
KWO_START_BENCHMARK(w83627dhg);
KWO_START_BENCHMARK(w83627hf);

} // namespace
