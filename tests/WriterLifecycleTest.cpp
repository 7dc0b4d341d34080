// A restart reuses its predecessor's files with every committed record, or re-formats them for a
// traced reason, however it ended (killed, a header bit flipped, a file cut short).
#include "Mem/Atomic.h"
#include "Pimbo/Exception.h"
#include "Plinth/CinderFile.h"
#include "Plinth/OwnerFile.h"
#include "Plinth/Shared.h"
#include "Plinth/WriterLock.h"
#include "Vesk/TableChecker.h"
#include "VeskBase/Util.h"
#include "Zolt/ConduitAcceptSm.h"
#include "support/Damage.h"

#include <sys/mman.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <random>

namespace {

using namespace VeskTest;
namespace fs = std::filesystem;
using Ops = CounterEntrySimpleOps;
using K = Kind<Ops>;
using Writer = Vesk::VeskWriter<Ops>;
using Contents = std::map<uint64_t, uint64_t>;  // key -> n of the record K::make(key, n)
constexpr uint64_t kKeys = 1024;                // every key a test uses is below this

std::unique_ptr<Writer> writer() {
    return makeWriter<Ops>(shrinkingDescriptor(100000));
}

// n of the record the table holds for key: 0 for none, ~0 for a record that no n explains.
uint64_t stateOf(Writer& w, uint64_t key) {
    bool found = false;
    const auto* v = w.lookup(CounterIndex(key), found, nullptr);
    const uint64_t n = found ? (v->packets() - key % 100) / packetStep(key) : 0;
    return !found ? 0 : v->key().value() == key && K::selfCheck(*v) && n != 0 ? n : ~0ull;
}

// Writes keys 1..n (record n = key) and removes every fifth again, out of id order.
void fill(Writer& w, Contents& c, uint64_t n) {
    Ops::Value removed;
    for (uint64_t k = 1; k <= n; ++k)
        w.write(K::make(k, c[k] = k), true);
    for (uint64_t k = 5; k <= n; k += 5)
        c.erase(w.remove(CounterIndex(k), removed) ? k : 0);
}

// "" when the table holds exactly c, validates and passes the read-only check of its files.
std::string contentFault(Writer& w, const Contents& c) {
    for (uint64_t k = 0; k < kKeys; ++k) {
        if (const uint64_t have = stateOf(w, k); have != (c.count(k) != 0 ? c.at(k) : 0))
            return fmt::format("key {} holds {}", k, have);
    }
    if (w.members() != c.size() || iterateAll(w).size() != c.size())
        return fmt::format("{} members, {} iterated", w.members(), iterateAll(w).size());
    if (!w.validate())
        return "validate: " + w.lastValidationFailure();
    const Vesk::TableCheck check = Vesk::TableChecker<Ops>::check(w.rootPath());
    return check.ok() && check.records == c.size()
               ? ""
               : fmt::format("check: {} ({} records)", check.firstFault(), check.records);
}

// "reused" (the files after generation `previous`, holding c), "new" (the next generation, empty
// and working; c is then what it holds), or the fault.
std::string judge(Writer& w, Plinth::CinderId previous, Contents& c) {
    const bool reused = w.cinderId() == previous;
    if (!reused && !previous.isNone() && w.cinderId() != Vesk::nextCinderId(previous))
        return fmt::format("new generation {} after {}", w.cinderId(), previous);
    if (!reused)
        c.clear();
    std::string fault = contentFault(w, c);
    if (fault.empty() && !reused) {
        fill(w, c, 20);
        fault = contentFault(w, c);
    }
    return !fault.empty() ? (reused ? "reused: " : "new: ") + fault : reused ? "reused" : "new";
}

// Restarts on the files as they are: judge()'s result against c (`known` may first bring c up to
// the files), and whether the traces disagree: a re-format traces `reason` and lost records.
std::string restartAndJudge(Plinth::CinderId previous, Contents& c, const std::string& reason = "",
                            const std::function<void(Writer&)>& known = {}) {
    TraceCapture traces(1);
    testHandler()->levelMaskIs(0x3);
    auto w = writer();
    bool started = false;
    if (const std::string text = thrown([&] { started = w->initialize("restart"); }); !started)
        return "initialize failed: " + text;
    if (known)
        known(*w);
    std::string result = judge(*w, previous, c);
    if (!previous.isNone() && (result == "reused") == traces.has("will be lost"))
        result += ", and the traces disagree";
    if (result == "new" && !traces.has(reason))
        result += " without tracing " + reason;
    return result;
}

using Counters = Vesk::Writer::Counters;
const std::pair<const char*, uint64_t Counters::*> kSeen[] = {
    {"slot grows", &Counters::slotGrows},
    {"slot shrinks", &Counters::slotShrinks},
    {"bucket grows", &Counters::bucketGrows},
    {"bucket shrinks", &Counters::bucketShrinks},
    {"direct commits", &Counters::directCommits}};

// The table's committed state, shared with the test: the key in flight (else kKeys) may hold
// its state or flightNew after a kill, every other key its state.
struct CommitLog {
    uint64_t cinder;  // generation of the files; 0 before the first writer started
    uint64_t serial;  // the last record number handed out
    uint64_t flightKey, flightNew;
    uint64_t seen[std::size(kSeen)];  // the current worker's counters
    uint64_t state[kKeys];
};

uint64_t load(const uint64_t& word) {
    return Mem::loadAcquire64(&word);
}
void store(uint64_t& word, uint64_t v) {
    Mem::storeRelease64(&word, v);
}

// Fills and drains until killed, checking each key and that every resize (a level-2 trace) runs
// inside the critical section; says "at" after `target` operations. Returns only on a fault.
int runWorker(Child& self, CommitLog& log, uint64_t seed, uint64_t target) {
    std::mt19937_64 rng(seed);
    auto w = writer();
    w->initialize("worker");
    if (const uint64_t cinder = load(log.cinder); cinder != 0 && w->cinderId().value != cinder)
        return self.send(fmt::format("the worker re-formatted accepted files: {}", w->cinderId())),
               3;
    store(log.cinder, w->cinderId().value);
    std::string outside;  // a resize that ran with the critical-section bit clear
    Pimbo::Platform::traceSinkIs([&](const Pimbo::Platform::TraceRecord& r) {
        if (r.level == 2 && !w->slotTable().header()->criticalSection())
            outside = r.message;
    });
    testHandler()->levelMaskIs(0x5);
    for (uint64_t op = 1;; ++op) {
        const bool filling = op / 1000 % 2 == 0;
        uint64_t k = rng() % kKeys;
        for (uint64_t i = 0; !filling && i < kKeys && load(log.state[k]) == 0; ++i)
            k = (k + 1) % kKeys;  // draining works on records that exist
        const uint64_t old = load(log.state[k]), n = load(log.serial) + 1;
        // overwrite, keep (write without overwrite), remove, direct write, direct update
        const char kind = (filling ? "oooookddur" : "rrrrrrroud")[rng() % 10];
        const bool keeps = (kind == 'k' && old != 0) || (kind == 'u' && old == 0);
        const uint64_t next = kind == 'r' ? 0 : keeps ? old : n;
        store(log.serial, n);
        store(log.flightNew, next);
        store(log.flightKey, k);
        Ops::Value removed;
        if (kind == 'o' || kind == 'k') {
            w->write(K::make(k, n), kind == 'o');
        } else if (kind == 'r') {
            w->remove(CounterIndex(k), removed);
        } else if (auto* area = kind == 'd' ? w->directWrite(K::make(k, 0))
                                            : w->directUpdate(CounterIndex(k))) {
            *area = K::make(k, n);
            w->directCommit();
        }
        if (stateOf(*w, k) != next || !outside.empty())
            return self.send(fmt::format("operation {} ({}) left key {} at {}; resize outside: {}",
                                         op, kind, k, stateOf(*w, k), outside)),
                   4;
        store(log.state[k], next);
        store(log.flightKey, kKeys);
        for (size_t i = 0; i < std::size(kSeen); ++i)
            store(log.seen[i], w->counters().*kSeen[i].second);
        if (op == target)
            self.send("at");
    }
}

TEST(WriterCrashStress, KilledWritersFilesReused) {
    TestRoot root;
    std::mt19937_64 rng(testSeed());
    // At least `least` kills, then on until each path ran and each outcome came (bounded).
    const uint64_t least = scaled(std::getenv("VESK_SANITIZED_RUN") != nullptr ? 20 : 200);
    auto* log = static_cast<CommitLog*>(::mmap(nullptr, sizeof(CommitLog), PROT_READ | PROT_WRITE,
                                               MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(log, MAP_FAILED);
    std::unique_ptr<CommitLog, void (*)(CommitLog*)> unmap(
        log, [](CommitLog* p) { ::munmap(p, sizeof(CommitLog)); });
    store(log->flightKey, kKeys);
    std::map<std::string, uint64_t> results;
    uint64_t seen[std::size(kSeen)] = {};
    auto missing = [&] {  // "new": a kill inside a change
        std::string out = results["reused"] == 0 ? " reused;" : results["new"] == 0 ? " new;" : "";
        for (size_t i = 0; i < std::size(kSeen); ++i)
            out += seen[i] == 0 ? fmt::format(" {};", kSeen[i].first) : "";
        return out;
    };
    uint64_t round = 0;
    for (; round < 20 * least && (round < least || !missing().empty()); ++round) {
        SCOPED_TRACE(fmt::format("round {} of VESK_TEST_SEED={}", round, testSeed()));
        // The kill comes a random spin after `target` operations; target 0 may hit the start.
        const uint64_t seed = rng(), target = rng() % 8 == 0 ? 0 : 1 + rng() % 3000;
        const uint64_t spin = rng() % 50000;
        Child worker([&](Child& self) { return runWorker(self, *log, seed, target); });
        ASSERT_TRUE(target == 0 || worker.receive() == "at") << worker.wait() << worker.rest();
        for (uint64_t i = 0; i < spin; ++i)
            std::atomic_signal_fence(std::memory_order_seq_cst);
        ::kill(worker.pid(), SIGKILL);
        ASSERT_EQ(worker.wait(), 128 + SIGKILL) << worker.rest();
        for (size_t i = 0; i < std::size(kSeen); ++i)
            seen[i] += load(log->seen[i]);
        Child checker([&](Child& self) {  // restarts and brings the log up to the files
            Contents c;
            const Plinth::CinderId previous(uint32_t(load(log->cinder)));
            self.send(restartAndJudge(previous, c, "", [&](Writer& w) {
                for (uint64_t k = 0; k < kKeys; ++k) {
                    const uint64_t have = stateOf(w, k);
                    const bool flight = k == load(log->flightKey) && have == load(log->flightNew);
                    if (const uint64_t want = flight ? have : load(log->state[k]); want != 0)
                        c[k] = want;
                }
                store(log->cinder, w.cinderId().value);
            }));
            for (uint64_t k = 0; k < kKeys; ++k)
                store(log->state[k], c.count(k) != 0 ? c[k] : 0);
            store(log->flightKey, kKeys);
            return 0;
        });
        const std::string result = checker.receive();
        ASSERT_EQ(checker.wait(), 0) << "the restart after the kill died; " << result;
        ASSERT_TRUE(result == "reused" || result == "new") << result;
        ++results[result];
    }
    EXPECT_EQ(missing(), "") << "never seen after " << round << " kills";
}

// Each case spoils the files of a closed table of keys 1..150 and returns what the restart must
// do: "reuse", re-format tracing this reason, or "" for either. Every case restarts in one child
// on the pristine files spoilt, and must never shorten the slot file.
TEST(WriterDamageProcess, RestartReusesOrReformats) {
    TestRoot root;
    Contents contents;
    auto w = writer();
    ASSERT_TRUE(w->initialize("pristine"));
    const uint64_t page = w->capacity();  // slots of a new table
    fill(*w, contents, 150);
    const Plinth::CinderId cinder = w->cinderId();
    const std::string slots = slotsPath(*w), buckets = bucketsPath(*w);
    const fs::path dir = fs::path(slots).parent_path();
    w.reset();
    const auto pristine = snapshot(dir);
    const auto& slotBytes = pristine.at(slots);
    const uint32_t occupied = rd<uint32_t>(slotBytes, Off::kOccupied);
    const uint32_t numSlots = rd<uint32_t>(slotBytes, Off::kNumSlots);
    const std::string mismatch =
        fmt::format("mismatch header->occupiedSlots:{} count:{}", occupied + 1, occupied);
    const auto restore = [&](const std::string& path) {
        const auto& bytes = pristine.at(path);
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    };
    std::vector<std::function<std::string()>> cases = {
        [] { return "reuse"; },
        [&] {  // on a physical device under strict validation the start stops and keeps evidence
            pwriteValue(slots, Off::kOccupied, occupied + 1);
            std::ofstream("/proc/self/coredump_filter") << "0x33";  // no file-backed shared maps
            Vesk::Util::runningOnPhysicalDutIs(true);
            Vesk::Util::strictValidationIs(true);  // the default
            const std::string text = thrown([] { writer()->initialize("strict"); });
            Vesk::Util::runningOnPhysicalDutIs(false);
            unsigned long filter = 0;
            std::ifstream("/proc/self/coredump_filter") >> std::hex >> filter;
            const std::string cinderFile = (dir / "cinder").string();
            const bool kept = Mem::Shared::dumpToCore() && (filter & 8) != 0;
            Mem::Shared::dumpToCoreIs(false);
            if (text != "failed initial validation of " + dir.string() + " after re-attaching" ||
                fs::exists(cinderFile) || !kept)
                return fmt::format("strict start: \"{}\", filter {:#x}", text, filter);
            restore(cinderFile);  // the next start then re-formats as usual
            return mismatch;
        },
    };
    for (uint64_t bit = 0; bit < 576 * 8; ++bit)  // each bit of the header flipped
        cases.push_back([&, bit] {
            return pwriteValue(slots, bit / 8, uint8_t(slotBytes[bit / 8] ^ 1u << bit % 8)), "";
        });
    const auto cut = [&](const std::string& path, uint64_t length) {
        cases.push_back([path, length] {
            return ::truncate(path.c_str(), off_t(length)) == 0 ? "" : "cannot truncate";
        });
    };
    const uint64_t slot = Writer::Table::slotSize, header = Writer::Table::headerSize;
    const uint64_t full = slotBytes.size();
    ASSERT_GT(numSlots, page);
    for (uint64_t length : {0ul, 1ul, 8ul, 100ul, 575ul, 576ul, 577ul, header + 1, full - 1})
        cut(slots, length);
    for (uint64_t k : {0ul, 1ul, 2ul, page - 1, page, page + 1, numSlots / 2ul, numSlots - 1ul,
                       uint64_t(numSlots)}) {
        cut(slots, header + k * slot);      // exactly at a slot boundary
        cut(slots, header + k * slot - 1);  // one byte short of it
    }
    std::mt19937_64 rng(testSeed());
    for (int i = 0; i < 40; ++i)
        cut(slots, rng() % full);
    for (uint64_t length : {0ul, 8ul, 23ul, 24ul, 32ul, pristine.at(buckets).size() - 8})
        cut(buckets, length);
    Child child([&](Child& self) {
        for (size_t i = 0; i < cases.size(); ++i) {
            for (const auto& e : fs::directory_iterator(dir))
                if (pristine.count(e.path()) == 0)
                    fs::remove(e.path());
            for (const auto& entry : pristine)
                restore(entry.first);
            const std::string want = cases[i]();
            const uint64_t length = statFile(slots).size;
            Contents c = contents;
            std::string result = restartAndJudge(cinder, c, want == "reuse" ? "" : want);
            if (statFile(slots).size < length)
                result += ", and the slot file was shortened";
            if (!want.empty() && result != (want == "reuse" ? "reused" : "new"))
                result += " instead of " + want;
            self.send(fmt::format("{} {}", i, result));
        }
        return 0;
    });
    std::map<std::string, uint64_t> seen;
    for (std::string line; !(line = child.receive()).empty();) {
        const std::string result = line.substr(line.find(' ') + 1);
        EXPECT_TRUE(result == "reused" || result == "new") << "case " << line;
        ++seen[result];
    }
    EXPECT_EQ(child.wait(), 0) << "the restarts died after " << seen["reused"] + seen["new"];
    // Bits and lengths that nothing checks leave the table reusable (not only the first case).
    EXPECT_GT(seen["reused"], 1u);
}

// A restart on the files of every damage the validation names (support/Damage.h) re-formats them,
// tracing that reason.
TEST(WriterDamageProcess, DamageIsReformatted) {
    expectEveryKind(
        [](const DamageKind& kind) { return kind.validation != nullptr && *kind.validation; },
        [](const DamageKind& kind, DamagedTable& d) {
            d.w.reset();
            Contents none;
            const std::string result = restartAndJudge(
                d.cinder, none, d.says(kind.restart ? kind.restart : kind.validation));
            return result == "new" ? "" : result;
        });
}

std::unique_ptr<Writer> started() {
    auto w = writer();
    EXPECT_TRUE(w->initialize("test"));
    return w;
}
bool mark() {
    return Vesk::Util::writeCorruptionFile(
        *testHandler(), Mem::RootPath(*testHandler(), kTableName, false), "seen by a reader");
}

// A live owner refuses a writer and a cleanup, naming itself and changing no file; a detached
// writer hands its files over; attach, the file check and cleanup remove the marker.
TEST(WriterOwnershipProcess, OneLiveWriter) {
    TestRoot root;
    TraceCapture traces;
    const std::string marker = root.path(kTableName) + "/" + Vesk::Util::kCorruptionFileName;
    Child owner([](Child& self) -> int {
        auto w = started();
        self.send(Zolt::ConduitAcceptSm::socketName());
        Child::block();
    });
    const std::string name = owner.receive();
    ASSERT_FALSE(name.empty()) << "the owner did not start";
    ASSERT_TRUE(mark());
    const auto before = snapshot(root.dir());
    for (const bool cleanup : {false, true}) {
        const std::string text =
            thrown([&] { cleanup ? writer()->cleanup() : writer()->initialize("second"); });
        EXPECT_TRUE(text.find(root.path(kTableName)) != std::string::npos &&
                    text.find(name) != std::string::npos)
            << "cleanup " << cleanup << " while the owner lives: " << text;
        EXPECT_TRUE(snapshot(root.dir()) == before)
            << "a refusal changed files; cleanup " << cleanup;
    }
    owner.kill();
    Contents c;
    auto w = started();
    EXPECT_FALSE(fs::exists(marker)) << "attach kept it";
    fill(*w, c, 300);
    const Plinth::CinderId cinder = w->cinderId();
    // Regression: detach rewrote the owner file through a read-only handle, so the refusal was
    // swallowed as "owner file corruption" and the departed writer stayed named as the owner.
    w->detach(false);
    Plinth::OwnerFile file(*testHandler(), w->rootPath(), false);
    EXPECT_TRUE(file.validate() && file.conduitInfo().empty()) << file.headerToString();
    EXPECT_FALSE(traces.has("ignoring owner file corruption")) << traces.text;
    {
        auto next = started();  // another writer reuses everything, and its changes stay
        EXPECT_EQ(judge(*next, cinder, c), "reused");
        fill(*next, c, 350);
    }
    ASSERT_TRUE(w->initialize("again"));  // and so does the detached one
    EXPECT_EQ(judge(*w, cinder, c), "reused");
    ASSERT_TRUE(mark());
    EXPECT_TRUE(w->validateFiles());
    EXPECT_FALSE(fs::exists(marker)) << "the file check kept it";
    // Regression: a damaged file was reported by a trace only; the result stayed true.
    Plinth::CinderFile(*testHandler(), w->rootPath(), true).write(Plinth::CinderId(1, 1));
    EXPECT_FALSE(w->validateFiles());
    ASSERT_TRUE(mark());
    EXPECT_TRUE(w->cleanup());  // by the table's own writer, while attached
    w.reset();
    for (const char* f : {"slots", "buckets", "cinder", "owner", Vesk::Util::kCorruptionFileName})
        EXPECT_FALSE(fs::exists(root.path(kTableName) + "/" + f)) << f;
    fill(*started(), c, 10);
    ASSERT_TRUE(mark());
    EXPECT_TRUE(writer()->cleanup());  // by a writer that never attached
    for (const auto& e : fs::directory_iterator(root.path(kTableName)))
        EXPECT_EQ(e.path().filename(), Mem::WriterLock::kFileName);
    // Regression: a file that stays (here a directory at the marker's name) was not reported.
    fs::create_directory(marker);
    EXPECT_FALSE(writer()->cleanup());
}

// Regression: a local table of a pid that is a multiple of 65536, and a re-format that wrapped
// the second half, got the "none" id.
TEST(WriterDetach, GenerationIdIsNeverNone) {
    TestRoot root;
    EXPECT_EQ(Vesk::localCinderId(3 * 65536), Plinth::CinderId(0, 1));
    EXPECT_EQ(Vesk::localCinderId(70000), Plinth::CinderId(70000 - 65536, 0));
    Plinth::CinderFile(*testHandler(), Mem::RootPath(*testHandler(), kTableName, true), true)
        .write(Plinth::CinderId(0, 0xFFFF));
    EXPECT_EQ(started()->cinderId(), Plinth::CinderId(0, 1));  // no owner file: re-formats
}

}  // namespace
