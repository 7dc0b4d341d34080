// Shared pieces of the benchmarks: a private table root for the run, the ns-per-operation
// counter every benchmark reports, the report that shows it, and the clock that a writer puts
// into a record for the process that takes it out.
#pragma once

#include "Orlo/Hash.h"
#include "Plinth/RootPath.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <time.h>

namespace VeskBench {

// A fresh directory under /dev/shm, made the process's table root. It is removed however the
// run ends: at exit, and else by a watcher process that waits for the last process of the run
// to end (the write end of its pipe closes with it: a crash, a kill, a hang that was killed)
// and then removes the root and the names beside it that begin with it (the peers' segments).
// The watcher has a session of its own, so the terminal's Ctrl-C leaves it to do its job.
struct BenchRoot {
    BenchRoot() {
        std::string pattern = "/dev/shm/vesk-bench-XXXXXX";
        int ends[2];
        if (::mkdtemp(pattern.data()) == nullptr || ::pipe2(ends, O_CLOEXEC) != 0)
            std::abort();
        dir = pattern;
        const pid_t watcher = ::fork();
        if (watcher == 0) {
            ::setsid();
            ::close(ends[1]);
            char byte;
            while (::read(ends[0], &byte, 1) != 0 && errno == EINTR) {
            }
            remove(dir);
            ::_exit(0);
        }
        ::close(ends[0]);  // the write end stays open in this process and its forked children
        if (watcher < 0)
            std::abort();
        Mem::RootPath::rootIs(dir);
    }
    ~BenchRoot() {
        if (::getpid() == owner)  // a forked child that exits leaves it to the run
            remove(dir);
    }
    static void remove(const std::string& root) {
        std::error_code ec;
        const std::filesystem::path path(root);
        for (const auto& e : std::filesystem::directory_iterator(path.parent_path(), ec)) {
            if (e.path().filename().string().starts_with(path.filename().string() + "-"))
                std::filesystem::remove_all(e.path(), ec);
        }
        std::filesystem::remove_all(path, ec);
    }
    std::string dir;
    pid_t owner = ::getpid();
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

// The console's report, flushed after each benchmark, with every counter whose name ends in
// "ns_per_op" (a number of nanoseconds, whether measured by the benchmark or a rate that perOp
// turned into one) shown as a time: "186.7ns" rather than "186.654s" or "6.01304k".
class Reporter : public benchmark::ConsoleReporter {
  public:
    Reporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown = runs;
        for (Run& run : shown) {
            for (auto& [name, counter] : run.counters) {
                if (name.ends_with("ns_per_op"))
                    counter =
                        benchmark::Counter(counter.value * 1e-9, benchmark::Counter::kIsRate |
                                                                     benchmark::Counter::kInvert);
            }
        }
        ConsoleReporter::ReportRuns(shown);
        GetOutputStream().flush();
    }
};

// The main of a benchmark program: its private root, then the benchmarks given on the command
// line, reported by Reporter. Output is line-buffered, so a run that is stopped keeps what it
// printed.
inline int runBenchmarks(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    root();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

// CLOCK_MONOTONIC in ns: the same clock in every process of the machine, so a writer can stamp a
// record with it and a follower can tell how long the record took to reach it.
inline uint64_t nowNs() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}

}  // namespace VeskBench
