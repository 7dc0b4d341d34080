// A writer's files survive whatever ends their writer: a process killed at any moment of any
// mutation, a flipped bit anywhere in the slot file's header, a file cut short. The next writer
// either validates and reuses the files with every committed record intact, or re-formats
// them; it never crashes, hangs or accepts inconsistent files.
//
// Killed writers and the writers that restart after them run in forked children, so that a
// crash or a hang of the library shows up as a failed test instead of ending the test program.
// What a child found comes back through memory shared with the test process (an anonymous
// shared mapping made before the fork), read only once the child has ended.
//
// Knobs: VESK_TEST_SEED replays a run; VESK_CRASH_KILLS sets the number of kills (default 200,
// 20 when VESK_SANITIZED_RUN is set; a soak uses 10000).
#include "WriterTestUtil.h"

#include "Mem/Atomic.h"
#include "Pimbo/Exception.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sched.h>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <type_traits>

namespace {

using namespace VeskTest;
namespace fs = std::filesystem;
using Ops = CounterEntrySimpleOps;
using Writer = Vesk::VeskWriter<Ops>;
using Value = CounterEntrySimple;
using R = Records<Ops>;

// ----- processes -----

// One T in memory shared with the children forked after it was made.
template <class T>
class SharedMemory {
  public:
    SharedMemory() {
        void* p =
            ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::runtime_error("cannot map shared memory");
        t_ = new (p) T();
    }
    ~SharedMemory() { ::munmap(t_, sizeof(T)); }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    T* operator->() const { return t_; }
    T& operator*() const { return *t_; }

  private:
    T* t_;
};

// How a child process ended.
struct Ending {
    bool hung = false;  // it did not end within its bound and was killed
    bool exited = false;
    int code = 0;
    int signal = 0;

    std::string text() const {
        if (hung)
            return "hung and was killed";
        if (exited)
            return fmt::format("exited with {}", code);
        return fmt::format("died of signal {} ({})", signal, ::strsignal(signal));
    }
};

void pauseMicros(long us) {
    const timespec t{0, us * 1000};
    ::nanosleep(&t, nullptr);
}

Ending endingOf(int status) {
    Ending e;
    e.exited = WIFEXITED(status);
    e.code = e.exited ? WEXITSTATUS(status) : 0;
    e.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return e;
}

// Waits for the child to end, polling about every 100 us, at most `polls` times; a child that
// does not end by then is killed and reported as hung.
Ending waitBounded(pid_t pid, uint64_t polls) {
    for (uint64_t i = 0; i < polls; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return endingOf(status);
        pauseMicros(100);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    Ending e;
    e.hung = true;
    return e;
}

// Forks a child that drops its traces, runs body and exits with its result. It dies with the
// test process.
pid_t forkChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        Pimbo::Platform::traceSinkIs([](const Pimbo::Platform::TraceRecord&) {});
        int code = 100;
        try {
            code = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child failed: %s\n", e.what());
            code = 101;
        }
        ::_exit(code);
    }
    return pid;
}

constexpr uint64_t kChildPolls = 3000000;  // about five minutes: only a hang takes that long

// ----- contents -----

// key -> n of the record R::make(key, n); 0 stands for no record.
using Contents = std::map<uint64_t, uint64_t>;

// The record n of a key as the table holds it, or 0 when the key has no record; a record that
// no n explains is kBad.
constexpr uint64_t kBad = ~0ull;
uint64_t stateOf(Writer& w, uint64_t key) {
    bool found = false;
    const Value* v = w.lookup(CounterIndex(key), found, nullptr);
    if (!found)
        return 0;
    const uint64_t n = v->packets();
    return n != 0 && *v == R::make(key, n) ? n : kBad;
}

// The files of w checked without the library: the chains and the free list over the raw bytes
// must account for every slot. "" or the first fault.
std::string rawFault(Writer& w) {
    const RawTable raw = RawTable::of(w);
    std::vector<RawSlot> chained;
    std::vector<uint32_t> free;
    std::string fault = raw.walkChains(chained);
    if (fault.empty())
        fault = raw.walkFree(free);
    if (fault.empty() && chained.size() != raw.occupied()) {
        fault = fmt::format("{} records chained, header says {}", chained.size(), raw.occupied());
    }
    if (fault.empty() && chained.size() + free.size() != raw.numSlots()) {
        fault = fmt::format("{} chained and {} free of {} slots", chained.size(), free.size(),
                            raw.numSlots());
    }
    return fault.empty() ? "" : "raw walk: " + fault;
}

// "" when the table holds exactly the records of c (keys below keySpan), validates, and its
// raw files agree; else the first fault.
std::string contentFault(Writer& w, const Contents& c, uint64_t keySpan) {
    size_t present = 0;
    for (uint64_t k = 0; k < keySpan; ++k) {
        const auto it = c.find(k);
        const uint64_t want = it == c.end() ? 0 : it->second;
        const uint64_t have = stateOf(w, k);
        if (have != want)
            return fmt::format("key {} holds {} instead of {}", k, have, want);
        present += want != 0;
    }
    if (w.members() != present)
        return fmt::format("members {} of {}", w.members(), present);
    if (iterateAll(w).size() != present)
        return "iteration disagrees with the lookups";
    if (!w.validate())
        return "validate: " + w.lastValidationFailure();
    return rawFault(w);
}

// The freshly re-formatted table takes records and gives them back.
std::string worksFault(Writer& w, uint64_t keySpan) {
    Contents c;
    for (uint64_t k = 0; k < 20; ++k) {
        w.write(R::make(k, k + 1), true);
        c[k] = k + 1;
    }
    Value removed;
    if (!w.remove(CounterIndex(3), removed))
        return "a new record could not be removed";
    c.erase(3);
    std::string fault = contentFault(w, c, keySpan);
    for (const auto& [k, n] : c)
        w.remove(CounterIndex(k), removed);
    return fault.empty() ? "" : "after the re-format: " + fault;
}

Vesk::MapDescriptor crashDescriptor() {
    return shrinkingDescriptor(100000);
}

// Restarts a writer on the files as they are. It must reuse them with exactly the records of c
// (then `reused` is set) or re-format them into an empty, valid and working table under a new
// generation of the same first half. "" or what went wrong.
std::string restartFault(const Contents& c, Plinth::CinderId previous, uint64_t keySpan,
                         bool& reused) {
    auto w = makeWriter<Ops>(crashDescriptor());
    try {
        if (!w->initialize("restart"))
            return "initialize returned false";
    } catch (const Pimbo::Exception& e) {
        return "initialize threw: " + e.msg();
    }
    reused = w->cinderId() == previous;
    if (reused)
        return contentFault(*w, c, keySpan);
    if (w->cinderId().first() != previous.first())
        return fmt::format("new generation {} after {}", w->cinderId(), previous);
    const std::string fault = contentFault(*w, Contents{}, keySpan);
    return fault.empty() ? worksFault(*w, keySpan) : "re-formatted: " + fault;
}

// ----- kills in the middle of mutations -----

// What the current worker has committed, in memory shared with the test process. A worker
// records the operation in flight (key, state before, state after), runs it, records the key's
// new state and only then clears the flight: a kill at any point leaves the committed state of
// every key known, and the key in flight may hold either of its two states.
struct CommitLog {
    static constexpr uint32_t kKeys = 1024;
    static constexpr uint64_t kNoKey = ~0ull;

    uint64_t ops;        // operations completed by the current worker
    uint64_t started;    // 1 once the current worker's writer is initialized
    uint64_t cinder;     // generation of the files the log describes; 0 before the first
    uint64_t serial;     // the last record number handed out (never reused)
    uint64_t flightKey;  // key of the operation in flight, kNoKey between operations
    uint64_t flightOld;  // its state before the operation
    uint64_t flightNew;  // its state after the operation
    uint64_t slotGrows;  // the current worker's counters
    uint64_t slotShrinks;
    uint64_t bucketGrows;
    uint64_t bucketShrinks;
    uint64_t directCommits;
    uint64_t state[kKeys];  // 0: no record; n: the record R::make(key, n)
    char error[1024];       // why a worker or a checker gave up

    void fail(const std::string& text) {
        const size_t n = std::min(text.size(), sizeof(error) - 1);
        std::memcpy(error, text.data(), n);
        error[n] = '\0';
    }
};
static_assert(std::is_standard_layout_v<CommitLog>);
static_assert(offsetof(CommitLog, ops) == 0);
static_assert(offsetof(CommitLog, flightKey) == 32);
static_assert(offsetof(CommitLog, directCommits) == 88);
static_assert(offsetof(CommitLog, state) == 96);
static_assert(offsetof(CommitLog, error) == 96 + 8 * CommitLog::kKeys);
static_assert(sizeof(CommitLog) == 96 + 8 * CommitLog::kKeys + 1024);

uint64_t load(const uint64_t& word) {
    return Mem::loadAcquire64(&word);
}
void store(uint64_t& word, uint64_t v) {
    Mem::storeRelease64(&word, v);
}

// The worker: a writer that changes the table until it is killed. It alternates between filling
// phases and draining phases so that the slot array and the buckets grow and shrink, and checks
// every result it gets. Returns only on a fault (its exit code; the reason is in the log).
int runWorker(CommitLog& log, uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto w = makeWriter<Ops>(crashDescriptor());
    w->initialize("worker");
    const uint64_t cinder = load(log.cinder);
    if (cinder != 0 && w->cinderId().value != cinder) {
        log.fail(
            fmt::format("the worker re-formatted files a writer had just accepted: "
                        "generation {} instead of {}",
                        w->cinderId(), Plinth::CinderId(uint32_t(cinder))));
        return 3;
    }
    store(log.cinder, w->cinderId().value);
    store(log.started, 1);

    bool filling = rng() % 2 == 0;
    uint64_t phaseLeft = 100 + rng() % 1500;
    for (uint64_t op = 1;; ++op) {
        if (--phaseLeft == 0) {
            filling = !filling;
            phaseLeft = 100 + rng() % 1500;
        }
        uint64_t k = rng() % CommitLog::kKeys;
        if (!filling) {
            // Draining works on records that exist.
            for (uint32_t i = 0; i < CommitLog::kKeys && load(log.state[k]) == 0; ++i)
                k = (k + 1) % CommitLog::kKeys;
        }
        const uint64_t old = load(log.state[k]);
        const uint64_t n = load(log.serial) + 1;
        store(log.serial, n);
        const unsigned pick = unsigned(rng() % 100);
        enum { overwrite, keep, remove, direct, update } kind;
        if (filling) {
            kind = pick < 55   ? overwrite
                   : pick < 65 ? keep
                   : pick < 80 ? direct
                   : pick < 90 ? update
                               : remove;
        } else {
            kind = pick < 70 ? remove : pick < 80 ? overwrite : pick < 90 ? update : direct;
        }
        uint64_t next = old;
        switch (kind) {
            case overwrite:
            case direct:
                next = n;
                break;
            case keep:
                next = old != 0 ? old : n;
                break;
            case remove:
                next = 0;
                break;
            case update:
                next = old != 0 ? n : 0;
                break;
        }
        store(log.flightOld, old);
        store(log.flightNew, next);
        store(log.flightKey, k);

        std::string fault;
        switch (kind) {
            case overwrite:
            case keep: {
                const Value* v = w->write(R::make(k, n), kind == overwrite);
                if (!(*v == R::make(k, next)))
                    fault = fmt::format("write returned {}", *v);
                break;
            }
            case remove: {
                Value removed;
                const bool done = w->remove(CounterIndex(k), removed);
                if (done != (old != 0) || (done && !(removed == R::make(k, old))))
                    fault = fmt::format("remove returned {} with {}", done, removed);
                break;
            }
            case direct: {
                Value* area = w->directWrite(R::make(k, 0));
                *area = R::make(k, n);
                w->directCommit();
                break;
            }
            case update: {
                Value* area = w->directUpdate(CounterIndex(k));
                if ((area != nullptr) != (old != 0)) {
                    fault = "directUpdate disagrees about the key";
                } else if (area != nullptr) {
                    if (!(*area == R::make(k, old)))
                        fault = fmt::format("directUpdate gave {}", *area);
                    *area = R::make(k, n);
                    w->directCommit();
                }
                break;
            }
        }
        if (fault.empty() && stateOf(*w, k) != next)
            fault = fmt::format("lookup after the operation found {}", stateOf(*w, k));
        if (!fault.empty()) {
            log.fail(fmt::format("worker op {} kind {} key {} (old {} new {}): {}", op, int(kind),
                                 k, old, next, fault));
            return 4;
        }
        store(log.state[k], next);
        store(log.flightKey, CommitLog::kNoKey);
        const Vesk::Writer::Counters& c = w->counters();
        store(log.slotGrows, c.slotGrows);
        store(log.slotShrinks, c.slotShrinks);
        store(log.bucketGrows, c.bucketGrows);
        store(log.bucketShrinks, c.bucketShrinks);
        store(log.directCommits, c.directCommits);
        store(log.ops, op);
    }
}

// The checker: the writer that starts after a kill. Exit code 0: it reused the files with every
// committed record; 1: it re-formatted them into a working table; 2: a fault (in the log). The
// log is brought up to the files' contents for the next worker.
int runChecker(CommitLog& log) {
    bool lost = false;
    Pimbo::Platform::traceSinkIs([&lost](const Pimbo::Platform::TraceRecord& r) {
        if (r.message.find("will be lost") != std::string_view::npos)
            lost = true;
    });
    testHandler()->levelMaskIs(0x3);
    auto w = makeWriter<Ops>(crashDescriptor());
    try {
        if (!w->initialize("checker")) {
            log.fail("initialize returned false");
            return 2;
        }
    } catch (const Pimbo::Exception& e) {
        log.fail("initialize threw: " + e.msg());
        return 2;
    }
    const uint64_t cinder = load(log.cinder);
    const bool reused = w->cinderId().value == cinder;
    if (cinder != 0 && reused == lost) {
        log.fail(fmt::format("generation {} after {} disagrees with the traces (lost: {})",
                             w->cinderId(), Plinth::CinderId(uint32_t(cinder)), lost));
        return 2;
    }
    const uint64_t flight = load(log.flightKey);
    Contents actual;
    for (uint64_t k = 0; k < CommitLog::kKeys; ++k) {
        const uint64_t have = stateOf(*w, k);
        const uint64_t committed = reused ? load(log.state[k]) : 0;
        const bool inFlight =
            reused && k == flight && (have == load(log.flightOld) || have == load(log.flightNew));
        if (have != committed && !inFlight) {
            log.fail(
                fmt::format("{} files: key {} holds {}, committed {} (in flight: key {} "
                            "from {} to {})",
                            reused ? "reused" : "re-formatted", k, have, committed, int64_t(flight),
                            load(log.flightOld), load(log.flightNew)));
            return 2;
        }
        if (have != 0)
            actual[k] = have;
    }
    std::string fault = contentFault(*w, actual, CommitLog::kKeys);
    if (fault.empty() && !reused)
        fault = worksFault(*w, CommitLog::kKeys);
    if (!fault.empty()) {
        log.fail(fmt::format("{} files: {}", reused ? "reused" : "re-formatted", fault));
        return 2;
    }
    for (uint64_t k = 0; k < CommitLog::kKeys; ++k) {
        const auto it = actual.find(k);
        store(log.state[k], it == actual.end() ? 0 : it->second);
    }
    store(log.flightKey, CommitLog::kNoKey);
    store(log.cinder, w->cinderId().value);
    return reused ? 0 : 1;
}

bool sanitizedRun() {
    const char* s = std::getenv("VESK_SANITIZED_RUN");
    return s != nullptr && *s != '\0' && std::string(s) != "0";
}

TEST(WriterCrashTest, KilledWritersLeaveFilesThatAreReusedIntactOrReformatted) {
    TestRoot root;
    const uint64_t seed = testSeed();
    const uint64_t kills = envCount("VESK_CRASH_KILLS", sanitizedRun() ? 20 : 200);
    std::mt19937_64 rng(seed);
    SharedMemory<CommitLog> log;
    store(log->flightKey, CommitLog::kNoKey);

    uint64_t reuses = 0, reformats = 0, slotGrows = 0, slotShrinks = 0, bucketGrows = 0,
             bucketShrinks = 0, directCommits = 0, duringInit = 0;
    for (uint64_t round = 0; round < kills; ++round) {
        SCOPED_TRACE(fmt::format("round {} of VESK_TEST_SEED={}", round, seed));
        store(log->ops, 0);
        store(log->started, 0);
        store(log->slotGrows, 0);
        store(log->slotShrinks, 0);
        store(log->bucketGrows, 0);
        store(log->bucketShrinks, 0);
        store(log->directCommits, 0);
        const uint64_t workerSeed = rng();
        // The kill comes after `target` operations and a random spin; target 0 may hit the
        // worker's own start.
        const uint64_t target = rng() % 8 == 0 ? 0 : rng() % 3000;
        const uint64_t spin = rng() % 50000;
        CommitLog& shared = *log;
        const pid_t worker =
            forkChild([&shared, workerSeed] { return runWorker(shared, workerSeed); });
        bool ended = false;
        int status = 0;
        uint64_t polls = 0;
        while (target != 0 && (load(log->started) == 0 || load(log->ops) < target)) {
            if (::waitpid(worker, &status, WNOHANG) == worker) {
                ended = true;
                break;
            }
            if (++polls > kChildPolls)
                break;
            pauseMicros(20);
        }
        for (uint64_t i = 0; i < spin; ++i)
            std::atomic_signal_fence(std::memory_order_seq_cst);
        if (!ended) {
            ::kill(worker, SIGKILL);
            ::waitpid(worker, &status, 0);
        }
        const Ending e = endingOf(status);
        if (e.exited || e.signal != SIGKILL) {
            ADD_FAILURE() << "the worker " << e.text() << ": " << log->error;
            break;
        }
        if (polls > kChildPolls) {
            ADD_FAILURE() << "the worker did not reach " << target << " operations";
            break;
        }
        duringInit += load(log->started) == 0;
        slotGrows += load(log->slotGrows);
        slotShrinks += load(log->slotShrinks);
        bucketGrows += load(log->bucketGrows);
        bucketShrinks += load(log->bucketShrinks);
        directCommits += load(log->directCommits);

        const Ending c =
            waitBounded(forkChild([&shared] { return runChecker(shared); }), kChildPolls);
        if (c.exited && c.code == 0) {
            ++reuses;
        } else if (c.exited && c.code == 1) {
            ++reformats;
        } else {
            ADD_FAILURE() << "the writer restarted after the kill " << c.text() << ": "
                          << log->error;
            break;
        }
    }
    std::printf(
        "%llu kills (%llu during the start): %llu reuses, %llu re-formats; slot grows %llu, "
        "slot shrinks %llu, bucket grows %llu, bucket shrinks %llu, direct commits %llu\n",
        (unsigned long long)kills, (unsigned long long)duringInit, (unsigned long long)reuses,
        (unsigned long long)reformats, (unsigned long long)slotGrows,
        (unsigned long long)slotShrinks, (unsigned long long)bucketGrows,
        (unsigned long long)bucketShrinks, (unsigned long long)directCommits);
    EXPECT_GT(reuses, 0u);
    if (kills >= 100) {
        // The kills hit mutations, and the mutations covered every resize.
        EXPECT_GT(reformats, 0u);
        EXPECT_GT(slotGrows, 0u);
        EXPECT_GT(slotShrinks, 0u);
        EXPECT_GT(bucketGrows, 0u);
        EXPECT_GT(bucketShrinks, 0u);
        EXPECT_GT(directCommits, 0u);
    }
}

// A kill can only be survived if every store of a mutation happens while the slot file says a
// mutation is under way: each resize (traced at level 2 while it runs) must find the
// critical-section bit set in the file.
TEST(WriterCrashTest, EveryResizeRunsInsideTheCriticalSection) {
    TestRoot root;
    auto w = makeWriter<Ops>(crashDescriptor());
    ASSERT_TRUE(w->initialize("resizes"));
    const int fd = ::open(slotsPath(*w).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string operation;
    std::map<std::string, uint64_t> seen;
    std::map<std::string, uint64_t> outside;
    Pimbo::Platform::traceSinkIs([&](const Pimbo::Platform::TraceRecord& r) {
        if (r.level != 2)
            return;
        const std::string m(r.message);
        std::string kind;
        if (m.rfind("growing from:", 0) == 0) {
            kind = "bucket grow";
        } else if (m.rfind("shrunk from:", 0) == 0) {
            kind = "bucket shrink";
        } else if (m.find(" slots to ") != std::string::npos) {
            kind = "slot resize";
        } else {
            return;
        }
        uint16_t flags = 0;
        if (::pread(fd, &flags, sizeof(flags), Off::kRuntimeFlags) != sizeof(flags))
            flags = 0;
        ++seen[operation + ": " + kind];
        if ((flags & 1u) == 0)
            ++outside[operation + ": " + kind];
    });
    struct Restore {
        int fd;
        ~Restore() {
            Pimbo::Platform::traceSinkIs({});
            testHandler()->levelMaskIs(1);
            ::close(fd);
        }
    } restore{fd};
    testHandler()->levelMaskIs(0x5);

    operation = "write";
    for (uint64_t k = 0; k < 600; ++k)
        w->write(R::make(k, k + 1), true);
    operation = "remove";
    Value removed;
    for (uint64_t k = 0; k < 600; ++k)
        w->remove(CounterIndex(k), removed);
    operation = "directWrite";
    for (uint64_t k = 0; k < 600; ++k) {
        Value* area = w->directWrite(R::make(k, 0));
        *area = R::make(k, k + 2);
        w->directCommit();
    }
    operation = "remove";
    for (uint64_t k = 0; k < 600; ++k)
        w->remove(CounterIndex(k), removed);
    operation = "";
    testHandler()->levelMaskIs(1);

    for (const char* expected :
         {"write: bucket grow", "write: slot resize", "remove: slot resize",
          "remove: bucket shrink", "directWrite: bucket grow", "directWrite: slot resize"}) {
        EXPECT_GT(seen[expected], 0u) << expected << " never ran";
    }
    for (const auto& [what, count] : outside) {
        ADD_FAILURE() << what << " ran " << count << " of " << seen[what]
                      << " times with the critical-section bit clear";
    }
    EXPECT_TRUE(w->validate()) << w->lastValidationFailure();
}

// ----- damaged files -----

// Results of many restarts run in one child, read by the test once the child has ended.
struct CaseReport {
    uint64_t current;  // the case the child was in (the one that crashed, if it did)
    uint64_t reuses;
    uint64_t reformats;
    uint64_t failures;
    char text[16384];  // the first failures, one a line

    void note(const std::string& line) {
        ++failures;
        const size_t used = strnlen(text, sizeof(text));
        const std::string add = line + "\n";
        if (used + add.size() < sizeof(text))
            std::memcpy(text + used, add.data(), add.size() + 1);
    }
};
static_assert(std::is_standard_layout_v<CaseReport>);
static_assert(offsetof(CaseReport, text) == 32);
static_assert(sizeof(CaseReport) == 32 + 16384);

class WriterDamageTest : public ::testing::Test {
  protected:
    static constexpr uint64_t kKeySpan = 400;

    // A closed table of `records` keys (some overwritten, some removed), kept as bytes.
    void makeTable(uint64_t records) {
        {
            auto w = makeWriter<Ops>(crashDescriptor());
            ASSERT_TRUE(w->initialize("pristine"));
            for (uint64_t k = 1; k <= records; ++k)
                put(*w, k, k);
            for (uint64_t k = 2; k <= records; k += 4)
                put(*w, k, k + 500);
            Value removed;
            for (uint64_t k = 3; k <= records; k += 5) {
                ASSERT_TRUE(w->remove(CounterIndex(k), removed));
                contents_.erase(k);
            }
            ASSERT_TRUE(w->validate()) << w->lastValidationFailure();
            cinder_ = w->cinderId();
            slots_ = slotsPath(*w);
            buckets_ = bucketsPath(*w);
        }
        dir_ = fs::path(slots_).parent_path().string();
        for (const auto& e : fs::directory_iterator(dir_)) {
            pristine_[e.path().filename().string()] = readFile(e.path().string());
        }
    }
    void put(Writer& w, uint64_t k, uint64_t n) {
        w.write(R::make(k, n), true);
        contents_[k] = n;
    }

    // Puts every file of the table back as it was and removes any other.
    void restore() const {
        for (const auto& e : fs::directory_iterator(dir_)) {
            if (pristine_.count(e.path().filename().string()) == 0)
                fs::remove(e.path());
        }
        for (const auto& [name, bytes] : pristine_) {
            const std::string path = dir_ + "/" + name;
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
                throw std::runtime_error("cannot restore " + path);
            }
            ::close(fd);
        }
    }

    // Runs cases 0 .. count-1 in one child: damage(i) spoils the restored files, then a writer
    // restarts on them. Checks that every case ended in a sound reuse or re-format and returns
    // the report.
    const CaseReport& runCases(uint64_t count, const std::function<void(uint64_t)>& damage) {
        const pid_t child = forkChild([&] {
            for (uint64_t i = 0; i < count; ++i) {
                Mem::storeRelease64(&report_->current, i);
                restore();
                damage(i);
                bool reused = false;
                const std::string fault = restartFault(contents_, cinder_, kKeySpan, reused);
                if (!fault.empty()) {
                    report_->note(fmt::format("case {}: {}", i, fault));
                } else {
                    ++(reused ? report_->reuses : report_->reformats);
                }
            }
            return 0;
        });
        const Ending e = waitBounded(child, kChildPolls);
        EXPECT_TRUE(e.exited && e.code == 0)
            << "the restarts " << e.text() << " in case " << report_->current;
        EXPECT_EQ(report_->failures, 0u) << report_->text;
        EXPECT_EQ(report_->reuses + report_->reformats + report_->failures, count);
        return *report_;
    }

    TestRoot root_;
    Contents contents_;
    Plinth::CinderId cinder_;
    std::string slots_;
    std::string buckets_;
    std::string dir_;
    std::map<std::string, std::vector<unsigned char>> pristine_;
    SharedMemory<CaseReport> report_;
};

TEST_F(WriterDamageTest, EverySingleBitFlipOfTheSlotHeaderIsSurvived) {
    makeTable(30);
    ASSERT_GE(pristine_.at("slots").size(), 576u);
    const std::vector<unsigned char> header(pristine_.at("slots").begin(),
                                            pristine_.at("slots").begin() + 576);
    const CaseReport& r = runCases(576 * 8, [&](uint64_t i) {
        const unsigned char flipped = header[i / 8] ^ (1u << (i % 8));
        pwriteAt(slots_, i / 8, &flipped, 1);
    });
    std::printf("%llu reuses, %llu re-formats\n", (unsigned long long)r.reuses,
                (unsigned long long)r.reformats);
    // Bits that nothing checks (the numSlots version, unused runtime flags) leave the table
    // reusable; the rest re-format it.
    EXPECT_GT(r.reuses, 0u);
    EXPECT_GT(r.reformats, 0u);
}

TEST_F(WriterDamageTest, TruncatedFilesAreSurvived) {
    makeTable(150);
    const uint64_t slotSize = R::kSlotSize;
    const uint64_t headerSize = R::kHeaderSize;
    const uint64_t full = pristine_.at("slots").size();
    const uint64_t numSlots = rd<uint32_t>(pristine_.at("slots"), Off::kNumSlots);
    ASSERT_GT(numSlots, R::kPageSlots);
    std::vector<uint64_t> lengths = {
        0, 1, 8, 100, 575, 576, 577, headerSize - 1, headerSize, headerSize + 1, full - 1, full};
    for (uint64_t k :
         {uint64_t(1), uint64_t(2), uint64_t(R::kPageSlots - 1), uint64_t(R::kPageSlots),
          uint64_t(R::kPageSlots + 1), numSlots / 2, numSlots - 1, numSlots}) {
        lengths.push_back(headerSize + k * slotSize);      // exactly at a slot boundary
        lengths.push_back(headerSize + k * slotSize - 1);  // one byte short of it
    }
    std::mt19937_64 rng(testSeed());
    for (int i = 0; i < 40; ++i)
        lengths.push_back(rng() % full);
    const uint64_t bucketsFull = pristine_.at("buckets").size();
    const std::vector<uint64_t> bucketLengths = {
        0, 8, 23, 24, 32, bucketsFull - 8, bucketsFull - 1};

    const uint64_t cases = lengths.size() + bucketLengths.size();
    const CaseReport& r = runCases(cases, [&](uint64_t i) {
        const bool slotFile = i < lengths.size();
        const std::string& path = slotFile ? slots_ : buckets_;
        const uint64_t length = slotFile ? lengths[i] : bucketLengths[i - lengths.size()];
        if (::truncate(path.c_str(), off_t(std::min(length, slotFile ? full : bucketsFull))) != 0)
            throw std::runtime_error("cannot truncate " + path);
    });
    // The untouched length reuses; cut files re-format.
    EXPECT_GT(r.reuses, 0u);
    EXPECT_GT(r.reformats, 0u);
}

}  // namespace
