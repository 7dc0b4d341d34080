// Cost of the table layer on the write path: counterIs on a mounted writer table of
// CounterEntrySimple (count, guarded write, key notification) against a bare VeskWriter writing
// the same records, and counterIs with one observer registered. Every run overwrites the same
// records of a full table in a shuffled order and reports ns_per_op.
//
//   build/bench/bench_table [--benchmark_filter=...] [--benchmark_repetitions=N]
#include "FlexCounters2/CounterTables.h"
#include "Orlo/Entity.h"
#include "Orlo/Notifiee.h"
#include "Vesk/VeskWriter.h"

#include "BenchUtil.h"
#include "RecordKinds.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace DravoCounters::FlexCounters2;
using Ops = CounterEntrySimpleOps;
using Writer = Vesk::VeskWriter<Ops>;

namespace {

using VeskBench::perOp;
using VeskBench::root;

// Room for n records without a resize during the run.
Vesk::MapDescriptor descriptor(uint64_t n) {
    return Vesk::MapDescriptor(uint32_t(std::max<uint64_t>(2 * n, 64)));
}

std::string nextName() {
    static int serial = 0;
    return fmt::format("t{}", serial++);
}

// Generation `round` of key k, as the tool writes it (RecordKinds.h).
CounterEntrySimple record(uint64_t k, uint64_t round) {
    return VeskTool::Kind<Ops>::make(k, round);
}

std::vector<uint64_t> shuffledKeys(uint64_t n) {
    std::vector<uint64_t> keys(n);
    for (uint64_t i = 0; i < n; ++i)
        keys[i] = i * 7 + 1;
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(42));
    return keys;
}

// An observer that does the least a real one does: reads the key.
class KeySum : public Orlo::Notifiee {
  public:
    void onAttribute(uint32_t, const void* key) override {
        sum += static_cast<const CounterIndex*>(key)->value();
    }
    uint64_t sum = 0;
};

// A table named after `name` in the root directory "bench", mounted as a writer of n records
// and filled with them.
struct MountedTable {
    explicit MountedTable(uint64_t n) {
        root();
        dir = Orlo::Directory::DirectoryIs("bench");
        table = counterTableSimpleFactory(nextName());
        dir->entityIs(table);
        table->counterControl()->mount(descriptor(n));
        for (uint64_t k : shuffledKeys(n))
            table->counterIs(record(k, 0));
    }
    // The files go with the bench root.
    ~MountedTable() {
        table->counterControl()->unmount();
        dir->entityDelAll();
    }
    Orlo::Ptr<Orlo::Directory> dir;
    Orlo::Ptr<CounterTableSimple> table;
};

void TableCounterIs(benchmark::State& state) {
    const uint64_t n = state.range(0);
    MountedTable m(n);
    const auto keys = shuffledKeys(n);
    uint64_t round = 0;
    for (auto _ : state) {
        ++round;
        for (uint64_t k : keys)
            m.table->counterIs(record(k, round));
    }
    perOp(state, n);
}

void TableCounterIsObserved(benchmark::State& state) {
    const uint64_t n = state.range(0);
    MountedTable m(n);
    Orlo::Ptr<KeySum> observer(new KeySum);
    m.table->notifieeList().newMember(m.table.get(), observer);
    const auto keys = shuffledKeys(n);
    uint64_t round = 0;
    for (auto _ : state) {
        ++round;
        for (uint64_t k : keys)
            m.table->counterIs(record(k, round));
    }
    benchmark::DoNotOptimize(observer->sum);
    perOp(state, n);
}

void WriterWrite(benchmark::State& state) {
    const uint64_t n = state.range(0);
    root();
    auto w = std::make_unique<Writer>(*Pimbo::Platform::getDebugHandler("bench"),
                                      "/bench/" + nextName() + "/counter", descriptor(n), Ops{},
                                      "Bench");
    w->initialize("none");
    const auto keys = shuffledKeys(n);
    for (uint64_t k : keys)
        w->write(record(k, 0), true);
    uint64_t round = 0;
    for (auto _ : state) {
        ++round;
        for (uint64_t k : keys)
            w->write(record(k, round), true);
    }
    perOp(state, n);
    w->cleanup();
}

#define SIZES ->Arg(100000)->Unit(benchmark::kMillisecond)

BENCHMARK(WriterWrite) SIZES;
BENCHMARK(TableCounterIs) SIZES;
BENCHMARK(TableCounterIsObserved) SIZES;

}  // namespace

int main(int argc, char** argv) {
    return VeskBench::runBenchmarks(argc, argv);
}
