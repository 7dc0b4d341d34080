// The writer's bucket hash map: when buckets double and halve, that a grow followed by a shrink
// restores the chains, iteration order and its recovery from stale hints, and a model-based
// randomized run of every writer operation against a std::map.
#include "WriterTestUtil.h"

#include "Pimbo/Exception.h"
#include "Pimbo/Scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <unordered_map>

namespace {

using namespace VeskTest;

template <class Ops>
class WriterHashMapTest : public ::testing::Test {
  protected:
    using R = Records<Ops>;
    using Writer = Vesk::VeskWriter<Ops>;
    using Value = typename Ops::Value;
    TestRoot root_;
};
TYPED_TEST_SUITE(WriterHashMapTest, AllOps, OpsNames);

TYPED_TEST(WriterHashMapTest, BucketsDoubleAfterTheNumBucketsPlusFirstInsertAndHalveAtAQuarter) {
    using R = typename TestFixture::R;
    auto w = attachedWriter<TypeParam>(shrinkingDescriptor(100000));
    uint64_t key = 1;
    for (uint32_t n = 2; n <= 1024; n *= 2) {
        SCOPED_TRACE(n);
        while (w->members() < n)
            w->write(R::make(key++, 0), true);
        EXPECT_EQ(w->buckets(), n);  // the numBuckets-th record does not grow
        w->write(R::make(key++, 0), true);
        EXPECT_EQ(w->buckets(), 2 * n);  // the (numBuckets + 1)-th does
        EXPECT_EQ(RawTable::of(*w).numBuckets(), 2 * n);
    }
    EXPECT_EQ(w->writerCounters().bucketGrows, 10u);
    const FileStat grown = statFile(bucketsPath(*w));
    // 1025 records in 2048 buckets. Each remove that leaves fewer than numBuckets / 4 records
    // halves the buckets once.
    std::vector<uint64_t> keys;
    for (uint64_t k = 1; k < key; ++k)
        keys.push_back(k);
    typename TestFixture::Value removed;
    auto removeDownTo = [&](uint32_t left) {
        while (w->members() > left) {
            ASSERT_TRUE(w->remove(CounterIndex(keys.back()), removed));
            keys.pop_back();
        }
    };
    removeDownTo(512);
    EXPECT_EQ(w->buckets(), 2048u);
    removeDownTo(511);
    EXPECT_EQ(w->buckets(), 1024u);
    removeDownTo(256);
    EXPECT_EQ(w->buckets(), 1024u);
    removeDownTo(255);
    EXPECT_EQ(w->buckets(), 512u);
    removeDownTo(1);
    EXPECT_EQ(w->buckets(), 4u);
    removeDownTo(0);  // 0 < 4 / 4
    EXPECT_EQ(w->buckets(), 2u);
    EXPECT_EQ(RawTable::of(*w).numBuckets(), 2u);
    // With two buckets the quotient is 0: shrinking stops there.
    w->write(R::make(5, 0), true);
    ASSERT_TRUE(w->remove(CounterIndex(5), removed));
    EXPECT_EQ(w->buckets(), 2u);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
    // The bucket file kept its largest length; the released tail reads as zero.
    const RawTable t = RawTable::of(*w);
    EXPECT_EQ(t.buckets.size(), 24u + 2048u * 8);
    EXPECT_EQ(statFile(bucketsPath(*w)).size, grown.size);
    EXPECT_LT(statFile(bucketsPath(*w)).blocks, grown.blocks);
    for (uint64_t off = 24 + 2 * 8; off < t.buckets.size(); ++off)
        ASSERT_EQ(t.buckets[off], 0) << off;
}

TYPED_TEST(WriterHashMapTest, GrowThenShrinkRestoresTheChains) {
    using R = typename TestFixture::R;
    auto w = attachedWriter<TypeParam>(Vesk::MapDescriptor(100000));
    std::mt19937_64 rng(7);
    for (int i = 0; i < 60; ++i)
        w->write(R::make(rng(), i), true);
    ASSERT_EQ(w->buckets(), 64u);
    auto links = [&] {
        const RawTable t = RawTable::of(*w);
        std::vector<uint32_t> out;
        for (uint32_t b = 0; b < t.numBuckets(); ++b)
            out.push_back(t.bucketNext(b));
        for (uint32_t s = 0; s < t.numSlots(); ++s)
            out.push_back(t.slot(s).next);
        return out;
    };
    const std::vector<uint32_t> before = links();
    std::vector<RawSlot> chainBefore;
    ASSERT_EQ(RawTable::of(*w).walkChains(chainBefore), "");

    w->hashMap().growBuckets();
    EXPECT_EQ(w->buckets(), 128u);
    std::vector<RawSlot> chain;
    ASSERT_EQ(RawTable::of(*w).walkChains(chain), "");
    ASSERT_EQ(chain.size(), chainBefore.size());
    for (size_t i = 0; i < chain.size(); ++i)
        EXPECT_EQ(chain[i].id, chainBefore[i].id);  // nothing moved
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();

    w->hashMap().shrinkBuckets();
    EXPECT_EQ(w->buckets(), 64u);
    EXPECT_EQ(links(), before);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

TYPED_TEST(WriterHashMapTest, EmptyTableIterationHopsEveryBucketAndEnds) {
    using R = typename TestFixture::R;
    Vesk::MapDescriptor d(100000);  // buckets never shrink
    auto w = attachedWriter<TypeParam>(d);
    for (uint64_t k = 0; k < 100; ++k)
        w->write(R::make(k, k), true);
    typename TestFixture::Value removed;
    for (uint64_t k = 0; k < 100; ++k)
        ASSERT_TRUE(w->remove(CounterIndex(k), removed));
    ASSERT_EQ(w->buckets(), 128u);
    std::vector<RawSlot> chain;
    const RawTable t = RawTable::of(*w);
    ASSERT_EQ(t.walkChains(chain), "");  // every bucket entry names its successor
    EXPECT_TRUE(chain.empty());

    auto handler = testHandler();
    const uint16_t mask = handler->levelMask();
    handler->levelMaskIs(uint16_t(mask | (1u << 8)));
    TraceCapture traces;
    auto v = R::make(99, 99);
    Vesk::IterHint hint;
    EXPECT_FALSE(w->first(v, hint));
    handler->levelMaskIs(mask);
    EXPECT_EQ(v, typename TestFixture::Value{});
    EXPECT_TRUE(traces.contains(8, "WriterHashMap", "none found!"));
}

TYPED_TEST(WriterHashMapTest, NextRecoversByOrderFromRemovedKeysAndStaleHints) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto w = attachedWriter<TypeParam>(Vesk::MapDescriptor(100000));
    for (uint64_t k = 0; k < 64; ++k)
        w->write(R::make(k * 977, k), true);
    const std::vector<Value> order = iterateAll(*w);
    ASSERT_EQ(order.size(), 64u);

    // Walk to the 20th record, remove it, and ask for its successor with the hint it left.
    Value v{};
    Vesk::IterHint hint;
    ASSERT_TRUE(w->first(v, hint));
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(w->next(v.key(), v, hint));
    ASSERT_EQ(v, order[20]);
    Value removed;
    ASSERT_TRUE(w->remove(order[20].key(), removed));
    const uint64_t slowBefore = w->writerCounters().slowPathNexts;
    ASSERT_TRUE(w->next(order[20].key(), v, hint));
    EXPECT_EQ(v, order[21]);
    EXPECT_EQ(w->writerCounters().slowPathNexts, slowBefore + 1);
    // The same with a fresh hint (no slot known).
    Vesk::IterHint fresh;
    ASSERT_TRUE(w->next(order[20].key(), v, fresh));
    EXPECT_EQ(v, order[21]);

    // The table grows (buckets and slots) between two calls: the walk still returns every
    // remaining record exactly once.
    ASSERT_TRUE(w->first(v, hint));
    std::vector<Value> seen{v};
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(w->next(v.key(), v, hint));
        seen.push_back(v);
    }
    std::set<uint64_t> added;
    for (uint64_t k = 0; k < 200; ++k) {
        w->write(R::make(k * 977 + 1, k), true);
        added.insert(k * 977 + 1);
    }
    ASSERT_GE(w->buckets(), 256u);
    while (w->next(v.key(), v, hint)) {
        seen.push_back(v);
        ASSERT_LT(seen.size(), 400u);
    }
    std::multiset<uint64_t> seenOld;
    for (const Value& x : seen) {
        if (!added.count(x.key().value()))
            seenOld.insert(x.key().value());
    }
    std::multiset<uint64_t> expected;
    for (const Value& x : order) {
        if (!(x.key() == order[20].key()))
            expected.insert(x.key().value());
    }
    EXPECT_EQ(seenOld, expected);
}

// Regression: next() is called with the key of the record it overwrites (next(v.key(), v, h)).
// When the fast path copied the following record and then found that it belongs to another
// bucket (the buckets doubled since the hint was taken), the slow path searched from the copied
// record's key and skipped it.
TYPED_TEST(WriterHashMapTest, NextAfterABucketSplitDoesNotSkipTheFollowingRecord) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto w = attachedWriter<TypeParam>(Vesk::MapDescriptor(100000));
    // x and y: bucket 0 of 2, both moving to bucket 2 when the buckets double to 4.
    const std::vector<uint64_t> pair = keysInBucket(*w, 2, 4, 2);
    for (uint64_t k : pair)
        w->write(R::make(k, k), true);
    ASSERT_EQ(w->buckets(), 2u);
    Value v{};
    Vesk::IterHint hint;
    ASSERT_TRUE(w->first(v, hint));
    const Value x = v;
    const uint64_t y = pair[0] == x.key().value() ? pair[1] : pair[0];
    w->write(R::make(keysInBucket(*w, 1, 4, 1)[0], 0), true);  // third record: 4 buckets
    ASSERT_EQ(w->buckets(), 4u);
    ASSERT_TRUE(w->next(v.key(), v, hint));
    EXPECT_EQ(v.key().value(), y);
}

// Regression: critical tasks that ran while the buckets doubled or halved read with a count the
// chains did not match yet: wrong answers and corruption that was not there. Reads during a
// bucket resize are refused; during a slot shrink they are answered.
TYPED_TEST(WriterHashMapTest, CriticalTasksNeverMisreadATableBeingResized) {
    using R = typename TestFixture::R;
    auto w = attachedWriter<TypeParam>(shrinkingDescriptor(100000));
    w->criticalTaskCheckIs(true);
    w->criticalTaskPeriodIs(0);  // yield at every step of a pass
    std::map<uint64_t, uint64_t> present;
    uint64_t answered = 0;
    uint64_t refused = 0;
    const uint64_t task = Pimbo::schedulerRootPimbo().criticalTaskIs([&] {
        try {
            for (const auto& [k, n] : present) {
                bool found = false;
                const auto* v = w->lookup(CounterIndex(k), found, nullptr);
                ASSERT_TRUE(found && *v == R::make(k, n)) << k;
            }
            ASSERT_EQ(iterateAll(*w).size(), present.size());
            ++answered;
        } catch (const Pimbo::RuntimeException& e) {
            ASSERT_NE(e.msg().find("refused: the table is being resized"), std::string::npos);
            ++refused;
        }
    });
    typename TestFixture::Value removed;
    for (uint64_t k = 1; k <= 300; ++k) {
        present[k] = k;
        w->write(R::make(k, k), true);
    }
    for (uint64_t k = 1; k <= 300; ++k) {
        present.erase(k);
        ASSERT_TRUE(w->remove(CounterIndex(k), removed));
    }
    Pimbo::schedulerRootPimbo().criticalTaskDel(task);
    EXPECT_GT(refused, 0u);
    EXPECT_GT(answered, 0u);
}

// ----- model-based randomized run -----

template <class Ops>
class WriterModelTest : public ::testing::Test {
  protected:
    using R = Records<Ops>;
    using Writer = Vesk::VeskWriter<Ops>;
    using Value = typename Ops::Value;
    using Position = std::pair<uint32_t, uint64_t>;  // (rhash, key): the table's order

    void SetUp() override {
        seed_ = testSeed();
        rng_.seed(seed_ ^ std::hash<std::string>{}(R::kTypeName));
        w_ = attachedWriter<Ops>(shrinkingDescriptor(1u << 20));
    }

    Position positionOf(uint64_t k) const {
        return Position{Pimbo::Util::reverse(w_->hashKeyValue(k)), k};
    }
    void modelSet(const Value& v) {
        const uint64_t k = v.key().value();
        if (model_.emplace(k, v).second) {
            index_[k] = keys_.size();
            keys_.push_back(k);
            order_.insert(positionOf(k));
        } else {
            model_[k] = v;
        }
    }
    void modelErase(uint64_t k) {
        model_.erase(k);
        order_.erase(positionOf(k));
        const size_t i = index_[k];
        index_[keys_.back()] = i;
        keys_[i] = keys_.back();
        keys_.pop_back();
        index_.erase(k);
    }
    uint64_t anyKey() { return keys_[rng_() % keys_.size()]; }
    uint64_t absentKey() {
        for (;;) {
            const uint64_t k = rng_() >> (rng_() % 64);  // small keys too
            if (!model_.count(k))
                return k;
        }
    }
    // The key that follows position p in the table's order, or none.
    const Value* successor(uint64_t k) const {
        auto it = order_.upper_bound(positionOf(k));
        return it == order_.end() ? nullptr : &model_.at(it->second);
    }
    void expectRecord(uint64_t k) {
        bool found = false;
        const Value* v = w_->lookup(CounterIndex(k), found, nullptr);
        ASSERT_TRUE(found) << k;
        ASSERT_EQ(*v, model_.at(k));
    }
    void checkIteration() {
        const std::vector<Value> all = iterateAll(*w_);
        ASSERT_EQ(all.size(), model_.size());
        auto it = order_.begin();
        for (const Value& v : all) {
            ASSERT_EQ(v.key().value(), it->second) << "iteration out of order or repeated";
            ASSERT_EQ(v, model_.at(it->second));
            ++it;
        }
    }

    uint64_t seed_ = 0;
    std::mt19937_64 rng_;
    std::unique_ptr<Writer> w_;
    TestRoot root_;
    std::unordered_map<uint64_t, Value> model_;
    std::vector<uint64_t> keys_;
    std::unordered_map<uint64_t, size_t> index_;
    std::set<Position> order_;
};
TYPED_TEST_SUITE(WriterModelTest, AllOps, OpsNames);

TYPED_TEST(WriterModelTest, RandomOperationsAgreeWithAMap) {
    using R = typename TestFixture::R;
    using Value = typename TestFixture::Value;
    auto& w = *this->w_;
    auto& rng = this->rng_;
    auto& model = this->model_;
    const uint64_t ops = envCount("VESK_TEST_OPS", 200000);
    const uint64_t checkpoint = std::max<uint64_t>(ops / 25, 1);

    // The population swings between a high target (thousands of records) and almost nothing,
    // so the table keeps doubling and halving its buckets and growing and shrinking its slots.
    uint32_t target = 0;
    bool rising = false;
    // An iteration in progress across mutations: the key last returned and its hint.
    bool iterating = false;
    Value cursor{};
    Vesk::IterHint hint;
    uint64_t n = 0;

    for (uint64_t i = 0; i < ops; ++i) {
        if (rising ? model.size() >= target : model.size() <= target) {
            rising = !rising;
            target = rising ? 1000 + uint32_t(rng() % 5000) : uint32_t(rng() % 40);
        }
        const bool grow = rising;
        const uint32_t pick = uint32_t(rng() % 100);
        const bool empty = model.empty();
        ++n;
        if (pick < (grow ? 40u : 10u)) {  // write a new key
            const Value v = R::make(this->absentKey(), n);
            const bool overwrite = (rng() & 1) != 0;
            const Value* p = w.write(v, overwrite);
            ASSERT_EQ(*p, v);
            this->modelSet(v);
        } else if (pick < 50) {  // remove
            if (!empty && (rng() % 8) != 0) {
                const uint64_t k = this->anyKey();
                Value removed;
                ASSERT_TRUE(w.remove(CounterIndex(k), removed)) << k;
                ASSERT_EQ(removed, model.at(k));
                this->modelErase(k);
            } else {
                Value removed = R::make(1, 1);
                ASSERT_FALSE(w.remove(CounterIndex(this->absentKey()), removed));
            }
        } else if (pick < 60) {  // overwrite an existing key, or write it with overwrite false
            if (empty)
                continue;
            const uint64_t k = this->anyKey();
            const Value v = R::make(k, n);
            if ((rng() & 3) == 0) {
                ASSERT_EQ(*w.write(v, false), model.at(k));
            } else {
                ASSERT_EQ(*w.write(v, true), v);
                this->modelSet(v);
            }
        } else if (pick < 68) {  // directWrite + directCommit of a new or an existing key
            const bool fresh = empty || (rng() & 1) != 0;
            if (!grow && fresh && (rng() & 1) != 0)
                continue;
            const uint64_t k = fresh ? this->absentKey() : this->anyKey();
            Value v = R::make(k, n);
            const uint32_t membersBefore = w.members();
            Value* area = w.directWrite(v);
            ASSERT_NE(area, nullptr);
            ASSERT_EQ(*area, v);
            EXPECT_EQ(w.members(), membersBefore + (fresh ? 1 : 0));  // counted before the commit
            bool found = false;
            const Value* before = w.lookup(CounterIndex(k), found, nullptr);
            ASSERT_EQ(found, !fresh);  // published only by the commit
            if (!fresh) {
                ASSERT_EQ(*before, model.at(k));
            }
            R::change(*area, n * 3);
            v = *area;
            w.directCommit();
            this->modelSet(v);
            this->expectRecord(k);
        } else if (pick < 74) {  // directUpdate + directCommit
            if (empty || (rng() % 5) == 0) {
                EXPECT_EQ(w.directUpdate(CounterIndex(this->absentKey())), nullptr);
                EXPECT_FALSE(w.directOpen());
                continue;
            }
            const uint64_t k = this->anyKey();
            Value* area = w.directUpdate(CounterIndex(k));
            ASSERT_NE(area, nullptr);
            ASSERT_EQ(*area, model.at(k));  // the fill area starts as the current record
            R::change(*area, n * 5);
            const Value v = *area;
            w.directCommit();
            this->modelSet(v);
            this->expectRecord(k);
        } else if (pick < 88) {  // lookups
            if (!empty && (rng() & 1) != 0) {
                this->expectRecord(this->anyKey());
            } else {
                bool found = true;
                const Value* p = w.lookup(CounterIndex(this->absentKey()), found, nullptr);
                ASSERT_FALSE(found);
                ASSERT_NE(p, nullptr);
                ASSERT_EQ(*p, Value{});
            }
        } else if (pick < 98) {  // continue (or start) an iteration across the mutations
            // As callers do, the record last returned passes its own key and receives the next.
            const uint64_t from = cursor.key().value();
            const Value* expected;
            bool more;
            if (!iterating) {
                expected = model.empty() ? nullptr : &model.at(this->order_.begin()->second);
                more = w.first(cursor, hint);
            } else {
                expected = this->successor(from);
                more = w.next(cursor.key(), cursor, hint);
            }
            ASSERT_EQ(more, expected != nullptr) << "iteration from " << from;
            if (more) {
                ASSERT_EQ(cursor, *expected) << "iteration from " << from;
            }
            iterating = more;
        } else {  // next from any key (present or not) with a fresh hint
            const uint64_t k = (!empty && (rng() & 1)) ? this->anyKey() : this->absentKey();
            const Value* expected = this->successor(k);
            Value v{};
            Vesk::IterHint none;
            ASSERT_EQ(w.next(CounterIndex(k), v, none), expected != nullptr);
            if (expected != nullptr) {
                ASSERT_EQ(v, *expected);
            }
        }
        ASSERT_EQ(w.members(), model.size());
        ASSERT_FALSE(w.directOpen());
        if ((i + 1) % checkpoint == 0) {
            SCOPED_TRACE(::testing::Message() << "checkpoint after " << i + 1 << " operations");
            ASSERT_TRUE(w.validate(kCinder, false)) << w.lastValidationFailure();
            this->checkIteration();
            if ((i + 1) % (checkpoint * 5) == 0) {
                std::vector<RawSlot> chain;
                ASSERT_EQ(RawTable::of(w).walkChains(chain), "");
                ASSERT_EQ(chain.size(), model.size());
            }
        }
    }
    ASSERT_TRUE(w.validate(kCinder, false)) << w.lastValidationFailure();
    this->checkIteration();
    for (const auto& [k, v] : model)
        this->expectRecord(k);
    const auto c = w.writerCounters();
    std::printf(
        "ops:%llu slot grows:%llu shrinks:%llu bucket grows:%llu shrinks:%llu moved:%llu "
        "slow nexts:%llu\n",
        static_cast<unsigned long long>(ops), static_cast<unsigned long long>(c.slotGrows),
        static_cast<unsigned long long>(c.slotShrinks),
        static_cast<unsigned long long>(c.bucketGrows),
        static_cast<unsigned long long>(c.bucketShrinks),
        static_cast<unsigned long long>(c.movedSlots),
        static_cast<unsigned long long>(c.slowPathNexts));
    if (ops >= 100000) {
        EXPECT_GE(c.slotGrows, 20u);
        EXPECT_GE(c.slotShrinks, 10u);
        EXPECT_GE(c.bucketGrows, 40u);
        EXPECT_GE(c.bucketShrinks, 20u);
        EXPECT_GT(c.movedSlots, 0u);
        EXPECT_GT(c.slowPathNexts, 0u);
    }
}

}  // namespace
