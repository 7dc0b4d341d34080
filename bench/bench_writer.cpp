// Writer speed: insert, overwrite, lookup hit and miss, remove and full iteration on a shared-
// memory table of CounterEntrySimple, with std::unordered_map (mixing hash) doing the same work
// in the same run, and the overwrites also in the table's format model (FloorOverwrite: what the
// file format itself costs them). Every benchmark reports ns_per_op.
//
//   build/bench/bench_writer [--benchmark_filter=...]
#include "FlexCounters2/CounterTables.h"
#include "Vesk/VeskWriter.h"

#include "BenchUtil.h"
#include "FormatModel.h"
#include "RecordKinds.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

using namespace DravoCounters::FlexCounters2;
using Ops = CounterEntrySimpleOps;
using Writer = Vesk::VeskWriter<Ops>;

namespace {

using VeskBench::perOp;
using VeskBench::root;

std::unique_ptr<Writer> makeWriter(uint64_t n) {
    root();
    static int serial = 0;
    Vesk::MapDescriptor d(uint32_t(std::max<uint64_t>(n, 64)));
    auto w = std::make_unique<Writer>(*Pimbo::Platform::getDebugHandler("bench"),
                                      "bench/t" + std::to_string(serial++), d, Ops{}, "Bench");
    w->initialize("none");
    return w;
}

// Generation `round` of key k, as the tool writes it (RecordKinds.h).
CounterEntrySimple record(uint64_t k, uint64_t round = 0) {
    return VeskTool::Kind<Ops>::make(k, round);
}

// A writer of a table filled with keys, in their order.
std::unique_ptr<Writer> filledWriter(const std::vector<uint64_t>& keys) {
    auto w = makeWriter(keys.size());
    for (uint64_t k : keys)
        w->write(record(k), true);
    return w;
}

// Keys of a table of n records, in a shuffled order.
std::vector<uint64_t> shuffledKeys(uint64_t n, uint64_t offset = 0) {
    std::vector<uint64_t> keys(n);
    for (uint64_t i = 0; i < n; ++i)
        keys[i] = i + offset;
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(42));
    return keys;
}

using Map = std::unordered_map<uint64_t, CounterEntrySimple, VeskBench::MixHash>;

void VeskInsert(benchmark::State& state) {
    const uint64_t n = state.range(0);
    const auto keys = shuffledKeys(n);
    for (auto _ : state) {
        state.PauseTiming();
        auto w = makeWriter(n);
        state.ResumeTiming();
        for (uint64_t k : keys)
            w->write(record(k), true);
        state.PauseTiming();
        w->cleanup();
        w.reset();
        state.ResumeTiming();
    }
    perOp(state, n);
}

void MapInsert(benchmark::State& state) {
    const uint64_t n = state.range(0);
    const auto keys = shuffledKeys(n);
    for (auto _ : state) {
        Map m;
        for (uint64_t k : keys)
            m.insert_or_assign(k, record(k));
        benchmark::DoNotOptimize(m.size());
    }
    perOp(state, n);
}

void VeskOverwrite(benchmark::State& state) {
    const uint64_t n = state.range(0);
    const auto keys = shuffledKeys(n);
    auto w = filledWriter(keys);
    uint64_t round = 0;
    for (auto _ : state) {
        ++round;
        for (uint64_t k : keys) {
            w->write(record(k, round), true);
        }
    }
    perOp(state, n);
    w->cleanup();
}

// VeskOverwrite's overwrites in the table's format model (FormatModel.h): a copy of the table's
// memory, each record found through its chain and stored with nothing checked or published.
void FloorOverwrite(benchmark::State& state) {
    const uint64_t n = state.range(0);
    const auto keys = shuffledKeys(n);
    auto w = filledWriter(keys);
    const Writer& table = *w;
    auto hash = [&table](uint64_t k) { return table.hashKeyValue(k); };
    VeskBench::FormatModel model(
        w->buckets(), n, [&keys](uint64_t s) { return keys[s]; }, hash,
        [](uint64_t k) { return record(k); });
    model.checkLayout(*w, hash);
    uint64_t round = 0;
    uint64_t done = 0;
    for (auto _ : state) {
        ++round;
        for (uint64_t k : keys)
            done += model.overwrite(record(k, round), hash(k));
    }
    if (done != n * state.iterations())
        state.SkipWithError("the model misses records");
    perOp(state, n);
    w->cleanup();
}

void MapOverwrite(benchmark::State& state) {
    const uint64_t n = state.range(0);
    Map m;
    const auto keys = shuffledKeys(n);
    for (uint64_t k : keys)
        m.insert_or_assign(k, record(k));
    uint64_t round = 0;
    for (auto _ : state) {
        ++round;
        for (uint64_t k : keys) {
            m.insert_or_assign(k, record(k, round));
        }
    }
    perOp(state, n);
}

template <bool Hit>
void VeskLookup(benchmark::State& state) {
    const uint64_t n = state.range(0);
    auto w = makeWriter(n);
    for (uint64_t k = 0; k < n; ++k)
        w->write(record(k), true);
    const auto keys = shuffledKeys(n, Hit ? 0 : n);
    uint64_t sum = 0;
    for (auto _ : state) {
        for (uint64_t k : keys) {
            bool found = false;
            sum += w->lookup(CounterIndex(k), found, nullptr)->packets();
        }
    }
    benchmark::DoNotOptimize(sum);
    perOp(state, n);
    w->cleanup();
}

template <bool Hit>
void MapLookup(benchmark::State& state) {
    const uint64_t n = state.range(0);
    Map m;
    for (uint64_t k = 0; k < n; ++k)
        m.insert_or_assign(k, record(k));
    const auto keys = shuffledKeys(n, Hit ? 0 : n);
    uint64_t sum = 0;
    for (auto _ : state) {
        for (uint64_t k : keys) {
            auto it = m.find(k);
            sum += it == m.end() ? 0 : it->second.packets();
        }
    }
    benchmark::DoNotOptimize(sum);
    perOp(state, n);
}

void VeskRemove(benchmark::State& state) {
    const uint64_t n = state.range(0);
    const auto keys = shuffledKeys(n);
    for (auto _ : state) {
        state.PauseTiming();
        auto w = makeWriter(n);
        for (uint64_t k = 0; k < n; ++k)
            w->write(record(k), true);
        state.ResumeTiming();
        CounterEntrySimple removed;
        for (uint64_t k : keys)
            w->remove(CounterIndex(k), removed);
        state.PauseTiming();
        w->cleanup();
        w.reset();
        state.ResumeTiming();
    }
    perOp(state, n);
}

void MapRemove(benchmark::State& state) {
    const uint64_t n = state.range(0);
    const auto keys = shuffledKeys(n);
    for (auto _ : state) {
        state.PauseTiming();
        Map m;
        for (uint64_t k = 0; k < n; ++k)
            m.insert_or_assign(k, record(k));
        state.ResumeTiming();
        for (uint64_t k : keys)
            m.erase(k);
        benchmark::DoNotOptimize(m.size());
    }
    perOp(state, n);
}

void VeskIterate(benchmark::State& state) {
    const uint64_t n = state.range(0);
    auto w = makeWriter(n);
    for (uint64_t k = 0; k < n; ++k)
        w->write(record(k), true);
    uint64_t sum = 0;
    for (auto _ : state) {
        CounterEntrySimple v;
        Vesk::IterHint hint;
        for (bool more = w->first(v, hint); more; more = w->next(v.key(), v, hint))
            sum += v.packets();
    }
    benchmark::DoNotOptimize(sum);
    perOp(state, n);
    w->cleanup();
}

void MapIterate(benchmark::State& state) {
    const uint64_t n = state.range(0);
    Map m;
    for (uint64_t k = 0; k < n; ++k)
        m.insert_or_assign(k, record(k));
    uint64_t sum = 0;
    for (auto _ : state) {
        for (const auto& [k, v] : m)
            sum += v.packets();
    }
    benchmark::DoNotOptimize(sum);
    perOp(state, n);
}

#define SIZES ->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)

BENCHMARK(VeskInsert) SIZES;
BENCHMARK(MapInsert) SIZES;
BENCHMARK(VeskOverwrite) SIZES;
BENCHMARK(FloorOverwrite) SIZES;
BENCHMARK(MapOverwrite) SIZES;
BENCHMARK_TEMPLATE(VeskLookup, true) SIZES;
BENCHMARK_TEMPLATE(MapLookup, true) SIZES;
BENCHMARK_TEMPLATE(VeskLookup, false) SIZES;
BENCHMARK_TEMPLATE(MapLookup, false) SIZES;
BENCHMARK(VeskRemove) SIZES;
BENCHMARK(MapRemove) SIZES;
BENCHMARK(VeskIterate) SIZES;
BENCHMARK(MapIterate) SIZES;

}  // namespace

int main(int argc, char** argv) {
    return VeskBench::runBenchmarks(argc, argv);
}
