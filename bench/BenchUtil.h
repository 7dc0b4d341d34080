// Shared pieces of the benchmarks: a private table root for the run and the ns-per-operation
// counter every benchmark reports.
#pragma once

#include "Mem/RootPath.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace VeskBench {

// A fresh directory under /dev/shm, made the process's table root, removed at exit.
struct BenchRoot {
    BenchRoot() {
        std::string pattern = "/dev/shm/vesk-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        dir = pattern;
        Mem::RootPath::rootIs(dir);
    }
    ~BenchRoot() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
};

inline BenchRoot& root() {
    static BenchRoot r;
    return r;
}

// Reports ns_per_op: the time of one of the opsPerIteration operations of each iteration.
inline void perOp(benchmark::State& state, uint64_t opsPerIteration) {
    state.counters["ns_per_op"] =
        benchmark::Counter(double(opsPerIteration) * double(state.iterations()) * 1e-9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace VeskBench
