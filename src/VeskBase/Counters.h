// Event counts and gauges of writers and readers. Plain 64-bit fields, one thread each; the
// front merges an implementation's counts into its running totals.
#pragma once

#include <cstdint>
#include <string>

namespace Vesk {

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
};
}  // namespace Reader

}  // namespace Vesk
