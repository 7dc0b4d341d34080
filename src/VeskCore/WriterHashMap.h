// WriterHashMap: the writer's index over the slot table, a split-ordered list.
//
// Every record sits in the chain of bucket hash mod numBuckets; each chain is sorted by
// (rhash, key) where rhash is the bit-reversed hash, and the chains follow each other in
// bit-reversed bucket order, so all chains together form one list sorted by rhash. Doubling the
// bucket count therefore only splits chains at a point and never moves a slot.
//
// Concurrency contract (the writer thread calls everything here; readers walk concurrently):
//  1. Every link change is a publishLink (P1 of doc/file-format.md).
//  2. growBuckets() and shrinkBuckets() keep P8 (split, publish, cut; join, publish, release)
//     and publish numBuckets as P9 says; the count never falls below the count a new file
//     starts with (two, or the matching count of the table's capacity hint).
//  3. While a grow or shrink runs (resizing()), the chains match neither the old count nor the
//     new one everywhere: the writer's own reads (from critical tasks run by the yield) are
//     refused by the owner, never answered from a half-split structure.
// Every walk is bounded by the slot count (chains) or the bucket count (bucket hops) and throws
// Pimbo::CorruptionDetectedException beyond it; nothing is repaired here. The ordered walk (find)
// checks every record it passes (OCCUPIED, in the bucket); an overwrite's walk (slotOfKey)
// compares keys only and checks the record it stops at, which is the record find would return.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/Scheduler.h"
#include "Pimbo/Util.h"
#include "VeskBase/BucketTable.h"
#include "VeskBase/SlotTable.h"
#include "VeskBase/SplitOrder.h"
#include "VeskBase/Types.h"

#include <cstdint>

namespace VeskCore {

template <class Writer>
class WriterHashMap : public Pimbo::Debuggable {
  public:
    using Ops = typename Writer::OpsType;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using SlotLink = Vesk::SlotLink;

    WriterHashMap(Pimbo::Platform::DebugHandler& handler, Writer& owner,
                  const Vesk::RootPath& rootPath, bool local, bool shrinkBuckets,
                  uint32_t capacityHint)
        : Pimbo::Debuggable(handler, "WriterHashMap"),
          buckets_(handler, rootPath, local, capacityHint),
          owner_(owner),
          shrinkBuckets_(shrinkBuckets) {}

    BucketWriter<SlotLink>& bucketWriter() { return buckets_; }
    uint32_t numBuckets() const { return buckets_.numBuckets(); }
    uint32_t growThreshold() const { return growThreshold_; }
    uint32_t shrinkThreshold() const { return shrinkThreshold_; }
    bool shrinkBucketsAllowed() const { return shrinkBuckets_; }
    // The record counts above which the buckets double and below which they halve (0: never).
    void thresholdsIs(uint32_t n) {
        growThreshold_ = n;
        shrinkThreshold_ = n > buckets_.initialBuckets() ? n / 4 : 0;
    }
    // A grow or shrink of the buckets is under way (its passes may yield to critical tasks).
    bool resizing() const { return resizing_; }

    uint32_t bucketOf(uint32_t hash) const {
        return VeskCore::bucketOf(hash, buckets_.numBuckets());
    }

    // Where a key is, or would go, in its bucket's chain.
    struct Position {
        uint32_t hash = 0;
        uint32_t bucket = 0;
        SlotLink* prev = nullptr;  // the link that leads to the position
        char* curr = nullptr;      // the slot there (the key's when found); null at the chain's end
        uint32_t slot = 0;         // curr's id
        bool found = false;
    };

    // What find walks to: the slot of the key (or its insertion point), the same for a lookup
    // (which names a slot of another bucket "slot: {}", the other walks "slotId: {}"), or the
    // first slot after the key (the slow path of next).
    enum class Seek { key, lookup, after };

    // The ordered walk of a chain by key, for every writer operation on a key but an overwrite
    // (slotOfKey): from the entry of key's bucket to what `seek` asks for.
    Position find(const Key& key, Seek seek = Seek::key) {
        return find(key, owner_.hashKey(key), seek);
    }
    // The same walk for a key whose hash the caller has.
    Position find(const Key& key, uint32_t hash, Seek seek) {
        Position p;
        p.hash = hash;
        p.bucket = bucketOf(p.hash);
        p.prev = buckets_[p.bucket];
        auto& slots = owner_.slotTable().slots();
        const uint32_t capacity = owner_.slotTable().capacity();
        const uint64_t k = key.value();
        const bool exact = seek != Seek::after;
        const bool forLookup = seek == Seek::lookup;
        // The walk's state stays in locals until it ends: the position lives in the caller's
        // memory. The order key and the bucket's place are worked out at the first record of
        // another key the walk passes, once.
        SlotLink* prev = p.prev;
        const uint32_t bits = buckets_.bucketBits();
        uint32_t r = 0;
        uint32_t place = 0;
        bool ordered = false;
        for (uint32_t steps = 1;; ++steps) {
            const uint32_t next = Vesk::nextOf(prev);
            if (!SlotLink::isSlot(next))
                break;
            bounded(steps, capacity);
            const uint32_t s = next & SlotLink::kIdMask;
            char* curr = slots[s];
            const uint64_t sk = Vesk::slotKey(curr);
            // Keys are unique: the slot that holds key is key's record, stored with key's rhash,
            // so the order key is only compared to pass another record.
            if (exact && k == sk) {
                checkSlot(curr, s, true, forLookup);
                PIMBO_TRACE(9, "{} found curr:{} next:{}", key, s, next);
                p.prev = prev;
                p.curr = curr;
                p.slot = s;
                p.found = true;
                return p;
            }
            // A record lies in key's bucket when its rhash starts with the bits key's order key
            // starts with: the rhash this writer stored with the record says so without hashing
            // its key again (the validation at attach checked every rhash against its key).
            if (!ordered) {
                r = orderKey(p.hash);
                place = orderedBucketOf(r, bits);
                ordered = true;
            }
            const uint32_t sr = Vesk::loadRhash(curr);
            checkSlot(curr, s, orderedBucketOf(sr, bits) == place, forLookup);
            if (sortsBefore(r, k, sr, sk)) {
                PIMBO_TRACE(9, "{} not found curr:{} next:{}", key, s, next);
                p.prev = prev;
                p.curr = curr;
                p.slot = s;
                return p;
            }
            prev = Vesk::slotLink(curr);
            p.slot = s;  // the chain's last slot, when the walk reaches its end
            PIMBO_TRACE(9, "{} next curr:{}", key, s);
        }
        p.prev = prev;
        return p;
    }

    // The slot that holds key (of hash `hash`), or null; id is set to its id. This is the walk of
    // an overwrite: it compares keys only. A key is in at most one slot of its chain, so the slot
    // it meets is the one find would return, checked as find checks it. A key it does not meet is
    // left to find, which walks the chain again in order and checks every record it passes.
    char* slotOfKey(const Key& key, uint32_t hash, uint32_t& id) {
        SlotLink* prev = buckets_[bucketOf(hash)];
        const auto& slots = owner_.slotTable().slots();
        const uint64_t k = key.value();
        for (uint32_t steps = 1;; ++steps) {
            const uint32_t next = Vesk::nextOf(prev);
            if (!SlotLink::isSlot(next))
                return nullptr;
            bounded(steps, slots.count);
            const uint32_t s = next & SlotLink::kIdMask;
            char* curr = slots[s];
            if (Vesk::slotKey(curr) == k) {
                checkSlot(curr, s, true);
                id = s;
                return curr;
            }
            prev = Vesk::slotLink(curr);
        }
    }

    // Copies the first record at or after bucket b (in bucket order) into value.
    bool first(uint32_t b, Value& value, Vesk::IterHint& hint) {
        const uint32_t n = buckets_.numBuckets();
        SlotLink* link = buckets_[b];
        uint32_t hops = 0;
        while (!SlotLink::isSlot(Vesk::nextOf(link))) {
            if (SlotLink::isEnd(Vesk::nextOf(link)))
                return endOfTable(b, "none found!");
            if (++hops >= n) {
                PIMBO_THROW(Pimbo::CorruptionDetectedException,
                            "has bucket cycle detected, bucketCount: {} numBuckets: {}", hops, n);
            }
            const uint32_t next = SlotLink::bucketOf(Vesk::nextOf(link));
            verifyNextBucket(b, next);
            b = next;
            link = buckets_[b];
        }
        return take(Vesk::nextOf(link) & SlotLink::kIdMask, b, value, hint, true);
    }

    // Copies the record that follows key in table order into value. key need not be present.
    bool next(const Key& after, Value& value, Vesk::IterHint& hint) {
        const Key key = after;  // `after` may be the key of `value`, which the fast path overwrites
        auto& table = owner_.slotTable();
        if (hint.slot < table.capacity() && hint.bucket < buckets_.numBuckets()) {
            try {
                char* slot = table.slots()[hint.slot];
                // The hint is only trusted while its slot still holds the record returned last.
                if (Vesk::loadFlags(slot) == hint.version && Vesk::slotKey(slot) == key.value()) {
                    const uint32_t nx = Vesk::nextOf(Vesk::slotLink(slot));
                    if (SlotLink::isEnd(nx))
                        return endOfTable(hint.bucket, "{} failed", key);
                    if (!SlotLink::isSlot(nx)) {
                        const uint32_t succ = SlotLink::bucketOf(nx);
                        verifyNextBucket(hint.bucket, succ);
                        return first(succ, value, hint);
                    }
                    // A chain only ascends: a successor that does not sort after its
                    // predecessor is a loop or a mixed-up chain, never followed.
                    const char* following = table.slots()[nx & SlotLink::kIdMask];
                    const uint32_t r0 = Vesk::loadRhash(slot);
                    const uint32_t r1 = Vesk::loadRhash(following);
                    if (!sortsBefore(r0, key.value(), r1, Vesk::slotKey(following))) {
                        PIMBO_THROW(Pimbo::CorruptionDetectedException,
                                    "slotId: {} does not sort after slotId: {}",
                                    nx & SlotLink::kIdMask, hint.slot);
                    }
                    return take(nx & SlotLink::kIdMask, hint.bucket, value, hint, false);
                }
            } catch (const Pimbo::Exception& e) {
                PIMBO_TRACE(5,
                            "saw exception in fast path: {}. This might be okay, dropping to slow "
                            "path to find out",
                            e.msg());
            }
        }
        ++owner_.counters().slowPathNexts;
        const Position p = find(key, Seek::after);
        if (p.curr != nullptr)
            return take(p.slot, p.bucket, value, hint, false);
        if (SlotLink::isEnd(Vesk::nextOf(p.prev)))
            return endOfTable(p.bucket, "{} failed", key);
        const uint32_t succ = SlotLink::bucketOf(Vesk::nextOf(p.prev));
        verifyNextBucket(p.bucket, succ);
        return first(succ, value, hint);
    }

    void verifyNextBucket(uint32_t b, uint32_t n) const {
        const uint32_t count = buckets_.numBuckets();
        // Bucket 0 comes first in bucket order, so it follows no bucket: the last bucket ends the
        // table, and a link back to bucket 0 would make an iteration start over for ever.
        const bool ok =
            n != 0 && (b < count / 2 ? n == b + count / 2
                                     : n == bitReversePermute(b, buckets_.bucketBits()) % count);
        if (!ok) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException,
                        "has bucket: {} with next bucket: {} and numBuckets: {}", b, n, count);
        }
    }

    // Doubles the bucket count: split pass, publish, cut pass.
    void growBuckets() {
        const uint32_t m = buckets_.numBuckets();
        if (!validBucketCount(uint64_t(m) * 2))
            return;
        PIMBO_TRACE(2, "growing from: {} to: {}", m, 2 * m);
        const double start = Pimbo::time();
        Resizing resizing(*this);
        Yield yield(owner_);
        buckets_.resize(2 * m);
        auto& slots = owner_.slotTable().slots();
        const uint32_t capacity = owner_.slotTable().capacity();
        // Split: bucket b + m starts where b's chain reaches the first slot that now hashes there.
        for (uint32_t b = 0; b < m; ++b) {
            uint32_t next = Vesk::nextOf(buckets_[b]);
            uint32_t steps = 0;
            while (SlotLink::isSlot(next)) {
                bounded(++steps, capacity);
                char* slot = slots[next];
                if (bucketOfSlot(slot, 2 * m) != b)
                    break;
                next = Vesk::nextOf(Vesk::slotLink(slot));
            }
            Vesk::publishLink(buckets_[b + m], next);
            yield.check();
        }
        Mem::VersionedRef<uint32_t>::publish(&buckets_.header()->numBuckets,
                                             {buckets_.header()->numBuckets.version + 1, 2 * m});
        // Cut: b's chain now ends in a marker to b + m.
        for (uint32_t b = 0; b < m; ++b) {
            SlotLink* last = buckets_[b];
            uint32_t steps = 0;
            while (SlotLink::isSlot(Vesk::nextOf(last))) {
                bounded(++steps, capacity);
                char* slot = slots[Vesk::nextOf(last)];
                if (bucketOfSlot(slot, 2 * m) != b)
                    break;
                last = Vesk::slotLink(slot);
            }
            Vesk::publishLink(last, SlotLink::kBucketMarker | (b + m));
            yield.check();
        }
        const double elapsed = Pimbo::time() - start;
        auto& c = owner_.counters();
        c.lastGrowTime = elapsed;
        if (elapsed > c.maxGrowTime)
            c.maxGrowTime = elapsed;
        ++c.bucketGrows;
        thresholdsIs(2 * m);
    }

    // Halves the bucket count: join pass, publish, release the tail of the bucket file. Never
    // below the initial count.
    void shrinkBuckets() {
        const uint32_t m = buckets_.numBuckets();
        if (m <= buckets_.initialBuckets())
            return;
        const uint32_t h = m / 2;
        const double start = Pimbo::time();
        Resizing resizing(*this);
        Yield yield(owner_);
        auto& slots = owner_.slotTable().slots();
        const uint32_t capacity = owner_.slotTable().capacity();
        for (uint32_t b = 0; b < h; ++b) {
            SlotLink* last = buckets_[b];
            uint32_t steps = 0;
            while (SlotLink::isSlot(Vesk::nextOf(last))) {
                bounded(++steps, capacity);
                last = Vesk::slotLink(slots[Vesk::nextOf(last)]);
            }
            Vesk::publishLink(last, Vesk::nextOf(buckets_[b + h]));
            yield.check();
        }
        Mem::VersionedRef<uint32_t>::publish(&buckets_.header()->numBuckets,
                                             {buckets_.header()->numBuckets.version + 1, h});
        try {
            buckets_.resize(h);
        } catch (const Pimbo::Exception& e) {
            // Readers already use h; this writer would go on with m. It gives the table up
            // instead (the critical-section bit stays set: the next start re-formats).
            owner_.abandon(
                fmt::format("its buckets could not shrink from {} to {}: {}", m, h, e.msg()));
        }
        const double elapsed = Pimbo::time() - start;
        auto& c = owner_.counters();
        c.lastShrinkTime = elapsed;
        if (elapsed > c.maxShrinkTime)
            c.maxShrinkTime = elapsed;
        ++c.bucketShrinks;
        PIMBO_TRACE(2, "shrunk from:{} to:{} shrinkBuckets_:{} time:{}", m, h, shrinkBuckets_,
                    elapsed);
        thresholdsIs(h);
    }

    // Yields to the process's critical-priority tasks every criticalTaskPeriod() seconds (10 ms)
    // of a long pass when the owner asks for it. The table is consistent at each such point; the
    // owner refuses mutations of this table while the tasks run, and reads during a bucket
    // resize.
    class Yield {
      public:
        explicit Yield(Writer& owner)
            : owner_(owner), on_(owner.criticalTaskCheck()), last_(on_ ? Pimbo::Rdtsc::now() : 0) {}
        void check() {
            if (!on_)
                return;
            const uint64_t now = Pimbo::Rdtsc::now();
            if (double(now - last_) >=
                owner_.criticalTaskPeriod() * Pimbo::Rdtsc::calibrationRate) {
                owner_.runCriticalTasks();
                last_ = Pimbo::Rdtsc::now();
            }
        }

      private:
        Writer& owner_;
        bool on_;
        uint64_t last_;
    };

  private:
    // Marks a grow or shrink for its duration.
    struct Resizing {
        explicit Resizing(WriterHashMap& map) : map_(map) { map_.resizing_ = true; }
        ~Resizing() { map_.resizing_ = false; }
        Resizing(const Resizing&) = delete;
        Resizing& operator=(const Resizing&) = delete;
        WriterHashMap& map_;
    };

    static void bounded(uint32_t steps, uint32_t capacity) {
        if (steps > capacity) [[unlikely]]
            cycle(steps, capacity);
    }
    // Out of line, so that the walks it ends keep no frame for its message.
    [[noreturn, gnu::noinline, gnu::cold]] static void cycle(uint32_t steps, uint32_t capacity) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException,
                    "hash chain cycle detected, slotCount:{} capacity:{}", steps, capacity);
    }

    // The bucket of the record in slot among count buckets.
    uint32_t bucketOfSlot(const char* slot, uint64_t count) const {
        return VeskCore::bucketOf(owner_.hashKeyValue(Vesk::slotKey(slot)), count);
    }

    // The chain checks every walk makes: the slot holds a record of this bucket.
    void checkSlot(const char* slot, uint32_t s, bool inBucket, bool forLookup = false) const {
        const bool occupied = (Vesk::loadFlags(slot) & Vesk::OCCUPIED) != 0;
        if (!occupied || !inBucket) [[unlikely]]
            badSlot(s, occupied, forLookup);
    }
    [[noreturn, gnu::noinline, gnu::cold]] static void badSlot(uint32_t s, bool occupied,
                                                               bool forLookup) {
        if (!occupied)
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "slotId: {} not marked as occupied", s);
        if (forLookup)
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "corrupt key detected, slot: {}", s);
        PIMBO_THROW(Pimbo::CorruptionDetectedException, "corrupt key detected, slotId: {}", s);
    }

    // Returns slot s of bucket b as the current entry of an iteration.
    bool take(uint32_t s, uint32_t b, Value& value, Vesk::IterHint& hint, bool fromFirst) {
        char* slot = owner_.slotTable().slots()[s];
        const uint32_t flags = Vesk::loadFlags(slot);
        if ((flags & Vesk::OCCUPIED) == 0) {
            if (fromFirst) {
                PIMBO_THROW(Pimbo::CorruptionDetectedException,
                            "slotId: {} from bucket: {} not marked as occupied", s, b);
            }
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "slotId: {} not marked as occupied", s);
        }
        owner_.slotTable().copySlotValue(s, value);
        const uint32_t hash = owner_.hashKeyValue(Vesk::slotKey(slot));
        if (VeskCore::bucketOf(hash, buckets_.numBuckets()) != b) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "corrupt key detected, slotId: {}", s);
        }
        hint = Vesk::IterHint{flags, s, b};
        PIMBO_TRACE(9, "{} found at bucket {}", Ops::key(value), b);
        return true;
    }

    // The walk met the end of the table: only valid in the last bucket in order.
    template <class... Args>
    bool endOfTable(uint32_t b, fmt::format_string<Args...> text, Args&&... args) {
        if (b == buckets_.numBuckets() - 1) {
            PIMBO_TRACE(8, text, std::forward<Args>(args)...);
            return false;
        }
        PIMBO_THROW(Pimbo::CorruptionDetectedException,
                    "thinks we've reached the end of the table, but we're in bucket {} when there "
                    "are numBuckets: {}",
                    b, buckets_.numBuckets());
    }

    BucketWriter<SlotLink> buckets_;
    Writer& owner_;
    uint32_t growThreshold_ = 0;
    uint32_t shrinkThreshold_ = 0;
    bool shrinkBuckets_;
    bool resizing_ = false;
};

}  // namespace VeskCore
