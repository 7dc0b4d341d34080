#include "VeskBase/Counters.h"

#include "VeskBase/Types.h"

#include <fmt/format.h>

#include <algorithm>

namespace Vesk {

std::string veskTypeName(unsigned type) {
    switch (type) {
        case writer:
            return "writer";
        case shadow:
            return "shadow";
        case reader:
            return "reader";
        case keyshadow:
            return "keyshadow";
        default:
            return fmt::format("unknown({})", type);
    }
}

namespace Writer {

void Counters::merge(const Counters& o) {
    slotAllocations += o.slotAllocations;
    slotFrees += o.slotFrees;
    slotFileRemaps += o.slotFileRemaps;
    slotGrows += o.slotGrows;
    slotShrinks += o.slotShrinks;
    movedSlots += o.movedSlots;
    directUpdates += o.directUpdates;
    directCommits += o.directCommits;
    slowPathNexts += o.slowPathNexts;
    bucketGrows += o.bucketGrows;
    bucketShrinks += o.bucketShrinks;
    bucketFileRemaps += o.bucketFileRemaps;
    lastGrowTime = o.lastGrowTime;
    maxGrowTime = std::max(maxGrowTime, o.maxGrowTime);
    lastShrinkTime = o.lastShrinkTime;
    maxShrinkTime = std::max(maxShrinkTime, o.maxShrinkTime);
    sequence = o.sequence;
    queueFailures += o.queueFailures;
    slotFileSize = o.slotFileSize;
    bucketFileSize = o.bucketFileSize;
}

std::string Counters::toString() const {
    return fmt::format(
        "slotAllocations:{} slotFrees:{} slotFileRemaps:{} slotGrows:{} slotShrinks:{} "
        "movedSlots:{} directUpdates:{} directCommits:{} slowPathNexts:{} bucketGrows:{} "
        "bucketShrinks:{} bucketFileRemaps:{} lastGrowTime:{} maxGrowTime:{} lastShrinkTime:{} "
        "maxShrinkTime:{} sequence:{} queueFailures:{} slotFileSize:{} bucketFileSize:{}",
        slotAllocations, slotFrees, slotFileRemaps, slotGrows, slotShrinks, movedSlots,
        directUpdates, directCommits, slowPathNexts, bucketGrows, bucketShrinks, bucketFileRemaps,
        lastGrowTime, maxGrowTime, lastShrinkTime, maxShrinkTime, sequence, queueFailures,
        slotFileSize, bucketFileSize);
}

}  // namespace Writer

namespace Reader {

void Counters::merge(const Counters& o) {
    lookasideReads += o.lookasideReads;
    resizes += o.resizes;
    baseChanges += o.baseChanges;
    retries += o.retries;
    slowPaths += o.slowPaths;
    bucketResizes += o.bucketResizes;
    lookups += o.lookups;
    iterations += o.iterations;
    remapRetries += o.remapRetries;
    generationChanges += o.generationChanges;
    scans += o.scans;
    scanFallbacks += o.scanFallbacks;
    lastAppliedSequence = o.lastAppliedSequence;
    slotFileSize = o.slotFileSize;
    bucketFileSize = o.bucketFileSize;
    shadow.members = o.shadow.members;
    shadow.writes += o.shadow.writes;
    shadow.movedKeys += o.shadow.movedKeys;
    shadow.bucketGrows += o.shadow.bucketGrows;
    shadow.bucketShrinks += o.shadow.bucketShrinks;
    shadow.patches += o.shadow.patches;
    shadow.hashedLookups += o.shadow.hashedLookups;
    shadow.slotGrows += o.shadow.slotGrows;
    shadow.slotShrinks += o.shadow.slotShrinks;
    shadow.invalidNotifications += o.shadow.invalidNotifications;
    shadow.keyMismatches += o.shadow.keyMismatches;
    shadow.syncSequence = o.shadow.syncSequence;
    shadow.wakeups += o.shadow.wakeups;
    shadow.resyncs += o.shadow.resyncs;
    shadow.mappedSize = o.shadow.mappedSize;
    shadow.cinderMappedSize = o.shadow.cinderMappedSize;
    shadow.queueGeneration = o.shadow.queueGeneration;
    shadow.queueLatestSequence = o.shadow.queueLatestSequence;
}

std::string Counters::toString() const {
    return fmt::format(
        "lookasideReads:{} resizes:{} baseChanges:{} retries:{} slowPaths:{} bucketResizes:{} "
        "lookups:{} iterations:{} remapRetries:{} generationChanges:{} lastAppliedSequence:{} "
        "slotFileSize:{} bucketFileSize:{} shadowMembers:{} shadowWrites:{} shadowMovedKeys:{} "
        "shadowBucketGrows:{} shadowBucketShrinks:{} shadowPatches:{} shadowHashedLookups:{} "
        "shadowSlotGrows:{} shadowSlotShrinks:{} shadowInvalidNotifications:{} "
        "shadowKeyMismatches:{} shadowSyncSequence:{} shadowWakeups:{} shadowResyncs:{} "
        "shadowMappedSize:{} shadowCinderMappedSize:{} shadowQueueGeneration:{} "
        "shadowQueueLatestSequence:{} scans:{} scanFallbacks:{}",
        lookasideReads, resizes, baseChanges, retries, slowPaths, bucketResizes, lookups,
        iterations, remapRetries, generationChanges, lastAppliedSequence, slotFileSize,
        bucketFileSize, shadow.members, shadow.writes, shadow.movedKeys, shadow.bucketGrows,
        shadow.bucketShrinks, shadow.patches, shadow.hashedLookups, shadow.slotGrows,
        shadow.slotShrinks, shadow.invalidNotifications, shadow.keyMismatches, shadow.syncSequence,
        shadow.wakeups, shadow.resyncs, shadow.mappedSize, shadow.cinderMappedSize,
        shadow.queueGeneration, shadow.queueLatestSequence, scans, scanFallbacks);
}

}  // namespace Reader
}  // namespace Vesk
