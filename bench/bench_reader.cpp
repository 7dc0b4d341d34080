// Reader speed: lookups (hit and miss) and full iteration by a reader in this process on a
// table that a writer in a second process (a forked child) publishes, at 1e3, 1e5 and 1e6
// records, with the writer idle and with the writer overwriting records at full speed. Lookups
// run in two modes: independent (the keys come from a shuffled list, so the processor may
// overlap consecutive lookups) and dependent (the next key comes from the record just read, so
// every lookup waits for the one before). The reader also looks the shuffled keys up in batches
// of 64 and 1024 (lookup_hit/batch64, batch1024: one lookupMany each) and scans the table in
// slot order (scan; table_order counts the scans that fell back to table order), beside its
// table-order iteration (iterate: first/next). The writer's own overwrite speed is measured in the
// child, once with no reader running and once while this process reads. std::unordered_map
// (mixing hash) in this process does the same lookups and iteration as the reference, and a walk of
// the same random cycle through a plain array of the records (Floor/pointer_chase) is the floor of
// a dependent lookup. Floor/table_order and Floor/lookup_hit/{independent,dependent} walk and look
// up a copy of the table's memory (its bucket entries and slots, laid out as the files lay them
// out) with code that checks nothing: what the file format itself costs, beside what the reader
// adds to it. Floor/lookup_call/... makes the same lookups behind a call shaped as the reader's
// (the key and the found flag by reference, not inlined into the loop, as a lookup through the
// library is): what a lookup through an interface costs before it checks or copies anything.
// Floor/table_order_known reads the same lines as Floor/table_order with every slot id listed in
// advance: what the host's memory gives the walk when no address waits for a link.
//
// The same lookups and iteration run on the shadows of the table in this process (VeskShadow:
// the value store answers from its local copy, the key-only store reads each record from shared
// memory by slot index), with the writer idle; their writer child publishes change
// notifications, so it is another child than the reader's, whose overwrite figures stay those
// of a writer without a queue. The iterations report memory per record (bytes_per_record): a
// shadow's local slots and buckets, the heap the map's nodes and buckets took. The notification
// latency is the time from the writer's store to the value shadow's callback, with the writer
// overwriting at full speed: the writer puts its CLOCK_MONOTONIC into the record's octets, the
// callback takes the difference (p50_us, p99_us, max_us); ns_per_op is the wall-clock time per
// notification applied, writer_ns_per_op the writer's per overwrite over the same time, and
// resyncs counts the shadow's re-reads of the whole table after the writer overran its queue.
//
// Two peers hold the same records (24 bytes, 8-byte key, the same keys and the same cycle), each
// written by a child of its own and read by this process with the same lookups, writer idle and
// busy; their iteration is a scan of the whole store. They are built in when installed (`make
// bench` installs them):
//   - Lmdb: an environment in the private root (LmdbPeer.h). The reader's read-only transaction
//     is reset and renewed every 1024 lookups, and once per scan (a cursor walk of one snapshot);
//     a busy writer commits one write transaction per 1024 overwrites.
//   - BoostInterprocess: a hash map in a managed shared memory segment beside the root
//     (BoostPeer.h). Every lookup takes the segment's sharable lock, a scan holds it throughout
//     (holding the writer off), and the writer takes it exclusively for each overwrite.
// Their iterations report bytes_per_record (the pages or segment bytes the records take now) and
// file_bytes_per_record (the whole file, or the segment as the benchmark sized it); the
// reader's iteration reports the bytes of the table's files. A busy writer's pace over each run
// is writer_ns_per_op (wall-clock time per overwrite), which shows how far a reader held it off.
//
// Every benchmark reports ns_per_op: for the lookups and iterations of the reader, the shadows
// and the map, per operation of this process's processor time (as the other benchmarks do); for
// the writer, per overwrite of wall-clock time measured in the child, with its processor time
// beside it (cpu_ns_per_op). The writer-busy cases also report the reader's retries (hash-chain
// restarts), lookaside reads and re-map retries over the final run.
//
//   build/bench/bench_reader [--benchmark_filter=...]
//
// The writer child fills keys 0..n-1; each record's packets holds the key that follows it on
// one random cycle through all keys, so a dependent walk of n lookups visits every record. An
// overwrite keeps packets and bumps octets (or stamps it with the clock), so the cycle stays
// intact under a busy writer.
// The parent drives each child (ChildProcess.h) with one-byte commands; the child answers with
// fixed-size replies.
#include "FlexCounters2/CounterTables.h"
#include "Pimbo/EventLoop.h"
#include "Plinth/RootPath.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"
#include "VeskMap/VeskMap.h"
#include "VeskShadow/VeskShadow.h"

#include "BenchUtil.h"
#include "ChildProcess.h"
#include "FormatModel.h"
#ifdef VESK_BENCH_BOOST
#include "BoostPeer.h"
#endif
#ifdef VESK_BENCH_LMDB
#include "LmdbPeer.h"
#endif

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

using namespace DravoCounters::FlexCounters2;
using Ops = CounterEntrySimpleOps;
using Writer = Vesk::VeskWriter<Ops>;
using Reader = Vesk::VeskReader<Ops>;
using Shadow = Vesk::VeskMap<Ops>;
using VeskBench::nowNs;
using VeskBench::perOp;

namespace {

// Overwrites the child times per measurement of the writer's speed.
constexpr uint64_t kMeasureOps = 1000000;
// Operations between two looks at a pipe in a busy loop.
constexpr uint64_t kPollEvery = 1024;
// Wall-clock time of one run of the notification latency, and the longest wait for a shadow.
constexpr uint64_t kLatencyRunNs = 250000000;
constexpr uint64_t kShadowWaitNs = 60000000000;
// The longest wait for an answer of a writer child (its first fill of a million records
// included): only a child that hangs reaches it.
constexpr int kAnswerMs = 300000;

// ----- SIGINT: the writer children go first (the root goes with the run, VeskBench::BenchRoot)

// The writer children alive: our writer and the peers' (zero where none).
volatile sig_atomic_t gWriterPids[3] = {};

void onInterrupt(int) {
    for (auto& slot : gWriterPids) {
        const pid_t pid = slot;
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    ::_exit(130);
}

// ----- the table's contents, computed alike by both processes -----

std::vector<uint64_t> shuffledKeys(uint64_t n, uint64_t offset, uint64_t seed) {
    std::vector<uint64_t> keys(n);
    for (uint64_t i = 0; i < n; ++i)
        keys[i] = i + offset;
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(seed));
    return keys;
}

// next[k]: the key after k on one random cycle through 0..n-1.
std::vector<uint64_t> nextKeys(uint64_t n) {
    const auto cycle = shuffledKeys(n, 0, 42);
    std::vector<uint64_t> next(n);
    for (uint64_t i = 0; i < n; ++i)
        next[cycle[i]] = cycle[(i + 1) % n];
    return next;
}

CounterEntrySimple record(uint64_t key, uint64_t next, uint64_t serial) {
    CounterEntrySimple e{CounterIndex(key)};
    e.packetsIs(next);
    e.octetsIs(serial);
    return e;
}

// A stride through the n missing keys n..2n-1 that visits them all (the stride is prime and
// neither 2 nor 5, the only factors of the sizes measured).
constexpr uint64_t kMissStride = 7919;

// The table of a writer that publishes change notifications is another one.
std::string tableName(uint64_t n, bool notify) {
    return fmt::format("bench/{}{}", notify ? "notify" : "reader", n);
}

std::shared_ptr<Pimbo::Platform::DebugHandler> handler() {
    return Pimbo::Platform::getDebugHandler("bench");
}

// ----- the pipes -----

// kStamped: as kBusy, with each record's octets the writer's clock (nowNs) when it is stored.
enum Command : char { kIdle = 'i', kBusy = 'b', kStamped = 's', kMeasure = 'm', kQuit = 'q' };

struct Reply {
    char what = 0;  // 'r' ready, 'a' acknowledged, 'm' measured
    uint64_t ops = 0;
    uint64_t ns = 0;     // wall-clock time of the measurement
    uint64_t cpuNs = 0;  // the writer thread's processor time over it
};

using Clock = std::chrono::steady_clock;

uint64_t threadCpuNs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

// ----- the writer process -----

// What a writer child publishes the records in: our table, or one of the peers.
enum class Store { vesk, lmdb, boost };
// The names of the stores in the benchmarks' names and in messages.
constexpr const char* kStoreNames[] = {"VeskReader", "Lmdb", "BoostInterprocess"};

// The LMDB environment of n records: a directory in the private root.
std::string lmdbDir(uint64_t n) {
    return fmt::format("{}/lmdb{}", VeskBench::root().dir, n);
}

// The Boost.Interprocess segment of n records, named after the private root so that it lies
// beside it in /dev/shm (the SIGINT handler removes both).
std::string boostSegment(uint64_t n) {
    return fmt::format("{}-boost{}",
                       std::filesystem::path(VeskBench::root().dir).filename().string(), n);
}

// Our writer as a store: each record is one write; a batch is only the puts between two looks
// at the pipe.
class VeskStore {
  public:
    VeskStore(uint64_t n, bool notify)
        : w_(*handler(), tableName(n, notify), descriptor(n, notify), Ops{}, "Bench") {
        w_.initialize("none");
    }
    template <class Puts>
    void batch(Puts&& puts) {
        puts();
    }
    void put(const CounterEntrySimple& r) { w_.write(r, true); }

  private:
    static Vesk::MapDescriptor descriptor(uint64_t n, bool notify) {
        Vesk::MapDescriptor d(uint32_t(std::max<uint64_t>(n, 64)));
        d.notify = notify ? 1 : 0;
        return d;
    }
    Writer w_;
};

// Fills `store` and follows the parent's commands. Overwrites come in batches of kPollEvery
// (one write transaction of LMDB each), in busy phases and measurements alike.
template <class Store>
int serve(Store& store, uint64_t n, VeskTool::ChildProcess& parent) {
    const auto next = nextKeys(n);
    store.batch([&] {
        for (uint64_t k = 0; k < n; ++k)
            store.put(record(k, next[k], 0));
    });
    // Overwrites take the keys in another shuffled order, round after round.
    const auto order = shuffledKeys(n, 0, 7);
    uint64_t serial = 0;
    uint64_t at = 0;
    uint64_t busyOps = 0;  // overwrites of the last busy phase, told at the next kIdle
    auto overwrites = [&](bool stamped) {
        store.batch([&] {
            for (uint64_t i = 0; i < kPollEvery; ++i) {
                const uint64_t k = order[at];
                if (++at == n)
                    at = 0;
                store.put(record(k, next[k], stamped ? nowNs() : ++serial));
            }
        });
    };
    Reply reply{'r'};
    if (!parent.writeAll(&reply, sizeof(reply)))
        return 2;
    for (;;) {
        char command = 0;
        if (!parent.readAll(&command, 1))
            return 2;
        reply = Reply{'a'};
        switch (command) {
            case kIdle:
                reply.ops = std::exchange(busyOps, 0);
                break;
            case kBusy:
            case kStamped:
                if (!parent.writeAll(&reply, sizeof(reply)))
                    return 2;
                // Until the next command arrives; it is read at the top of the loop.
                do {
                    overwrites(command == kStamped);
                    busyOps += kPollEvery;
                } while (!parent.readable());
                continue;
            case kMeasure: {
                const uint64_t cpuStart = threadCpuNs();
                const auto start = Clock::now();
                uint64_t ops = 0;
                for (; ops < kMeasureOps; ops += kPollEvery)
                    overwrites(false);
                const auto ns =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
                reply = Reply{'m', ops, uint64_t(ns.count()), threadCpuNs() - cpuStart};
                break;
            }
            case kQuit:
                // The writer detaches and leaves its files; the parent removes them.
                return 0;
            default:
                std::fprintf(stderr, "bench writer: unknown command %d\n", command);
                return 3;
        }
        if (!parent.writeAll(&reply, sizeof(reply)))
            return 2;
    }
}

int runWriter(uint64_t n, Store kind, bool notify, VeskTool::ChildProcess& parent) {
    ::signal(SIGINT, SIG_DFL);
    try {
        switch (kind) {
            case Store::vesk: {
                VeskStore store(n, notify);
                return serve(store, n, parent);
            }
#ifdef VESK_BENCH_LMDB
            case Store::lmdb: {
                VeskBench::LmdbStore store(lmdbDir(n));
                return serve(store, n, parent);
            }
#endif
#ifdef VESK_BENCH_BOOST
            case Store::boost: {
                VeskBench::BoostStore store(boostSegment(n), n);
                return serve(store, n, parent);
            }
#endif
            default:
                std::fprintf(stderr, "bench writer: store %d is not built in\n", int(kind));
                return 3;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench writer of %llu records: %s\n",
                     static_cast<unsigned long long>(n), e.what());
        return 1;
    }
}

// The parent's handle on one writer child.
class WriterProcess {
  public:
    WriterProcess(uint64_t n, Store kind, bool notify) : n_(n), kind_(kind), notify_(notify) {
        if (!child_.start([n, kind, notify](VeskTool::ChildProcess& parent) {
                return runWriter(n, kind, notify, parent);
            }))
            fatal("cannot start the writer child");
        gWriterPids[int(kind)] = child_.pid();
        expect('r');
    }

    ~WriterProcess() {
        const char quit = kQuit;
        child_.writeAll(&quit, 1);
        child_.closeChannel();
        const int status = child_.wait(kAnswerMs / 1000.0);
        gWriterPids[int(kind_)] = 0;
        std::error_code ec;
        switch (kind_) {
            case Store::vesk:
                std::filesystem::remove_all(
                    Mem::RootPath(*handler(), tableName(n_, notify_), false).directory(), ec);
                break;
            case Store::lmdb:
                std::filesystem::remove_all(lmdbDir(n_), ec);
                break;
            case Store::boost:
                std::filesystem::remove(
                    std::filesystem::path(VeskBench::root().dir).parent_path() / boostSegment(n_),
                    ec);
                break;
        }
        if (status != 0)
            std::fprintf(stderr, "bench writer (%s) of %llu records ended with status %d\n",
                         kStoreNames[int(kind_)], static_cast<unsigned long long>(n_), status);
    }

    WriterProcess(const WriterProcess&) = delete;
    WriterProcess& operator=(const WriterProcess&) = delete;

    // Returns once the child stopped overwriting; the overwrites it made since busy().
    uint64_t idle() {
        send(kIdle);
        return expect('a').ops;
    }
    // Returns once the child is about to start overwriting (stamped: with its clock in octets).
    void busy(bool stamped = false) {
        send(stamped ? kStamped : kBusy);
        expect('a');
    }
    // The child times kMeasureOps overwrites; measured() waits for the result.
    void startMeasure() { send(kMeasure); }
    // Whether the answer to a command sent at `sentNs` came; a child that gives none within
    // kAnswerMs ends the run.
    bool replied(uint64_t sentNs) const {
        if (child_.readable())
            return true;
        if (nowNs() - sentNs > uint64_t(kAnswerMs) * 1000000)
            fatal(fmt::format("no measurement within {} s", kAnswerMs / 1000));
        return false;
    }
    Reply measured() { return expect('m'); }

  private:
    void send(char command) {
        if (!child_.writeAll(&command, 1))
            fatal("cannot send a command");
    }
    // The answer `what` ('r' ready, 'a' acknowledged, 'm' measured), within kAnswerMs.
    Reply expect(char what) {
        Reply r;
        if (!child_.readable(kAnswerMs))
            fatal(fmt::format("no answer '{}' within {} s", what, kAnswerMs / 1000));
        if (!child_.readAll(&r, sizeof(r)) || r.what != what)
            fatal(fmt::format("no answer '{}': the writer ended or answered '{}'", what, r.what));
        return r;
    }
    [[noreturn]] void fatal(const std::string& what) const {
        std::fprintf(stderr, "bench writer (%s) of %llu records: %s\n", kStoreNames[int(kind_)],
                     static_cast<unsigned long long>(n_), what.c_str());
        std::abort();
    }

    uint64_t n_;
    Store kind_;
    bool notify_;
    VeskTool::ChildProcess child_;
};

// ----- what one size needs: the writer child, the reader, a shadow, the reference map -----

using Map = std::unordered_map<uint64_t, CounterEntrySimple, VeskBench::MixHash>;

// A shadow of the notifying writer's table, mounted through the front in this process and
// synced before anything is timed. While `samples` is set, the value shadow's callback adds the
// age of each record it is told of: now minus the writer's clock in its octets.
struct ShadowMount {
    ShadowMount(uint64_t n, bool keysOnly) : keysOnly(keysOnly), map(Ops{}, tableName(n, true)) {
        map.callbacks().onValue = [this](const CounterEntrySimple& v) {
            if (samples != nullptr)
                samples->push_back(nowNs() - v.octets());
        };
        map.notifyingIs(true);
        Vesk::MapDescriptor d(1000, keysOnly ? Vesk::keyshadow : Vesk::shadow);
        d.notify = 1;
        map.init(d);
        if (!settle()) {
            std::fprintf(stderr,
                         "bench %s of %s: not mounted and quiesced after %llu s, mount status %u\n",
                         keysOnly ? "keyshadow" : "shadow", tableName(n, true).c_str(),
                         static_cast<unsigned long long>(kShadowWaitNs / 1000000000),
                         unsigned(map.mountStatus()));
            std::abort();
        }
    }

    // Runs the event loop until the shadow is mounted and has applied every notification; false
    // when that takes longer than kShadowWaitNs.
    bool settle() {
        const uint64_t start = nowNs();
        while (map.mountStatus() != 2 || !map.quiesced()) {
            if (nowNs() - start > kShadowWaitNs)
                return false;
            Pimbo::eventLoop().poll(10);
        }
        return true;
    }

    // The times the shadow read the whole table again (its queue was overrun or replaced).
    uint64_t resyncs() {
        auto* s = dynamic_cast<Vesk::VeskShadow<Ops>*>(&map.interface());
        return s != nullptr ? s->syncer().resyncs() : 0;
    }

    const bool keysOnly;
    Shadow map;
    std::vector<uint64_t>* samples = nullptr;
};

// A peer's table of the same n records: its writer child, and its reader in this process, which
// reads every record once before anything is timed.
template <class Table>
struct PeerMount {
    PeerMount(uint64_t n, Store kind, std::string where)
        : writer(n, kind, false), table(std::move(where)) {
        table.scan([](const CounterEntrySimple&) {});
    }
    // The reader lets go of the files before the writer's end removes them.
    WriterProcess writer;
    Table table;
};

// The table of n records, published by a writer child with or without change notifications.
struct Session {
    Session(uint64_t n, bool notify)
        : n(n),
          notify(notify),
          hitKeys(shuffledKeys(n, 0, 99)),
          missKeys(shuffledKeys(n, n, 99)),
          writer(std::make_unique<WriterProcess>(n, Store::vesk, notify)),
          reader(
              std::make_unique<Reader>(*handler(), tableName(n, notify).c_str(), Ops{}, nullptr)) {
        if (!reader->initialize("bench")) {
            std::fprintf(stderr, "bench reader: cannot attach to %s\n",
                         tableName(n, notify).c_str());
            std::abort();
        }
        // One full iteration maps every page before anything is timed.
        CounterEntrySimple v;
        Vesk::IterHint hint;
        for (bool more = reader->first(v, hint); more; more = reader->next(v.key(), v, hint)) {
        }
    }
    ~Session() {
        // The shadow and the reader let go of the files before the writer removes them.
        shadow_.reset();
        peer_.reset();
        reader.reset();
        writer.reset();
    }

    // The one peer of the kind asked for (Table is its reader): a peer of the other kind is let
    // go first, so that only one peer's writer lives at a time.
    template <class Table>
    PeerMount<Table>& peer(Store kind) {
        if (!peer_ || peerKind_ != kind) {
            peer_.reset();
            peer_ = std::make_shared<PeerMount<Table>>(
                n, kind, kind == Store::lmdb ? lmdbDir(n) : boostSegment(n));
            peerKind_ = kind;
        }
        return *static_cast<PeerMount<Table>*>(peer_.get());
    }

    // The one shadow of the kind asked for: a shadow of the other kind is let go first, so that
    // only one follows the writer at a time.
    ShadowMount& shadow(bool keysOnly) {
        if (!notify) {
            std::fprintf(stderr, "bench: %s has no change notifications for a shadow\n",
                         tableName(n, notify).c_str());
            std::abort();
        }
        if (!shadow_ || shadow_->keysOnly != keysOnly) {
            shadow_.reset();
            shadow_ = std::make_unique<ShadowMount>(n, keysOnly);
        }
        return *shadow_;
    }

    Map& map() {
        if (!map_) {
            const auto next = nextKeys(n);
            const uint64_t before = heapBytes();
            map_ = std::make_unique<Map>();
            for (uint64_t k = 0; k < n; ++k)
                map_->insert_or_assign(k, record(k, next[k], 0));
            mapBytes = heapBytes() - before;
        }
        return *map_;
    }

    // The format model of the table (its layout checked against the reader's own walk).
    const VeskBench::FormatModel& model() {
        if (!model_) {
            const auto next = nextKeys(n);
            const Reader& r = *reader;
            auto hash = [&r](uint64_t k) { return r.hashKeyValue(k); };
            model_ = std::make_unique<VeskBench::FormatModel>(
                reader->hashMap().buckets().numBuckets(), n, [](uint64_t s) { return s; }, hash,
                [&next](uint64_t k) { return record(k, next[k], 0); });
            model_->checkLayout(*reader, hash);
        }
        return *model_;
    }

    const uint64_t n;
    const bool notify;
    const std::vector<uint64_t> hitKeys;
    const std::vector<uint64_t> missKeys;
    std::unique_ptr<WriterProcess> writer;
    std::unique_ptr<Reader> reader;
    uint64_t mapBytes = 0;  // what building the map took from the heap

  private:
    // The heap in use: allocated chunks (with their headers) and mapped blocks.
    static uint64_t heapBytes() {
        const struct mallinfo2 m = ::mallinfo2();
        return uint64_t(m.uordblks) + uint64_t(m.hblkhd);
    }

    std::unique_ptr<Map> map_;
    std::unique_ptr<VeskBench::FormatModel> model_;
    std::unique_ptr<ShadowMount> shadow_;
    std::shared_ptr<void> peer_;  // a PeerMount of the peerKind_ store
    Store peerKind_ = Store::vesk;
};

std::unique_ptr<Session> gSession;

// The session of n records from a writer with or without notifications; another one ends first.
Session& session(uint64_t n, bool notify = false) {
    if (!gSession || gSession->n != n || gSession->notify != notify) {
        gSession.reset();
        gSession = std::make_unique<Session>(n, notify);
    }
    return *gSession;
}

enum class Lookup { hit, miss };
enum class Mode { independent, dependent };

// The writer's activity around one benchmark run. A busy writer's pace over the run is
// writer_ns_per_op (wall-clock time per overwrite); with our reader, its retry counts too.
class WriterActivity {
  public:
    WriterActivity(benchmark::State& state, WriterProcess& writer, bool busy,
                   Reader* reader = nullptr)
        : state_(state), writer_(writer), busy_(busy), reader_(reader) {
        if (reader_ != nullptr)
            before_ = reader_->readerCounters();
        if (busy_)
            writer_.busy();
        start_ = nowNs();
    }
    ~WriterActivity() {
        if (!busy_)
            return;
        const uint64_t overwrites = writer_.idle();
        state_.counters["writer_ns_per_op"] =
            overwrites == 0 ? 0.0 : double(nowNs() - start_) / double(overwrites);
        if (reader_ == nullptr)
            return;
        const auto after = reader_->readerCounters();
        state_.counters["retries"] = double(after.retries - before_.retries);
        state_.counters["lookaside"] = double(after.lookasideReads - before_.lookasideReads);
        state_.counters["remaps"] = double(after.remapRetries - before_.remapRetries);
    }

  private:
    benchmark::State& state_;
    WriterProcess& writer_;
    bool busy_;
    Reader* reader_;
    Vesk::Reader::Counters before_{};
    uint64_t start_ = 0;
};

// ----- the reader and the shadows: the same lookups and iteration through their tables -----

// The n lookups of each iteration through `table` (the reader, or a shadow's front); true when
// every answer was the table's.
template <class Table>
bool lookups(benchmark::State& state, const Session& s, Table& table, Lookup lookup, Mode mode) {
    const uint64_t n = s.n;
    const bool hit = lookup == Lookup::hit;
    uint64_t sum = 0;
    uint64_t found = 0;
    CounterEntrySimple buffer;
    if (mode == Mode::independent) {
        const auto& keys = hit ? s.hitKeys : s.missKeys;
        for (auto _ : state) {
            for (uint64_t k : keys) {
                bool f = false;
                sum += table.lookup(CounterIndex(k), f, &buffer)->packets();
                found += f;
            }
        }
    } else if (hit) {
        uint64_t k = 0;
        for (auto _ : state) {
            for (uint64_t i = 0; i < n; ++i) {
                bool f = false;
                k = table.lookup(CounterIndex(k), f, &buffer)->packets();
                found += f;
            }
        }
        sum = k;
    } else {
        // The answer (packets of the default value, zero) feeds the next key.
        uint64_t i = 0;
        for (auto _ : state) {
            for (uint64_t j = 0; j < n; ++j) {
                bool f = false;
                i += kMissStride + table.lookup(CounterIndex(n + i), f, &buffer)->packets();
                if (i >= n)
                    i -= n;
                found += f;
            }
        }
        sum = i;
    }
    benchmark::DoNotOptimize(sum);
    return found == (hit ? n * state.iterations() : 0);
}

// Each iteration walks `table` with first/next; true when every walk met the n records.
template <class Table>
bool walks(benchmark::State& state, uint64_t n, Table& table) {
    uint64_t sum = 0;
    uint64_t records = 0;
    for (auto _ : state) {
        CounterEntrySimple v;
        Vesk::IterHint hint;
        for (bool more = table.first(v, hint); more; more = table.next(v.key(), v, hint)) {
            sum += v.packets();
            ++records;
        }
    }
    benchmark::DoNotOptimize(sum);
    return records == n * state.iterations();
}

// Each iteration is one scan: scanOnce(visit) calls visit(const CounterEntrySimple&) for each
// record and returns how many it visited; true when every scan met the n records.
template <class Scan>
bool scans(benchmark::State& state, uint64_t n, Scan&& scanOnce) {
    uint64_t sum = 0;
    uint64_t records = 0;
    for (auto _ : state)
        records += scanOnce([&](const CounterEntrySimple& v) { sum += v.packets(); });
    benchmark::DoNotOptimize(sum);
    return records == n * state.iterations();
}

void readerLookup(benchmark::State& state, uint64_t n, Lookup lookup, Mode mode, bool busy) {
    Session& s = session(n);
    bool right = false;
    {
        WriterActivity activity(state, *s.writer, busy, s.reader.get());
        right = lookups(state, s, *s.reader, lookup, mode);
    }
    if (!right)
        state.SkipWithError("the reader's answers do not match the table");
    perOp(state, n);
}

void readerIterate(benchmark::State& state, uint64_t n, bool busy) {
    Session& s = session(n);
    bool right = false;
    {
        WriterActivity activity(state, *s.writer, busy, s.reader.get());
        right = walks(state, n, *s.reader);
    }
    if (!right)
        state.SkipWithError("the reader's iteration does not match the table");
    // The table's files, which the reader maps whole.
    uint64_t bytes = 0;
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(
             Mem::RootPath(*handler(), tableName(n, false), false).directory(), ec))
        bytes += f.is_regular_file(ec) ? f.file_size(ec) : 0;
    state.counters["bytes_per_record"] = double(bytes) / double(n);
    perOp(state, n);
}

// The hit lookups of the shuffled keys in batches of `batch` keys, one lookupMany each.
void readerLookupMany(benchmark::State& state, uint64_t n, size_t batch, bool busy) {
    Session& s = session(n);
    const std::vector<CounterIndex> keys(s.hitKeys.begin(), s.hitKeys.end());
    std::vector<CounterEntrySimple> out(batch);
    const auto found = std::make_unique<bool[]>(batch);
    uint64_t sum = 0;
    uint64_t hits = 0;
    bool right = true;
    {
        WriterActivity activity(state, *s.writer, busy, s.reader.get());
        for (auto _ : state) {
            for (size_t at = 0; at < n; at += batch) {
                const size_t count = std::min<size_t>(batch, n - at);
                const size_t told =
                    s.reader->lookupMany(keys.data() + at, count, out.data(), found.get());
                uint64_t met = 0;
                for (size_t i = 0; i < count; ++i) {
                    sum += out[i].packets();
                    met += found[i];
                }
                right &= told == met;
                hits += met;
            }
        }
    }
    benchmark::DoNotOptimize(sum);
    if (!right || hits != n * state.iterations())
        state.SkipWithError("the reader's batched answers do not match the table");
    perOp(state, n);
}

// The slot-order scan; table_order counts the scans that fell back to table order.
void readerScan(benchmark::State& state, uint64_t n, bool busy) {
    Session& s = session(n);
    uint64_t tableOrder = 0;
    bool right = false;
    {
        WriterActivity activity(state, *s.writer, busy, s.reader.get());
        right = scans(state, n, [&](auto&& visit) {
            const Vesk::ScanResult r = s.reader->scan(visit);
            tableOrder += r.tableOrder;
            return r.records;
        });
    }
    if (!right)
        state.SkipWithError("the reader's scan does not match the table");
    state.counters["table_order"] = double(tableOrder);
    perOp(state, n);
}

// The shadows answer with the writer idle: the value store never reads shared memory.
void shadowLookup(benchmark::State& state, uint64_t n, Lookup lookup, Mode mode, bool keysOnly) {
    Session& s = session(n, true);
    if (!lookups(state, s, s.shadow(keysOnly).map.interface(), lookup, mode))
        state.SkipWithError("the shadow's answers do not match the table");
    perOp(state, n);
}

void shadowIterate(benchmark::State& state, uint64_t n, bool keysOnly) {
    ShadowMount& m = session(n, true).shadow(keysOnly);
    if (!walks(state, n, m.map.interface()))
        state.SkipWithError("the shadow's iteration does not match the table");
    state.counters["bytes_per_record"] =
        double(m.map.readerCounters().shadow.mappedSize) / double(n);
    perOp(state, n);
}

// The value shadow follows the writer overwriting at full speed with its clock in each record.
// One iteration is kLatencyRunNs of the event loop; every record the callback is told of in it
// is a sample. ns_per_op is the wall-clock time per notification applied.
void shadowLatency(benchmark::State& state, uint64_t n) {
    Session& s = session(n, true);
    ShadowMount& m = s.shadow(false);
    const uint64_t resyncs = m.resyncs();
    std::vector<uint64_t> samples;
    samples.reserve(size_t(1) << 22);  // no reallocation inside a callback, at a few M/s
    uint64_t ns = 0;
    uint64_t overwrites = 0;
    m.samples = &samples;
    for (auto _ : state) {
        s.writer->busy(true);
        const uint64_t start = nowNs();
        while (nowNs() - start < kLatencyRunNs)
            Pimbo::eventLoop().poll(1);
        const uint64_t run = nowNs() - start;
        overwrites += s.writer->idle();
        state.SetIterationTime(double(run) * 1e-9);
        ns += run;
    }
    m.samples = nullptr;
    // What the writer stored after the last run is applied before anything else is measured.
    if (!m.settle())
        state.SkipWithError("the shadow did not catch up with the writer");
    if (samples.empty()) {
        state.SkipWithError("the shadow's callback was never called");
        return;
    }
    std::sort(samples.begin(), samples.end());
    state.counters["p50_us"] = double(samples[samples.size() / 2]) * 1e-3;
    state.counters["p99_us"] = double(samples[samples.size() * 99 / 100]) * 1e-3;
    state.counters["max_us"] = double(samples.back()) * 1e-3;
    state.counters["notifications"] = double(samples.size());
    state.counters["resyncs"] = double(m.resyncs() - resyncs);
    state.counters["ns_per_op"] = double(ns) / double(samples.size());
    // The writer's pace over the same runs (it stops a little after each run ends).
    state.counters["writer_ns_per_op"] = overwrites == 0 ? 0.0 : double(ns) / double(overwrites);
}

// ----- the peers: the same lookups and a scan of their tables, written by their own child -----

template <class Table>
void peerLookup(benchmark::State& state, uint64_t n, Store kind, Lookup lookup, Mode mode,
                bool busy) {
    Session& s = session(n);
    PeerMount<Table>& p = s.peer<Table>(kind);
    bool right = false;
    {
        WriterActivity activity(state, p.writer, busy);
        right = lookups(state, s, p.table, lookup, mode);
    }
    if (!right)
        state.SkipWithError("the peer's answers do not match its records");
    perOp(state, n);
}

template <class Table>
void peerIterate(benchmark::State& state, uint64_t n, Store kind, bool busy) {
    PeerMount<Table>& p = session(n).peer<Table>(kind);
    bool right = false;
    {
        WriterActivity activity(state, p.writer, busy);
        right = scans(state, n, [&](auto&& visit) { return p.table.scan(visit); });
    }
    if (!right)
        state.SkipWithError("the peer's scan does not match its records");
    state.counters["bytes_per_record"] = double(p.table.bytesInUse()) / double(n);
    state.counters["file_bytes_per_record"] = double(p.table.fileBytes()) / double(n);
    perOp(state, n);
}

// ----- the reference: std::unordered_map in this process -----

void mapLookup(benchmark::State& state, uint64_t n, Lookup lookup, Mode mode) {
    Session& s = session(n);
    const Map& m = s.map();
    const bool hit = lookup == Lookup::hit;
    uint64_t sum = 0;
    uint64_t found = 0;
    if (mode == Mode::independent) {
        const auto& keys = hit ? s.hitKeys : s.missKeys;
        for (auto _ : state) {
            for (uint64_t k : keys) {
                const auto it = m.find(k);
                const bool f = it != m.end();
                sum += f ? it->second.packets() : 0;
                found += f;
            }
        }
    } else if (hit) {
        uint64_t k = 0;
        for (auto _ : state) {
            for (uint64_t i = 0; i < n; ++i) {
                const auto it = m.find(k);
                const bool f = it != m.end();
                k = f ? it->second.packets() : 0;
                found += f;
            }
        }
        sum = k;
    } else {
        uint64_t i = 0;
        for (auto _ : state) {
            for (uint64_t j = 0; j < n; ++j) {
                const auto it = m.find(n + i);
                const bool f = it != m.end();
                i += kMissStride + (f ? it->second.packets() : 0);
                if (i >= n)
                    i -= n;
                found += f;
            }
        }
        sum = i;
    }
    benchmark::DoNotOptimize(sum);
    if (found != (hit ? n * state.iterations() : 0))
        state.SkipWithError("the map's answers do not match its contents");
    perOp(state, n);
}

void mapIterate(benchmark::State& state, uint64_t n) {
    Session& s = session(n);
    const Map& m = s.map();
    uint64_t sum = 0;
    for (auto _ : state) {
        for (const auto& [k, v] : m)
            sum += v.packets();
    }
    benchmark::DoNotOptimize(sum);
    state.counters["bytes_per_record"] = double(s.mapBytes) / double(n);
    perOp(state, n);
}

// The floor of a dependent lookup: the same random cycle through the n records, each held in a
// plain array of 24-byte records in this process, so that every step is one load that waits for
// the one before (one cache miss once the array outgrows the caches).
void pointerChase(benchmark::State& state, uint64_t n) {
    struct Record {
        uint64_t next;
        uint64_t payload[2];
    };
    static_assert(sizeof(Record) == sizeof(CounterEntrySimple));
    const auto next = nextKeys(n);
    std::vector<Record> records(n);
    for (uint64_t k = 0; k < n; ++k)
        records[k] = Record{next[k], {k, 0}};
    uint64_t k = 0;
    for (auto _ : state) {
        for (uint64_t i = 0; i < n; ++i)
            k = records[k].next;
    }
    benchmark::DoNotOptimize(k);
    perOp(state, n);
}

// known: FormatModel::walkKnown, the same lines with every slot id known in advance.
void floorWalk(benchmark::State& state, uint64_t n, bool known) {
    Session& s = session(n);
    const VeskBench::FormatModel& model = s.model();
    uint64_t sum = 0;
    uint64_t records = 0;
    for (auto _ : state)
        sum += known ? model.walkKnown(records) : model.walk(records);
    benchmark::DoNotOptimize(sum);
    if (records != n * state.iterations())
        state.SkipWithError("the model's walk does not meet every record");
    perOp(state, n);
}

// Independent: the shuffled keys; dependent: the next key is the packets of the record just
// found, round the random cycle (as the reader's dependent lookups go). call: each lookup behind
// a call of the reader's shape (FormatModel::lookupCall), not inlined into the loop.
void floorLookup(benchmark::State& state, uint64_t n, Mode mode, bool call) {
    Session& s = session(n);
    const VeskBench::FormatModel& model = s.model();
    const Reader& reader = *s.reader;
    uint64_t sum = 0;
    uint64_t found = 0;
    const auto run = [&](auto find) {
        for (auto _ : state) {
            uint64_t k = 0;
            for (uint64_t i = 0; i < n; ++i) {
                if (mode == Mode::independent)
                    k = s.hitKeys[i];
                const uint64_t* packets = find(k, reader.hashKeyValue(k));
                found += packets != nullptr;
                k = packets != nullptr ? *packets : 0;
                sum += k;
            }
        }
    };
    if (call) {
        run([&](const uint64_t& k, uint32_t hash) {
            bool f = false;
            const uint64_t* packets = model.lookupCall(k, hash, f);
            return f ? packets : nullptr;
        });
    } else {
        run([&](uint64_t k, uint32_t hash) { return model.lookup(k, hash); });
    }
    benchmark::DoNotOptimize(sum);
    if (found != n * state.iterations())
        state.SkipWithError("the model's answers do not match the table");
    perOp(state, n);
}

// ----- the writer's own speed -----

// Each iteration is one measurement of kMeasureOps overwrites timed by the child; with a reader,
// this process does independent hit lookups until the child reports.
void writerOverwrite(benchmark::State& state, uint64_t n, bool withReader) {
    Session& s = session(n);
    Reader& r = *s.reader;
    uint64_t ns = 0;
    uint64_t cpuNs = 0;
    uint64_t ops = 0;
    uint64_t lookups = 0;
    uint64_t sum = 0;
    for (auto _ : state) {
        s.writer->startMeasure();
        const uint64_t sent = nowNs();
        if (withReader) {
            CounterEntrySimple buffer;
            size_t at = 0;
            do {
                for (uint64_t i = 0; i < kPollEvery; ++i) {
                    bool f = false;
                    sum += r.lookup(CounterIndex(s.hitKeys[at]), f, &buffer)->packets();
                    if (++at == s.hitKeys.size())
                        at = 0;
                }
                lookups += kPollEvery;
            } while (!s.writer->replied(sent));
        }
        const Reply m = s.writer->measured();
        state.SetIterationTime(double(m.ns) * 1e-9);
        ns += m.ns;
        cpuNs += m.cpuNs;
        ops += m.ops;
    }
    benchmark::DoNotOptimize(sum);
    state.counters["ns_per_op"] = ops == 0 ? 0.0 : double(ns) / double(ops);
    state.counters["cpu_ns_per_op"] = ops == 0 ? 0.0 : double(cpuNs) / double(ops);
    if (withReader)
        state.counters["reader_lookups"] = double(lookups);
}

// ----- registration: one size after the other, so each size forks one writer -----

const char* const kLookup[] = {"hit", "miss"};
const char* const kMode[] = {"independent", "dependent"};
const char* const kWriter[] = {"writer_idle", "writer_busy"};

// The lookups and the iteration of one store of n records with its writer idle, then busy:
// lookup(state, Lookup, Mode, busy) and iterate(state, busy).
template <class LookupRun, class IterateRun>
void registerReads(Store kind, uint64_t n, LookupRun lookup, IterateRun iterate) {
    const char* const store = kStoreNames[int(kind)];
    for (int busy = 0; busy < 2; ++busy) {
        for (int l = 0; l < 2; ++l) {
            for (int m = 0; m < 2; ++m) {
                const auto name = fmt::format("{}/lookup_{}/{}/{}/{}", store, kLookup[l], kMode[m],
                                              kWriter[busy], n);
                benchmark::RegisterBenchmark(name.c_str(), lookup, Lookup(l), Mode(m), busy != 0)
                    ->Unit(benchmark::kMillisecond);
            }
        }
        const auto name = fmt::format("{}/iterate/{}/{}", store, kWriter[busy], n);
        benchmark::RegisterBenchmark(name.c_str(), iterate, busy != 0)
            ->Unit(benchmark::kMillisecond);
    }
}

// A peer's reads, when the peer is built in.
template <class Table>
void registerPeer(Store kind, uint64_t n) {
    registerReads(
        kind, n,
        [=](benchmark::State& state, Lookup l, Mode m, bool busy) {
            peerLookup<Table>(state, n, kind, l, m, busy);
        },
        [=](benchmark::State& state, bool busy) { peerIterate<Table>(state, n, kind, busy); });
}

void registerAll() {
    for (uint64_t n : {uint64_t(1000), uint64_t(100000), uint64_t(1000000)}) {
        registerReads(
            Store::vesk, n,
            [=](benchmark::State& state, Lookup l, Mode m, bool busy) {
                readerLookup(state, n, l, m, busy);
            },
            [=](benchmark::State& state, bool busy) { readerIterate(state, n, busy); });
        for (int busy = 0; busy < 2; ++busy) {
            for (size_t batch : {size_t(64), size_t(1024)}) {
                const auto name =
                    fmt::format("VeskReader/lookup_hit/batch{}/{}/{}", batch, kWriter[busy], n);
                benchmark::RegisterBenchmark(name.c_str(), readerLookupMany, n, batch, busy != 0)
                    ->Unit(benchmark::kMillisecond);
            }
            const auto name = fmt::format("VeskReader/scan/{}/{}", kWriter[busy], n);
            benchmark::RegisterBenchmark(name.c_str(), readerScan, n, busy != 0)
                ->Unit(benchmark::kMillisecond);
        }
        for (int l = 0; l < 2; ++l) {
            for (int m = 0; m < 2; ++m) {
                const auto name = fmt::format("Map/lookup_{}/{}/{}", kLookup[l], kMode[m], n);
                benchmark::RegisterBenchmark(name.c_str(), mapLookup, n, Lookup(l), Mode(m))
                    ->Unit(benchmark::kMillisecond);
            }
        }
        benchmark::RegisterBenchmark(fmt::format("Map/iterate/{}", n).c_str(), mapIterate, n)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(fmt::format("Floor/pointer_chase/{}", n).c_str(), pointerChase,
                                     n)
            ->Unit(benchmark::kMillisecond);
        for (int known = 0; known < 2; ++known) {
            const auto name = fmt::format("Floor/table_order{}/{}", known ? "_known" : "", n);
            benchmark::RegisterBenchmark(name.c_str(), floorWalk, n, known != 0)
                ->Unit(benchmark::kMillisecond);
        }
        for (int call = 0; call < 2; ++call) {
            for (int m = 0; m < 2; ++m) {
                const auto name =
                    fmt::format("Floor/lookup_{}/{}/{}", call ? "call" : "hit", kMode[m], n);
                benchmark::RegisterBenchmark(name.c_str(), floorLookup, n, Mode(m), call != 0)
                    ->Unit(benchmark::kMillisecond);
            }
        }
#ifdef VESK_BENCH_LMDB
        registerPeer<VeskBench::LmdbTable>(Store::lmdb, n);
#endif
#ifdef VESK_BENCH_BOOST
        registerPeer<VeskBench::BoostTable>(Store::boost, n);
#endif
        for (int withReader = 0; withReader < 2; ++withReader) {
            const auto name = fmt::format("VeskWriter/overwrite/{}/{}",
                                          withReader ? "with_reader" : "no_reader", n);
            benchmark::RegisterBenchmark(name.c_str(), writerOverwrite, n, withReader != 0)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
        // The shadows, over a second writer child that publishes notifications.
        for (int l = 0; l < 2; ++l) {
            for (int m = 0; m < 2; ++m) {
                const auto name = fmt::format("VeskShadow/lookup_{}/{}/{}/{}", kLookup[l], kMode[m],
                                              kWriter[0], n);
                benchmark::RegisterBenchmark(name.c_str(), shadowLookup, n, Lookup(l), Mode(m),
                                             false)
                    ->Unit(benchmark::kMillisecond);
            }
        }
        benchmark::RegisterBenchmark(fmt::format("VeskShadow/iterate/{}/{}", kWriter[0], n).c_str(),
                                     shadowIterate, n, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(
            fmt::format("VeskShadow/notify_latency/{}/{}", kWriter[1], n).c_str(), shadowLatency, n)
            ->UseManualTime()
            ->Iterations(4)
            ->Unit(benchmark::kMillisecond);
        for (int m = 0; m < 2; ++m) {
            const auto name =
                fmt::format("VeskKeyShadow/lookup_hit/{}/{}/{}", kMode[m], kWriter[0], n);
            benchmark::RegisterBenchmark(name.c_str(), shadowLookup, n, Lookup::hit, Mode(m), true)
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(
            fmt::format("VeskKeyShadow/iterate/{}/{}", kWriter[0], n).c_str(), shadowIterate, n,
            true)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    VeskBench::root();
    ::signal(SIGINT, onInterrupt);
    registerAll();
    const int status = VeskBench::runBenchmarks(argc, argv);
    gSession.reset();
    return status;
}
