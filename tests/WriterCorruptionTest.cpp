// Damaged tables: each inconsistency a crashed or buggy writer can leave is named by the full
// validation, and every walk of the writer that meets it throws CorruptionDetectedException
// instead of looping or following a wild id. Damage goes through the writer's live mapping.
#include "support/Tables.h"

#include "Pimbo/Exception.h"

#include <algorithm>
#include <array>
#include <functional>

namespace {

using namespace VeskTest;
using Ops = CounterEntrySimpleOps;
using Writer = Vesk::VeskWriter<Ops>;
using Value = CounterEntrySimple;

// A table in its own root, damaged by one row of the table below.
struct Damaged {
    explicit Damaged(bool shrinking)
        : w(attachedWriter<Ops>(shrinking ? shrinkingDescriptor(100000)
                                          : Vesk::MapDescriptor(100000))) {}

    void put(uint64_t k) { w->write(Kind<Ops>::make(k, 1), true); }
    void puts(uint64_t from, uint64_t to) {
        for (uint64_t k = from; k < to; ++k)
            put(k);
    }
    void del(uint64_t k) {
        Value v;
        w->remove(CounterIndex(k), v);
    }
    uint32_t rhash(uint64_t k) const { return Pimbo::Util::reverse(w->hashKeyValue(k)); }
    // Writes `count` keys of bucket b of n; returns them in table order.
    std::vector<uint64_t> chain(uint32_t b, uint32_t n, size_t count) {
        std::vector<uint64_t> keys = keysInBucket(*w, b, n, count);
        std::sort(keys.begin(), keys.end(), [&](uint64_t x, uint64_t y) {
            return std::pair(rhash(x), x) < std::pair(rhash(y), y);
        });
        for (uint64_t k : keys)
            put(k);
        return keys;
    }
    uint32_t slot(uint64_t k) { return slotIdOf(*w, k); }
    void link(uint32_t from, uint32_t to) {
        pwriteValue<uint32_t>(slotsPath(*w), slotOffset<Writer>(from, Off::kLinkNext), to);
    }
    void bucketLink(uint32_t b, uint32_t to) {
        pwriteValue<uint32_t>(bucketsPath(*w), Off::kBuckets + 8 * b + 4, to);
    }
    void flags(uint32_t id, uint32_t set, uint32_t clear = 0) {
        Vesk::setFlags(slotOf(*w, id), (Vesk::loadFlags(slotOf(*w, id)) | set) & ~clear);
    }

    TestRoot root;
    std::unique_ptr<Writer> w;
    std::array<uint64_t, 3> n{};  // the numbers the texts name: {0}, {1}, {2}
    uint64_t probe = 0;           // the key the walks look for
};

enum Walk { Lookup, Write, Remove, DirectUpdate, Next, First, Iterate, Fill };

// The message of the CorruptionDetectedException that a walk throws; "" when it throws none.
std::string walk(Damaged& d, Walk walk) {
    Value v;
    Vesk::IterHint hint;
    bool found = false;
    const std::function<void()> walks[] = {
        [&] { d.w->lookup(CounterIndex(d.probe), found, nullptr); },
        [&] { d.put(d.probe); },
        [&] { d.del(d.probe); },
        [&] { d.w->directUpdate(CounterIndex(d.probe)); },
        [&] { d.w->next(CounterIndex(d.probe), v, hint); },
        [&] { d.w->first(v, hint); },
        [&] { iterateAll(*d.w); },
        [&] { d.puts(d.probe, d.probe + 100); }};
    try {
        walks[walk]();
    } catch (const Pimbo::CorruptionDetectedException& e) {
        return e.msg();
    }
    return "";
}

// The validation's finding: "" when the table validates. It leaves no validator attached.
std::string validation(Damaged& d) {
    std::string found = d.w->validate(kCinder, false) ? "" : d.w->lastValidationFailure();
    if (d.w->hashMap().validator() != nullptr || d.w->notificationWriter().validator() != nullptr)
        found += " (a validator was left attached)";
    return found;
}

struct Row {
    const char* what;
    std::function<void(Damaged&)> damage;
    const char* reason;            // of the validation
    std::vector<Walk> walks = {};  // each throws `thrown`, or `reason` when that is null
    const char* thrown = nullptr;
    bool shrinking = false;
};

const char* const kCycle = "hash chain cycle detected, slotCount:65 capacity:64";

// LOOKASIDE left set on the i-th record of the table.
std::function<void(Damaged&)> stuckLookaside(size_t i) {
    return [i](Damaged& d) {
        d.puts(0, 20);
        const uint32_t id = d.slot(iterateAll(*d.w)[i].key().value());
        d.flags(id, Vesk::LOOKASIDE);
        d.n[0] = Vesk::loadFlags(slotOf(*d.w, id));
    };
}

// Three records (four buckets), then v stored at off of the slot file or of the bucket file.
std::function<void(Damaged&)> wordIs(bool buckets, uint64_t off, uint32_t v) {
    return [=](Damaged& d) {
        d.puts(0, 3), d.probe = 3;
        pwriteValue(buckets ? bucketsPath(*d.w) : slotsPath(*d.w), off, v);
    };
}

// Two records of bucket 0 of 2, the first spoilt by `spoil`; the walks look for the second.
std::function<void(Damaged&)> firstOfTwo(std::function<void(Damaged&, uint32_t)> spoil) {
    return [spoil](Damaged& d) {
        const auto keys = d.chain(0, 2, 2);
        d.n[0] = d.slot(keys[0]);
        d.probe = keys[1];
        spoil(d, uint32_t(d.n[0]));
    };
}

const std::vector<Row>& rows() {
    static const std::vector<Row> rows = {
        {"sound table",
         [](Damaged& d) { d.puts(0, 50), d.probe = 7; },
         "",
         {Lookup, Write, Remove, DirectUpdate, Next, First, Iterate}},
        {"looping chain",
         [](Damaged& d) {
             const auto keys = d.chain(0, 4, 4);  // the loop cuts keys[3] off behind it
             d.n[0] = d.slot(keys[0]);
             d.link(d.slot(keys[2]), d.slot(keys[0]));
             d.probe = keys[3];
         },
         "duplicate slot: {0}",
         {Lookup, Write, Remove, DirectUpdate, Next, Iterate},
         kCycle},
        {"loop in the free list",
         [](Damaged& d) { d.puts(0, 3), d.link(10, 5), d.probe = 100; },
         "duplicate freeSlot detected: 5",
         {Fill},
         "free slot 5 of t/counter is marked as occupied"},
        {"free-list id == numSlots",
         [](Damaged& d) { d.link(63, 64); },
         "corrupted free slot detected with out of bound index: 64",
         {Fill},
         "out-of-range index: 64 max:63"},
        {"free slot marked occupied",
         [](Damaged& d) { d.put(1), d.flags(7, Vesk::OCCUPIED); },
         "corrupted free slot not marked as empty: 7",
         {Fill},
         "free slot 7 of t/counter is marked as occupied"},
        {"occupiedSlots one too high",
         wordIs(false, Off::kOccupied, 4),
         "mismatch header->occupiedSlots:4 count:3",
         {Fill},
         "the slot table is full but numSlots: 0x0:64 and occupiedSlots: 65 are not equal"},
        {"occupiedSlots one too low", wordIs(false, Off::kOccupied, 2),
         "walkedSlots:3 is greater than header->occupiedSlots:2"},
        {"stuck LOOKASIDE on the first record", stuckLookaside(0), "stuck LOOKASIDE bit: {0:#x}"},
        {"stuck LOOKASIDE in mid-chain", stuckLookaside(11), "stuck LOOKASIDE bit: {0:#x}"},
        {"bucket magic", wordIs(true, Off::kBucketMagic, 'X'),
         "bad bucket magic: 544b425f00000058"},
        {"bucket version", wordIs(true, Off::kBucketVersion, 2), "bad bucket version: 2"},
        {"numBuckets not a power of two", wordIs(true, Off::kNumBuckets, 3),
         "bad numBuckets: 0x1:3"},
        {"numBuckets not the mapped count", wordIs(true, Off::kNumBuckets, 2),
         "bad numBuckets: 0x1:2 mapped:4"},
        // Four buckets in the order 0, 2, 1, 3; records in buckets 1 and 3.
        {"bucket naming a wrong successor",
         [](Damaged& d) {
             d.chain(1, 4, 2), d.put(keysInBucket(*d.w, 3, 4, 1)[0]);
             d.bucketLink(0, kMarker | 1);  // the empty bucket 0 skips bucket 2
         },
         "has bucket: 0 with next bucket: 1 and numBuckets: 4",
         {First, Iterate}},
        {"slot naming a wrong successor bucket",
         [](Damaged& d) {
             const auto keys = d.chain(1, 4, 2);
             d.put(keysInBucket(*d.w, 3, 4, 1)[0]);
             d.link(d.slot(keys[1]), kMarker | 2);  // the last slot of bucket 1
         },
         "has bucket: 1 with next bucket: 2 and numBuckets: 4",
         {Iterate}},
        {"bucket hops that cycle",
         [](Damaged& d) {
             d.puts(0, 3), d.del(0), d.del(1), d.del(2);  // four empty buckets
             d.bucketLink(3, kMarker | 0);                // the last one continues with the first
         },
         "has bucket cycle detected, bucketCount: 4 numBuckets: 4",
         {First}},
        {"table ending before the last bucket",
         firstOfTwo([](Damaged& d, uint32_t) { d.link(d.slot(d.probe), kEnd); }),
         "thinks we've reached the end of the table, but we're in bucket 0 when there are "
         "numBuckets: 2",
         {Iterate}},
        {"wrong rhash", firstOfTwo([](Damaged& d, uint32_t id) {
             const uint32_t r = Vesk::loadRhash(slotOf(*d.w, id));
             Vesk::setRhash(slotOf(*d.w, id), r ^ 1);
             d.n = {id, r ^ 1, r};
         }),
         "corrupt rhash detected, slotId: {0} slot.rhash:{1:08x} rhash:{2:08x}"},
        {"key of another bucket",
         firstOfTwo([](Damaged& d, uint32_t id) {
             pwriteValue(slotsPath(*d.w), slotOffset<Writer>(id, Off::kValue),
                         keysInBucket(*d.w, 1, 2, 1)[0]);
         }),
         "corrupt key detected, slotId: {0}",
         {Lookup},
         "corrupt key detected, slot: {0}"},
        {"linked slot not occupied",
         firstOfTwo([](Damaged& d, uint32_t id) { d.flags(id, 0, Vesk::OCCUPIED); }),
         "slotId: {0} from bucket: 0 not marked as occupied",
         {Lookup},
         "slotId: {0} not marked as occupied"},
        {"link beyond the slot array",
         firstOfTwo([](Damaged& d, uint32_t) { d.bucketLink(0, 64); }),
         "out-of-range index: 64 max:63",
         {Lookup}},
        {"looping chain met by a bucket grow",
         [](Damaged& d) {
             const auto loop = d.chain(0, 8, 2);  // stays in bucket 0 when 4 buckets double
             const auto others = keysInBucket(*d.w, 1, 2, 3);
             d.put(others[0]), d.put(others[1]), d.probe = others[2];
             d.n[0] = d.slot(loop[0]);
             d.link(d.slot(loop[1]), d.slot(loop[0]));
         },
         "duplicate slot: {0}",
         {Write},
         kCycle,
         true},
        {"looping chain met by a bucket shrink",
         [](Damaged& d) {
             const uint64_t a = keysInBucket(*d.w, 0, 8, 1)[0];
             const auto others = keysInBucket(*d.w, 1, 2, 4);
             d.put(a);
             for (uint64_t k : others)
                 d.put(k);
             d.del(others[1]), d.del(others[2]), d.del(others[3]);  // 8 buckets, 2 records
             d.n[0] = d.slot(a);
             d.link(d.slot(a), d.slot(a));
             d.probe = others[0];  // the last record but one: the join pass meets the loop
         },
         "duplicate slot: {0}",
         {Remove},
         kCycle,
         true},
        {"looping free list met by a slot shrink",
         [](Damaged& d) {
             d.puts(0, 65);
             for (uint64_t k = 0; k < 33; ++k)
                 d.del(k);  // 32 records in 128 slots
             std::vector<uint32_t> free;
             RawTable::of(*d.w).walkFree(free);
             d.n[0] = free[5];
             d.link(free.back(), free[5]);
             d.probe = 33;  // the shrink to 64 slots walks the free list first
         },
         "duplicate freeSlot detected: {0}",
         {Remove},
         "free-list of t/counter longer than numSlots: 128",
         true},
    };
    return rows;
}

// One line per row: "ok", or what differed.
int runRows(Child& parent) {
    for (const Row& row : rows()) {
        Damaged d(row.shrinking);
        std::string differed;
        auto check = [&](const char* step, const std::string& got, const char* expected) {
            const std::string want = fmt::format(fmt::runtime(expected), d.n[0], d.n[1], d.n[2]);
            if (got != want)
                differed += fmt::format("{}: \"{}\" instead of \"{}\"; ", step, got, want);
        };
        try {
            row.damage(d);
            check("validate", validation(d), row.reason);
            for (Walk w : row.walks)
                check("walk", walk(d, w), row.thrown ? row.thrown : row.reason);
        } catch (const std::exception& e) {
            differed += std::string("threw: ") + e.what();
        }
        parent.send(differed.empty() ? "ok" : differed);
    }
    return 0;
}

// The table runs in a child: a walk that lost its bound hangs there and is reported by the row
// that reached it instead of hanging the test.
TEST(WriterCorruptionProcess, EachDamageIsNamedByValidationAndStopsEveryWalkThatMeetsIt) {
    Child child(runRows);
    for (const Row& row : rows()) {
        const std::string got = child.receive();
        EXPECT_EQ(got, "ok") << row.what;
        if (got.empty())
            return;  // the child hangs in a walk without a bound, or died
    }
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
