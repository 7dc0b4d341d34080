// The slot table file: its header (built in a plain buffer and checked field by field), the
// bytes a writer leaves in the "slots" and "buckets" files (read raw at the documented offsets),
// and the slot writer table's growth, shrinking, fixed size and re-attach rules.
#include "WriterTestUtil.h"

#include "Pimbo/Exception.h"
#include "Vesk/SlotTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>

namespace {

using namespace VeskTest;
using Header = Vesk::SlotTableHeader;

// ----- the header, built in a buffer -----

class SlotTableHeaderTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kSlots = 4;
    static constexpr uint32_t kSlotSize = 40;
    static constexpr uint32_t kHeaderSize = 616;
    static constexpr uint64_t kNeeded = kHeaderSize + kSlots * kSlotSize;  // 776

    SlotTableHeaderTest() : buf_((kNeeded + 7) / 8 + 1, 0xABABABABABABABABull) { build(kSlots); }

    void build(uint32_t slots,
               const std::string& name = Records<CounterEntrySimpleOps>::kTypeName) {
        Header::format(buf_.data(), *testHandler(), slots, 100, 0, kCinder, name, 24, 12345);
    }
    Header& h() { return *reinterpret_cast<Header*>(buf_.data()); }
    std::vector<unsigned char> bytes() const {
        const auto* p = reinterpret_cast<const unsigned char*>(buf_.data());
        return std::vector<unsigned char>(p, p + buf_.size() * 8);
    }
    // Validates as the writer does (with the compiled record type) and returns the reason, ""
    // when the header is accepted.
    std::string check(uint64_t fileSize, Plinth::CinderId wanted = kCinder,
                      const char* type = Records<CounterEntrySimpleOps>::kTypeName,
                      uint32_t valueSize = 24) {
        std::string reason;
        const bool ok = h().validate(*testHandler(), fileSize, wanted, reason, type, valueSize);
        EXPECT_EQ(ok, reason.empty()) << reason;
        return ok ? std::string() : reason;
    }

    std::vector<uint64_t> buf_;
};

TEST_F(SlotTableHeaderTest, BuildsEveryFieldAndFreshSlotsOverOldBytes) {
    const auto b = bytes();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data()), 8), "VESK_SLT");
    EXPECT_EQ(rd<uint32_t>(b, Off::kVersion), 23u);
    EXPECT_EQ(rd<uint32_t>(b, Off::kCinder), kCinder.value);
    EXPECT_EQ(rd<uint32_t>(b, Off::kPlatform), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + Off::kValueType),
                 "DravoCounters::FlexCounters2::CounterEntrySimple");
    // The whole name field is zero beyond the terminator (the checksum covers all 512 bytes).
    const size_t nameLen = std::strlen(Records<CounterEntrySimpleOps>::kTypeName);
    for (size_t i = nameLen; i < 512; ++i)
        ASSERT_EQ(b[Off::kValueType + i], 0) << i;
    EXPECT_EQ(rd<uint32_t>(b, Off::kValueSize), 24u);
    EXPECT_EQ(rd<uint32_t>(b, Off::kSlotSize), 40u);
    EXPECT_EQ(rd<uint32_t>(b, Off::kMaxSlots), 100u);
    EXPECT_EQ(rd<uint16_t>(b, Off::kConstFlags), 0u);
    EXPECT_EQ(rd<uint16_t>(b, Off::kRuntimeFlags), 0u);
    EXPECT_EQ(rd<uint32_t>(b, Off::kHash), headerChecksum(b));
    EXPECT_EQ(rd<uint32_t>(b, Off::kOccupied), 0u);
    EXPECT_EQ(rd<uint32_t>(b, Off::kFreeSlots), kEnd);
    EXPECT_EQ(rd<uint32_t>(b, Off::kMostSlots), kSlots);
    EXPECT_EQ(rd<uint32_t>(b, Off::kHashSeed), 12345u);
    EXPECT_EQ(rd<uint32_t>(b, Off::kNumSlotsVersion), 0u);
    EXPECT_EQ(rd<uint32_t>(b, Off::kNumSlots), kSlots);
    // The lookaside slot and every slot are fresh although the buffer held 0xAB bytes.
    for (uint64_t off = Off::kLookaside; off < kNeeded; off += kSlotSize) {
        EXPECT_EQ(rd<uint32_t>(b, off + Off::kLinkVersion), 0u) << off;
        EXPECT_EQ(rd<uint32_t>(b, off + Off::kLinkNext), kEnd) << off;
        EXPECT_EQ(rd<uint32_t>(b, off + Off::kFlags), 0u) << off;
        EXPECT_EQ(rd<uint32_t>(b, off + Off::kRhash), 0u) << off;
        for (uint64_t i = 0; i < 24; ++i)
            ASSERT_EQ(b[off + Off::kValue + i], 0) << off;
    }
    // Nothing beyond the last slot is touched.
    EXPECT_EQ(b[kNeeded], 0xAB);
    EXPECT_EQ(check(kNeeded), "");
}

TEST_F(SlotTableHeaderTest, EachCheckFailsWithItsReasonAndTracesItAtLevelZero) {
    struct Case {
        const char* what;
        std::function<void(Header&)> damage;
        uint64_t fileSize;
        std::function<std::string(const std::vector<unsigned char>&)> reason;
    };
    const auto fixed = [](std::string s) {
        return [s](const std::vector<unsigned char>&) { return s; };
    };
    const std::vector<Case> cases = {
        {"magic", [](Header& x) { x.magic[0] = 'X'; }, kNeeded,
         [](const std::vector<unsigned char>& b) {
             return fmt::format("bad magic: {:x}", rd<uint64_t>(b, 0));
         }},
        {"version", [](Header& x) { x.version = 22; }, kNeeded, fixed("bad version: 22")},
        {"platform", [](Header& x) { x.platform = 2; }, kNeeded,
         fixed("bad platform specification: unknown(2) expecting: little-endian-64")},
        // A byte after the name's terminator is still covered by the checksum.
        {"name tail", [](Header& x) { x.valueType[400] = 1; }, kNeeded,
         [](const std::vector<unsigned char>& b) {
             return fmt::format("checksum fail: {:x} != {:x}", headerChecksum(b),
                                rd<uint32_t>(b, Off::kHash));
         }},
        {"maxSlots", [](Header& x) { x.maxSlots = 101; }, kNeeded,
         [](const std::vector<unsigned char>& b) {
             return fmt::format("checksum fail: {:x} != {:x}", headerChecksum(b),
                                rd<uint32_t>(b, Off::kHash));
         }},
        {"slotSize", [](Header& x) { x.slotSize = 48, x.hash = x.computeChecksum(); }, kNeeded,
         fixed("bad slotSize:48 expecting:40")},
        {"occupied", [](Header& x) { x.occupiedSlots = kSlots + 1; }, kNeeded,
         fixed("bad occupiedSlots: 5 num slots: 0x0:4")},
        {"freeSlots", [](Header& x) { x.freeSlots = kSlots; }, kNeeded,
         fixed("bad freeSlots: 4 slots: 4")},
        {"mostSlots", [](Header& x) { x.mostSlots = kSlots - 1; }, kNeeded,
         fixed("bad mostSlots:3 numSlots:4")},
        {"short header", [](Header&) {}, kHeaderSize - 1,
         fixed("bad header file size: 615 wanted:616")},
        {"huge file", [](Header&) {}, uint64_t(1) << 40, fixed("bad file size:1099511627776")},
        {"short slots", [](Header&) {}, kNeeded - 1,
         fixed("bad shmem size:775 wanted:776 for 4 slots")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build(kSlots);
        c.damage(h());
        TraceCapture traces;
        const std::string expected = c.reason(bytes());
        EXPECT_EQ(check(c.fileSize), expected);
        EXPECT_TRUE(traces.contains(0, "SlotTable::Header", expected));
    }
}

TEST_F(SlotTableHeaderTest, RecordTypeOfTheFileMustBeTheCompiledOne) {
    TraceCapture quiet;
    EXPECT_EQ(check(kNeeded, kCinder, Records<CounterEntryWideOps>::kTypeName, 8),
              "bad valueType:DravoCounters::FlexCounters2::CounterEntrySimple "
              "expecting:DravoCounters::FlexCounters2::CounterEntryWide");
    EXPECT_EQ(check(kNeeded, kCinder, Records<CounterEntrySimpleOps>::kTypeName, 16),
              "bad valueSize:24 expecting:16");
    h().slotSize = 32;
    h().hash = h().computeChecksum();
    EXPECT_EQ(check(kNeeded), "bad slotSize:32 expecting:40");
}

TEST_F(SlotTableHeaderTest, CinderZeroAcceptsAnyOtherIdIsRefused) {
    TraceCapture quiet;
    EXPECT_EQ(check(kNeeded, Plinth::CinderId()), "");
    EXPECT_EQ(check(kNeeded, Plinth::CinderId(8, 1)), "bad cinder:7:1 wanted:8:1");
    EXPECT_EQ(check(kNeeded, Plinth::CinderId(7, 2)), "bad cinder:7:1 wanted:7:2");
}

TEST_F(SlotTableHeaderTest, ChangingFieldsOutsideTheChecksumKeepsItValid) {
    h().criticalSectionIs(true);
    h().occupiedSlots = 3;
    h().freeSlots = 3;
    h().mostSlots = 9;
    h().numSlots = Mem::VersionedRef<uint32_t>{17, kSlots};
    EXPECT_EQ(check(kNeeded), "");
    EXPECT_TRUE(h().criticalSection());
    EXPECT_EQ(rd<uint16_t>(bytes(), Off::kRuntimeFlags), 1u);
}

TEST_F(SlotTableHeaderTest, FileSizesAreSixtyFourBit) {
    TraceCapture quiet;
    // Exactly the needed size passes; a size above 4 GiB must not wrap around to a small one.
    EXPECT_EQ(check(kNeeded), "");
    EXPECT_EQ(check((uint64_t(1) << 32) + kHeaderSize - 1), "");
    EXPECT_EQ(check((uint64_t(1) << 40) - 1), "");
}

TEST_F(SlotTableHeaderTest, EmptyHeaderValidatesAtItsHeaderSize) {
    TraceCapture quiet;
    build(0);
    EXPECT_EQ(check(kHeaderSize), "");
    EXPECT_EQ(check(kHeaderSize - 1), "bad header file size: 615 wanted:616");
}

TEST_F(SlotTableHeaderTest, TypeNameOf511IsStoredAnd512IsRefused) {
    const std::string name511(511, 'n');
    build(kSlots, name511);
    const auto b = bytes();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + Off::kValueType)), name511);
    EXPECT_EQ(b[Off::kValueType + 511], 0);
    EXPECT_EQ(check(kNeeded, kCinder, name511.c_str(), 24), "");

    const std::string name512(512, 'n');
    const auto formatted = bytes();
    try {
        build(kSlots, name512);
        FAIL() << "a 512-character name was accepted";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_EQ(e.msg(), "value typename " + name512 + " exceeds 512 characters");
    }
    EXPECT_EQ(bytes(), formatted) << "the refused format stored into the file";
}

TEST_F(SlotTableHeaderTest, TextForm) {
    h().occupiedSlots = 2;
    h().freeSlots = 1;
    h().runtimeFlags = 1;
    h().numSlots = Mem::VersionedRef<uint32_t>{3, 4};
    EXPECT_EQ(h().toString(),
              fmt::format("magic:0x544c535f4b534556 version:23 cinder:7:1 platform:1 "
                          "valueType:\"DravoCounters::FlexCounters2::CounterEntrySimple\" "
                          "valueSize:24 slotSize:40 maxSlots:100 constFlags:0x0 runtimeFlags:0x1 "
                          "hash:{:#x} occupiedSlots:2 freeSlots:1 mostSlots:4 hashSeed:12345 "
                          "numSlots:0x3:4",
                          h().hash));
}

// ----- the files a writer leaves, read raw -----

template <class Ops>
class SlotTableFileTest : public ::testing::Test {
  protected:
    using R = Records<Ops>;
    using Writer = Vesk::VeskWriter<Ops>;
    using Value = typename Ops::Value;

    static std::vector<unsigned char> bytesOf(const Value& v) {
        const auto* p = reinterpret_cast<const unsigned char*>(&v);
        return std::vector<unsigned char>(p, p + sizeof(v));
    }

    TestRoot root_;
};
TYPED_TEST_SUITE(SlotTableFileTest, AllOps, OpsNames);

TYPED_TEST(SlotTableFileTest, NewFilesHaveTheDocumentedLayout) {
    using R = typename TestFixture::R;
    auto w = makeWriter<TypeParam>(Vesk::MapDescriptor(1000));
    EXPECT_TRUE(w->attach(kCinder));  // both files new
    EXPECT_EQ(w->capacity(), R::kPageSlots);
    const RawTable t = RawTable::of(*w);
    const auto& s = t.slots;
    EXPECT_EQ(s.size(), R::kHeaderSize + uint64_t(R::kPageSlots) * R::kSlotSize);
    EXPECT_LE(s.size(), 4096u);  // the initial capacity fills one page
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data()), 8), "VESK_SLT");
    EXPECT_EQ(rd<uint32_t>(s, Off::kVersion), 23u);
    EXPECT_EQ(rd<uint32_t>(s, Off::kCinder), kCinder.value);
    EXPECT_EQ(rd<uint32_t>(s, Off::kPlatform), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(s.data() + Off::kValueType), R::kTypeName);
    EXPECT_EQ(rd<uint32_t>(s, Off::kValueSize), R::kValueSize);
    EXPECT_EQ(rd<uint32_t>(s, Off::kSlotSize), R::kSlotSize);
    EXPECT_EQ(t.headerSize, R::kHeaderSize);
    EXPECT_EQ(rd<uint32_t>(s, Off::kMaxSlots), 1000u);
    EXPECT_EQ(rd<uint16_t>(s, Off::kConstFlags), 0u);
    EXPECT_EQ(t.runtimeFlags(), 0u);
    EXPECT_EQ(rd<uint32_t>(s, Off::kHash), headerChecksum(s));
    EXPECT_EQ(t.occupied(), 0u);
    EXPECT_EQ(t.freeHead(), 0u);
    EXPECT_EQ(rd<uint32_t>(s, Off::kMostSlots), R::kPageSlots);
    EXPECT_EQ(t.numSlotsVersion(), 0u);
    EXPECT_EQ(t.numSlots(), R::kPageSlots);
    // The writer hashes with the seed the file holds.
    for (uint64_t k : {0ull, 1ull, 0xFFFFFFFFFFFFFFFFull}) {
        EXPECT_EQ(w->hashKeyValue(k), Orlo::hashSingleAttr(t.seed(), k));
    }
    // Free list 0, 1, 2, ... numSlots - 1, each link stored once.
    for (uint32_t i = 0; i < R::kPageSlots; ++i) {
        const RawSlot sl = t.slot(i);
        EXPECT_EQ(sl.next, i + 1 == R::kPageSlots ? kEnd : i + 1) << i;
        EXPECT_EQ(sl.version, 4u) << i;
        EXPECT_EQ(sl.flags, 0u) << i;
        EXPECT_EQ(sl.rhash, 0u) << i;
    }
    EXPECT_EQ(t.lookaside().next, kEnd);
    EXPECT_EQ(t.lookaside().flags, 0u);

    const auto& b = t.buckets;
    ASSERT_EQ(b.size(), 24u + 2 * 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data()), 8), "VESK_BKT");
    EXPECT_EQ(rd<uint32_t>(b, Off::kBucketVersion), 1u);
    EXPECT_EQ(rd<uint32_t>(b, Off::kBucketCinder), kCinder.value);
    EXPECT_EQ(rd<uint32_t>(b, Off::kNumBucketsVersion), 0u);
    EXPECT_EQ(t.numBuckets(), 2u);
    // Two empty buckets: 0 continues with 1, 1 ends the table.
    EXPECT_EQ(t.bucketNext(0), kMarker | 1);
    EXPECT_EQ(t.bucketNext(1), kEnd);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

TYPED_TEST(SlotTableFileTest, FirstRecordLandsInSlotZeroAndOverwriteUsesTheLookaside) {
    using R = typename TestFixture::R;
    auto w = attachedWriter<TypeParam>(Vesk::MapDescriptor(1000));
    const auto first = R::make(0x8000000000000001ull, 11);
    const uint32_t bucket = w->hashKeyValue(first.key().value()) % 2;
    const uint32_t bucketVersion = RawTable::of(*w).bucketVersion(bucket);
    w->write(first, true);
    RawTable t = RawTable::of(*w);
    RawSlot s0 = t.slot(0);
    const uint32_t hash = t.hashOf(first.key().value());
    EXPECT_EQ(s0.key, first.key().value());
    EXPECT_EQ(rd<uint64_t>(t.slots, R::kHeaderSize + 16), first.key().value());
    EXPECT_EQ(s0.value, TestFixture::bytesOf(first));
    EXPECT_EQ(s0.flags, 5u);  // + 2 before the copy, + 2 and OCCUPIED after it
    EXPECT_EQ(s0.rhash, reverse32(hash));
    EXPECT_EQ(s0.version, 8u);  // pushed on the free list, then linked to its successor
    EXPECT_EQ(s0.next, bucket == 0 ? (kMarker | 1) : kEnd);
    EXPECT_EQ(t.bucketNext(bucket), 0u);
    EXPECT_EQ(t.bucketVersion(bucket), bucketVersion + 4);
    EXPECT_EQ(t.occupied(), 1u);
    EXPECT_EQ(t.freeHead(), 1u);
    EXPECT_EQ(t.runtimeFlags(), 0u);

    // Overwrite in place: flags + 4 with LOOKASIDE clear; the lookaside slot keeps the same rhash
    // and the complete new record.
    const auto second = R::make(first.key().value(), 99);
    const auto* stored = w->write(second, true);
    EXPECT_EQ(TestFixture::bytesOf(*stored), TestFixture::bytesOf(second));
    t = RawTable::of(*w);
    s0 = t.slot(0);
    EXPECT_EQ(s0.flags, 9u);
    EXPECT_EQ(s0.flags & 2u, 0u);
    EXPECT_EQ(s0.value, TestFixture::bytesOf(second));
    EXPECT_EQ(s0.version, 8u);  // an overwrite relinks nothing
    EXPECT_EQ(t.lookaside().rhash, s0.rhash);
    EXPECT_EQ(t.lookaside().value, TestFixture::bytesOf(second));
    EXPECT_EQ(t.occupied(), 1u);

    // overwrite false returns the stored record and changes nothing.
    const auto third = R::make(first.key().value(), 1234);
    stored = w->write(third, false);
    EXPECT_EQ(TestFixture::bytesOf(*stored), TestFixture::bytesOf(second));
    EXPECT_EQ(RawTable::of(*w).slot(0).flags, 9u);
}

TYPED_TEST(SlotTableFileTest, ChainsAreSortedAndFollowEachOtherInBitReversedOrder) {
    using R = typename TestFixture::R;
    auto w = attachedWriter<TypeParam>(shrinkingDescriptor(100000));
    std::mt19937_64 rng(42);
    std::map<uint64_t, std::vector<unsigned char>> model;
    // Keys over the whole 64-bit range, so that the unsigned key order of ties matters.
    while (model.size() < 3000) {
        const uint64_t k = rng();
        const auto v = R::make(k, rng());
        w->write(v, true);
        model[k] = TestFixture::bytesOf(v);
    }
    auto checkFiles = [&](const char* when) {
        SCOPED_TRACE(when);
        const RawTable t = RawTable::of(*w);
        EXPECT_EQ(t.numBuckets(), w->buckets());
        std::vector<RawSlot> chain;
        ASSERT_EQ(t.walkChains(chain), "");
        ASSERT_EQ(chain.size(), model.size());
        EXPECT_EQ(t.occupied(), model.size());
        std::set<uint32_t> ids;
        for (const RawSlot& s : chain) {
            ASSERT_TRUE(ids.insert(s.id).second) << "slot " << s.id << " twice";
            auto it = model.find(s.key);
            ASSERT_NE(it, model.end()) << s.key;
            EXPECT_EQ(s.value, it->second);
        }
        std::vector<uint32_t> free;
        ASSERT_EQ(t.walkFree(free), "");
        EXPECT_EQ(free.size() + chain.size(), t.numSlots());
        for (uint32_t id : free)
            EXPECT_EQ(ids.count(id), 0u) << id;
    };
    EXPECT_EQ(w->buckets(), 4096u);
    checkFiles("after 3000 inserts");
    // Remove all but 100: buckets halve down and the slot array shrinks.
    std::vector<uint64_t> keys;
    for (const auto& [k, v] : model)
        keys.push_back(k);
    std::shuffle(keys.begin(), keys.end(), rng);
    for (size_t i = 100; i < keys.size(); ++i) {
        typename TestFixture::Value removed;
        ASSERT_TRUE(w->remove(CounterIndex(keys[i]), removed));
        model.erase(keys[i]);
    }
    EXPECT_LT(w->buckets(), 512u);
    EXPECT_LT(w->capacity(), 1024u);
    checkFiles("after removing all but 100");
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

// ----- the slot writer table -----

using SimpleWriter = Vesk::VeskWriter<CounterEntrySimpleOps>;
using SimpleRecords = Records<CounterEntrySimpleOps>;

class SlotWriterTableTest : public ::testing::Test {
  protected:
    static void fill(SimpleWriter& w, uint64_t from, uint64_t to) {
        for (uint64_t k = from; k < to; ++k)
            w.write(SimpleRecords::make(k, k), true);
    }
    static void expectAll(SimpleWriter& w, uint64_t from, uint64_t to) {
        for (uint64_t k = from; k < to; ++k) {
            bool found = false;
            const auto* v = w.lookup(CounterIndex(k), found, nullptr);
            ASSERT_TRUE(found) << k;
            ASSERT_EQ(*v, SimpleRecords::make(k, k));
        }
    }
    TestRoot root_;
};

TEST_F(SlotWriterTableTest, GrowsByDoublingToMaxSlotsThenByTenPercent) {
    auto w = attachedWriter<CounterEntrySimpleOps>(Vesk::MapDescriptor(100));
    EXPECT_EQ(w->capacity(), 64u);
    fill(*w, 0, 64);
    EXPECT_EQ(w->capacity(), 64u);
    const std::vector<uint32_t> sizes = {100, 110, 121};
    uint32_t old = 64;
    uint32_t version = 0;
    for (uint32_t size : sizes) {
        SCOPED_TRACE(size);
        // The record that finds the free list empty grows the array and lands in the first new
        // slot; the rest of the new slots are free in ascending order.
        w->write(SimpleRecords::make(old, old), true);
        EXPECT_EQ(w->capacity(), size);
        const RawTable t = RawTable::of(*w);
        EXPECT_EQ(t.numSlots(), size);
        EXPECT_EQ(t.numSlotsVersion(), ++version);
        EXPECT_EQ(rd<uint32_t>(t.slots, Off::kMostSlots), size);
        EXPECT_EQ(t.slots.size(), SimpleRecords::kHeaderSize + uint64_t(size) * 40);
        EXPECT_EQ(t.slot(old).key, old);
        std::vector<uint32_t> free;
        ASSERT_EQ(t.walkFree(free), "");
        std::vector<uint32_t> expected;
        for (uint32_t i = old + 1; i < size; ++i)
            expected.push_back(i);
        EXPECT_EQ(free, expected);
        fill(*w, old + 1, size);
        EXPECT_EQ(w->capacity(), size);
        old = size;
    }
    EXPECT_EQ(w->writerCounters().slotGrows, 3u);
    expectAll(*w, 0, 121);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

TEST_F(SlotWriterTableTest, FixedSizeTableRaisesTableFullAndStaysValid) {
    Vesk::MapDescriptor d(10);
    d.fixedSize = 1;
    auto w = attachedWriter<CounterEntrySimpleOps>(d);
    EXPECT_EQ(w->capacity(), 10u);
    EXPECT_EQ(w->minSize(), 10u);
    fill(*w, 0, 10);
    const std::string full = "Vesk table full (occupancy:10 tableSize:10) t/counter";
    try {
        w->write(SimpleRecords::make(10, 10), true);
        FAIL() << "no exception for an eleventh record";
    } catch (const Vesk::TableFullException& e) {
        EXPECT_EQ(e.msg(), full);
    }
    EXPECT_FALSE(w->slotTable().header()->criticalSection());
    EXPECT_EQ(RawTable::of(*w).runtimeFlags(), 0u);
    // A direct write of a new key is refused the same way and opens nothing.
    try {
        w->directWrite(SimpleRecords::make(11, 11));
        FAIL() << "no exception for a direct write into a full table";
    } catch (const Vesk::TableFullException& e) {
        EXPECT_EQ(e.msg(), full);
    }
    EXPECT_FALSE(w->directOpen());
    EXPECT_EQ(RawTable::of(*w).runtimeFlags(), 0u);
    EXPECT_EQ(w->capacity(), 10u);
    EXPECT_EQ(w->members(), 10u);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
    expectAll(*w, 0, 10);
    // Existing keys can still be changed, and a removed one makes room.
    w->write(SimpleRecords::make(3, 3), true);
    SimpleRecords::Value removed;
    ASSERT_TRUE(w->remove(CounterIndex(4), removed));
    w->write(SimpleRecords::make(10, 10), true);
    EXPECT_EQ(w->capacity(), 10u);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

TEST_F(SlotWriterTableTest, ShrinkAtAQuarterKeepsTheFileLengthAndReleasesTheTail) {
    auto w = attachedWriter<CounterEntrySimpleOps>(shrinkingDescriptor(100000));
    fill(*w, 0, 513);
    ASSERT_EQ(w->capacity(), 1024u);
    const std::string path = slotsPath(*w);
    const FileStat grown = statFile(path);
    const uint32_t version = RawTable::of(*w).numSlotsVersion();
    EXPECT_EQ(grown.size, 616u + 1024u * 40);
    SimpleRecords::Value removed;
    // A 1024-slot table shrinks only when fewer than 256 records remain.
    for (uint64_t k = 0; k < 513 - 256; ++k)
        ASSERT_TRUE(w->remove(CounterIndex(k), removed));
    EXPECT_EQ(w->members(), 256u);
    EXPECT_EQ(w->capacity(), 1024u);
    ASSERT_TRUE(w->remove(CounterIndex(513 - 256), removed));
    // 255 records: 4 x 128 slots.
    EXPECT_EQ(w->capacity(), 512u);
    EXPECT_EQ(w->writerCounters().slotShrinks, 1u);
    EXPECT_GT(w->writerCounters().movedSlots, 0u);
    const FileStat shrunk = statFile(path);
    EXPECT_EQ(shrunk.size, grown.size);      // never shortened
    EXPECT_LT(shrunk.blocks, grown.blocks);  // the tail was released
    const RawTable t = RawTable::of(*w);
    EXPECT_EQ(t.numSlots(), 512u);
    EXPECT_EQ(t.numSlotsVersion(), version + 1);
    EXPECT_EQ(rd<uint32_t>(t.slots, Off::kMostSlots), 1024u);  // never lowered
    for (uint64_t off = 616u + 512u * 40; off < t.slots.size(); ++off) {
        ASSERT_EQ(t.slots[off], 0) << "byte " << off << " beyond the new end";
    }
    std::vector<RawSlot> chain;
    ASSERT_EQ(t.walkChains(chain), "");
    EXPECT_EQ(chain.size(), 255u);
    for (const RawSlot& s : chain)
        EXPECT_LT(s.id, 512u);  // moved below the new end
    expectAll(*w, 513 - 255, 513);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
    // It never shrinks below the initial capacity.
    for (uint64_t k = 513 - 255; k < 513; ++k)
        ASSERT_TRUE(w->remove(CounterIndex(k), removed));
    EXPECT_EQ(w->capacity(), 64u);
    EXPECT_EQ(statFile(path).size, grown.size);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

TEST_F(SlotWriterTableTest, WithoutShrinkSlotsTheArrayKeepsItsSize) {
    Vesk::MapDescriptor d(100000);
    d.shrinkBuckets = 1;
    auto w = attachedWriter<CounterEntrySimpleOps>(d);
    fill(*w, 0, 513);
    SimpleRecords::Value removed;
    for (uint64_t k = 0; k < 513; ++k)
        ASSERT_TRUE(w->remove(CounterIndex(k), removed));
    EXPECT_EQ(w->capacity(), 1024u);
    w->shrink();
    EXPECT_EQ(w->capacity(), 1024u);
    EXPECT_EQ(w->buckets(), 2u);  // bucket shrinking stops at two buckets
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

TEST_F(SlotWriterTableTest, ReattachKeepsOrReformatsByCinderId) {
    uint32_t seed = 0;
    uint32_t version = 0;
    {
        auto w = attachedWriter<CounterEntrySimpleOps>(Vesk::MapDescriptor(100000));
        fill(*w, 0, 300);
        seed = RawTable::of(*w).seed();
        // The same writer re-attaching to its own generation keeps everything.
        EXPECT_TRUE(w->attach(kCinder));
        EXPECT_EQ(w->members(), 300u);
        expectAll(*w, 0, 300);
        version = RawTable::of(*w).numSlotsVersion();
    }
    // A restarted writer (a new object on the same files) with the same cinderId reuses them.
    auto w = makeWriter<CounterEntrySimpleOps>(Vesk::MapDescriptor(100000));
    EXPECT_TRUE(w->attach(kCinder));
    EXPECT_EQ(w->capacity(), 512u);
    EXPECT_EQ(w->members(), 300u);
    EXPECT_EQ(RawTable::of(*w).seed(), seed);
    expectAll(*w, 0, 300);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
    const uint64_t length = statFile(slotsPath(*w)).size;
    const uint64_t bucketLength = statFile(bucketsPath(*w)).size;
    ASSERT_EQ(bucketLength, 24u + 512 * 8);
    const uint32_t bucketVersion = rd<uint32_t>(RawTable::of(*w).buckets, Off::kNumBucketsVersion);

    // Another generation re-formats both files: the records are gone, a new seed is drawn, the
    // file keeps its length and the numSlots version keeps increasing for mapped readers.
    const Plinth::CinderId next(kCinder.first(), uint16_t(kCinder.second() + 1));
    EXPECT_FALSE(w->attach(next));
    EXPECT_EQ(w->members(), 0u);
    EXPECT_EQ(w->capacity(), 64u);
    const RawTable t = RawTable::of(*w);
    EXPECT_NE(t.seed(), seed);
    EXPECT_GT(t.numSlotsVersion(), version);
    EXPECT_EQ(t.numSlots(), 64u);
    EXPECT_EQ(t.occupied(), 0u);
    EXPECT_EQ(rd<uint32_t>(t.slots, Off::kCinder), next.value);
    EXPECT_EQ(rd<uint32_t>(t.buckets, Off::kBucketCinder), next.value);
    EXPECT_EQ(t.slots.size(), length);
    EXPECT_EQ(t.buckets.size(), bucketLength);
    EXPECT_EQ(t.numBuckets(), 2u);
    EXPECT_GT(rd<uint32_t>(t.buckets, Off::kNumBucketsVersion), bucketVersion);
    for (uint64_t off = 616 + 64 * 40; off < t.slots.size(); ++off)
        ASSERT_EQ(t.slots[off], 0) << off;
    for (uint64_t off = 24 + 2 * 8; off < t.buckets.size(); ++off)
        ASSERT_EQ(t.buckets[off], 0) << off;
    bool found = true;
    w->lookup(CounterIndex(5), found, nullptr);
    EXPECT_FALSE(found);
    EXPECT_TRUE(w->validate(next, false)) << w->lastValidationFailure();
    EXPECT_FALSE(w->validate(kCinder, false));
    EXPECT_EQ(w->lastValidationFailure(), "bad bucket cinder:7:2 wanted:7:1");
}

TEST_F(SlotWriterTableTest, FixedSizeTableReusesOnlyAFileOfItsOwnCapacity) {
    {
        auto grown = attachedWriter<CounterEntrySimpleOps>(Vesk::MapDescriptor(1000));
        fill(*grown, 0, 100);
        ASSERT_EQ(grown->capacity(), 128u);
    }
    Vesk::MapDescriptor d(50);
    d.fixedSize = 1;
    auto handler = testHandler();
    const uint16_t mask = handler->levelMask();
    handler->levelMaskIs(uint16_t(mask | 2u));
    TraceCapture traces;
    auto w = makeWriter<CounterEntrySimpleOps>(d);
    EXPECT_FALSE(w->attach(kCinder));
    handler->levelMaskIs(mask);
    EXPECT_TRUE(traces.contains(1, "SlotWriterTable",
                                "wanted capacity:50 for fixed-size table, but existing file has "
                                "capacity:128"));
    EXPECT_EQ(w->capacity(), 50u);
    EXPECT_EQ(w->members(), 0u);
    EXPECT_EQ(RawTable::of(*w).numSlots(), 50u);
    // Its own file, with the same capacity, is reused.
    const Plinth::CinderId next(kCinder.first(), uint16_t(kCinder.second() + 1));
    w->attach(next);
    fill(*w, 0, 50);
    w.reset();
    auto again = makeWriter<CounterEntrySimpleOps>(d);
    EXPECT_TRUE(again->attach(next));
    EXPECT_EQ(again->members(), 50u);
    expectAll(*again, 0, 50);
    EXPECT_TRUE(again->validate(next, false)) << again->lastValidationFailure();
}

TEST_F(SlotWriterTableTest, FileOfAnotherRecordTypeIsReformattedNotReused) {
    {
        auto wide = attachedWriter<CounterEntryWideOps>(Vesk::MapDescriptor(1000));
        for (uint64_t k = 0; k < 50; ++k)
            wide->write(Records<CounterEntryWideOps>::make(k, 0), true);
    }
    TraceCapture quiet;
    auto w = makeWriter<CounterEntrySimpleOps>(Vesk::MapDescriptor(1000));
    // The slot file is re-formatted for the compiled record type; the bucket file of the same
    // generation is reused, so the pair is refused as a whole and does not validate.
    EXPECT_FALSE(w->attach(kCinder));
    EXPECT_EQ(w->members(), 0u);
    const RawTable t = RawTable::of(*w);
    EXPECT_STREQ(reinterpret_cast<const char*>(t.slots.data() + Off::kValueType),
                 SimpleRecords::kTypeName);
    EXPECT_EQ(t.slotSize, 40u);
    EXPECT_EQ(t.numSlots(), 64u);
    EXPECT_FALSE(w->validate(kCinder, false));
    // A new generation formats both files.
    const Plinth::CinderId next(kCinder.first(), uint16_t(kCinder.second() + 1));
    EXPECT_FALSE(w->attach(next));
    EXPECT_TRUE(w->validate(next, false)) << w->lastValidationFailure();
    fill(*w, 0, 100);
    expectAll(*w, 0, 100);
    EXPECT_TRUE(w->validate(next, false)) << w->lastValidationFailure();
}

}  // namespace
