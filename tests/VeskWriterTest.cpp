// The writer: every operation at random against a std::map, the direct (in-place) mode and its
// pairing rules, the version anchor, resizes seen by critical tasks, and the failures of the
// host (a full file system, no mapping or memory left) in a private tmpfs.
#include "Plinth/CinderFile.h"
#include "Ruxa/RuxaReader.h"
#include "Vesk/TableChecker.h"
#include "support/Tables.h"
#include "support/TestAccess.h"

#include "Pimbo/Exception.h"
#include "Pimbo/Scheduler.h"

#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <random>

namespace {

using namespace VeskTest;
using Simple = CounterEntrySimpleOps;
using Value = CounterEntrySimple;
using Writer = Vesk::VeskWriter<Simple>;

Value rec(uint64_t k, uint64_t n = 1) {
    return Kind<Simple>::make(k, n);
}
const Value* find(Writer& w, uint64_t k) {
    bool found = false;
    const Value* v = w.lookup(CounterIndex(k), found, nullptr);
    return found ? v : nullptr;
}
bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Every writer operation at random against a map in the table's order, (rhash, key), while the
// population swings between thousands of records and almost none, so that the buckets double
// and halve and the slots grow and shrink all the time. An iteration runs across the mutations
// (it caught next() searching on from the record it had just overwritten after a bucket split).
TEST(WriterModelTest, RandomOperationsAgreeWithAMap) {
    TestRoot root;
    auto w = attachedWriter<Simple>(shrinkingDescriptor(1u << 20));
    std::mt19937_64 rng(testSeed());
    using Pos = std::pair<uint32_t, uint64_t>;
    auto pos = [&](uint64_t k) { return Pos{Pimbo::Util::reverse(w->hashKeyValue(k)), k}; };
    std::map<Pos, Value> model;
    auto anyKey = [&] {
        return std::next(model.begin(), long(rng() % model.size()))->first.second;
    };
    auto absentKey = [&] {
        for (;;) {
            const uint64_t k = rng() >> (rng() % 64);  // small keys too
            if (model.count(pos(k)) == 0)
                return k;
        }
    };
    auto set = [&](const Value& v) { model.insert_or_assign(pos(v.key().value()), v); };
    auto expectRecord = [&](uint64_t k) {
        ASSERT_TRUE(find(*w, k) != nullptr && *find(*w, k) == model.at(pos(k))) << k;
    };
    auto checkAll = [&] {
        ASSERT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
        std::vector<Value> inOrder;
        for (const auto& [at, v] : model)
            inOrder.push_back(v);
        ASSERT_EQ(iterateAll(*w), inOrder) << "iteration out of order, repeated or stale";
    };
    const uint64_t ops = scaled(200000);
    uint32_t target = 0;
    bool rising = false, iterating = false;
    Value cursor{};
    Vesk::IterHint hint;
    auto step = [&](uint64_t n) {
        if (rising ? model.size() >= target : model.size() <= target) {
            rising = !rising;
            target = rising ? 1000 + uint32_t(rng() % 5000) : uint32_t(rng() % 40);
        }
        const uint32_t pick = uint32_t(rng() % 100);
        const bool empty = model.empty();
        if (pick < (rising ? 40u : 10u)) {  // a new key
            const Value v = rec(absentKey(), n);
            ASSERT_EQ(*w->write(v, (rng() & 1) != 0), v);
            set(v);
        } else if (pick < 50) {  // remove a key, present or not
            Value removed = rec(1);
            const bool present = !empty && rng() % 8 != 0;
            const uint64_t k = present ? anyKey() : absentKey();
            ASSERT_EQ(w->remove(CounterIndex(k), removed), present) << k;
            ASSERT_TRUE(!present || removed == model.at(pos(k))) << k;
            model.erase(pos(k));
        } else if (pick < 60 && !empty) {  // an existing key, with or without overwrite
            // Now and then with level-9 tracing on, which takes the writer's general path.
            const uint64_t k = anyKey();
            const bool overwrite = (rng() & 3) != 0;
            const bool traced = rng() % 8 == 0;
            std::optional<TraceCapture> traces;
            const uint16_t mask = testHandler()->levelMask();
            if (traced) {
                traces.emplace(9);
                testHandler()->levelMaskIs(uint16_t(mask | 1u << 9));
            }
            const Value written = *w->write(rec(k, n), overwrite);
            testHandler()->levelMaskIs(mask);
            ASSERT_EQ(written, overwrite ? rec(k, n) : model.at(pos(k)));
            ASSERT_TRUE(!traced || traces->has(fmt::format("existing {} slot:", CounterIndex(k))))
                << k;
            if (overwrite)
                set(rec(k, n));
        } else if (pick < 74) {  // directWrite of a new or an existing key, or directUpdate
            const bool update = pick >= 68;  // starts from the current record, or is refused
            const bool fresh = empty || rng() % (update ? 5 : rising ? 2 : 4) == 0;
            const uint64_t k = fresh ? absentKey() : anyKey();
            if (update && fresh) {
                ASSERT_EQ(w->directUpdate(CounterIndex(k)), nullptr);
                return;
            }
            const uint32_t members = w->members();
            Value* area = update ? w->directUpdate(CounterIndex(k)) : w->directWrite(rec(k, n));
            ASSERT_TRUE(area != nullptr && *area == (update ? model.at(pos(k)) : rec(k, n)));
            ASSERT_EQ(w->members(), members + (fresh ? 1 : 0));  // counted before the commit
            ASSERT_EQ(w->slotTable().header()->criticalSection(), !update);
            const Value* old = find(*w, k);  // published only by the commit
            ASSERT_TRUE(fresh ? old == nullptr : old != nullptr && *old == model.at(pos(k)));
            area->packetsIs(n * 3);
            set(*area);
            w->directCommit();
            expectRecord(k);
        } else if (pick < 98) {  // the iteration goes on: next(own key) into the same record
            const uint64_t from = cursor.key().value();
            const auto it = iterating ? model.upper_bound(pos(from)) : model.begin();
            iterating = iterating ? w->next(cursor.key(), cursor, hint) : w->first(cursor, hint);
            ASSERT_EQ(iterating, it != model.end()) << "iteration from " << from;
            ASSERT_TRUE(!iterating || cursor == it->second) << "iteration from " << from;
        } else {  // next from any key, present or not, without a hint
            const uint64_t k = (!empty && (rng() & 1)) ? anyKey() : absentKey();
            const auto it = model.upper_bound(pos(k));
            Value v{};
            Vesk::IterHint none;
            ASSERT_EQ(w->next(CounterIndex(k), v, none), it != model.end()) << k;
            ASSERT_TRUE(it == model.end() || v == it->second) << k;
        }
    };
    for (uint64_t i = 1; i <= ops; ++i) {
        step(i);
        ASSERT_EQ(w->members(), model.size());
        ASSERT_FALSE(Vesk::VeskWriterTestAccess::directOpen(*w) ||
                     w->slotTable().header()->criticalSection());
        if (HasFatalFailure() || i % (ops / 25) == 0)
            checkAll();
        ASSERT_FALSE(HasFatalFailure()) << "after operation " << i;
    }
    checkAll();
    const auto c = w->writerCounters();
    for (uint64_t count : {c.slotGrows, c.slotShrinks, c.bucketGrows, c.bucketShrinks, c.movedSlots,
                           c.slowPathNexts})
        EXPECT_GT(count, 0u) << "a resize or recovery path never ran";
}

// Regression: critical tasks that ran while the buckets doubled or halved read with a count the
// chains did not match yet. Reads during a bucket resize are refused; the others are answered.
TEST(WriterHashMapTest, CriticalTasksDuringResize) {
    TestRoot root;
    auto w = attachedWriter<Simple>(shrinkingDescriptor(100000));
    w->criticalTaskCheckIs(true);
    Vesk::VeskWriterTestAccess::criticalTaskPeriodIs(*w, 0);  // yield at every step of a pass
    std::map<uint64_t, Value> present;
    uint64_t answered = 0, refused = 0;
    const uint64_t task = Pimbo::schedulerRootPimbo().criticalTaskIs([&] {
        try {
            for (const auto& [k, v] : present)
                ASSERT_TRUE(find(*w, k) != nullptr && *find(*w, k) == v) << k;
            ASSERT_EQ(iterateAll(*w).size(), present.size());
            ++answered;
        } catch (const Pimbo::RuntimeException& e) {
            ASSERT_NE(e.msg().find("refused: the table is being resized"), std::string::npos);
            ++refused;
        }
    });
    for (uint64_t k = 1; k <= 300; ++k)
        w->write(present[k] = rec(k), true);
    Value removed;
    for (uint64_t k = 1; k <= 300; ++k)
        ASSERT_TRUE(present.erase(k) == 1 && w->remove(CounterIndex(k), removed));
    Pimbo::schedulerRootPimbo().criticalTaskDel(task);
    EXPECT_TRUE(refused > 0 && answered > 0) << refused << " refused, " << answered << " answered";
}

// The direct mode: the fill publishes nothing before its commit, a commit whose key changed is
// refused and changes nothing, unpaired operations are fatal, and a shrink that is due waits for
// the open operation.
TEST(VeskWriterDirectTest, CommitPairingAndShrink) {
    TestRoot root;
    Value removed;
    {  // a writer that may not shrink leaves 5 records in 256 slots behind
        auto old = attachedWriter<Simple>(Vesk::MapDescriptor(100000));
        for (uint64_t k = 0; k < 200; ++k)
            old->write(rec(k), true);
        for (uint64_t k = 5; k < 200; ++k)
            old->remove(CounterIndex(k), removed);
    }
    auto w = attachedWriter<Simple>(shrinkingDescriptor(100000));
    for (auto [fresh, key, changedTo] : {std::tuple{false, 3ul, 4ul}, {true, 600ul, 601ul}}) {
        const RawTable before = RawTable::of(*w);
        const uint32_t id = fresh ? before.freeHead() : slotIdOf(*w, key);
        Value* area = fresh ? w->directWrite(rec(key)) : w->directUpdate(CounterIndex(key));
        *area = rec(changedTo, 44);
        // Until the commit the fill is the writer's own: neither the slot's record nor the
        // lookaside slot's, which a late reader may still be copying, moved.
        const RawTable filled = RawTable::of(*w);
        for (const uint64_t at :
             {uint64_t(576), before.headerSize + uint64_t(id) * before.slotSize})
            EXPECT_EQ(filled.slotAt(at, id).value, before.slotAt(at, id).value) << at;
        EXPECT_EQ(thrown([&] { w->directCommit(); }),
                  fmt::format("directCommit on t/counter refused: the record's key key: {} is not "
                              "the key key: {} of slot {}",
                              changedTo, key, id));
        EXPECT_FALSE(Vesk::VeskWriterTestAccess::directOpen(*w));
        const RawTable after = RawTable::of(*w);
        EXPECT_EQ(after.slot(id).flags, before.slot(id).flags);
        EXPECT_EQ(after.freeHead(), before.freeHead());  // a new key's slot is free again
        EXPECT_EQ(after.runtimeFlags(), 0u);
        EXPECT_EQ(w->members(), 5u);
        EXPECT_EQ(*find(*w, 4), rec(4));
        EXPECT_EQ(find(*w, 601), nullptr);
    }
    // An operation while a direct one is open stops the process.
    auto open = [&] { w->directUpdate(CounterIndex(1)); };
    EXPECT_DEATH((w->directWrite(rec(30)), w->write(rec(31), true)), "unbalanced.*when writing");
    EXPECT_DEATH((open(), w->remove(CounterIndex(1), removed)), "unbalanced.*when removing");
    EXPECT_DEATH((open(), open()), "unbalanced.*when modifying");
    EXPECT_DEATH((open(), w->directCommit(), w->directCommit()), "not in direct mode");
    w->directUpdate(CounterIndex(4))->packetsIs(444);
    w->shrink();  // due, but a direct operation is open
    EXPECT_EQ(w->capacity(), 256u);
    w->directCommit();
    w->shrink();
    EXPECT_EQ(w->capacity(), 64u);
    EXPECT_EQ(find(*w, 4)->packets(), 444u) << "the update was lost in the shrink";
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

TEST(VeskWriterAnchorTest, VouchesForTheLastRead) {
    TestRoot root;
    auto w = attachedWriter<Simple>(shrinkingDescriptor(100000));
    for (uint64_t k = 1; k <= 20; ++k)
        w->write(rec(k), true);
    find(*w, 5);
    // A grow moves the mapping; the anchor follows it, and a later write of the record breaks it.
    const void* before = w->slotTable().header();
    for (uint64_t k = 1000; k < 1800; ++k)  // 820 records in 1024 slots
        w->write(rec(k), true);
    ASSERT_NE(static_cast<const void*>(w->slotTable().header()), before);
    EXPECT_TRUE(w->validateVersionAnchor());
    w->write(rec(5, 2), true);
    EXPECT_THROW(w->validateVersionAnchor(), Mem::VersionMismatchException);
    Value v{};
    Vesk::IterHint hint;
    ASSERT_TRUE(w->first(v, hint));  // iteration anchors each record it returns
    EXPECT_TRUE(w->validateVersionAnchor());
    w->write(rec(v.key().value(), 9), true);
    EXPECT_THROW(w->validateVersionAnchor(), Mem::VersionMismatchException);

    // Regression: after a remove that shrank the array in place under the anchor, and after a
    // detach, validation read unmapped memory. The anchor must be known invalid instead.
    auto invalid = [&] {
        return thrown([&] { w->validateVersionAnchor(); }).rfind("version anchor invalid", 0) == 0;
    };
    for (uint64_t i = 0; w->capacity() == 1024; ++i)  // slots 0, 1, ... in order
        ASSERT_TRUE(w->remove(CounterIndex(i < 20 ? i + 1 : 980 + i), v));
    EXPECT_TRUE(invalid());
    ASSERT_NE(find(*w, 1799), nullptr);  // a valid anchor again
    w->detach(false);
    EXPECT_TRUE(invalid());
    EXPECT_TRUE(has(thrown([&] { w->write(rec(1), true); }),
                    "write on Vesk table t/counter refused: not attached"));
}

// Regression: offsets of 4 GiB and more were cut to 32 bits and validated another word.
TEST(VeskWriterAnchorTest, OffsetsBeyond4GiB) {
    const uint64_t far = (uint64_t(1) << 32) + 8;
    char* base = static_cast<char*>(::mmap(nullptr, far + 8, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    Mem::storeRelaxed32(base + far, 0x14);  // the word at 8, which a 32-bit offset names, is 0
    Mem::VersionAnchor anchor;
    anchor.set(0x14, base + far, base);
    EXPECT_NO_THROW(anchor.validate());
    ::munmap(base, far + 8);
}
// ----- failures of the host, each in a child with a private 2 MiB tmpfs as its table root ------

// In a child: a condition that does not hold ends the step, naming the line and `what`.
// (__builtin_LINE rather than std::source_location, which clang 14 lacks with this library.)
void need(bool ok, const std::string& what = "", int line = __builtin_LINE()) {
    if (!ok)
        throw std::runtime_error("line " + std::to_string(line) + " failed " + what);
}
bool intact(Writer& w, uint64_t to) {
    for (uint64_t k = 0; k < to; ++k)
        if (find(w, k) == nullptr || !(*find(w, k) == rec(k)))
            return false;
    return RawTable::of(w).runtimeFlags() == 0 && w.validate(kCinder, false);
}
// Fills the file system up to `pages` free pages with the file "filler".
bool leaveFree(uint64_t pages) {
    struct statvfs s;
    const std::string filler = Mem::RootPath::root() + "/filler";
    const int fd = ::open(filler.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const bool ok = fd >= 0 && ::statvfs(filler.c_str(), &s) == 0 &&
                    ::posix_fallocate(fd, 0, off_t(s.f_bavail * s.f_bsize - pages * 4096)) == 0;
    ::close(fd);
    return ok;
}

// The buckets cannot double: the insert succeeds and they double later, once there is room.
// Then the slot array cannot double: the insert that needs it fails cleanly, the table stays as
// it was, and the next grow fails the same way.
void growthFails() {
    TraceCapture traces;
    auto w = attachedWriter<Simple>(Vesk::MapDescriptor(1u << 20));
    for (uint64_t k = 0; k < 256; ++k)
        w->write(rec(k), true);
    need(leaveFree(3));  // the three pages 512 slots need; the buckets need a fourth
    w->write(rec(256), true);
    need(w->capacity() == 512 && w->buckets() == 256 && intact(*w, 257));
    need(traces.has("t/counter: cannot grow buckets: ") && traces.has("No space left on device"));
    ::unlink((Mem::RootPath::root() + "/filler").c_str());
    w->write(rec(257), true);
    need(w->buckets() == 512 && intact(*w, 258));
    uint64_t k = 257;
    std::string text;
    while (text.empty())
        text = thrown([&] { w->write(rec(++k), true); });
    need(text.rfind("failed to resize " + slotsPath(*w), 0) == 0 &&
             has(text, "No space left on device"),
         text);
    need(w->capacity() == k && w->members() == k && intact(*w, k));
    need(has(thrown([&] { w->write(rec(k), true); }), "No space left on device"));
    need(intact(*w, k));
}

// Regression: a start that failed after taking the writer lock (here the owner file cannot be
// written) kept the lock, and the next writer was told that a live writer owned the table.
void failedStartReleasesTheTable() {
    need(leaveFree(0));
    auto failed = makeWriter<Simple>(Vesk::MapDescriptor(1000));  // lives on
    need(has(thrown([&] { failed->initialize("full"); }), "No space left"));
    ::unlink((Mem::RootPath::root() + "/filler").c_str());
    need(thrown([] { makeWriter<Simple>(Vesk::MapDescriptor(1000))->initialize("next"); }).empty());
}

// Regression: a writer lock that could not be created for a reason of the host (here a file
// system without a free inode) was reported as held by another live writer.
void lockRefusalsNameTheirReason() {
    const std::string mnt = Mem::RootPath::root() + "/ni";
    need(::mkdir(mnt.c_str(), 0755) == 0 &&
         ::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k,mode=0755,nr_inodes=2") == 0 &&
         ::mkdir((mnt + "/t").c_str(), 0755) == 0);
    for (const bool cleanup : {false, true}) {
        const std::string text = thrown([&] {
            auto w = makeWriter<Simple>(Vesk::MapDescriptor(1000), "ni/t");
            cleanup ? (void)w->cleanup() : (void)w->initialize("refused");
        });
        const char* says = cleanup ? "cleanup of Vesk table" : "cannot be taken by this writer";
        need(has(text, says) && has(text, "No space left on device") && !has(text, "live writer"),
             text);
    }
}

// Regression: a bucket shrink whose re-map failed after the halved count was published went on
// with the old count. The writer gives the table up instead; readers keep a whole table.
void failedBucketShrinkDetaches() {
    Vesk::MapDescriptor d(1u << 20);
    d.shrinkBuckets = 1;
    auto w = attachedWriter<Simple>(d);
    for (uint64_t k = 0; k <= 1024; ++k)
        w->write(rec(k), true);
    Value removed;
    for (uint64_t k = 1024; k >= 512; --k)
        w->remove(CounterIndex(k), removed);
    need(w->buckets() == 2048);
    // Every new mapping fails: the process has as many as it may have.
    const size_t pages = 1u << 17;
    char* range = static_cast<char*>(::mmap(nullptr, pages * 4096, PROT_NONE,
                                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    need(range != MAP_FAILED);
    size_t split = 0;
    while (split < pages && ::mprotect(range + split * 4096, 4096, PROT_READ) == 0)
        split += 2;
    const std::string text = thrown([&] { w->remove(CounterIndex(511), removed); });
    ::munmap(range, pages * 4096);
    need(split < pages);
    need(has(text, "t/counter detached: its buckets could not shrink from 2048 to 1024"), text);
    need(has(thrown([&] { find(*w, 1); }), "not attached"));
    Plinth::CinderFile(*testHandler(), w->rootPath(), true).write(kCinder);  // for the check
    const Vesk::TableCheck check = Vesk::TableChecker<Simple>::check(w->rootPath());
    // Whole, with the critical-section bit of the change it gave up left set.
    need(check.faultCount == 1 && has(check.firstFault(), "critical-section bit is set") &&
             check.records == 511 && check.numBuckets == 1024,
         check.firstFault());
}

// Regression: validate() threw when the validator's own marks could not be allocated.
void validatorWithoutMemory() {
    auto w = attachedWriter<Simple>(Vesk::MapDescriptor(1000));
    std::vector<char> room(100000);  // freed below: room for small allocations
    std::ifstream statm("/proc/self/statm");
    uint64_t vmPages = 0;
    statm >> vmPages;
    std::vector<char>().swap(room);
    struct rlimit saved;
    need(::getrlimit(RLIMIT_AS, &saved) == 0);
    const struct rlimit tight = {vmPages * 4096, saved.rlim_max};  // no mapping beyond these
    need(::setrlimit(RLIMIT_AS, &tight) == 0);
    bool ok = true;
    const std::string text = thrown([&] { ok = w->validate(kCinder, false); });
    ::setrlimit(RLIMIT_AS, &saved);
    need(text.empty() && !ok, text);
    need(has(w->lastValidationFailure(), "cannot validate 64 slots"), w->lastValidationFailure());
}

using Follower = Ruxa::RuxaReader<Ruxa::BasicSlot>;
Vesk::MapDescriptor notifying(bool notify = true) {
    Vesk::MapDescriptor d(1000);
    d.notify = notify;
    return d;
}

// Regression: no writer restarted on a full file system (the owner file was replaced through a
// temporary), and the restart of a table that publishes withdrew the old queue before the new
// one existed. One that does not publish restarts with its records; one that publishes refuses,
// naming the queue and the room it needs, and leaves its followers the old queue until a start
// with room replaces it.
void restartOnAFullFileSystem() {
    for (const bool notify : {false, true}) {
        auto w = makeWriter<Simple>(notifying(notify));
        need(w->initialize("first"));
        for (uint64_t k = 0; k < 10; ++k)
            w->write(rec(k), true);
        Vesk::Reader::Counters rc;
        Follower follower(*testHandler(), w->rootPath(), rc);
        std::string why;
        need(!notify || follower.attach(why), why);
        w = makeWriter<Simple>(notifying(notify));  // the first one detaches
        need(leaveFree(0));
        const std::string text = thrown([&] { w->initialize("full"); });
        need(notify ? has(text, "cannot create notification queue") : text.empty(), text);
        need(!notify || (has(text, "No space left") && follower.validateNotif()), text);
        ::unlink((Mem::RootPath::root() + "/filler").c_str());
        if (notify)
            need(
                thrown([&] { (w = makeWriter<Simple>(notifying()))->initialize("room"); }).empty());
        need(w->validate() && w->members() == 10 && !follower.validateNotif());
    }
}

// Regression: a queue renewal that failed inside a write (no room for the new queue, the table's
// directory gone) threw out of the write after the record was stored, the critical-section bit
// left set. The writes succeed; the queue is withdrawn, publishing stops, and that is counted.
void failedRenewalInsideAWrite() {
    for (const bool full : {true, false}) {
        auto w = attachedWriter<Simple>(notifying());
        w->write(rec(0), true);
        Vesk::Reader::Counters rc;
        Follower follower(*testHandler(), w->rootPath(), rc);
        std::string why;
        need(follower.attach(why), why);
        const Ruxa::RuxaWriter& queue = *w->notificationQueue();
        w->counters().sequence = queue.header().sequenceBase + 0xFFFFFFFE;  // the last relative
        need(full ? leaveFree(0) : std::filesystem::remove_all(w->rootPath().directory()) > 0);
        need(thrown([&] { w->write(rec(1), true), w->write(rec(2), true); }).empty());
        need(find(*w, 1) && find(*w, 2) && !w->slotTable().header()->criticalSection());
        need(w->writerCounters().queueFailures == 1 && queue.stopped() && !queue.wakeListening());
        need(!follower.validateNotif());  // the queue it follows was withdrawn
        ::unlink((Mem::RootPath::root() + "/filler").c_str());
    }
}

TEST(VeskWriterHostFailureProcess, EachFailureSaysWhy) {
    for (auto step : {growthFails, failedStartReleasesTheTable, lockRefusalsNameTheirReason,
                      failedBucketShrinkDetaches, validatorWithoutMemory, restartOnAFullFileSystem,
                      failedRenewalInsideAWrite}) {
#if defined(VESK_SANITIZED)  // the sanitizer's runtime needs the mappings these two deny
        if (step == failedBucketShrinkDetaches || step == validatorWithoutMemory)
            continue;
#endif
        Child child([step](Child& c) {
            std::string why;
            if (!privateTmpfs("2m", why)) {
                c.send(why);
                return Child::kSkip;
            }
            step();  // a failed need() throws: the child says what and exits Child::kThrew
            return 0;
        });
        const int rc = child.wait();
        if (rc == Child::kSkip)
            GTEST_SKIP() << "no private tmpfs here: " << child.rest();
        EXPECT_EQ(rc, 0) << child.rest();
    }
}

}  // namespace
