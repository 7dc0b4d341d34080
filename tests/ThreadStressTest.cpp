// Readers in threads and processes while the writer grows, shrinks, dies and re-formats. Records
// check themselves and their n only grows, so a torn, mixed, older or earlier writer's copy shows.
#include "Pimbo/EventLoop.h"
#include "RecordChecks.h"
#include "Vesk/VeskReader.h"
#include "support/Tables.h"

#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <new>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace {

using namespace VeskTest;

constexpr uint64_t kHeld = 64;  // keys 1..kHeld are written first and never removed
constexpr uint64_t kHot = 4;    // held keys written and read most, so copies overlap often
constexpr uint64_t kChurnBase = 1000;
constexpr uint64_t kChurnKeys = 4096;
constexpr uint64_t kNeverBase = uint64_t(1) << 40;
constexpr int kReaders = 2;
const char* const kName = "sys/T/counter";  // where the front of table "T" in "sys" looks

// On generation `cinder` (0: none): keys 1..held there, none older than minN; `stay`: no other.
struct Rule {
    uint32_t cinder = 0;
    uint64_t held = 0, minN = 0;
    bool stay = false;
};

// What the writer, the readers and the test tell each other, shared with forked children.
struct Progress {
    std::atomic<uint64_t> retries{0}, remaps{0}, lookaside{0}, slotMaps{0}, bucketMaps{0},
        iterations{0}, generations{0}, scans{0}, scanFallbacks{0}, failures{0};
    char firstFailure[512] = {};

    void fail(const std::string& what) {
        if (failures.fetch_add(1) == 0)
            std::snprintf(firstFailure, sizeof firstFailure, "%s", what.c_str());
    }
};
struct Stress {
    std::atomic<bool> stop{false};         // the readers end
    std::atomic<bool> pauseWriter{false};  // the writer ends its changes
    std::atomic<int> phase{0};             // rules[phase] holds; written before phase is set
    Rule rules[8];
    Progress readers[kReaders];
    uint64_t operations = 0;
    // When each churn key was last inserted (stored after the insert) and last removed (stored
    // before the removal), on the writer's clock: a scan knows which keys stayed throughout it.
    std::atomic<uint64_t> clock{0};
    std::atomic<uint64_t> insertedAt[kChurnKeys] = {}, removedAt[kChurnKeys] = {};
    uint32_t churnCinder = 0;  // the generation they belong to
    Vesk::Writer::Counters writer;
    char failure[1024] = {};

    void phaseIs(int p, const Rule& rule) {
        rules[p] = rule;
        phase.store(p);
    }
};

Stress& sharedStress() {  // unmapped by the fixture: Stress is trivially destructible
    void* p =
        ::mmap(nullptr, sizeof(Stress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::runtime_error("mmap failed");
    return *new (p) Stress;
}

// What a run until every race path was seen still lacks; "" when nothing (or a reader failed).
std::string lacking(const Stress& run, const Vesk::Writer::Counters& c) {
    std::string out;
    uint64_t retries = 0, remaps = 0, lookaside = 0;
    for (const Progress& p : run.readers) {
        if (p.failures.load() > 0)
            return "";
        if (p.slotMaps.load() <= 1 || p.bucketMaps.load() <= 1 || p.iterations.load() == 0 ||
            p.scans.load() == 0 || p.scanFallbacks.load() == 0)
            out = " every reader re-mapping both files, iterating and scanning in both orders;";
        retries += p.retries.load();
        remaps += p.remaps.load();
        lookaside += p.lookaside.load();
    }
    if (run.operations < scaled(200000))
        out += fmt::format(" {} operations;", scaled(200000));
    if (c.slotGrows == 0 || c.slotShrinks == 0 || c.bucketGrows == 0 || c.bucketShrinks == 0)
        out += " both files growing and shrinking;";
    if (retries == 0 || remaps == 0 || lookaside == 0)
        out += " a retry, a re-map retry and a lookaside read;";
    return out;
}

// A writer on the table (reusing or re-formatting what it finds), keys 1..held written. The churn
// keys of another generation are gone: forgotten before any reader is told of this one.
template <class Ops>
std::unique_ptr<Vesk::VeskWriter<Ops>> startWriter(Stress& run, uint64_t held, uint64_t& n) {
    auto w = makeWriter<Ops>(shrinkingDescriptor(1u << 20), kName);
    w->initialize("stress");
    if (std::exchange(run.churnCinder, w->cinderId().value) != w->cinderId().value) {
        for (uint64_t i = 0; i < kChurnKeys; ++i)
            run.insertedAt[i] = 0;
    }
    for (uint64_t k = 1; k <= held; ++k)
        w->write(Kind<Ops>::make(k, ++n), true);
    return w;
}

// Changes the table until run.pauseWriter, or with `untilSeen` until every race path was seen.
template <class Ops>
void runWriter(Vesk::VeskWriter<Ops>& w, uint64_t seed, Stress& run, uint64_t n, uint64_t held,
               bool untilSeen) {
    using K = Kind<Ops>;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(scaled(300));
    try {
        std::mt19937_64 rng(seed);
        std::set<uint64_t> present;  // the churn keys in the table
        bool growing = true;
        for (;; ++run.operations) {
            if (run.operations % 256 == 0) {
                const std::string missing = untilSeen ? lacking(run, w.writerCounters()) : "-";
                if (missing.empty() || run.pauseWriter.load())
                    break;
                if (std::chrono::steady_clock::now() > deadline)
                    throw std::runtime_error("deadline reached, missing:" + missing);
            }
            growing = present.size() >= 2500 ? false : present.size() <= 20 ? true : growing;
            const uint64_t dice = rng() % 100;
            const uint64_t churn = kChurnBase + rng() % kChurnKeys;
            if (dice < 30) {
                w.write(K::make(1 + rng() % kHot, ++n), true);
            } else if (dice < (growing ? 45u : 80u) && !present.empty()) {
                const auto it = present.lower_bound(churn);
                const uint64_t key = it == present.end() ? *present.begin() : *it;
                typename Ops::Value removed;
                run.removedAt[key - kChurnBase].store(++run.clock);
                if (!w.remove(CounterIndex(key), removed))
                    throw std::runtime_error(fmt::format("churn key {} missing", key));
                present.erase(key);
            } else if (dice < 88) {
                w.write(K::make(churn, ++n), true);
                if (present.insert(churn).second)
                    run.insertedAt[churn - kChurnBase].store(++run.clock);
            } else if (dice < 92) {
                w.write(K::make(1 + rng() % held, ++n), true);
            } else {
                // Direct mode: a churn or held key (directWrite), a held key (directUpdate).
                const bool update = dice >= 96;
                const uint64_t key = !update && rng() % 2 == 0 ? churn : 1 + rng() % held;
                auto* area =
                    update ? w.directUpdate(CounterIndex(key)) : w.directWrite(K::make(key, ++n));
                if (area == nullptr)
                    throw std::runtime_error(fmt::format("held key {} missing", key));
                *area = K::make(key, ++n);
                w.directCommit();
                if (key >= kChurnBase && present.insert(key).second)
                    run.insertedAt[key - kChurnBase].store(++run.clock);
            }
        }
        if (!w.validate())
            throw std::runtime_error("final validation failed: " + w.lastValidationFailure());
    } catch (const std::exception& e) {
        std::snprintf(run.failure, sizeof run.failure, "writer: %s", e.what());
    }
    run.writer = w.writerCounters();
    if (untilSeen || run.failure[0] != '\0')
        run.stop.store(true);
}

// Reads until run.stop, judged by the phase's rule; `phaseDone` hears of a phase after
// scaled(500) rounds on its generation.
template <class Ops>
void runReader(uint64_t seed, Stress& run, Progress& me,
               const std::function<void(int)>& phaseDone) {
    using K = Kind<Ops>;
    using Value = typename Ops::Value;
    Vesk::VeskReader<Ops> r(*testHandler(), kName, Ops{}, nullptr);
    if (!r.initialize("stress"))
        return me.fail("initialize: " + r.attachFailureMessage());
    std::mt19937_64 rng(seed);
    std::unordered_map<uint64_t, uint64_t> seen;  // progress last seen of each key in seenCinder
    uint32_t seenCinder = 0;
    int phase = -1;
    uint64_t phaseRounds = 0;
    auto state = [&r] { return std::make_pair(r.mountStatus(), r.cinderId().value); };
    for (uint64_t round = 1; !run.stop.load() && me.failures.load() == 0; ++round) {
        const int p = run.phase.load();
        const Rule& rule = run.rules[p];
        const auto before = state();
        auto judged = [&] {
            return before.first == 1 && before.second == rule.cinder && state() == before;
        };
        auto check = [&](const Value& v, uint64_t key, const char* where) {
            const uint64_t k = Ops::key(v).value();
            if (std::exchange(seenCinder, state().second) != state().second)
                seen.clear();
            const RecordFault fault =
                k >= kNeverBase ? RecordFault::torn : checkRecord<Ops>(v, key, seen[key]);
            if (fault == RecordFault::torn)
                me.fail(fmt::format("{}: key {} answered with {}", where, key, recordJson<Ops>(v)));
            else if (fault == RecordFault::wentBack)
                me.fail(
                    fmt::format("{}: {} went back from {}", where, recordJson<Ops>(v), seen[key]));
            else if (judged() && K::progress(v) < K::progress(K::make(k, rule.minN)))
                me.fail(fmt::format("{}: {} is of an earlier writer", where, recordJson<Ops>(v)));
        };
        try {
            if (round % 64 == 0) {
                // A full walk, in table order or a slot-order scan: every record whole, no key
                // twice, every held key there; a scan also finds every churn key that stayed
                // throughout it exactly once (one removed and inserted again may show twice).
                const bool scan = round % 128 == 0;
                const uint64_t since = run.clock.load();
                std::unordered_map<uint64_t, int> keys;
                auto visit = [&](const Value& v) {
                    check(v, Ops::key(v).value(), scan ? "scan" : "iteration");
                    const uint64_t k = Ops::key(v).value();
                    if ((++keys[k] > 1 && (!scan || k < kChurnBase)) ||
                        keys.size() > 2 * kChurnKeys)
                        me.fail(fmt::format("{} returned key {} twice", scan ? "scan" : "iteration",
                                            k));
                };
                if (scan) {
                    me.scanFallbacks += r.scan(visit).tableOrder;
                    ++me.scans;
                } else {
                    Value v;
                    Vesk::IterHint hint;
                    for (bool more = r.first(v, hint); more && me.failures.load() == 0;
                         more = r.next(Ops::key(v), v, hint))
                        visit(v);
                    ++me.iterations;
                }
                for (uint64_t k = 1; k <= rule.held && me.failures.load() == 0 && judged(); ++k) {
                    if (keys.count(k) == 0)
                        me.fail(fmt::format("{} missed key {}", scan ? "scan" : "iteration", k));
                }
                for (uint64_t i = 0; scan && i < kChurnKeys && judged(); ++i) {
                    const uint64_t in = run.insertedAt[i].load();
                    const auto it = keys.find(kChurnBase + i);
                    const int times = it == keys.end() ? 0 : it->second;
                    if (in != 0 && in <= since && run.removedAt[i].load() < in && times != 1)
                        me.fail(fmt::format("scan visited key {}, there all along, {} times",
                                            kChurnBase + i, times));
                }
            } else if (round % 2 == 0) {
                // Three keys in one call: each answer as a single lookup's.
                const CounterIndex keys[3] = {CounterIndex(1 + rng() % kHot),
                                              CounterIndex(kChurnBase + rng() % kChurnKeys),
                                              CounterIndex(kNeverBase + rng() % 100000)};
                Value out[3];
                bool found[3];
                r.lookupMany(keys, 3, out, found);
                for (int i = 0; i < 3; ++i) {
                    if (found[i])
                        check(out[i], keys[i].value(), "lookupMany");
                }
                if (!found[0] && judged())
                    me.fail(fmt::format("key {} absent in generation {}", keys[0].value(),
                                        rule.cinder));
            } else {
                // Mostly a hot key; else a held key, a churn key or a never-written key.
                const uint64_t dice = rng() % 8;
                const uint64_t k = dice < 5    ? 1 + rng() % kHot
                                   : dice == 5 ? 1 + rng() % kHeld
                                   : dice == 6 ? kChurnBase + rng() % kChurnKeys
                                               : kNeverBase + rng() % 100000;
                bool found = false;
                Value v;
                r.lookup(CounterIndex(k), found, &v);
                if (found)
                    check(v, k, "lookup");
                else if (k <= rule.held && judged())
                    me.fail(fmt::format("key {} absent in generation {}", k, rule.cinder));
            }
        } catch (const Pimbo::Exception& e) {
            me.fail(fmt::format("exception: {} at {}", e.msg(), e.where()));
        }
        // A round that began before the phase changed (waiting out a re-format) is the next's.
        if (rule.stay && run.phase.load() == p && state() != std::make_pair(1u, rule.cinder))
            me.fail(fmt::format("left generation {} for {}", rule.cinder, state().second));
        const Vesk::Reader::Counters& c = r.counters();
        me.retries = c.retries;
        me.remaps = c.remapRetries;
        me.lookaside = c.lookasideReads;
        me.slotMaps = c.resizes;
        me.bucketMaps = c.bucketResizes;
        me.generations = c.generationChanges;
        phaseRounds = std::exchange(phase, p) == p ? phaseRounds : 0;
        if (rule.cinder != 0 && state().second == rule.cinder && ++phaseRounds == scaled(500) &&
            phaseDone)
            phaseDone(p);
    }
}

class Workload : public ::testing::Test {
  protected:
    void SetUp() override { testHandler()->levelMaskIs(0x0001); }
    void TearDown() override {
        EXPECT_STREQ(run.failure, "") << run.writer.toString();
        for (const Progress& p : run.readers)
            EXPECT_EQ(p.failures.load(), 0u) << p.firstFailure;
        ::munmap(&run, sizeof run);
        testHandler()->levelMaskIs(Pimbo::Platform::defaultLevelMask());
    }

    TestRoot root_;
    Stress& run = sharedStress();
};
using ThreadStress = Workload;
using ReaderTortureStress = Workload;
using ReaderProcess = Workload;

TEST_F(ThreadStress, WholeRecordsUnderResizes) {
    using Ops = CounterEntryNormalOps;
    uint64_t n = 0;
    auto w = startWriter<Ops>(run, kHeld, n);
    run.phaseIs(0, Rule{w->cinderId().value, kHeld, 0, true});
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back(
            [&, i] { runReader<Ops>(testSeed() + 1 + i, run, run.readers[i], {}); });
    runWriter<Ops>(*w, testSeed(), run, n, kHeld, true);
    for (auto& t : readers)
        t.join();
}

#if !defined(__SANITIZE_THREAD__)  // processes: not in the ThreadSanitizer build

using Ops = CounterEntrySimpleOps;

// A writer process from generation n0 on: sends its cinder id, then "paused" after runWriter.
std::unique_ptr<Child> writerProcess(Stress& run, uint64_t held, uint64_t n0, bool untilSeen) {
    return std::make_unique<Child>([&run, held, n0, untilSeen](Child& self) {
        uint64_t n = n0;
        auto w = startWriter<Ops>(run, held, n);
        self.send(std::to_string(w->cinderId().value));
        runWriter<Ops>(*w, testSeed() + n0, run, n, held, untilSeen);
        self.send("paused");
        return self.receive() == "exit" ? 0 : 1;
    });
}

// Reader processes; each answers the number of a phase once it is done with it.
std::vector<std::unique_ptr<Child>> readerProcesses(Stress& run) {
    std::vector<std::unique_ptr<Child>> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.push_back(std::make_unique<Child>([&run, i](Child& self) {
            runReader<Ops>(testSeed() + 1 + i, run, run.readers[i],
                           [&self](int p) { self.send(std::to_string(p)); });
            return 0;
        }));
    }
    return readers;
}

// The writer process is let go; it and every reader end well.
void expectAllEnd(Child& writer, std::vector<std::unique_ptr<Child>>& readers) {
    writer.send("exit");
    EXPECT_EQ(writer.wait(), 0);
    for (auto& r : readers)
        EXPECT_EQ(r->wait(), 0);
}

TEST_F(ReaderTortureStress, WholeRecordsUnderResizes) {
    auto writer = writerProcess(run, kHeld, 0, true);
    run.phaseIs(0, Rule{uint32_t(std::stoul(writer->receive())), kHeld, 0, true});
    auto readers = readerProcesses(run);
    EXPECT_EQ(writer->receive(double(scaled(300)) + Child::kWait), "paused");
    expectAllEnd(*writer, readers);
}

TEST_F(ReaderProcess, AcrossKillsAndReformats) {
    auto writer = writerProcess(run, kHeld, 1000000, false);
    const std::string first = writer->receive();
    const Rule held{uint32_t(std::stoul(first)), kHeld, 0, true};
    run.phaseIs(0, held);
    auto readers = readerProcesses(run);
    // Every reader is done with phase p, judged by `rule`.
    auto phase = [&](int p, const Rule& rule, const char* what) {
        if (p != 0)
            run.phaseIs(p, rule);
        for (int i = 0; i < kReaders; ++i) {
            EXPECT_EQ(readers[i]->receive(), std::to_string(p))
                << "reader " << i << ", " << what << ": " << run.readers[i].firstFailure;
        }
    };
    auto stopWriter = [&] {
        run.pauseWriter = true;
        EXPECT_EQ(writer->receive(), "paused");
        run.pauseWriter = false;
    };
    phase(0, held, "first writer");

    // Killed while idle: its files stay complete, the readers keep answering from them.
    stopWriter();
    writer->kill();
    phase(1, held, "no writer");

    // Restarted: it reuses the files (same generation) and goes on changing them.
    writer = writerProcess(run, kHeld, 2000000000, false);
    EXPECT_EQ(writer->receive(), first) << "the files were not reused";
    phase(2, held, "restarted writer");
    for (const Progress& p : run.readers)
        EXPECT_EQ(p.generations.load(), 0u);

    // Killed with its files left mid-change: the next writer re-formats them with keys 1..32.
    stopWriter();
    writer->kill();
    run.phaseIs(3, Rule{});
    const std::string slots = root_.path(std::string(kName) + "/slots");
    pwriteValue<uint16_t>(
        slots, Off::kRuntimeFlags,
        rd<uint16_t>(readFile(slots), Off::kRuntimeFlags) | Vesk::CRITICAL_SECTION);
    writer = writerProcess(run, 32, 3000000000, false);
    const uint32_t next = uint32_t(std::stoul(writer->receive()));
    EXPECT_EQ(Plinth::CinderId(next).second(), Plinth::CinderId(held.cinder).second() + 1);
    phase(4, Rule{next, 32, 3000000000, false}, "moving to the new generation");
    phase(5, Rule{next, 32, 3000000000, true}, "re-formatted table");

    run.stop = true;
    stopWriter();
    expectAllEnd(*writer, readers);
}

// A front mounted before its writer answers "absent", attaches from its event loop once the files
// appear (quiesced before mounted), falls back when they go; tryAttach attaches at once.
TEST_F(ReaderProcess, MountedBeforeItsWriter) {
    run.pauseWriter = true;  // the writers only start and write their keys
    auto dir = Orlo::Directory::DirectoryIs("sys");
    auto table = DravoCounters::FlexCounters2::counterTableSimpleFactory("T");
    auto control = table->counterControl();
    dir->entityIs(table);
    auto& map = table->counter;
    // Once the mount status is `waitFor` (-1: the loop not run): the state, the records that are
    // those of a writer from n0 on, and whether a lookup of an absent key answers zeros.
    auto state = [&](int waitFor, uint64_t n0) {
        for (int i = 0; waitFor >= 0 && i < 600 && map.mountStatus() != uint32_t(waitFor); ++i)
            Pimbo::eventLoop().poll(100);
        uint64_t records = 0, right = 0;
        std::remove_reference_t<decltype(map)>::IteratorConst it(&map);
        for (bool valid = it.valid(); valid && records < 100; valid = it.advance(), ++records) {
            const uint64_t k = it.value().key().value();
            right += it.value() == Kind<Ops>::make(k, n0 + k);
        }
        bool found = true;
        Ops::Value v{};
        const Ops::Value* answer = map.safeLookup(CounterIndex(400), found, &v);
        return fmt::format("mount={} cinder={} history={} records={} right={} absent:{}",
                           map.mountStatus(), map.cinderId().value, control->historyString(),
                           records, right, !found && *answer == Ops::Value{});
    };
    auto expected = [](const std::string& cinder, const std::string& history, uint64_t keys) {
        return fmt::format("mount={} cinder={} history={} records={} right={} absent:true",
                           int(keys != 0), cinder, history, keys, keys);
    };
    control->mount(Vesk::MapDescriptor(1000, Vesk::reader));
    map.tryAttach();  // nothing to attach to yet
    EXPECT_EQ(state(0, 0), expected("0", "", 0));

    auto writer = writerProcess(run, 40, 100, false);
    const std::string first = writer->receive();
    EXPECT_EQ(writer->receive(), "paused");
    const std::string mounted = "quiesced:true mountStatus:mounted";
    EXPECT_EQ(state(1, 100), expected(first, mounted, 40));

    // The writer and its files go: back to the placeholder.
    writer->kill();
    std::filesystem::remove_all(root_.path(kName));
    const std::string gone = mounted + " quiesced:false mountStatus:notMounted";
    EXPECT_EQ(state(0, 0), expected("0", gone, 0));

    // A new generation, the loop not run: tryAttach alone attaches; the loop changes nothing.
    writer = writerProcess(run, 3, 500, false);
    const std::string next = writer->receive();
    EXPECT_EQ(writer->receive(), "paused");
    map.tryAttach();
    const std::string attached = expected(next, gone + " " + mounted, 3);
    EXPECT_EQ(state(-1, 500), attached);
    while (Pimbo::eventLoop().poll(0)) {
    }
    map.tryAttach();
    EXPECT_EQ(state(1, 500), attached);
    writer->send("exit");
    EXPECT_EQ(writer->wait(), 0);
    dir->entityDelAll();
}

#endif

}  // namespace
