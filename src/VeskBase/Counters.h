// Event counts and gauges of writers and readers. Plain 64-bit fields, one thread each; the
// front merges an implementation's counts into its running totals.
//
// Each struct lists its fields once more, in fields(): their text and how a merge combines
// them, in the order toString prints them. Merging and printing are driven by that list alone.
#pragma once

#include <cstdint>
#include <string>

namespace Vesk {

// How merging a field of another struct into one's own combines the two.
enum class CounterMerge {
    add,   // an event count: the sum
    take,  // a gauge or the latest value: the other's
    max,   // the largest: the greater
};

namespace Writer {
struct Counters {
    // Slot table (slot writer table).
    uint64_t slotAllocations = 0;
    uint64_t slotFrees = 0;
    uint64_t slotFileRemaps = 0;
    uint64_t slotGrows = 0;
    uint64_t slotShrinks = 0;
    uint64_t movedSlots = 0;
    // Operations.
    uint64_t directUpdates = 0;
    uint64_t directCommits = 0;
    uint64_t slowPathNexts = 0;
    // Buckets.
    uint64_t bucketGrows = 0;
    uint64_t bucketShrinks = 0;
    uint64_t bucketFileRemaps = 0;
    double lastGrowTime = 0;
    double maxGrowTime = 0;
    double lastShrinkTime = 0;
    double maxShrinkTime = 0;
    // Notification sequence (reported by sequence()).
    uint64_t sequence = 0;
    // Queue renewals that failed: the writer stopped publishing (Ruxa/RuxaWriter.h).
    uint64_t queueFailures = 0;
    // Gauges refreshed when the counters are read.
    uint64_t slotFileSize = 0;
    uint64_t bucketFileSize = 0;

    // Adds the event counts of `other`; gauges and times take other's values.
    void merge(const Counters& other);
    std::string toString() const;

    // Calls f(text, how, c.field...) for each field of the structs c.
    template <class F, class... C>
    static constexpr void fields(F&& f, C&... c) {
        f("slotAllocations", CounterMerge::add, c.slotAllocations...);
        f("slotFrees", CounterMerge::add, c.slotFrees...);
        f("slotFileRemaps", CounterMerge::add, c.slotFileRemaps...);
        f("slotGrows", CounterMerge::add, c.slotGrows...);
        f("slotShrinks", CounterMerge::add, c.slotShrinks...);
        f("movedSlots", CounterMerge::add, c.movedSlots...);
        f("directUpdates", CounterMerge::add, c.directUpdates...);
        f("directCommits", CounterMerge::add, c.directCommits...);
        f("slowPathNexts", CounterMerge::add, c.slowPathNexts...);
        f("bucketGrows", CounterMerge::add, c.bucketGrows...);
        f("bucketShrinks", CounterMerge::add, c.bucketShrinks...);
        f("bucketFileRemaps", CounterMerge::add, c.bucketFileRemaps...);
        f("lastGrowTime", CounterMerge::take, c.lastGrowTime...);
        f("maxGrowTime", CounterMerge::max, c.maxGrowTime...);
        f("lastShrinkTime", CounterMerge::take, c.lastShrinkTime...);
        f("maxShrinkTime", CounterMerge::max, c.maxShrinkTime...);
        f("sequence", CounterMerge::take, c.sequence...);
        f("queueFailures", CounterMerge::add, c.queueFailures...);
        f("slotFileSize", CounterMerge::take, c.slotFileSize...);
        f("bucketFileSize", CounterMerge::take, c.bucketFileSize...);
    }
};
}  // namespace Writer

namespace Reader {
struct Counters {
    // Slot table.
    uint64_t lookasideReads = 0;
    uint64_t resizes = 0;
    uint64_t baseChanges = 0;
    // Hash map.
    uint64_t retries = 0;
    uint64_t slowPaths = 0;
    // Bucket file.
    uint64_t bucketResizes = 0;
    // Reader retry loop.
    uint64_t lookups = 0;
    uint64_t iterations = 0;
    uint64_t remapRetries = 0;
    uint64_t generationChanges = 0;
    // Slot-order scans, and those that finished in table order (records moved, a re-format).
    uint64_t scans = 0;
    uint64_t scanFallbacks = 0;
    // Sequence of the last change notification applied (a follower of the writer's queue).
    uint64_t lastAppliedSequence = 0;
    // Gauges refreshed when the counters are read.
    uint64_t slotFileSize = 0;
    uint64_t bucketFileSize = 0;
    // A shadow's local index (VeskShadow/ShadowHashMap.h).
    struct Shadow {
        uint64_t members = 0;        // keys indexed
        uint64_t writes = 0;         // slots written into the index
        uint64_t movedKeys = 0;      // keys the writer moved to another slot
        uint64_t bucketGrows = 0;    // doublings of the bucket array
        uint64_t bucketShrinks = 0;  // halvings
        uint64_t patches = 0;        // the slot array moved and the links were shifted
        uint64_t hashedLookups = 0;  // next() without a usable hint
        // The store around the index (VeskShadow/VeskShadow.h).
        uint64_t slotGrows = 0;             // the local slot array grew to the shared size
        uint64_t slotShrinks = 0;           // it shrank at a quarter in use
        uint64_t invalidNotifications = 0;  // entries refused by the queue's check
        uint64_t keyMismatches = 0;         // a key-only slot found another key in shared memory
        uint64_t syncSequence = 0;          // the sequence the last resync caught up to
        // Its follower (VeskShadow/Syncer.h): wake-ups the writer sent, resyncs done.
        uint64_t wakeups = 0;
        uint64_t resyncs = 0;
        // Gauges refreshed when the counters are read.
        uint64_t mappedSize = 0;           // bytes of the local slots and buckets
        uint64_t cinderMappedSize = 0;     // bytes of the writer's cinder file mapped
        uint64_t queueGeneration = 0;      // of the queue followed; 0 when none is
        uint64_t queueLatestSequence = 0;  // the writer's latest entry; 0 when unknown
    } shadow;

    void merge(const Counters& other);
    std::string toString() const;

    // Calls f(text, how, c.field...) for each field of the structs c.
    template <class F, class... C>
    static constexpr void fields(F&& f, C&... c) {
        f("lookasideReads", CounterMerge::add, c.lookasideReads...);
        f("resizes", CounterMerge::add, c.resizes...);
        f("baseChanges", CounterMerge::add, c.baseChanges...);
        f("retries", CounterMerge::add, c.retries...);
        f("slowPaths", CounterMerge::add, c.slowPaths...);
        f("bucketResizes", CounterMerge::add, c.bucketResizes...);
        f("lookups", CounterMerge::add, c.lookups...);
        f("iterations", CounterMerge::add, c.iterations...);
        f("remapRetries", CounterMerge::add, c.remapRetries...);
        f("generationChanges", CounterMerge::add, c.generationChanges...);
        f("lastAppliedSequence", CounterMerge::take, c.lastAppliedSequence...);
        f("slotFileSize", CounterMerge::take, c.slotFileSize...);
        f("bucketFileSize", CounterMerge::take, c.bucketFileSize...);
        f("shadowMembers", CounterMerge::take, c.shadow.members...);
        f("shadowWrites", CounterMerge::add, c.shadow.writes...);
        f("shadowMovedKeys", CounterMerge::add, c.shadow.movedKeys...);
        f("shadowBucketGrows", CounterMerge::add, c.shadow.bucketGrows...);
        f("shadowBucketShrinks", CounterMerge::add, c.shadow.bucketShrinks...);
        f("shadowPatches", CounterMerge::add, c.shadow.patches...);
        f("shadowHashedLookups", CounterMerge::add, c.shadow.hashedLookups...);
        f("shadowSlotGrows", CounterMerge::add, c.shadow.slotGrows...);
        f("shadowSlotShrinks", CounterMerge::add, c.shadow.slotShrinks...);
        f("shadowInvalidNotifications", CounterMerge::add, c.shadow.invalidNotifications...);
        f("shadowKeyMismatches", CounterMerge::add, c.shadow.keyMismatches...);
        f("shadowSyncSequence", CounterMerge::take, c.shadow.syncSequence...);
        f("shadowWakeups", CounterMerge::add, c.shadow.wakeups...);
        f("shadowResyncs", CounterMerge::add, c.shadow.resyncs...);
        f("shadowMappedSize", CounterMerge::take, c.shadow.mappedSize...);
        f("shadowCinderMappedSize", CounterMerge::take, c.shadow.cinderMappedSize...);
        f("shadowQueueGeneration", CounterMerge::take, c.shadow.queueGeneration...);
        f("shadowQueueLatestSequence", CounterMerge::take, c.shadow.queueLatestSequence...);
        f("scans", CounterMerge::add, c.scans...);
        f("scanFallbacks", CounterMerge::add, c.scanFallbacks...);
    }
};
}  // namespace Reader

}  // namespace Vesk
