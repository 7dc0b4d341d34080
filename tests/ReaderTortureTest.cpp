// One writer process and several reader processes on the same table for a while (20 seconds by
// default, VESK_TORTURE_SECONDS for a soak): the writer inserts, overwrites (plainly and in
// direct mode) and removes, growing and shrinking both the slot array and the buckets; the
// readers look keys up and iterate the whole table all the time and check every record they get.
//
// Every record carries a self-check (octets = a fixed mix of key and packets), so a torn or mixed
// copy shows up on its own. The writer takes packets from one counter that only grows, so a
// key's packets never go backwards for a reader. Keys 1..kHeld are written first and never
// removed: no reader may ever miss them. Keys at kNeverBase and above are never written.
#include "Plinth/CinderFile.h"
#include "Vesk/VeskReader.h"
#include "WriterTestUtil.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using namespace VeskTest;
using Ops = CounterEntrySimpleOps;
using Value = CounterEntrySimple;

constexpr uint64_t kHeld = 64;
// Held keys 1..kHot are overwritten and looked up far more often than the others, so copies of
// the same record by the writer and a reader overlap often.
constexpr uint64_t kHot = 4;
constexpr uint64_t kChurnBase = 1000;
constexpr uint64_t kChurnKeys = 4096;
constexpr uint64_t kNeverBase = uint64_t(1) << 40;
constexpr int kReaders = 2;
const char* const kName = "torture/counter";

uint64_t selfCheck(uint64_t key, uint64_t packets) {
    return (key * 0x9E3779B97F4A7C15ull) ^ (packets * 0xC2B2AE3D27D4EB4Full) ^ 0x5bd1e995ull;
}

Value record(uint64_t key, uint64_t packets) {
    Value v{CounterIndex(key)};
    v.packetsIs(packets);
    v.octetsIs(selfCheck(key, packets));
    return v;
}

std::shared_ptr<Pimbo::Platform::DebugHandler> handler() {
    return Pimbo::Platform::getDebugHandler("ReaderTorture");
}

// What a reader process reports through its pipe.
struct Report {
    uint64_t lookups = 0;
    uint64_t iterations = 0;
    uint64_t fullIterations = 0;
    uint64_t retries = 0;
    uint64_t remapRetries = 0;
    uint64_t resizes = 0;
    uint64_t bucketResizes = 0;
    uint64_t lookasideReads = 0;
    uint64_t slowPaths = 0;
    uint64_t failures = 0;
    char firstFailure[512] = {};
};

bool writeAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t done = ::write(fd, p, n);
        if (done <= 0)
            return false;
        p += done;
        n -= size_t(done);
    }
    return true;
}

bool readAll(int fd, void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t done = ::read(fd, p, n);
        if (done <= 0)
            return false;
        p += done;
        n -= size_t(done);
    }
    return true;
}

using Clock = std::chrono::steady_clock;

// ----- the writer process -----

int runWriter(uint64_t seed, double seconds, int readyFd) {
    try {
        Vesk::MapDescriptor d(1u << 20);
        d.shrinkSlots = 1;
        d.shrinkBuckets = 1;
        auto w = attachedWriter<Ops>(d, kCinder, kName);
        uint64_t seq = 0;
        for (uint64_t k = 1; k <= kHeld; ++k)
            w->write(record(k, ++seq), true);
        Mem::RootPath rp(*handler(), kName, true);
        Plinth::CinderFile(*handler(), rp, true).write(kCinder);
        const char ready = 'r';
        if (!writeAll(readyFd, &ready, 1))
            return 2;
        ::close(readyFd);

        std::mt19937_64 rng(seed);
        // The churn keys now in the table, for picking one at random.
        std::vector<uint64_t> present;
        std::unordered_map<uint64_t, size_t> where;
        auto added = [&](uint64_t key) {
            if (where.emplace(key, present.size()).second)
                present.push_back(key);
        };
        auto dropped = [&](uint64_t key) {
            const auto it = where.find(key);
            if (it == where.end())
                return;
            const size_t at = it->second;
            where.erase(it);
            if (at + 1 != present.size()) {
                present[at] = present.back();
                where[present[at]] = at;
            }
            present.pop_back();
        };
        bool growing = true;
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        uint64_t ops = 0;
        while ((++ops & 255) != 0 || Clock::now() < deadline) {
            // Swing between a few dozen and a few thousand records, so both arrays grow and
            // shrink over and over.
            if (growing && present.size() >= 2500)
                growing = false;
            if (!growing && present.size() <= 20)
                growing = true;
            const uint64_t dice = rng() % 100;
            if (dice < 30) {
                w->write(record(1 + rng() % kHot, ++seq), true);
                continue;
            }
            if (dice < (growing ? 45u : 80u) && !present.empty()) {
                const uint64_t key = present[rng() % present.size()];
                Value removed;
                if (!w->remove(CounterIndex(key), removed)) {
                    std::fprintf(stderr, "writer: churn key %llu missing\n",
                                 static_cast<unsigned long long>(key));
                    return 3;
                }
                dropped(key);
            } else if (dice < 88) {
                const uint64_t key = growing || present.empty() ? kChurnBase + rng() % kChurnKeys
                                                                : present[rng() % present.size()];
                w->write(record(key, ++seq), true);
                added(key);
            } else if (dice < 92) {
                const uint64_t held = 1 + rng() % kHeld;
                w->write(record(held, ++seq), true);
            } else if (dice < 96) {
                // Direct mode: the area starts as the record given, then is filled in place.
                const uint64_t key =
                    rng() % 2 == 0 ? kChurnBase + rng() % kChurnKeys : 1 + rng() % kHeld;
                Value* area = w->directWrite(record(key, ++seq));
                const uint64_t packets = ++seq;
                area->packetsIs(packets);
                area->octetsIs(selfCheck(key, packets));
                w->directCommit();
                if (key >= kChurnBase)
                    added(key);
            } else {
                const uint64_t key = 1 + rng() % kHeld;
                Value* area = w->directUpdate(CounterIndex(key));
                if (area == nullptr) {
                    std::fprintf(stderr, "writer: held key %llu missing\n",
                                 static_cast<unsigned long long>(key));
                    return 3;
                }
                const uint64_t packets = ++seq;
                area->packetsIs(packets);
                area->octetsIs(selfCheck(key, packets));
                w->directCommit();
            }
        }
        const auto counters = w->writerCounters();
        std::printf(
            "writer: %llu operations, slot grows %llu, slot shrinks %llu, bucket grows %llu, "
            "bucket shrinks %llu\n",
            static_cast<unsigned long long>(ops),
            static_cast<unsigned long long>(counters.slotGrows),
            static_cast<unsigned long long>(counters.slotShrinks),
            static_cast<unsigned long long>(counters.bucketGrows),
            static_cast<unsigned long long>(counters.bucketShrinks));
        std::fflush(stdout);
        if (!w->validate(kCinder, false)) {
            std::fprintf(stderr, "writer: final validation failed: %s\n",
                         w->lastValidationFailure().c_str());
            return 4;
        }
        if (counters.slotGrows == 0 || counters.slotShrinks == 0 || counters.bucketGrows == 0 ||
            counters.bucketShrinks == 0) {
            std::fprintf(stderr, "writer: the arrays did not both grow and shrink\n");
            return 5;
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "writer: %s\n", e.what());
        return 1;
    }
}

// ----- a reader process -----

class ReaderCheck {
  public:
    explicit ReaderCheck(Report& report) : report_(report) {}

    void fail(const std::string& what) {
        if (report_.failures++ == 0)
            std::snprintf(report_.firstFailure, sizeof(report_.firstFailure), "%s", what.c_str());
    }

    // A record as any reader must see it: whole, and never older than what was seen before.
    void record(const Value& v, const char* where) {
        const uint64_t key = v.key().value();
        if (v.octets() != selfCheck(key, v.packets())) {
            fail(fmt::format("{}: torn record key:{} packets:{} octets:{:#x}", where, key,
                             v.packets(), v.octets()));
            return;
        }
        if (key >= kNeverBase) {
            fail(fmt::format("{}: never-written key {} found", where, key));
            return;
        }
        uint64_t& last = lastSeen_[key];
        if (v.packets() < last) {
            fail(fmt::format("{}: key {} went back from packets {} to {}", where, key, last,
                             v.packets()));
        }
        last = v.packets();
    }

  private:
    Report& report_;
    std::unordered_map<uint64_t, uint64_t> lastSeen_;
};

void runReader(uint64_t seed, double seconds, Report& report) {
    ReaderCheck check(report);
    Vesk::VeskReader<Ops> r(*handler(), kName, Ops{}, nullptr);
    if (!r.initialize("torture")) {
        check.fail("initialize failed");
        return;
    }
    std::mt19937_64 rng(seed);
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    uint64_t round = 0;
    while (Clock::now() < deadline) {
        try {
            if (++round % 64 == 0) {
                // One full iteration: every record whole, no key twice, every held key there.
                std::unordered_set<uint64_t> keys;
                Value v;
                Vesk::IterHint hint;
                for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint)) {
                    check.record(v, "iteration");
                    if (!keys.insert(v.key().value()).second) {
                        check.fail(fmt::format("iteration returned key {} twice", v.key().value()));
                        break;
                    }
                    if (keys.size() > kHeld + kChurnKeys) {
                        check.fail("iteration longer than the key space");
                        break;
                    }
                }
                for (uint64_t k = 1; k <= kHeld; ++k) {
                    if (keys.count(k) == 0) {
                        check.fail(fmt::format("iteration missed held key {}", k));
                        break;
                    }
                }
                ++report.fullIterations;
                continue;
            }
            const uint64_t dice = rng() % 4;
            bool found = false;
            Value buffer;
            if (dice <= 1) {
                const uint64_t k = 1 + (dice == 0 ? rng() % kHot : rng() % kHeld);
                r.lookup(CounterIndex(k), found, &buffer);
                if (!found)
                    check.fail(fmt::format("held key {} reported absent", k));
                else if (buffer.key().value() != k)
                    check.fail(
                        fmt::format("lookup of {} returned key {}", k, buffer.key().value()));
                else
                    check.record(buffer, "held lookup");
            } else if (dice == 2) {
                const uint64_t k = kChurnBase + rng() % kChurnKeys;
                const Value* got = r.lookup(CounterIndex(k), found, nullptr);
                if (found) {
                    if (got->key().value() != k)
                        check.fail(
                            fmt::format("lookup of {} returned key {}", k, got->key().value()));
                    else
                        check.record(*got, "churn lookup");
                }
            } else {
                const uint64_t k = kNeverBase + rng() % 100000;
                r.lookup(CounterIndex(k), found, &buffer);
                if (found)
                    check.fail(fmt::format("never-written key {} found", k));
            }
        } catch (const Pimbo::Exception& e) {
            check.fail(fmt::format("exception: {} at {}", e.msg(), e.where()));
        }
        if (report.failures > 100)
            break;
    }
    const auto c = r.readerCounters();
    report.lookups = c.lookups;
    report.iterations = c.iterations;
    report.retries = c.retries;
    report.remapRetries = c.remapRetries;
    report.resizes = c.resizes;
    report.bucketResizes = c.bucketResizes;
    report.lookasideReads = c.lookasideReads;
    report.slowPaths = c.slowPaths;
}

TEST(ReaderTorture, ReadersSeeWholeMonotonicRecordsWhileTheWriterResizes) {
    TestRoot root;
    handler()->levelMaskIs(0x0001);
    const uint64_t seed = testSeed();
    const double seconds = double(envCount("VESK_TORTURE_SECONDS", 20));
    std::fflush(stdout);
    std::fflush(stderr);

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        ::close(ready[0]);
        const int rc = runWriter(seed, seconds + 1.0, ready[1]);
        std::fflush(stdout);
        ::_exit(rc);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool writerReady = readAll(ready[0], &byte, 1);
    ::close(ready[0]);
    if (!writerReady) {
        int status = 0;
        ::waitpid(writer, &status, 0);
        FAIL() << "the writer stopped before its table was ready, status " << status;
    }

    std::vector<pid_t> readers;
    std::vector<int> pipes;
    for (int i = 0; i < kReaders; ++i) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            Report report;
            try {
                runReader(seed + 1 + uint64_t(i), seconds, report);
            } catch (const std::exception& e) {
                ++report.failures;
                std::snprintf(report.firstFailure, sizeof(report.firstFailure), "%s", e.what());
            }
            const bool sent = writeAll(fds[1], &report, sizeof(report));
            ::_exit(sent ? 0 : 1);
        }
        ::close(fds[1]);
        readers.push_back(pid);
        pipes.push_back(fds[0]);
    }

    Report total;
    for (int i = 0; i < kReaders; ++i) {
        Report report;
        const bool got = readAll(pipes[i], &report, sizeof(report));
        ::close(pipes[i]);
        int status = 0;
        ::waitpid(readers[i], &status, 0);
        ASSERT_TRUE(got) << "reader " << i << " sent no report, status " << status;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader " << i;
        std::printf(
            "reader %d: %llu lookups, %llu iteration calls (%llu full), %llu retries, %llu "
            "re-map retries, %llu slot re-maps, %llu bucket re-maps, %llu lookaside reads, %llu "
            "slow paths, %llu failures\n",
            i, static_cast<unsigned long long>(report.lookups),
            static_cast<unsigned long long>(report.iterations),
            static_cast<unsigned long long>(report.fullIterations),
            static_cast<unsigned long long>(report.retries),
            static_cast<unsigned long long>(report.remapRetries),
            static_cast<unsigned long long>(report.resizes),
            static_cast<unsigned long long>(report.bucketResizes),
            static_cast<unsigned long long>(report.lookasideReads),
            static_cast<unsigned long long>(report.slowPaths),
            static_cast<unsigned long long>(report.failures));
        EXPECT_EQ(report.failures, 0u) << "reader " << i << ": " << report.firstFailure;
        EXPECT_GT(report.fullIterations, 0u) << "reader " << i;
        // More than the first mapping of each file: the reader re-mapped under the writer.
        EXPECT_GT(report.resizes, 1u) << "reader " << i;
        EXPECT_GT(report.bucketResizes, 1u) << "reader " << i;
        total.retries += report.retries;
        total.remapRetries += report.remapRetries;
    }
    std::fflush(stdout);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "writer status " << status << " (see its message above)";
    // The race paths really ran: walks restarted on a moved link, and operations were repeated
    // after a re-map.
    EXPECT_GT(total.retries, 0u);
    EXPECT_GT(total.remapRetries, 0u);
}

}  // namespace
