// Damaged tables: every inconsistency a crashed or buggy writer can leave in the files is found
// by the full validation with a reason naming it, and no walk of the writer (lookup, write,
// remove, iteration, bucket resizes, slot shrinking) follows a loop or a wild id: each throws
// Pimbo::CorruptionDetectedException instead.
//
// Damage is done the way it happens: through the writer's own mapping or by writing the file
// with pwrite while the writer has it mapped.
#include "WriterTestUtil.h"

#include "Pimbo/Exception.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace VeskTest;
using Ops = CounterEntrySimpleOps;
using Writer = Vesk::VeskWriter<Ops>;
using Value = CounterEntrySimple;
using R = Records<Ops>;

class WriterCorruptionTest : public ::testing::Test {
  protected:
    void SetUp() override { w_ = attachedWriter<Ops>(descriptor()); }
    virtual Vesk::MapDescriptor descriptor() const { return Vesk::MapDescriptor(100000); }

    void put(uint64_t k) { w_->write(R::make(k, k), true); }
    // validate(cinderId, false) must fail; returns its reason.
    // validate(cinderId, false) must fail without throwing and leave no validator attached;
    // returns its reason.
    std::string failure() {
        bool ok = true;
        EXPECT_NO_THROW(ok = w_->validate(kCinder, false));
        EXPECT_FALSE(ok) << "damage not found";
        EXPECT_EQ(w_->hashMap().validator(), nullptr);
        EXPECT_EQ(w_->notificationWriter().validator(), nullptr);
        return w_->lastValidationFailure();
    }
    // Keys whose hash falls into bucket b of n, in ascending (rhash, key) order.
    std::vector<uint64_t> sortedKeys(uint32_t b, uint32_t n, size_t count, uint64_t from = 1) {
        std::vector<uint64_t> keys = keysInBucket(*w_, b, n, count, from);
        std::sort(keys.begin(), keys.end(), [&](uint64_t x, uint64_t y) {
            return rhash(x) < rhash(y) || (rhash(x) == rhash(y) && x < y);
        });
        return keys;
    }
    uint32_t rhash(uint64_t k) const { return Pimbo::Util::reverse(w_->hashKeyValue(k)); }
    // A key of bucket b (of n) that sorts after every key in `keys`.
    uint64_t keyAfter(uint32_t b, uint32_t n, const std::vector<uint64_t>& keys) {
        uint32_t top = 0;
        for (uint64_t k : keys)
            top = std::max(top, rhash(k));
        for (uint64_t k = 1000000;; ++k) {
            if (w_->hashKeyValue(k) % n == b && rhash(k) > top)
                return k;
        }
    }
    template <class F>
    std::string corruption(F&& f) {
        try {
            f();
        } catch (const Pimbo::CorruptionDetectedException& e) {
            return e.msg();
        }
        ADD_FAILURE() << "no CorruptionDetectedException";
        return "";
    }

    TestRoot root_;
    TraceCapture quiet_;  // the level-0 failure traces of the damaged tables
    std::unique_ptr<Writer> w_;
};

TEST_F(WriterCorruptionTest, SoundTableValidates) {
    for (uint64_t k = 0; k < 50; ++k)
        put(k);
    EXPECT_TRUE(w_->validate(kCinder, false)) << w_->lastValidationFailure();
    EXPECT_TRUE(w_->validate(Plinth::CinderId(), false)) << w_->lastValidationFailure();
}

TEST_F(WriterCorruptionTest, LoopingChain) {
    // Three keys that share bucket 0 even after the buckets double to 4.
    const auto keys = sortedKeys(0, 4, 3);
    for (uint64_t k : keys)
        put(k);
    ASSERT_EQ(w_->buckets(), 4u);
    const uint32_t a = slotIdOf(*w_, keys[0]);
    const uint32_t c = slotIdOf(*w_, keys[2]);
    // The last slot of the chain leads back to the first.
    pwriteValue<uint32_t>(slotsPath(*w_), slotOffset<Writer>(c, Off::kLinkNext), a);
    EXPECT_EQ(failure(), fmt::format("duplicate slot: {}", a));

    const std::string cycle = "hash chain cycle detected, slotCount:65 capacity:64";
    const uint64_t after = keyAfter(0, 4, keys);
    bool found = false;
    EXPECT_EQ(corruption([&] { w_->lookup(CounterIndex(after), found, nullptr); }), cycle);
    EXPECT_EQ(corruption([&] { put(after); }), cycle);
    Value removed;
    EXPECT_EQ(corruption([&] { w_->remove(CounterIndex(after), removed); }), cycle);
    EXPECT_EQ(corruption([&] { w_->directUpdate(CounterIndex(after)); }), cycle);
    Value v;
    Vesk::IterHint fresh;
    EXPECT_EQ(corruption([&] { w_->next(CounterIndex(keys[2]), v, fresh); }), cycle);
}

// An iteration over a looping chain must end in an exception, not return the same records
// again and again: a following slot that does not sort after the current one is never taken.
TEST_F(WriterCorruptionTest, IterationOverALoopingChainEnds) {
    const auto keys = sortedKeys(0, 4, 3);
    for (uint64_t k : keys)
        put(k);
    ASSERT_EQ(w_->buckets(), 4u);
    Vesk::publishLink(linkOf(*w_, slotIdOf(*w_, keys[2])), slotIdOf(*w_, keys[0]));
    EXPECT_EQ(corruption([&] { iterateAll(*w_); }),
              "hash chain cycle detected, slotCount:65 capacity:64");
}

TEST_F(WriterCorruptionTest, SelfLinkedSlot) {
    const auto keys = sortedKeys(1, 2, 2);
    for (uint64_t k : keys)
        put(k);
    const uint32_t b = slotIdOf(*w_, keys[1]);
    Vesk::publishLink(linkOf(*w_, b), b);
    EXPECT_EQ(failure(), fmt::format("duplicate slot: {}", b));
    bool found = false;
    EXPECT_EQ(corruption([&] { w_->lookup(CounterIndex(keyAfter(1, 2, keys)), found, nullptr); }),
              "hash chain cycle detected, slotCount:65 capacity:64");
}

TEST_F(WriterCorruptionTest, LoopInTheFreeList) {
    for (uint64_t k = 0; k < 3; ++k)
        put(k);  // slots 0, 1, 2; free list 3 .. 63
    pwriteValue<uint32_t>(slotsPath(*w_), slotOffset<Writer>(10, Off::kLinkNext), 5);
    EXPECT_EQ(failure(), "duplicate freeSlot detected: 5");
    // Allocation follows the list until it meets a slot it already handed out.
    EXPECT_EQ(corruption([&] {
                  for (uint64_t k = 100; k < 200; ++k)
                      put(k);
              }),
              "free slot 5 of t/counter is marked as occupied");
}

TEST_F(WriterCorruptionTest, FreeListIdEqualToNumSlots) {
    pwriteValue<uint32_t>(slotsPath(*w_), slotOffset<Writer>(63, Off::kLinkNext), 64);
    EXPECT_EQ(failure(), "corrupted free slot detected with out of bound index: 64");
    EXPECT_EQ(corruption([&] {
                  for (uint64_t k = 0; k < 100; ++k)
                      put(k);
              }),
              "out-of-range index: 64 max:63");
}

TEST_F(WriterCorruptionTest, FreeSlotMarkedOccupied) {
    put(1);
    Vesk::setFlags(slotOf(*w_, 7), 5);
    EXPECT_EQ(failure(), "corrupted free slot not marked as empty: 7");
}

TEST_F(WriterCorruptionTest, OccupiedSlotsOffByOne) {
    for (uint64_t k = 0; k < 3; ++k)
        put(k);
    pwriteValue<uint32_t>(slotsPath(*w_), Off::kOccupied, 4);
    EXPECT_EQ(failure(), "mismatch header->occupiedSlots:4 count:3");
    pwriteValue<uint32_t>(slotsPath(*w_), Off::kOccupied, 2);
    EXPECT_EQ(failure(), "walkedSlots:3 is greater than header->occupiedSlots:2");
    // Too high: when the free list runs dry the counts disagree and the array does not grow.
    pwriteValue<uint32_t>(slotsPath(*w_), Off::kOccupied, 4);
    EXPECT_EQ(corruption([&] {
                  for (uint64_t k = 3; k < 100; ++k)
                      put(k);
              }),
              "the slot table is full but numSlots: 0x0:64 and occupiedSlots: 65 are not equal");
    EXPECT_EQ(w_->capacity(), 64u);
}

TEST_F(WriterCorruptionTest, CriticalSectionBitLeftSet) {
    for (uint64_t k = 0; k < 3; ++k)
        put(k);
    pwriteValue<uint16_t>(slotsPath(*w_), Off::kRuntimeFlags, 1);
    EXPECT_EQ(failure(), "bad critical section runtimeFlags:1");
}

TEST_F(WriterCorruptionTest, StuckLookasideBit) {
    for (uint64_t k = 0; k < 20; ++k)
        put(k);
    const std::vector<Value> order = iterateAll(*w_);
    ASSERT_EQ(order.size(), 20u);
    // On the first record of the table, and on one in the middle (reached from its predecessor).
    for (size_t i : {size_t(0), size_t(11)}) {
        SCOPED_TRACE(i);
        char* slot = slotOf(*w_, slotIdOf(*w_, order[i].key().value()));
        const uint32_t flags = Vesk::loadFlags(slot);
        Vesk::setFlags(slot, flags | Vesk::LOOKASIDE);
        EXPECT_EQ(failure(), fmt::format("stuck LOOKASIDE bit: {:#x}", flags | Vesk::LOOKASIDE));
        Vesk::setFlags(slot, flags);
        EXPECT_TRUE(w_->validate(kCinder, false)) << w_->lastValidationFailure();
    }
}

TEST_F(WriterCorruptionTest, HeaderOfAnotherRecordType) {
    for (uint64_t k = 0; k < 3; ++k)
        put(k);
    auto wide = attachedWriter<CounterEntryWideOps>(Vesk::MapDescriptor(100000), kCinder, "t/wide");
    const std::vector<unsigned char> other = readFile(slotsPath(*wide));
    pwriteAt(slotsPath(*w_), 0, other.data(), 576);
    EXPECT_EQ(failure(),
              "bad valueType:DravoCounters::FlexCounters2::CounterEntryWide "
              "expecting:DravoCounters::FlexCounters2::CounterEntrySimple");
}

TEST_F(WriterCorruptionTest, BucketNamingAWrongSuccessor) {
    // Four buckets in the order 0, 2, 1, 3; two records live in bucket 1, one in bucket 3.
    for (uint64_t k : sortedKeys(1, 4, 2))
        put(k);
    put(keysInBucket(*w_, 3, 4, 1)[0]);
    ASSERT_EQ(w_->buckets(), 4u);
    ASSERT_EQ(RawTable::of(*w_).bucketNext(0), kMarker | 2);
    // The empty bucket 0 skips bucket 2.
    pwriteValue<uint32_t>(bucketsPath(*w_), Off::kBuckets + 4, kMarker | 1);
    EXPECT_EQ(failure(), "has bucket: 0 with next bucket: 1 and numBuckets: 4");
    Value v;
    Vesk::IterHint hint;
    EXPECT_EQ(corruption([&] { w_->first(v, hint); }),
              "has bucket: 0 with next bucket: 1 and numBuckets: 4");
    pwriteValue<uint32_t>(bucketsPath(*w_), Off::kBuckets + 4, kMarker | 2);
    EXPECT_TRUE(w_->validate(kCinder, false)) << w_->lastValidationFailure();

    // The last slot of bucket 1 names bucket 2 instead of 3; it is met from its predecessor.
    std::vector<RawSlot> chain;
    ASSERT_EQ(RawTable::of(*w_).walkChains(chain), "");
    uint32_t last = kEnd;
    for (const RawSlot& s : chain) {
        if (s.next == (kMarker | 3))
            last = s.id;
    }
    ASSERT_NE(last, kEnd);
    pwriteValue<uint32_t>(slotsPath(*w_), slotOffset<Writer>(last, Off::kLinkNext), kMarker | 2);
    EXPECT_EQ(failure(), "has bucket: 1 with next bucket: 2 and numBuckets: 4");
    EXPECT_EQ(corruption([&] { iterateAll(*w_); }),
              "has bucket: 1 with next bucket: 2 and numBuckets: 4");
}

TEST_F(WriterCorruptionTest, BucketHopsThatCycle) {
    for (uint64_t k = 0; k < 3; ++k)
        put(k);
    Value removed;
    for (uint64_t k = 0; k < 3; ++k)
        ASSERT_TRUE(w_->remove(CounterIndex(k), removed));
    ASSERT_EQ(w_->buckets(), 4u);  // this table does not shrink its buckets
    // The last bucket in order continues with bucket 0 instead of ending the table.
    pwriteValue<uint32_t>(bucketsPath(*w_), Off::kBuckets + 3 * 8 + 4, kMarker | 0);
    const std::string cycle = "has bucket cycle detected, bucketCount: 4 numBuckets: 4";
    EXPECT_EQ(failure(), cycle);
    Value v;
    Vesk::IterHint hint;
    EXPECT_EQ(corruption([&] { w_->first(v, hint); }), cycle);
}

TEST_F(WriterCorruptionTest, TableEndingBeforeTheLastBucket) {
    const auto keys = sortedKeys(0, 2, 2);
    for (uint64_t k : keys)
        put(k);
    const uint32_t last = slotIdOf(*w_, keys[1]);
    pwriteValue<uint32_t>(slotsPath(*w_), slotOffset<Writer>(last, Off::kLinkNext), kEnd);
    EXPECT_EQ(failure(),
              "thinks we've reached the end of the table, but we're in bucket 0 when there are "
              "numBuckets: 2");
}

TEST_F(WriterCorruptionTest, SlotsThatDoNotBelongWhereTheyAreLinked) {
    const auto keys = sortedKeys(0, 2, 2);
    for (uint64_t k : keys)
        put(k);
    const uint32_t first = slotIdOf(*w_, keys[0]);
    char* slot = slotOf(*w_, first);
    // A wrong rhash.
    const uint32_t r = Vesk::loadRhash(slot);
    Vesk::setRhash(slot, r ^ 1);
    EXPECT_EQ(failure(),
              fmt::format("corrupt rhash detected, slotId: {} slot.rhash:{:08x} rhash:{:08x}",
                          first, r ^ 1, r));
    Vesk::setRhash(slot, r);
    // A key of the other bucket.
    const uint64_t other = keysInBucket(*w_, 1, 2, 1)[0];
    pwriteValue<uint64_t>(slotsPath(*w_), slotOffset<Writer>(first, Off::kValue), other);
    EXPECT_EQ(failure(), fmt::format("corrupt key detected, slotId: {}", first));
    bool found = false;
    EXPECT_EQ(corruption([&] { w_->lookup(CounterIndex(keys[1]), found, nullptr); }),
              fmt::format("corrupt key detected, slot: {}", first));
    pwriteValue<uint64_t>(slotsPath(*w_), slotOffset<Writer>(first, Off::kValue), keys[0]);
    // A linked slot without OCCUPIED.
    const uint32_t flags = Vesk::loadFlags(slot);
    Vesk::setFlags(slot, flags & ~Vesk::OCCUPIED);
    EXPECT_EQ(failure(), fmt::format("slotId: {} from bucket: 0 not marked as occupied", first));
    EXPECT_EQ(corruption([&] { w_->lookup(CounterIndex(keys[1]), found, nullptr); }),
              fmt::format("slotId: {} not marked as occupied", first));
    Vesk::setFlags(slot, flags);
    EXPECT_TRUE(w_->validate(kCinder, false)) << w_->lastValidationFailure();
    // A link to a slot beyond the array.
    pwriteValue<uint32_t>(bucketsPath(*w_), Off::kBuckets + 4, 64);
    EXPECT_EQ(failure(), "out-of-range index: 64 max:63");
    EXPECT_EQ(corruption([&] { w_->lookup(CounterIndex(keys[1]), found, nullptr); }),
              "out-of-range index: 64 max:63");
}

// Bucket resizes and the slot shrink walk chains and the free list too; they are bounded.
class WriterCorruptionShrinkingTest : public WriterCorruptionTest {
  protected:
    Vesk::MapDescriptor descriptor() const override { return shrinkingDescriptor(100000); }
};

TEST_F(WriterCorruptionShrinkingTest, BucketGrowOverALoopingChainThrows) {
    // a and b stay in bucket 0 when the buckets double from 4 to 8.
    const auto loop = sortedKeys(0, 8, 2);
    for (uint64_t k : loop)
        put(k);
    const auto others = keysInBucket(*w_, 1, 2, 3);
    put(others[0]);
    put(others[1]);
    ASSERT_EQ(w_->buckets(), 4u);
    Vesk::publishLink(linkOf(*w_, slotIdOf(*w_, loop[1])), slotIdOf(*w_, loop[0]));
    // The fifth record makes the buckets double; the split pass meets the loop.
    EXPECT_EQ(corruption([&] { put(others[2]); }),
              "hash chain cycle detected, slotCount:65 capacity:64");
}

TEST_F(WriterCorruptionShrinkingTest, BucketShrinkOverALoopingChainThrows) {
    const uint64_t a = keysInBucket(*w_, 0, 8, 1)[0];
    const auto others = keysInBucket(*w_, 1, 2, 4);
    put(a);
    for (uint64_t k : others)
        put(k);
    ASSERT_EQ(w_->buckets(), 8u);
    Value removed;
    for (int i = 1; i < 4; ++i)
        ASSERT_TRUE(w_->remove(CounterIndex(others[i]), removed));
    ASSERT_EQ(w_->buckets(), 8u);
    const uint32_t s = slotIdOf(*w_, a);
    Vesk::publishLink(linkOf(*w_, s), s);
    // One record left, below 8 / 4: the join pass walks bucket 0's chain.
    EXPECT_EQ(corruption([&] { w_->remove(CounterIndex(others[0]), removed); }),
              "hash chain cycle detected, slotCount:65 capacity:64");
}

TEST_F(WriterCorruptionShrinkingTest, SlotShrinkOverALoopingFreeListThrows) {
    for (uint64_t k = 0; k < 65; ++k)
        put(k);
    ASSERT_EQ(w_->capacity(), 128u);
    Value removed;
    for (uint64_t k = 0; k < 33; ++k)
        ASSERT_TRUE(w_->remove(CounterIndex(k), removed));
    ASSERT_EQ(w_->capacity(), 128u);
    // The tail of the free list leads back into it.
    std::vector<uint32_t> free;
    ASSERT_EQ(RawTable::of(*w_).walkFree(free), "");
    ASSERT_GT(free.size(), 10u);
    pwriteValue<uint32_t>(slotsPath(*w_), slotOffset<Writer>(free.back(), Off::kLinkNext), free[5]);
    // 31 records left: the shrink to 64 slots walks the free list first.
    EXPECT_EQ(corruption([&] { w_->remove(CounterIndex(33), removed); }),
              "free-list of t/counter longer than numSlots: 128");
}

}  // namespace
