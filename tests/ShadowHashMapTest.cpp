// A shadow's private index over local slots: moved keys, the resize thresholds, and random
// writes, moves and removals against a model, with the chain order, the links, the member count,
// the occupancy and the successor of every key checked across resizes and slot-array moves.
#include "support/Tables.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

using namespace VeskTest;
using Ops = CounterEntrySimpleOps;
using ValueSlot = Vesk::ValueShadowSlot<Ops>;
using KeySlot = Vesk::KeyShadowSlot<Ops>;

template <class Slot>
struct Index {
    static constexpr uint32_t kSlots = 512;
    Ops ops;
    Vesk::Reader::Counters counters;
    Vesk::SlotCounters occupancy{*testHandler(), 87};
    Vesk::ShadowSlots<Slot> slots;
    Vesk::ShadowHashMap<Ops, Slot> map{*testHandler(), counters, occupancy, ops, slots};
    std::vector<Slot> array = std::vector<Slot>(kSlots);

    Index() {
        ops.hashSeedIs(0x5eed);
        EXPECT_TRUE(map.initialize());
        slots = {array.data(), kSlots};
    }
    // Slot i now holds key k (record n), as a notification leaves it; the index is told.
    bool put(uint32_t i, uint64_t k, uint64_t n = 1, bool changed = false) {
        if constexpr (std::is_same_v<Slot, KeySlot>)
            array[i].key = CounterIndex(k);
        else
            array[i].value = Kind<Ops>::make(k, n);
        return map.write(i, array[i], changed);
    }
    bool drop(uint32_t i) {
        const bool removed = map.remove(i, array[i]);
        array[i].clearPayload(ops);
        return removed;
    }
    std::pair<uint32_t, uint64_t> order(uint64_t k) const {
        return {map.rhashOf(CounterIndex(k)), k};
    }

    // The map holds exactly `model` (key -> slot): the buckets in order walk the slots in
    // (rhash, key) order, each in its own bucket, every link pointing back; find, first and next
    // (hashed and hinted) agree with the model for present and absent keys.
    void expectHolds(const std::map<uint64_t, uint32_t>& model, const char* when) {
        SCOPED_TRACE(when);
        std::map<std::pair<uint32_t, uint64_t>, uint32_t> ordered;
        for (const auto& [k, i] : model)
            ordered[order(k)] = i;
        std::vector<uint32_t> walked, expected;
        for (uint32_t b = 0; b < map.numBuckets(); ++b) {
            for (Slot* s = map.bucket(b); s != nullptr && walked.size() <= model.size();
                 s = s->next) {
                ASSERT_EQ(map.bucketOf(s->rhash), b);
                ASSERT_EQ(*s->prev, s) << "a link does not point back";
                walked.push_back(uint32_t(s - array.data()));
            }
        }
        for (const auto& [o, i] : ordered)
            expected.push_back(i);
        ASSERT_EQ(walked, expected);
        EXPECT_EQ(map.members(), model.size());
        for (uint32_t i : walked)
            EXPECT_GT(occupancy.largestOccupied(), i);
        EXPECT_EQ(map.first(), expected.empty() ? nullptr : &array[expected[0]]);
        for (uint64_t k = 0; k < 300; ++k) {
            const auto after = ordered.upper_bound(order(k));
            Slot* const want = after == ordered.end() ? nullptr : &array[after->second];
            const auto it = model.find(k);
            EXPECT_EQ(map.find(CounterIndex(k)), it == model.end() ? nullptr : &array[it->second]);
            EXPECT_EQ(map.next(CounterIndex(k), nullptr), want) << k;
            if (it != model.end()) {
                EXPECT_EQ(map.next(CounterIndex(k), &array[it->second]), want) << k;
            }
        }
    }
};

// A key the writer moves from slot 5 to slot 9 is indexed once, in 9; slot 5 is emptied.
TEST(ShadowHashMap, MovedKeyIndexedOnce) {
    Index<ValueSlot> value;
    Index<KeySlot> keyOnly;
    EXPECT_TRUE(value.put(5, 42, 1));
    EXPECT_FALSE(value.put(5, 42, 1)) << "the same slot again answers the caller's flag";
    EXPECT_TRUE(value.put(5, 42, 1, true));
    EXPECT_FALSE(value.put(9, 42, 1)) << "an identical record moved is no news";
    EXPECT_TRUE(value.put(7, 42, 2)) << "a changed record moved is";
    EXPECT_TRUE(value.array[9].value == Ops{}.defaultValue && value.array[9].prev == nullptr);
    value.expectHolds({{42, 7}}, "value shadow");
    EXPECT_TRUE(keyOnly.put(5, 42));
    EXPECT_TRUE(keyOnly.put(9, 42)) << "a key-only shadow reports every move";
    EXPECT_EQ(keyOnly.array[5].key.value(), 0u);
    keyOnly.expectHolds({{42, 9}}, "key-only shadow");
    EXPECT_EQ(keyOnly.counters.shadow.movedKeys, 1u);
}

// Two buckets hold two keys; the third doubles them. At a quarter they halve, never below two.
TEST(ShadowHashMap, BucketsDoubleAndHalve) {
    Index<ValueSlot> x;
    const std::tuple<uint32_t, uint64_t, uint32_t> steps[] = {
        // slot, key (0: emptied), buckets
        {1, 10, 2}, {2, 20, 2}, {3, 30, 4}, {4, 40, 4}, {5, 50, 8},
        {5, 0, 8},  {4, 0, 8},  {3, 0, 4},  {2, 0, 2},  {1, 0, 2}};
    for (const auto& [slot, key, buckets] : steps) {
        EXPECT_TRUE(key != 0 ? x.put(slot, key) : x.drop(slot));
        EXPECT_EQ(x.map.numBuckets(), buckets) << x.map.members() << " members";
    }
    EXPECT_FALSE(x.drop(1)) << "a slot outside the index";
}

TEST(ShadowHashMap, MatchesAModel) {
    Index<ValueSlot> x;
    std::map<uint64_t, uint32_t> model;  // key -> slot
    std::map<uint32_t, uint64_t> held;   // slot -> key
    std::mt19937_64 rng(testSeed());
    for (int step = 1; step <= 7500; ++step) {
        const uint32_t i = uint32_t(rng() % Index<ValueSlot>::kSlots);
        const uint64_t k = 1 + rng() % 299;
        const auto at = held.find(i);
        // Mostly growing, then mostly shrinking, so the buckets go both ways.
        if (rng() % 100 < (step % 3000 < 1500 ? 10u : 95u)) {  // the writer emptied slot i
            EXPECT_EQ(x.drop(i), at != held.end()) << step;
            if (at != held.end())
                model.erase(at->second), held.erase(at);
            continue;
        }
        if (at != held.end() && at->second != k) {  // reused for another key: removed first
            EXPECT_TRUE(x.drop(i));
            model.erase(at->second), held.erase(at);
        }
        const auto old = model.find(k);
        const uint64_t n = rng() % 2 + 1;
        const bool differs = old != model.end() && x.array[old->second].value.packets() !=
                                                       Kind<Ops>::make(k, n).packets();
        const bool told = x.put(i, k, n);
        if (old == model.end())
            EXPECT_TRUE(told) << "a new key, step " << step;
        else
            EXPECT_EQ(told, old->second != i && differs) << "a moved key, step " << step;
        if (old != model.end())
            held.erase(old->second);
        model[k] = i, held[i] = k;
        if (step % 500 == 0) {
            x.expectHolds(model, "after random changes");
            std::vector<ValueSlot> moved = x.array;  // the store re-allocated its slot array
            const std::ptrdiff_t offset =
                reinterpret_cast<char*>(moved.data()) - reinterpret_cast<char*>(x.array.data());
            x.array.swap(moved);
            x.slots.base = x.array.data();
            x.map.patch(offset);
            x.expectHolds(model, "after the slot array moved");
        }
    }
    EXPECT_GT(x.counters.shadow.bucketShrinks, 0u);
    EXPECT_GT(x.counters.shadow.movedKeys, 10u);
    ASSERT_GE(x.map.numBuckets(), 128u);
    for (const auto& [i, k] : held)
        EXPECT_TRUE(x.drop(i));
    x.expectHolds({}, "after every slot was emptied");
    EXPECT_EQ(x.map.numBuckets(), 2u);
    x.put(3, 30);
    x.map.disable();  // a flush: everything forgotten (a map without buckets holds nothing)
    EXPECT_TRUE(x.map.find(CounterIndex(30)) == nullptr && x.map.first() == nullptr &&
                x.map.next(CounterIndex(30), nullptr) == nullptr);
    EXPECT_TRUE(!x.map.initialized() && x.map.initialize() && x.map.initialize());
    EXPECT_TRUE(x.map.first() == nullptr && x.map.members() == 0 && x.slots.base == nullptr);
}

}  // namespace
