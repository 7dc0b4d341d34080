// The writer's operations: what absent keys leave alone, the direct (in-place) mode and its
// pairing rules, the critical-section bit, the version anchor, shrinking on request, and a full
// file system met while the table grows.
#include "WriterTestUtil.h"

#include "Pimbo/Exception.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using namespace VeskTest;

template <class Ops>
class VeskWriterTest : public ::testing::Test {
  protected:
    using R = Records<Ops>;
    using Writer = Vesk::VeskWriter<Ops>;
    using Value = typename Ops::Value;

    void SetUp() override {
        w_ = attachedWriter<Ops>(Vesk::MapDescriptor(100000));
        for (uint64_t k = 1; k <= 20; ++k)
            w_->write(R::make(k, k), true);
    }
    Value get(uint64_t k) {
        bool found = false;
        const Value* v = w_->lookup(CounterIndex(k), found, nullptr);
        EXPECT_TRUE(found) << k;
        return found ? *v : Value{};
    }
    bool has(uint64_t k) {
        bool found = false;
        w_->lookup(CounterIndex(k), found, nullptr);
        return found;
    }
    uint16_t runtimeFlags() { return RawTable::of(*w_).runtimeFlags(); }
    void expectValid() { EXPECT_TRUE(w_->validate(kCinder, false)) << w_->lastValidationFailure(); }

    TestRoot root_;
    std::unique_ptr<Writer> w_;
};
TYPED_TEST_SUITE(VeskWriterTest, AllOps, OpsNames);

TYPED_TEST(VeskWriterTest, AbsentKeysChangeNothing) {
    using Value = typename TestFixture::Value;
    auto& w = *this->w_;
    const std::vector<unsigned char> slots = readFile(slotsPath(w));
    const std::vector<unsigned char> buckets = readFile(bucketsPath(w));
    bool found = true;
    const Value* p = w.lookup(CounterIndex(1000), found, nullptr);
    EXPECT_FALSE(found);
    ASSERT_NE(p, nullptr);  // the default record
    EXPECT_EQ(*p, Value{});
    Value removed = TestFixture::R::make(5, 5);
    EXPECT_FALSE(w.remove(CounterIndex(1000), removed));
    EXPECT_EQ(w.directUpdate(CounterIndex(1000)), nullptr);
    EXPECT_FALSE(w.directOpen());
    EXPECT_EQ(readFile(slotsPath(w)), slots);
    EXPECT_EQ(readFile(bucketsPath(w)), buckets);
    // Nothing is left open: a write goes through.
    w.write(TestFixture::R::make(1000, 1), true);
    EXPECT_TRUE(this->has(1000));
}

TYPED_TEST(VeskWriterTest, DirectWriteOfANewKeyIsPublishedByItsCommit) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto& w = *this->w_;
    const Value v = R::make(500, 1);
    Value* area = w.directWrite(v);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(*area, v);
    EXPECT_TRUE(w.directOpen());
    // Counted and holding the critical section, but not reachable yet.
    EXPECT_EQ(w.members(), 21u);
    EXPECT_EQ(RawTable::of(w).occupied(), 21u);
    EXPECT_EQ(this->runtimeFlags(), 1u);
    EXPECT_FALSE(this->has(500));
    for (const Value& x : iterateAll(w))
        EXPECT_NE(x.key().value(), 500u);
    R::change(*area, 77);
    const Value filled = *area;
    w.directCommit();
    EXPECT_FALSE(w.directOpen());
    EXPECT_EQ(this->runtimeFlags(), 0u);
    EXPECT_EQ(this->get(500), filled);
    const RawSlot s = RawTable::of(w).slot(slotIdOf(w, 500));
    EXPECT_EQ(s.flags, 5u);
    EXPECT_EQ(w.writerCounters().directUpdates, 1u);
    EXPECT_EQ(w.writerCounters().directCommits, 1u);
    this->expectValid();
}

TYPED_TEST(VeskWriterTest, DirectWriteThatGrowsAndMovesTheTableLinksIntoItsChain) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto& w = *this->w_;
    for (uint64_t k = 21; w.members() < w.capacity(); ++k)
        w.write(R::make(k, k), true);
    // A new key that goes behind the last slot of a non-empty chain: the link it is published
    // through lies in the slot file, which the grow re-maps.
    const uint32_t buckets = w.buckets();
    const RawSlot first = RawTable::of(w).slot(0);
    const uint32_t bucket = w.hashKeyValue(first.key) % buckets;
    uint32_t top = first.rhash;
    for (const Value& v : iterateAll(w)) {
        const uint32_t h = w.hashKeyValue(v.key().value());
        if (h % buckets == bucket)
            top = std::max(top, Pimbo::Util::reverse(h));
    }
    uint64_t key = 1000000;
    while (w.hashKeyValue(key) % buckets != bucket ||
           Pimbo::Util::reverse(w.hashKeyValue(key)) <= top)
        ++key;
    const char* base = reinterpret_cast<const char*>(w.slotTable().header());
    const uint32_t capacity = w.capacity();
    Value* area = w.directWrite(R::make(key, 1));
    ASSERT_NE(area, nullptr);
    EXPECT_GT(w.capacity(), capacity);
    EXPECT_NE(reinterpret_cast<const char*>(w.slotTable().header()), base);
    R::change(*area, 2);
    const Value filled = *area;
    w.directCommit();
    EXPECT_EQ(this->get(key), filled);
    std::vector<RawSlot> chain;
    ASSERT_EQ(RawTable::of(w).walkChains(chain), "");
    EXPECT_EQ(chain.size(), w.members());
    this->expectValid();
}

TYPED_TEST(VeskWriterTest, DirectWriteOfAnExistingKeyFillsTheLookaside) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto& w = *this->w_;
    const Value old = this->get(7);
    const uint32_t id = slotIdOf(w, 7);
    const uint32_t flags = RawTable::of(w).slot(id).flags;
    Value* area = w.directWrite(R::make(7, 70));
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(reinterpret_cast<char*>(area),
              static_cast<char*>(w.slotTable().header()->lookaside()) + sizeof(Vesk::SlotHead));
    EXPECT_EQ(this->get(7), old);  // unchanged until the commit
    EXPECT_EQ(this->runtimeFlags(), 1u);
    R::change(*area, 71);
    const Value filled = *area;
    w.directCommit();
    EXPECT_EQ(this->get(7), filled);
    const RawTable t = RawTable::of(w);
    EXPECT_EQ(t.slot(id).flags, flags + 4);
    EXPECT_EQ(t.lookaside().rhash, t.slot(id).rhash);
    EXPECT_EQ(t.runtimeFlags(), 0u);
    this->expectValid();
}

TYPED_TEST(VeskWriterTest, DirectUpdateStartsFromTheCurrentRecord) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto& w = *this->w_;
    const Value old = this->get(9);
    Value* area = w.directUpdate(CounterIndex(9));
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(*area, old);
    EXPECT_TRUE(w.directOpen());
    EXPECT_EQ(this->runtimeFlags(), 0u);  // directUpdate returns outside the critical section
    R::change(*area, 12345);
    Value expected = old;
    R::change(expected, 12345);
    w.directCommit();
    EXPECT_EQ(this->get(9), expected);
    EXPECT_EQ(this->runtimeFlags(), 0u);
    this->expectValid();
}

TYPED_TEST(VeskWriterTest, DirectCommitRefusesARecordWhoseKeyChanged) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto& w = *this->w_;
    // An existing key: the slot keeps its record and flags.
    const uint32_t id = slotIdOf(w, 3);
    const RawSlot before = RawTable::of(w).slot(id);
    Value* area = w.directUpdate(CounterIndex(3));
    ASSERT_NE(area, nullptr);
    *area = R::make(4, 44);
    try {
        w.directCommit();
        FAIL() << "a record with another key was committed";
    } catch (const Pimbo::RuntimeException& e) {
        EXPECT_EQ(e.msg(), fmt::format("directCommit on t/counter refused: the record's key key: 4 "
                                       "is not the key key: 3 of slot {}",
                                       id));
    }
    EXPECT_FALSE(w.directOpen());
    const RawSlot after = RawTable::of(w).slot(id);
    EXPECT_EQ(after.flags, before.flags);
    EXPECT_EQ(after.value, before.value);
    EXPECT_EQ(this->get(4), R::make(4, 4));
    EXPECT_EQ(this->runtimeFlags(), 0u);
    this->expectValid();

    // A new key: its slot goes back to the free list.
    const uint32_t freeHead = RawTable::of(w).freeHead();
    area = w.directWrite(R::make(600, 1));
    ASSERT_NE(area, nullptr);
    *area = R::make(601, 1);
    try {
        w.directCommit();
        FAIL() << "a record with another key was committed";
    } catch (const Pimbo::RuntimeException& e) {
        EXPECT_EQ(e.msg(), fmt::format("directCommit on t/counter refused: the record's key key: "
                                       "601 is not the key key: 600 of slot {}",
                                       freeHead));
    }
    EXPECT_FALSE(w.directOpen());
    EXPECT_FALSE(this->has(600));
    EXPECT_FALSE(this->has(601));
    EXPECT_EQ(w.members(), 20u);
    EXPECT_EQ(RawTable::of(w).freeHead(), freeHead);
    EXPECT_EQ(this->runtimeFlags(), 0u);
    this->expectValid();
    // Nothing is left open.
    w.write(R::make(600, 2), true);
    EXPECT_EQ(this->get(600), R::make(600, 2));
    this->expectValid();
}

TYPED_TEST(VeskWriterTest, VersionAnchorVouchesForTheLastRecordRead) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto& w = *this->w_;
    static Mem::VersionAnchor seen;
    static int calls;
    calls = 0;
    w.validateVersionAnchorHookIs([](const Mem::VersionAnchor& a) {
        seen = a;
        ++calls;
    });
    this->get(5);
    EXPECT_TRUE(w.validateVersionAnchor());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen.base, reinterpret_cast<const char*>(w.slotTable().header()));
    EXPECT_EQ(seen.offset, slotOffset<typename TestFixture::Writer>(slotIdOf(w, 5), Off::kFlags));
    w.write(R::make(5, 55), true);
    EXPECT_THROW(w.validateVersionAnchor(), Mem::VersionMismatchException);

    // The anchor follows the mapping when a grow moves it.
    this->get(5);
    const char* base = reinterpret_cast<const char*>(w.slotTable().header());
    const uint64_t remaps = w.writerCounters().slotFileRemaps;
    for (uint64_t k = 1000; k < 1600; ++k)
        w.write(R::make(k, k), true);
    ASSERT_GT(w.writerCounters().slotFileRemaps, remaps);
    ASSERT_NE(reinterpret_cast<const char*>(w.slotTable().header()), base);
    EXPECT_TRUE(w.validateVersionAnchor());
    EXPECT_EQ(seen.base, reinterpret_cast<const char*>(w.slotTable().header()));
    w.write(R::make(5, 56), true);
    EXPECT_THROW(w.validateVersionAnchor(), Mem::VersionMismatchException);

    // Iteration anchors each record it returns.
    Value v{};
    Vesk::IterHint hint;
    ASSERT_TRUE(w.first(v, hint));
    EXPECT_TRUE(w.validateVersionAnchor());
    w.write(R::make(v.key().value(), 9), true);
    EXPECT_THROW(w.validateVersionAnchor(), Mem::VersionMismatchException);
    w.validateVersionAnchorHookIs(nullptr);

    // Regression: after a remove that shrank the array in place (the anchor on the removed
    // slot, now beyond the end) and after a detach, validation read unmapped memory.
    auto s = attachedWriter<TypeParam>(shrinkingDescriptor(100000), kCinder, "s/counter");
    for (uint64_t k = 1; k <= 1000; ++k)
        s->write(R::make(k, k), true);
    for (uint64_t k = 1; s->capacity() == 1024; ++k)
        ASSERT_TRUE(s->remove(CounterIndex(k), v));
    EXPECT_THROW(s->validateVersionAnchor(), Mem::VersionMismatchException);
    bool found = false;
    s->lookup(CounterIndex(1000), found, nullptr);
    s->detach(false);
    EXPECT_THROW(s->validateVersionAnchor(), Mem::VersionMismatchException);
}

// Regression: offsets of 4 GiB and more were cut to 32 bits and validated another word.
TEST(VeskWriterAnchorTest, OffsetsBeyondFourGiBAreKeptWhole) {
    const uint64_t far = (uint64_t(1) << 32) + 8;
    void* m = ::mmap(nullptr, far + 8, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    char* base = static_cast<char*>(m);
    Mem::storeRelaxed32(base + 8, 0x10);  // the word a 32-bit offset would name
    Mem::storeRelaxed32(base + far, 0x14);
    Mem::VersionAnchor anchor;
    anchor.set(0x14, base + far, base);
    EXPECT_EQ(anchor.offset, far);
    EXPECT_NO_THROW(anchor.validate());
    ::munmap(m, far + 8);
}

// ----- pairing rules of the direct mode: fatal assertions -----

using SimpleOps = CounterEntrySimpleOps;
using SimpleRecords = Records<SimpleOps>;

class VeskWriterDeathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        w_ = attachedWriter<SimpleOps>(Vesk::MapDescriptor(1000));
        w_->write(SimpleRecords::make(1, 1), true);
    }
    TestRoot root_;
    std::unique_ptr<Vesk::VeskWriter<SimpleOps>> w_;
};

TEST_F(VeskWriterDeathTest, MutationsDuringAnOpenDirectOperation) {
    const char* pairing = " - Make sure the DirectIs/Commit are properly paired!";
    EXPECT_DEATH(
        {
            w_->directWrite(SimpleRecords::make(2, 2));
            w_->write(SimpleRecords::make(3, 3), true);
        },
        std::string("unbalanced directSlot:[0-9]+ containing value:.* when writing value:.*") +
            pairing);
    EXPECT_DEATH(
        {
            w_->directUpdate(CounterIndex(1));
            SimpleRecords::Value removed;
            w_->remove(CounterIndex(1), removed);
        },
        std::string("unbalanced directSlot:[0-9]+ containing value:.* when removing key:.*") +
            pairing);
    EXPECT_DEATH(
        {
            w_->directUpdate(CounterIndex(1));
            w_->directUpdate(CounterIndex(1));
        },
        std::string("unbalanced directSlot:[0-9]+ containing value:.* when modifying key:.*") +
            pairing);
    EXPECT_DEATH(
        {
            w_->directWrite(SimpleRecords::make(2, 2));
            w_->detach(false);
        },
        std::string("unbalanced directSlot:[0-9]+ containing value:.*") + pairing);
}

TEST_F(VeskWriterDeathTest, CommitWithoutAnOpenDirectOperation) {
    EXPECT_DEATH(w_->directCommit(),
                 "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
    EXPECT_DEATH(
        {
            w_->directUpdate(CounterIndex(1));
            w_->directCommit();
            w_->directCommit();
        },
        "not in direct mode!");
}

TEST_F(VeskWriterDeathTest, VersionAnchorNeverSet) {
    EXPECT_DEATH(w_->validateVersionAnchor(),
                 "should not be called on a default-constructed VersionAnchor");
}

// ----- shrinking on request -----

TEST(VeskWriterShrinkTest, ShrinkWaitsForTheOpenDirectOperation) {
    TestRoot root;
    {
        // A writer that may not shrink leaves 5 records in 256 slots behind.
        auto old = attachedWriter<SimpleOps>(Vesk::MapDescriptor(100000));
        for (uint64_t k = 0; k < 200; ++k)
            old->write(SimpleRecords::make(k, k), true);
        SimpleRecords::Value removed;
        for (uint64_t k = 5; k < 200; ++k)
            ASSERT_TRUE(old->remove(CounterIndex(k), removed));
        ASSERT_EQ(old->capacity(), 256u);
    }
    auto w = makeWriter<SimpleOps>(shrinkingDescriptor(100000));
    ASSERT_TRUE(w->attach(kCinder));
    ASSERT_EQ(w->capacity(), 256u);
    SimpleRecords::Value* area = w->directUpdate(CounterIndex(4));
    ASSERT_NE(area, nullptr);
    area->packetsIs(444);
    w->shrink();  // due, but a direct operation is open
    EXPECT_EQ(w->capacity(), 256u);
    EXPECT_TRUE(w->directOpen());
    w->directCommit();
    w->shrink();
    EXPECT_EQ(w->capacity(), 64u);
    EXPECT_EQ(w->writerCounters().slotShrinks, 1u);
    EXPECT_EQ(RawTable::of(*w).runtimeFlags(), 0u);
    for (uint64_t k = 0; k < 5; ++k) {
        bool found = false;
        const auto* v = w->lookup(CounterIndex(k), found, nullptr);
        ASSERT_TRUE(found) << k;
        EXPECT_EQ(v->packets(), k == 4 ? 444u : k);
    }
    w->shrink();  // nothing due any more
    EXPECT_EQ(w->capacity(), 64u);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

// ----- failures of the host: a full file system, refused locks, no mapping or memory left -----

// Runs in a child process with a private mount namespace and a 256 KiB tmpfs as the table root;
// the last steps exhaust the child's mappings and address space for a moment. Returns 0 when
// every check held, 77 when the namespace or the mount is not allowed here, and 1 otherwise;
// `why` tells what happened.
class FullDiskChild {
  public:
    int run() {
        if (::unshare(CLONE_NEWNS) != 0)
            return skip("unshare(CLONE_NEWNS)");
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return skip("making the mounts private");
        }
        char dir[] = "/tmp/vesk-full-disk-XXXXXX";
        if (::mkdtemp(dir) == nullptr)
            return fail(std::string("mkdtemp: ") + std::strerror(errno));
        dir_ = dir;
        if (::mount("tmpfs", dir, "tmpfs", 0, "size=256k,mode=0755") != 0) {
            const int rc = skip("mounting a 256k tmpfs");
            ::rmdir(dir);
            return rc;
        }
        Mem::RootPath::rootIs(dir_);
        int rc = 0;
        try {
            for (auto step : {&FullDiskChild::slotGrowthFails, &FullDiskChild::bucketGrowthFails,
                              &FullDiskChild::failedStartReleasesTheTable,
                              &FullDiskChild::lockRefusalsNameTheirReason,
                              &FullDiskChild::failedBucketShrinkDetaches,
                              &FullDiskChild::validatorWithoutMemory}) {
                if (rc == 0)
                    rc = (this->*step)();
            }
        } catch (const std::exception& e) {
            rc = fail(std::string("unexpected exception: ") + e.what());
        }
        ::umount2(dir, MNT_DETACH);
        ::rmdir(dir);
        return rc;
    }
    std::string why;

  private:
    int skip(const char* what) {
        why = std::string(what) + " failed: " + std::strerror(errno) +
              " (needs root or CAP_SYS_ADMIN)";
        return 77;
    }
    int fail(std::string text) {
        why = std::move(text);
        return 1;
    }
    // The message of the Pimbo::Exception that f throws; "" when it throws none.
    template <class F>
    static std::string failure(F&& f) {
        try {
            f();
        } catch (const Pimbo::Exception& e) {
            return e.msg();
        }
        return "";
    }
    static bool contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
#define CHILD_CHECK(cond)                                                              \
    do {                                                                               \
        if (!(cond))                                                                   \
            return fail(std::string("line ") + std::to_string(__LINE__) + ": " #cond); \
    } while (0)

    template <class W>
    bool intact(W& w, uint64_t from, uint64_t to) {
        for (uint64_t k = from; k < to; ++k) {
            bool found = false;
            const auto* v = w.lookup(CounterIndex(k), found, nullptr);
            if (!found || !(*v == SimpleRecords::make(k, k)))
                return false;
        }
        return true;
    }
    uint64_t freePages() {
        struct statvfs s;
        if (::statvfs(dir_.c_str(), &s) != 0)
            return 0;
        return uint64_t(s.f_bavail) * s.f_bsize / 4096;
    }

    // The slot array cannot double: the insert that needs it fails cleanly and the table stays
    // as it was.
    int slotGrowthFails() {
        auto w = attachedWriter<SimpleOps>(Vesk::MapDescriptor(1u << 20), kCinder, "t/a");
        std::string message;
        uint64_t k = 0;
        try {
            for (; k < 100000; ++k)
                w->write(SimpleRecords::make(k, k), true);
        } catch (const Pimbo::MemoryResourceException& e) {
            message = e.msg();
        }
        CHILD_CHECK(!message.empty());
        CHILD_CHECK(message.rfind("failed to resize " + slotsPath(*w), 0) == 0);
        CHILD_CHECK(message.find("No space left on device") != std::string::npos);
        CHILD_CHECK(w->capacity() == k);
        CHILD_CHECK(w->members() == k);
        CHILD_CHECK(!w->slotTable().header()->criticalSection());
        CHILD_CHECK(RawTable::of(*w).runtimeFlags() == 0);
        CHILD_CHECK(w->validate(kCinder, false));
        CHILD_CHECK(intact(*w, 0, k));
        // Still usable: a freed slot is reused, and the next grow fails the same way.
        SimpleRecords::Value removed;
        CHILD_CHECK(w->remove(CounterIndex(0), removed));
        w->write(SimpleRecords::make(0, 0), true);
        bool again = false;
        try {
            w->write(SimpleRecords::make(k, k), true);
        } catch (const Pimbo::MemoryResourceException&) {
            again = true;
        }
        CHILD_CHECK(again);
        CHILD_CHECK(RawTable::of(*w).runtimeFlags() == 0);
        CHILD_CHECK(w->validate(kCinder, false));
        CHILD_CHECK(intact(*w, 0, k));
        const std::string slots = slotsPath(*w);
        const std::string buckets = bucketsPath(*w);
        w.reset();
        ::unlink(slots.c_str());
        ::unlink(buckets.c_str());
        return 0;
    }

    // The slots grow but the buckets cannot double: the insert still succeeds, the buckets keep
    // their count, and they double at a later insert once there is room.
    int bucketGrowthFails() {
        TraceCapture traces;
        auto w = attachedWriter<SimpleOps>(Vesk::MapDescriptor(1u << 20), kCinder, "t/b");
        for (uint64_t k = 0; k < 256; ++k)
            w->write(SimpleRecords::make(k, k), true);
        CHILD_CHECK(w->capacity() == 256 && w->buckets() == 256);
        // Leave exactly the three pages that 512 slots need beyond 256; the bucket file needs a
        // fourth to double.
        const std::string filler = dir_ + "/filler";
        const int fd = ::open(filler.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        CHILD_CHECK(fd >= 0);
        const uint64_t pages = freePages();
        CHILD_CHECK(pages > 3);
        CHILD_CHECK(::posix_fallocate(fd, 0, off_t((pages - 3) * 4096)) == 0);
        ::close(fd);
        CHILD_CHECK(freePages() == 3);
        w->write(SimpleRecords::make(256, 256), true);
        CHILD_CHECK(w->capacity() == 512);
        CHILD_CHECK(w->buckets() == 256);
        CHILD_CHECK(RawTable::of(*w).numBuckets() == 256);
        bool traced = false;
        for (const auto& r : traces.records()) {
            traced |= r.level == 0 && r.message.rfind("t/b: cannot grow buckets: ", 0) == 0;
        }
        CHILD_CHECK(traced);
        CHILD_CHECK(RawTable::of(*w).runtimeFlags() == 0);
        CHILD_CHECK(w->validate(kCinder, false));
        CHILD_CHECK(intact(*w, 0, 257));
        ::unlink(filler.c_str());
        w->write(SimpleRecords::make(257, 257), true);
        CHILD_CHECK(w->buckets() == 512);
        CHILD_CHECK(w->validate(kCinder, false));
        CHILD_CHECK(intact(*w, 0, 258));
        std::vector<RawSlot> chain;
        CHILD_CHECK(RawTable::of(*w).walkChains(chain).empty() && chain.size() == 258);
        return 0;
    }

    // Regression: a start that failed after taking the writer lock (here the owner file cannot
    // be written) kept the lock, and the next writer was told that a live writer owned the table.
    int failedStartReleasesTheTable() {
        const std::string filler = dir_ + "/filler";
        const int fd = ::open(filler.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        CHILD_CHECK(fd >= 0 && ::posix_fallocate(fd, 0, off_t(freePages() * 4096)) == 0);
        ::close(fd);
        auto first = makeWriter<SimpleOps>(Vesk::MapDescriptor(1000), "t/c");
        CHILD_CHECK(contains(failure([&] { first->initialize("full"); }), "No space left"));
        ::unlink(filler.c_str());
        auto next = makeWriter<SimpleOps>(Vesk::MapDescriptor(1000), "t/c");
        CHILD_CHECK(failure([&] { next->initialize("next"); }).empty());
        return 0;
    }

    // Regression: a writer lock that could not be created for a reason of the host was reported
    // as held by another live writer.
    int lockRefusalsNameTheirReason() {
        struct Case {
            const char* name;
            const char* options;
            unsigned long remount;
            const char* reason;
        };
        for (const Case& c :
             {Case{"ro", "size=64k,mode=0755", MS_RDONLY, "Read-only file system"},
              Case{"ni", "size=64k,mode=0755,nr_inodes=2", 0, "No space left on device"}}) {
            const std::string mnt = dir_ + "/" + c.name;
            CHILD_CHECK(::mkdir(mnt.c_str(), 0755) == 0);
            CHILD_CHECK(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, c.options) == 0);
            CHILD_CHECK(::mkdir((mnt + "/t").c_str(), 0755) == 0);
            CHILD_CHECK(c.remount == 0 || ::mount(nullptr, mnt.c_str(), nullptr,
                                                  MS_REMOUNT | c.remount, nullptr) == 0);
            auto w = makeWriter<SimpleOps>(Vesk::MapDescriptor(1000), std::string(c.name) + "/t");
            const std::string text = failure([&] { w->initialize("refused"); });
            ::umount2(mnt.c_str(), MNT_DETACH);
            if (!contains(text, "cannot be taken by this writer") || !contains(text, c.reason) ||
                contains(text, "live writer")) {
                return fail(std::string(c.reason) + " reported as: " + text);
            }
        }
        return 0;
    }

    // Regression: a bucket shrink whose re-map failed after the halved count was published went
    // on with the old count. The writer gives the table up instead; readers keep a whole table.
    int failedBucketShrinkDetaches() {
        Vesk::MapDescriptor d(1u << 20);
        d.shrinkBuckets = 1;
        auto w = attachedWriter<SimpleOps>(d, kCinder, "t/m");
        for (uint64_t k = 0; k <= 1024; ++k)
            w->write(SimpleRecords::make(k, k), true);
        SimpleRecords::Value removed;
        for (uint64_t k = 1024; k >= 512; --k)
            CHILD_CHECK(w->remove(CounterIndex(k), removed));
        CHILD_CHECK(w->buckets() == 2048);
        const std::string slots = slotsPath(*w);
        const std::string buckets = bucketsPath(*w);
        // Every new mapping fails: the process has as many as it may have.
        const size_t pages = 1u << 17;
        char* range = static_cast<char*>(::mmap(
            nullptr, pages * 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        CHILD_CHECK(range != MAP_FAILED);
        size_t split = 0;
        while (split < pages && ::mprotect(range + split * 4096, 4096, PROT_READ) == 0)
            split += 2;
        const std::string text = failure([&] { w->remove(CounterIndex(511), removed); });
        ::munmap(range, pages * 4096);
        CHILD_CHECK(split < pages);
        CHILD_CHECK(contains(text, "t/m detached: its buckets could not shrink from 2048 to 1024"));
        bool found = false;
        CHILD_CHECK(
            contains(failure([&] { w->lookup(CounterIndex(1), found, nullptr); }), "not attached"));
        RawTable after{readFile(slots), readFile(buckets), 40, 616};
        std::vector<RawSlot> chain;
        CHILD_CHECK(after.walkChains(chain).empty() && chain.size() == 511);
        CHILD_CHECK(after.numBuckets() == 1024 && after.runtimeFlags() == 1);
        return 0;
    }

    // Regression: validate() threw when the validator's own marks could not be allocated.
    int validatorWithoutMemory() {
        auto w = attachedWriter<SimpleOps>(Vesk::MapDescriptor(1000), kCinder, "t/v");
        std::vector<char>(100000).swap(heapRoom_);  // freed below: room for small allocations
        struct rlimit saved;
        CHILD_CHECK(::getrlimit(RLIMIT_AS, &saved) == 0);
        // No mapping beyond what the process has now.
        std::ifstream statm("/proc/self/statm");
        uint64_t vmPages = 0;
        statm >> vmPages;
        struct rlimit tight = saved;
        tight.rlim_cur = vmPages * 4096;
        std::vector<char>().swap(heapRoom_);
        CHILD_CHECK(::setrlimit(RLIMIT_AS, &tight) == 0);
        bool ok = true;
        std::string text;
        try {
            ok = w->validate(kCinder, false);
        } catch (const std::exception& e) {
            text = e.what();
        }
        ::setrlimit(RLIMIT_AS, &saved);
        CHILD_CHECK(text.empty() && !ok);
        CHILD_CHECK(contains(w->lastValidationFailure(), "cannot validate 64 slots"));
        return 0;
    }
#undef CHILD_CHECK

    std::string dir_;
    std::vector<char> heapRoom_;
};

TEST(VeskWriterHostFailureTest, EachFailureKeepsOrReleasesTheTableAndSaysWhy) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(pipeFds[0]);
        FullDiskChild child;
        const int rc = child.run();
        const ssize_t ignored = ::write(pipeFds[1], child.why.data(), child.why.size());
        (void)ignored;
        ::_exit(rc);
    }
    ::close(pipeFds[1]);
    std::string why;
    char buf[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof(buf))) > 0;)
        why.append(buf, size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(WIFSIGNALED(status)) << "the child died of signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private tmpfs here: " << why;
    EXPECT_EQ(WEXITSTATUS(status), 0) << why;
}

}  // namespace
