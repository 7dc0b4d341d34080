// Preallocation and page size, side by side in one run, on a table of 1,000,000
// CounterEntrySimple records:
//   - the writer filling the records into a new table, without and with a capacity hint
//     (MapDescriptor::capacityHint): without, the slots start at one page and the buckets at two,
//     and both grow as the records come; with, both files are formatted for the records at once;
//   - a reader's independent lookup hit (shuffled keys) and a first/next walk per record,
// each on a root under /dev/shm and on a tmpfs mounted with huge=always, which hands out 2 MiB
// pages where it can. The huge tmpfs is mounted by this benchmark in a mount namespace of its
// own when it runs as root; otherwise its cases are skipped with a message.
//
// The reader runs in this process, on its own read-only mapping of the files of an idle writer.
// Every benchmark reports ns_per_op and huge_bytes: how many bytes of the writer's or the
// reader's slot file mapping the kernel maps with 2 MiB pages (ShmemPmdMapped plus FilePmdMapped
// of the mapping in /proc/self/smaps, after the last fill or run); the writer's also slot_grows
// and bucket_grows.
//
//   build/bench/bench_pages [--benchmark_filter=...]
#include "FlexCounters2/CounterTables.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"

#include "BenchUtil.h"
#include "RecordKinds.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace DravoCounters::FlexCounters2;
using Ops = CounterEntrySimpleOps;
using Writer = Vesk::VeskWriter<Ops>;
using Reader = Vesk::VeskReader<Ops>;

namespace {

constexpr uint32_t kRecords = 1000000;

Pimbo::Platform::DebugHandler& handler() {
    return *Pimbo::Platform::getDebugHandler("bench");
}

CounterEntrySimple record(uint64_t k) {
    return VeskTool::Kind<Ops>::make(k, 0);
}

// The two roots: a directory under /dev/shm, and a huge=always tmpfs mounted below it (empty
// when the mount was refused, with the reason in `why`).
struct Roots {
    std::string shm;
    std::string huge;
    std::string why;
};

Roots& roots() {
    static Roots r = [] {
        Roots made;
        made.shm = VeskBench::root().dir;
        const std::string dir = made.shm + "/huge";
        auto refused = [&made](const char* what) {
            made.why = fmt::format("{} failed: {} (needs root)", what, std::strerror(errno));
            return made;
        };
        if (::unshare(CLONE_NEWNS) != 0)
            return refused("unshare(CLONE_NEWNS)");
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return refused("making the mounts private");
        if (::mkdir(dir.c_str(), 0755) != 0)
            return refused("mkdir");
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256m,huge=always,mode=0755") != 0)
            return refused("mounting a huge=always tmpfs");
        made.huge = dir;
        return made;
    }();
    return r;
}

// Bytes of the mapping that starts at `base` which the kernel maps with 2 MiB pages.
uint64_t hugeBytes(const void* base) {
    std::ifstream smaps("/proc/self/smaps");
    const std::string start = fmt::format("{:x}-", reinterpret_cast<uintptr_t>(base));
    std::string line;
    bool inside = false;
    uint64_t kb = 0;
    while (std::getline(smaps, line)) {
        if (line.compare(0, start.size(), start) == 0) {
            inside = true;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            break;
        } else if (inside && (line.rfind("ShmemPmdMapped:", 0) == 0 ||
                              line.rfind("FilePmdMapped:", 0) == 0)) {
            std::istringstream fields(line.substr(line.find(':') + 1));
            uint64_t v = 0;
            fields >> v;
            kb += v;
        }
    }
    return kb * 1024;
}

std::unique_ptr<Writer> makeWriter(const std::string& root, const std::string& name,
                                   uint32_t hint) {
    Mem::RootPath::rootIs(root);
    Vesk::MapDescriptor d(kRecords);
    d.capacityHint = hint;
    auto w = std::make_unique<Writer>(handler(), name, d, Ops{}, "Bench");
    w->initialize("bench");
    return w;
}

// Skips the state's benchmark when its root is the refused huge tmpfs; the root otherwise.
const std::string* rootOf(benchmark::State& state, bool huge) {
    if (!huge)
        return &roots().shm;
    if (roots().huge.empty()) {
        state.SkipWithError(("no huge=always tmpfs: " + roots().why).c_str());
        return nullptr;
    }
    return &roots().huge;
}

void writerFill(benchmark::State& state, bool huge, bool hinted) {
    const std::string* root = rootOf(state, huge);
    if (root == nullptr)
        return;
    std::vector<uint64_t> keys(kRecords);
    for (uint32_t i = 0; i < kRecords; ++i)
        keys[i] = i;
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(42));
    Vesk::Writer::Counters last;
    uint64_t hugeMapped = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto w = makeWriter(*root, "bench/fill", hinted ? kRecords : 0);
        state.ResumeTiming();
        for (uint64_t k : keys)
            w->write(record(k), true);
        state.PauseTiming();
        last = w->writerCounters();
        hugeMapped = hugeBytes(w->slotTable().header());
        w->cleanup();
        w.reset();
        state.ResumeTiming();
    }
    VeskBench::perOp(state, kRecords);
    state.counters["slot_grows"] = double(last.slotGrows);
    state.counters["bucket_grows"] = double(last.bucketGrows);
    state.counters["huge_bytes"] = double(hugeMapped);
}

// A filled table of each root with a reader attached to it, made at first use.
struct Table {
    std::unique_ptr<Writer> writer;
    std::unique_ptr<Reader> reader;
    std::vector<uint64_t> keys;  // every key, shuffled
};

std::map<std::string, Table> gTables;  // by root; emptied before the huge tmpfs goes

Table& table(const std::string& root) {
    Table& t = gTables[root];
    if (t.writer == nullptr) {
        t.writer = makeWriter(root, "bench/read", kRecords);
        for (uint32_t k = 0; k < kRecords; ++k)
            t.writer->write(record(k), true);
        t.reader = std::make_unique<Reader>(handler(), "bench/read", Ops{}, nullptr);
        if (!t.reader->initialize("bench")) {
            std::fprintf(stderr, "bench_pages: the reader cannot attach to %s/bench/read\n",
                         root.c_str());
            std::abort();
        }
        t.keys.resize(kRecords);
        for (uint32_t i = 0; i < kRecords; ++i)
            t.keys[i] = i;
        std::shuffle(t.keys.begin(), t.keys.end(), std::mt19937_64(7));
    }
    return t;
}

void readerLookup(benchmark::State& state, bool huge) {
    const std::string* root = rootOf(state, huge);
    if (root == nullptr)
        return;
    Table& t = table(*root);
    uint64_t found = 0;
    uint64_t sum = 0;
    CounterEntrySimple buffer;
    for (auto _ : state) {
        for (uint64_t k : t.keys) {
            bool f = false;
            sum += t.reader->lookup(CounterIndex(k), f, &buffer)->packets();
            found += f;
        }
    }
    benchmark::DoNotOptimize(sum);
    if (found != uint64_t(kRecords) * state.iterations())
        state.SkipWithError("a lookup missed a record of the table");
    VeskBench::perOp(state, kRecords);
    state.counters["huge_bytes"] = double(hugeBytes(t.reader->slotTable().header()));
}

void readerWalk(benchmark::State& state, bool huge) {
    const std::string* root = rootOf(state, huge);
    if (root == nullptr)
        return;
    Table& t = table(*root);
    uint64_t records = 0;
    uint64_t sum = 0;
    for (auto _ : state) {
        CounterEntrySimple v;
        Vesk::IterHint hint;
        for (bool more = t.reader->first(v, hint); more; more = t.reader->next(v.key(), v, hint)) {
            sum += v.packets();
            ++records;
        }
    }
    benchmark::DoNotOptimize(sum);
    if (records != uint64_t(kRecords) * state.iterations())
        state.SkipWithError("a walk did not meet every record of the table");
    VeskBench::perOp(state, kRecords);
    state.counters["huge_bytes"] = double(hugeBytes(t.reader->slotTable().header()));
}

void registerAll() {
    const char* const kRoot[] = {"dev_shm", "huge_tmpfs"};
    for (int huge = 0; huge < 2; ++huge) {
        for (int hinted = 0; hinted < 2; ++hinted) {
            const auto name =
                fmt::format("VeskWriter/fill/{}/{}", hinted ? "hint" : "no_hint", kRoot[huge]);
            benchmark::RegisterBenchmark(name.c_str(), writerFill, huge != 0, hinted != 0)
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (int huge = 0; huge < 2; ++huge) {
        benchmark::RegisterBenchmark(
            fmt::format("VeskReader/lookup_hit/independent/{}", kRoot[huge]).c_str(), readerLookup,
            huge != 0)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(fmt::format("VeskReader/iterate/{}", kRoot[huge]).c_str(),
                                     readerWalk, huge != 0)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    VeskBench::root();
    const Roots& r = roots();
    if (r.huge.empty())
        std::fprintf(stderr, "bench_pages: huge_tmpfs cases skipped: %s\n", r.why.c_str());
    registerAll();
    const int status = VeskBench::runBenchmarks(argc, argv);
    for (auto& [root, t] : gTables) {
        t.reader.reset();
        t.writer->cleanup();
    }
    gTables.clear();
    if (!r.huge.empty())
        ::umount2(r.huge.c_str(), MNT_DETACH);  // the private root is then removed as a whole
    return status;
}
