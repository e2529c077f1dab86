#pragma once

// What the benchmark programs share: wall-clock seconds since a start, and a
// main that runs the benchmarks and then prints the program's own summary.

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>

namespace nimbuscrate::benchmarks {

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs the benchmarks named on the command line, then `report` (which prints
// what compares the runs with each other).
inline int runBenchmarksThenReport(int argc, char** argv, const std::function<void()>& report) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    report();
    return 0;
}

}  // namespace nimbuscrate::benchmarks
