// TableWalk: the one walk of a table's structure. The writer's full validation (Vesk/Validator.h)
// and the read-only checker behind `vesk check` (Vesk/TableChecker.h) both run it; each plugs in
// its own reporting, which turns every finding (a TableFault and its numbers) into its own text.
//
// What the walk checks, in this order:
//  1. the bucket order: from bucket 0, every chain ends with the marker of the bucket that
//     follows in bit-reversed order, the last one with the end of the table;
//  2. every chained slot: within numSlots, reached once, OCCUPIED, its key hashing to the bucket
//     whose chain holds it, its rhash the reversed hash, the whole list ascending by
//     (rhash, key), and no LOOKASIDE flag set;
//  3. the free list: within numSlots, no slot twice or also chained, none OCCUPIED;
//  4. the counts: chained records equal occupiedSlots, and chained plus free equal numSlots.
// A chain that leaves the slots or meets a slot twice stops the walk (nothing after it can be
// trusted); every other finding is reported and the walk goes on, in the right bucket order, so
// that one bad marker hides nothing else. Every walk is bounded: a chain or the free list by
// numSlots, the bucket order by numBuckets.
//
// The reporter (any class) provides:
//   SlotLink load(const SlotLink* at);     // every link the walk follows, loaded once
//   uint32_t hash(uint64_t key);           // the table's seeded key hash
//   void fault(const TableFinding& found); // may throw to end the walk at the first finding
// The walk reads the files through the named atomic helpers only and writes nothing.
#pragma once

#include "Pimbo/Util.h"
#include "VeskBase/BucketTable.h"
#include "VeskBase/SlotLink.h"
#include "VeskBase/SlotTable.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace Vesk {

// What a walk found. The fields of TableFinding each one fills are named beside it.
enum class TableFault : uint8_t {
    chainBeyondEnd,  // the chain of `bucket` links to slot `id`, beyond `numSlots`
    slotTwice,       // slot `id` is reached again, in the chain of `bucket`
    notOccupied,     // slot `id` (`key`, `flags`) in the chain of `bucket` lacks OCCUPIED;
                     // `firstOfBucket`: it is the first of its chain
    wrongBucket,     // slot `id` (`key`) in the chain of `bucket` hashes to bucket `wanted`
    wrongRhash,      // slot `id` (`key`) has rhash `found`, its key's reversed hash is `wanted`
    outOfOrder,      // slot `id` in `bucket`: (rhash `found`, `key`) follows (`previousRhash`,
                     // `previousKey`)
    stuckLookaside,  // slot `id` (`key`) in the chain of `bucket` has LOOKASIDE set (`flags`)
    lastBucketEnd,   // the last `bucket` ends with `found`, not with the end of the table
    bucketsSkipped,  // the walk reached the last bucket after `found` of `numBuckets`
    endsEarly,       // the chain of `bucket` ends the table early; bucket `wanted` should follow
    wrongSuccessor,  // the chain of `bucket` continues with bucket `found`, expected `wanted`
    bucketLoop,      // the bucket order does not reach the last bucket after `found` buckets
    freeMarker,      // the free list holds the bucket marker `id`
    freeBeyondEnd,   // the free list links to slot `id`, beyond `numSlots`
    freeChained,     // slot `id` is both in a chain and on the free list
    freeTwice,       // the free list loops back to slot `id`
    freeOccupied,    // free slot `id` is marked OCCUPIED (`flags`)
    occupiedCount,   // the chains hold `records` records, the header's occupiedSlots is `found`
    lostSlots,       // `found` slots are in no chain and not on the free list (the first in
                     // `lost`)
};

struct TableFinding {
    TableFault fault;
    uint32_t bucket = 0;
    uint32_t id = 0;
    uint32_t flags = 0;
    uint64_t key = 0;
    uint64_t found = 0;
    uint64_t wanted = 0;
    uint32_t previousRhash = 0;
    uint64_t previousKey = 0;
    bool firstOfBucket = false;
    // Buckets without records passed in a row up to this one, this one included.
    uint32_t emptyRun = 0;
    uint32_t numSlots = 0;
    uint32_t numBuckets = 0;
    uint64_t records = 0;
    uint64_t freeSlots = 0;
    std::array<uint32_t, 5> lost{};
};

// The picture one walk reads.
struct TableLayout {
    const char* slots = nullptr;  // slot 0
    uint32_t slotSize = 0;
    uint32_t numSlots = 0;
    const SlotLink* buckets = nullptr;  // bucket 0's entry
    uint32_t numBuckets = 0;            // a power of two, at least 2
    uint32_t freeHead = SlotLink::kEnd;
    uint32_t occupied = 0;
};

template <class Report>
class TableWalk {
  public:
    // `marks` has room for numSlots bytes, all zero (the caller owns them, so that a lack of
    // memory is its own to report).
    TableWalk(const TableLayout& t, Report& report, uint8_t* marks)
        : t_(t), report_(report), state_(marks) {}

    void run() {
        walkChains();
        if (broken_)
            return;
        walkFreeList();
        checkCounts();
    }

    uint64_t records() const { return records_; }
    uint64_t freeSlots() const { return freeSlots_; }
    uint64_t longestChain() const { return longestChain_; }

  private:
    enum : uint8_t { kUnseen = 0, kChained = 1, kFree = 2 };

    const char* slotAt(uint32_t id) const { return t_.slots + uint64_t(id) * t_.slotSize; }

    TableFinding finding(TableFault fault, uint32_t bucket, uint32_t id) const {
        TableFinding f{fault};
        f.bucket = bucket;
        f.id = id;
        f.numSlots = t_.numSlots;
        f.numBuckets = t_.numBuckets;
        f.records = records_;
        f.freeSlots = freeSlots_;
        return f;
    }

    // Step 1: the chains in bucket order, each chain once.
    void walkChains() {
        const uint32_t bits = uint32_t(__builtin_ctz(t_.numBuckets));
        uint32_t emptyRun = 0;
        uint32_t b = 0;
        for (uint64_t visited = 1;; ++visited) {
            uint64_t length = 0;
            const SlotLink end = walkChain(b, length);
            if (broken_)
                return;
            longestChain_ = std::max(longestChain_, length);
            emptyRun = length == 0 ? emptyRun + 1 : 0;
            if (b == t_.numBuckets - 1) {
                lastBucket(b, end, visited, emptyRun);
                return;
            }
            const uint32_t successor = VeskCore::bitReversePermute(b, bits);
            TableFinding f = finding(TableFault::endsEarly, b, 0);
            f.wanted = successor;
            f.emptyRun = emptyRun;
            if (end.next == SlotLink::kEnd) {
                report_.fault(f);
            } else if (SlotLink::bucketOf(end.next) != successor) {
                f.fault = TableFault::wrongSuccessor;
                f.found = SlotLink::bucketOf(end.next);
                report_.fault(f);
            }
            b = successor;
            if (visited >= t_.numBuckets) {
                f = finding(TableFault::bucketLoop, b, 0);
                f.found = visited;
                report_.fault(f);
                return;
            }
        }
    }

    void lastBucket(uint32_t b, SlotLink end, uint64_t visited, uint32_t emptyRun) {
        if (end.next != SlotLink::kEnd) {
            TableFinding f = finding(TableFault::lastBucketEnd, b, 0);
            f.found = end.next;
            f.emptyRun = emptyRun;
            report_.fault(f);
        }
        if (visited != t_.numBuckets) {
            TableFinding f = finding(TableFault::bucketsSkipped, b, 0);
            f.found = visited;
            report_.fault(f);
        }
    }

    // The chain of bucket b; returns the link that ends it (a marker or the end).
    SlotLink walkChain(uint32_t b, uint64_t& length) {
        SlotLink link = report_.load(t_.buckets + b);
        while (SlotLink::isSlot(link.next)) {
            const uint32_t id = link.next;
            const TableFault stop = id >= t_.numSlots       ? TableFault::chainBeyondEnd
                                    : state_[id] != kUnseen ? TableFault::slotTwice
                                                            : TableFault::lostSlots;
            if (stop != TableFault::lostSlots) {
                broken_ = true;
                report_.fault(finding(stop, b, id));
                return link;
            }
            state_[id] = kChained;
            ++records_;
            examine(b, id, length++ == 0);
            link = report_.load(slotLink(slotAt(id)));
        }
        return link;
    }

    // Step 2: one chained slot.
    void examine(uint32_t b, uint32_t id, bool firstOfBucket) {
        const char* s = slotAt(id);
        TableFinding f = finding(TableFault::notOccupied, b, id);
        f.flags = loadFlags(s);
        f.key = slotKey(s);
        f.firstOfBucket = firstOfBucket;
        const uint32_t rhash = loadRhash(s);
        const uint32_t hash = report_.hash(f.key);
        if ((f.flags & OCCUPIED) == 0)
            report_.fault(f);
        if ((hash & (t_.numBuckets - 1)) != b) {
            f.fault = TableFault::wrongBucket;
            f.wanted = hash & (t_.numBuckets - 1);
            report_.fault(f);
        }
        f.found = rhash;
        if (rhash != Pimbo::Util::reverse(hash)) {
            f.fault = TableFault::wrongRhash;
            f.wanted = Pimbo::Util::reverse(hash);
            report_.fault(f);
        }
        if (havePrevious_ &&
            !(previousRhash_ < rhash || (previousRhash_ == rhash && previousKey_ < f.key))) {
            f.fault = TableFault::outOfOrder;
            f.previousRhash = previousRhash_;
            f.previousKey = previousKey_;
            report_.fault(f);
        }
        if ((f.flags & LOOKASIDE) != 0) {
            f.fault = TableFault::stuckLookaside;
            report_.fault(f);
        }
        havePrevious_ = true;
        previousRhash_ = rhash;
        previousKey_ = f.key;
    }

    // Step 3: the free list, to its end or its first bad link.
    void walkFreeList() {
        for (uint32_t id = t_.freeHead; id != SlotLink::kEnd;) {
            const TableFault stop = !SlotLink::isSlot(id)    ? TableFault::freeMarker
                                    : id >= t_.numSlots      ? TableFault::freeBeyondEnd
                                    : state_[id] == kChained ? TableFault::freeChained
                                    : state_[id] == kFree    ? TableFault::freeTwice
                                                             : TableFault::lostSlots;
            if (stop != TableFault::lostSlots) {
                report_.fault(finding(stop, 0, id));
                return;
            }
            state_[id] = kFree;
            ++freeSlots_;
            const char* s = slotAt(id);
            const uint32_t flags = loadFlags(s);
            if ((flags & OCCUPIED) != 0) {
                TableFinding f = finding(TableFault::freeOccupied, 0, id);
                f.flags = flags;
                report_.fault(f);
            }
            id = report_.load(slotLink(s)).next;
        }
    }

    // Step 4.
    void checkCounts() {
        if (records_ != t_.occupied) {
            TableFinding f = finding(TableFault::occupiedCount, 0, 0);
            f.found = t_.occupied;
            report_.fault(f);
        }
        if (records_ + freeSlots_ == t_.numSlots)
            return;
        TableFinding f = finding(TableFault::lostSlots, 0, 0);
        for (uint32_t id = 0; id < t_.numSlots; ++id) {
            if (state_[id] == kUnseen && ++f.found <= f.lost.size())
                f.lost[f.found - 1] = id;
        }
        report_.fault(f);
    }

    const TableLayout& t_;
    Report& report_;
    uint8_t* state_;
    bool broken_ = false;
    bool havePrevious_ = false;
    uint32_t previousRhash_ = 0;
    uint64_t previousKey_ = 0;
    uint64_t records_ = 0;
    uint64_t freeSlots_ = 0;
    uint64_t longestChain_ = 0;
};

}  // namespace Vesk
