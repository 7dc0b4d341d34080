// One writer thread and two reader threads of one process on one table. The writer inserts,
// overwrites (plainly and in direct mode) and removes, swinging between a few dozen and a few
// thousand records so that both files grow and shrink; each reader is a VeskReader on the
// writer's files that looks keys up and iterates the whole table all the time.
//
// Built alone under ThreadSanitizer (make test-tsan), which checks everything the three threads
// share in this process: the library's globals, trace handlers, root path and the test's own
// state. The table's words themselves are mapped twice (the writer's mapping and each reader's),
// at different addresses, so the sanitizer cannot pair a writer's store with a reader's load;
// those are guarded by the records' self-check instead.
//
// Every record carries a self-check (octets = a fixed mix of key and packets), so a torn or
// mixed copy shows up on its own; packets come from one counter that only grows, so a key never
// goes back for a reader. Keys 1..kHeld are never removed, keys from kNeverBase on never written.
// The run lasts until both files grew and shrank, every reader re-mapped both files and did a
// full iteration, and the readers together restarted a walk on a moved link, repeated an
// operation after a re-map and copied a record from the lookaside slot; and at least
// VESK_STRESS_OPS writer operations (default 200000; more for a soak). VESK_STRESS_DEADLINE
// (seconds, default 300) bounds the wait; reaching it fails the test. VESK_TEST_SEED replays a
// run.
#include "Plinth/CinderFile.h"
#include "Vesk/VeskReader.h"
#include "WriterTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using namespace VeskTest;
using Ops = CounterEntrySimpleOps;
using Value = CounterEntrySimple;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kHeld = 64;
constexpr uint64_t kHot = 4;  // held keys overwritten most, so copies overlap often
constexpr uint64_t kChurnBase = 1000;
constexpr uint64_t kChurnKeys = 4096;
constexpr uint64_t kNeverBase = uint64_t(1) << 40;
constexpr int kReaders = 2;
const char* const kName = "stress/counter";

uint64_t selfCheck(uint64_t key, uint64_t packets) {
    return (key * 0x9E3779B97F4A7C15ull) ^ (packets * 0xC2B2AE3D27D4EB4Full) ^ 0x5bd1e995ull;
}

Value record(uint64_t key, uint64_t packets) {
    Value v{CounterIndex(key)};
    v.packetsIs(packets);
    v.octetsIs(selfCheck(key, packets));
    return v;
}

Pimbo::Platform::DebugHandler& handler() {
    return *Pimbo::Platform::getDebugHandler("ThreadStress");
}

// One reader thread's results. The atomics are its progress, read by the writer thread to know
// when to stop; the rest is read only after the thread was joined.
struct ReaderState {
    std::atomic<uint64_t> retries{0};
    std::atomic<uint64_t> remapRetries{0};
    std::atomic<uint64_t> lookasideReads{0};
    std::atomic<uint64_t> slotMaps{0};
    std::atomic<uint64_t> bucketMaps{0};
    std::atomic<uint64_t> fullIterations{0};
    std::atomic<uint64_t> failures{0};
    std::string firstFailure;  // written by the reader thread only
    Vesk::Reader::Counters counters;

    void fail(const std::string& what) {
        if (failures.fetch_add(1) == 0)
            firstFailure = what;
    }
    bool remapped() const { return slotMaps.load() > 1 && bucketMaps.load() > 1; }
};

// A reader's checks of every record it gets: whole, written, never older than before.
class RecordCheck {
  public:
    explicit RecordCheck(ReaderState& state) : state_(state) {}
    void operator()(const Value& v, const char* where) {
        const uint64_t key = v.key().value();
        if (v.octets() != selfCheck(key, v.packets())) {
            state_.fail(fmt::format("{}: torn record key:{} packets:{} octets:{:#x}", where, key,
                                    v.packets(), v.octets()));
        } else if (key >= kNeverBase) {
            state_.fail(fmt::format("{}: never-written key {} found", where, key));
        } else if (uint64_t& last = lastSeen_[key]; v.packets() < last) {
            state_.fail(fmt::format("{}: key {} went back from packets {} to {}", where, key, last,
                                    v.packets()));
        } else {
            last = v.packets();
        }
    }

  private:
    ReaderState& state_;
    std::unordered_map<uint64_t, uint64_t> lastSeen_;
};

void runReader(uint64_t seed, const std::atomic<bool>& stop, ReaderState& state) {
    RecordCheck check(state);
    Vesk::VeskReader<Ops> r(handler(), kName, Ops{}, nullptr);
    if (!r.initialize("stress")) {
        state.fail("initialize failed");
        return;
    }
    std::mt19937_64 rng(seed);
    for (uint64_t round = 1; !stop.load(); ++round) {
        try {
            if (round % 64 == 0) {
                // A full iteration: every record whole, no key twice, every held key there.
                std::unordered_set<uint64_t> keys;
                Value v;
                Vesk::IterHint hint;
                for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint)) {
                    check(v, "iteration");
                    if (!keys.insert(v.key().value()).second || keys.size() > kHeld + kChurnKeys) {
                        state.fail(
                            fmt::format("iteration returned key {} twice or went on past "
                                        "the key space",
                                        v.key().value()));
                        break;
                    }
                }
                for (uint64_t k = 1; k <= kHeld; ++k) {
                    if (keys.count(k) == 0) {
                        state.fail(fmt::format("iteration missed held key {}", k));
                        break;
                    }
                }
                ++state.fullIterations;
            } else {
                // Mostly a hot key; else a held key, a churn key or a never-written key.
                const uint64_t dice = rng() % 8;
                const uint64_t k = dice < 5    ? 1 + rng() % kHot
                                   : dice == 5 ? 1 + rng() % kHeld
                                   : dice == 6 ? kChurnBase + rng() % kChurnKeys
                                               : kNeverBase + rng() % 100000;
                bool found = false;
                Value buffer;
                r.lookup(CounterIndex(k), found, &buffer);
                if (found && buffer.key().value() != k)
                    state.fail(
                        fmt::format("lookup of {} returned key {}", k, buffer.key().value()));
                else if (found)
                    check(buffer, "lookup");
                else if (k <= kHeld)
                    state.fail(fmt::format("held key {} reported absent", k));
            }
        } catch (const Pimbo::Exception& e) {
            state.fail(fmt::format("exception: {} at {}", e.msg(), e.where()));
        }
        const Vesk::Reader::Counters& c = r.counters();
        state.retries.store(c.retries);
        state.remapRetries.store(c.remapRetries);
        state.lookasideReads.store(c.lookasideReads);
        state.slotMaps.store(c.resizes);
        state.bucketMaps.store(c.bucketResizes);
    }
    state.counters = r.readerCounters();
}

struct WriterResult {
    Vesk::Writer::Counters counters;
    uint64_t operations = 0;
    bool deadlinePassed = false;
    std::string failure;
};

// Writes until the readers have seen every race path, one of them failed or the deadline passed;
// then stops them.
void runWriter(Vesk::VeskWriter<Ops>& w, uint64_t seed, uint64_t minOps, Clock::time_point deadline,
               std::vector<ReaderState>& readers, std::atomic<bool>& stop, WriterResult& out) {
    auto enough = [&] {
        const auto c = w.writerCounters();
        uint64_t retries = 0;
        uint64_t remapRetries = 0;
        uint64_t lookasideReads = 0;
        for (const ReaderState& r : readers) {
            if (r.failures.load() > 0)
                return true;
        }
        for (const ReaderState& r : readers) {
            if (!r.remapped() || r.fullIterations.load() == 0)
                return false;
            retries += r.retries.load();
            remapRetries += r.remapRetries.load();
            lookasideReads += r.lookasideReads.load();
        }
        return out.operations >= minOps && c.slotGrows > 0 && c.slotShrinks > 0 &&
               c.bucketGrows > 0 && c.bucketShrinks > 0 && retries > 0 && remapRetries > 0 &&
               lookasideReads > 0;
    };
    try {
        std::mt19937_64 rng(seed);
        uint64_t seq = 1000;
        // The churn keys now in the table, for picking one at random.
        std::vector<uint64_t> present;
        std::unordered_map<uint64_t, size_t> where;
        bool growing = true;
        for (;; ++out.operations) {
            if (out.operations % 256 == 0 && enough())
                break;
            if (out.operations % 256 == 0 && Clock::now() > deadline) {
                out.deadlinePassed = true;
                break;
            }
            if (present.size() >= 2500)
                growing = false;
            if (present.size() <= 20)
                growing = true;
            const uint64_t dice = rng() % 100;
            if (dice < 30) {
                w.write(record(1 + rng() % kHot, ++seq), true);
            } else if (dice < (growing ? 45u : 80u) && !present.empty()) {
                const size_t at = rng() % present.size();
                const uint64_t key = present[at];
                Value removed;
                if (!w.remove(CounterIndex(key), removed)) {
                    out.failure = fmt::format("churn key {} missing", key);
                    break;
                }
                where.erase(key);
                present[at] = present.back();
                present.pop_back();
                if (at < present.size())
                    where[present[at]] = at;
            } else if (dice < 90) {
                const uint64_t key = kChurnBase + rng() % kChurnKeys;
                w.write(record(key, ++seq), true);
                if (where.emplace(key, present.size()).second)
                    present.push_back(key);
            } else if (dice < 95) {
                w.write(record(1 + rng() % kHeld, ++seq), true);
            } else {
                // Direct mode, filled in place.
                const uint64_t key = 1 + rng() % kHeld;
                Value* area = w.directUpdate(CounterIndex(key));
                if (area == nullptr) {
                    out.failure = fmt::format("held key {} missing", key);
                    break;
                }
                area->packetsIs(++seq);
                area->octetsIs(selfCheck(key, seq));
                w.directCommit();
            }
        }
        if (out.failure.empty() && !w.validate(kCinder, false))
            out.failure = "final validation failed: " + w.lastValidationFailure();
    } catch (const std::exception& e) {
        out.failure = e.what();
    }
    out.counters = w.writerCounters();
    stop.store(true);
}

TEST(ThreadStress, ReadersSeeWholeMonotonicRecordsWhileTheWriterResizes) {
    TestRoot root;
    handler().levelMaskIs(0x0001);
    const uint64_t seed = testSeed();
    const auto deadline =
        Clock::now() + std::chrono::seconds(envCount("VESK_STRESS_DEADLINE", 300));

    auto w = attachedWriter<Ops>(shrinkingDescriptor(1u << 20), kCinder, kName);
    for (uint64_t k = 1; k <= kHeld; ++k)
        w->write(record(k, k), true);
    Mem::RootPath rp(handler(), kName, true);
    Plinth::CinderFile(handler(), rp, true).write(kCinder);

    std::vector<ReaderState> readers(kReaders);
    std::atomic<bool> stop{false};
    WriterResult writer;
    std::vector<std::thread> threads;
    for (int i = 0; i < kReaders; ++i)
        threads.emplace_back(runReader, seed + 1 + uint64_t(i), std::cref(stop),
                             std::ref(readers[i]));
    threads.emplace_back(runWriter, std::ref(*w), seed, envCount("VESK_STRESS_OPS", 200000),
                         deadline, std::ref(readers), std::ref(stop), std::ref(writer));
    for (auto& t : threads)
        t.join();

    const auto& wc = writer.counters;
    std::printf(
        "writer: %llu operations, slot grows %llu shrinks %llu, bucket grows %llu shrinks "
        "%llu\n",
        static_cast<unsigned long long>(writer.operations),
        static_cast<unsigned long long>(wc.slotGrows),
        static_cast<unsigned long long>(wc.slotShrinks),
        static_cast<unsigned long long>(wc.bucketGrows),
        static_cast<unsigned long long>(wc.bucketShrinks));
    EXPECT_EQ(writer.failure, "");
    for (int i = 0; i < kReaders; ++i) {
        const ReaderState& r = readers[i];
        std::printf("reader %d: %s, %llu full iterations, %llu failures\n", i,
                    r.counters.toString().c_str(),
                    static_cast<unsigned long long>(r.fullIterations.load()),
                    static_cast<unsigned long long>(r.failures.load()));
        EXPECT_EQ(r.failures.load(), 0u) << "reader " << i << ": " << r.firstFailure;
    }
    // Reaching the deadline means a race path never ran: the counts above say which.
    EXPECT_FALSE(writer.deadlinePassed)
        << "the readers did not see every race path before VESK_STRESS_DEADLINE; seed " << seed;
}

}  // namespace
