// Shared pieces of the benchmarks: a private table root for the run, the ns-per-operation
// counter every benchmark reports and the clock that a writer puts into a record for the
// process that takes it out.
#pragma once

#include "Mem/RootPath.h"
#include "Orlo/Hash.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <time.h>

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

// The hash of the in-process maps the tables are measured against: the mixing hash the library
// uses, where std::hash of an integer is the integer itself.
struct MixHash {
    size_t operator()(uint64_t v) const { return Orlo::hashSingleAttr(0x1234, v); }
};

// Reports ns_per_op: the time of one of the opsPerIteration operations of each iteration.
inline void perOp(benchmark::State& state, uint64_t opsPerIteration) {
    state.counters["ns_per_op"] =
        benchmark::Counter(double(opsPerIteration) * double(state.iterations()) * 1e-9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// CLOCK_MONOTONIC in ns: the same clock in every process of the machine, so a writer can stamp a
// record with it and a follower can tell how long the record took to reach it.
inline uint64_t nowNs() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}

}  // namespace VeskBench
