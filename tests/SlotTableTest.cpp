// The slot table file: the header's checks, the raw bytes of a new table per record type, and
// the growth and shrinking of the slots and buckets and a fixed-size table.
#include "support/Tables.h"
#include "support/TestAccess.h"

#include "Pimbo/Exception.h"
#include "VeskBase/SlotTable.h"
#include "VeskBase/SplitOrder.h"

#include <functional>
#include <map>
#include <numeric>
#include <random>

namespace {

using namespace VeskTest;
using Header = Vesk::SlotTableHeader;
using Simple = CounterEntrySimpleOps;
const std::string kSimpleType = "DravoCounters::FlexCounters2::CounterEntrySimple";

constexpr uint32_t kSlots = 4;
constexpr uint64_t kNeeded = 616 + kSlots * 40;  // a 24-byte record, 40-byte slots

TEST(SlotTableHeaderTest, FormatAndChecks) {
    std::vector<uint64_t> buf(kNeeded / 8 + 1, 0xABABABABABABABABull);
    auto build = [&](const std::string& name = kSimpleType) {
        Header::format(buf.data(), *testHandler(), kSlots, 100, 0, kCinder, name, 24, 12345);
    };
    auto h = [&]() -> Header& { return *reinterpret_cast<Header*>(buf.data()); };
    auto bytes = [&] {
        const auto* p = reinterpret_cast<const unsigned char*>(buf.data());
        return std::vector<unsigned char>(p, p + buf.size() * 8);
    };
    build();
    const auto b = bytes();
    for (size_t i = kSimpleType.size(); i < 512; ++i)  // the checksum covers all 512 bytes
        ASSERT_EQ(b[Off::kValueType + i], 0) << i;
    for (uint64_t off = Off::kLookaside; off < kNeeded; off += 40) {
        EXPECT_EQ(rd<uint64_t>(b, off), uint64_t(kEnd) << 32) << off;  // version 0, no next
        for (uint64_t i = Off::kFlags; i < 40; ++i)
            ASSERT_EQ(b[off + i], 0) << off << "+" << i;
    }
    EXPECT_EQ(b[kNeeded], 0xAB) << "formatted beyond the last slot";

    struct Case {
        const char* what;
        std::function<void(Header&)> damage;
        // {0}: the checksum of the bytes, {1}: the stored one.
        const char* reason = "";
        Vesk::AttachFailure failure = Vesk::AttachFailure::none;  // and why, as a value
        uint64_t fileSize = kNeeded;
        Plinth::CinderId wanted = kCinder;
        uint32_t valueSize = 24;
        std::string type = kSimpleType;  // "": the caller names no type
    };
    const auto none = [](Header&) {};
    const auto slot48 = [](Header& x) { x.slotSize = 48, x.hash = x.computeChecksum(); };
    using F = Vesk::AttachFailure;
    const std::vector<Case> cases = {
        {"sound", none},
        {"any generation", none, "", F::none, kNeeded, Plinth::CinderId()},
        {"runtime fields are not summed",
         [](Header& x) {
             x.criticalSectionIs(true);
             x.occupiedSlots = x.freeSlots = 3;
             x.mostSlots = 9;
             x.numSlots = Mem::VersionedRef<uint32_t>{17, kSlots};
         }},
        {"file above 4 GiB", none, "", F::none, (uint64_t(1) << 32) + 615},
        {"platform", [](Header& x) { x.platform = 2; },
         "bad platform specification: unknown(2) expecting: little-endian-64", F::otherVersion},
        {"name tail", [](Header& x) { x.valueType[400] = 1; }, "checksum fail: {0:x} != {1:x}",
         F::corrupt},
        {"slotSize", slot48, "bad slotSize:48 expecting:40", F::corrupt},
        {"slotSize, no type named", slot48, "bad slotSize:48 expecting:40", F::corrupt, kNeeded,
         kCinder, 24, ""},
        {"occupied", [](Header& x) { x.occupiedSlots = kSlots + 1; },
         "bad occupiedSlots: 5 num slots: 0x0:4", F::corrupt},
        {"mostSlots", [](Header& x) { x.mostSlots = kSlots - 1; }, "bad mostSlots:3 numSlots:4",
         F::corrupt},
        {"cinder restart", none, "bad cinder:7:1 wanted:7:2", F::otherGeneration, kNeeded, {7, 2}},
        {"valueSize", none, "bad valueSize:24 expecting:16", F::otherRecordType, kNeeded, kCinder,
         16},
        {"short header", none, "bad header file size: 615 wanted:616", F::corrupt, 615},
        {"huge file", none, "bad file size:1099511627776", F::corrupt, uint64_t(1) << 40},
        {"short slots", none, "bad shmem size:775 wanted:776 for 4 slots", F::corrupt, kNeeded - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        build();
        c.damage(h());
        const auto b = bytes();
        const std::string expected =
            fmt::format(fmt::runtime(c.reason), headerChecksum(b), rd<uint32_t>(b, Off::kHash));
        std::string reason;
        const char* type = c.type.empty() ? nullptr : c.type.c_str();
        EXPECT_EQ(h().validate(*testHandler(), c.fileSize, c.wanted, reason, type, c.valueSize),
                  c.failure);
        EXPECT_EQ(reason, expected);
    }
    // A type name of 511 characters is kept whole; one of 512 is refused before any store.
    build(std::string(511, 'n'));
    EXPECT_EQ(strnlen(h().valueType, 512), 511u);
    buf.assign(buf.size(), 0xABABABABABABABABull);
    const std::string name512(512, 'n');
    EXPECT_EQ(thrown<Pimbo::InvalidInitializeException>([&] { build(name512); }),
              "value typename " + name512 + " exceeds 512 characters");
    EXPECT_EQ(bytes(), std::vector<unsigned char>(buf.size() * 8, 0xAB)) << "it stored anyway";
}

// The documented sizes: the record, the slot (16 bytes of link, flags and rhash before it), the
// header (576 bytes, then the lookaside slot) and the slots of the first page.
struct Layout {
    uint32_t slotSize, pageSlots;
    const char* type;
};
const std::map<std::string, Layout> kLayouts = {{"simple", {40, 64, "CounterEntrySimple"}},
                                                {"normal", {40, 64, "CounterEntryNormal"}},
                                                {"wide", {24, 128, "CounterEntryWide"}},
                                                {"bitmap64", {32, 64, "CounterEntryBitmap64"}}};

template <class Ops>
class SlotTableFileTest : public ::testing::Test {
    TestRoot root_;
};
TYPED_TEST_SUITE(SlotTableFileTest, AllKinds);

TYPED_TEST(SlotTableFileTest, DocumentedLayout) {
    using Ops = typename TypeParam::Ops;
    const Layout L = kLayouts.at(Kind<Ops>::kName);
    auto w = attachedWriter<Ops>(Vesk::MapDescriptor(1000));
    RawTable t = RawTable::of(*w);
    const auto& s = t.slots;
    EXPECT_EQ(s.size(), 576 + L.slotSize + uint64_t(L.pageSlots) * L.slotSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data()), 8), "VESK_SLT");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&s[Off::kValueType])),
              std::string("DravoCounters::FlexCounters2::") + L.type);
    // {offset, value} of the 32-bit fields; the 16-bit flags are both zero.
    const std::pair<uint64_t, uint32_t> fields[] = {
        {Off::kVersion, 23u},           {Off::kCinder, kCinder.value},
        {Off::kPlatform, 1u},           {Off::kValueSize, L.slotSize - 16},
        {Off::kSlotSize, L.slotSize},   {Off::kMaxSlots, 1000u},
        {Off::kConstFlags, 0u},         {Off::kHash, headerChecksum(s)},
        {Off::kOccupied, 0u},           {Off::kFreeSlots, 0u},
        {Off::kMostSlots, L.pageSlots}, {Off::kNumSlotsVersion, 0u},
        {Off::kNumSlots, L.pageSlots}};
    for (auto [off, value] : fields)
        EXPECT_EQ(rd<uint32_t>(s, off), value) << "slot file offset " << off;
    for (uint32_t i = 0; i < L.pageSlots; ++i) {  // free list 0, 1, ..., each link stored once
        const RawSlot sl = t.slot(i);             // {next, version, flags and rhash}
        EXPECT_EQ(std::tuple(sl.next, sl.version, sl.flags | sl.rhash),
                  std::tuple(i + 1 == L.pageSlots ? kEnd : i + 1, 4u, 0u))
            << "slot " << i;
    }
    const auto& b = t.buckets;
    ASSERT_EQ(b.size(), 24u + 2 * 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data()), 8), "VESK_BKT");
    // Two buckets: 0 continues with 1, 1 ends the table.
    const std::pair<uint64_t, uint32_t> bucketFields[] = {
        {Off::kBucketVersion, 1u},        {Off::kBucketCinder, kCinder.value},
        {Off::kNumBucketsVersion, 0u},    {Off::kNumBuckets, 2u},
        {Off::kBuckets + 4, kMarker | 1}, {Off::kBuckets + 12, kEnd}};
    for (auto [off, value] : bucketFields)
        EXPECT_EQ(rd<uint32_t>(b, off), value) << "bucket file offset " << off;

    // The first record lands in slot 0; an overwrite goes through the lookaside slot.
    const auto first = Kind<Ops>::make(0x8000000000000001ull, 11);
    const uint32_t hash = Orlo::hashSingleAttr(t.seed(), first.key().value());
    const uint32_t bucketVersion = t.bucketVersion(hash % 2);
    w->write(first, true);
    t = RawTable::of(*w);
    EXPECT_EQ(std::memcmp(t.slot(0).value.data(), &first, sizeof first), 0) << "slot 0";
    EXPECT_EQ(t.slot(0).flags, 5u);    // + 2 before the copy, + 2 and OCCUPIED after it
    EXPECT_EQ(t.slot(0).version, 8u);  // pushed on the free list, then linked
    EXPECT_EQ(t.slot(0).rhash, reverse32(hash));
    EXPECT_EQ(t.slot(0).next, hash % 2 == 0 ? (kMarker | 1) : kEnd);
    EXPECT_EQ(t.bucketNext(hash % 2), 0u);
    EXPECT_EQ(t.bucketVersion(hash % 2), bucketVersion + 4);
    const auto second = Kind<Ops>::make(first.key().value(), 99);
    w->write(second, true);
    t = RawTable::of(*w);
    EXPECT_EQ(std::memcmp(t.slot(0).value.data(), &second, sizeof second), 0) << "slot 0";
    EXPECT_EQ(t.slot(0).flags, 9u);
    EXPECT_EQ(t.slot(0).version, 8u);  // an overwrite relinks nothing
    EXPECT_EQ(t.lookaside().rhash, t.slot(0).rhash);
    EXPECT_EQ(t.lookaside().value, t.slot(0).value);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

void fill(Vesk::VeskWriter<Simple>& w, uint64_t from, uint64_t to) {
    for (uint64_t k = from; k < to; ++k)
        w.write(Kind<Simple>::make(k, 1), true);
}

// The slots double up to maxSlots and then grow by ten percent. A fixed-size table refuses such
// a file, refuses the eleventh record and reuses only a file of its own size. The buckets double
// at the (numBuckets + 1)-th record; buckets and slots halve when fewer than a quarter remain.
// The files keep their largest length; the released tails read as zero.
// The walk's bucket test on order keys must say what the hash says: the key's hash mod n, n / 2
// or 2 x n is the bucket (a resize may be under way), for buckets on both sides of n / 2 and
// order keys on both sides of each prefix boundary, whether made from the bucket or from the
// order key of a hash in it.
TEST(SplitOrderTest, BucketPrefixMatchesTheHash) {
    using VeskCore::bucketOf;
    std::mt19937 random(7);
    for (const uint32_t n : {2u, 4u, 8u, 1024u, 1u << 20, VeskCore::kMaxBuckets}) {
        for (const uint32_t b : {0u, 1u, n / 2 - 1, n / 2, n - 1, n / 3}) {
            const VeskCore::BucketPrefix prefix(b, n);
            // The same test made from the order key of any hash in b.
            const uint32_t inB = (uint32_t(random()) & ~(n - 1)) | b;
            const auto fromKey =
                VeskCore::BucketPrefix::ofOrderKey(Pimbo::Util::reverse(inB), b, n);
            const uint32_t mine = Pimbo::Util::reverse(b);
            std::vector<uint32_t> rhashes = {0, ~0u, mine, mine - 1, mine + 1, mine ^ 0x80000000u};
            for (uint32_t bit = 0; bit < 32; ++bit)
                rhashes.push_back(mine ^ (1u << bit));
            for (int i = 0; i < 100; ++i)
                rhashes.push_back(random());
            for (const uint32_t rhash : rhashes) {
                const uint32_t hash = Pimbo::Util::reverse(rhash);
                const bool expected = bucketOf(hash, n) == b || bucketOf(hash, n / 2) == b ||
                                      bucketOf(hash, 2 * uint64_t(n)) == b;
                EXPECT_EQ(prefix.holds(rhash), expected)
                    << "n " << n << " bucket " << b << " rhash " << rhash;
                EXPECT_EQ(fromKey.holds(rhash), expected)
                    << "n " << n << " bucket " << b << " hash " << inB << " rhash " << rhash;
            }
        }
    }
}

// The successor test on order keys says what the successor computation says, for every pair of
// buckets below twice the count (so also for buckets the count does not have).
TEST(SplitOrderTest, FollowsInOrderMatchesTheSuccessor) {
    using Pimbo::Util::reverse;
    for (uint32_t bits = 1; bits <= 9; ++bits) {
        for (uint32_t b = 0; b < (2u << bits); ++b) {
            for (uint32_t nb = 0; nb < (2u << bits); ++nb) {
                ASSERT_EQ(VeskCore::followsInOrder(reverse(b), reverse(nb), bits),
                          nb == VeskCore::bitReversePermute(b, bits))
                    << "bits " << bits << " bucket " << b << " next " << nb;
            }
        }
    }
}

TEST(SlotWriterTableTest, ResizeThresholds) {
    TestRoot root;
    auto w = attachedWriter<Simple>(Vesk::MapDescriptor(100));
    fill(*w, 0, 64);
    uint32_t old = 64;
    for (uint32_t size : {100u, 110u, 121u}) {
        SCOPED_TRACE(size);
        // The record that finds the free list empty grows the array and takes the first new
        // slot; the others are free in ascending order.
        fill(*w, old, old + 1);
        const RawTable t = RawTable::of(*w);
        EXPECT_EQ(t.numSlots(), size);
        EXPECT_EQ(t.slots.size(), 616 + uint64_t(size) * 40);
        EXPECT_EQ(t.slot(old).key, old);
        std::vector<uint32_t> free, expected(size - old - 1);
        std::iota(expected.begin(), expected.end(), old + 1);
        EXPECT_EQ(t.walkFree(free), "");
        EXPECT_EQ(free, expected);
        fill(*w, old + 1, size);
        old = size;
    }
    EXPECT_EQ(rd<uint32_t>(RawTable::of(*w).slots, Off::kNumSlotsVersion), 6u);  // +2 a grow
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
    Vesk::MapDescriptor d(10);
    d.fixedSize = 1;
    w = makeWriter<Simple>(d);
    EXPECT_FALSE(w->attach(kCinder));  // the file of 121 slots is not taken
    EXPECT_EQ(w->capacity(), 10u);
    const Plinth::CinderId next = Vesk::nextCinderId(kCinder);
    w->attach(next);  // a new generation: both files fresh
    fill(*w, 0, 10);
    const auto eleventh = Kind<Simple>::make(10, 1);
    for (bool direct : {false, true}) {
        EXPECT_EQ(thrown<Vesk::TableFullException>([&] {
                      direct ? (void)w->directWrite(eleventh) : (void)w->write(eleventh, true);
                  }),
                  "Vesk table full (occupancy:10 tableSize:10) t/counter");
        EXPECT_TRUE(!Vesk::VeskWriterTestAccess::directOpen(*w) &&
                    RawTable::of(*w).runtimeFlags() == 0)
            << direct;
    }
    EXPECT_TRUE(w->validate(next, false)) << w->lastValidationFailure();
    w = makeWriter<Simple>(d);  // its own file, of its own size, is reused
    EXPECT_TRUE(w->attach(next));
    EXPECT_EQ(w->members(), 10u);

    w = attachedWriter<Simple>(shrinkingDescriptor(100000), kCinder, "t/shrink");
    uint64_t key = 0;
    for (uint32_t n = 2; n <= 512; n *= 2) {
        fill(*w, key, n), key = n;
        EXPECT_EQ(w->buckets(), n);
        fill(*w, key, key + 1), ++key;
        EXPECT_EQ(w->buckets(), 2 * n);
    }
    ASSERT_EQ(w->capacity(), 1024u);  // 513 records
    const FileStat slots = statFile(slotsPath(*w)), buckets = statFile(bucketsPath(*w));
    const uint32_t grownVersion = rd<uint32_t>(RawTable::of(*w).slots, Off::kNumSlotsVersion);
    CounterEntrySimple removed;
    for (uint32_t left : {256u, 255u, 0u}) {
        while (w->members() > left)
            ASSERT_TRUE(w->remove(CounterIndex(--key), removed));
        const uint32_t size = left == 256 ? 1024 : left == 255 ? 512 : 0;
        EXPECT_EQ(w->buckets(), std::max(size, 2u)) << left;    // two buckets at least
        EXPECT_EQ(w->capacity(), std::max(size, 64u)) << left;  // and the first page of slots
    }
    const FileStat slotsNow = statFile(slotsPath(*w)), bucketsNow = statFile(bucketsPath(*w));
    EXPECT_TRUE(slotsNow.size == slots.size && bucketsNow.size == buckets.size) << "a file was cut";
    EXPECT_TRUE(slotsNow.blocks < slots.blocks && bucketsNow.blocks < buckets.blocks);
    EXPECT_EQ(rd<uint32_t>(RawTable::of(*w).slots, Off::kMostSlots), 1024u);  // never lowered
    // Each shrink added 1 before its moves and 1 after them: even again.
    EXPECT_EQ(rd<uint32_t>(RawTable::of(*w).slots, Off::kNumSlotsVersion),
              grownVersion + 2 * w->writerCounters().slotShrinks);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

// A capacity hint formats a new table at that many slots and the power of two of buckets at or
// above it: filling that many records grows neither file, beyond them the slots grow by the
// usual rule (by ten percent past maxSlots), and removing every record shrinks neither below
// the hint. A file of another size is reused as it is, never extended. A fixed-size table takes
// the hint for its buckets; a hint the table can never hold is refused, naming the table and
// the hint.
TEST(SlotWriterTableTest, CapacityHint) {
    TestRoot root;
    const struct { uint32_t maxSlots, grown; } cases[] = {{100, 1100}, {5000, 2000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maxSlots);
        Vesk::MapDescriptor d = shrinkingDescriptor(c.maxSlots);
        d.capacityHint = 1000;
        const std::string name = "t/hint" + std::to_string(c.maxSlots);
        auto w = attachedWriter<Simple>(d, kCinder, name);
        EXPECT_EQ(w->capacity(), 1000u);
        EXPECT_EQ(w->buckets(), 1024u);
        fill(*w, 0, 1000);
        EXPECT_EQ(w->writerCounters().slotGrows + w->writerCounters().bucketGrows, 0u);
        fill(*w, 1000, 1001);
        EXPECT_EQ(w->capacity(), c.grown);
        CounterEntrySimple removed;
        for (uint64_t key = 0; key < 1001; ++key)
            ASSERT_TRUE(w->remove(CounterIndex(key), removed));
        EXPECT_TRUE(w->capacity() == 1000u && w->buckets() == 1024u)
            << w->capacity() << " slots " << w->buckets() << " buckets";
        for (uint32_t hint : {10u, 3000u}) {
            const FileStat before = statFile(slotsPath(*w));
            d.capacityHint = hint;
            w = makeWriter<Simple>(d, name);
            EXPECT_TRUE(w->attach(kCinder)) << hint;
            EXPECT_TRUE(w->capacity() == 1000u && w->buckets() == 1024u) << hint;
            EXPECT_EQ(statFile(slotsPath(*w)).size, before.size) << hint;
        }
        EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
    }
    Vesk::MapDescriptor fixed(10);
    fixed.fixedSize = 1;
    fixed.capacityHint = 10;  // a fixed size takes a hint for its buckets
    EXPECT_EQ(attachedWriter<Simple>(fixed, kCinder, "t/fixed")->buckets(), 16u);
    const struct {
        Vesk::MapDescriptor d;
        uint32_t hint;
        const char* refusal;
    } refused[] = {
        {Vesk::MapDescriptor(100), 0x7FFFFFFF,
         "Vesk table t/counter: capacity hint 2147483647 is beyond the limit of 2147483646 slots"},
        {fixed, 11, "Vesk table t/counter: capacity hint 11 is above its fixed size of 10 slots"}};
    for (auto r : refused) {
        r.d.capacityHint = r.hint;
        EXPECT_EQ(thrown<Pimbo::InvalidInitializeException>([&] { makeWriter<Simple>(r.d); }),
                  r.refusal);
    }
}

}  // namespace
